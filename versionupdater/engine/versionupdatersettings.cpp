#include "versionupdatersettings.h"

VersionUpdaterSettings::VersionUpdaterSettings()
{
    reset();
}

VersionUpdaterSettings &VersionUpdaterSettings::instance()
{
    static VersionUpdaterSettings settings;
    return settings;
}

QString VersionUpdaterSettings::defaultUpdateUrl()
{
    return QStringLiteral("http://localhost/brevlane/.update2/.version");
}

void VersionUpdaterSettings::reset()
{
    destinationDir.clear();
    callbackPath = QStringLiteral("Kandemar.exe");
    updateUrl = defaultUpdateUrl();
    versionExecutablePath = QStringLiteral("updater/updater.exe");
    downloadEntries.clear();
    downloadSha256.clear();
    localVersion = Version();
    fetchOptions = FetchOptions();
    publicKeys = KeyRing();
    publicKeyPath.clear();
    publicKeyUnusable = false;
}

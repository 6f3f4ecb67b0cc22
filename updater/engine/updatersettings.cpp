#include "updatersettings.h"

UpdaterSettings::UpdaterSettings()
{
    reset();
}

UpdaterSettings &UpdaterSettings::instance()
{
    static UpdaterSettings settings;
    return settings;
}

QString UpdaterSettings::defaultUpdateUrl()
{
    return QStringLiteral("http://localhost/brevlane/.update2/.version");
}

void UpdaterSettings::reset()
{
    callbackPath = QStringLiteral("Kandemar.exe");
    localManifestPath = QStringLiteral("manifest.xml");
    distantManifestPath.clear();
    updateUrl = defaultUpdateUrl();
    destinationDir.clear();
    timeoutSeconds = 30;
    caFile.clear();
    filesUrl.clear();
    publicKeyPaths.clear();
    allowDowngrade = false;
    manifestRequest.clear();
    channel.clear();
    checkOnly = false;
    repair = false;
    ignoreRollout = false;
    connections = 1;
}

#ifndef VERSIONUPDATERSETTINGS_H
#define VERSIONUPDATERSETTINGS_H

#include "fetchoptions.h"
#include "keyring.h"
#include "version.h"

#include <QString>
#include <QStringList>

// The settings of one versionupdater run. The command line fills them once
// when the window is built; afterwards only the version list appends to
// downloadEntries (and to downloadSha256).
class VersionUpdaterSettings
{
public:
    static VersionUpdaterSettings &instance();
    static QString defaultUpdateUrl();

    // Back to the built-in defaults; lets tests start each case afresh.
    void reset();

    QString destinationDir;
    QString callbackPath;
    QString updateUrl;
    QString versionExecutablePath;
    QStringList downloadEntries;
    // The SHA-256 that the version list gives for downloadEntries[i]; empty
    // or missing for entries without one (all those of "--files").
    QStringList downloadSha256;
    Version localVersion;

    // "--timeout" and "--ca_file" end up here; the retry waits are fixed
    // (tests shorten them).
    FetchOptions fetchOptions;

    // The keys of which one must have signed the version list:
    // "--public_key" (any number of times), or "update-key.pub" beside the
    // executable; a file may hold several. Empty without either.
    KeyRing publicKeys;
    QString publicKeyPath; // the files, for messages
    // A key was asked for but cannot be used: nothing may be updated.
    bool publicKeyUnusable = false;

private:
    VersionUpdaterSettings();
};

#endif // VERSIONUPDATERSETTINGS_H

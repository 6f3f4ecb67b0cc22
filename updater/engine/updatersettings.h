#ifndef UPDATERSETTINGS_H
#define UPDATERSETTINGS_H

#include <QString>
#include <QStringList>

// The settings of one updater run. The command line writes them once at
// start-up; the window and the update manager only read them afterwards.
class UpdaterSettings
{
public:
    static UpdaterSettings &instance();
    static QString defaultUpdateUrl();

    // Back to the built-in defaults; lets tests start each case afresh.
    void reset();

    QString callbackPath;
    QString localManifestPath;
    QString distantManifestPath;
    QString updateUrl;
    QString destinationDir;

    // Options beyond the five of the plain command line.
    int timeoutSeconds;   // "--timeout": the stall bound of every transfer
    QString caFile;       // "--ca_file": certificates trusted besides the system's
    QString filesUrl;     // "--files_url": files by GET below this URL
    QStringList publicKeyPaths; // "--public_key", any number of times: the publisher's Ed25519 keys
    bool allowDowngrade;     // "--allow_downgrade": an older release may be installed
    QString manifestRequest; // "--manifest_request": the release's manifest comes from the server
    QString channel;         // "--channel": the release must name this channel
    bool checkOnly;          // "--check": report what a run would do, change nothing
    bool repair;             // "--repair": also fetch installed files that are damaged
    bool ignoreRollout;      // "--ignore_rollout": a staged rollout does not hold this run back
    int connections;         // "--connections": files fetched at once

private:
    UpdaterSettings();
};

#endif // UPDATERSETTINGS_H

#ifndef VERSIONUPDATERSETTINGS_H
#define VERSIONUPDATERSETTINGS_H

#include "version.h"

#include <QString>
#include <QStringList>

// The settings of one versionupdater run. The command line fills them once
// when the window is built; afterwards only the version list appends to
// downloadEntries.
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
    Version localVersion;

private:
    VersionUpdaterSettings();
};

#endif // VERSIONUPDATERSETTINGS_H

#ifndef UPDATERSETTINGS_H
#define UPDATERSETTINGS_H

#include <QString>

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

private:
    UpdaterSettings();
};

#endif // UPDATERSETTINGS_H

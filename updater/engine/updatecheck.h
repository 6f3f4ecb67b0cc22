#ifndef UPDATECHECK_H
#define UPDATECHECK_H

#include "rollout.h"

#include <QByteArray>
#include <QDomElement>
#include <QHash>
#include <QString>

class DestinationFolder;
class HttpClient;
class ManifestUpdate;

// What "updater --check" reports: one JSON object saying what a run would
// do with the release it has read, checked and compared exactly as a run
// does, and an exit status for the launching application. Nothing on disk
// is changed: the files to fetch are listed, not fetched. The release
// notes are fetched, and so is the chunk index of each changed file that
// has one, to say how many bytes its chunks would cost.
class UpdateCheck
{
public:
    enum Status { UpToDate = 0, Failed = 1, CommandLineError = 2, UpdateAvailable = 10 };

    struct Release
    {
        const ManifestUpdate *update = nullptr;       // read and compared
        const DestinationFolder *destination = nullptr;
        QDomElement distantRoot;
        QString localVersion;
        bool signedRelease = false;
        bool repair = false;
        QHash<quint32, QString> damage; // difference -> why the installed file is damaged
        Rollout::Decision rollout;
        // How release files are asked for, and how long each may take.
        HttpClient *client = nullptr;
        QString updateUrl;
        QString filesUrl;
        int timeoutMs = 30000;
    };

    // The report on a release that was accepted; returns the exit status.
    static int report(const Release &release, QByteArray *json);

    // The report of a check that ended before it could compare: "refused",
    // "failed" or "command line error", with the reason.
    static QByteArray failure(const QString &status, const QString &error, const QString &distantVersion = QString(),
                              const QString &localVersion = QString());
};

#endif // UPDATECHECK_H

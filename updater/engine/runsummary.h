#ifndef RUNSUMMARY_H
#define RUNSUMMARY_H

#include "runhistory.h"

#include <QList>
#include <QString>
#include <QStringList>

// The figures of one update run and how it ended. The log's summary record,
// the history line and the window's end state are all read from it, so
// they never disagree.
class RunSummary
{
public:
    enum Outcome { Running, Done, DoneWithErrors, Refused, Cancelled, NotOffered };

    // "finished", "cancelled", "refused", "failed" (the local manifest could
    // not be saved), "not yet offered" (a staged rollout holds the release
    // back) or another word for a run that ended early; empty while the run
    // goes on.
    QString ending;
    int errors = 0;
    QString distantVersion;
    QString localVersionBefore;
    int filesFetched = 0;
    int filesFailed = 0;
    int entriesDeleted = 0;
    // Sizes of the files placed, and of all the files the release needs.
    qint64 bytesWritten = 0;
    qint64 bytesToWrite = 0;
    qint64 bytesTransferred = 0;
    qint64 bytesSaved = 0;
    double seconds = 0;
    // The most memory the process has held so far, in MiB; -1 where the
    // system does not say.
    qint64 peakMemoryMiB = -1;
    // What failed: an entry's path (empty: the whole release) and the
    // engine's reason, which may hold digests.
    QList<Logging::RunHistory::Failure> failures;
    // Damaged files a repair put right: "path (what was wrong)".
    QStringList repaired;

    Outcome outcome() const;
    // The summary record's text.
    QString logText() const;
    Logging::RunHistory::Run historyRun() const;

    // A failure in plain words, for people rather than the log: "b.dll could
    // not be verified: the download was damaged", "The release was refused:
    // its signature does not match". Digests never appear in it.
    static QString plainFailure(const QString &entry, const QString &reason);
    // The reason part alone, as plainFailure words it after the name.
    static QString plainReason(const QString &reason);
};

#endif // RUNSUMMARY_H

#ifndef RUNHISTORY_H
#define RUNHISTORY_H

#include <QDateTime>
#include <QList>
#include <QMutex>
#include <QString>

namespace Logging {

// One line per update run in a small UTF-8 file beside the program, kept to
// the last maximumRuns runs: what a support person reads first, long after
// the rotating log has dropped the run. Both programs may write the same
// file. The file is replaced in one rename with the new line added, so it
// is never half written, and a link in its place is replaced, never
// written through. Nothing is written until a path is set.
class RunHistory
{
public:
    struct Failure
    {
        QString name;
        QString reason;
    };

    struct Run
    {
        QDateTime ended;
        QString program;
        QString fromVersion;
        QString toVersion;
        QString outcome;
        int fetched = 0;
        int failed = 0;
        int deleted = 0;
        qint64 bytes = 0;
        double seconds = 0;
        // Only the first maximumFailures appear in the line.
        QList<Failure> failures;
    };

    static const int maximumRuns = 200;
    static const int maximumFailures = 20;

    static RunHistory &instance();

    // The file of the process's runs; empty: none.
    void setPath(const QString &path);
    QString path() const;

    // Adds the run's line. A failure never stops the caller: it is reported
    // on stderr (as the logger's own problems are) and returned as false.
    bool append(const Run &run);

    // The line as written, without its line break: time, program, versions,
    // outcome, counts, bytes, duration, then the failed files. Names and
    // reasons are quoted; control characters and line separators in them
    // are escaped, so a run is always one line.
    static QString line(const Run &run);

private:
    RunHistory() = default;
    Q_DISABLE_COPY(RunHistory)

    mutable QMutex m_mutex;
    QString m_path;
};

} // namespace Logging

#endif // RUNHISTORY_H

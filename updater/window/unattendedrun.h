#ifndef UNATTENDEDRUN_H
#define UNATTENDEDRUN_H

#include <QObject>
#include <QStringList>
#include <QTimer>

class UpdateManager;

// An update run without a window ("--silent"): start-up problems go to the
// log and stderr instead of boxes, the run starts at once, and finished()
// reports the process's exit status once the server has heard the close
// request (or it failed, or closeRequestTimeoutMs passed). With "--check"
// the run only reports: its JSON object goes to standard output, and the
// status is the check's.
class UnattendedRun : public QObject
{
    Q_OBJECT
public:
    enum ExitStatus { Success = 0, FilesFailed = 1, StartupFailed = 2 };

    explicit UnattendedRun(const QStringList &arguments, QObject *parent = nullptr);

    // False when the start-up check failed; nothing runs then, and the
    // process ends with startupStatus().
    bool start();
    int startupStatus() const { return m_startupStatus; }

    static const int closeRequestTimeoutMs = 5000;

signals:
    // Emitted from the event loop, never from inside start().
    void finished(int exitStatus);

private:
    void runFinished(int errors);
    void conclude();

    QStringList m_arguments;
    // Child of this run; the manager owns its downloader.
    UpdateManager *m_manager = nullptr;
    int m_exitStatus = Success;
    int m_startupStatus = StartupFailed;
    bool m_concluded = false;
    QTimer m_closeTimeout;
};

#endif // UNATTENDEDRUN_H

#ifndef STARTUPCHECK_H
#define STARTUPCHECK_H

#include <QString>
#include <QStringList>

class QWidget;

// Decides at start-up whether an update can run. The command line fills
// UpdaterSettings; each recoverable problem is shown in a "Launch warning."
// box and parsing goes on with a default, a fatal one in a "Critical error"
// box followed by two Error records. Ending the process is the caller's job.
// An unattended run shows no box: the same texts go to the log and stderr.
class StartupCheck
{
public:
    enum Interaction { WithBoxes, Unattended };

    // arguments as QCoreApplication::arguments() gives them, program path
    // first; the boxes are modal on boxParent.
    StartupCheck(QWidget *boxParent, const QStringList &arguments, Interaction interaction = WithBoxes);

    // Options that take the next argument as their value, whatever it looks
    // like: the five of the plain command line, then the added ones. Every
    // early look at the arguments skips values through this one list.
    static const QStringList &valueOptions();

    // Whether the command line asks for an unattended run ("--silent"). The
    // values of the other options are skipped, so "--url --silent" does not.
    static bool silentRequested(const QStringList &arguments);
    // Whether the command line asks only for a report ("--check"), found the
    // same way; such a run needs no window either.
    static bool checkRequested(const QStringList &arguments);
    // Whether a flag (an option without value) is given, found the same way.
    static bool flagGiven(const QStringList &arguments, const QString &flag);
    // The value of the last occurrence of an option, or empty.
    static QString optionValue(const QStringList &arguments, const QString &option);
    // The log rotation size asked for with "--log_size"; false when none or
    // not a valid size. Read before anything logs.
    static bool logSize(const QStringList &arguments, qint64 *bytes);

    // False when no update can run: the distant manifest or a public key
    // does not exist, the channel is empty (parsing stops there), or the
    // release is named twice.
    bool parseCommandLine();

    // Empty when an update can run; otherwise the fatal error's text,
    // already shown and logged.
    QString run();
    // After run() failed: the release could not be had from the server,
    // which is no fault of the command line.
    bool releaseUnavailable() const { return m_releaseUnavailable; }
    // The last warning given, which says what was wrong.
    QString lastWarning() const { return m_lastWarning; }

private:
    void warn(const QString &text);
    // Fetches the manifest named by "--manifest_request"; false, after the
    // warning, when it cannot be had.
    bool fetchManifest();

    QWidget *m_boxParent;
    QStringList m_arguments;
    Interaction m_interaction;
    // An unattended check gave a warning: the run does not start.
    bool m_warned = false;
    bool m_releaseUnavailable = false;
    QString m_lastWarning;
};

#endif // STARTUPCHECK_H

#ifndef UPDATERGUI_H
#define UPDATERGUI_H

#include <QDomElement>
#include <QFile>
#include <QStringList>
#include <QWidget>

class NotesView;
class QLabel;
class RunSummary;
class UpdateDownloader;
class UpdateManager;

namespace Ui {
class UpdaterForm;
}

// The updater's only window. Constructing it checks the command line first
// and ends the process (status 2) when no update can run. Closing it while
// the run goes on is Cancel; Esc closes it once the run is over.
class UpdaterGUI : public QWidget
{
    Q_OBJECT

public:
    explicit UpdaterGUI(QWidget *parent = nullptr);
    // The same with the command line given explicitly (program path first),
    // so that a window can be built for a chosen run.
    explicit UpdaterGUI(const QStringList &arguments, QWidget *parent = nullptr);
    ~UpdaterGUI() override;

    // Byte counts as the window shows them: "1023bytes", "1kB", "1.5MB".
    static QString formatSize(qint64 bytes);

    // What the process reports to whoever started it, by the same rules as
    // an unattended run: 0 once every file is installed, 1 otherwise (a
    // file failed, the release was refused, the run was cancelled).
    int exitStatus() const;

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

public slots:
    void cancelUpdate();
    void restartSoft();
    // The "Repair" button, shown when a run ended with errors: a repair run
    // of the same release (see UpdateManager::setRepair).
    void repairInstallation();
    void downloadStart(QDomElement elt, int remainingDownloads);
    void downloadsFinished(int errors);
    void downloadFinished(QDomElement elt, QFile *file);
    void downloadFailed(QDomElement elt);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal, double currentSpeed, double timeLeft,
                          int percentageDone);

private:
    // Connects the run's manager and downloader to the window and starts it.
    void startRun();
    // The release's notes have been fetched (or not).
    void notesFetched();
    // In the "What's new" area, in place of the account, once the release
    // is installed.
    void showNotes();
    // A new line, or text that continues the last one.
    void writeLog(const QString &text, bool newLine);
    // The status label: a name and what follows it.
    void showStatus(const QString &name, const QString &suffix);
    // The line above the status: what is updated, from which version to
    // which, and which file of how many.
    void showRunningHeadline();
    void setHeadline(const QString &text);
    // A label's text; a screen reader reads it, or what the label is for
    // while it is empty.
    static void setLabelText(QLabel *label, const QString &text);
    void showEndState(const RunSummary &run);

    Ui::UpdaterForm *ui;
    // The manager's downloader; not owned.
    UpdateDownloader *downloader = nullptr;
    // The file element whose download started last.
    QDomElement activeElement;
    // Created here, never deleted: it lives as long as the process.
    UpdateManager *manager = nullptr;

    // "Kandemar 1.0 → 2.0", said while the run goes on.
    QString m_subject;
    int m_fileNumber = 0;
    int m_fileCount = 0;
    bool m_finished = false;
    int m_exitStatus = 1;
    bool m_repairing = false;
    // The "What's new" area: a title and the notes, hidden until shown.
    QLabel *m_notesTitle = nullptr;
    NotesView *m_notes = nullptr;
    QString m_notesText;
    bool m_notesHtml = false;
};

#endif // UPDATERGUI_H

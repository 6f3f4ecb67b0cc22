#ifndef UPDATERGUI_H
#define UPDATERGUI_H

#include <QDomElement>
#include <QFile>
#include <QStringList>
#include <QWidget>

class UpdateDownloader;
class UpdateManager;

namespace Ui {
class UpdaterForm;
}

// The updater's only window. Constructing it checks the command line first
// and ends the process when no update can run.
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

public slots:
    void cancelUpdate();
    void restartSoft();
    void downloadStart(QDomElement elt, int remainingDownloads);
    void downloadsFinished(int errors);
    void downloadFinished(QDomElement elt, QFile *file);
    void downloadFailed(QDomElement elt);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal, double currentSpeed, double timeLeft,
                          int percentageDone);

private:
    // A new line, or text that continues the last one.
    void writeLog(const QString &text, bool newLine);
    // The status label: a name and what follows it.
    void showStatus(const QString &name, const QString &suffix);

    Ui::UpdaterForm *ui;
    // The manager's downloader; not owned.
    UpdateDownloader *downloader = nullptr;
    // The file element whose download started last.
    QDomElement activeElement;
    // Created here, never deleted: it lives as long as the process.
    UpdateManager *manager = nullptr;
};

#endif // UPDATERGUI_H

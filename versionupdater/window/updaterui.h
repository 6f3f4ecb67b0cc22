#ifndef UPDATERUI_H
#define UPDATERUI_H

#include "version.h"

#include <QElapsedTimer>
#include <QMainWindow>
#include <QPointer>
#include <QString>
#include <QStringList>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;
class updaterHandler;

namespace Ui {
class UpdaterUI;
}
using UpdaterUIForm = Ui::UpdaterUI;

// The only window of versionupdater: reads the command line, asks the
// server for the version list (and its signature when a public key is in
// use), queues what is newer and offers a restart. The run ends once, when
// the list has been dealt with and the last download is over (or on
// Cancel, or when the window is closed): one end state, one end record,
// one line in the run history.
class UpdaterUI : public QMainWindow
{
    Q_OBJECT

public:
    // Reads the process arguments.
    explicit UpdaterUI(QWidget *parent = nullptr);
    // Reads the given arguments (the first one is the program path).
    explicit UpdaterUI(const QStringList &arguments, QWidget *parent = nullptr);
    ~UpdaterUI() override;

protected:
    void closeEvent(QCloseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private slots:
    void downloadReady(QUrl source, int remainingDownloads);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void updateFinished(bool success);
    bool fileHasUpdate(QString line);
    void staticUpdateReady(QNetworkReply *reply);
    void on_restartButton_clicked();
    void on_cancelButton_clicked();

private:
    // What a GET of the window's access manager is for.
    enum Fetch { ListFetch, SignatureFetch };

    bool parseCommandLine(const QStringList &arguments);
    void loadPublicKey(const QStringList &options);
    void warn(const QString &text);
    void showEndButton();
    void sendRequest(Fetch fetch);
    // The list's end states that stop the run: no download follows.
    void listFailed(const QString &state, const QString &reason);
    void decide(const QByteArray &list);
    // Ends the run once the list is dealt with and no download is left.
    void finishWhenDone();
    void finish(const QString &state, const QString &outcome);
    // The line under the status: from which version to which, and which
    // file of how many.
    void showDetail();

    UpdaterUIForm *m_form;
    updaterHandler *m_handler = nullptr; // lives until the process ends
    QNetworkAccessManager *m_manager = nullptr;
    int m_attempt = 0;                   // of the current fetch, from 1
    QByteArray m_list;                   // kept until its signature is checked
    QByteArray m_body;                   // of the list or signature being fetched
    QPointer<QNetworkReply> m_fetch;     // the list or signature request in flight
    bool m_listDone = false;             // the list was used, or ended the run
    QString m_listState;                 // the list's own end state, when it failed
    bool m_anyNewer = false;
    bool m_finished = false;
    bool m_cancelled = false;
    Version m_target;                    // the newest version chosen from the list
    QElapsedTimer m_clock;
    static const qint64 kReadAhead = 256 * 1024;
};

#endif // UPDATERUI_H

#ifndef UPDATERHANDLER_H
#define UPDATERHANDLER_H

#include <QFile>
#include <QList>
#include <QNetworkReply>
#include <QObject>
#include <QPair>
#include <QString>
#include <QStringList>
#include <QUrl>

#include <memory>

class QNetworkAccessManager;
class QSaveFile;

// Downloads queued files one after another into the destination folder.
// Each body is streamed into a temporary file beside its target and moved
// into place only when the reply succeeded, so a failed download never
// touches the file already there.
class updaterHandler : public QObject
{
    Q_OBJECT

public:
    explicit updaterHandler(const QString &destinationDir, QObject *parent = nullptr);
    ~updaterHandler() override;

    // Parses each entry ("URL" or "URL=file/name") and queues it.
    void appendEntries(const QStringList &entries);
    // Queues one download; starts at once when the handler is idle.
    void appendDownload(const QUrl &url, const QString &fileName);

signals:
    void downloadStart(QUrl source, int remainingDownloads);
    void currentDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    // The file object names the written file; it stays valid until the
    // next download finishes.
    void downloadFinished(QUrl source, QFile *file);
    // The queue has run dry (true when every download so far succeeded),
    // or a destination file could not be opened (false; the handler stops).
    void queueEmpty(bool success);

private slots:
    void writeDownload(QNetworkReply *reply);
    void downloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void writeAvailable();

private:
    using Item = QPair<QUrl, QString>;

    void startNext();

    QNetworkAccessManager *m_manager;          // child of the handler
    std::unique_ptr<QSaveFile> m_file;         // the download in flight
    QString m_destinationDir;
    QNetworkReply *m_reply = nullptr;          // deleted once finished
    QList<Item> m_queue;
    Item m_current;
    bool m_busy = false;
    bool m_writeFailed = false;                // disk error on the current file
    qint64 m_bytesWritten = 0;                 // body bytes of the current file
    bool m_anyFailed = false;                  // some download of this process failed
    QFile m_finishedFile;
};

#endif // UPDATERHANDLER_H

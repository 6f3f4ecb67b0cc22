#ifndef UPDATEDOWNLOADER_H
#define UPDATEDOWNLOADER_H

#include <QDomElement>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QMetaType>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QObject>
#include <QString>

#include <memory>

class QTemporaryFile;
struct evp_md_ctx_st;

Q_DECLARE_METATYPE(QDomElement)
Q_DECLARE_METATYPE(QFile *)

// Fetches the files of one update run, one transfer at a time. Each queued
// manifest file element is asked for with an update request, streamed into
// a temporary file, checked against its "crc" and reported by a signal;
// a failed file is tried up to three times before it is given up.
class UpdateDownloader : public QObject
{
    Q_OBJECT
public:
    explicit UpdateDownloader(QString url, QObject *parent = nullptr);
    ~UpdateDownloader() override;

    void addDownload(QDomElement element);
    void downloadNext();
    // No new transfer starts afterwards; the one in flight runs to its end.
    void cancelDownloads();

    // Carries every request of the run; the close request goes through it too.
    QNetworkAccessManager *networkAccessManager() { return &networkManager; }

    // The one wire format of the update server: a form POST to the update
    // URL with the fields "version" then "request".
    static QNetworkRequest updateRequest(const QString &url);
    static QByteArray formBody(const QString &version, const QString &request);

signals:
    void fileElementError(QDomElement element);
    void fileDownloadError(QDomElement element);
    void fileCrcError(QDomElement element, QFile *file);
    void fileNetworkError(QNetworkReply::NetworkError code, QString text, QDomElement element);
    void fileDownloaded(QDomElement element, QFile *file);
    void fileQueueEmpty();
    void fileDownloadStarting(QDomElement element, int remainingDownloads);
    void fileDownloadProgress(qint64 bytesReceived, qint64 bytesTotal, double currentSpeed,
                              double timeLeft, int percentageDone);

public slots:
    void downloadProgress(qint64 received, qint64 total);
    void downloadFinished();
    void writeData();
    void netErrorCatched(QNetworkReply::NetworkError code);

private:
    void endReply();
    void retryOrGiveUp();

    QNetworkAccessManager networkManager;
    QTemporaryFile *temporaryFile = nullptr;
    QNetworkReply *reply = nullptr;
    QElapsedTimer clock;
    QList<QDomElement> queue;
    QDomElement currentElement;
    int attempts = 0;
    QString url;
    // Nothing assigns it: file requests carry an empty "version" field.
    QString version;
    double smoothedTimeLeft = -1.0;
    double speedSum = 0;
    double speedSamples = 0;
    double verifiedBytes = 0;
    double queuedBytes = 0;
    bool cancelled = false;

    // The body is hashed as it is written, so a verified file is not read
    // back a second time; writeComplete says whether the hash still
    // describes the bytes on disk. libcrypto's SHA-1 is several times faster
    // than the toolkit's on large files.
    struct HashDeleter
    {
        void operator()(evp_md_ctx_st *context) const;
    };
    std::unique_ptr<evp_md_ctx_st, HashDeleter> streamHash;
    bool writeComplete = true;
};

#endif // UPDATEDOWNLOADER_H

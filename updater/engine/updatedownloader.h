#ifndef UPDATEDOWNLOADER_H
#define UPDATEDOWNLOADER_H

#include "httpclient.h"
#include "transferoptions.h"

#include <QDomElement>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QMetaType>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>

class ChunkedFetch;
class DestinationFolder;
class HttpTransfer;
class StagedFile;

Q_DECLARE_METATYPE(QDomElement)
Q_DECLARE_METATYPE(QFile *)

// Fetches the files of one update run, one transfer at a time. Each queued
// manifest file element is asked for with an update request and written,
// as it arrives, into a new file in the folder it will be placed in. The
// body may not exceed the element's "size"; the finished file must have
// exactly that size, the element's "crc" as SHA-1 and, when the element
// has one, its "sha256". A file that fails is tried three times in all,
// after waits of 1 s and 3 s; a later attempt asks for the rest of a
// partly received file and keeps it when the server sends just that (a
// 416 for that rest starts the file over once, at once). After
// unreachableAfter files in a row were given up on network or HTTP errors
// the server is taken to be gone: the rest of the queue is given up too.
class UpdateDownloader : public QObject
{
    Q_OBJECT
public:
    explicit UpdateDownloader(QString url, QObject *parent = nullptr);
    ~UpdateDownloader() override;

    void addDownload(QDomElement element);
    // Files to fetch after the queue, asked for one at a time as it runs
    // dry (a null element: no more), so that a run of any size holds only
    // the elements in flight. `count` and `bytes` are what it will hand
    // out, for the progress figures.
    void setFeed(std::function<QDomElement()> feed, int count, double bytes);
    void downloadNext();
    // No new transfer starts afterwards, and the one in flight is aborted:
    // its file is never placed. The queue then reports itself empty.
    void cancelDownloads();

    // The folder files are staged in and placed below; the caller keeps it
    // alive. Without it nothing can be fetched.
    void setDestination(const DestinationFolder *destination) { m_destination = destination; }
    // Fetch files with a plain GET of this URL joined with their "url"
    // (static hosting) instead of the update request; empty: the update
    // request.
    void setFilesUrl(const QString &filesUrl) { m_filesUrl = filesUrl; }
    // The waits before the second and the third attempt, in milliseconds.
    void setRetryDelays(const QVector<int> &delays) { m_retryDelays = delays; }

    // Carries every request of the run; the close request goes through it too.
    HttpClient *transport() { return &networkManager; }

    // Why the last attempt failed a check or a write, for the log.
    QString lastFailure() const { return m_lastFailure; }
    bool isCancelled() const { return cancelled; }
    // The rest of the queue was given up: the server failed too many files
    // in a row.
    bool serverUnreachable() const { return m_serverUnreachable; }
    static const int unreachableAfter = 5;
    // Body bytes received over the network in this run, every attempt
    // counted.
    qint64 bytesTransferred() const;
    // Bytes of changed files taken from their installed versions instead of
    // the network.
    qint64 bytesSaved() const { return m_bytesSaved; }

    // The one wire format of the update server: a form POST to the update
    // URL with the fields "version" then "request".
    static QByteArray formContentType();
    static QByteArray formBody(const QString &version, const QString &request);
    // The GET address of a file below a static files URL.
    static QUrl fileUrl(const QString &filesUrl, const QString &relativeUrl);
    // Why a received file is not the one its element describes (size,
    // SHA-1, SHA-256, a failed write); empty when it is.
    static QString mismatch(StagedFile *file, const QDomElement &element);

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
    // Writing the received bytes failed (a full disk, say); the attempt
    // fails like any other.
    void fileWriteError(QDomElement element, QString reason);
    // A changed file with a chunk index could not be built from its chunks;
    // it is fetched whole instead.
    void fileChunksUnusable(QDomElement element, QString reason);
    // The server is taken to be unreachable: `files` queued files are
    // given up unfetched, and the queue then reports itself empty.
    void fileQueueAbandoned(int files, QString reason);

public slots:
    void downloadProgress(qint64 received, qint64 total);
    void downloadFinished();
    void writeData();
    void netErrorCatched(QNetworkReply::NetworkError code);

private slots:
    void metaDataReceived();

private:
    void endTransfer();
    void retryOrGiveUp();
    void discardFile();
    bool stageFile();
    // Expected byte count of the current element; -1 when it has none.
    qint64 expectedSize() const;
    bool verify(StagedFile *file);
    // The installed file a changed element can be rebuilt from, or empty.
    QString chunkSource() const;
    HttpTransfer *request(const QString &relativeUrl, const TransferLimits &limits);
    void startChunked(const QString &oldPath);
    void chunksPlanned(qint64 fetch, qint64 copy);
    void chunksProgress(qint64 fetched);
    void chunksFinished();
    void chunksNetworkError(QNetworkReply::NetworkError code, const QString &text);
    // Gives up the chunks of the current file and fetches it whole.
    void fetchWhole(const QString &reason);
    void reportProgress(qint64 fileBytes, qint64 attemptBytes, qint64 fileTotal);

    HttpClient networkManager;
    StagedFile *temporaryFile = nullptr;
    QPointer<HttpTransfer> reply;
    QElapsedTimer clock;
    QList<QDomElement> queue;
    std::function<QDomElement()> m_feed;
    int m_feedCount = 0;
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

    const DestinationFolder *m_destination = nullptr;
    QString m_filesUrl;
    QVector<int> m_retryDelays{1000, 3000};
    QTimer m_retryTimer;
    // Bytes the file held when the current attempt started (a resume).
    qint64 m_resumeFrom = 0;
    // The attempt's body cannot be used; the next attempt starts over.
    bool m_discardPartial = false;
    bool m_writeFailed = false;
    // The last attempt failed on the network or an HTTP error (not on its
    // content or a write), and how many files in a row were given up so.
    bool m_networkFailure = false;
    int m_unreachableInARow = 0;
    bool m_serverUnreachable = false;
    // The current file was started over after a 416 for its rest.
    bool m_rangeRestarted = false;
    QString m_lastFailure;
    QByteArray m_buffer;
    qint64 m_transferred = 0;

    // The rebuilding of a changed file from its chunks, when it has them.
    ChunkedFetch *m_chunked;
    QDomElement m_chunkedElement; // the file it works on
    bool m_chunkBusy = false;     // a step of it is under way
    qint64 m_chunkCopy = 0;       // bytes it copies from the installed file
    QList<QDomElement> m_wholeOnly; // files whose chunks failed: fetched whole
    qint64 m_bytesSaved = 0;
};

#endif // UPDATEDOWNLOADER_H

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
#include <memory>
#include <vector>

class ChunkedFetch;
class DestinationFolder;
class HttpTransfer;
class StagedFile;

Q_DECLARE_METATYPE(QDomElement)
Q_DECLARE_METATYPE(QFile *)

// Fetches the files of one update run, one at a time unless told to fetch
// several at once (setConnections). Each queued
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
//
// With several connections, each file in flight keeps its own attempts,
// waits and resume; the row of failed files counts them in the order they
// end. So that every file's lines stay together in the log and the window,
// an attempt is then announced (fileDownloadStarting) only as it ends,
// right before what became of it; progress then covers the files in flight
// together.
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
    // How many files may be in flight at once (1 to maxConnections); set
    // before the first downloadNext().
    void setConnections(int connections);
    int connections() const { return m_connections; }
    static constexpr int maxConnections = 16;

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
    // One step of the time-left figure: `smoothed` (-1: no estimate yet)
    // follows the new estimate, in seconds, but by 5 % only when it is
    // more than 1.5 times or less than two thirds of it. Returns the time
    // left to report: 1.5 times the smoothed value.
    static double smoothTimeLeft(double *smoothed, double estimate);

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
    // One file being fetched: its attempts, its staged file and transfer.
    struct Slot;

    Slot *slotOf(QObject *transfer) const;
    bool isBusy() const;
    // Takes queued files into free slots while there are both.
    void fillSlots();
    // Moves the feed's next element into the empty queue.
    void pullFeed();
    // Starts the next attempt at the slot's file; false when its file could
    // not even be staged (the slot is free again).
    bool startAttempt(Slot *slot);
    void announce(Slot *slot);
    // The slot's file is done with (fetched or given up): it is free again.
    void release(Slot *slot);
    void endTransfer(Slot *slot);
    void writeBody(Slot *slot);
    void retryOrGiveUp(Slot *slot);
    void giveUp(Slot *slot);
    void discardFile(Slot *slot);
    bool stageFile(Slot *slot);
    bool verify(Slot *slot, StagedFile *file);
    // The installed file a changed element can be rebuilt from, or empty.
    QString chunkSource(Slot *slot) const;
    HttpTransfer *request(const QString &relativeUrl, const TransferLimits &limits);
    ChunkedFetch *chunkedFetch(Slot *slot);
    void startChunked(Slot *slot, const QString &oldPath);
    void chunksFinished(Slot *slot);
    void chunksNetworkError(Slot *slot, QNetworkReply::NetworkError code, const QString &text);
    // Gives up the chunks of the slot's file and fetches it whole.
    void fetchWhole(Slot *slot, const QString &reason);
    void reportProgress(Slot *slot, qint64 fileBytes, qint64 attemptBytes, qint64 fileTotal);

    HttpClient networkManager;
    QList<QDomElement> queue;
    // Hands out the next element when the queue runs dry (setFeed).
    std::function<QDomElement()> m_feed;
    int m_feedCount = 0;
    std::vector<std::unique_ptr<Slot>> m_slots;
    int m_connections = 1;
    QString url;
    // Nothing assigns it: file requests carry an empty "version" field.
    QString version;
    double smoothedTimeLeft = -1.0;
    double speedSum = 0;
    double speedSamples = 0;
    double verifiedBytes = 0;
    double queuedBytes = 0;
    bool cancelled = false;
    // Files started now are announced later, after the outcome of the one
    // that just ended.
    bool m_holdAnnouncements = false;
    // Since the first transfer: with several in flight, the speed is that
    // of all of them together.
    QElapsedTimer m_runClock;

    const DestinationFolder *m_destination = nullptr;
    QString m_filesUrl;
    QVector<int> m_retryDelays{1000, 3000};
    // How many files in a row were given up on network or HTTP errors.
    int m_unreachableInARow = 0;
    bool m_serverUnreachable = false;
    QString m_lastFailure;
    QByteArray m_buffer;
    // Body bytes of whole downloads and of finished rebuildings.
    qint64 m_transferred = 0;

    QList<QDomElement> m_wholeOnly; // files whose chunks failed: fetched whole
    qint64 m_bytesSaved = 0;
};

#endif // UPDATEDOWNLOADER_H

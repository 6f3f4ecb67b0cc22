#ifndef HTTPTRANSFER_H
#define HTTPTRANSFER_H

#include <QByteArray>
#include <QElapsedTimer>
#include <QNetworkReply>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QUrl>

class HttpClient;

// One HTTP request and its answer, made by an HttpClient. Its signals mirror
// those of a network reply, so that code written against replies reads the
// same. The body is handed out as it arrives and is never held whole.
//
// An HTTP error status (400 and above) fails the transfer with the status in
// its error text ("HTTP 500 Internal Server Error"); redirects are not
// followed; the body is never decompressed.
class HttpTransfer : public QObject
{
    Q_OBJECT
public:
    ~HttpTransfer() override;

    // Body bytes that have arrived and were not read yet.
    qint64 bytesAvailable() const;
    // Copies up to maxSize of them into data; returns how many.
    qint64 read(char *data, qint64 maxSize);

    // Known once metaDataChanged() has been emitted.
    int httpStatus() const { return m_status; }
    // -1 when the server did not announce it.
    qint64 contentLength() const { return m_contentLength; }
    // First byte of a 206 answer's range; -1 without one.
    qint64 contentRangeStart() const { return m_rangeStart; }
    // Body bytes received so far.
    qint64 bytesReceived() const { return m_received; }

    QUrl url() const { return m_url; }
    bool isFinished() const { return m_finished; }
    QNetworkReply::NetworkError error() const { return m_error; }
    QString errorString() const { return m_errorString; }

    // Ends the transfer as failed with the given reason; its signals then
    // report that error. Safe to call from a slot of this transfer.
    void abort(QNetworkReply::NetworkError code = QNetworkReply::OperationCanceledError,
               const QString &reason = QString());

signals:
    // The status line and headers of the answer have arrived.
    void metaDataChanged();
    void readyRead();
    void downloadProgress(qint64 received, qint64 total);
    void errorOccurred(QNetworkReply::NetworkError code);
    // Always the last signal, after errorOccurred() for a failure.
    void finished();

private:
    friend class HttpClient;
    explicit HttpTransfer(HttpClient *client, const QUrl &url);

    static size_t onHeader(char *data, size_t size, size_t count, void *self);
    static size_t onBody(char *data, size_t size, size_t count, void *self);
    // Called by the client when the transport is done with the request.
    void complete(int curlCode);
    // Fails the transfer when under 1 KiB arrives in any stretch of this
    // many milliseconds, from the start on.
    void watchStalls(int milliseconds);
    void checkStall();
    void fail(QNetworkReply::NetworkError code, const QString &text);

    HttpClient *m_client;
    void *m_easy = nullptr; // the libcurl handle, owned
    void *m_headerList = nullptr;
    QUrl m_url;
    QByteArray m_body; // kept for the transport while it sends
    char m_curlError[256] = {};

    int m_status = 0;
    QByteArray m_reason;
    qint64 m_contentLength = -1;
    qint64 m_rangeStart = -1;
    qint64 m_received = 0;
    bool m_headersDone = false;

    // The piece the transport is delivering right now, and what a reader
    // left of earlier pieces.
    const char *m_chunk = nullptr;
    qint64 m_chunkSize = 0;
    QByteArray m_pending;

    bool m_inCallback = false;
    bool m_abortRequested = false;
    QNetworkReply::NetworkError m_abortCode = QNetworkReply::NoError;
    QString m_abortReason;

    QTimer m_stallTimer;
    QElapsedTimer m_sinceProgress; // since the last KiB arrived
    qint64 m_progressMark = 0;     // bytes received at that moment
    int m_stallMilliseconds = 0;

    bool m_finished = false;
    QNetworkReply::NetworkError m_error = QNetworkReply::NoError;
    QString m_errorString;
};

#endif // HTTPTRANSFER_H

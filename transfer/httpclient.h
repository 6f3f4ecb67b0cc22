#ifndef HTTPCLIENT_H
#define HTTPCLIENT_H

#include "transferoptions.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>

class HttpTransfer;

// Makes HTTP transfers on the event loop of the thread it lives in, over
// connections it keeps alive between requests. Every transfer is bounded in
// time by the options' stall rule; bytes are bounded by the caller, who
// sees each piece of the body before it is written anywhere.
class HttpClient : public QObject
{
    Q_OBJECT
public:
    explicit HttpClient(QObject *parent = nullptr);
    ~HttpClient() override;

    void setOptions(const TransferOptions &options) { m_options = options; }
    const TransferOptions &options() const { return m_options; }

    // Starts a transfer; it is a child of the client, and its owner deletes
    // it (deleteLater()) once it has finished.
    HttpTransfer *post(const QUrl &url, const QByteArray &contentType, const QByteArray &body,
                       const TransferLimits &limits = TransferLimits());
    HttpTransfer *get(const QUrl &url, const TransferLimits &limits = TransferLimits());

    // Called by a transfer that is taken back before the transport ends it.
    void cancel(HttpTransfer *transfer);

private slots:
    void socketActivated(QSocketDescriptor socket, QSocketNotifier::Type type);

private:
    struct Watch
    {
        QSocketNotifier *read = nullptr;
        QSocketNotifier *write = nullptr;
    };

    HttpTransfer *start(const QUrl &url, const QByteArray &contentType, const QByteArray *body,
                        const TransferLimits &limits);
    static int onSocket(void *easy, int socket, int what, void *self, void *socketData);
    static int onTimer(void *multi, long milliseconds, void *self);
    void socketReady(int socket, int direction);
    void timeout();
    void collectFinished();

    void *m_multi = nullptr; // the libcurl multi handle, owned
    TransferOptions m_options;
    QByteArray m_caFile; // what the TLS set-up reads, kept alive here
    QTimer m_timer;
    QHash<int, Watch> m_watches;
};

#endif // HTTPCLIENT_H

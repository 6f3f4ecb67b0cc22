#ifndef HTTPCLIENT_H
#define HTTPCLIENT_H

#include "httptransfer.h"
#include "transferoptions.h"

#include <QByteArray>
#include <QHash>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <QUrl>


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

    // Puts the requests of transfers just started on the wire at once
    // rather than at the next turn of the event loop, so that the server
    // works on them while the caller goes on. Their transfers may already
    // report headers and body meanwhile; they end at a later turn.
    void sendPending();

    // Called by a transfer that is taken back before the transport ends it.
    void cancel(HttpTransfer *transfer);
    // Takes back the handle of a finished transfer for the next one: a new
    // handle would allocate its buffers again for every file.
    void recycle(void *easy);

    // Whether the transport is at work, so that it must not be re-entered.
    bool isDispatching() const { return m_dispatching; }
    // A transfer ended from inside the transport's work; it is completed as
    // soon as the transport returns.
    void cancelLater(HttpTransfer *transfer) { m_cancelling.append(transfer); }

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
    void dispatch(int socket, int direction);
    void collectFinished();

    void *m_multi = nullptr; // the libcurl multi handle, owned
    // The transport is working (its callbacks may be running): it must not
    // be re-entered, so new transfers wait in m_starting until it returns.
    bool m_dispatching = false;
    QList<void *> m_starting;
    QList<QPointer<HttpTransfer>> m_cancelling;
    QList<void *> m_idleHandles;
    TransferOptions m_options;
    QByteArray m_caFile; // what the TLS set-up reads, kept alive here
    QTimer m_timer;
    QHash<int, Watch> m_watches;
};

#endif // HTTPCLIENT_H

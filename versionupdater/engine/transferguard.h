#ifndef TRANSFERGUARD_H
#define TRANSFERGUARD_H

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

class QNetworkReply;

// Bounds one reply in bytes and in time, and says why it failed.
//
// The reply is aborted as soon as its body (announced or received) passes
// the byte limit, or when fewer than 1 KiB arrived during a stall period,
// counting from the request: a server that never answers, stops halfway or
// drips a byte at a time ends like a dropped connection. The guard is a
// child of the reply; whoever reads the body while it streams reads it
// through take(), so that the guard counts every byte.
class TransferGuard : public QObject
{
    Q_OBJECT

public:
    TransferGuard(QNetworkReply *reply, qint64 maximumBytes, int stallSeconds);

    // The guard of a reply, or null when it has none.
    static TransferGuard *of(QNetworkReply *reply);

    // What arrived since the last call; counted as received.
    QByteArray take();
    qint64 received() const { return m_received; }

    // Aborts the transfer for `reason`. A retryable reason may not recur
    // (a stall); any other would (a body too long).
    void stop(const QString &reason, bool retryable);

    // Why the transfer failed, empty when it succeeded: the guard's reason,
    // the HTTP status ("HTTP 500 Internal Server Error"), the proxy that
    // refused it, the system's error, or a body cut short of its length.
    QString failure() const;
    // Whether another attempt could succeed.
    bool retryable() const;

private slots:
    void checkAnnouncedSize();
    void countAvailable();
    void checkProgress();

private:
    QNetworkReply *m_reply;
    qint64 m_maximumBytes;
    int m_stallSeconds;
    QTimer m_watchdog;
    qint64 m_taken = 0;
    qint64 m_received = 0;
    qint64 m_receivedAtLastCheck = 0;
    QString m_stopReason;
    bool m_stopRetryable = true;
};

#endif // TRANSFERGUARD_H

#include "transferguard.h"

#include "fetchoptions.h"

#include <QNetworkProxy>
#include <QNetworkProxyFactory>
#include <QNetworkReply>
#include <QVariant>

namespace {

QString proxyName(const QUrl &url)
{
    // The same lookup as the access manager's (SystemProxyFactory).
    const QList<QNetworkProxy> proxies = QNetworkProxyFactory::systemProxyForQuery(QNetworkProxyQuery(url));
    for (const QNetworkProxy &proxy : proxies) {
        if (proxy.type() == QNetworkProxy::HttpProxy || proxy.type() == QNetworkProxy::Socks5Proxy)
            return QStringLiteral("%1://%2:%3")
                .arg(proxy.type() == QNetworkProxy::HttpProxy ? QStringLiteral("http") : QStringLiteral("socks5"),
                     proxy.hostName())
                .arg(proxy.port());
    }
    return QStringLiteral("(unknown)");
}

} // namespace

TransferGuard::TransferGuard(QNetworkReply *reply, qint64 maximumBytes, int stallSeconds)
    : QObject(reply)
    , m_reply(reply)
    , m_maximumBytes(maximumBytes)
    , m_stallSeconds(stallSeconds)
    , m_watchdog(this)
{
    setObjectName(QStringLiteral("transferGuard"));
    connect(reply, &QNetworkReply::metaDataChanged, this, &TransferGuard::checkAnnouncedSize);
    connect(reply, &QNetworkReply::readyRead, this, &TransferGuard::countAvailable);
    connect(reply, &QNetworkReply::finished, &m_watchdog, &QTimer::stop);
    connect(&m_watchdog, &QTimer::timeout, this, &TransferGuard::checkProgress);
    // A coarse timer may fire 5% early, judging a server on less time than
    // it was given.
    m_watchdog.setTimerType(Qt::PreciseTimer);
    m_watchdog.start(stallSeconds * 1000);
}

TransferGuard *TransferGuard::of(QNetworkReply *reply)
{
    return reply ? reply->findChild<TransferGuard *>(QStringLiteral("transferGuard"), Qt::FindDirectChildrenOnly)
                 : nullptr;
}

QByteArray TransferGuard::take()
{
    const QByteArray chunk = m_reply->readAll();
    m_taken += chunk.size();
    m_received = qMax(m_received, m_taken);
    return chunk;
}

void TransferGuard::stop(const QString &reason, bool retryable)
{
    if (!m_stopReason.isEmpty() || m_reply->isFinished())
        return;
    m_stopReason = reason;
    m_stopRetryable = retryable;
    m_watchdog.stop();
    m_reply->abort(); // finishes the reply now: its receivers see the reason
}

void TransferGuard::checkAnnouncedSize()
{
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() > m_maximumBytes)
        stop(QStringLiteral("the body announces %1 bytes, more than the limit of %2")
                 .arg(length.toLongLong())
                 .arg(m_maximumBytes),
             false);
}

void TransferGuard::countAvailable()
{
    m_received = qMax(m_received, m_taken + m_reply->bytesAvailable());
    if (m_received > m_maximumBytes)
        stop(QStringLiteral("the body is longer than the limit of %1 bytes").arg(m_maximumBytes), false);
}

void TransferGuard::checkProgress()
{
    if (m_received - m_receivedAtLastCheck < FetchOptions::kStallBytes)
        stop(QStringLiteral("stalled: fewer than %1 bytes in %2 s").arg(FetchOptions::kStallBytes).arg(m_stallSeconds),
             true);
    m_receivedAtLastCheck = m_received;
}

QString TransferGuard::failure() const
{
    if (!m_stopReason.isEmpty())
        return m_stopReason;
    const QNetworkReply::NetworkError error = m_reply->error();
    if (error == QNetworkReply::ProxyAuthenticationRequiredError)
        return QStringLiteral("the proxy %1 asks for credentials (HTTP 407 Proxy Authentication Required)")
            .arg(proxyName(m_reply->url()));
    if (error >= QNetworkReply::ProxyConnectionRefusedError && error <= QNetworkReply::UnknownProxyError)
        return QStringLiteral("proxy %1: %2").arg(proxyName(m_reply->url()), m_reply->errorString());
    const QVariant status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    if (status.isValid() && (status.toInt() < 200 || status.toInt() > 299))
        return QStringLiteral("HTTP %1 %2")
            .arg(status.toInt())
            .arg(m_reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString());
    if (error != QNetworkReply::NoError)
        return m_reply->errorString();
    // A connection closed early is not always reported as an error.
    const QVariant length = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (length.isValid() && length.toLongLong() != m_received)
        return QStringLiteral("the connection closed after %1 of %2 bytes").arg(m_received).arg(length.toLongLong());
    return QString();
}

bool TransferGuard::retryable() const
{
    return m_stopReason.isEmpty() || m_stopRetryable;
}

#include "httptransfer.h"

#include "httpclient.h"
#include "systemproxy.h"

#include <curl/curl.h>

#include <cstring>

namespace {

// The stall rule: a transfer must bring at least this much in every stall
// period. A drip of a few bytes a second is a stall too: it would take
// days to deliver a file.
const qint64 kStallBytes = 1024;

// Unread body the transfer keeps for a reader that did not take everything
// at once. Readers of this project take each piece as it comes; this only
// bounds memory should one not.
const qint64 kPendingLimit = 16 * 1024 * 1024;

QNetworkReply::NetworkError errorForStatus(long status)
{
    switch (status) {
    case 401: return QNetworkReply::AuthenticationRequiredError;
    case 403: return QNetworkReply::ContentAccessDenied;
    case 404:
    case 410: return QNetworkReply::ContentNotFoundError;
    case 405: return QNetworkReply::ContentOperationNotPermittedError;
    case 407: return QNetworkReply::ProxyAuthenticationRequiredError;
    case 409: return QNetworkReply::ContentConflictError;
    case 500: return QNetworkReply::InternalServerError;
    case 501: return QNetworkReply::OperationNotImplementedError;
    case 503: return QNetworkReply::ServiceUnavailableError;
    default:
        return status >= 500 ? QNetworkReply::UnknownServerError : QNetworkReply::ProtocolInvalidOperationError;
    }
}

QNetworkReply::NetworkError errorForTransport(CURLcode code)
{
    switch (code) {
    case CURLE_COULDNT_RESOLVE_HOST: return QNetworkReply::HostNotFoundError;
    case CURLE_COULDNT_RESOLVE_PROXY: return QNetworkReply::ProxyNotFoundError;
    case CURLE_COULDNT_CONNECT: return QNetworkReply::ConnectionRefusedError;
    case CURLE_OPERATION_TIMEDOUT: return QNetworkReply::TimeoutError;
    case CURLE_SSL_CONNECT_ERROR:
    case CURLE_PEER_FAILED_VERIFICATION:
    case CURLE_SSL_CACERT_BADFILE:
    case CURLE_SSL_CERTPROBLEM:
    case CURLE_SSL_CIPHER:
    case CURLE_SSL_ISSUER_ERROR:
    case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
    case CURLE_SSL_INVALIDCERTSTATUS:
    case CURLE_SSL_CRL_BADFILE: return QNetworkReply::SslHandshakeFailedError;
    case CURLE_GOT_NOTHING:
    case CURLE_RECV_ERROR:
    case CURLE_SEND_ERROR:
    case CURLE_PARTIAL_FILE: return QNetworkReply::RemoteHostClosedError;
    case CURLE_UNSUPPORTED_PROTOCOL: return QNetworkReply::ProtocolUnknownError;
    case CURLE_WRITE_ERROR:
    case CURLE_ABORTED_BY_CALLBACK: return QNetworkReply::OperationCanceledError;
    default: return QNetworkReply::UnknownNetworkError;
    }
}

} // namespace

HttpTransfer::HttpTransfer(HttpClient *client, const QUrl &url)
    : QObject(client)
    , m_client(client)
    , m_url(url)
{
}

HttpTransfer::~HttpTransfer()
{
    if (!m_finished && m_client)
        m_client->cancel(this);
    if (m_easy) {
        if (m_client && m_finished)
            m_client->recycle(m_easy);
        else
            curl_easy_cleanup(static_cast<CURL *>(m_easy));
    }
    if (m_headerList)
        curl_slist_free_all(static_cast<curl_slist *>(m_headerList));
}

void HttpTransfer::watchStalls(int milliseconds)
{
    m_stallMilliseconds = milliseconds;
    m_sinceProgress.start();
    m_progressMark = 0;
    // Checked often enough that a stall ends soon after its time is up.
    m_stallTimer.setInterval(qBound(10, milliseconds / 8, 1000));
    connect(&m_stallTimer, &QTimer::timeout, this, &HttpTransfer::checkStall);
    m_stallTimer.start();
}

void HttpTransfer::checkStall()
{
    if (m_finished)
        return;
    if (m_received - m_progressMark >= kStallBytes) {
        m_progressMark = m_received;
        m_sinceProgress.restart();
        return;
    }
    if (m_sinceProgress.elapsed() >= m_stallMilliseconds) {
        const qint64 bytes = m_received - m_progressMark;
        abort(QNetworkReply::TimeoutError,
              bytes == 0 ? QStringLiteral("no data for %1 s").arg(m_stallMilliseconds / 1000.0)
                         : QStringLiteral("only %1 bytes in %2 s").arg(bytes).arg(m_stallMilliseconds / 1000.0));
    }
}

qint64 HttpTransfer::bytesAvailable() const
{
    return m_pending.size() + m_chunkSize;
}

qint64 HttpTransfer::read(char *data, qint64 maxSize)
{
    qint64 copied = 0;
    if (!m_pending.isEmpty() && maxSize > 0) {
        const qint64 n = qMin<qint64>(maxSize, m_pending.size());
        std::memcpy(data, m_pending.constData(), size_t(n));
        m_pending.remove(0, int(n));
        copied = n;
    }
    if (m_chunkSize > 0 && copied < maxSize) {
        const qint64 n = qMin(maxSize - copied, m_chunkSize);
        std::memcpy(data + copied, m_chunk, size_t(n));
        m_chunk += n;
        m_chunkSize -= n;
        copied += n;
    }
    return copied;
}

void HttpTransfer::abort(QNetworkReply::NetworkError code, const QString &reason)
{
    if (m_finished || m_abortRequested)
        return;
    m_abortRequested = true;
    m_abortCode = code;
    m_abortReason = reason.isEmpty() ? QStringLiteral("Operation canceled") : reason;
    // Inside a callback the transport is told by the callback's result; it
    // then ends the transfer through the client as any other.
    if (m_inCallback)
        return;
    if (m_client->isDispatching()) {
        m_client->cancelLater(this);
        return;
    }
    m_client->cancel(this);
    complete(CURLE_ABORTED_BY_CALLBACK);
}

size_t HttpTransfer::onHeader(char *data, size_t size, size_t count, void *self)
{
    auto *transfer = static_cast<HttpTransfer *>(self);
    const size_t length = size * count;
    if (transfer->m_abortRequested)
        return 0;
    const QByteArray line = QByteArray(data, int(length)).trimmed();
    if (line.startsWith("HTTP/")) {
        // A new answer (after an interim one such as 100 Continue).
        const int firstBlank = line.indexOf(' ');
        const int secondBlank = line.indexOf(' ', firstBlank + 1);
        transfer->m_status = line.mid(firstBlank + 1, secondBlank < 0 ? -1 : secondBlank - firstBlank - 1).toInt();
        transfer->m_reason = secondBlank < 0 ? QByteArray() : line.mid(secondBlank + 1);
        transfer->m_contentLength = -1;
        transfer->m_rangeStart = -1;
        return length;
    }
    if (line.isEmpty()) {
        if (transfer->m_status >= 200 && !transfer->m_headersDone) {
            transfer->m_headersDone = true;
            transfer->m_inCallback = true;
            emit transfer->metaDataChanged();
            transfer->m_inCallback = false;
            if (transfer->m_abortRequested)
                return 0;
        }
        return length;
    }
    const int colon = line.indexOf(':');
    if (colon > 0) {
        const QByteArray name = line.left(colon).trimmed().toLower();
        const QByteArray value = line.mid(colon + 1).trimmed();
        if (name == "content-length") {
            bool ok = false;
            const qint64 announced = value.toLongLong(&ok);
            transfer->m_contentLength = ok && announced >= 0 ? announced : -1;
        } else if (name == "content-range" && value.startsWith("bytes ")) {
            // "bytes FIRST-LAST/TOTAL"
            const int dash = value.indexOf('-');
            bool ok = false;
            const qint64 first = value.mid(6, dash - 6).trimmed().toLongLong(&ok);
            transfer->m_rangeStart = ok && dash > 6 ? first : -1;
        }
    }
    return length;
}

size_t HttpTransfer::onBody(char *data, size_t size, size_t count, void *self)
{
    auto *transfer = static_cast<HttpTransfer *>(self);
    const size_t length = size * count;
    if (transfer->m_abortRequested)
        return 0;
    transfer->m_chunk = data;
    transfer->m_chunkSize = qint64(length);
    transfer->m_received += qint64(length);
    transfer->m_inCallback = true;
    emit transfer->readyRead();
    if (!transfer->m_abortRequested)
        emit transfer->downloadProgress(transfer->m_received, transfer->m_contentLength);
    transfer->m_inCallback = false;
    if (transfer->m_abortRequested)
        return 0;
    if (transfer->m_chunkSize > 0) {
        if (transfer->m_pending.size() + transfer->m_chunkSize > kPendingLimit) {
            transfer->m_abortRequested = true;
            transfer->m_abortCode = QNetworkReply::UnknownContentError;
            transfer->m_abortReason = QStringLiteral("the body is not being read");
            return 0;
        }
        transfer->m_pending.append(transfer->m_chunk, int(transfer->m_chunkSize));
    }
    transfer->m_chunk = nullptr;
    transfer->m_chunkSize = 0;
    return length;
}

void HttpTransfer::fail(QNetworkReply::NetworkError code, const QString &text)
{
    m_error = code;
    m_errorString = text;
}

void HttpTransfer::complete(int curlCode)
{
    if (m_finished)
        return;
    m_finished = true;
    m_stallTimer.stop();
    m_chunk = nullptr;
    m_chunkSize = 0;
    const auto code = static_cast<CURLcode>(curlCode);
    CURL *easy = static_cast<CURL *>(m_easy);
    long connectStatus = 0;
    curl_easy_getinfo(easy, CURLINFO_HTTP_CONNECTCODE, &connectStatus);

    if (m_abortRequested) {
        fail(m_abortCode, m_abortReason);
    } else if (connectStatus == 407 || (code == CURLE_HTTP_RETURNED_ERROR && m_status == 407)) {
        const QString proxy = SystemProxy::describeProxyFor(m_url);
        fail(QNetworkReply::ProxyAuthenticationRequiredError,
             QStringLiteral("HTTP 407 Proxy Authentication Required from the proxy %1")
                 .arg(proxy.isEmpty() ? QStringLiteral("(unknown)") : proxy));
    } else if (code == CURLE_HTTP_RETURNED_ERROR) {
        long status = m_status;
        if (status == 0)
            curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status);
        QString text = QStringLiteral("HTTP %1").arg(status);
        if (!m_reason.isEmpty())
            text += QLatin1Char(' ') + QString::fromLatin1(m_reason);
        fail(errorForStatus(status), text);
    } else if (code != CURLE_OK) {
        QString text = QString::fromLocal8Bit(m_curlError);
        if (text.isEmpty())
            text = QString::fromLatin1(curl_easy_strerror(code));
        long systemError = 0;
        curl_easy_getinfo(easy, CURLINFO_OS_ERRNO, &systemError);
        if (systemError != 0) {
            const QString reason = QString::fromLocal8Bit(std::strerror(int(systemError)));
            if (!text.contains(reason))
                text += QStringLiteral(" (%1)").arg(reason);
        }
        QNetworkReply::NetworkError error = errorForTransport(code);
        if (error == QNetworkReply::ConnectionRefusedError && !SystemProxy::describeProxyFor(m_url).isEmpty())
            error = QNetworkReply::ProxyConnectionRefusedError;
        fail(error, text);
    }
    if (m_error != QNetworkReply::NoError)
        emit errorOccurred(m_error);
    emit finished();
}

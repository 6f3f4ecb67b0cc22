#include "updatedownloader.h"

#include "filechecksum.h"
#include "manifest.h"

#include <QTemporaryFile>

#include <openssl/evp.h>
#include <QUrl>
#include <QUrlQuery>

#include <cmath>
#include <limits>

namespace {

// Conversions of the progress figures. The spec of the figures is "truncate
// toward zero"; the clamps only keep absurd inputs (a server sending far
// more than announced) from overflowing the integer types.
qint64 truncToInt64(double value)
{
    if (!std::isfinite(value))
        return 0;
    const double limit = 9.0e18;
    return qint64(std::trunc(qBound(-limit, value, limit)));
}

int truncToInt(double value)
{
    if (!std::isfinite(value))
        return 0;
    return int(std::trunc(qBound(double(std::numeric_limits<int>::min()), value,
                                 double(std::numeric_limits<int>::max()))));
}

// "size" as counted in the run total: any decimal number, 0 otherwise.
double queuedSize(const QDomElement &element)
{
    bool ok = false;
    const double size = elementSize(element).toDouble(&ok);
    return ok && std::isfinite(size) ? size : 0.0;
}

// "size" as counted once verified and as reported: an integer only.
qint64 integerSize(const QDomElement &element)
{
    bool ok = false;
    const qint64 size = elementSize(element).toLongLong(&ok, 10);
    return ok ? size : 0;
}

// Keeps the transport from buffering a whole file when the disk is slower
// than the network: the socket is read no further ahead than this.
const qint64 replyBufferLimit = 4 * 1024 * 1024;

} // namespace

void UpdateDownloader::HashDeleter::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

UpdateDownloader::UpdateDownloader(QString url, QObject *parent)
    : QObject(parent), url(std::move(url)), streamHash(EVP_MD_CTX_new())
{
    qRegisterMetaType<QDomElement>("QDomElement");
    qRegisterMetaType<QFile *>("QFile*");
    qRegisterMetaType<QNetworkReply::NetworkError>("QNetworkReply::NetworkError");
}

UpdateDownloader::~UpdateDownloader()
{
    // The reply dies with networkManager, before the QObject base: it must
    // not reach the slots of a half-destroyed downloader.
    if (reply)
        reply->disconnect(this);
}

QNetworkRequest UpdateDownloader::updateRequest(const QString &url)
{
    QNetworkRequest request(QUrl(url, QUrl::TolerantMode));
    request.setHeader(QNetworkRequest::ContentTypeHeader,
                      QByteArrayLiteral("application/x-www-form-urlencoded"));
    // No redirects, no stored cookies, no credentials: the server is asked
    // exactly what the request says.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setAttribute(QNetworkRequest::CookieLoadControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::CookieSaveControlAttribute, QNetworkRequest::Manual);
    request.setAttribute(QNetworkRequest::AuthenticationReuseAttribute, QNetworkRequest::Manual);
    return request;
}

QByteArray UpdateDownloader::formBody(const QString &version, const QString &request)
{
    // QUrlQuery keeps "%XY" sequences of its input as they are; a literal
    // "%" must reach the server as "%25" like every other reserved byte.
    // A null value would also lose its "=": every pair is written name=value.
    auto literal = [](const QString &value) {
        QString text = value.isNull() ? QString::fromLatin1("") : value;
        return text.replace(QLatin1Char('%'), QLatin1String("%25"));
    };
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("version"), literal(version));
    query.addQueryItem(QStringLiteral("request"), literal(request));
    QString body = query.query(QUrl::FullyEncoded);
    // The fully encoded query still leaves "+" alone, and a form decoder
    // reads it as a blank: "a+b.dll" would be asked for as "a b.dll".
    body.replace(QLatin1Char('+'), QLatin1String("%2B"));
    return body.toUtf8();
}

void UpdateDownloader::addDownload(QDomElement element)
{
    if (element.isNull()) {
        emit fileElementError(element);
        return;
    }
    queue.append(element);
    queuedBytes += queuedSize(element);
}

void UpdateDownloader::cancelDownloads()
{
    cancelled = true;
}

void UpdateDownloader::downloadNext()
{
    if (cancelled)
        queue.clear();
    if (queue.isEmpty()) {
        emit fileQueueEmpty();
        return;
    }
    currentElement = queue.takeFirst();

    // Held by the downloader until it is handed over with fileDownloaded or
    // fileCrcError; the parent only cleans up after receivers that do not
    // take it.
    temporaryFile = new QTemporaryFile(this);
    if (!temporaryFile->open()) {
        delete temporaryFile;
        temporaryFile = nullptr;
        emit fileElementError(currentElement);
        downloadNext();
        return;
    }
    EVP_DigestInit_ex(streamHash.get(), EVP_sha1(), nullptr);
    writeComplete = true;

    const QNetworkRequest request = updateRequest(url);
    const QByteArray body = formBody(version, currentElement.attribute(QStringLiteral("url")));

    ++attempts;
    emit fileDownloadStarting(currentElement, queue.size());

    reply = networkManager.post(request, body);
    reply->setReadBufferSize(replyBufferLimit);
    connect(reply, &QNetworkReply::finished, this, &UpdateDownloader::downloadFinished);
    connect(reply, &QIODevice::readyRead, this, &UpdateDownloader::writeData);
    connect(reply, &QNetworkReply::downloadProgress, this, &UpdateDownloader::downloadProgress);
    connect(reply, &QNetworkReply::errorOccurred, this, &UpdateDownloader::netErrorCatched);
    clock.start();
}

void UpdateDownloader::writeData()
{
    if (!reply || !temporaryFile)
        return;
    char buffer[64 * 1024];
    for (;;) {
        const qint64 n = reply->read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        EVP_DigestUpdate(streamHash.get(), buffer, size_t(n));
        if (temporaryFile->write(buffer, n) != n)
            writeComplete = false;
    }
}

void UpdateDownloader::downloadProgress(qint64 received, qint64 total)
{
    Q_UNUSED(total) // the element's "size" is what counts, not the server's figure
    if (!reply)
        return;

    // A report at 0 ms would give an infinite sample and spoil the mean for
    // the rest of the run, so it adds none.
    const qint64 ms = clock.elapsed();
    if (ms > 0) {
        speedSamples += 1;
        speedSum += received * 1000.0 / ms;
    }
    const double mean = speedSamples > 0 ? speedSum / speedSamples : 0.0;

    const double done = verifiedBytes + received;
    const qint64 remaining = truncToInt64(queuedBytes - done);

    // Without a positive speed there is no estimate; the previous one stands.
    if (mean > 0) {
        const double estimate = remaining / mean;
        if (smoothedTimeLeft == -1.0)
            smoothedTimeLeft = estimate;
        if (estimate > smoothedTimeLeft * 1.5)
            smoothedTimeLeft *= 1.05;
        else if (estimate < smoothedTimeLeft / 1.5)
            smoothedTimeLeft *= 0.95;
        else
            smoothedTimeLeft = estimate;
    }

    const int percentage = queuedBytes > 0 ? truncToInt(done / queuedBytes * 100.0 + 0.99) : 0;

    emit fileDownloadProgress(received, integerSize(currentElement), mean,
                              smoothedTimeLeft * 1.5, percentage);
}

void UpdateDownloader::downloadFinished()
{
    if (!reply)
        return;
    writeData(); // whatever is still buffered belongs to the file
    endReply();

    if (!temporaryFile->flush())
        writeComplete = false;
    temporaryFile->close();

    // When every write went through, the bytes hashed are the bytes on disk;
    // otherwise the file itself is what has to be judged.
    QString checksum;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (writeComplete && EVP_DigestFinal_ex(streamHash.get(), digest, &length) == 1)
        checksum = QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(length)).toHex());
    else
        checksum = fileChecksum(temporaryFile->fileName(), QCryptographicHash::Sha1);

    QFile *file = temporaryFile;
    temporaryFile = nullptr;
    // An unreadable file has no checksum and can match nothing, not even a
    // missing "crc".
    if (!checksum.isEmpty() && checksum == elementCrc(currentElement)) {
        emit fileDownloaded(currentElement, file);
        attempts = 0;
        verifiedBytes += integerSize(currentElement);
    } else {
        emit fileCrcError(currentElement, file);
        retryOrGiveUp();
    }
    downloadNext();
}

void UpdateDownloader::netErrorCatched(QNetworkReply::NetworkError code)
{
    if (!reply)
        return;
    const QString text = reply->errorString();
    endReply();
    temporaryFile->close();
    delete temporaryFile; // removes the partial file from disk
    temporaryFile = nullptr;

    emit fileNetworkError(code, text, currentElement);
    retryOrGiveUp();
    downloadNext();
}

void UpdateDownloader::endReply()
{
    // Only our own connections: the access manager keeps its bookkeeping.
    reply->disconnect(this);
    reply->deleteLater();
    reply = nullptr;
}

void UpdateDownloader::retryOrGiveUp()
{
    if (attempts > 2) {
        emit fileDownloadError(currentElement);
        attempts = 0;
    } else {
        queue.prepend(currentElement);
    }
}

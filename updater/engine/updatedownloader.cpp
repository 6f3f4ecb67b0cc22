#include "updatedownloader.h"

#include "chunkedfetch.h"
#include "destinationfolder.h"
#include "httptransfer.h"
#include "manifest.h"
#include "stagedfile.h"

#include <QFileInfo>
#include <QUrl>
#include <QUrlQuery>

#include <cmath>
#include <limits>

namespace {

// Conversions of the progress figures. The figures truncate toward zero;
// the clamps only keep absurd inputs from overflowing the integer types.
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
// The element's "size" in bytes; -1 when it is not a number of bytes.
qint64 declaredSize(const QDomElement &element)
{
    bool ok = false;
    const qint64 size = elementSize(element).toLongLong(&ok, 10);
    return ok && size >= 0 ? size : -1;
}

qint64 integerSize(const QDomElement &element)
{
    return qMax<qint64>(0, declaredSize(element));
}

// The folder of an entry relative to the tree's root, from its nesting.
QString relativeFolder(const QDomElement &element)
{
    const QDomElement parent = element.parentNode().toElement();
    return isDirectory(parent) ? elementPath(parent) : QString();
}

// The largest piece the transport hands over at once, so that each piece
// is written in one call.
const int kBufferSize = 512 * 1024;

} // namespace

UpdateDownloader::UpdateDownloader(QString url, QObject *parent)
    : QObject(parent)
    , url(std::move(url))
    , m_buffer(kBufferSize, Qt::Uninitialized)
    , m_chunked(new ChunkedFetch([this](const QString &relativeUrl,
                                        const TransferLimits &limits) { return request(relativeUrl, limits); },
                                 this))
{
    connect(m_chunked, &ChunkedFetch::planned, this, &UpdateDownloader::chunksPlanned);
    connect(m_chunked, &ChunkedFetch::replanned, this, [this](qint64 bytes) {
        m_chunkCopy += bytes;
        queuedBytes -= double(bytes);
    });
    connect(m_chunked, &ChunkedFetch::progress, this, &UpdateDownloader::chunksProgress);
    connect(m_chunked, &ChunkedFetch::finished, this, &UpdateDownloader::chunksFinished);
    connect(m_chunked, &ChunkedFetch::unusable, this, &UpdateDownloader::fetchWhole);
    connect(m_chunked, &ChunkedFetch::networkError, this, &UpdateDownloader::chunksNetworkError);
    qRegisterMetaType<QDomElement>("QDomElement");
    qRegisterMetaType<QFile *>("QFile*");
    qRegisterMetaType<QNetworkReply::NetworkError>("QNetworkReply::NetworkError");
    m_retryTimer.setSingleShot(true);
    // A coarse timer may fire 5 % early: the waits are the promised minimum.
    m_retryTimer.setTimerType(Qt::PreciseTimer);
    connect(&m_retryTimer, &QTimer::timeout, this, &UpdateDownloader::downloadNext);
}

UpdateDownloader::~UpdateDownloader()
{
    // The transfer dies with networkManager, before the QObject base: it
    // must not reach the slots of a half-destroyed downloader.
    if (reply)
        reply->disconnect(this);
}

QByteArray UpdateDownloader::formContentType()
{
    return QByteArrayLiteral("application/x-www-form-urlencoded");
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

QUrl UpdateDownloader::fileUrl(const QString &filesUrl, const QString &relativeUrl)
{
    // Each segment is encoded on its own, so a name with "?", "#", "%" or a
    // blank is one path segment and "/" stays the separator.
    QByteArray path;
    const QStringList segments = relativeUrl.split(QLatin1Char('/'));
    for (const QString &segment : segments) {
        if (!path.isEmpty())
            path += '/';
        path += QUrl::toPercentEncoding(segment);
    }
    QByteArray base = QUrl(filesUrl, QUrl::TolerantMode).toEncoded();
    if (!base.endsWith('/'))
        base += '/';
    return QUrl::fromEncoded(base + path, QUrl::StrictMode);
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

void UpdateDownloader::setFeed(std::function<QDomElement()> feed, int count, double bytes)
{
    m_feed = std::move(feed);
    m_feedCount = count;
    queuedBytes += bytes;
}

void UpdateDownloader::cancelDownloads()
{
    cancelled = true;
    m_retryTimer.stop();
    if (reply) {
        HttpTransfer *transfer = reply;
        endTransfer();
        transfer->abort();
        // What was cut off is on record, but it is no failure of the file.
        emit fileNetworkError(QNetworkReply::OperationCanceledError, QStringLiteral("cancelled"), currentElement);
    }
    m_chunked->abort();
    m_chunkBusy = false;
    m_chunkedElement = QDomElement();
    discardFile();
    attempts = 0;
    // The queue reports itself empty from the event loop, as it would after
    // a transfer, never from inside the caller.
    QTimer::singleShot(0, this, &UpdateDownloader::downloadNext);
}

qint64 UpdateDownloader::expectedSize() const
{
    return declaredSize(currentElement);
}

bool UpdateDownloader::stageFile()
{
    QString error = QStringLiteral("no destination folder");
    const DestinationFolder::Folder folder =
            m_destination ? m_destination->stagingFolder(relativeFolder(currentElement), &error) : DestinationFolder::Folder();
    if (folder.isOpen()) {
        temporaryFile = new StagedFile(this);
        if (temporaryFile->create(folder)) {
            temporaryFile->setSha256Enabled(currentElement.hasAttribute(QStringLiteral("sha256")));
            return true;
        }
        error = temporaryFile->errorString();
        delete temporaryFile;
        temporaryFile = nullptr;
    }
    m_lastFailure = error;
    return false;
}

void UpdateDownloader::discardFile()
{
    delete temporaryFile; // removes it from disk
    temporaryFile = nullptr;
}

HttpTransfer *UpdateDownloader::request(const QString &relativeUrl, const TransferLimits &limits)
{
    return m_filesUrl.isEmpty()
               ? networkManager.post(QUrl(url, QUrl::TolerantMode), formContentType(), formBody(version, relativeUrl), limits)
               : networkManager.get(fileUrl(m_filesUrl, relativeUrl), limits);
}

qint64 UpdateDownloader::bytesTransferred() const
{
    return m_transferred + m_chunked->bytesFetched();
}

void UpdateDownloader::downloadNext()
{
    if (reply || m_chunkBusy)
        return; // one transfer at a time
    m_retryTimer.stop();
    if (cancelled) {
        queue.clear();
        m_feed = nullptr;
        discardFile();
    }
    if (queue.isEmpty() && m_feed) {
        const QDomElement next = m_feed();
        if (next.isNull()) {
            m_feed = nullptr;
        } else {
            queue.append(next);
            --m_feedCount;
        }
    }
    if (queue.isEmpty()) {
        emit fileQueueEmpty();
        return;
    }
    currentElement = queue.takeFirst();

    // A file kept from an earlier attempt is resumed; otherwise a new one
    // is made in the folder the file goes to.
    if (!temporaryFile && !stageFile()) {
        emit fileElementError(currentElement);
        downloadNext();
        return;
    }
    m_resumeFrom = temporaryFile->writtenSize();
    m_discardPartial = false;
    m_writeFailed = false;
    const QString oldPath = chunkSource();

    TransferLimits limits;
    if (m_resumeFrom > 0)
        limits.range = QByteArray::number(m_resumeFrom) + '-';

    ++attempts;
    emit fileDownloadStarting(currentElement, queue.size() + qMax(m_feedCount, 0));
    // A receiver may have cancelled the run on hearing of this start.
    if (cancelled || !temporaryFile)
        return;
    if (!oldPath.isEmpty()) {
        startChunked(oldPath);
        return;
    }

    reply = request(currentElement.attribute(QStringLiteral("url")), limits);
    connect(reply, &HttpTransfer::finished, this, &UpdateDownloader::downloadFinished);
    connect(reply, &HttpTransfer::readyRead, this, &UpdateDownloader::writeData);
    connect(reply, &HttpTransfer::downloadProgress, this, &UpdateDownloader::downloadProgress);
    connect(reply, &HttpTransfer::errorOccurred, this, &UpdateDownloader::netErrorCatched);
    connect(reply, &HttpTransfer::metaDataChanged, this, &UpdateDownloader::metaDataReceived);
    clock.start();
}

void UpdateDownloader::metaDataReceived()
{
    if (!reply || !temporaryFile || reply->httpStatus() >= 400)
        return; // the error report follows
    const int status = reply->httpStatus();
    if (m_resumeFrom > 0) {
        if (status == 206 && reply->contentRangeStart() != m_resumeFrom) {
            m_discardPartial = true;
            reply->abort(QNetworkReply::UnknownContentError,
                         QStringLiteral("the server sent the range from byte %1, not %2")
                             .arg(reply->contentRangeStart())
                             .arg(m_resumeFrom));
            return;
        }
        // A server that ignores Range sends the whole file: start over.
        if (status != 206 && !temporaryFile->restart()) {
            m_writeFailed = true;
            m_lastFailure = temporaryFile->errorString();
            reply->abort(QNetworkReply::OperationCanceledError, m_lastFailure);
            return;
        }
    }
    const qint64 expected = expectedSize();
    const qint64 announced = reply->contentLength();
    if (announced >= 0 && (expected < 0 || temporaryFile->writtenSize() + announced > expected)) {
        m_discardPartial = true;
        reply->abort(QNetworkReply::UnknownContentError,
                     QStringLiteral("the server announces %1 bytes, the file has %2")
                         .arg(announced)
                         .arg(expected < 0 ? elementSize(currentElement) : QString::number(expected)));
    }
}

void UpdateDownloader::writeData()
{
    if (!reply || !temporaryFile)
        return;
    const qint64 expected = expectedSize();
    for (;;) {
        const qint64 n = reply->read(m_buffer.data(), m_buffer.size());
        if (n <= 0)
            break;
        m_transferred += n;
        // Stopped at the first byte too many: the body is never longer on
        // disk than the file may be.
        if (expected < 0 || temporaryFile->writtenSize() + n > expected) {
            m_discardPartial = true;
            reply->abort(QNetworkReply::UnknownContentError,
                         QStringLiteral("the body is longer than the file's %1 bytes").arg(elementSize(currentElement)));
            return;
        }
        if (temporaryFile->write(m_buffer.constData(), n) != n) {
            m_writeFailed = true;
            m_lastFailure = temporaryFile->errorString();
            reply->abort(QNetworkReply::OperationCanceledError, m_lastFailure);
            return;
        }
    }
}

void UpdateDownloader::downloadProgress(qint64 received, qint64 total)
{
    Q_UNUSED(total) // the element's "size" is what counts, not the server's figure
    if (!reply || !temporaryFile)
        return;
    // Bytes of the file so far, a resumed part included.
    reportProgress(temporaryFile->writtenSize(), received, integerSize(currentElement));
}

void UpdateDownloader::reportProgress(qint64 fileBytes, qint64 attemptBytes, qint64 fileTotal)
{
    // A report at 0 ms would give an infinite sample and spoil the mean for
    // the rest of the run, so it adds none.
    const qint64 ms = clock.elapsed();
    if (ms > 0) {
        speedSamples += 1;
        speedSum += attemptBytes * 1000.0 / ms;
    }
    const double mean = speedSamples > 0 ? speedSum / speedSamples : 0.0;

    const double done = verifiedBytes + fileBytes;
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

    emit fileDownloadProgress(fileBytes, fileTotal, mean, smoothedTimeLeft * 1.5, percentage);
}

QString UpdateDownloader::chunkSource() const
{
    if (!currentElement.hasAttribute(QStringLiteral("chunks")) || !currentElement.hasAttribute(QStringLiteral("chunks_sha256"))
        || m_wholeOnly.contains(currentElement) || !temporaryFile)
        return QString();
    // A rebuilding under way goes on from where it stopped; a partly
    // received whole download goes on whole.
    if (temporaryFile->writtenSize() > 0 && !(m_chunkedElement == currentElement && m_chunked->isPlanned()))
        return QString();
    // The installed file, read in place: a regular file of the staged
    // file's own folder, never a link (it could lead out of the folder).
    const QString path = temporaryFile->folder() + QLatin1Char('/') + currentElement.attribute(QStringLiteral("name"));
    const QFileInfo installed(path);
    return installed.isFile() && !installed.isSymLink() ? path : QString();
}

void UpdateDownloader::startChunked(const QString &oldPath)
{
    m_chunkBusy = true;
    clock.start();
    if (m_chunkedElement == currentElement && m_chunked->isPlanned()) {
        m_chunked->resume();
        return;
    }
    m_chunkedElement = currentElement;
    m_chunkCopy = 0;
    m_chunked->setBlockHashesUrl(currentElement.attribute(QStringLiteral("blocks")));
    m_chunked->start(currentElement.attribute(QStringLiteral("url")), currentElement.attribute(QStringLiteral("chunks")),
                     currentElement.attribute(QStringLiteral("chunks_sha256")), integerSize(currentElement), oldPath,
                     temporaryFile);
}

void UpdateDownloader::chunksPlanned(qint64 fetch, qint64 copy)
{
    Q_UNUSED(fetch)
    // The run's total counts what goes over the network.
    m_chunkCopy = copy;
    queuedBytes -= double(copy);
}

void UpdateDownloader::chunksProgress(qint64 fetched)
{
    reportProgress(fetched, fetched, m_chunked->bytesToFetch());
}

void UpdateDownloader::chunksFinished()
{
    m_chunkBusy = false;
    StagedFile *file = temporaryFile;
    // Checked exactly like a whole download before anything is placed.
    if (!verify(file)) {
        fetchWhole(QStringLiteral("the rebuilt file does not match: ") + m_lastFailure);
        return;
    }
    temporaryFile = nullptr;
    m_chunkedElement = QDomElement();
    const qint64 size = integerSize(currentElement);
    emit fileDownloaded(currentElement, file);
    attempts = 0;
    m_rangeRestarted = false;
    m_unreachableInARow = 0;
    verifiedBytes += double(size - m_chunkCopy);
    m_bytesSaved += m_chunkCopy;
    downloadNext();
}

void UpdateDownloader::chunksNetworkError(QNetworkReply::NetworkError code, const QString &text)
{
    m_chunkBusy = false;
    m_networkFailure = true;
    emit fileNetworkError(code, text, currentElement);
    retryOrGiveUp();
}

void UpdateDownloader::fetchWhole(const QString &reason)
{
    m_chunkBusy = false;
    m_chunked->abort();
    m_chunkedElement = QDomElement();
    queuedBytes += double(m_chunkCopy);
    m_chunkCopy = 0;
    m_wholeOnly.append(currentElement);
    emit fileChunksUnusable(currentElement, reason);
    // Whatever was written goes: the whole download starts afresh, with
    // attempts of its own.
    discardFile();
    attempts = 0;
    queue.prepend(currentElement);
    downloadNext();
}

QString UpdateDownloader::mismatch(StagedFile *file, const QDomElement &element)
{
    if (file->writeFailed())
        return file->errorString();
    const qint64 expected = declaredSize(element);
    if (expected < 0 || file->writtenSize() != expected)
        return QStringLiteral("size mismatch: received %1 bytes, expected %2")
            .arg(file->writtenSize())
            .arg(elementSize(element));
    // An element without "crc" can match nothing.
    const QString crc = elementCrc(element);
    if (crc.isEmpty() || file->sha1Hex() != crc)
        return QStringLiteral("SHA-1 mismatch: received %1, expected %2").arg(file->sha1Hex(), crc);
    const QString sha256 = element.attribute(QStringLiteral("sha256"));
    if (element.hasAttribute(QStringLiteral("sha256")) && file->sha256Hex().compare(sha256, Qt::CaseInsensitive) != 0)
        return QStringLiteral("SHA-256 mismatch: received %1, expected %2").arg(file->sha256Hex(), sha256);
    return QString();
}

bool UpdateDownloader::verify(StagedFile *file)
{
    const QString reason = mismatch(file, currentElement);
    if (reason.isEmpty())
        return true;
    m_lastFailure = reason;
    return false;
}

void UpdateDownloader::downloadFinished()
{
    if (!reply || reply->error() != QNetworkReply::NoError)
        return;
    writeData(); // whatever is still buffered belongs to the file
    endTransfer();
    m_networkFailure = false;
    if (m_writeFailed) {
        // A write failed on the last piece: reported like one in flight.
        discardFile();
        emit fileWriteError(currentElement, m_lastFailure);
        retryOrGiveUp();
        return;
    }

    StagedFile *file = temporaryFile;
    temporaryFile = nullptr;
    if (verify(file)) {
        const qint64 size = integerSize(currentElement);
        emit fileDownloaded(currentElement, file);
        attempts = 0;
        m_rangeRestarted = false;
        m_unreachableInARow = 0;
        verifiedBytes += size;
        downloadNext();
    } else {
        // A complete body that is wrong: the next attempt starts afresh.
        emit fileCrcError(currentElement, file);
        retryOrGiveUp();
    }
}

void UpdateDownloader::netErrorCatched(QNetworkReply::NetworkError code)
{
    if (!reply)
        return;
    const QString text = reply->errorString();
    // The rest asked for is beyond what the server has: the file changed
    // there, and what was kept of it is of no use.
    const bool rangeRefused = m_resumeFrom > 0 && reply->httpStatus() == 416;
    endTransfer();

    m_networkFailure = !m_writeFailed && !m_discardPartial;
    if (m_writeFailed) {
        discardFile();
        emit fileWriteError(currentElement, m_lastFailure);
    } else {
        // What arrived before a dropped connection is kept for the next
        // attempt to resume; a body that broke the rules is not.
        if (m_discardPartial || rangeRefused)
            discardFile();
        emit fileNetworkError(code, text, currentElement);
        if (rangeRefused && !m_rangeRestarted && !cancelled) {
            // Started over at once, once, without using up an attempt.
            m_rangeRestarted = true;
            --attempts;
            queue.prepend(currentElement);
            downloadNext();
            return;
        }
    }
    retryOrGiveUp();
}

void UpdateDownloader::endTransfer()
{
    // Only our own connections; the transport drops the transfer later.
    reply->disconnect(this);
    reply->deleteLater();
    reply = nullptr;
}

void UpdateDownloader::retryOrGiveUp()
{
    if (attempts > 2) {
        emit fileDownloadError(currentElement);
        attempts = 0;
        m_rangeRestarted = false;
        if (m_chunkedElement == currentElement) {
            m_chunked->abort();
            m_chunkedElement = QDomElement();
        }
        discardFile();
        // A file the server could not send says little; several in a row
        // say it is gone, and the rest would each take their retries in
        // vain. A file that arrived wrong breaks the row: the server is there.
        m_unreachableInARow = m_networkFailure ? m_unreachableInARow + 1 : 0;
        if (m_unreachableInARow >= unreachableAfter && !m_serverUnreachable) {
            m_serverUnreachable = true;
            // What is queued, and what the feed would still hand out.
            const int left = queue.size() + qMax(m_feedCount, 0);
            queue.clear();
            m_feed = nullptr;
            m_feedCount = 0;
            emit fileQueueAbandoned(left, QStringLiteral("server unreachable: %1 files in a row failed on network or "
                                                         "HTTP errors")
                                              .arg(unreachableAfter));
        }
        downloadNext();
        return;
    }
    queue.prepend(currentElement);
    // A moment's outage must not fail the file: wait before trying again.
    const int delay = m_retryDelays.value(attempts - 1, m_retryDelays.isEmpty() ? 0 : m_retryDelays.last());
    m_retryTimer.start(qMax(0, delay));
}

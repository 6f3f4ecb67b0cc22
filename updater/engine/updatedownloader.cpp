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

bool sameElement(const QDomElement &a, const QDomElement &b)
{
    return !a.isNull() && a == b;
}

} // namespace

struct UpdateDownloader::Slot
{
    QDomElement element; // the file; null while the slot is free
    StagedFile *file = nullptr;
    QPointer<HttpTransfer> reply;
    QElapsedTimer clock;
    int attempts = 0;
    // Bytes the file held when the current attempt started (a resume).
    qint64 resumeFrom = 0;
    // The attempt's body cannot be used; the next attempt starts over.
    bool discardPartial = false;
    bool writeFailed = false;
    // The last attempt failed on the network or an HTTP error (not on its
    // content or a write).
    bool networkFailure = false;
    // The file was started over after a 416 for its rest.
    bool rangeRestarted = false;
    // The current attempt was announced, and how many files were still
    // queued when it started.
    bool announced = false;
    int remaining = 0;
    // Why its last attempt failed a write, for the log.
    QString failure;
    QTimer retryTimer;
    // Where the file stands, for progress over several files.
    qint64 fileBytes = 0;
    qint64 fileTotal = 0;

    // The rebuilding of a changed file from its chunks, when it has them.
    ChunkedFetch *chunked = nullptr;
    QDomElement chunkedElement; // the file it works on
    bool chunkBusy = false;     // a step of it is under way
    qint64 chunkCopy = 0;       // bytes it copies from the installed file
};

UpdateDownloader::UpdateDownloader(QString url, QObject *parent)
    : QObject(parent)
    , url(std::move(url))
    , m_buffer(kBufferSize, Qt::Uninitialized)
{
    qRegisterMetaType<QDomElement>("QDomElement");
    qRegisterMetaType<QFile *>("QFile*");
    qRegisterMetaType<QNetworkReply::NetworkError>("QNetworkReply::NetworkError");
    setConnections(1);
}

UpdateDownloader::~UpdateDownloader()
{
    // The transfers die with networkManager, before the QObject base: they
    // must not reach the slots of a half-destroyed downloader.
    for (const auto &slot : m_slots) {
        if (slot->reply)
            slot->reply->disconnect(this);
        if (slot->chunked)
            slot->chunked->disconnect(this);
        slot->retryTimer.disconnect(this);
    }
}

void UpdateDownloader::setConnections(int connections)
{
    m_connections = qBound(1, connections, maxConnections);
    while (int(m_slots.size()) < m_connections) {
        m_slots.push_back(std::make_unique<Slot>());
        Slot *slot = m_slots.back().get();
        slot->retryTimer.setSingleShot(true);
        // A coarse timer may fire 5 % early: the waits are the promised minimum.
        slot->retryTimer.setTimerType(Qt::PreciseTimer);
        connect(&slot->retryTimer, &QTimer::timeout, this, [this, slot] {
            if (cancelled) {
                downloadNext();
                return;
            }
            if (!startAttempt(slot))
                downloadNext();
        });
    }
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
    queue.clear();
    m_feed = nullptr;
    m_feedCount = 0;
    for (const auto &owned : m_slots) {
        Slot *slot = owned.get();
        if (slot->element.isNull())
            continue;
        slot->retryTimer.stop();
        const QDomElement element = slot->element;
        HttpTransfer *transfer = slot->reply;
        if (transfer) {
            endTransfer(slot);
            transfer->abort();
        }
        if (slot->chunked)
            slot->chunked->abort();
        slot->chunkBusy = false;
        slot->chunkedElement = QDomElement();
        const bool wasAnnounced = slot->announced;
        release(slot);
        if (transfer) {
            // What was cut off is on record, but it is no failure of the file.
            if (!wasAnnounced)
                emit fileDownloadStarting(element, 0);
            emit fileNetworkError(QNetworkReply::OperationCanceledError, QStringLiteral("cancelled"), element);
        }
    }
    // The queue reports itself empty from the event loop, as it would after
    // a transfer, never from inside the caller.
    QTimer::singleShot(0, this, &UpdateDownloader::downloadNext);
}

bool UpdateDownloader::stageFile(Slot *slot)
{
    QString error = QStringLiteral("no destination folder");
    const DestinationFolder::Folder folder =
            m_destination ? m_destination->stagingFolder(relativeFolder(slot->element), &error) : DestinationFolder::Folder();
    if (folder.isOpen()) {
        slot->file = new StagedFile(this);
        if (slot->file->create(folder)) {
            slot->file->setSha256Enabled(slot->element.hasAttribute(QStringLiteral("sha256")));
            return true;
        }
        error = slot->file->errorString();
        delete slot->file;
        slot->file = nullptr;
    }
    m_lastFailure = error;
    return false;
}

void UpdateDownloader::discardFile(Slot *slot)
{
    delete slot->file; // removes it from disk
    slot->file = nullptr;
}

void UpdateDownloader::release(Slot *slot)
{
    slot->retryTimer.stop();
    if (slot->chunked && sameElement(slot->chunkedElement, slot->element)) {
        slot->chunked->abort();
        slot->chunkedElement = QDomElement();
    }
    slot->chunkBusy = false;
    discardFile(slot);
    slot->element = QDomElement();
    slot->attempts = 0;
    slot->rangeRestarted = false;
    slot->announced = false;
    slot->fileBytes = 0;
    slot->fileTotal = 0;
}

HttpTransfer *UpdateDownloader::request(const QString &relativeUrl, const TransferLimits &limits)
{
    return m_filesUrl.isEmpty()
               ? networkManager.post(QUrl(url, QUrl::TolerantMode), formContentType(), formBody(version, relativeUrl), limits)
               : networkManager.get(fileUrl(m_filesUrl, relativeUrl), limits);
}

qint64 UpdateDownloader::bytesTransferred() const
{
    qint64 bytes = m_transferred;
    for (const auto &slot : m_slots) {
        if (slot->chunked)
            bytes += slot->chunked->bytesFetched();
    }
    return bytes;
}

UpdateDownloader::Slot *UpdateDownloader::slotOf(QObject *transfer) const
{
    for (const auto &slot : m_slots) {
        if (transfer && slot->reply == transfer)
            return slot.get();
    }
    return nullptr;
}

bool UpdateDownloader::isBusy() const
{
    for (const auto &slot : m_slots) {
        if (!slot->element.isNull())
            return true;
    }
    return false;
}

void UpdateDownloader::downloadNext()
{
    if (cancelled) {
        queue.clear();
        m_feed = nullptr;
        m_feedCount = 0;
        for (const auto &slot : m_slots)
            discardFile(slot.get());
    }
    fillSlots();
    pullFeed();
    if (queue.isEmpty() && !isBusy())
        emit fileQueueEmpty();
}

void UpdateDownloader::pullFeed()
{
    // The feed hands out one element at a time, when the queue runs dry:
    // only elements in flight exist.
    if (!queue.isEmpty() || !m_feed || cancelled)
        return;
    const QDomElement next = m_feed();
    if (next.isNull()) {
        m_feed = nullptr;
    } else {
        queue.append(next);
        --m_feedCount;
    }
}

void UpdateDownloader::fillSlots()
{
    for (int i = 0; i < m_connections; ++i) {
        Slot *slot = m_slots[size_t(i)].get();
        // A file that could not be staged frees its slot for the next one.
        while (slot->element.isNull() && (pullFeed(), !queue.isEmpty()) && !cancelled) {
            slot->element = queue.takeFirst();
            if (!startAttempt(slot) && m_holdAnnouncements)
                return;
        }
        if ((pullFeed(), queue.isEmpty()) || cancelled)
            return;
    }
}

bool UpdateDownloader::startAttempt(Slot *slot)
{
    // A file kept from an earlier attempt is resumed; otherwise a new one
    // is made in the folder the file goes to.
    if (!slot->file && !stageFile(slot)) {
        const QDomElement element = slot->element;
        release(slot);
        // Reported in its turn: it is tried again when it is announced.
        if (m_holdAnnouncements) {
            queue.prepend(element);
            return false;
        }
        emit fileElementError(element);
        return false;
    }
    slot->resumeFrom = slot->file->writtenSize();
    slot->discardPartial = false;
    slot->writeFailed = false;
    const QString oldPath = chunkSource(slot);

    TransferLimits limits;
    if (slot->resumeFrom > 0)
        limits.range = QByteArray::number(slot->resumeFrom) + '-';

    ++slot->attempts;
    slot->announced = false;
    slot->remaining = queue.size() + qMax(m_feedCount, 0);
    if (!m_runClock.isValid())
        m_runClock.start();
    if (m_connections == 1 && !m_holdAnnouncements) {
        announce(slot);
        // A receiver may have cancelled the run on hearing of this start.
        if (cancelled || !slot->file)
            return true;
    }
    if (!oldPath.isEmpty()) {
        startChunked(slot, oldPath);
        return true;
    }

    slot->reply = request(slot->element.attribute(QStringLiteral("url")), limits);
    connect(slot->reply, &HttpTransfer::finished, this, &UpdateDownloader::downloadFinished);
    connect(slot->reply, &HttpTransfer::readyRead, this, &UpdateDownloader::writeData);
    connect(slot->reply, &HttpTransfer::downloadProgress, this, &UpdateDownloader::downloadProgress);
    connect(slot->reply, &HttpTransfer::errorOccurred, this, &UpdateDownloader::netErrorCatched);
    connect(slot->reply, &HttpTransfer::metaDataChanged, this, &UpdateDownloader::metaDataReceived);
    slot->clock.start();
    return true;
}

void UpdateDownloader::announce(Slot *slot)
{
    if (slot->announced)
        return;
    slot->announced = true;
    emit fileDownloadStarting(slot->element, slot->remaining);
}

void UpdateDownloader::metaDataReceived()
{
    Slot *slot = slotOf(sender());
    if (!slot || !slot->file || slot->reply->httpStatus() >= 400)
        return; // the error report follows
    HttpTransfer *reply = slot->reply;
    StagedFile *file = slot->file;
    const int status = reply->httpStatus();
    if (slot->resumeFrom > 0) {
        if (status == 206 && reply->contentRangeStart() != slot->resumeFrom) {
            slot->discardPartial = true;
            reply->abort(QNetworkReply::UnknownContentError,
                         QStringLiteral("the server sent the range from byte %1, not %2")
                             .arg(reply->contentRangeStart())
                             .arg(slot->resumeFrom));
            return;
        }
        // A server that ignores Range sends the whole file: start over.
        if (status != 206 && !file->restart()) {
            slot->writeFailed = true;
            slot->failure = file->errorString();
            reply->abort(QNetworkReply::OperationCanceledError, slot->failure);
            return;
        }
    }
    const qint64 expected = declaredSize(slot->element);
    const qint64 announced = reply->contentLength();
    if (announced >= 0 && (expected < 0 || file->writtenSize() + announced > expected)) {
        slot->discardPartial = true;
        reply->abort(QNetworkReply::UnknownContentError,
                     QStringLiteral("the server announces %1 bytes, the file has %2")
                         .arg(announced)
                         .arg(expected < 0 ? elementSize(slot->element) : QString::number(expected)));
    }
}

void UpdateDownloader::writeData()
{
    writeBody(slotOf(sender()));
}

void UpdateDownloader::writeBody(Slot *slot)
{
    if (!slot || !slot->file)
        return;
    HttpTransfer *reply = slot->reply;
    StagedFile *file = slot->file;
    const qint64 expected = declaredSize(slot->element);
    for (;;) {
        const qint64 n = reply->read(m_buffer.data(), m_buffer.size());
        if (n <= 0)
            break;
        m_transferred += n;
        // Stopped at the first byte too many: the body is never longer on
        // disk than the file may be.
        if (expected < 0 || file->writtenSize() + n > expected) {
            slot->discardPartial = true;
            reply->abort(QNetworkReply::UnknownContentError,
                         QStringLiteral("the body is longer than the file's %1 bytes").arg(elementSize(slot->element)));
            return;
        }
        if (file->write(m_buffer.constData(), n) != n) {
            slot->writeFailed = true;
            slot->failure = file->errorString();
            reply->abort(QNetworkReply::OperationCanceledError, slot->failure);
            return;
        }
    }
}

void UpdateDownloader::downloadProgress(qint64 received, qint64 total)
{
    Q_UNUSED(total) // the element's "size" is what counts, not the server's figure
    Slot *slot = slotOf(sender());
    if (!slot || !slot->file)
        return;
    // Bytes of the file so far, a resumed part included.
    reportProgress(slot, slot->file->writtenSize(), received, integerSize(slot->element));
}

void UpdateDownloader::reportProgress(Slot *slot, qint64 fileBytes, qint64 attemptBytes, qint64 fileTotal)
{
    // One at a time, a file is shown from its announcement on.
    if (m_connections == 1 && !slot->announced)
        return;
    slot->fileBytes = fileBytes;
    slot->fileTotal = fileTotal;
    qint64 reportedBytes = fileBytes;
    qint64 reportedTotal = fileTotal;
    // A report at 0 ms would give an infinite sample and spoil the mean for
    // the rest of the run, so it adds none.
    qint64 ms = slot->clock.elapsed();
    double bytes = double(attemptBytes);
    if (m_connections > 1) {
        // The files in flight together, at the speed of all of them.
        reportedBytes = reportedTotal = 0;
        for (const auto &other : m_slots) {
            if (!other->element.isNull()) {
                reportedBytes += other->fileBytes;
                reportedTotal += other->fileTotal;
            }
        }
        ms = m_runClock.elapsed();
        bytes = double(bytesTransferred());
    }
    if (ms > 0) {
        speedSamples += 1;
        speedSum += bytes * 1000.0 / ms;
    }
    const double mean = speedSamples > 0 ? speedSum / speedSamples : 0.0;

    const double done = verifiedBytes + reportedBytes;
    const qint64 remaining = truncToInt64(queuedBytes - done);

    // Without a positive speed there is no estimate; the previous one stands.
    double timeLeft = smoothedTimeLeft * 1.5;
    if (mean > 0)
        timeLeft = smoothTimeLeft(&smoothedTimeLeft, remaining / mean);

    const int percentage = queuedBytes > 0 ? truncToInt(done / queuedBytes * 100.0 + 0.99) : 0;

    emit fileDownloadProgress(reportedBytes, reportedTotal, mean, timeLeft, percentage);
}

double UpdateDownloader::smoothTimeLeft(double *smoothed, double estimate)
{
    if (*smoothed == -1.0)
        *smoothed = estimate;
    // An estimate far from the last (above 1.5 times, below two thirds)
    // moves the figure by 5 % only: one slow or fast moment does not make
    // the time left leap.
    if (estimate > *smoothed * 1.5)
        *smoothed *= 1.05;
    else if (estimate < *smoothed / 1.5)
        *smoothed *= 0.95;
    else
        *smoothed = estimate;
    return *smoothed * 1.5;
}

QString UpdateDownloader::chunkSource(Slot *slot) const
{
    const QDomElement &element = slot->element;
    if (!element.hasAttribute(QStringLiteral("chunks")) || !element.hasAttribute(QStringLiteral("chunks_sha256"))
        || m_wholeOnly.contains(element) || !slot->file)
        return QString();
    // A rebuilding under way goes on from where it stopped; a partly
    // received whole download goes on whole.
    if (slot->file->writtenSize() > 0
        && !(sameElement(slot->chunkedElement, element) && slot->chunked && slot->chunked->isPlanned()))
        return QString();
    // The installed file, read in place: a regular file of the staged
    // file's own folder, never a link (it could lead out of the folder).
    const QString path = slot->file->folder() + QLatin1Char('/') + element.attribute(QStringLiteral("name"));
    const QFileInfo installed(path);
    return installed.isFile() && !installed.isSymLink() ? path : QString();
}

ChunkedFetch *UpdateDownloader::chunkedFetch(Slot *slot)
{
    if (slot->chunked)
        return slot->chunked;
    auto *chunked = new ChunkedFetch(
            [this](const QString &relativeUrl, const TransferLimits &limits) { return request(relativeUrl, limits); },
            this);
    slot->chunked = chunked;
    connect(chunked, &ChunkedFetch::planned, this, [this, slot](qint64 fetch, qint64 copy) {
        Q_UNUSED(fetch)
        // The run's total counts what goes over the network.
        slot->chunkCopy = copy;
        queuedBytes -= double(copy);
    });
    connect(chunked, &ChunkedFetch::replanned, this, [this, slot](qint64 bytes) {
        slot->chunkCopy += bytes;
        queuedBytes -= double(bytes);
    });
    connect(chunked, &ChunkedFetch::progress, this, [this, slot](qint64 fetched) {
        reportProgress(slot, fetched, fetched, slot->chunked->bytesToFetch());
    });
    connect(chunked, &ChunkedFetch::finished, this, [this, slot] { chunksFinished(slot); });
    connect(chunked, &ChunkedFetch::unusable, this, [this, slot](const QString &reason) { fetchWhole(slot, reason); });
    connect(chunked, &ChunkedFetch::networkError, this,
            [this, slot](QNetworkReply::NetworkError code, const QString &text) { chunksNetworkError(slot, code, text); });
    return chunked;
}

void UpdateDownloader::startChunked(Slot *slot, const QString &oldPath)
{
    ChunkedFetch *chunked = chunkedFetch(slot);
    slot->chunkBusy = true;
    slot->clock.start();
    if (sameElement(slot->chunkedElement, slot->element) && chunked->isPlanned()) {
        chunked->resume();
        return;
    }
    // What it fetched for its last file stays counted.
    m_transferred += chunked->bytesFetched();
    const QDomElement &element = slot->element;
    slot->chunkedElement = element;
    slot->chunkCopy = 0;
    chunked->setBlockHashesUrl(element.attribute(QStringLiteral("blocks")));
    chunked->start(element.attribute(QStringLiteral("url")), element.attribute(QStringLiteral("chunks")),
                   element.attribute(QStringLiteral("chunks_sha256")), integerSize(element), oldPath, slot->file);
}

void UpdateDownloader::chunksFinished(Slot *slot)
{
    slot->chunkBusy = false;
    StagedFile *file = slot->file;
    // Checked exactly like a whole download before anything is placed.
    if (!verify(slot, file)) {
        fetchWhole(slot, QStringLiteral("the rebuilt file does not match: ") + m_lastFailure);
        return;
    }
    announce(slot);
    if (slot->element.isNull())
        return;
    slot->file = nullptr;
    slot->chunkedElement = QDomElement();
    const QDomElement element = slot->element;
    const qint64 size = integerSize(element);
    const qint64 copied = slot->chunkCopy;
    release(slot);
    m_unreachableInARow = 0;
    verifiedBytes += double(size - copied);
    m_bytesSaved += copied;
    emit fileDownloaded(element, file);
    downloadNext();
}

void UpdateDownloader::chunksNetworkError(Slot *slot, QNetworkReply::NetworkError code, const QString &text)
{
    slot->chunkBusy = false;
    slot->networkFailure = true;
    announce(slot);
    if (slot->element.isNull())
        return;
    emit fileNetworkError(code, text, slot->element);
    retryOrGiveUp(slot);
}

void UpdateDownloader::fetchWhole(Slot *slot, const QString &reason)
{
    slot->chunkBusy = false;
    slot->chunked->abort();
    slot->chunkedElement = QDomElement();
    queuedBytes += double(slot->chunkCopy);
    slot->chunkCopy = 0;
    m_wholeOnly.append(slot->element);
    emit fileChunksUnusable(slot->element, reason);
    // Whatever was written goes: the whole download starts afresh, with
    // attempts of its own.
    discardFile(slot);
    slot->attempts = 0;
    // After a cancel the queue reports itself empty on its own.
    if (cancelled || slot->element.isNull())
        return;
    if (!startAttempt(slot))
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

bool UpdateDownloader::verify(Slot *slot, StagedFile *file)
{
    const QString reason = mismatch(file, slot->element);
    if (reason.isEmpty())
        return true;
    m_lastFailure = reason;
    return false;
}

void UpdateDownloader::downloadFinished()
{
    Slot *slot = slotOf(sender());
    if (!slot || slot->reply->error() != QNetworkReply::NoError)
        return;
    // Whatever is still buffered belongs to the file.
    writeBody(slot);
    endTransfer(slot);
    slot->networkFailure = false;
    announce(slot);
    // A receiver may have cancelled the run on hearing of the attempt.
    if (slot->element.isNull())
        return;
    if (slot->writeFailed) {
        // A write failed on the last piece: reported like one in flight.
        discardFile(slot);
        m_lastFailure = slot->failure;
        emit fileWriteError(slot->element, slot->failure);
        retryOrGiveUp(slot);
        return;
    }

    StagedFile *file = slot->file;
    slot->file = nullptr;
    if (verify(slot, file)) {
        const QDomElement element = slot->element;
        release(slot);
        m_unreachableInARow = 0;
        verifiedBytes += integerSize(element);
        // The next request goes out before this file is put in place, so
        // that the server works on it meanwhile; it is announced once this
        // file's outcome is told.
        m_holdAnnouncements = true;
        fillSlots();
        m_holdAnnouncements = false;
        networkManager.sendPending();
        emit fileDownloaded(element, file);
        for (const auto &held : m_slots) {
            if (m_connections == 1 && !held->element.isNull() && !cancelled)
                announce(held.get());
        }
        downloadNext();
    } else {
        // A complete body that is wrong: the next attempt starts afresh.
        emit fileCrcError(slot->element, file);
        retryOrGiveUp(slot);
    }
}

void UpdateDownloader::netErrorCatched(QNetworkReply::NetworkError code)
{
    Slot *slot = slotOf(sender());
    if (!slot)
        return;
    const QString text = slot->reply->errorString();
    // The rest asked for is beyond what the server has: the file changed
    // there, and what was kept of it is of no use.
    const bool rangeRefused = slot->resumeFrom > 0 && slot->reply->httpStatus() == 416;
    endTransfer(slot);

    slot->networkFailure = !slot->writeFailed && !slot->discardPartial;
    announce(slot);
    if (slot->element.isNull())
        return;
    if (slot->writeFailed) {
        discardFile(slot);
        m_lastFailure = slot->failure;
        emit fileWriteError(slot->element, slot->failure);
    } else {
        // What arrived before a dropped connection is kept for the next
        // attempt to resume; a body that broke the rules is not.
        if (slot->discardPartial || rangeRefused)
            discardFile(slot);
        emit fileNetworkError(code, text, slot->element);
        if (rangeRefused && !slot->rangeRestarted && !cancelled && !slot->element.isNull()) {
            // Started over at once, once, without using up an attempt.
            slot->rangeRestarted = true;
            --slot->attempts;
            if (!startAttempt(slot))
                downloadNext();
            return;
        }
    }
    retryOrGiveUp(slot);
}

void UpdateDownloader::endTransfer(Slot *slot)
{
    // Only our own connections; the transport drops the transfer later.
    slot->reply->disconnect(this);
    slot->reply->deleteLater();
    slot->reply = nullptr;
}

void UpdateDownloader::retryOrGiveUp(Slot *slot)
{
    // A receiver may have cancelled the run on hearing of the failure;
    // the queue then reports itself empty on its own.
    if (cancelled || slot->element.isNull())
        return;
    // Once the server is taken to be gone, no file is tried again.
    if (slot->attempts > 2 || m_serverUnreachable) {
        giveUp(slot);
        downloadNext();
        return;
    }
    // A moment's outage must not fail the file: wait before trying again.
    const int delay = m_retryDelays.value(slot->attempts - 1, m_retryDelays.isEmpty() ? 0 : m_retryDelays.last());
    slot->retryTimer.start(qMax(0, delay));
}

void UpdateDownloader::giveUp(Slot *slot)
{
    const QDomElement element = slot->element;
    const bool networkFailure = slot->networkFailure;
    release(slot);
    emit fileDownloadError(element);
    // A file the server could not send says little; several in a row say
    // it is gone, and the rest would each take their retries in vain. A
    // file that arrived wrong breaks the row: the server is there.
    m_unreachableInARow = networkFailure ? m_unreachableInARow + 1 : 0;
    if (m_unreachableInARow < unreachableAfter || m_serverUnreachable)
        return;
    m_serverUnreachable = true;
    // What is queued, and what the feed would still hand out.
    const int left = queue.size() + qMax(m_feedCount, 0);
    queue.clear();
    m_feed = nullptr;
    m_feedCount = 0;
    emit fileQueueAbandoned(left, QStringLiteral("server unreachable: %1 files in a row failed on network or "
                                                 "HTTP errors")
                                      .arg(unreachableAfter));
    // Files waiting for another attempt are given up too; those in flight
    // end with the attempt they are on.
    for (const auto &other : m_slots) {
        if (!other->element.isNull() && other->retryTimer.isActive())
            giveUp(other.get());
    }
}

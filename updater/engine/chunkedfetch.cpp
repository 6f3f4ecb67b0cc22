#include "chunkedfetch.h"

#include "httptransfer.h"
#include "stagedfile.h"

#include <QCryptographicHash>

namespace {

// Local reading and copying go this much at a time between two turns of
// the event loop.
const qint64 kSlice = 4 * 1024 * 1024;

} // namespace

ChunkedFetch::ChunkedFetch(RequestMaker makeRequest, QObject *parent)
    : QObject(parent)
    , m_makeRequest(std::move(makeRequest))
    , m_buffer(int(kSlice), Qt::Uninitialized)
{
    m_slice.setSingleShot(true);
    m_slice.setInterval(0);
    connect(&m_slice, &QTimer::timeout, this, [this] {
        if (!m_stopped && m_nextSlice)
            m_nextSlice();
    });
}

ChunkedFetch::~ChunkedFetch()
{
    abort();
}

void ChunkedFetch::start(const QString &fileUrl, const QString &indexUrl, const QString &indexSha256, qint64 newSize,
                         const QString &oldPath, StagedFile *target)
{
    abort();
    m_fileUrl = fileUrl;
    m_indexUrl = indexUrl;
    m_indexSha256 = indexSha256;
    m_newSize = newSize;
    m_target = target;
    m_stopped = false;
    m_planned = false;
    m_step = 0;
    m_stepDone = 0;
    m_fetched = 0;
    m_error.clear();
    m_indexBytes.clear();
    m_oldChunks.clear();
    m_chunker.reset();
    m_old.setFileName(oldPath);
    if (!m_old.open(QIODevice::ReadOnly)) {
        fail(QStringLiteral("cannot read the installed file: ") + m_old.errorString());
        return;
    }
    fetchIndex();
}

void ChunkedFetch::abort()
{
    m_stopped = true;
    m_slice.stop();
    m_nextSlice = nullptr;
    if (m_transfer) {
        HttpTransfer *transfer = m_transfer;
        endTransfer();
        transfer->abort();
    }
    m_old.close();
}

void ChunkedFetch::endTransfer()
{
    m_transfer->disconnect(this);
    m_transfer->deleteLater();
    m_transfer = nullptr;
}

void ChunkedFetch::fail(const QString &reason)
{
    m_error = reason;
    abort();
    emit unusable(reason);
}

void ChunkedFetch::fetchIndex()
{
    m_transfer = m_makeRequest(m_indexUrl, TransferLimits());
    const qint64 limit = ChunkIndex::maxIndexSize(m_newSize);
    connect(m_transfer, &HttpTransfer::readyRead, this, [this, limit] {
        char buffer[65536];
        for (qint64 n; (n = m_transfer->read(buffer, sizeof buffer)) > 0;) {
            m_fetched += n;
            if (m_indexBytes.size() + n > limit) {
                m_transfer->abort(QNetworkReply::UnknownContentError, QStringLiteral("the index is too large"));
                return;
            }
            m_indexBytes.append(buffer, int(n));
        }
    });
    connect(m_transfer, &HttpTransfer::finished, this, &ChunkedFetch::indexReceived);
}

void ChunkedFetch::indexReceived()
{
    const QString transferError = m_transfer->error() == QNetworkReply::NoError ? QString() : m_transfer->errorString();
    endTransfer();
    if (!transferError.isEmpty()) {
        fail(QStringLiteral("index not fetched: ") + transferError);
        return;
    }
    // The manifest vouches for the index: a changed one is never used.
    const QString sha256 = QString::fromLatin1(QCryptographicHash::hash(m_indexBytes, QCryptographicHash::Sha256).toHex());
    if (sha256.compare(m_indexSha256, Qt::CaseInsensitive) != 0) {
        fail(QStringLiteral("the index does not match its SHA-256"));
        return;
    }
    QString error;
    if (!ChunkIndex::fromBytes(m_indexBytes, &m_index, &error)) {
        fail(QStringLiteral("unusable index: ") + error);
        return;
    }
    if (m_index.fileSize() != m_newSize) {
        fail(QStringLiteral("the index describes %1 bytes, the file has %2").arg(m_index.fileSize()).arg(m_newSize));
        return;
    }
    m_nextSlice = [this] { chunkOldFile(); };
    m_slice.start();
}

void ChunkedFetch::chunkOldFile()
{
    const qint64 n = m_old.read(m_buffer.data(), kSlice);
    if (n < 0) {
        fail(QStringLiteral("cannot read the installed file: ") + m_old.errorString());
        return;
    }
    if (n > 0) {
        if (!m_chunker.addData(m_buffer.constData(), n, &m_oldChunks)) {
            fail(m_chunker.errorString());
            return;
        }
        m_slice.start();
        return;
    }
    if (!m_chunker.finish(&m_oldChunks)) {
        fail(m_chunker.errorString());
        return;
    }
    m_plan = ChunkPlan(m_index, m_oldChunks);
    // With nothing in common the whole file is one download, and cheaper so.
    if (m_plan.copyBytes() == 0) {
        fail(QStringLiteral("nothing in common with the installed file"));
        return;
    }
    m_planned = true;
    m_step = 0;
    m_stepDone = 0;
    emit planned(m_plan.fetchBytes(), m_plan.copyBytes());
    runSteps();
}

void ChunkedFetch::runSteps()
{
    if (m_stopped)
        return;
    const QVector<ChunkPlan::Step> &steps = m_plan.steps();
    if (m_step >= steps.size()) {
        m_old.close();
        emit finished();
        return;
    }
    const ChunkPlan::Step &step = steps.at(m_step);
    if (step.action == ChunkPlan::Action::Fetch) {
        fetchRange();
        return;
    }
    // A slice of a copy from the installed file.
    const qint64 length = qMin(kSlice, step.length - m_stepDone);
    if (!m_old.seek(step.sourceOffset + m_stepDone) || m_old.read(m_buffer.data(), length) != length) {
        fail(QStringLiteral("cannot read the installed file: ") + m_old.errorString());
        return;
    }
    if (m_target->write(m_buffer.constData(), length) != length) {
        fail(QStringLiteral("cannot write: ") + m_target->errorString());
        return;
    }
    m_stepDone += length;
    if (m_stepDone == step.length) {
        ++m_step;
        m_stepDone = 0;
    }
    m_nextSlice = [this] { runSteps(); };
    m_slice.start();
}

void ChunkedFetch::resume()
{
    if (m_stopped || !m_planned || m_transfer)
        return;
    runSteps();
}

void ChunkedFetch::fetchRange()
{
    const ChunkPlan::Step &step = m_plan.steps().at(m_step);
    const qint64 from = step.sourceOffset + m_stepDone;
    const qint64 to = step.sourceOffset + step.length - 1;
    TransferLimits limits;
    limits.range = QByteArray::number(from) + '-' + QByteArray::number(to);
    m_transfer = m_makeRequest(m_fileUrl, limits);
    connect(m_transfer, &HttpTransfer::metaDataChanged, this, [this, from, to] {
        if (m_transfer->httpStatus() >= 400)
            return; // the error report follows
        // Only exactly the range asked for can be used.
        if (m_transfer->httpStatus() != 206 || m_transfer->contentRangeStart() != from
            || m_transfer->contentLength() > to - from + 1) {
            m_error = QStringLiteral("the server did not answer the range %1-%2 (HTTP %3)")
                          .arg(from)
                          .arg(to)
                          .arg(m_transfer->httpStatus());
            m_transfer->abort(QNetworkReply::UnknownContentError, m_error);
        }
    });
    connect(m_transfer, &HttpTransfer::readyRead, this, &ChunkedFetch::rangeData);
    connect(m_transfer, &HttpTransfer::finished, this, &ChunkedFetch::rangeFinished);
}

void ChunkedFetch::rangeData()
{
    const ChunkPlan::Step &step = m_plan.steps().at(m_step);
    for (;;) {
        const qint64 n = m_transfer->read(m_buffer.data(), m_buffer.size());
        if (n <= 0)
            return;
        if (m_stepDone + n > step.length) {
            m_error = QStringLiteral("the server sent more than the range");
            m_transfer->abort(QNetworkReply::UnknownContentError, m_error);
            return;
        }
        if (m_target->write(m_buffer.constData(), n) != n) {
            m_error = QStringLiteral("cannot write: ") + m_target->errorString();
            m_transfer->abort(QNetworkReply::OperationCanceledError, m_error);
            return;
        }
        m_stepDone += n;
        m_fetched += n;
        emit progress(m_fetched);
    }
}

void ChunkedFetch::rangeFinished()
{
    rangeData();
    const QNetworkReply::NetworkError code = m_transfer->error();
    const QString text = m_transfer->errorString();
    endTransfer();
    const ChunkPlan::Step &step = m_plan.steps().at(m_step);
    if (!m_error.isEmpty()) {
        // A wrong answer or a local failure: the chunks cannot be trusted
        // to give this file.
        fail(m_error);
        return;
    }
    if (code != QNetworkReply::NoError || m_stepDone != step.length) {
        // What arrived stays; resume() asks for the rest of the range.
        emit networkError(code == QNetworkReply::NoError ? QNetworkReply::RemoteHostClosedError : code,
                          code == QNetworkReply::NoError ? QStringLiteral("the range ended early") : text);
        return;
    }
    ++m_step;
    m_stepDone = 0;
    runSteps();
}

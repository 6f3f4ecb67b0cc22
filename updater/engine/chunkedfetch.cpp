#include "chunkedfetch.h"

#include "blockhashes.h"
#include "httptransfer.h"
#include "stagedfile.h"

#include <QCryptographicHash>
#include <QFileInfo>

#include <algorithm>
#include <memory>

namespace {

// Local reading and copying go this much at a time between two turns of
// the event loop.
const qint64 kSlice = 4 * 1024 * 1024;

// Between two fetched blocks, bytes still at hand that are fewer than this
// are fetched too: a range request costs some hundreds of bytes of headers.
const qint64 kMinCopyBetweenFetches = 1024;

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
    m_fetchTotal = 0;
    m_error.clear();
    m_indexBytes.clear();
    m_oldChunks.clear();
    m_chunker.reset();
    // Opened in the staged file's own folder, by name and never through a
    // link: the folder's path may lead elsewhere by now.
    QString error;
    if (!target->openSibling(QFileInfo(oldPath).fileName(), &m_old, &error)) {
        fail(QStringLiteral("cannot read the installed file: ") + error);
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
    m_steps = m_plan.steps();
    m_final = QVector<bool>(m_steps.size(), m_blocksUrl.isEmpty());
    m_blockStart.clear();
    qint64 blocks = 0;
    for (const Chunk &chunk : m_index.chunks()) {
        m_blockStart.append(blocks);
        blocks += BlockHashes::blockCount(chunk.length);
    }
    m_blockStart.append(blocks);
    m_fetchTotal = m_plan.fetchBytes();
    m_step = 0;
    m_stepDone = 0;
    emit planned(m_plan.fetchBytes(), m_plan.copyBytes());
    runSteps();
}

void ChunkedFetch::runSteps()
{
    if (m_stopped)
        return;
    if (m_step >= m_steps.size()) {
        m_old.close();
        emit finished();
        return;
    }
    const ChunkPlan::Step &step = m_steps.at(m_step);
    if (step.action == ChunkPlan::Action::Fetch) {
        if (m_stepDone == 0 && !m_final.at(m_step))
            refineStep(m_step);
        else
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

void ChunkedFetch::refineStep(int index)
{
    m_final[index] = true;
    const ChunkPlan::Step step = m_steps.at(index);
    // The chunks the step covers; a fetch is always made of whole chunks.
    const QVector<Chunk> &chunks = m_index.chunks();
    const auto first = std::lower_bound(chunks.begin(), chunks.end(), step.sourceOffset,
                                        [](const Chunk &chunk, qint64 offset) { return chunk.offset < offset; });
    if (first == chunks.end() || first->offset != step.sourceOffset) {
        runSteps();
        return;
    }
    const int c0 = int(first - chunks.begin());
    int c1 = c0;
    while (c1 < chunks.size() && chunks.at(c1).offset + chunks.at(c1).length < step.sourceOffset + step.length)
        ++c1;
    if (c1 >= chunks.size()) {
        runSteps();
        return;
    }
    const qint64 from = BlockHashes::kHeaderSize + BlockHashes::kHashSize * m_blockStart.at(c0);
    const qint64 to = BlockHashes::kHeaderSize + BlockHashes::kHashSize * m_blockStart.at(c1 + 1) - 1;
    TransferLimits limits;
    limits.range = QByteArray::number(from) + '-' + QByteArray::number(to);
    m_transfer = m_makeRequest(m_blocksUrl, limits);
    auto hashes = std::make_shared<QByteArray>();
    const qint64 expected = to - from + 1;
    connect(m_transfer, &HttpTransfer::readyRead, this, [this, hashes, expected] {
        char buffer[16384];
        for (qint64 n; (n = m_transfer->read(buffer, sizeof buffer)) > 0;) {
            m_fetched += n;
            if (hashes->size() + n > expected) {
                m_transfer->abort(QNetworkReply::UnknownContentError, QStringLiteral("too many block hashes"));
                return;
            }
            hashes->append(buffer, int(n));
        }
    });
    connect(m_transfer, &HttpTransfer::finished, this, [this, hashes, expected, from, index] {
        // Hashes are only hints: without them the step is fetched as planned.
        const bool usable = m_transfer->error() == QNetworkReply::NoError && m_transfer->httpStatus() == 206
                            && m_transfer->contentRangeStart() == from && hashes->size() == expected;
        endTransfer();
        if (m_stopped)
            return;
        if (usable)
            splitStep(index, *hashes);
        runSteps();
    });
}

void ChunkedFetch::splitStep(int index, const QByteArray &hashes)
{
    const ChunkPlan::Step step = m_steps.at(index);
    const qint64 oldSize = m_old.size();
    // The installed bytes this step replaces lie between the copies around
    // it: its blocks are looked for there, aligned at the start of that
    // stretch (an edit in place) and at its end (bytes inserted or removed
    // before them).
    const bool startKnown = index == 0 || m_steps.at(index - 1).action == ChunkPlan::Action::Copy;
    const bool endKnown = index + 1 == m_steps.size() || m_steps.at(index + 1).action == ChunkPlan::Action::Copy;
    const qint64 oldStart = index == 0 ? 0
                                       : (startKnown ? m_steps.at(index - 1).sourceOffset + m_steps.at(index - 1).length : -1);
    const qint64 oldEnd = index + 1 == m_steps.size() ? oldSize : (endKnown ? m_steps.at(index + 1).sourceOffset : -1);
    const qint64 stepEnd = step.sourceOffset + step.length;

    QVector<ChunkPlan::Step> parts;
    auto add = [&parts](ChunkPlan::Action action, qint64 source, qint64 target, qint64 length) {
        if (!parts.isEmpty()) {
            ChunkPlan::Step &last = parts.last();
            const bool contiguous = last.action == action && last.targetOffset + last.length == target
                                    && last.sourceOffset + last.length == source;
            if (contiguous) {
                last.length += length;
                return;
            }
        }
        parts.append({action, source, target, length});
    };
    const QVector<Chunk> &chunks = m_index.chunks();
    const auto first = std::lower_bound(chunks.begin(), chunks.end(), step.sourceOffset,
                                        [](const Chunk &chunk, qint64 offset) { return chunk.offset < offset; });
    int hash = 0;
    QByteArray block(int(BlockHashes::kBlockSize), Qt::Uninitialized);
    for (auto chunk = first; chunk != chunks.end() && chunk->offset < stepEnd; ++chunk) {
        for (qint64 at = 0; at < chunk->length; at += BlockHashes::kBlockSize, ++hash) {
            const qint64 target = chunk->offset + at;
            const qint64 length = qMin(BlockHashes::kBlockSize, chunk->length - at);
            const QByteArray wanted = hashes.mid(hash * BlockHashes::kHashSize, BlockHashes::kHashSize);
            qint64 found = -1;
            for (const qint64 candidate : {oldStart < 0 ? -1 : oldStart + (target - step.sourceOffset),
                                           oldEnd < 0 ? -1 : oldEnd - (stepEnd - target)}) {
                if (candidate < 0 || candidate + length > oldSize || !m_old.seek(candidate)
                    || m_old.read(block.data(), length) != length)
                    continue;
                if (BlockHashes::hash(block.constData(), length) == wanted) {
                    found = candidate;
                    break;
                }
            }
            if (found >= 0)
                add(ChunkPlan::Action::Copy, found, target, length);
            else
                add(ChunkPlan::Action::Fetch, target, target, length);
        }
    }
    // A short copy between two fetches costs more in headers than it saves.
    QVector<ChunkPlan::Step> merged;
    for (int i = 0; i < parts.size(); ++i) {
        ChunkPlan::Step part = parts.at(i);
        const bool between = i > 0 && i + 1 < parts.size() && parts.at(i - 1).action == ChunkPlan::Action::Fetch
                             && parts.at(i + 1).action == ChunkPlan::Action::Fetch;
        if (part.action == ChunkPlan::Action::Copy && between && part.length < kMinCopyBetweenFetches)
            part = {ChunkPlan::Action::Fetch, part.targetOffset, part.targetOffset, part.length};
        if (!merged.isEmpty() && merged.last().action == ChunkPlan::Action::Fetch && part.action == ChunkPlan::Action::Fetch)
            merged.last().length += part.length;
        else
            merged.append(part);
    }
    qint64 copied = 0;
    for (const ChunkPlan::Step &part : qAsConst(merged)) {
        if (part.action == ChunkPlan::Action::Copy)
            copied += part.length;
    }
    if (copied == 0)
        return;
    m_steps.remove(index);
    m_final.remove(index);
    for (int i = 0; i < merged.size(); ++i) {
        m_steps.insert(index + i, merged.at(i));
        m_final.insert(index + i, true);
    }
    m_fetchTotal -= copied;
    emit replanned(copied);
}

void ChunkedFetch::fetchRange()
{
    const ChunkPlan::Step &step = m_steps.at(m_step);
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
    const ChunkPlan::Step &step = m_steps.at(m_step);
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
    const ChunkPlan::Step &step = m_steps.at(m_step);
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

#include "chunkindex.h"

#include <QtEndian>

namespace {

const char kMagic[] = "UPDCHNK1";
constexpr int kMagicSize = 8;
constexpr int kDigestSize = 32;

void appendLittleEndian32(QByteArray *out, quint32 value)
{
    char bytes[4];
    qToLittleEndian(value, bytes);
    out->append(bytes, 4);
}

} // namespace

ChunkIndex::ChunkIndex(const QVector<Chunk> &chunks)
    : m_chunks(chunks)
{
    for (const Chunk &chunk : chunks)
        m_fileSize += chunk.length;
}

qint64 ChunkIndex::minChunkCount(qint64 fileSize)
{
    return fileSize <= 0 ? 0 : (fileSize + Chunker::kMaxSize - 1) / Chunker::kMaxSize;
}

qint64 ChunkIndex::maxChunkCount(qint64 fileSize)
{
    // Every chunk but the last has at least the minimum size.
    return fileSize <= 0 ? 0 : (fileSize - 1) / Chunker::kMinSize + 1;
}

qint64 ChunkIndex::maxIndexSize(qint64 fileSize)
{
    return kHeaderSize + kEntrySize * maxChunkCount(qBound<qint64>(0, fileSize, kMaxFileSize));
}

QByteArray ChunkIndex::toBytes() const
{
    QByteArray out;
    out.reserve(int(kHeaderSize + kEntrySize * qint64(m_chunks.size())));
    out.append(kMagic, kMagicSize);
    char size[8];
    qToLittleEndian(quint64(m_fileSize), size);
    out.append(size, 8);
    appendLittleEndian32(&out, quint32(m_chunks.size()));
    for (const Chunk &chunk : m_chunks) {
        appendLittleEndian32(&out, quint32(chunk.length));
        out.append(chunk.sha256.leftJustified(kDigestSize, '\0', true));
    }
    return out;
}

bool ChunkIndex::fromBytes(const QByteArray &bytes, ChunkIndex *index, QString *error)
{
    auto refuse = [error](const QString &reason) {
        *error = QStringLiteral("invalid chunk index: %1").arg(reason);
        return false;
    };
    if (bytes.size() < kHeaderSize)
        return refuse(QStringLiteral("%1 bytes, shorter than the header").arg(bytes.size()));
    if (!bytes.startsWith(QByteArray::fromRawData(kMagic, kMagicSize)))
        return refuse(QStringLiteral("wrong magic"));
    const uchar *data = reinterpret_cast<const uchar *>(bytes.constData());
    const quint64 declaredSize = qFromLittleEndian<quint64>(data + 8);
    const quint32 declaredCount = qFromLittleEndian<quint32>(data + 16);
    if (declaredSize > quint64(kMaxFileSize))
        return refuse(QStringLiteral("file size %1 above the limit of %2 bytes").arg(declaredSize).arg(kMaxFileSize));
    const qint64 fileSize = qint64(declaredSize);
    const qint64 count = qint64(declaredCount);
    if (count < minChunkCount(fileSize) || count > maxChunkCount(fileSize))
        return refuse(QStringLiteral("%1 chunks cannot make a file of %2 bytes").arg(count).arg(fileSize));
    const qint64 expected = kHeaderSize + kEntrySize * count;
    if (bytes.size() < expected)
        return refuse(QStringLiteral("truncated: %1 bytes, %2 expected").arg(bytes.size()).arg(expected));
    if (bytes.size() > expected)
        return refuse(QStringLiteral("%1 trailing bytes").arg(bytes.size() - expected));

    // The count is now bounded by the size of the input.
    QVector<Chunk> chunks;
    chunks.reserve(int(count));
    qint64 offset = 0;
    for (qint64 i = 0; i < count; ++i) {
        const uchar *entry = data + kHeaderSize + kEntrySize * i;
        const qint64 length = qFromLittleEndian<quint32>(entry);
        const bool last = i == count - 1;
        if (length < (last ? 1 : Chunker::kMinSize) || length > Chunker::kMaxSize)
            return refuse(QStringLiteral("chunk %1 has a length of %2 bytes").arg(i).arg(length));
        if (length > fileSize - offset)
            return refuse(QStringLiteral("chunk %1 ends past the file size of %2 bytes").arg(i).arg(fileSize));
        chunks.append(Chunk{offset, length,
                            QByteArray(reinterpret_cast<const char *>(entry + 4), kDigestSize)});
        offset += length;
    }
    if (offset != fileSize)
        return refuse(QStringLiteral("the chunks sum to %1 bytes, not the file size of %2").arg(offset).arg(fileSize));
    index->m_fileSize = fileSize;
    index->m_chunks = std::move(chunks);
    return true;
}

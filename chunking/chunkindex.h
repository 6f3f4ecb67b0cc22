#ifndef CHUNKINDEX_H
#define CHUNKINDEX_H

#include "chunker.h"

#include <QByteArray>
#include <QString>
#include <QVector>

// The published list of a file's chunks, in this binary form (little
// endian, no padding):
//
//   8 bytes   magic "UPDCHNK1"
//   u64       file size in bytes
//   u32       chunk count N
//   N times:  u32 chunk length, 32 bytes SHA-256 of the chunk
//
// Offsets are implied: each chunk starts where the previous one ends.
// fromBytes() takes the bytes as hostile: it accepts only what the chunker
// can have made, and never allocates from a count it has not checked
// against the size of the input.
class ChunkIndex
{
public:
    static constexpr int kHeaderSize = 20;
    static constexpr int kEntrySize = 36;
    // Larger files are refused: no release ships one, and the bound keeps
    // every count and sum far from overflowing.
    static constexpr qint64 kMaxFileSize = qint64(1) << 40;

    ChunkIndex() = default;
    // The index of the chunks the chunker made from one whole file.
    explicit ChunkIndex(const QVector<Chunk> &chunks);

    qint64 fileSize() const { return m_fileSize; }
    const QVector<Chunk> &chunks() const { return m_chunks; }

    QByteArray toBytes() const;
    // Parses an index into `index`; false with the reason in `error` when
    // the bytes are not a well-formed index (then `index` is unchanged).
    static bool fromBytes(const QByteArray &bytes, ChunkIndex *index, QString *error);

    // The largest well-formed index of a file of `fileSize` bytes: a reader
    // bounds its download of an index with it.
    static qint64 maxIndexSize(qint64 fileSize);
    // The fewest and the most chunks a file of `fileSize` bytes can have.
    static qint64 minChunkCount(qint64 fileSize);
    static qint64 maxChunkCount(qint64 fileSize);

private:
    qint64 m_fileSize = 0;
    QVector<Chunk> m_chunks;
};

#endif // CHUNKINDEX_H

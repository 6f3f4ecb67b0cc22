#ifndef CHUNKPLAN_H
#define CHUNKPLAN_H

#include "chunker.h"

#include <QVector>

class ChunkIndex;

// How to build a new file from an installed old one: the ordered steps that
// write the new file from its first byte to its last, each either a copy of
// a range of the old file or a fetch of a range of the new one.
//
// A new chunk whose SHA-256 is among the old file's chunks is copied, the
// rest is fetched. Adjacent fetches become one range, and copies that are
// also contiguous in the old file become one copy. Between two fetches, a
// run of copies of at most maxGap bytes in all is fetched instead: one
// range request costs a few hundred bytes of headers and a round trip,
// which outweighs a few kilobytes of payload. Whole chunks are at least
// Chunker::kMinSize long, so with the default gap this only joins ranges
// around the short last chunk of a file or around hand-made chunk lists;
// a client that pays more per request can pass a larger gap.
class ChunkPlan
{
public:
    enum class Action { Copy, Fetch };
    struct Step
    {
        Action action = Action::Fetch;
        qint64 sourceOffset = 0; // in the old file for a copy, in the new file for a fetch
        qint64 targetOffset = 0; // in the new file
        qint64 length = 0;
    };

    static constexpr qint64 kDefaultMaxGap = 8 * 1024;

    ChunkPlan() = default;
    // `oldChunks` as the Chunker made them from the installed file.
    ChunkPlan(const ChunkIndex &newIndex, const QVector<Chunk> &oldChunks, qint64 maxGap = kDefaultMaxGap);
    ChunkPlan(const QVector<Chunk> &newChunks, const QVector<Chunk> &oldChunks, qint64 maxGap = kDefaultMaxGap);

    const QVector<Step> &steps() const { return m_steps; }
    // Size of the new file: the steps cover [0, fileSize()) without gaps.
    qint64 fileSize() const { return m_fileSize; }
    qint64 fetchBytes() const { return m_fetchBytes; }
    qint64 copyBytes() const { return m_fileSize - m_fetchBytes; }
    // Number of fetch steps, each one byte range.
    int fetchCount() const;

private:
    void add(Action action, qint64 sourceOffset, qint64 length, qint64 maxGap);

    QVector<Step> m_steps;
    qint64 m_fileSize = 0;
    qint64 m_fetchBytes = 0;
};

#endif // CHUNKPLAN_H

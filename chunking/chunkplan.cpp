#include "chunkplan.h"

#include "chunkindex.h"

#include <QHash>

ChunkPlan::ChunkPlan(const ChunkIndex &newIndex, const QVector<Chunk> &oldChunks, qint64 maxGap)
    : ChunkPlan(newIndex.chunks(), oldChunks, maxGap)
{
}

ChunkPlan::ChunkPlan(const QVector<Chunk> &newChunks, const QVector<Chunk> &oldChunks, qint64 maxGap)
{
    // The first old chunk of each content, and every old chunk by where it
    // starts, so that a copy can go on with the chunk right after it even
    // when the same content occurs earlier in the old file.
    QHash<QByteArray, int> byDigest;
    QHash<qint64, int> byOffset;
    byDigest.reserve(oldChunks.size());
    byOffset.reserve(oldChunks.size());
    for (int i = 0; i < oldChunks.size(); ++i) {
        if (!byDigest.contains(oldChunks.at(i).sha256))
            byDigest.insert(oldChunks.at(i).sha256, i);
        byOffset.insert(oldChunks.at(i).offset, i);
    }
    auto same = [](const Chunk &a, const Chunk &b) { return a.length == b.length && a.sha256 == b.sha256; };

    for (const Chunk &chunk : newChunks) {
        int match = -1;
        if (!m_steps.isEmpty() && m_steps.constLast().action == Action::Copy) {
            const Step &last = m_steps.constLast();
            const int next = byOffset.value(last.sourceOffset + last.length, -1);
            if (next >= 0 && same(oldChunks.at(next), chunk))
                match = next;
        }
        if (match < 0) {
            const int any = byDigest.value(chunk.sha256, -1);
            if (any >= 0 && same(oldChunks.at(any), chunk))
                match = any;
        }
        if (match >= 0)
            add(Action::Copy, oldChunks.at(match).offset, chunk.length, maxGap);
        else
            add(Action::Fetch, m_fileSize, chunk.length, maxGap);
    }
}

void ChunkPlan::add(Action action, qint64 sourceOffset, qint64 length, qint64 maxGap)
{
    const qint64 target = m_fileSize;
    m_fileSize += length;
    if (action == Action::Fetch) {
        m_fetchBytes += length;
        // Copies since the last fetch, if they are few bytes, are fetched
        // with it: one range instead of two.
        int firstCopy = m_steps.size();
        qint64 gap = 0;
        while (firstCopy > 0 && m_steps.at(firstCopy - 1).action == Action::Copy)
            gap += m_steps.at(--firstCopy).length;
        if (firstCopy > 0 && gap <= qMax<qint64>(0, maxGap)) {
            m_fetchBytes += gap;
            m_steps.resize(firstCopy);
            m_steps.last().length += gap + length;
            return;
        }
    } else if (!m_steps.isEmpty() && m_steps.constLast().action == Action::Copy
               && m_steps.constLast().sourceOffset + m_steps.constLast().length == sourceOffset) {
        m_steps.last().length += length;
        return;
    }
    m_steps.append(Step{action, sourceOffset, target, length});
}

int ChunkPlan::fetchCount() const
{
    int count = 0;
    for (const Step &step : m_steps)
        count += step.action == Action::Fetch ? 1 : 0;
    return count;
}

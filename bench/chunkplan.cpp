// chunk-plan OLD NEW: what rebuilding NEW from OLD with chunk indexes costs
// by the plan alone (index and fetched ranges, no HTTP), for bench/delta-bench.
// Prints "index BYTES fetch BYTES ranges N copy BYTES".
// chunk-plan FILE: the chunker's throughput on FILE (one read, one thread).
#include "chunker.h"
#include "chunkindex.h"
#include "chunkplan.h"

#include <QElapsedTimer>
#include <QFileInfo>

#include <cstdio>

int main(int argc, char *argv[])
{
    if (argc == 2) {
        QVector<Chunk> chunks;
        QString error;
        QElapsedTimer timer;
        timer.start();
        if (!Chunker::chunkFile(QString::fromLocal8Bit(argv[1]), &chunks, &error)) {
            std::fprintf(stderr, "chunk-plan: %s\n", qPrintable(error));
            return 2;
        }
        const double seconds = timer.nsecsElapsed() / 1e9;
        const qint64 size = QFileInfo(QString::fromLocal8Bit(argv[1])).size();
        std::printf("%d chunks, mean %lld bytes, %.2f s, %.0f MB/s\n", chunks.size(),
                    chunks.isEmpty() ? 0 : size / chunks.size(), seconds, size / seconds / 1e6);
        return 0;
    }
    if (argc != 3) {
        std::fputs("usage: chunk-plan OLD NEW | chunk-plan FILE\n", stderr);
        return 2;
    }
    QVector<Chunk> oldChunks;
    QVector<Chunk> newChunks;
    QString error;
    if (!Chunker::chunkFile(QString::fromLocal8Bit(argv[1]), &oldChunks, &error)
        || !Chunker::chunkFile(QString::fromLocal8Bit(argv[2]), &newChunks, &error)) {
        std::fprintf(stderr, "chunk-plan: %s\n", qPrintable(error));
        return 2;
    }
    const ChunkIndex index(newChunks);
    const ChunkPlan plan(index, oldChunks);
    std::printf("index %d fetch %lld ranges %d copy %lld\n", index.toBytes().size(), plan.fetchBytes(),
                plan.fetchCount(), plan.copyBytes());
    return 0;
}

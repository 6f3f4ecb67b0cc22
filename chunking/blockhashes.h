#ifndef BLOCKHASHES_H
#define BLOCKHASHES_H

#include <QByteArray>
#include <QtGlobal>

// Short hashes of the small blocks of every chunk of a file, published
// beside its chunk index: a client that must fetch a changed chunk can find
// which of its blocks it still has, and fetch only the others.
//
// Blocks are kBlockSize bytes, counted from the start of each chunk (the
// last block of a chunk may be shorter). The file ("U.blk") is the magic
// "UPDBLK01", then for each chunk in index order and each of its blocks the
// first kHashSize bytes of the block's SHA-256. A client reads the entries
// of one chunk with a byte range: they start at kHeaderSize plus kHashSize
// times the number of blocks of the chunks before it.
//
// The hashes only say what is worth copying: a file rebuilt with their help
// is verified as a whole like any other before it is placed, so wrong or
// forged ones can cost bytes, never correctness.
namespace BlockHashes {

constexpr qint64 kBlockSize = 2048;
constexpr int kHashSize = 8;
constexpr int kHeaderSize = 8;

QByteArray header();
qint64 blockCount(qint64 chunkLength);
// The short hash of one block.
QByteArray hash(const char *data, qint64 size);
// Appends the hashes of the blocks of one chunk's bytes.
void appendChunk(const char *data, qint64 size, QByteArray *out);

} // namespace BlockHashes

#endif // BLOCKHASHES_H

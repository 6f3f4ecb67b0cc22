#ifndef CHUNKER_H
#define CHUNKER_H

#include <QByteArray>
#include <QString>
#include <QVector>

#include <memory>

class QIODevice;

// One piece of a file as the chunker cut it.
struct Chunk
{
    qint64 offset = 0;
    qint64 length = 0;
    QByteArray sha256; // 32 raw bytes
};

// Cuts a byte stream into chunks at content-defined boundaries, so that an
// insertion or a deletion moves no boundary beyond the next chunk or two and
// an installed file and its edited release share most of their chunks.
//
// Gear rolling hash in the FastCDC style: no cut before kMinSize bytes, a
// forced cut at kMaxSize, and in between a cut where the top bits of the
// hash are zero, with a stricter test (16 bits) before kAverageSize and a
// looser one (15 bits) after it, which narrows the spread of sizes around
// the average. The hash starts 64 bytes before the minimum, so every allowed
// cut looks at a full 64-byte window. Boundaries depend only on the bytes
// since the start of the chunk; published indexes depend on every constant
// here and in the gear table, so none of them may ever change.
class Chunker
{
public:
    static constexpr qint64 kMinSize = 16 * 1024;
    static constexpr qint64 kAverageSize = 64 * 1024;
    static constexpr qint64 kMaxSize = 256 * 1024;

    Chunker();
    ~Chunker();
    Chunker(const Chunker &) = delete;
    Chunker &operator=(const Chunker &) = delete;

    // Adds the next `size` bytes of the stream and appends every chunk that
    // ends within them to `chunks`. False when hashing fails (errorString());
    // the stream is then unusable until reset().
    bool addData(const char *data, qint64 size, QVector<Chunk> *chunks);
    // Ends the stream: appends the last chunk, which may be shorter than the
    // minimum, when bytes are left. An empty stream has no chunk. The
    // chunker is then ready for a new stream starting at offset 0.
    bool finish(QVector<Chunk> *chunks);
    // Drops the stream in progress.
    void reset();
    QString errorString() const { return m_error; }

    // The chunks of a device from its current position to its end, or of a
    // file. False with the reason in `error` when reading or hashing fails.
    static bool chunkDevice(QIODevice *device, QVector<Chunk> *chunks, QString *error);
    static bool chunkFile(const QString &path, QVector<Chunk> *chunks, QString *error);

private:
    // Looks for the end of the current chunk within `size` bytes; returns
    // how many belong to it and sets `cut` when the chunk ends there.
    qint64 scan(const unsigned char *data, qint64 size, bool *cut);
    bool startChunk();
    // Appends the chunk that ends here, with its SHA-256.
    bool endChunk(QVector<Chunk> *chunks);
    bool fail(const QString &reason);

    struct DigestContext;
    std::unique_ptr<DigestContext> m_digest;
    quint64 m_hash = 0;
    qint64 m_chunkStart = 0;  // stream offset of the current chunk
    qint64 m_chunkLength = 0; // bytes of it seen so far
    bool m_digestReady = false;
    QString m_error;
};

#endif // CHUNKER_H

#include "filechecksum.h"

#include <QFile>

#include <openssl/evp.h>

#include <memory>

namespace {

// Small reads keep memory flat whatever the file size; QFile buffers
// underneath, so they do not turn into small system calls.
constexpr qint64 kChunkSize = 1024;

// libcrypto uses the processor's hashing instructions where it can, which
// makes it markedly faster than QCryptographicHash for SHA-1.
const EVP_MD *opensslDigest(QCryptographicHash::Algorithm algorithm)
{
    switch (algorithm) {
    case QCryptographicHash::Sha1:
        return EVP_sha1();
    case QCryptographicHash::Md5:
        return EVP_md5();
    case QCryptographicHash::Sha224:
        return EVP_sha224();
    case QCryptographicHash::Sha256:
        return EVP_sha256();
    case QCryptographicHash::Sha384:
        return EVP_sha384();
    case QCryptographicHash::Sha512:
        return EVP_sha512();
    default:
        return nullptr;
    }
}

struct DigestContextDeleter
{
    void operator()(EVP_MD_CTX *context) const { EVP_MD_CTX_free(context); }
};
using DigestContext = std::unique_ptr<EVP_MD_CTX, DigestContextDeleter>;

// Feeds the whole file to `add`; false when a read fails part-way, so a
// truncated read is never reported as the checksum of the file.
template<typename AddChunk>
bool readInChunks(QFile &file, AddChunk add)
{
    char buffer[kChunkSize];
    for (;;) {
        const qint64 count = file.read(buffer, kChunkSize);
        if (count < 0)
            return false;
        if (count == 0)
            return true;
        add(buffer, count);
    }
}

QString qtChecksum(QFile &file, QCryptographicHash::Algorithm algorithm)
{
    QCryptographicHash hash(algorithm);
    if (!readInChunks(file, [&](const char *data, qint64 size) { hash.addData(data, int(size)); }))
        return QString();
    return QString::fromLatin1(hash.result().toHex());
}

QString hexDigest(EVP_MD_CTX *context)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_DigestFinal_ex(context, digest, &digestLength) != 1)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(digest), int(digestLength)).toHex());
}

// Large enough to make system calls rare, small enough that each block is
// still in the cache when the second digest reads it.
constexpr qint64 kBlockSize = 64 * 1024;

} // namespace

QString fileChecksum(const QString &path, QCryptographicHash::Algorithm algorithm)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QString();

    const EVP_MD *md = opensslDigest(algorithm);
    DigestContext context(md ? EVP_MD_CTX_new() : nullptr);
    if (!context || EVP_DigestInit_ex(context.get(), md, nullptr) != 1)
        return qtChecksum(file, algorithm);

    bool updated = true;
    const bool complete = readInChunks(file, [&](const char *data, qint64 size) {
        updated = updated && EVP_DigestUpdate(context.get(), data, size_t(size)) == 1;
    });
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (!complete || !updated || EVP_DigestFinal_ex(context.get(), digest, &digestLength) != 1)
        return QString();
    return QString::fromLatin1(
        QByteArray(reinterpret_cast<const char *>(digest), int(digestLength)).toHex());
}

FileChecksums fileChecksums(const QString &path, FileContentObserver *observer)
{
    QFile file(path);
    // Unbuffered: the block is read straight into our buffer, not copied.
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered))
        return FileChecksums();
    qint64 bytes = 0;
    const FileChecksums result = readChecksums(file, observer, &bytes);
    if (observer && !result.sha1.isEmpty())
        observer->finish();
    return result;
}

FileChecksums readChecksums(QIODevice &device, FileContentObserver *observer, qint64 *bytes)
{
    *bytes = 0;
    DigestContext sha1(EVP_MD_CTX_new());
    DigestContext sha256(EVP_MD_CTX_new());
    if (!sha1 || !sha256 || EVP_DigestInit_ex(sha1.get(), EVP_sha1(), nullptr) != 1
        || EVP_DigestInit_ex(sha256.get(), EVP_sha256(), nullptr) != 1)
        return FileChecksums();

    std::unique_ptr<char[]> buffer(new char[kBlockSize]);
    for (;;) {
        const qint64 count = device.read(buffer.get(), kBlockSize);
        if (count < 0)
            return FileChecksums();
        if (count == 0)
            break;
        if (EVP_DigestUpdate(sha1.get(), buffer.get(), size_t(count)) != 1
            || EVP_DigestUpdate(sha256.get(), buffer.get(), size_t(count)) != 1)
            return FileChecksums();
        *bytes += count;
        if (observer)
            observer->addBlock(buffer.get(), count);
    }
    FileChecksums result{hexDigest(sha1.get()), hexDigest(sha256.get())};
    if (result.sha1.isEmpty() || result.sha256.isEmpty())
        return FileChecksums();
    return result;
}

#include "blockhashes.h"

#include <openssl/evp.h>

namespace BlockHashes {

QByteArray header()
{
    return QByteArrayLiteral("UPDBLK01");
}

qint64 blockCount(qint64 chunkLength)
{
    return chunkLength <= 0 ? 0 : (chunkLength + kBlockSize - 1) / kBlockSize;
}

QByteArray hash(const char *data, qint64 size)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(data, size_t(size), digest, &length, EVP_sha256(), nullptr);
    return QByteArray(reinterpret_cast<const char *>(digest), kHashSize);
}

void appendChunk(const char *data, qint64 size, QByteArray *out)
{
    for (qint64 offset = 0; offset < size; offset += kBlockSize)
        out->append(hash(data + offset, qMin(kBlockSize, size - offset)));
}

} // namespace BlockHashes

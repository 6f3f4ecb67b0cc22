#include "chunker.h"

#include <QFile>
#include <QIODevice>

#include <openssl/evp.h>

namespace {

// The gear table: entry i is the first 8 bytes, read little endian, of the
// SHA-256 of the ASCII text "brevlane-chunk-gear-" followed by i in decimal
// (python3: int.from_bytes(hashlib.sha256(b"brevlane-chunk-gear-%d" % i)
// .digest()[:8], "little")). Fixed forever: published indexes depend on it.
constexpr quint64 kGear[256] = {
    0xd0c1127811ffc1f1ULL, 0x20294f17c6596071ULL, 0x1fb5764b5aec4b38ULL, 0x6b31548f37dfe125ULL,
    0x2ab5c5dd8b564f8aULL, 0x7e86142f70f089a6ULL, 0x37930c5c42db4e27ULL, 0x72ae7f1d18fa0facULL,
    0x8feb0f2d81e75c50ULL, 0xef6701a2698e6ec9ULL, 0xafcfac82984e4065ULL, 0xc7a55264a7d54816ULL,
    0x70d917d2afa0a3e8ULL, 0xc4f76a6897e121baULL, 0x9d6ef053643ef973ULL, 0xb3912b1cb72f3ffcULL,
    0xcd19d380d0405257ULL, 0xcc6809c69a9f679aULL, 0x37bf814bb9e92cecULL, 0x9cce49764a99c093ULL,
    0x26f9480722c02c6bULL, 0x479ca105b5afca3dULL, 0x15529431e9d69bd3ULL, 0x0e1b407463ef2846ULL,
    0xdd2457eaa6c6ee5eULL, 0x694237f0528e38d6ULL, 0xacefbe1e5e358701ULL, 0x75dd9d8de8ae599dULL,
    0xa816f5081bd20112ULL, 0x7c1904de9efaedc8ULL, 0x723c8b244fe55a01ULL, 0x8a51274d5d2b3056ULL,
    0x836aa7d8775fcbc4ULL, 0xa72efe02560fbbf1ULL, 0xe78ae09116ca61dfULL, 0x67653776aa6e0cd2ULL,
    0xbf78fba7cd927962ULL, 0xb4a78f5371272f45ULL, 0xb2a7cda9b4e4133dULL, 0x4f5ad1a662667e2aULL,
    0x058dbf3018223cbfULL, 0x9823814bfbae4108ULL, 0x149a764d952da5a2ULL, 0x1ad7219f0a9a40e5ULL,
    0x10f691bb08367b20ULL, 0x9beedc8a226988d6ULL, 0xb56ea369c2700fabULL, 0xd69da3ba0023d5abULL,
    0x6aa6852819990588ULL, 0xff10e0f3e9481367ULL, 0xb164a3475dd7e5caULL, 0x85a0f01dd15803b9ULL,
    0x38ac7d6ae83a9912ULL, 0x314eed25d3521b6cULL, 0xd147a2783664784bULL, 0x21d2ca73a2bb2953ULL,
    0x4b0634575a90a752ULL, 0x9a161702a616146eULL, 0x6717a6cfa799181fULL, 0xd001bdce5307f404ULL,
    0x3e4854c7255c6500ULL, 0x7ce9bca6646168f7ULL, 0xdd684801fe169525ULL, 0x2c0ae72170f30123ULL,
    0x7240ab0985c151dbULL, 0x281fa22bb6eb584dULL, 0x6f1c5850ec64feccULL, 0xa91c512da1fadf61ULL,
    0x392ea1f476a680bdULL, 0x311c10ac14ca7383ULL, 0x2e8d7c17548e4159ULL, 0x43612b77ac928e67ULL,
    0xc3439d8366bfec0bULL, 0xb6410161585f3f55ULL, 0x22f4beeda0171327ULL, 0xe32e49aabc329c86ULL,
    0xb9291742c11b0122ULL, 0xd279a728092b6712ULL, 0xb4d05eb840aec6e8ULL, 0xe176c47acd86aaf7ULL,
    0xa290712076e860a3ULL, 0x0832a210660179e8ULL, 0x1baa1e1dbb5c65faULL, 0x3aa4e678e4ac48eeULL,
    0x6e49284393f0a336ULL, 0xd57f10926aa0c413ULL, 0x1055360421479d62ULL, 0xc07f61b5296fb084ULL,
    0x3f8aeb392991dcd0ULL, 0xe253518d1b41347fULL, 0xae415880f31a8823ULL, 0x187b8e8a71d927d0ULL,
    0x8730e6e58095dd70ULL, 0x8bffdd632ef9abccULL, 0xc758241c14e68f04ULL, 0x10a88f63c66c97e3ULL,
    0xa9ef0355c8d67fb8ULL, 0x6a1668e2550c6d29ULL, 0x174d87d76ced1d2fULL, 0x72c0aff3b6cb89a8ULL,
    0x8b6ef178e28c0a75ULL, 0xf9333be52e453eabULL, 0x979afe164c643d23ULL, 0x7dca1ccedea6ccd6ULL,
    0x037f87c13fae8d8bULL, 0x039c6b14ed8eb40aULL, 0xc2f4f8dc73339168ULL, 0x03aa330563328400ULL,
    0xb318e002e9279a61ULL, 0xb5a2a75ab168a334ULL, 0x0d6539e58917d44bULL, 0xf96f8c1466ee8deeULL,
    0x2abaf64c7b01f79cULL, 0xd36e887434c3db82ULL, 0x327596609c8119fcULL, 0x84e2897a5bb388cdULL,
    0x3927b5a826e38732ULL, 0x4f9dbe6fa4c535bbULL, 0xef5da74d2b647c8cULL, 0xfa453a2bda8fadf6ULL,
    0x243c54831080edc0ULL, 0x87216629b568bc60ULL, 0xffca6a01ba838c75ULL, 0x300c0a93a13033acULL,
    0x21c56fe473ad9ae1ULL, 0xdae5b15e586c70c2ULL, 0x5c3cf1ac3a502fdcULL, 0xdf92e84820f1f2c1ULL,
    0x0eeb681d97838771ULL, 0xb7598df5dcb066c9ULL, 0x29c5dd256e866993ULL, 0xfa2bda769a0a90cfULL,
    0x746b3f25adaf110fULL, 0x6d8a79a3a187a7e5ULL, 0x71b242161fff1995ULL, 0xfd71526b049fd2c5ULL,
    0x6bf8c942f05612f0ULL, 0xb4f4d01fe7cddee0ULL, 0xb348baaef7aa940cULL, 0xd7817d161d669f35ULL,
    0x18a660080dc6d549ULL, 0x5a0da941b30fbcafULL, 0x37ee296df81ae03eULL, 0x28ae5a52eb56f6c3ULL,
    0x2e09514198cf337eULL, 0x64c4433922732e6dULL, 0x07bbe1c363a2c6b8ULL, 0x95cb21ab76278d03ULL,
    0x38b13e33854f7786ULL, 0x9b4d3ad8e5667191ULL, 0xf13279b706f55897ULL, 0x840f2f0c39d34614ULL,
    0x15ac501d30474912ULL, 0x2a15de77d680aaa2ULL, 0xd0d9cef848a85861ULL, 0x15775351910776e9ULL,
    0x24977636f8dbd351ULL, 0x1d4fb132d46b7683ULL, 0x7ccaaf1b71ee6d48ULL, 0xc49875c3eb875c56ULL,
    0x4b1ce6a34cb1101bULL, 0x4862f87fafb67df2ULL, 0x22481c9f8fe33700ULL, 0x2c9f90ac944903f3ULL,
    0x16a968fcc8db87e4ULL, 0xd91bb76b583a5df4ULL, 0x07483f52101bc125ULL, 0x7060c10b220b1f98ULL,
    0xd4f0a6e93df0b94dULL, 0xe70bb1ea76ce7aa8ULL, 0xf6bfab3cddddef7eULL, 0x3f012bad64028211ULL,
    0xdcea13ccf8b6608aULL, 0x2b1654f634760809ULL, 0xcfee4cca9673d947ULL, 0x6774545e280939a8ULL,
    0x19a166d61677aab5ULL, 0xac40900fb95b5b99ULL, 0x99e38489d9d539a1ULL, 0xfaf3fa6f76449870ULL,
    0x4f8e5870109fe7c8ULL, 0xbce4d55b69d6b947ULL, 0xee926af18d522c8dULL, 0xa79cf3fa22264b0fULL,
    0xf0f1bd1c2bc7b6e7ULL, 0xc1e7cf0d7daca63fULL, 0xcdddf21dd90e21b0ULL, 0xa839b5c15ec904eeULL,
    0x7ee63786bdaf1fe2ULL, 0xcdc19bbcc019a63bULL, 0x6bfb24fdea9c8a00ULL, 0xaca0cf2a94b83063ULL,
    0x38633670075a91f8ULL, 0xe573ef458f2c6ceeULL, 0xef3a5df055f20985ULL, 0x2e7a5c4f6b80d77cULL,
    0x053155127ef606aaULL, 0xb5976cb9e46a424bULL, 0xaad3ae5221456ff6ULL, 0xec460de6094f61e4ULL,
    0xaa6ab453afc5e648ULL, 0x5ac63909cc960b6bULL, 0x320a63808c0c6cfbULL, 0xb7b029dc4edd740eULL,
    0xd9a07adb838f005cULL, 0xd1639d2f6ca0c18dULL, 0x9a98a7d12d83df3dULL, 0x0870ad6c700bb8fcULL,
    0x869fa42af7fc4c4eULL, 0x5547176ccd4a56a2ULL, 0x369dcee9150d2c90ULL, 0xa0335e8223993b5eULL,
    0x458e59cc3db471c0ULL, 0x1528402d28baa5dfULL, 0xaa8fcafbad4c6188ULL, 0x70b36179b4f7c596ULL,
    0x31b0befa429fca5eULL, 0x72243bff1457f43dULL, 0xf97c64a2cceb5036ULL, 0x7ea620ebf76b38d4ULL,
    0x01e922c6b5100d57ULL, 0xd9f4bcb5d84a2a95ULL, 0xbc8d54e0a545afe8ULL, 0x49da1730939cce22ULL,
    0x7e225b353d0c1793ULL, 0x9adf04ee58e9a699ULL, 0xf1008831f3a53c90ULL, 0xb70a3dff48e8ca5aULL,
    0x75ce0ef0fcf0bfe7ULL, 0x5347cc0a52ee2f43ULL, 0x57ece48b75e4aa4aULL, 0xf40adfc5d3a75c16ULL,
    0xc9171bdebfc6c80fULL, 0xf88b54cc860d2288ULL, 0x2965aac4f73b33e4ULL, 0x3a157753cdc95d7cULL,
    0xbd1a1e690e0ac71dULL, 0xee7e9f9b6fddb9e8ULL, 0x65ce22a45935432cULL, 0x7a959904daf0bc24ULL,
    0xa79c3867de24b0e0ULL, 0x14c26abcc8c73d7fULL, 0x33080727973f74ecULL, 0x0a0545b2fe95941bULL,
    0x8c312df8cb483e11ULL, 0x421b602ed778d1e9ULL, 0x9715da76a8186116ULL, 0x282b3de4ac892459ULL,
    0x62b92fd68a1e7f86ULL, 0x1aa3f43c95edc336ULL, 0x5118943351686f12ULL, 0x9558a10a4d823a37ULL,
    0x332253aaf50a3404ULL, 0xf1843d778a107d98ULL, 0x0f3e605e03527696ULL, 0x9fbf1c91a92448cfULL,
};

// Bytes that decide a cut: the hash shifts one bit per byte, so its top bit
// depends on the last 64 bytes only.
constexpr qint64 kWindow = 64;
// Before the average size the top 16 bits must be zero (one cut in 64 KiB),
// after it the top 15 (twice as likely). On random content the chunks then
// average 64.5 KiB, and after an edit the boundaries meet the old ones again
// within two chunks (2,000 random edits of 8 MiB). Stricter and looser masks
// (18 and 14 bits) narrow the sizes more but average 74 KiB and take up to
// six chunks to meet again, which costs more bytes per edit.
constexpr quint64 kStrictMask = ~quint64(0) << (64 - 16);
constexpr quint64 kLooseMask = ~quint64(0) << (64 - 15);

// Reads are this large: few system calls, and the buffer stays small.
constexpr qint64 kReadSize = 1024 * 1024;

} // namespace

struct Chunker::DigestContext
{
    DigestContext()
        : context(EVP_MD_CTX_new())
    {
    }
    ~DigestContext() { EVP_MD_CTX_free(context); }
    EVP_MD_CTX *context;
};

Chunker::Chunker()
    : m_digest(std::make_unique<DigestContext>())
{
    if (!m_digest->context)
        m_error = QStringLiteral("cannot create a SHA-256 context");
}

Chunker::~Chunker() = default;

bool Chunker::fail(const QString &reason)
{
    m_error = reason;
    return false;
}

bool Chunker::startChunk()
{
    if (EVP_DigestInit_ex(m_digest->context, EVP_sha256(), nullptr) != 1)
        return fail(QStringLiteral("cannot start a SHA-256 digest"));
    m_digestReady = true;
    m_hash = 0;
    m_chunkLength = 0;
    return true;
}

void Chunker::reset()
{
    m_hash = 0;
    m_chunkStart = 0;
    m_chunkLength = 0;
    m_digestReady = false;
    if (m_digest->context)
        m_error.clear();
}

qint64 Chunker::scan(const unsigned char *data, qint64 size, bool *cut)
{
    // A byte at chunk position p ends a chunk of p + 1 bytes if the cut
    // falls after it. until(p) is the index in `data` of chunk position p,
    // kept within the buffer.
    const qint64 base = m_chunkLength;
    auto until = [&](qint64 position) { return qBound<qint64>(0, position - base, size); };
    quint64 hash = m_hash;
    *cut = false;

    qint64 i = until(kMinSize - kWindow); // bytes before the window are not looked at
    for (const qint64 end = until(kMinSize - 1); i < end; ++i)
        hash = (hash << 1) + kGear[data[i]];
    for (const qint64 end = until(kAverageSize - 1); i < end && !*cut; ++i) {
        hash = (hash << 1) + kGear[data[i]];
        *cut = (hash & kStrictMask) == 0;
    }
    for (const qint64 end = until(kMaxSize - 1); i < end && !*cut; ++i) {
        hash = (hash << 1) + kGear[data[i]];
        *cut = (hash & kLooseMask) == 0;
    }
    if (!*cut && i < size) {
        // Only reached at chunk position kMaxSize - 1: the forced cut.
        ++i;
        *cut = true;
    }
    m_hash = hash;
    m_chunkLength = base + i;
    return i;
}

bool Chunker::endChunk(QVector<Chunk> *chunks)
{
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestLength = 0;
    if (EVP_DigestFinal_ex(m_digest->context, digest, &digestLength) != 1 || digestLength != 32)
        return fail(QStringLiteral("SHA-256 of a chunk failed"));
    chunks->append(Chunk{m_chunkStart, m_chunkLength, QByteArray(reinterpret_cast<const char *>(digest), int(digestLength))});
    m_chunkStart += m_chunkLength;
    return true;
}

bool Chunker::addData(const char *data, qint64 size, QVector<Chunk> *chunks)
{
    if (!m_error.isEmpty())
        return false;
    if (!m_digestReady && !startChunk())
        return false;
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(data);
    while (size > 0) {
        bool cut = false;
        const qint64 taken = scan(bytes, size, &cut);
        if (EVP_DigestUpdate(m_digest->context, bytes, size_t(taken)) != 1)
            return fail(QStringLiteral("SHA-256 of a chunk failed"));
        bytes += taken;
        size -= taken;
        if (cut && !(endChunk(chunks) && startChunk()))
            return false;
    }
    return true;
}

bool Chunker::finish(QVector<Chunk> *chunks)
{
    if (!m_error.isEmpty())
        return false;
    if (m_chunkLength > 0 && !endChunk(chunks))
        return false;
    reset();
    return true;
}

bool Chunker::chunkDevice(QIODevice *device, QVector<Chunk> *chunks, QString *error)
{
    Chunker chunker;
    QByteArray buffer(int(kReadSize), Qt::Uninitialized);
    for (;;) {
        const qint64 count = device->read(buffer.data(), kReadSize);
        if (count < 0) {
            *error = QStringLiteral("read failed: %1").arg(device->errorString());
            return false;
        }
        if (count == 0)
            break;
        if (!chunker.addData(buffer.constData(), count, chunks)) {
            *error = chunker.errorString();
            return false;
        }
    }
    if (!chunker.finish(chunks)) {
        *error = chunker.errorString();
        return false;
    }
    return true;
}

bool Chunker::chunkFile(const QString &path, QVector<Chunk> *chunks, QString *error)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot open '%1': %2").arg(path, file.errorString());
        return false;
    }
    if (!chunkDevice(&file, chunks, error)) {
        *error = QStringLiteral("'%1': %2").arg(path, *error);
        return false;
    }
    return true;
}

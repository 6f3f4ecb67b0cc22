#include "streamdigests.h"

#include <openssl/evp.h>

namespace {

// Below this a file is hashed as it is written: no thread for small files.
const qint64 kInlineBytes = 1024 * 1024;
// At most this much waits for the worker; the writer waits beyond it.
const qint64 kMaxPendingBytes = 8 * 1024 * 1024;

} // namespace

void StreamDigests::ContextDeleter::operator()(evp_md_ctx_st *context) const
{
    EVP_MD_CTX_free(context);
}

StreamDigests::StreamDigests()
    : m_sha1(EVP_MD_CTX_new())
    , m_sha256(EVP_MD_CTX_new())
{
    reset(false);
}

StreamDigests::~StreamDigests()
{
    if (m_worker.joinable()) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_stop = true;
        }
        m_changed.notify_all();
        m_worker.join();
    }
}

void StreamDigests::reset(bool sha256)
{
    drain();
    m_sha256Enabled = sha256;
    m_total = 0;
    EVP_DigestInit_ex(m_sha1.get(), EVP_sha1(), nullptr);
    EVP_DigestInit_ex(m_sha256.get(), EVP_sha256(), nullptr);
}

void StreamDigests::hash(const char *data, size_t length)
{
    EVP_DigestUpdate(m_sha1.get(), data, length);
    if (m_sha256Enabled)
        EVP_DigestUpdate(m_sha256.get(), data, length);
}

void StreamDigests::update(const char *data, qint64 length)
{
    if (length <= 0)
        return;
    m_total += length;
    if (m_total <= kInlineBytes && !m_worker.joinable()) {
        hash(data, size_t(length));
        return;
    }
    if (!m_worker.joinable())
        m_worker = std::thread(&StreamDigests::work, this);
    QByteArray piece(data, int(length));
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_pendingBytes < kMaxPendingBytes; });
    m_pendingBytes += length;
    m_pending.push_back(std::move(piece));
    lock.unlock();
    m_changed.notify_all();
}

void StreamDigests::work()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stop || !m_pending.empty(); });
        if (m_pending.empty())
            return; // stopped, and nothing is left to hash
        const QByteArray piece = std::move(m_pending.front());
        m_pending.pop_front();
        m_busy = true;
        lock.unlock();
        // The contexts are the worker's while a piece is outstanding; the
        // owner touches them only after drain().
        hash(piece.constData(), size_t(piece.size()));
        lock.lock();
        m_busy = false;
        m_pendingBytes -= piece.size();
        m_changed.notify_all();
    }
}

void StreamDigests::drain()
{
    if (!m_worker.joinable())
        return;
    std::unique_lock<std::mutex> lock(m_mutex);
    m_changed.wait(lock, [this] { return m_pending.empty() && !m_busy; });
}

QString StreamDigests::hex(const Context &context)
{
    drain();
    // Finished on a copy: the running digest stays usable.
    Context copy(EVP_MD_CTX_new());
    unsigned char value[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (!copy || EVP_MD_CTX_copy_ex(copy.get(), context.get()) != 1
        || EVP_DigestFinal_ex(copy.get(), value, &length) != 1)
        return QString();
    return QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(value), int(length)).toHex());
}

QString StreamDigests::sha1Hex()
{
    return hex(m_sha1);
}

QString StreamDigests::sha256Hex()
{
    return m_sha256Enabled ? hex(m_sha256) : QString();
}

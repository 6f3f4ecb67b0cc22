#ifndef STREAMDIGESTS_H
#define STREAMDIGESTS_H

#include <QByteArray>
#include <QString>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

struct evp_md_ctx_st;

// SHA-1, and SHA-256 when asked, of a stream of bytes given in order.
//
// A large file would otherwise be received, written and hashed on one
// core: past the first MiB the hashing moves to a thread of its own and
// runs while the next piece arrives. What waits for it is a copy, bounded
// in bytes; a writer that gets ahead waits. Every digest read waits until
// all bytes given so far are in.
class StreamDigests
{
public:
    StreamDigests();
    ~StreamDigests();
    StreamDigests(const StreamDigests &) = delete;
    StreamDigests &operator=(const StreamDigests &) = delete;

    // Starts over with no bytes; `sha256` says whether SHA-256 is kept too.
    void reset(bool sha256);
    void update(const char *data, qint64 length);

    // Lower-case hex; SHA-256 is empty unless it is kept.
    QString sha1Hex();
    QString sha256Hex();

private:
    struct ContextDeleter
    {
        void operator()(evp_md_ctx_st *context) const;
    };
    using Context = std::unique_ptr<evp_md_ctx_st, ContextDeleter>;

    void hash(const char *data, size_t length);
    void drain();
    void work();
    QString hex(const Context &context);

    Context m_sha1;
    Context m_sha256;
    bool m_sha256Enabled = false;
    qint64 m_total = 0;

    // Shared with the worker, under m_mutex.
    std::mutex m_mutex;
    std::condition_variable m_changed;
    std::deque<QByteArray> m_pending;
    qint64 m_pendingBytes = 0;
    bool m_busy = false; // the worker holds a piece outside the queue
    bool m_stop = false;
    std::thread m_worker;
};

#endif // STREAMDIGESTS_H

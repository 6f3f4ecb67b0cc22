#include "guardedserver.h"

#include "deadlinestream.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <vector>

namespace {

struct Current
{
    int socket = -1;
    bool closeAfter = false;
};
thread_local Current t_current;

// What a client still sends after a refused request is read and dropped for
// a short while, so that closing does not reset the connection under the
// response before the client has read it. Bounded, never the whole body.
const size_t lingerBytes = 256 * 1024;
const int lingerMilliseconds = 1000;

void closeSocket(int socket)
{
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}

void lingeringClose(int socket)
{
    ::shutdown(socket, SHUT_WR);
    std::vector<char> sink(16 * 1024);
    size_t dropped = 0;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(lingerMilliseconds);
    while (dropped < lingerBytes) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd entry{socket, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            break;
        const ssize_t got = ::recv(socket, sink.data(), sink.size(), MSG_DONTWAIT);
        if (got <= 0)
            break;
        dropped += static_cast<size_t>(got);
    }
    ::close(socket);
}

std::chrono::milliseconds milliseconds(time_t seconds, time_t microseconds)
{
    return std::chrono::milliseconds(seconds * 1000 + microseconds / 1000);
}

} // namespace

// The library's worker pool, wired to the gate for as long as the server
// listens: the gate hands ready connections to it, and its shutdown first
// closes what waits in the gate.
class GuardedServer::WorkerPool : public httplib::TaskQueue
{
public:
    WorkerPool(GuardedServer &server, std::size_t workers)
        : m_server(server)
        , m_pool(workers)
    {
        m_server.m_gate.setDispatch([this](int socket, std::string received) {
            m_pool.enqueue([this, socket, received = std::move(received)] { m_server.serve(socket, received); });
            return true;
        });
    }
    void enqueue(std::function<void()> job) override { m_pool.enqueue(std::move(job)); }
    void shutdown() override
    {
        m_server.m_gate.setDispatch(nullptr);
        m_pool.shutdown();
    }

private:
    GuardedServer &m_server;
    httplib::ThreadPool m_pool;
};

GuardedServer::GuardedServer(const Limits &limits)
    : m_limits(limits)
    , m_gate(limits.idle, limits.head)
{
    new_task_queue = [this] { return new WorkerPool(*this, m_limits.workers); };
}

GuardedServer::~GuardedServer() = default;

bool GuardedServer::listenAfterBind()
{
    const int socket = svr_sock_;
    if (socket != INVALID_SOCKET)
        ::listen(socket, SOMAXCONN); // a second listen() only changes the queue's size
    return listen_after_bind();
}

int GuardedServer::currentSocket()
{
    return t_current.socket;
}

void GuardedServer::closeAfterResponse()
{
    t_current.closeAfter = true;
}

// Runs on a worker for each accepted connection: it only goes to the gate.
bool GuardedServer::process_and_close_socket(socket_t socket)
{
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    m_gate.park(socket);
    return true;
}

void GuardedServer::serve(int socket, const std::string &received)
{
    DeadlineStream stream(socket, milliseconds(read_timeout_sec_, read_timeout_usec_),
                          milliseconds(write_timeout_sec_, write_timeout_usec_));
    stream.prime(received);
    t_current = Current{socket, false};
    bool keep = true;
    for (;;) {
        stream.setReadDeadline(DeadlineStream::Clock::now() + m_limits.request);
        // The library's own loop ends when its listening socket is gone.
        const bool stopping = svr_sock_ == INVALID_SOCKET;
        bool clientClosed = false;
        const bool served = process_request(stream, stopping, clientClosed, nullptr);
        if (!served || clientClosed || stopping || t_current.closeAfter) {
            keep = false;
            break;
        }
        if (stream.hasBufferedData())
            continue; // a pipelined request
        // A client in an update run asks for the next file at once: wait a
        // little for it here rather than pass through the gate. Its body may
        // lag behind the head (see the gate): reading the head here lets it
        // come at once.
        pollfd entry{socket, POLLIN, 0};
        if (::poll(&entry, 1, static_cast<int>(m_limits.linger.count())) <= 0)
            break;
        const ConnectionGate::Peek peek = ConnectionGate::inspect(socket).peek;
        if (peek == ConnectionGate::Peek::Ready || peek == ConnectionGate::Peek::Head)
            continue;
        keep = peek == ConnectionGate::Peek::Waiting;
        break;
    }
    const bool refused = t_current.closeAfter;
    t_current = Current{};
    if (keep)
        m_gate.park(socket);
    else if (refused)
        lingeringClose(socket);
    else
        closeSocket(socket);
}

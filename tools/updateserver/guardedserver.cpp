#include "guardedserver.h"

#include "deadlinestream.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <vector>

namespace {

struct Current
{
    int socket = -1;
    std::string range;
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
        m_server.m_gate.setDispatch([this](int socket, ConnectionGate::Arrival arrival) {
            m_pool.enqueue([this, socket, arrival = std::move(arrival)]() mutable { m_server.serve(socket, std::move(arrival)); });
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
    , m_gate(limits.idle, limits.request)
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

void GuardedServer::setRefusalLog(ConnectionGate::RefusalLog log)
{
    m_gate.setRefusalLog(std::move(log));
}

int GuardedServer::currentSocket()
{
    return t_current.socket;
}

const std::string &GuardedServer::currentRange()
{
    return t_current.range;
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

void GuardedServer::serve(int socket, ConnectionGate::Arrival arrival)
{
    DeadlineStream stream(socket, milliseconds(write_timeout_sec_, write_timeout_usec_));
    std::string pending = std::move(arrival.rest);
    bool keep = true;
    for (;;) {
        stream.setRequest(std::move(arrival.request));
        t_current = Current{socket, std::move(arrival.range), false};
        // The library's own loop ends when its listening socket is gone.
        const bool stopping = svr_sock_ == INVALID_SOCKET;
        bool clientClosed = false;
        const bool served = process_request(stream, stopping, clientClosed, nullptr);
        if (!served || clientClosed || stopping || t_current.closeAfter) {
            keep = false;
            break;
        }
        // A client in an update run asks for the next file at once: wait a
        // little for it here rather than pass through the gate.
        if (!nextRequest(socket, pending, arrival, keep))
            break;
    }
    const bool refused = t_current.closeAfter;
    t_current = Current{};
    if (keep)
        m_gate.park(socket, std::move(pending));
    else if (refused)
        lingeringClose(socket);
    else
        closeSocket(socket);
}

bool GuardedServer::nextRequest(int socket, std::string &pending, ConnectionGate::Arrival &arrival, bool &keep) const
{
    const auto end = std::chrono::steady_clock::now() + m_limits.linger;
    for (;;) {
        if (!pending.empty()) {
            const RequestFraming framing(pending);
            if (framing.verdict() == RequestFraming::Verdict::Complete) {
                arrival = ConnectionGate::Arrival{framing.rewritten(), framing.range(), pending.substr(framing.length())};
                pending = std::move(arrival.rest);
                return true;
            }
            // Refused requests are answered by the gate; a request whose
            // body trickles in waits there too, not here.
            if (framing.verdict() == RequestFraming::Verdict::Refused || framing.expectsContinue())
                return false;
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        pollfd entry{socket, POLLIN, 0};
        if (left.count() <= 0 || ::poll(&entry, 1, static_cast<int>(left.count())) <= 0)
            return false;
        // An incomplete request is never longer than the limit.
        const size_t size = pending.size();
        const size_t room = std::min<size_t>(64 * 1024, RequestFraming::kRequestLimit + 1 - size);
        pending.resize(size + room);
        const ssize_t got = ::recv(socket, &pending[size], room, MSG_DONTWAIT);
        pending.resize(size + static_cast<size_t>(std::max<ssize_t>(got, 0)));
        if (got == 0 || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            keep = false;
            return false;
        }
        if (got > 0) {
            // The body of a POST may lag behind its head (see the gate).
            const int on = 1;
            setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        }
    }
}

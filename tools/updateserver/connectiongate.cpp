#include "connectiongate.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdint>
#include <string_view>
#include <vector>

namespace {

// A request head that does not end within this many bytes is handed on as
// it is: the library refuses overlong lines itself.
const size_t peekSize = 64 * 1024;
// A body up to this size must have arrived too (an update request is a few
// hundred bytes); a larger one is read by the worker, under its deadline.
const std::uint64_t smallBody = 16 * 1024;
// The gate keeps a head that has arrived ahead of its body up to this size.
const size_t headKept = 8 * 1024;
const int sweepMilliseconds = 100;

// Content-Length of a request head, 0 when absent or unreadable.
std::uint64_t contentLength(std::string_view head)
{
    static const std::string_view name = "\ncontent-length:";
    const auto matches = [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == static_cast<unsigned char>(b);
    };
    const auto found = std::search(head.begin(), head.end(), name.begin(), name.end(), matches);
    if (found == head.end())
        return 0;
    std::uint64_t value = 0;
    for (auto at = found + static_cast<std::ptrdiff_t>(name.size()); at != head.end(); ++at) {
        if (*at == ' ' || *at == '\t')
            continue;
        if (!std::isdigit(static_cast<unsigned char>(*at)) || value > UINT64_MAX / 10 - 9)
            break;
        value = value * 10 + static_cast<std::uint64_t>(*at - '0');
    }
    return value;
}

void closeSocket(int socket)
{
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}

} // namespace

ConnectionGate::ConnectionGate(std::chrono::milliseconds idle, std::chrono::milliseconds head)
    : m_idle(idle)
    , m_head(head)
    , m_epoll(epoll_create1(EPOLL_CLOEXEC))
    , m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK))
{
    epoll_event wake{};
    wake.events = EPOLLIN;
    wake.data.fd = m_wake;
    epoll_ctl(m_epoll, EPOLL_CTL_ADD, m_wake, &wake);
    m_thread = std::thread([this] { run(); });
}

ConnectionGate::~ConnectionGate()
{
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_stopping = true;
    }
    const std::uint64_t one = 1;
    if (::write(m_wake, &one, sizeof one) < 0) {
        // The thread still ends at its next sweep.
    }
    m_thread.join();
    for (const auto &entry : m_parked)
        closeSocket(entry.first);
    ::close(m_wake);
    ::close(m_epoll);
}

void ConnectionGate::setDispatch(Dispatch dispatch)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_dispatch = std::move(dispatch);
    if (!m_dispatch) {
        while (!m_parked.empty())
            release(m_parked.begin()->first, false);
    }
}

void ConnectionGate::park(int socket)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_dispatch || m_stopping) {
        closeSocket(socket);
        return;
    }
    Parked &parked = m_parked[socket];
    parked = Parked();
    parked.since = Clock::now();
    // Edge-triggered: a request that is there but incomplete wakes the gate
    // only when more of it arrives. Adding a socket that already has data
    // reports it at once.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    event.data.fd = socket;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, socket, &event) != 0) {
        m_parked.erase(socket);
        closeSocket(socket);
    }
}

ConnectionGate::Inspection ConnectionGate::inspect(int socket)
{
    thread_local std::vector<char> buffer(peekSize);
    Inspection result;
    const ssize_t got = ::recv(socket, buffer.data(), buffer.size(), MSG_PEEK | MSG_DONTWAIT);
    if (got == 0)
        result.peek = Peek::Closed;
    if (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
        result.peek = Peek::Closed;
    if (got <= 0)
        return result;

    const std::string_view text(buffer.data(), static_cast<size_t>(got));
    const bool full = text.size() == buffer.size();
    size_t headEnd = text.find("\r\n\r\n");
    headEnd = headEnd == std::string_view::npos ? headEnd : headEnd + 4;
    const size_t bare = text.find("\n\n");
    if (bare != std::string_view::npos && (headEnd == std::string_view::npos || bare + 2 < headEnd))
        headEnd = bare + 2;
    if (headEnd == std::string_view::npos) {
        result.peek = full ? Peek::Ready : Peek::Waiting;
        return result;
    }
    const std::uint64_t length = contentLength(text.substr(0, headEnd));
    if (length <= smallBody && headEnd + length > text.size() && !full) {
        result.peek = Peek::Head;
        result.headSize = headEnd;
        result.bodySize = length;
    } else {
        result.peek = Peek::Ready;
    }
    return result;
}

void ConnectionGate::examine(int socket, Parked &parked, bool hangUp)
{
    if (!parked.head.empty()) {
        // Only the body is missing: is all of it there now?
        thread_local std::vector<char> body(smallBody);
        const ssize_t got = ::recv(socket, body.data(), body.size(), MSG_PEEK | MSG_DONTWAIT);
        if (got > 0 && static_cast<std::uint64_t>(got) >= parked.bodySize)
            release(socket, true);
        else if (got == 0 || hangUp || (got < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR))
            release(socket, false);
        return;
    }
    const Inspection inspection = inspect(socket);
    if (inspection.peek == Peek::Ready) {
        release(socket, true);
    } else if (inspection.peek == Peek::Closed || hangUp) {
        release(socket, false); // a client that stops sending before its request is whole
    } else if (inspection.peek == Peek::Head && inspection.headSize <= headKept) {
        // A client that sends the body of a POST apart from its head, without
        // TCP_NODELAY (Qt does), holds the body back until the head is
        // acknowledged, and Linux delays that acknowledgement by 40 ms on a
        // connection that has already seen a reply, and sends it early only
        // once the head has been read: read it, and acknowledge now.
        parked.head.resize(inspection.headSize);
        const ssize_t got = ::recv(socket, parked.head.data(), parked.head.size(), MSG_DONTWAIT);
        if (got != static_cast<ssize_t>(inspection.headSize)) {
            release(socket, false);
            return;
        }
        parked.heard = true;
        parked.bodySize = inspection.bodySize;
        const int on = 1;
        setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
        examine(socket, parked, false); // the body may have come meanwhile
    } else if (inspection.peek == Peek::Head) {
        release(socket, true); // an unusually large head: the worker reads it under its deadline
    } else {
        parked.heard = true;
    }
}

void ConnectionGate::release(int socket, bool ready)
{
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, socket, nullptr);
    const auto parked = m_parked.find(socket);
    std::string received;
    if (parked != m_parked.end()) {
        received = std::move(parked->second.head);
        m_parked.erase(parked);
    }
    if (!ready || !m_dispatch || !m_dispatch(socket, std::move(received)))
        closeSocket(socket);
}

void ConnectionGate::run()
{
    std::vector<epoll_event> events(256);
    Clock::time_point nextSweep = Clock::now();
    for (;;) {
        const int count = epoll_wait(m_epoll, events.data(), static_cast<int>(events.size()), sweepMilliseconds);
        const std::lock_guard<std::mutex> lock(m_mutex);
        if (m_stopping)
            return;
        for (int i = 0; i < count; ++i) {
            const int socket = events[static_cast<size_t>(i)].data.fd;
            const auto parked = m_parked.find(socket);
            if (parked == m_parked.end())
                continue; // the wake-up, or a socket released meanwhile
            examine(socket, parked->second, events[static_cast<size_t>(i)].events & (EPOLLRDHUP | EPOLLHUP | EPOLLERR));
        }

        const Clock::time_point now = Clock::now();
        if (now < nextSweep)
            continue;
        nextSweep = now + std::chrono::milliseconds(sweepMilliseconds);
        std::vector<int> overdue;
        for (const auto &entry : m_parked) {
            const auto waited = now - entry.second.since;
            if (waited > m_head || (!entry.second.heard && waited > m_idle))
                overdue.push_back(entry.first);
        }
        for (int socket : overdue)
            release(socket, false);
    }
}

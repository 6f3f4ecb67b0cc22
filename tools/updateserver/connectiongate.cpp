#include "connectiongate.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <vector>

namespace {

const int sweepMilliseconds = 100;
// What a client still sends after a refused request is read and dropped for
// a short while, so that closing does not reset the connection under the
// answer before the client has read it. Bounded, never the whole body.
const std::size_t drainBytes = 256 * 1024;
const std::chrono::milliseconds drainTime(1000);
const std::size_t readBlock = 16 * 1024;

void closeSocket(int socket)
{
    ::shutdown(socket, SHUT_RDWR);
    ::close(socket);
}

// A client that sends the body of a POST apart from its head, without
// TCP_NODELAY (Qt does), holds the body back until the head is
// acknowledged, and Linux delays that acknowledgement by 40 ms on a
// connection that has already seen a reply: acknowledge what was read now.
void acknowledgeNow(int socket)
{
    const int on = 1;
    setsockopt(socket, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
}

} // namespace

ConnectionGate::ConnectionGate(std::chrono::milliseconds idle, std::chrono::milliseconds request)
    : m_idle(idle)
    , m_request(request)
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
            release(m_parked.begin()->first, nullptr);
    }
}

void ConnectionGate::setRefusalLog(RefusalLog log)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    m_refusalLog = std::move(log);
}

void ConnectionGate::park(int socket, std::string received)
{
    const std::lock_guard<std::mutex> lock(m_mutex);
    if (!m_dispatch || m_stopping) {
        closeSocket(socket);
        return;
    }
    Parked &parked = m_parked[socket];
    parked = Parked();
    parked.since = Clock::now();
    parked.heard = !received.empty();
    parked.received = std::move(received);
    // Edge-triggered: a request that is there but incomplete wakes the gate
    // only when more of it arrives. Adding a socket that already has data
    // reports it at once.
    epoll_event event{};
    event.events = EPOLLIN | EPOLLRDHUP | EPOLLET;
    event.data.fd = socket;
    if (epoll_ctl(m_epoll, EPOLL_CTL_ADD, socket, &event) != 0) {
        m_parked.erase(socket);
        closeSocket(socket);
        return;
    }
    // What a worker read already may be a whole request, or a refused one,
    // with nothing more to come that would wake the gate.
    if (parked.heard)
        judge(socket, parked, false);
}

void ConnectionGate::examine(int socket, Parked &parked, bool hangUp)
{
    if (parked.closing) {
        drain(socket, parked);
        return;
    }
    // Everything that arrived, up to the longest request that can still be
    // whole: framing decides on any longer one, so reading stops there.
    bool ended = hangUp;
    bool read = false;
    for (;;) {
        const std::size_t size = parked.received.size();
        if (size > RequestFraming::kRequestLimit)
            break;
        const std::size_t room = std::min(readBlock, RequestFraming::kRequestLimit + 1 - size);
        parked.received.resize(size + room);
        const ssize_t got = ::recv(socket, &parked.received[size], room, MSG_DONTWAIT);
        parked.received.resize(size + static_cast<std::size_t>(std::max<ssize_t>(got, 0)));
        if (got > 0) {
            read = true;
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || (errno != EAGAIN && errno != EWOULDBLOCK))
            ended = true;
        break;
    }
    if (read) {
        parked.heard = true;
        acknowledgeNow(socket);
    }
    judge(socket, parked, ended);
}

void ConnectionGate::judge(int socket, Parked &parked, bool ended)
{
    if (parked.received.empty()) {
        if (ended)
            release(socket, nullptr);
        return;
    }
    const RequestFraming framing(parked.received);
    switch (framing.verdict()) {
    case RequestFraming::Verdict::Complete: {
        Arrival arrival{framing.rewritten(), framing.range(), parked.received.substr(framing.length())};
        release(socket, &arrival);
        return;
    }
    case RequestFraming::Verdict::Refused:
        refuse(socket, parked, framing);
        return;
    case RequestFraming::Verdict::Incomplete:
        break;
    }
    if (ended) {
        release(socket, nullptr); // a client that stops sending before its request is whole
        return;
    }
    if (framing.expectsContinue() && !parked.continued) {
        static const char answer[] = "HTTP/1.1 100 Continue\r\n\r\n";
        parked.continued = true;
        if (::send(socket, answer, sizeof answer - 1, MSG_DONTWAIT | MSG_NOSIGNAL) != sizeof answer - 1)
            release(socket, nullptr);
    }
}

void ConnectionGate::refuse(int socket, Parked &parked, const RequestFraming &framing)
{
    if (m_refusalLog)
        m_refusalLog(socket, framing);
    // A few hundred bytes: they fit in any send buffer, or the client is gone.
    const std::string answer = framing.refusal();
    if (::send(socket, answer.data(), answer.size(), MSG_DONTWAIT | MSG_NOSIGNAL) != static_cast<ssize_t>(answer.size())) {
        release(socket, nullptr);
        return;
    }
    ::shutdown(socket, SHUT_WR);
    parked.closing = true;
    parked.since = Clock::now();
    parked.received = std::string();
    drain(socket, parked);
}

void ConnectionGate::drain(int socket, Parked &parked)
{
    char sink[16 * 1024];
    for (;;) {
        const ssize_t got = ::recv(socket, sink, sizeof sink, MSG_DONTWAIT);
        if (got > 0) {
            parked.drained += static_cast<std::size_t>(got);
            if (parked.drained < drainBytes)
                continue;
        } else if (got < 0 && errno == EINTR) {
            continue;
        } else if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        }
        release(socket, nullptr);
        return;
    }
}

void ConnectionGate::release(int socket, Arrival *arrival)
{
    epoll_ctl(m_epoll, EPOLL_CTL_DEL, socket, nullptr);
    m_parked.erase(socket);
    if (!arrival || !m_dispatch || !m_dispatch(socket, std::move(*arrival)))
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
            if (entry.second.closing ? waited > drainTime : waited > m_request || (!entry.second.heard && waited > m_idle))
                overdue.push_back(entry.first);
        }
        for (int socket : overdue)
            release(socket, nullptr);
    }
}

#include "deadlinestream.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

const size_t bufferSize = 16 * 1024;

void addressOf(const sockaddr_storage &address, socklen_t size, std::string &ip, int &port)
{
    char host[NI_MAXHOST], service[NI_MAXSERV];
    if (getnameinfo(reinterpret_cast<const sockaddr *>(&address), size, host, sizeof host, service, sizeof service,
                    NI_NUMERICHOST | NI_NUMERICSERV)
        == 0) {
        ip = host;
        port = std::atoi(service);
    }
}

} // namespace

DeadlineStream::DeadlineStream(int socket, std::chrono::milliseconds readTimeout, std::chrono::milliseconds writeTimeout)
    : m_socket(socket)
    , m_readTimeout(readTimeout)
    , m_writeTimeout(writeTimeout)
    , m_buffer(bufferSize)
{
}

void DeadlineStream::prime(const std::string &received)
{
    if (received.size() > m_buffer.size())
        m_buffer.resize(received.size());
    std::memcpy(m_buffer.data(), received.data(), received.size());
    m_begin = 0;
    m_end = received.size();
}

bool DeadlineStream::waitFor(short events, std::chrono::milliseconds timeout, bool reading) const
{
    const Clock::time_point end = std::min(Clock::now() + timeout, reading ? m_deadline : Clock::time_point::max());
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd entry{m_socket, events, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (ready > 0)
            return true; // errors and hang-ups show in the read or write that follows
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

bool DeadlineStream::is_readable() const
{
    return hasBufferedData() || waitFor(POLLIN, m_readTimeout, true);
}

bool DeadlineStream::is_writable() const
{
    return waitFor(POLLOUT, m_writeTimeout, false);
}

ssize_t DeadlineStream::read(char *data, size_t size)
{
    if (!hasBufferedData()) {
        for (;;) {
            // Large reads (bodies) go straight to the caller.
            char *into = size >= m_buffer.size() ? data : m_buffer.data();
            const size_t room = size >= m_buffer.size() ? size : m_buffer.size();
            const ssize_t got = ::recv(m_socket, into, room, MSG_DONTWAIT);
            if (got >= 0) {
                if (into == data || got == 0)
                    return got;
                m_begin = 0;
                m_end = static_cast<size_t>(got);
                break;
            }
            if (errno == EINTR)
                continue;
            if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(POLLIN, m_readTimeout, true))
                return -1;
        }
    }
    const size_t count = std::min(size, m_end - m_begin);
    std::memcpy(data, m_buffer.data() + m_begin, count);
    m_begin += count;
    return static_cast<ssize_t>(count);
}

ssize_t DeadlineStream::write(const char *data, size_t size)
{
    for (;;) {
        const ssize_t sent = ::send(m_socket, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (sent >= 0)
            return sent;
        if (errno == EINTR)
            continue;
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitFor(POLLOUT, m_writeTimeout, false))
            return -1;
    }
}

void DeadlineStream::get_remote_ip_and_port(std::string &ip, int &port) const
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getpeername(m_socket, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        addressOf(address, size, ip, port);
}

void DeadlineStream::get_local_ip_and_port(std::string &ip, int &port) const
{
    sockaddr_storage address{};
    socklen_t size = sizeof address;
    if (getsockname(m_socket, reinterpret_cast<sockaddr *>(&address), &size) == 0)
        addressOf(address, size, ip, port);
}

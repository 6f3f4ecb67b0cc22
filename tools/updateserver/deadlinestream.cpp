#include "deadlinestream.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

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

DeadlineStream::DeadlineStream(int socket, std::chrono::milliseconds writeTimeout)
    : m_socket(socket)
    , m_writeTimeout(writeTimeout)
{
}

void DeadlineStream::setRequest(std::string request)
{
    m_request = std::move(request);
    m_read = 0;
}

bool DeadlineStream::waitWritable() const
{
    const Clock::time_point end = Clock::now() + m_writeTimeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            return false;
        pollfd entry{m_socket, POLLOUT, 0};
        const int ready = ::poll(&entry, 1, static_cast<int>(std::min<long long>(left, 60000)));
        if (ready > 0)
            return true; // errors and hang-ups show in the write that follows
        if (ready < 0 && errno != EINTR)
            return false;
    }
}

bool DeadlineStream::is_readable() const
{
    return m_read < m_request.size();
}

bool DeadlineStream::is_writable() const
{
    return waitWritable();
}

ssize_t DeadlineStream::read(char *data, size_t size)
{
    const size_t count = std::min(size, m_request.size() - m_read);
    if (count == 0 && size > 0)
        return -1;
    std::memcpy(data, m_request.data() + m_read, count);
    m_read += count;
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
        if ((errno != EAGAIN && errno != EWOULDBLOCK) || !waitWritable())
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

#ifndef DEADLINESTREAM_H
#define DEADLINESTREAM_H

#include <httplib.h>

#include <chrono>
#include <string>
#include <vector>

// One connection's socket as the HTTP library reads and writes it. Each wait
// is bounded by the read or write timeout, and every read also by a deadline
// for the whole request, so that a client sending a byte now and then cannot
// hold its worker for longer than that. The stream does not own the socket.
class DeadlineStream : public httplib::Stream
{
public:
    using Clock = std::chrono::steady_clock;

    DeadlineStream(int socket, std::chrono::milliseconds readTimeout, std::chrono::milliseconds writeTimeout);

    // Bytes of the connection already read by someone else, read first.
    void prime(const std::string &received);
    void setReadDeadline(Clock::time_point deadline) { m_deadline = deadline; }
    // Bytes already taken from the socket and not yet read: a pipelined
    // request that must be served before the socket can be waited on again.
    bool hasBufferedData() const { return m_begin < m_end; }

    bool is_readable() const override;
    bool is_writable() const override;
    ssize_t read(char *data, size_t size) override;
    ssize_t write(const char *data, size_t size) override;
    void get_remote_ip_and_port(std::string &ip, int &port) const override;
    void get_local_ip_and_port(std::string &ip, int &port) const override;
    socket_t socket() const override { return m_socket; }

private:
    // Waits for the events up to the timeout (and, when reading, the
    // deadline); false when the time ran out or the socket failed.
    bool waitFor(short events, std::chrono::milliseconds timeout, bool reading) const;

    int m_socket;
    std::chrono::milliseconds m_readTimeout, m_writeTimeout;
    Clock::time_point m_deadline = Clock::time_point::max();
    // The library reads a request head byte by byte: serve those from here.
    std::vector<char> m_buffer;
    size_t m_begin = 0, m_end = 0;
};

#endif // DEADLINESTREAM_H

#ifndef DEADLINESTREAM_H
#define DEADLINESTREAM_H

#include <httplib.h>

#include <chrono>
#include <string>

// One connection as the HTTP library sees it while it serves one request:
// reads come from the request the gate (or the worker) has already received
// whole, never from the socket, so the library never waits for a client;
// writes go to the socket, each wait bounded by the write timeout. The
// stream does not own the socket.
class DeadlineStream : public httplib::Stream
{
public:
    using Clock = std::chrono::steady_clock;

    DeadlineStream(int socket, std::chrono::milliseconds writeTimeout);

    // The next request, whole; what the library left unread of the previous
    // one (a body it had no use for) is dropped.
    void setRequest(std::string request);

    bool is_readable() const override;
    bool is_writable() const override;
    // Past the end of the request: an error, since framing and the library
    // disagree on where it ends.
    ssize_t read(char *data, size_t size) override;
    ssize_t write(const char *data, size_t size) override;
    void get_remote_ip_and_port(std::string &ip, int &port) const override;
    void get_local_ip_and_port(std::string &ip, int &port) const override;
    socket_t socket() const override { return m_socket; }

private:
    bool waitWritable() const;

    int m_socket;
    std::chrono::milliseconds m_writeTimeout;
    std::string m_request;
    size_t m_read = 0;
};

#endif // DEADLINESTREAM_H

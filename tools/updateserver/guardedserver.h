#ifndef GUARDEDSERVER_H
#define GUARDEDSERVER_H

#include "connectiongate.h"

#include <httplib.h>

#include <chrono>
#include <cstddef>
#include <string>

// The HTTP library's server with its connection loop replaced, so that slow
// clients cannot starve the workers:
// - a connection waits in the gate, not on a worker, until its next request
//   has arrived whole, head and body, both when it is new and between two
//   requests of a kept-alive connection; the gate answers the requests that
//   framing refuses itself;
// - a worker gives the library one whole request at a time, from memory, as
//   RequestFraming rewrote it: the library never waits for a client, never
//   frames a request itself and never parses a Range header;
// - a handler can end the connection once its response is sent, reading a
//   bounded amount of what the client is still sending, so that the client
//   gets to read the response.
// Keep-alive is unchanged for clients that do not dawdle: one connection
// carries any number of requests back to back.
class GuardedServer : public httplib::Server
{
public:
    struct Limits
    {
        std::size_t workers = 128;
        // No byte of the next request for this long: the connection is closed.
        std::chrono::milliseconds idle{5000};
        // The whole request, head and body, counted from the end of the
        // previous response (or the connection's start).
        std::chrono::milliseconds request{10000};
        // How long a worker waits for the next request of its connection
        // before it hands the connection back to the gate.
        std::chrono::milliseconds linger{200};
    };

    explicit GuardedServer(const Limits &limits);
    ~GuardedServer() override;

    // listen_after_bind() with a queue of pending connections of the system's
    // size instead of the library's 5, which a burst of clients overflows
    // (each dropped connection attempt costs its client a second).
    bool listenAfterBind();

    // Told of each request answered before it reaches the library, with
    // the client's socket; set before listening.
    void setRefusalLog(ConnectionGate::RefusalLog log);

    // For handlers, on the thread that serves the request: its socket, its
    // Range header (empty when none; the library never sees it), and a
    // request to close the connection after the response.
    static int currentSocket();
    static const std::string &currentRange();
    static void closeAfterResponse();

private:
    class WorkerPool;

    bool process_and_close_socket(socket_t socket) override;
    // Serves requests on the socket while they come back to back, then
    // parks it in the gate or closes it.
    void serve(int socket, ConnectionGate::Arrival arrival);
    // Reads on for the next request of a kept-alive connection, for a short
    // while: true with it in `arrival`; false to park the connection with
    // what was read in `pending`, or to close it (`keep` cleared).
    bool nextRequest(int socket, std::string &pending, ConnectionGate::Arrival &arrival, bool &keep) const;

    const Limits m_limits;
    ConnectionGate m_gate;
};

#endif // GUARDEDSERVER_H

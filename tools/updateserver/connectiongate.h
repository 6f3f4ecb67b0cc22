#ifndef CONNECTIONGATE_H
#define CONNECTIONGATE_H

#include "requestframing.h"

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

// Holds connections that have not yet sent a whole request, on one thread
// (epoll), so that a slow or silent client never occupies a worker. The gate
// reads each request, head and body, until RequestFraming finds it whole and
// only then hands the connection to a worker; a request that framing refuses
// (a body over the form limit, odd framing, an overlong line) is answered
// here and its connection closed, without a worker. A connection that stays
// silent past the idle limit, or whose request is not whole by the request
// deadline, is closed.
class ConnectionGate
{
public:
    using Clock = std::chrono::steady_clock;
    // A request that has arrived whole, as RequestFraming rewrote it for the
    // library, with its Range header, and the bytes received after it.
    struct Arrival
    {
        std::string request;
        std::string range;
        std::string rest;
    };
    // Takes a socket whose request has arrived; false when it cannot (the
    // server is stopping), and the gate closes the socket.
    using Dispatch = std::function<bool(int socket, Arrival arrival)>;
    // Told of each request that the gate answers itself.
    using RefusalLog = std::function<void(int socket, const RequestFraming &framing)>;

    ConnectionGate(std::chrono::milliseconds idle, std::chrono::milliseconds request);
    ~ConnectionGate(); // closes every parked socket

    // Set while the server listens. Clearing it closes what is parked, and
    // every socket parked afterwards is closed at once.
    void setDispatch(Dispatch dispatch);
    // Set before the server listens.
    void setRefusalLog(RefusalLog log);
    // Takes ownership of the socket; `received` is what has been read of its
    // next request already.
    void park(int socket, std::string received = std::string());

private:
    struct Parked
    {
        Clock::time_point since;
        bool heard = false; // some byte of the request has arrived
        std::string received;
        bool continued = false; // "100 Continue" sent
        bool closing = false; // refused: answered, draining before the close
        std::size_t drained = 0;
    };

    void run();
    // Under the lock: reads what arrived on a parked socket and judges it.
    void examine(int socket, Parked &parked, bool hangUp);
    void judge(int socket, Parked &parked, bool ended);
    // Under the lock: answers a refused request and starts draining.
    void refuse(int socket, Parked &parked, const RequestFraming &framing);
    void drain(int socket, Parked &parked);
    // Under the lock: stops watching the socket, then hands it on or closes it.
    void release(int socket, Arrival *arrival);

    const std::chrono::milliseconds m_idle, m_request;
    int m_epoll = -1;
    int m_wake = -1; // eventfd that ends the thread
    std::mutex m_mutex;
    std::unordered_map<int, Parked> m_parked;
    Dispatch m_dispatch;
    RefusalLog m_refusalLog;
    bool m_stopping = false;
    std::thread m_thread;
};

#endif // CONNECTIONGATE_H

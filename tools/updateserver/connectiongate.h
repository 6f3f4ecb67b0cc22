#ifndef CONNECTIONGATE_H
#define CONNECTIONGATE_H

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>

// Holds connections that have not yet sent a whole request, on one thread
// (epoll), so that a slow or silent client never occupies a worker. A socket
// is handed to a worker once its request head (and a small body) is there;
// one that stays silent past the idle limit, or whose head is not complete
// by the head deadline, is closed.
class ConnectionGate
{
public:
    using Clock = std::chrono::steady_clock;
    enum class Peek {
        Ready, // the head and (when small) the body are there
        Head, // the head is there, the body not yet
        Waiting,
        Closed
    };
    struct Inspection
    {
        Peek peek = Peek::Waiting;
        size_t headSize = 0; // Head: where the body starts
        std::uint64_t bodySize = 0; // Head: its announced length
    };
    // Takes a socket whose request has arrived, with the bytes of it that the
    // gate has already read; false when it cannot (the server is stopping),
    // and the gate closes the socket.
    using Dispatch = std::function<bool(int socket, std::string received)>;

    ConnectionGate(std::chrono::milliseconds idle, std::chrono::milliseconds head);
    ~ConnectionGate(); // closes every parked socket

    // Set while the server listens. Clearing it closes what is parked, and
    // every socket parked afterwards is closed at once.
    void setDispatch(Dispatch dispatch);
    // Takes ownership of the socket.
    void park(int socket);
    // Whether the request waiting on the socket is there, without taking it.
    static Inspection inspect(int socket);

private:
    struct Parked
    {
        Clock::time_point since;
        bool heard = false; // some byte of the request has arrived
        std::string head; // read already, when the body is still to come
        std::uint64_t bodySize = 0;
    };

    void run();
    // Under the lock: looks at what arrived on a parked socket.
    void examine(int socket, Parked &parked, bool hangUp);
    // Under the lock: stops watching the socket, then hands it on or closes it.
    void release(int socket, bool ready);

    const std::chrono::milliseconds m_idle, m_head;
    int m_epoll = -1;
    int m_wake = -1; // eventfd that ends the thread
    std::mutex m_mutex;
    std::unordered_map<int, Parked> m_parked;
    Dispatch m_dispatch;
    bool m_stopping = false;
    std::thread m_thread;
};

#endif // CONNECTIONGATE_H

#pragma once

// A server's listening socket, on every local IPv4 address, and its taking of clients. When the system has
// no socket to give (on POSIX, the process is out of descriptors), accept fails while the client still
// waits, so the listener stays readable and a wait on it would end at once, again and again: accepting is
// then held off for a second at a time, the listener left out of the wait and its clients left waiting in
// the backlog, until one accept tries again.

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "feed/Platform.h"
#include "system/Clocks.h"

// Each server's clients at once.
constexpr std::size_t kMaxClients = 100;

class Listener {
public:
    // `server` starts its notices on standard error ("relay: cannot take clients: ...").
    explicit Listener(std::string server) : server(std::move(server)) {}
    ~Listener();
    Listener(const Listener &) = delete;
    Listener &operator=(const Listener &) = delete;

    // Listens on `port` (0: a port the system picks), without blocking. False, with `error` set, if it
    // cannot.
    bool listen(int port, std::string &error);
    int port() const;

    // Appends the listener's entry for the wait: while accepting is held off, one the wait skips
    // (INVALID_SOCKET), and `waitMilliseconds` shortened to end when it resumes.
    void addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const;
    // The next client waiting, or INVALID_SOCKET when none waits or accept failed. A failure holds accepting
    // off for a second, and the first of a run of them is told on standard error.
    SOCKET acceptNext();

private:
    const std::string server;
    SOCKET socket = INVALID_SOCKET;
    SteadyClock::time_point heldOffUntil;
    bool failing = false;
};

// "address:port" of the socket's peer.
std::string peerAddress(SOCKET socket);

#pragma once

// What feedclient does when the system has no socket to give (on POSIX, the process is out of descriptors):
// it neither spins nor lets clients of its servers take the place of the feed's connection.

#include <chrono>
#include <string>
#include <vector>

#include "feed/Platform.h"

// A server's accepting, held off for a second at a time after accept failed other than for want of a
// client: out of sockets, the client is still waiting, the listener stays readable, and a wait on it would
// end at once, again and again. Held off, the listener is left out of the wait and its clients wait in the
// backlog; a second later one accept tries again.
class AcceptPause {
public:
    // The next client waiting on the non-blocking `listener`, or INVALID_SOCKET when none waits or accept
    // failed. A failure holds accepting off for a second, and the first of a run of them is told on
    // standard error as `server`'s ("relay: cannot take clients: ...").
    SOCKET acceptNext(SOCKET listener, const std::string &server);
    // Appends the listener's entry for the wait: while accepting is held off, one the wait skips
    // (INVALID_SOCKET), and `milliseconds`, the wait's time-out (-1: none), shortened to end when it resumes.
    void addToPoll(SOCKET listener, std::vector<WSAPOLLFD> &entries, int &milliseconds) const;

private:
    using Steady = std::chrono::steady_clock;
    Steady::time_point until;
    bool failing = false;
};

// A socket kept for a connection that must not go without one, the feed's: while that connection is
// closed, a placeholder holds its place, so that clients of the servers cannot take the last one.
class ReservedSocket {
public:
    ReservedSocket() { hold(); }
    ~ReservedSocket() { release(); }
    ReservedSocket(const ReservedSocket &) = delete;
    ReservedSocket &operator=(const ReservedSocket &) = delete;

    // Frees the place for the connection about to be made.
    void release();
    // Takes the place again once that connection is closed, if the system has a socket to give.
    void hold();

private:
    SOCKET placeholder = INVALID_SOCKET;
};

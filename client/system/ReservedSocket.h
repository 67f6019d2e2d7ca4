#pragma once

// A socket kept for a connection that must not go without one, the feed's: while that connection is
// closed, a placeholder holds its place, so that when the system is out of sockets (on POSIX, the process
// is out of descriptors), clients of the servers cannot take the last one.

#include "feed/Platform.h"

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

#pragma once

// feedclient's one wait loop: one thread waits on every socket at once (the feed, the servers and their
// clients, and stop requests), so nothing it does ever waits on one peer.

#include <functional>
#include <vector>

#include "feed/Platform.h"
#include "system/Clocks.h"

// Something with sockets in the wait: the feed's session, or a server.
class Waiter {
public:
    virtual ~Waiter() = default;
    // Appends the sockets to wait on, and shortens `waitMilliseconds`, the wait's time-out (-1: none), to
    // end when there is something to do though no socket is ready.
    virtual void addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const = 0;
    // After the wait, with the entries addToPoll appended.
    virtual void serve(const WSAPOLLFD *entries) = 0;
};

// Shortens the wait's time-out, `waitMilliseconds` (-1: none), to end by `until`.
void shortenWait(int &waitMilliseconds, SteadyClock::time_point until);

enum class WaitLoopEnd { kStopRequested, kDone, kWaitFailed };

// Waits on the waiters' sockets and on stop requests, then serves each waiter in turn, in the order given,
// until a stop is requested or `done` says the run is over. A failed wait is told on standard error.
WaitLoopEnd runWaitLoop(const std::vector<Waiter *> &waiters, const std::function<bool()> &done);

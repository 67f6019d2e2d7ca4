#pragma once

// The connection to the feed: made, and made again whenever it drops or is refused, after a pause that
// stays short for a while after a connection that brought lines and grows while connections bring none.
// Every line read is checked, and each position handed to the sinks.

#include <string>
#include <vector>

#include "feed/Platform.h"
#include "read/FeedLine.h"
#include "read/PositionSink.h"
#include "system/Clocks.h"
#include "system/ReservedSocket.h"
#include "system/WaitLoop.h"

class FeedSession : public Waiter {
public:
    // The feed at `host`:`port`; `count` positions, then the run is over (0: no limit). `sinks` take
    // every position, in turn.
    FeedSession(std::string host, std::string port, unsigned long count, std::vector<PositionSink *> sinks);
    FeedSession(const FeedSession &) = delete;
    FeedSession &operator=(const FeedSession &) = delete;
    ~FeedSession() override;

    // The feed's socket while it is open, and the end of a pause or attempt, or the silence notice.
    void addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const override;
    void serve(const WSAPOLLFD *entries) override;

    // "host:port", as the user gave it.
    const std::string &address() const { return where; }

    // Whether the run is over: the count reached, an output failed or the host is unknown.
    bool done() const { return failed || countReached; }
    // The exit status so far: 2 if an output failed or the host is unknown, else 1 if a line was rejected.
    int exitStatus() const { return failed ? 2 : rejected > 0 ? 1 : 0; }

private:
    enum class State { kPausing, kConnecting, kReading };

    void advance(short feedEvents);
    void startConnecting();
    void connected();
    // Closes the connection, or gives up the attempt, and retries after a pause.
    void retryAfter(const std::string &what);
    void readLines();
    void take(const std::string &line, SystemClock::time_point received);

    const std::string host, port, where;
    const unsigned long count;
    const std::vector<PositionSink *> sinks;

    State state = State::kPausing;
    SteadyClock::time_point due = SteadyClock::now();  // when the pause, or the attempt to connect, is over
    double retrySeconds;
    int quickRetriesLeft = 0;
    bool hostFound = false;  // the host's name has resolved at least once
    SOCKET feed = INVALID_SOCKET;
    ReservedSocket feedPlace;  // held while `feed` is closed
    LineSplitter splitter;
    SteadyClock::time_point lastLine;
    bool silent = false;
    bool failed = false, countReached = false;

    unsigned long lines = 0, linesBeforeAttempt = 0, rejected = 0, written = 0;
};

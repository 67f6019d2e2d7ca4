#pragma once

#include "feed/FeedEvent.h"

// What the plug-in writes to X-Plane's Log.txt, where users and the people who help them look: the feed's
// changes of state, a handful of lines on a day's flight and never one a second. A listener that fails
// again and again is told once when it begins failing and once when it listens again; past a few lines a
// minute, the rest are counted and summed up in one line. Host's thread only.
class DiagnosticLog {
public:
    // At start: the version and the port.
    void started(const char *version);
    // One event of the feed.
    void report(const FeedEvent &event);
    // Every tick, with the seconds of flight-loop time since the last: ends a minute in which lines were
    // held back with the line that sums them up.
    void advance(double seconds);

private:
    static constexpr int kLinesPerMinute = 6;

    void reportListenerFailure(const FeedEvent &event);
    void reportListening();
    // Writes one line, unless it is one too many for this minute.
    void writeLimited(const char *format, ...) __attribute__((format(printf, 2, 3)));
    void summarizeHeldBack();

    double secondsIntoMinute = 0;
    int linesThisMinute = 0;
    long long heldBack = 0;  // lines left out this minute

    char client[32] = "";  // the client served, as a person writes its address

    // The listener runs that have failed in a row, and the call and error of the last.
    long long failuresInARow = 0;
    const char *failedCall = "";
    int failedError = 0;
};

#pragma once

// A recorded flight played back in feedclient's wait loop, in place of the feed's session: each position
// goes to the sinks with the line the plug-in sent and the time it was received, at the recorded pace or
// faster. A gap in the recorded times that can only have been a lost feed is played as one.

#include <chrono>
#include <cstddef>
#include <functional>
#include <vector>

#include "feed/Platform.h"
#include "formats/Recording.h"
#include "read/PositionSink.h"
#include "replay/RecordingFile.h"
#include "system/Clocks.h"
#include "system/WaitLoop.h"

// The plug-in sends a line a second: recorded times further apart than this had no feed between them.
constexpr std::chrono::seconds kLostFeedGap(3);
// A lost feed is played for as long as it lasted, but no longer than this: the recording holds nothing of
// the time without a feed.
constexpr std::chrono::seconds kLongestBreak(10);
// As fast as the outputs take it (--speed 0): no more entries than this wait for any output before the
// replay waits for it, well within each one's queue.
constexpr std::size_t kMostBehind = 32;

class ReplaySession : public Waiter {
public:
    // Plays `file`, opened, to `sinks`, `speed` times the recorded pace (0: as fast as the outputs take
    // it, which `outputsBehind` tells: the most entries waiting for any of them), from the start again at
    // the end if `loop`; `count` positions, then the run is over (0: no limit). The first position comes
    // after `leadIn`, for clients of the servers to connect.
    ReplaySession(RecordingFile &file, double speed, bool loop, unsigned long count, SteadyClock::duration leadIn,
                  std::vector<PositionSink *> sinks, std::function<std::size_t()> outputsBehind);

    // No socket: only the time the next step is due.
    void addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const override;
    void serve(const WSAPOLLFD *entries) override;

    // Whether the run is over: the recording played to its end (and, at speed 0, taken by every output),
    // the count reached, or an output or the file failed.
    bool done() const;
    // The exit status so far: 2 if an output or the file failed, else 1 if a line was rejected.
    int exitStatus() const { return failed ? 2 : rejected > 0 ? 1 : 0; }

    // The replay's clock: the recorded time it has reached, running at its pace. It stands in for the
    // system's wherever feedclient tells its own time beside the positions' (the map page reckons their age
    // by it).
    SystemClock::time_point clock() const;

private:
    enum class Step {
        kConnect,   // the feed is connected, and the next position follows at once
        kPosition,  // the next position
        kLose,      // the feed is lost; it connects again when the break is over
        kEnded,
    };

    // Reads on to the next position, telling and skipping bad lines; false at the end of the file.
    bool readNext();
    // After a position: schedules the next, or the break before it, or the end.
    void scheduleNext();
    void takeStep();
    void breakAfter(SystemClock::duration gap);
    // When, on the steady clock, the replay reaches the recorded time `recorded`.
    SteadyClock::time_point dueAt(SystemClock::time_point recorded) const;

    RecordingFile &file;
    const double speed;
    const bool loop;
    const unsigned long count;
    const std::vector<PositionSink *> sinks;
    const std::function<std::size_t()> outputsBehind;

    Step step = Step::kConnect;
    SteadyClock::time_point due;
    // The replay's clock stands at `anchorRecorded` at `anchorSteady`.
    SteadyClock::time_point anchorSteady;
    SystemClock::time_point anchorRecorded;
    SystemClock::time_point breakEnd;  // kLose: the recorded time the feed comes back at
    RecordedPosition next;
    SystemClock::time_point lastRecorded;
    bool restarted = false;  // a CSV header came before `next`: another recording begins there
    bool firstPass = true;
    unsigned long passPositions = 0;
    bool failed = false, countReached = false;
    unsigned long rejected = 0, written = 0;
};

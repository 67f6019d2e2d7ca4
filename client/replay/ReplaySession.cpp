#include "replay/ReplaySession.h"

#include <algorithm>
#include <cerrno>
#include <string>
#include <utility>

#include "read/FeedLine.h"
#include "system/FixedText.h"
#include "system/Notice.h"

namespace {

// How often, at speed 0, an output that has fallen behind is looked at again: standard output's thread
// tells nobody when it has written.
constexpr std::chrono::milliseconds kBehindPoll(5);
// Steps taken in one turn of the wait loop at most, so that the servers take their clients and stop
// requests are seen while a replay runs as fast as it can.
constexpr int kStepsPerTurn = 64;

double secondsOf(SystemClock::duration duration) { return std::chrono::duration<double>(duration).count(); }

}  // namespace

ReplaySession::ReplaySession(RecordingFile &file, double speed, bool loop, unsigned long count,
                             SteadyClock::duration leadIn, std::vector<PositionSink *> sinks,
                             std::function<std::size_t()> outputsBehind)
    : file(file),
      speed(speed),
      loop(loop),
      count(count),
      sinks(std::move(sinks)),
      outputsBehind(std::move(outputsBehind)) {
    const char *format = file.format() == RecordingFormat::kCsv ? "CSV" : "JSON Lines";
    std::string pace = speed == 0   ? "as fast as the outputs take it"
                       : speed == 1 ? "at the recorded pace"
                                    : "at " + fixedText(speed, speed == static_cast<long>(speed) ? 0 : 2) +
                                          " times the recorded pace";
    notice("replaying " + file.name() + ", a " + format + " recording, " + pace + (loop ? ", again and again" : ""));
    due = SteadyClock::now() + leadIn;
    if (!readNext()) {
        notice("the recording holds no position");
        step = Step::kEnded;
    }
    // Until the first position the clock stands at its time.
    anchorSteady = due;
    anchorRecorded = lastRecorded = next.received;
}

SteadyClock::time_point ReplaySession::dueAt(SystemClock::time_point recorded) const {
    if (speed == 0) return SteadyClock::now();
    return anchorSteady + std::chrono::duration_cast<SteadyClock::duration>(
                              std::chrono::duration<double>(secondsOf(recorded - anchorRecorded) / speed));
}

SystemClock::time_point ReplaySession::clock() const {
    if (speed == 0) return lastRecorded;
    double played = std::chrono::duration<double>(SteadyClock::now() - anchorSteady).count();
    return anchorRecorded +
           std::chrono::duration_cast<SystemClock::duration>(std::chrono::duration<double>(std::max(played, 0.0) * speed));
}

bool ReplaySession::done() const {
    if (failed || countReached) return true;
    // At speed 0 the replay is over once every output has taken it all.
    return step == Step::kEnded && (speed > 0 || outputsBehind() == 0);
}

void ReplaySession::addToPoll(std::vector<WSAPOLLFD> &, int &waitMilliseconds) const {
    if (failed || countReached) return;
    // The outputs take what they hold on threads of their own, so how far behind they are is read once:
    // read twice, the last of it could go between, and leave a wait with nothing to end it.
    std::size_t behind = speed == 0 ? outputsBehind() : 0;
    if (step == Step::kEnded && behind == 0)
        shortenWait(waitMilliseconds, SteadyClock::now());  // done: the loop asks again at once
    else if (behind >= (step == Step::kEnded ? 1 : kMostBehind))
        shortenWait(waitMilliseconds, SteadyClock::now() + kBehindPoll);
    else if (step != Step::kEnded)
        shortenWait(waitMilliseconds, due);
}

void ReplaySession::serve(const WSAPOLLFD *) {
    for (int steps = 0; steps < kStepsPerTurn && step != Step::kEnded && !done(); ++steps) {
        if (SteadyClock::now() < due || (speed == 0 && outputsBehind() >= kMostBehind)) return;
        takeStep();
    }
}

void ReplaySession::takeStep() {
    switch (step) {
        case Step::kConnect:
            // The replay's clock goes on from here at the next position's time: a break is as long as it
            // was played, not as it was recorded.
            anchorSteady = speed == 0 ? SteadyClock::now() : due;
            anchorRecorded = next.received;
            for (PositionSink *sink : sinks) sink->feedConnected();
            step = Step::kPosition;
            break;
        case Step::kPosition:
            for (PositionSink *sink : sinks) {
                if (!sink->take(next.position, next.line, next.received)) {
                    noticeOutputFailure(errno);
                    failed = true;
                    return;
                }
            }
            lastRecorded = next.received;
            ++passPositions;
            countReached = ++written == count;
            scheduleNext();
            break;
        case Step::kLose:
            for (PositionSink *sink : sinks) sink->feedLost();
            step = Step::kConnect;
            due = dueAt(breakEnd);
            break;
        case Step::kEnded:
            break;
    }
}

void ReplaySession::scheduleNext() {
    if (readNext()) {
        SystemClock::duration gap = next.received - lastRecorded;
        if (restarted || gap > kLostFeedGap || gap < SystemClock::duration::zero()) {
            if (firstPass) {
                std::string line = "line " + std::to_string(file.lineNumber());
                notice(restarted              ? line + ": another recording starts: played as a lost feed"
                       : gap > kLostFeedGap ? line + " comes " + secondsText(secondsOf(gap), 1) +
                                                  " after the position before it: played as a lost feed"
                                            : line + " goes " + secondsText(-secondsOf(gap), 1) +
                                                  " back in time: played as a lost feed");
            }
            return breakAfter(gap);
        }
        step = Step::kPosition;
        due = dueAt(next.received);
        return;
    }
    if (failed) return;
    if (loop && passPositions > 0) {
        std::string error;
        if (!file.rewind(error)) {
            notice("cannot read the recording again: " + error);
            failed = true;
            return;
        }
        firstPass = false;
        passPositions = 0;
        if (readNext()) {
            notice("the end of the recording: from the start again");
            return breakAfter(SystemClock::duration::zero());
        }
    }
    if (failed) return;
    notice("the end of the recording, after line " + std::to_string(file.lineNumber()) + ": " +
           std::to_string(written) + " positions replayed");
    step = Step::kEnded;
}

// The feed is lost once the plug-in has been silent for kLostFeedGap, and back when the gap is over or has
// lasted kLongestBreak.
void ReplaySession::breakAfter(SystemClock::duration gap) {
    SystemClock::duration length = std::clamp<SystemClock::duration>(gap, kLostFeedGap, kLongestBreak);
    step = Step::kLose;
    due = dueAt(lastRecorded + kLostFeedGap);
    breakEnd = lastRecorded + length;
}

bool ReplaySession::readNext() {
    restarted = false;
    std::string line, error;
    while (file.next(line, error)) {
        unsigned long number = file.lineNumber();
        if (file.format() == RecordingFormat::kCsv && isCsvHeader(line)) {
            restarted = number > 1;
            continue;
        }
        std::string fault = line.size() > kMaxRecordedLineLength
                                ? "line longer than " + std::to_string(kMaxRecordedLineLength) + " characters"
                                : parseRecordedLine(file.format(), line, next);
        if (fault.empty()) return true;
        if (firstPass) {
            notice(describeBadLine(number, line, fault));
            ++rejected;
        }
    }
    if (!error.empty()) {
        notice("cannot read the recording: " + error);
        failed = true;
    }
    return false;
}

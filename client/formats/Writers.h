#pragma once

// The client's output formats. Every writer writes each position out as soon as it has it.

#include <chrono>
#include <memory>
#include <string>

#include "read/FeedLine.h"

using Clock = std::chrono::system_clock;

class PositionWriter {
public:
    virtual ~PositionWriter() = default;
    // Writes one position received at `received`; false if the output failed.
    virtual bool write(const Position &position, Clock::time_point received) = 0;
    // The feed dropped: the next position does not continue from the last one.
    virtual void feedLost() {}
};

// Where the text formats go: standard output, through a queue (QueuedOutput).
class TextOutput {
public:
    virtual ~TextOutput() = default;
    // Takes whole lines; false, with errno set, if the output has failed.
    virtual bool put(const std::string &lines) = 0;
};

// One readable line per position, values rounded.
std::unique_ptr<PositionWriter> makeLiveWriter(TextOutput &out);
// JSON Lines: quoted keys, numbers as sent, null for NaN and infinities (JSON has neither).
std::unique_ptr<PositionWriter> makeJsonWriter(TextOutput &out);
// The JSON object of one position, as each JSON Lines line holds it.
std::string positionJson(const Position &position, Clock::time_point received);
// A header, then the values exactly as sent (nan, -nan, inf and -inf included).
std::unique_ptr<PositionWriter> makeCsvWriter(TextOutput &out);
// A GPX 1.1 track, complete on disk after every point. Null, with `error` set, if the file cannot be made.
std::unique_ptr<PositionWriter> makeGpxWriter(const std::string &path, std::string &error);

// A time in UTC split into its calendar fields, by arithmetic alone: no time zone, no C library call
// that differs between systems.
struct UtcTime {
    int year, month, day, hour, minute, second, millisecond;
};
UtcTime utcTime(Clock::time_point time);

// A direction in degrees rounded to a tenth, in tenths within [0, 3600). The rounding is the one a person
// applies to the feed's six decimals: a half goes up, so 271.250000 is 271.3, and 359.970000 a full turn,
// 0.0. Every output that shows a direction to a tenth uses it.
long long directionTenths(double degrees);
// The same as text, "271.3"; nan and inf as they are.
std::string directionText(double degrees);

// The time in UTC as ISO 8601 with milliseconds, e.g. 2026-12-07T23:14:58.123Z.
std::string utcTimestamp(Clock::time_point time);

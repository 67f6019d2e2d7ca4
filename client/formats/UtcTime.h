#pragma once

// When a position was received, in UTC, as the outputs write it.

#include <string>
#include <string_view>

#include "system/Clocks.h"

// A time in UTC split into its calendar fields, by arithmetic alone: no time zone, no C library call
// that differs between systems.
struct UtcTime {
    int year, month, day, hour, minute, second, millisecond;
};
UtcTime utcTime(SystemClock::time_point time);

// The time in UTC as ISO 8601 with milliseconds, e.g. 2026-12-07T23:14:58.123Z.
std::string utcTimestamp(SystemClock::time_point time);

// The inverse of utcTimestamp: reads exactly that form back, a time it can have written. False for any
// other text, or a date or time that does not exist.
bool parseUtcTimestamp(std::string_view text, SystemClock::time_point &time);

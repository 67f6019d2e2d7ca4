#pragma once

// When a position was received, in UTC, as the outputs write it.

#include <string>
#include <string_view>

#include "system/Clocks.h"

// A time in UTC split into its calendar fields, by arithmetic alone: no time zone, no C library call
// that differs between systems.
struct UtcTime {
    int year, month, day, hour, minute, second, millisecond;
    int weekday;  // 0 for Sunday
};
UtcTime utcTime(SystemClock::time_point time);

// The time in UTC as ISO 8601 with milliseconds, e.g. 2026-12-07T23:14:58.123Z.
std::string utcTimestamp(SystemClock::time_point time);
// The time as HTTP's Date header gives it (RFC 9110 5.6.7), e.g. Mon, 07 Dec 2026 23:14:58 GMT: English
// names whatever the locale.
std::string httpDate(SystemClock::time_point time);

// The inverse of utcTimestamp: reads exactly that form back, a time it can have written. False for any
// other text, or a date or time that does not exist.
bool parseUtcTimestamp(std::string_view text, SystemClock::time_point &time);

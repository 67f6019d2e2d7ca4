#pragma once

// Positions as the feed carries them, and a time to have received them at, for the writers' tests.

#include <gtest/gtest.h>

#include <string>

#include "read/FeedLine.h"
#include "read/Position.h"
#include "read/PositionSink.h"
#include "system/Clocks.h"

// 2026-12-07T23:14:58.123Z
const SystemClock::time_point kReceived{std::chrono::milliseconds(1796685298123)};

// The feed's line of a position with these values, as the plug-in writes it, without its LF.
inline std::string lineOf(const std::string &latitude, const std::string &longitude, const std::string &speed,
                          const std::string &elevation, const std::string &heading) {
    return "{version:\"1\",latitude:\"" + latitude + "\",longitude:\"" + longitude + "\",speed:\"" + speed +
           "\",elevation:\"" + elevation + "\",heading:\"" + heading + "\"}";
}

inline Position positionOf(const std::string &latitude, const std::string &longitude, const std::string &speed,
                           const std::string &elevation, const std::string &heading) {
    Position position;
    EXPECT_EQ(parseFeedLine(lineOf(latitude, longitude, speed, elevation, heading), position), "");
    return position;
}

// Hands `position` to `sink`, with its line, as received at kReceived.
inline bool take(PositionSink &sink, const Position &position) {
    const std::string *text = position.text;
    std::string line = lineOf(text[kLatitude], text[kLongitude], text[kSpeed], text[kElevation], text[kHeading]);
    return sink.take(position, line, kReceived);
}

const Position kZurich = positionOf("47.458056", "8.548056", "142.370003", "1417.322880", "271.260000");
const Position kNonFinite = positionOf("nan", "-nan", "inf", "-inf", "1.000000");

#pragma once

// Positions as the feed carries them, and a time to have received them at, for the writers' tests.

#include <gtest/gtest.h>

#include <string>

#include "read/FeedLine.h"
#include "formats/Writers.h"

// 2026-12-07T23:14:58.123Z
const Clock::time_point kReceived{std::chrono::milliseconds(1796685298123)};

inline Position positionOf(const std::string &latitude, const std::string &longitude, const std::string &speed,
                           const std::string &elevation, const std::string &heading) {
    Position position;
    std::string line = "{version:\"1\",latitude:\"" + latitude + "\",longitude:\"" + longitude + "\",speed:\"" + speed +
                       "\",elevation:\"" + elevation + "\",heading:\"" + heading + "\"}";
    EXPECT_EQ(parseFeedLine(line, position), "");
    return position;
}

const Position kZurich = positionOf("47.458056", "8.548056", "142.370003", "1417.322880", "271.260000");
const Position kNonFinite = positionOf("nan", "-nan", "inf", "-inf", "1.000000");

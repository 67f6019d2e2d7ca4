#pragma once

// The feed's positions as NMEA 0183 sentences, for GPS and map software and gpsd.

#include <cstddef>
#include <string>

#include "formats/GroundMotion.h"
#include "read/Position.h"
#include "system/Clocks.h"

// The longest sentence NMEA 0183 allows, from '$' to the line feed.
constexpr std::size_t kMaxSentenceLength = 82;

// Turns each position into a GGA, an RMC and an HDT sentence. The speed and course over ground come from
// the last position and the time between their receipts (GroundMotion), so the encoder is told when the
// feed drops.
class NmeaEncoder {
public:
    // The three sentences, each ended by CR LF.
    std::string encode(const Position &position, SystemClock::time_point received);
    // The next position starts afresh: no speed or course from the last one.
    void feedLost() { motion.feedLost(); }

private:
    GroundMotion motion;
};

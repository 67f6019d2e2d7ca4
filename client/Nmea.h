#pragma once

// The feed's positions as NMEA 0183 sentences, for GPS and map software and gpsd.

#include <cstddef>
#include <string>

#include "FeedLine.h"
#include "Writers.h"

// The longest sentence NMEA 0183 allows, from '$' to the line feed.
constexpr std::size_t kMaxSentenceLength = 82;

// Ground track between two positions on a sphere of the Earth's mean radius.
struct Track {
    double metres;   // great-circle distance
    double bearing;  // initial bearing, degrees clockwise from true north, in [0, 360)
};
Track trackBetween(double fromLatitude, double fromLongitude, double toLatitude, double toLongitude);

// Turns each position into a GGA, an RMC and an HDT sentence. The speed and course over ground come from
// the last position and the time between their receipts, so the encoder is told when the feed drops.
class NmeaEncoder {
public:
    // The three sentences, each ended by CR LF.
    std::string encode(const Position &position, Clock::time_point received);
    // The next position starts afresh: no speed or course from the last one.
    void feedLost() { hasLast = false; }

private:
    bool hasLast = false;
    double lastLatitude = 0, lastLongitude = 0;
    Clock::time_point lastReceived;
};

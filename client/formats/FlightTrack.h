#pragma once

// The track flown since feedclient started, for the map and as GeoJSON: every position that is a valid
// place (isValidPlace), in segments that start again wherever the feed dropped, as the GPX track does,
// and wherever the aircraft moved faster than it could have flown (couldHaveFlown): it was put somewhere.

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

#include "read/Position.h"
#include "system/Clocks.h"

// The last 24 hours at one position a second. Past that the oldest positions go, and with them any
// segment left empty.
constexpr std::size_t kTrackLimit = 86400;

class FlightTrack {
public:
    // Adds a position received at `received`; one that is not a valid place is left out.
    void add(const Position &position, SystemClock::time_point received);
    // The next position starts a new segment.
    void feedLost() { broken = true; }
    std::size_t size() const { return points.size(); }

    // An RFC 7946 FeatureCollection with a Feature a segment, of [longitude, latitude, metres above mean
    // sea level] (without the altitude where the feed had none): a LineString, a MultiLineString where the
    // segment crosses the antimeridian, cut there into parts that end and start at 180 and -180 (RFC 7946
    // 3.1.9), or a Point for a segment of one position. `positions`, the count of positions received so far,
    // travels with it as a member of its own, so that a page can tell which events came after it, and
    // `started`, when the server that keeps the track started, so that a page can tell a new one.
    std::string geoJson(unsigned long positions, std::string_view started) const;

private:
    struct Point {
        double latitude, longitude, elevationFeet;
        bool startsSegment;
    };
    std::deque<Point> points;
    SystemClock::time_point lastReceived;
    bool broken = false;
};

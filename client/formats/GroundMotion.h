#pragma once

// Speed and course over ground, worked out from successive positions and the times they were received.
// The NMEA sentences and the map page both take them from here.

#include "system/Clocks.h"

// Ground track between two positions on a sphere of the Earth's mean radius.
struct Track {
    double metres;   // great-circle distance
    double bearing;  // initial bearing, degrees clockwise from true north, in [0, 360)
};
Track trackBetween(double fromLatitude, double fromLongitude, double toLatitude, double toLongitude);

// Faster than anything X-Plane flies: Mach 25, a shuttle coming back from orbit, is about 16,500 kt. A
// position reached from the last one faster than this was not flown to but moved to (the aircraft was
// put at another airport), and starts afresh.
constexpr double kFastestKnots = 30000;
// The plug-in samples once a second, so two positions are at least a second apart in the simulator,
// however close together their lines came: after a stall the system hands over several at once, and a
// fast feed or a replay sends them in bursts.
constexpr double kSampleSeconds = 1;

// The time flown between two positions received `seconds` apart.
inline double secondsFlown(double seconds) { return seconds > kSampleSeconds ? seconds : kSampleSeconds; }
// Whether `metres` could have been flown between two positions received `seconds` apart.
bool couldHaveFlown(double metres, double seconds);

struct GroundVelocity {
    bool known = false;      // false for the first position, after a loss of the feed or of the fix,
                             // and after a relocation
    double knots = 0;
    bool hasCourse = false;  // standing still has no course
    double course = 0;       // degrees true, in [0, 360)
};

class GroundMotion {
public:
    // The velocity from the last position to this one. A position that is not a valid place
    // (isValidPlace) has none, and the next one starts afresh.
    GroundVelocity next(double latitude, double longitude, SystemClock::time_point received);
    // The next position does not continue from the last one.
    void feedLost() { hasLast = false; }

private:
    bool hasLast = false;
    double lastLatitude = 0, lastLongitude = 0;
    SystemClock::time_point lastReceived;
};

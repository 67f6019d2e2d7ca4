#pragma once

// Speed and course over the ground, from successive positions and the times they were received.

#include "Writers.h"

struct GroundVelocity {
    bool known = false;  // false for the first position, after feedLost, after a burst, or
                         // after a jump no aircraft flies (a relocation)
    double knots = 0;
    bool hasCourse = false;  // standing still has no course
    double course = 0;       // degrees true, [0, 360)
};

class GroundMotion {
public:
    // The velocity from the last position to this one. A position without a valid latitude and
    // longitude (NaN, out of range) is unknown, and the next one starts afresh.
    GroundVelocity next(double latitude, double longitude, Clock::time_point received);
    void feedLost() { hasLast = false; }

private:
    bool hasLast = false;
    double lastLatitude = 0, lastLongitude = 0;
    Clock::time_point lastReceived;
};

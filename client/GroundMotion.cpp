#include "GroundMotion.h"

#include "Nmea.h"

namespace {

constexpr double kMetresPerSecondPerKnot = 1852.0 / 3600;
// Positions received closer together than this came in one burst: their interval says nothing of the speed.
constexpr double kShortestInterval = 0.1;  // seconds
// Faster than any aircraft: a jump to another airport.
constexpr double kFastestKnots = 2500;

}  // namespace

GroundVelocity GroundMotion::next(double latitude, double longitude, Clock::time_point received) {
    GroundVelocity velocity;
    bool valid = latitude >= -90 && latitude <= 90 && longitude >= -180 && longitude <= 180;  // false for NaN
    double seconds = std::chrono::duration<double>(received - lastReceived).count();
    if (valid && hasLast && seconds >= kShortestInterval) {
        Track track = trackBetween(lastLatitude, lastLongitude, latitude, longitude);
        velocity.knots = track.metres / seconds / kMetresPerSecondPerKnot;
        velocity.known = velocity.knots <= kFastestKnots;
        velocity.hasCourse = velocity.known && track.metres > 0;
        velocity.course = velocity.hasCourse ? track.bearing : 0;
    }
    hasLast = valid;
    lastLatitude = latitude;
    lastLongitude = longitude;
    lastReceived = received;
    return velocity;
}

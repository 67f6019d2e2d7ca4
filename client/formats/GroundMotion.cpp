#include "formats/GroundMotion.h"

#include <algorithm>
#include <chrono>
#include <cmath>

#include "formats/Units.h"
#include "read/Position.h"

namespace {

constexpr double kEarthRadius = 6371008.8;  // metres, the mean radius
constexpr double kRadiansPerDegree = 3.14159265358979323846 / 180;

}  // namespace

Track trackBetween(double fromLatitude, double fromLongitude, double toLatitude, double toLongitude) {
    double from = fromLatitude * kRadiansPerDegree, to = toLatitude * kRadiansPerDegree;
    double east = (toLongitude - fromLongitude) * kRadiansPerDegree;
    // The haversine formula, sound for short distances too. Rounding can take its term a little past 1
    // for nearly antipodal points, where the square root of 1 minus it would be NaN.
    double north = std::sin((to - from) / 2), across = std::sin(east / 2);
    double haversine = std::clamp(north * north + std::cos(from) * std::cos(to) * across * across, 0.0, 1.0);
    double metres = 2 * kEarthRadius * std::atan2(std::sqrt(haversine), std::sqrt(1 - haversine));
    double bearing = std::atan2(std::sin(east) * std::cos(to),
                                std::cos(from) * std::sin(to) - std::sin(from) * std::cos(to) * std::cos(east));
    return {metres, std::fmod(bearing / kRadiansPerDegree + 360, 360)};
}

bool couldHaveFlown(double metres, double seconds) {
    return metres <= kFastestKnots * kMetresPerSecondPerKnot * secondsFlown(seconds);
}

GroundVelocity GroundMotion::next(double latitude, double longitude, SystemClock::time_point received) {
    GroundVelocity velocity;
    bool valid = isValidPlace(latitude, longitude);
    double seconds = std::chrono::duration<double>(received - lastReceived).count();
    if (valid && hasLast) {
        Track track = trackBetween(lastLatitude, lastLongitude, latitude, longitude);
        if (couldHaveFlown(track.metres, seconds)) {
            velocity.known = true;
            velocity.knots = track.metres / secondsFlown(seconds) / kMetresPerSecondPerKnot;
            velocity.hasCourse = track.metres > 0;
            velocity.course = track.bearing;
        }
    }
    hasLast = valid;
    lastLatitude = latitude;
    lastLongitude = longitude;
    lastReceived = received;
    return velocity;
}

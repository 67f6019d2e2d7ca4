#include "formats/FlightTrack.h"

#include <chrono>
#include <cmath>

#include "formats/GroundMotion.h"
#include "formats/Units.h"
#include "system/FixedText.h"

namespace {

// A coordinate as the track's GeoJSON gives it; six decimals give back the feed's own digits.
void appendCoordinate(std::string &out, double longitude, double latitude, double elevationFeet) {
    out += '[';
    appendFixed(out, longitude, 6);
    out += ',';
    appendFixed(out, latitude, 6);
    if (std::isfinite(elevationFeet)) {
        out += ',';
        appendFixed(out, elevationFeet / kFeetPerMetre, 3);
    }
    out += ']';
}

}  // namespace

void FlightTrack::add(const Position &position, SystemClock::time_point received) {
    double latitude = position.value[kLatitude], longitude = position.value[kLongitude];
    if (!isValidPlace(latitude, longitude)) return;
    if (!points.empty() && !broken) {
        const Point &last = points.back();
        double metres = trackBetween(last.latitude, last.longitude, latitude, longitude).metres;
        broken = !couldHaveFlown(metres, std::chrono::duration<double>(received - lastReceived).count());
    }
    if (points.size() == kTrackLimit) points.pop_front();  // whatever stays first starts a segment
    points.push_back({latitude, longitude, position.value[kElevation], broken || points.empty()});
    lastReceived = received;
    broken = false;
}

std::string FlightTrack::geoJson(unsigned long positions, std::string_view started) const {
    std::string out = "{\"type\":\"FeatureCollection\",\"started\":\"";
    out.append(started).append("\",\"positions\":").append(std::to_string(positions)).append(",\"features\":[");
    out.reserve(out.size() + points.size() * 40 + 100);
    for (std::size_t at = 0; at < points.size();) {
        std::size_t end = at + 1;
        bool crosses = false;  // the antimeridian: the short way between two points is across it
        for (; end < points.size() && !points[end].startsSegment; ++end)
            crosses = crosses || std::fabs(points[end].longitude - points[end - 1].longitude) > 180;
        if (at > 0) out += ',';
        out += "{\"type\":\"Feature\",\"properties\":{},\"geometry\":{\"type\":\"";
        out += end - at == 1 ? "Point\",\"coordinates\":" : crosses ? "MultiLineString\",\"coordinates\":[["
                                                                    : "LineString\",\"coordinates\":[";
        for (std::size_t i = at; i < end; ++i) {
            const Point &point = points[i];
            if (i > at) {
                const Point &last = points[i - 1];
                double east = point.longitude - last.longitude;
                if (std::fabs(east) > 180) {
                    // Where the line crosses, by the straight line between the two on the map taken the
                    // short way: it ends on one side, and the next part starts on the other.
                    double side = last.longitude > 0 ? 180 : -180;
                    double fraction = (side - last.longitude) / (east > 0 ? east - 360 : east + 360);
                    double latitude = last.latitude + fraction * (point.latitude - last.latitude);
                    double feet = last.elevationFeet + fraction * (point.elevationFeet - last.elevationFeet);
                    out += ',';
                    appendCoordinate(out, side, latitude, feet);
                    out += "],[";
                    appendCoordinate(out, -side, latitude, feet);
                }
                out += ',';
            }
            appendCoordinate(out, point.longitude, point.latitude, point.elevationFeet);
        }
        out += end - at == 1 ? "}}" : crosses ? "]]}}" : "]}}";
        at = end;
    }
    return out + "]}";
}

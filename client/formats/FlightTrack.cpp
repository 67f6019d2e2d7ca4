#include "formats/FlightTrack.h"

#include <cmath>

#include "formats/Units.h"
#include "system/FixedText.h"

void FlightTrack::add(const Position &position) {
    double latitude = position.value[kLatitude], longitude = position.value[kLongitude];
    if (!isValidPlace(latitude, longitude)) return;
    if (points.size() == kTrackLimit) points.pop_front();  // whatever stays first starts a segment
    points.push_back({latitude, longitude, position.value[kElevation], broken || points.empty()});
    broken = false;
}

std::string FlightTrack::geoJson(unsigned long positions) const {
    std::string out = "{\"type\":\"FeatureCollection\",\"positions\":" + std::to_string(positions) + ",\"features\":[";
    out.reserve(out.size() + points.size() * 40 + 100);
    for (std::size_t at = 0; at < points.size();) {
        std::size_t end = at + 1;
        while (end < points.size() && !points[end].startsSegment) ++end;
        if (at > 0) out += ',';
        out += "{\"type\":\"Feature\",\"properties\":{},\"geometry\":";
        out += end - at == 1 ? "{\"type\":\"Point\",\"coordinates\":" : "{\"type\":\"LineString\",\"coordinates\":[";
        for (std::size_t i = at; i < end; ++i) {
            const Point &point = points[i];
            out += i > at ? ",[" : "[";
            // Six decimals give back the feed's own digits.
            appendFixed(out, point.longitude, 6);
            out += ',';
            appendFixed(out, point.latitude, 6);
            if (std::isfinite(point.elevationFeet)) {
                out += ',';
                appendFixed(out, point.elevationFeet / kFeetPerMetre, 3);
            }
            out += ']';
        }
        out += end - at == 1 ? "}}" : "]}}";
        at = end;
    }
    return out + "]}";
}

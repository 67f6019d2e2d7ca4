#pragma once

// A position as the feed carries it: the five values of one line, each as sent and as a number.

#include <string>

enum Field { kLatitude, kLongitude, kSpeed, kElevation, kHeading, kFieldCount };
// The keys, in the order the line carries them.
inline constexpr const char *kFieldNames[kFieldCount] = {"latitude", "longitude", "speed", "elevation", "heading"};

struct Position {
    std::string text[kFieldCount];  // each value as sent: "47.458056", "-nan", "inf"...
    double value[kFieldCount];      // the same as a number; NaN for "nan" and "-nan"
};

// A place on the Earth: a latitude and longitude that are numbers within ±90 and ±180 degrees. Every
// output that places the aircraft (NMEA's fix, the track, the map page, GPX) takes a position as one by
// this rule alone; the GPX writer narrows it where its format must.
inline bool isValidPlace(double latitude, double longitude) {
    return latitude >= -90 && latitude <= 90 && longitude >= -180 && longitude <= 180;  // false for NaN
}

#pragma once

// The units the feed's values come in, and those the outputs want.

// The feed's elevation is in feet; GPX, NMEA and GeoJSON want metres.
constexpr double kFeetPerMetre = 3.28084;
// A knot is a nautical mile, 1852 m, an hour.
constexpr double kMetresPerSecondPerKnot = 1852.0 / 3600;

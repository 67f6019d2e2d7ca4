#include "formats/Direction.h"

#include <cmath>

#include "system/FixedText.h"

long long directionTenths(double degrees) {
    // In whole millionths first, the feed's own unit, so that the half is decided on the decimals as sent
    // rather than on the nearest binary fraction, which may lie either side of it.
    long long millionths = std::llround(std::fmod(degrees, 360) * 1e6);
    if (millionths < 0) millionths += 360000000;
    return (millionths + 50000) / 100000 % 3600;
}

std::string directionText(double degrees) {
    if (!std::isfinite(degrees)) return fixedText(degrees, 1);
    long long tenths = directionTenths(degrees);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

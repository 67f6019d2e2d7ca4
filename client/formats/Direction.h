#pragma once

// Directions in degrees, as every output that shows one to a tenth writes it.

#include <string>

// A direction in degrees rounded to a tenth, in tenths within [0, 3600). The rounding is the one a person
// applies to the feed's six decimals: a half goes up, so 271.250000 is 271.3, and 359.970000 a full turn,
// 0.0.
long long directionTenths(double degrees);
// The same as text, "271.3"; nan and inf as they are.
std::string directionText(double degrees);

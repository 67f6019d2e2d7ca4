#pragma once

#include <cstddef>

#include "feed/FlightData.h"

constexpr std::size_t kPositionLineBufferSize = 512;

// Writes the wire line for `data` into `buffer`, terminator included, exactly as printf's "%f" would in
// the "C" locale whatever the process locale is. Returns the line's length, or 0 when the whole line
// does not fit: a truncated line is never produced, and `buffer` is left an empty string.
int formatPositionLine(const FlightData &data, char *buffer, std::size_t size);

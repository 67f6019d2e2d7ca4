#pragma once

// The text outputs on standard output: readable, JSON Lines and CSV. Each writes a position out as soon as
// it has it. The GPX track, which goes to a file, is GpxWriter's.

#include <memory>
#include <string>
#include <string_view>

#include "read/Position.h"
#include "read/PositionSink.h"
#include "system/Clocks.h"
#include "system/TextOutput.h"

// One readable line per position, values rounded.
std::unique_ptr<PositionSink> makeLiveWriter(TextOutput &out);
// JSON Lines: quoted keys, numbers as sent, null for NaN and infinities (JSON has neither).
std::unique_ptr<PositionSink> makeJsonWriter(TextOutput &out);
// The JSON object of one position, as each JSON Lines line holds it.
std::string positionJson(const Position &position, SystemClock::time_point received);
// `text`, UTF-8, as a JSON string in its quotes: a name or a path that may hold anything.
std::string jsonString(std::string_view text);
// A header, then the values exactly as sent (nan, -nan, inf and -inf included).
std::unique_ptr<PositionSink> makeCsvWriter(TextOutput &out);
// The CSV's header, without its LF: "time", then the fields' names.
std::string csvHeader();

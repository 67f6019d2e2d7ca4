#pragma once

// Recordings read back: what the JSON Lines and CSV writers wrote, line by line, parsed as strictly as the
// feed is, into the position, the plug-in's line it came from, and the time it was received.

#include <string>
#include <string_view>

#include "read/Position.h"
#include "system/Clocks.h"

enum class RecordingFormat { kJsonLines, kCsv };

// What a recording's first line (without its LF) makes the file: the CSV writer's header, or a JSON Lines
// line. Empty if it is one of them, else why the file is no recording feedclient can replay.
std::string recordingFormatOf(std::string_view firstLine, RecordingFormat &format);

struct RecordedPosition {
    Position position;
    std::string line;                 // the plug-in's line, without its LF
    SystemClock::time_point received;
};

// Parses one line, without its LF, of a recording in `format`. Returns an empty string on success, else
// what is wrong and at which column, as parseFeedLine does; `recorded` is then unspecified. JSON has no
// NaN nor infinities, so where the JSON writer wrote null the line gets "nan". The CSV header is no
// position: isCsvHeader tells it.
std::string parseRecordedLine(RecordingFormat format, std::string_view line, RecordedPosition &recorded);
bool isCsvHeader(std::string_view line);

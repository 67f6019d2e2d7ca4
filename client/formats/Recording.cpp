#include "formats/Recording.h"

#include <cmath>
#include <cstddef>

#include "formats/UtcTime.h"
#include "formats/Writers.h"
#include "read/FeedLine.h"

namespace {

const char kJsonStart[] = "{\"time\":\"";
const char kTimeWanted[] = "expected a UTC time such as 2026-12-07T23:14:58.123Z";

bool startsWith(std::string_view text, std::string_view start) { return text.substr(0, start.size()) == start; }

std::string column(std::size_t index) { return " at column " + std::to_string(index + 1); }

// Checks a value the recording holds as the feed sent it; the fault names the field and the column.
std::string checkValue(std::string_view text, std::size_t at, int field, double &value) {
    std::size_t faultAt = 0;
    std::string problem = readFeedValue(text, value, faultAt);
    if (problem.empty()) return {};
    return "bad value of \"" + std::string(kFieldNames[field]) + "\"" + column(at + faultAt) + ": " + problem;
}

// The position and the plug-in's line from the values' texts, which have passed checkValue: the feed's
// parser, on the line they make, gives their numbers, and refuses a line longer than the plug-in sends.
std::string finish(RecordedPosition &recorded) {
    recorded.line = feedLine(recorded.position);
    std::string fault = parseFeedLine(recorded.line, recorded.position);
    return fault.empty() ? fault : "its values make no line of the plug-in's: " + fault;
}

// {"time":"2026-12-07T23:14:58.123Z","latitude":47.458056,...,"heading":271.250000}, null for what was
// not a finite number: positionJson's form, and nothing else.
std::string parseJsonLine(std::string_view line, RecordedPosition &recorded) {
    std::size_t at = 0;
    if (!startsWith(line, kJsonStart)) return std::string("expected ") + kJsonStart + " at the start";
    at = sizeof kJsonStart - 1;
    std::size_t timeEnd = line.find('"', at);
    if (timeEnd == std::string_view::npos || !parseUtcTimestamp(line.substr(at, timeEnd - at), recorded.received))
        return std::string("bad time") + column(at) + ": " + kTimeWanted;
    at = timeEnd + 1;
    for (int field = 0; field < kFieldCount; ++field) {
        std::string key = ",\"" + std::string(kFieldNames[field]) + "\":";
        if (!startsWith(line.substr(at), key)) return "expected " + key + column(at);
        at += key.size();
        std::size_t end = line.find_first_of(field + 1 < kFieldCount ? "," : "}", at);
        std::string_view text = line.substr(at, end == std::string_view::npos ? std::string_view::npos : end - at);
        std::string &kept = recorded.position.text[field];
        if (text == "null") {
            kept = "nan";  // what stood there is lost: NaN, or an infinity
        } else {
            double value = 0;
            std::string problem = checkValue(text, at, field, value);
            if (!problem.empty()) return problem;
            // The writer writes null for every value that is not a finite number.
            if (!std::isfinite(value))
                return "bad value of \"" + std::string(kFieldNames[field]) + "\"" + column(at) +
                       ": expected a number or null";
            kept = text;
        }
        at += text.size();
    }
    if (line.substr(at) != "}") return "expected '}' and the end of the line" + column(at);
    return finish(recorded);
}

// 2026-12-07T23:14:58.123Z,47.458056,8.548056,142.370003,1417.322880,271.250000: the CSV writer's row.
std::string parseCsvLine(std::string_view line, RecordedPosition &recorded) {
    std::size_t at = 0;
    for (int field = -1; field < kFieldCount; ++field) {  // the time first
        std::size_t end = line.find(',', at);
        bool last = field + 1 == kFieldCount;
        if (last ? end != std::string_view::npos : end == std::string_view::npos)
            return "expected " + std::to_string(kFieldCount + 1) + " values, the time and " + kFieldNames[0] +
                   " to " + kFieldNames[kFieldCount - 1] + ", separated by commas";
        std::string_view text = line.substr(at, last ? std::string_view::npos : end - at);
        double value = 0;
        if (field < 0) {
            if (!parseUtcTimestamp(text, recorded.received))
                return std::string("bad time") + column(at) + ": " + kTimeWanted;
        } else {
            std::string problem = checkValue(text, at, field, value);
            if (!problem.empty()) return problem;
            recorded.position.text[field] = text;
        }
        at = end + 1;
    }
    return finish(recorded);
}

}  // namespace

bool isCsvHeader(std::string_view line) { return line == csvHeader(); }

std::string recordingFormatOf(std::string_view firstLine, RecordingFormat &format) {
    std::string_view text = startsWith(firstLine, "\xEF\xBB\xBF") ? firstLine.substr(3) : firstLine;
    if (isCsvHeader(firstLine)) {
        format = RecordingFormat::kCsv;
        return {};
    }
    if (startsWith(firstLine, kJsonStart)) {
        format = RecordingFormat::kJsonLines;
        RecordedPosition recorded;
        std::string fault = parseRecordedLine(format, firstLine, recorded);
        return fault.empty() ? fault : "not a recording of feedclient's --json: " + describeBadLine(1, firstLine, fault);
    }
    if (startsWith(text, "{version:"))
        return "the plug-in's own lines, with no time to replay them by: record the feed with feedclient --json or "
               "--csv";
    if (startsWith(text, "<?xml") || startsWith(text, "<gpx"))
        return "a GPX track, which holds neither the airspeed nor the heading, and the elevation only in rounded "
               "metres: replay the flight's --json or --csv recording";
    return "not a recording feedclient made with --json or --csv: its first line is neither the CSV header \"" +
           csvHeader() + "\" nor a JSON Lines position";
}

std::string parseRecordedLine(RecordingFormat format, std::string_view line, RecordedPosition &recorded) {
    if (format == RecordingFormat::kJsonLines) return parseJsonLine(line, recorded);
    return parseCsvLine(line, recorded);
}

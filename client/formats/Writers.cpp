#include "formats/Writers.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "system/ClientPlatform.h"

namespace {

constexpr double kFeetPerMetre = 3.28084;

// Fixed-point with `decimals` digits, never in the process locale; nan and inf as to_chars spells them.
std::string fixed(double value, int decimals) {
    char buffer[400];
    std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return result.ec == std::errc() ? std::string(buffer, result.ptr) : "?";
}

class LiveWriter : public PositionWriter {
public:
    explicit LiveWriter(TextOutput &out) : out(out) {}

    bool write(const Position &p, Clock::time_point received) override {
        std::string time = utcTimestamp(received).substr(11, 8);
        return out.put(time + "  lat " + fixed(p.value[kLatitude], 6) + "  lon " + fixed(p.value[kLongitude], 6) +
                            "  IAS " + fixed(p.value[kSpeed], 1) + " kt  elev " + fixed(p.value[kElevation], 0) +
                            " ft  hdg " + directionText(p.value[kHeading]) + "\n");
    }

private:
    TextOutput &out;
};

class JsonWriter : public PositionWriter {
public:
    explicit JsonWriter(TextOutput &out) : out(out) {}

    bool write(const Position &p, Clock::time_point received) override {
        return out.put(positionJson(p, received) + "\n");
    }

private:
    TextOutput &out;
};

class CsvWriter : public PositionWriter {
public:
    explicit CsvWriter(TextOutput &out) : out(out) {
        std::string header = "time";
        for (const char *name : kFieldNames) header += std::string(",") + name;
        headerWritten = out.put(header + "\n");
    }

    bool write(const Position &p, Clock::time_point received) override {
        std::string row = utcTimestamp(received);
        for (const std::string &text : p.text) row += "," + text;
        return headerWritten && out.put(row + "\n");
    }

private:
    TextOutput &out;
    bool headerWritten;
};

// Each point is written together with the closing tags over the previous closing tags, in one write, and
// synced: the file on disk is a complete GPX document after every point, so a crash loses at most that point.
class GpxWriter : public PositionWriter {
public:
    explicit GpxWriter(int file) : file(file) {}
    ~GpxWriter() override { closeFile(file); }

    // Starts the track: in an empty file as a new document, in a GPX document as one more track at its end,
    // so that a flight a day can go to one file. Empty if it could, else why not.
    std::string start() {
        const std::string track = "<trk><name>BelvantoPlugin feed</name>\n<trkseg>\n";
        std::uint64_t size = 0;
        if (!fileSize(file, size)) return std::strerror(errno);
        if (size == 0) {
            const std::string document =
                "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                "<gpx version=\"1.1\" creator=\"feedclient\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n";
            return writeBody(document + track) ? "" : std::strerror(errno);
        }
        std::size_t ends = static_cast<std::size_t>(std::min<std::uint64_t>(size, kEndBytes));
        std::string head, tail;
        if (!readAt(file, head, 0, ends) || !readAt(file, tail, size - ends, ends)) return std::strerror(errno);
        std::size_t closing = closingTagAt(head, tail);
        if (closing == std::string::npos)
            return "not a GPX file, so it is left as it is: give --gpx a new file, or a GPX file to add the track to";
        bodyEnd = size - tail.size() + closing;
        return writeBody(track) ? "" : std::strerror(errno);
    }

    bool write(const Position &p, Clock::time_point received) override {
        double latitude = p.value[kLatitude], longitude = p.value[kLongitude];
        // GPX has no place for a point without a valid position.
        if (!(latitude >= -90 && latitude <= 90 && longitude >= -180 && longitude < 180)) return true;
        std::string point;
        if (segmentBroken && segmentHasPoints) point = "</trkseg>\n<trkseg>\n";
        point += "<trkpt lat=\"" + p.text[kLatitude] + "\" lon=\"" + p.text[kLongitude] + "\">";
        if (std::isfinite(p.value[kElevation]))
            point += "<ele>" + fixed(p.value[kElevation] / kFeetPerMetre, 3) + "</ele>";
        point += "<time>" + utcTimestamp(received) + "</time></trkpt>\n";
        segmentBroken = false;
        segmentHasPoints = true;
        return writeBody(point);
    }

    void feedLost() override { segmentBroken = true; }

private:
    // How much of each end of an existing file is read: enough for an XML declaration and the root's start,
    // and for the closing tag after any white space.
    static constexpr std::size_t kEndBytes = 4096;

    // Where, in `tail`, the closing </gpx> begins that ends the document whose first bytes are `head`: its
    // root must be <gpx>, after an XML declaration if any, and nothing but white space may follow the
    // closing tag. npos in any other file.
    static std::size_t closingTagAt(const std::string &head, const std::string &tail) {
        const char *space = " \t\r\n";
        std::size_t at = head.rfind("\xEF\xBB\xBF", 0) == 0 ? 3 : 0;  // a UTF-8 byte order mark
        at = head.find_first_not_of(space, at);
        if (at != std::string::npos && head.compare(at, 5, "<?xml") == 0) {
            at = head.find("?>", at);
            at = at == std::string::npos ? at : head.find_first_not_of(space, at + 2);
        }
        if (at == std::string::npos || head.compare(at, 4, "<gpx") != 0 || at + 4 >= head.size() ||
            !std::strchr(" \t\r\n>", head[at + 4]))
            return std::string::npos;
        std::size_t last = tail.find_last_not_of(space);
        const std::string closing = "</gpx>";
        if (last == std::string::npos || last + 1 < closing.size() ||
            tail.compare(last + 1 - closing.size(), closing.size(), closing) != 0)
            return std::string::npos;
        return last + 1 - closing.size();
    }

    bool writeBody(const std::string &text) {
        if (!writeAt(file, text + "</trkseg>\n</trk>\n</gpx>\n", bodyEnd)) return false;
        bodyEnd += text.size();
        return flushToDisk(file);
    }

    int file;
    std::uint64_t bodyEnd = 0;  // where the closing tags begin
    bool segmentBroken = false;
    bool segmentHasPoints = false;
};

}  // namespace

std::string positionJson(const Position &position, Clock::time_point received) {
    std::string json = "{\"time\":\"" + utcTimestamp(received) + "\"";
    // The wire's digits are already a valid JSON number: no conversion, no rounding.
    for (int field = 0; field < kFieldCount; ++field) {
        json += ",\"" + std::string(kFieldNames[field]) + "\":";
        json += std::isfinite(position.value[field]) ? position.text[field] : "null";
    }
    return json + "}";
}

long long directionTenths(double degrees) {
    // In whole millionths first, the feed's own unit, so that the half is decided on the decimals as sent
    // rather than on the nearest binary fraction, which may lie either side of it.
    long long millionths = std::llround(std::fmod(degrees, 360) * 1e6);
    if (millionths < 0) millionths += 360000000;
    return (millionths + 50000) / 100000 % 3600;
}

std::string directionText(double degrees) {
    if (!std::isfinite(degrees)) return fixed(degrees, 1);
    long long tenths = directionTenths(degrees);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10);
}

UtcTime utcTime(Clock::time_point time) {
    constexpr long long kMillisecondsPerDay = 86400000;
    long long milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    long long days = milliseconds / kMillisecondsPerDay - (milliseconds % kMillisecondsPerDay < 0);
    int ofDay = static_cast<int>(milliseconds - days * kMillisecondsPerDay);
    // The proleptic Gregorian date of a day count from 1970-01-01 (Howard Hinnant's civil_from_days): in
    // 400-year eras of 146097 days, with years starting on 1 March so that the leap day comes last.
    long long shifted = days + 719468;
    long long era = (shifted >= 0 ? shifted : shifted - 146096) / 146097;
    long long dayOfEra = shifted - era * 146097;
    long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    long long monthFromMarch = (5 * dayOfYear + 2) / 153;
    int month = static_cast<int>(monthFromMarch < 10 ? monthFromMarch + 3 : monthFromMarch - 9);
    return {static_cast<int>(yearOfEra + era * 400 + (month <= 2)),
            month,
            static_cast<int>(dayOfYear - (153 * monthFromMarch + 2) / 5 + 1),
            ofDay / 3600000,
            ofDay / 60000 % 60,
            ofDay / 1000 % 60,
            ofDay % 1000};
}

std::string utcTimestamp(Clock::time_point time) {
    UtcTime utc = utcTime(time);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.year, utc.month, utc.day, utc.hour,
                  utc.minute, utc.second, utc.millisecond);
    return buffer;
}

std::unique_ptr<PositionWriter> makeLiveWriter(TextOutput &out) { return std::make_unique<LiveWriter>(out); }
std::unique_ptr<PositionWriter> makeJsonWriter(TextOutput &out) { return std::make_unique<JsonWriter>(out); }
std::unique_ptr<PositionWriter> makeCsvWriter(TextOutput &out) { return std::make_unique<CsvWriter>(out); }

std::unique_ptr<PositionWriter> makeGpxWriter(const std::string &path, std::string &error) {
    int file = openFile(path);
    if (file < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    auto writer = std::make_unique<GpxWriter>(file);
    std::string problem = writer->start();
    if (!problem.empty()) {
        error = path + ": " + problem;
        return nullptr;
    }
    return writer;
}

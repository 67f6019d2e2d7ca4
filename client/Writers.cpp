#include "Writers.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>
#include <ctime>

namespace {

constexpr double kFeetPerMetre = 3.28084;

// Fixed-point with `decimals` digits, never in the process locale; nan and inf as to_chars spells them.
std::string fixed(double value, int decimals) {
    char buffer[400];
    std::to_chars_result result =
        std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, decimals);
    return result.ec == std::errc() ? std::string(buffer, result.ptr) : "?";
}

bool put(std::FILE *out, const std::string &text) {
    return std::fputs(text.c_str(), out) >= 0 && std::fflush(out) == 0;
}

class LiveWriter : public PositionWriter {
public:
    explicit LiveWriter(std::FILE *out) : out(out) {}

    bool write(const Position &p, Clock::time_point received) override {
        std::string time = utcTimestamp(received).substr(11, 8);
        return put(out, time + "  lat " + fixed(p.value[kLatitude], 6) + "  lon " + fixed(p.value[kLongitude], 6) +
                            "  IAS " + fixed(p.value[kSpeed], 1) + " kt  elev " + fixed(p.value[kElevation], 0) +
                            " ft  hdg " + fixed(p.value[kHeading], 1) + "\n");
    }

private:
    std::FILE *out;
};

class JsonWriter : public PositionWriter {
public:
    explicit JsonWriter(std::FILE *out) : out(out) {}

    bool write(const Position &p, Clock::time_point received) override {
        std::string line = "{\"time\":\"" + utcTimestamp(received) + "\"";
        // The wire's digits are already a valid JSON number: no conversion, no rounding.
        for (int field = 0; field < kFieldCount; ++field) {
            line += ",\"" + std::string(kFieldNames[field]) + "\":";
            line += std::isfinite(p.value[field]) ? p.text[field] : "null";
        }
        return put(out, line + "}\n");
    }

private:
    std::FILE *out;
};

class CsvWriter : public PositionWriter {
public:
    explicit CsvWriter(std::FILE *out) : out(out) {
        std::string header = "time";
        for (const char *name : kFieldNames) header += std::string(",") + name;
        headerWritten = put(out, header + "\n");
    }

    bool write(const Position &p, Clock::time_point received) override {
        std::string row = utcTimestamp(received);
        for (const std::string &text : p.text) row += "," + text;
        return headerWritten && put(out, row + "\n");
    }

private:
    std::FILE *out;
    bool headerWritten;
};

// Each point is written together with the closing tags over the previous closing tags, in one write, and
// synced: the file on disk is a complete GPX document after every point, so a crash loses at most that point.
class GpxWriter : public PositionWriter {
public:
    explicit GpxWriter(int fd) : fd(fd) {}
    ~GpxWriter() override { ::close(fd); }

    bool start() {
        const std::string header =
            "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
            "<gpx version=\"1.1\" creator=\"feedclient\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n"
            "<trk><name>BelvantoPlugin feed</name>\n<trkseg>\n";
        return writeBody(header);
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
    bool writeBody(const std::string &text) {
        std::string data = text + "</trkseg>\n</trk>\n</gpx>\n";
        if (::pwrite(fd, data.data(), data.size(), bodyEnd) != static_cast<ssize_t>(data.size())) return false;
        bodyEnd += static_cast<off_t>(text.size());
        return ::fsync(fd) == 0;
    }

    int fd;
    off_t bodyEnd = 0;  // where the closing tags begin
    bool segmentBroken = false;
    bool segmentHasPoints = false;
};

}  // namespace

std::string utcTimestamp(Clock::time_point time) {
    auto milliseconds = std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(milliseconds / 1000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", utc.tm_year + 1900, utc.tm_mon + 1,
                  utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec, static_cast<int>(milliseconds % 1000));
    return buffer;
}

std::unique_ptr<PositionWriter> makeLiveWriter(std::FILE *out) { return std::make_unique<LiveWriter>(out); }
std::unique_ptr<PositionWriter> makeJsonWriter(std::FILE *out) { return std::make_unique<JsonWriter>(out); }
std::unique_ptr<PositionWriter> makeCsvWriter(std::FILE *out) { return std::make_unique<CsvWriter>(out); }

std::unique_ptr<PositionWriter> makeGpxWriter(const std::string &path, std::string &error) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    auto writer = std::make_unique<GpxWriter>(fd);
    if (!writer->start()) {
        error = path + ": " + std::strerror(errno);
        return nullptr;
    }
    return writer;
}

#include "formats/Writers.h"

#include <cmath>
#include <string_view>

#include "formats/Direction.h"
#include "formats/UtcTime.h"
#include "system/FixedText.h"

namespace {

class LiveWriter : public PositionSink {
public:
    explicit LiveWriter(TextOutput &out) : out(out) {}

    bool take(const Position &p, std::string_view, SystemClock::time_point received) override {
        std::string time = utcTimestamp(received).substr(11, 8);
        return out.put(time + "  lat " + fixedText(p.value[kLatitude], 6) + "  lon " +
                       fixedText(p.value[kLongitude], 6) + "  IAS " + fixedText(p.value[kSpeed], 1) + " kt  elev " +
                       fixedText(p.value[kElevation], 0) + " ft  hdg " + directionText(p.value[kHeading]) + "\n");
    }

private:
    TextOutput &out;
};

class JsonWriter : public PositionSink {
public:
    explicit JsonWriter(TextOutput &out) : out(out) {}

    bool take(const Position &p, std::string_view, SystemClock::time_point received) override {
        return out.put(positionJson(p, received) + "\n");
    }

private:
    TextOutput &out;
};

class CsvWriter : public PositionSink {
public:
    explicit CsvWriter(TextOutput &out) : out(out), headerWritten(out.put(csvHeader() + "\n")) {}

    bool take(const Position &p, std::string_view, SystemClock::time_point received) override {
        std::string row = utcTimestamp(received);
        for (const std::string &text : p.text) row += "," + text;
        return headerWritten && out.put(row + "\n");
    }

private:
    TextOutput &out;
    bool headerWritten;
};

}  // namespace

std::string jsonString(std::string_view text) {
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"' || c == '\\') {
            quoted += '\\';
            quoted += c;
        } else if (static_cast<unsigned char>(c) < 0x20) {
            const char hex[] = "0123456789abcdef";
            auto code = static_cast<unsigned char>(c);
            quoted += std::string("\\u00") + hex[code >> 4] + hex[code & 0xf];
        } else {
            quoted += c;
        }
    }
    return quoted + '"';
}

std::string positionJson(const Position &position, SystemClock::time_point received) {
    std::string json = "{\"time\":\"" + utcTimestamp(received) + "\"";
    // The wire's digits are already a valid JSON number: no conversion, no rounding.
    for (int field = 0; field < kFieldCount; ++field) {
        json += ",\"" + std::string(kFieldNames[field]) + "\":";
        json += std::isfinite(position.value[field]) ? position.text[field] : "null";
    }
    return json + "}";
}

std::string csvHeader() {
    std::string header = "time";
    for (const char *name : kFieldNames) header += std::string(",") + name;
    return header;
}

std::unique_ptr<PositionSink> makeLiveWriter(TextOutput &out) { return std::make_unique<LiveWriter>(out); }
std::unique_ptr<PositionSink> makeJsonWriter(TextOutput &out) { return std::make_unique<JsonWriter>(out); }
std::unique_ptr<PositionSink> makeCsvWriter(TextOutput &out) { return std::make_unique<CsvWriter>(out); }

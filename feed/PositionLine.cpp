#include "feed/PositionLine.h"

#include <charconv>
#include <cstring>

namespace {

// Appends to a fixed buffer, remembering whether anything failed to fit.
class LineWriter {
public:
    LineWriter(char *buffer, std::size_t size) : start(buffer), next(buffer), end(buffer + size) {}

    void text(const char *literal) {
        std::size_t length = std::strlen(literal);
        if (!fits) return;
        if (length > static_cast<std::size_t>(end - next)) {
            fits = false;
            return;
        }
        std::memcpy(next, literal, length);
        next += length;
    }

    // std::to_chars never consults the locale, and spells NaN and infinities the same everywhere.
    void fixed(double value) {
        if (!fits) return;
        std::to_chars_result result = std::to_chars(next, end, value, std::chars_format::fixed, 6);
        if (result.ec != std::errc()) {
            fits = false;
            return;
        }
        next = result.ptr;
    }

    // Terminates the line; returns its length, or 0 if it did not fit with its terminator, leaving an
    // empty string where there is room for one.
    int finish() {
        if (!fits || next == end) {
            if (start != end) *start = '\0';
            return 0;
        }
        *next = '\0';
        return static_cast<int>(next - start);
    }

private:
    char *start;
    char *next;
    char *end;
    bool fits = true;
};

}  // namespace

int formatPositionLine(const FlightData &data, char *buffer, std::size_t size) {
    LineWriter line(buffer, size);
    line.text("{version:\"1\",latitude:\"");
    line.fixed(data.latitude);
    line.text("\",longitude:\"");
    line.fixed(data.longitude);
    line.text("\",speed:\"");
    line.fixed(static_cast<double>(data.indicatedAirspeed));
    line.text("\",elevation:\"");
    line.fixed(data.elevation);
    line.text("\",heading:\"");
    line.fixed(static_cast<double>(data.heading));
    line.text("\"}\n");
    return line.finish();
}

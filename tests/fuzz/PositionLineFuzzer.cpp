// For any five values and any buffer, the position line is byte for byte what snprintf's "%f" writes in
// the "C" locale (the fuzzer's own), or, where that would not fit, nothing.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "feed/PositionLine.h"

namespace {

// The input, unpacked: the five values the line carries, then the size of the buffer to format into.
class Input {
public:
    Input(const uint8_t *data, std::size_t size) : next(data), end(data + size) {}

    template <typename Value>
    bool take(Value &value) {
        if (static_cast<std::size_t>(end - next) < sizeof value) return false;
        std::memcpy(&value, next, sizeof value);
        next += sizeof value;
        return true;
    }

private:
    const uint8_t *next;
    const uint8_t *end;
};

[[noreturn]] void fail(const char *what, const char *expected, const char *produced) {
    std::fprintf(stderr, "%s\nexpected: %s\nproduced: %s\n", what, expected, produced);
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    FlightData flight{};
    uint16_t bufferSize = 0;
    Input input(data, size);
    if (!input.take(flight.latitude) || !input.take(flight.longitude) || !input.take(flight.indicatedAirspeed) ||
        !input.take(flight.elevation) || !input.take(flight.heading) || !input.take(bufferSize)) {
        return -1;  // too short to be a case: not worth keeping
    }
    bufferSize %= 2 * kPositionLineBufferSize;

    char expected[2048];  // five values of at most 317 characters each, and the keys
    int expectedLength = std::snprintf(
        expected, sizeof expected,
        "{version:\"1\",latitude:\"%f\",longitude:\"%f\",speed:\"%f\",elevation:\"%f\",heading:\"%f\"}\n",
        flight.latitude, flight.longitude, static_cast<double>(flight.indicatedAirspeed), flight.elevation,
        static_cast<double>(flight.heading));

    // Exactly the size asked for, so that AddressSanitizer sees a write one byte past it.
    std::unique_ptr<char[]> buffer(new char[bufferSize + 1]);
    char *const line = buffer.get() + 1;  // buffer[0] guards the byte before
    buffer[0] = 'G';
    int length = formatPositionLine(flight, line, bufferSize);

    // What the buffer holds up to its first terminator, if it has one.
    std::string produced(line, strnlen(line, bufferSize));
    if (buffer[0] != 'G') fail("wrote before the buffer", "", "");
    if (expectedLength < static_cast<int>(bufferSize)) {
        if (length != expectedLength || std::memcmp(line, expected, static_cast<std::size_t>(expectedLength) + 1) != 0)
            fail("a line that fits differs from snprintf's", expected, produced.c_str());
    } else if (length != 0 || (bufferSize > 0 && line[0] != '\0')) {
        fail("a line that does not fit was produced", "(nothing)", produced.c_str());
    }
    return 0;
}

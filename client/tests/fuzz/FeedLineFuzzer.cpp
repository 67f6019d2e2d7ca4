// Any bytes from the network, as one line and as a stream cut into pieces: every line is either accepted,
// and then rebuilt from what was parsed it is exactly itself, with values that C's strtod reads alike, or
// rejected with a message. Never a crash, a read out of bounds or a hang.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "read/FeedLine.h"

namespace {

[[noreturn]] void fail(const std::string &what, std::string_view line) {
    std::fprintf(stderr, "%s: %s\n", what.c_str(), describeBadLine(0, line, "the line").c_str());
    std::abort();
}

bool sameNumber(double a, double b) { return (std::isnan(a) && std::isnan(b)) || a == b; }

void checkLine(std::string_view line) {
    Position position;
    std::string fault = parseFeedLine(line, position);
    if (!fault.empty()) {
        if (describeBadLine(1, line, fault).empty()) fail("rejected without a message", line);
        return;
    }
    for (int field = 0; field < kFieldCount; ++field) {
        // strtod reads the same grammar, nan and inf included, in the "C" locale the fuzzer runs in.
        const std::string &text = position.text[field];
        char *end = nullptr;
        double expected = std::strtod(text.c_str(), &end);
        if (end != text.c_str() + text.size() || !sameNumber(position.value[field], expected))
            fail(std::string("the value of ") + kFieldNames[field] + " is not its text's", line);
    }
    // The line a replay passes on is rebuilt so.
    std::string rebuilt = feedLine(position);
    if (rebuilt != line) fail("accepted, but rebuilt it is \"" + rebuilt + "\"", line);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::string_view bytes(reinterpret_cast<const char *>(data), size);
    checkLine(bytes);

    // The same bytes as they might come off a socket, in pieces of one size the input's first byte picks.
    std::size_t piece = size > 0 ? 1 + data[0] % 97 : 1;
    LineSplitter splitter;
    std::string line;
    for (std::size_t at = 0; at < size; at += piece) {
        splitter.append(bytes.data() + at, std::min(piece, size - at));
        while (splitter.next(line)) {
            if (line.size() > kMaxLineLength + 1) fail("the splitter handed out an overlong line", line);
            checkLine(line);
        }
    }
    return 0;
}

#pragma once

// Reading the plug-in's position feed: splitting the byte stream into lines and parsing each line
// strictly, with no dependence on the process locale.

#include <cstddef>
#include <string>
#include <string_view>

#include "read/Position.h"

// No line the plug-in sends, without its LF, is longer: it formats a line into a buffer that also holds
// the LF and a terminating NUL.
constexpr std::size_t kMaxLineLength = 510;

// The only version of the line there is, and the one this client reads.
inline constexpr const char kFeedVersion[] = "1";

// Parses one line without its LF. Returns an empty string on success, else what is wrong and at which
// column, e.g. `expected key "speed" at column 58, found "elevation"`; `position` is then unspecified.
std::string parseFeedLine(std::string_view line, Position &position);

// Checks one value, as the line holds it between its quotes, against the grammar [-] (digits "." six digits
// | nan | inf), and converts it. Returns an empty string, or what is wrong and at which offset in `text`
// (`faultAt`), e.g. "expected six decimals, found 5".
std::string readFeedValue(std::string_view text, double &value, std::size_t &faultAt);

// The plug-in's line, without its LF, that carries the position's values as they stand in its texts: the
// inverse of parseFeedLine, for a line to pass on that the plug-in sent, as a recording kept its values.
std::string feedLine(const Position &position);

// "line N: FAULT: TEXT", with TEXT escaped (control bytes as \r, \xNN) and cut to a readable length.
std::string describeBadLine(unsigned long lineNumber, std::string_view line, const std::string &fault);

// Splits received bytes into lines. A line longer than kMaxLineLength is handed out as soon as that is
// known, cut to kMaxLineLength + 1 bytes so the parser rejects it, and the rest of it up to its LF skipped.
class LineSplitter {
public:
    void append(const char *data, std::size_t size) { pending.append(data, size); }
    // Takes the next line without its LF; false when no complete line is waiting.
    bool next(std::string &line);
    // How many bytes of an unfinished line are held (0 while skipping the rest of an overlong one).
    std::size_t unfinishedBytes() const { return skipping ? 0 : pending.size(); }
    void clear() {
        pending.clear();
        skipping = false;
    }

private:
    std::string pending;
    bool skipping = false;
};

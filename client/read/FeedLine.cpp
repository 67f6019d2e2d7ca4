#include "read/FeedLine.h"

#include <cctype>
#include <charconv>
#include <limits>
#include <system_error>

namespace {

constexpr int kDecimals = 6;
constexpr std::size_t kShownLength = 160;

bool isDigit(char c) { return c >= '0' && c <= '9'; }

void appendEscaped(std::string &out, char c) {
    static const char kHex[] = "0123456789abcdef";
    unsigned char byte = static_cast<unsigned char>(c);
    if (c == '\\') {
        out += "\\\\";
    } else if (c == '\r') {
        out += "\\r";
    } else if (c == '\t') {
        out += "\\t";
    } else if (byte < 0x20 || byte >= 0x7f) {
        out += "\\x";
        out += kHex[byte >> 4];
        out += kHex[byte & 15];
    } else {
        out += c;
    }
}

std::string quotedChar(char c) {
    std::string out = "'";
    appendEscaped(out, c);
    return out + "'";
}

std::string column(std::size_t index) { return " at column " + std::to_string(index + 1); }

// ", found X" for what stands at `index`: a whole word where there is one, else one character.
std::string found(std::string_view line, std::size_t index) {
    if (index >= line.size()) return ", found the end of the line";
    std::size_t end = index;
    while (end < line.size() && std::isalpha(static_cast<unsigned char>(line[end]))) ++end;
    if (end - index > 1) return ", found \"" + std::string(line.substr(index, end - index)) + "\"";
    return ", found " + quotedChar(line[index]);
}

}  // namespace

std::string readFeedValue(std::string_view text, double &value, std::size_t &faultAt) {
    std::size_t at = text.size() > 0 && text[0] == '-' ? 1 : 0;
    std::string_view unsigned_ = text.substr(at);
    if (unsigned_ == "nan" || unsigned_ == "inf") {
        value = unsigned_ == "nan" ? std::numeric_limits<double>::quiet_NaN()
                                   : (at ? -1 : 1) * std::numeric_limits<double>::infinity();
        return {};
    }
    faultAt = at;
    if (at == text.size()) return text.empty() ? "empty value" : "expected a digit after '-'";
    if (!isDigit(text[at])) return "expected a digit, found " + quotedChar(text[at]);
    std::size_t integerStart = at;
    while (at < text.size() && isDigit(text[at])) ++at;
    if (text[integerStart] == '0' && at - integerStart > 1) {
        faultAt = integerStart;
        return "leading zero";
    }
    faultAt = at;
    if (at == text.size()) return "expected '.' after the integer digits, found the end of the value";
    if (text[at] != '.') return "expected '.' after the integer digits, found " + quotedChar(text[at]);
    std::size_t decimalsStart = ++at;
    while (at < text.size() && isDigit(text[at])) ++at;
    if (at < text.size()) {
        faultAt = at;
        return "expected a decimal digit, found " + quotedChar(text[at]);
    }
    if (at - decimalsStart != kDecimals) {
        faultAt = decimalsStart;
        return "expected six decimals, found " + std::to_string(at - decimalsStart);
    }
    // The grammar above is a subset of what from_chars reads, and from_chars never consults the locale.
    std::from_chars_result result =
        std::from_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    faultAt = 0;
    if (result.ec == std::errc::result_out_of_range) return "number out of range";
    if (result.ec != std::errc() || result.ptr != text.data() + text.size()) return "not a number";
    return {};
}

std::string parseFeedLine(std::string_view line, Position &position) {
    if (line.size() > kMaxLineLength) return "line longer than " + std::to_string(kMaxLineLength) + " characters";
    std::size_t at = 0;
    auto literal = [&](std::string_view text) {
        if (line.substr(at, text.size()) != text) return false;
        at += text.size();
        return true;
    };
    auto fault = [&](const std::string &expected) { return "expected " + expected + column(at) + found(line, at); };

    if (!literal("{")) return fault("'{'");
    // The version comes first, then the five fields.
    for (int field = -1; field < kFieldCount; ++field) {
        std::string key = field < 0 ? "version" : kFieldNames[field];
        if (field >= 0 && !literal(",")) return fault("',' before key \"" + key + "\"");
        if (!literal(key)) return fault("key \"" + key + "\"");
        if (!literal(":")) return fault("':' after key \"" + key + "\"");
        if (!literal("\"")) return fault("'\"' before the value of \"" + key + "\"");
        std::size_t valueStart = at;
        std::size_t valueEnd = line.find('"', valueStart);
        if (valueEnd == std::string_view::npos)
            return "value of \"" + key + "\"" + column(valueStart) + " has no closing '\"'";
        std::string_view text = line.substr(valueStart, valueEnd - valueStart);
        if (field < 0) {
            if (text != kFeedVersion)
                return "version \"" + std::string(text) + "\"" + column(valueStart) + " is not the version \"" +
                       kFeedVersion + "\" this client reads";
        } else {
            std::size_t faultAt = 0;
            std::string problem = readFeedValue(text, position.value[field], faultAt);
            if (!problem.empty()) return "bad value of \"" + key + "\"" + column(valueStart + faultAt) + ": " + problem;
            position.text[field] = text;
        }
        at = valueEnd + 1;
    }
    if (!literal("}")) return fault("'}'");
    if (at != line.size()) return "unexpected " + quotedChar(line[at]) + " after '}'" + column(at);
    return {};
}

// The same keys, in the same order, as the parser above expects them.
std::string feedLine(const Position &position) {
    std::string line = std::string("{version:\"") + kFeedVersion + "\"";
    for (int field = 0; field < kFieldCount; ++field)
        line += std::string(",") + kFieldNames[field] + ":\"" + position.text[field] + "\"";
    return line + "}";
}

std::string describeBadLine(unsigned long lineNumber, std::string_view line, const std::string &fault) {
    std::string out = "line " + std::to_string(lineNumber) + ": " + fault + ": ";
    for (std::size_t i = 0; i < line.size() && i < kShownLength; ++i) appendEscaped(out, line[i]);
    if (line.size() > kShownLength) out += "... (" + std::to_string(line.size()) + " bytes)";
    return out;
}

bool LineSplitter::next(std::string &line) {
    for (;;) {
        std::size_t end = pending.find('\n');
        if (skipping) {
            if (end == std::string::npos) {
                pending.clear();
                return false;
            }
            pending.erase(0, end + 1);
            skipping = false;
            continue;
        }
        if (end != std::string::npos && end <= kMaxLineLength) {
            line.assign(pending, 0, end);
            pending.erase(0, end + 1);
            return true;
        }
        if (pending.size() <= kMaxLineLength) return false;
        line.assign(pending, 0, kMaxLineLength + 1);
        pending.erase(0, kMaxLineLength + 1);
        skipping = true;
        return true;
    }
}

#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <random>
#include <regex>
#include <string>

#include "read/FeedLine.h"
#include "read/Position.h"

namespace {

const std::string kGoodLine =
    "{version:\"1\",latitude:\"47.458056\",longitude:\"8.548056\",speed:\"142.370003\",elevation:\"1417.322880\","
    "heading:\"271.250000\"}";

std::string lineWith(const std::string &latitude, const std::string &longitude, const std::string &speed,
                     const std::string &elevation, const std::string &heading) {
    return "{version:\"1\",latitude:\"" + latitude + "\",longitude:\"" + longitude + "\",speed:\"" + speed +
           "\",elevation:\"" + elevation + "\",heading:\"" + heading + "\"}";
}

// The good line with its first `from` replaced by `to`.
std::string goodLineWith(const std::string &from, const std::string &to) {
    std::string line = kGoodLine;
    line.replace(line.find(from), from.size(), to);
    return line;
}

std::string faultOf(const std::string &line) {
    Position position;
    return parseFeedLine(line, position);
}

TEST(FeedLineParse, ReadsTheDocumentedLine) {
    Position position;
    ASSERT_EQ(parseFeedLine(kGoodLine, position), "");
    EXPECT_EQ(position.value[kLatitude], 47.458056);
    EXPECT_EQ(position.value[kLongitude], 8.548056);
    EXPECT_EQ(position.value[kSpeed], 142.370003);
    EXPECT_EQ(position.value[kElevation], 1417.322880);
    EXPECT_EQ(position.value[kHeading], 271.25);
    EXPECT_EQ(position.text[kSpeed], "142.370003");
    EXPECT_EQ(position.text[kElevation], "1417.322880");
}

TEST(FeedLineParse, ReadsEverySpellingPercentFHas) {
    Position position;
    ASSERT_EQ(
        parseFeedLine(lineWith("-33.856784", "-0.000000", "0.000000", "123456789012.000000", "359.999985"), position),
        "");
    EXPECT_EQ(position.value[kLatitude], -33.856784);
    EXPECT_TRUE(std::signbit(position.value[kLongitude]));
    EXPECT_EQ(position.value[kElevation], 123456789012.0);

    ASSERT_EQ(parseFeedLine(lineWith("nan", "-nan", "inf", "-inf", "1.000000"), position), "");
    EXPECT_TRUE(std::isnan(position.value[kLatitude]));
    EXPECT_TRUE(std::isnan(position.value[kLongitude]));
    EXPECT_EQ(position.value[kSpeed], HUGE_VAL);
    EXPECT_EQ(position.value[kElevation], -HUGE_VAL);
    EXPECT_EQ(position.text[kLongitude], "-nan");
}

TEST(FeedLineParse, IgnoresTheProcessLocale) {
    if (!std::setlocale(LC_ALL, "de_DE.UTF-8")) GTEST_SKIP() << "no de_DE.UTF-8 locale";
    Position position;
    std::string fault = parseFeedLine(kGoodLine, position);
    std::setlocale(LC_ALL, "C");
    ASSERT_EQ(fault, "");
    EXPECT_EQ(position.value[kLatitude], 47.458056);
    EXPECT_EQ(faultOf(goodLineWith("47.458056", "47,458056")),
              "bad value of \"latitude\" at column 26: expected '.' after the integer digits, found ','");
}

TEST(FeedLineParse, TakesLinesUpTo510CharactersOnly) {
    // The longest line the plug-in can send, its digits spread over three values; one digit more is too long.
    std::string digits(130, '7');
    auto withHeadingDigits = [&](std::size_t count) {
        return lineWith("1.000000", "2.000000", digits + ".000000", digits + ".000000",
                        std::string(count, '3') + ".000000");
    };
    std::string longest = withHeadingDigits(1 + kMaxLineLength - withHeadingDigits(1).size());
    ASSERT_EQ(longest.size(), kMaxLineLength);
    EXPECT_EQ(faultOf(longest), "");
    EXPECT_EQ(faultOf("1" + longest), "line longer than 510 characters");
}

struct Rejection {
    const char *what;
    std::string line;
    std::string fault;
};

void expectRejections(const std::vector<Rejection> &cases) {
    for (const Rejection &rejection : cases) EXPECT_EQ(faultOf(rejection.line), rejection.fault) << rejection.what;
}

TEST(FeedLineParse, RejectsBadFraming) {
    expectRejections({
        {"empty line", "", "expected '{' at column 1, found the end of the line"},
        {"carriage return", kGoodLine + "\r", "unexpected '\\r' after '}' at column 120"},
        {"trailing space", kGoodLine + " ", "unexpected ' ' after '}' at column 120"},
        {"two lines run together", kGoodLine + kGoodLine, "unexpected '{' after '}' at column 120"},
        {"cut short", kGoodLine.substr(0, 118), "expected '}' at column 119, found the end of the line"},
        {"cut inside a value", kGoodLine.substr(0, 112), "value of \"heading\" at column 108 has no closing '\"'"},
        {"NUL inside a value",
         goodLineWith("8.548056", std::string("8.54\0"
                                              "056",
                                              8)),
         "bad value of \"longitude\" at column 50: expected a decimal digit, found '\\x00'"},
        {"JSON", goodLineWith("{version:", "{\"version\":"), "expected key \"version\" at column 2, found '\"'"},
        {"leading byte-order mark", "\xEF\xBB\xBF" + kGoodLine, "expected '{' at column 1, found '\\xef'"},
    });
}

TEST(FeedLineParse, RejectsWrongKeys) {
    expectRejections({
        {"reordered",
         goodLineWith("speed:\"142.370003\",elevation:\"1417.322880\"",
                      "elevation:\"1417.322880\",speed:\"142.370003\""),
         "expected key \"speed\" at column 56, found \"elevation\""},
        {"missing", goodLineWith(",heading:\"271.250000\"", ""),
         "expected ',' before key \"heading\" at column 98, found '}'"},
        {"extra", goodLineWith("\"}", "\",pitch:\"1.000000\"}"), "expected '}' at column 119, found ','"},
        {"other case", goodLineWith("speed", "Speed"), "expected key \"speed\" at column 56, found \"Speed\""},
        {"space after comma", goodLineWith(",speed", ", speed"), "expected key \"speed\" at column 56, found ' '"},
        {"longer key", goodLineWith("speed", "speedy"), "expected ':' after key \"speed\" at column 61, found 'y'"},
        {"unquoted value", goodLineWith("\"142.370003\"", "142.370003"),
         "expected '\"' before the value of \"speed\" at column 62, found '1'"},
        {"another version", goodLineWith("\"1\"", "\"2\""),
         "version \"2\" at column 11 is not the version \"1\" this client reads"},
    });
}

TEST(FeedLineParse, RejectsNumbersPercentFNeverWrites) {
    auto speed = [](const std::string &text) { return goodLineWith("142.370003", text); };
    const std::string at63 = "bad value of \"speed\" at column 63: ";
    expectRejections({
        {"five decimals", speed("142.37000"), "bad value of \"speed\" at column 67: expected six decimals, found 5"},
        {"seven decimals", speed("142.3700031"), "bad value of \"speed\" at column 67: expected six decimals, found 7"},
        {"no point", speed("142"),
         "bad value of \"speed\" at column 66: expected '.' after the integer digits, found the end of the value"},
        {"exponent", speed("1.423700e+02"), "bad value of \"speed\" at column 71: expected a decimal digit, found 'e'"},
        {"plus sign", speed("+142.370003"), at63 + "expected a digit, found '+'"},
        {"no integer digit", speed(".370003"), at63 + "expected a digit, found '.'"},
        {"leading zero", speed("0142.370003"), at63 + "leading zero"},
        {"minus alone", speed("-"), "bad value of \"speed\" at column 64: expected a digit after '-'"},
        {"empty", speed(""), at63 + "empty value"},
        {"leading space", speed(" 142.370003"), at63 + "expected a digit, found ' '"},
        {"capitalised NaN", speed("NaN"), at63 + "expected a digit, found 'N'"},
        {"nan with more", speed("nan(1)"), at63 + "expected a digit, found 'n'"},
        {"infinity spelt out", speed("infinity"), at63 + "expected a digit, found 'i'"},
        {"plus infinity", speed("+inf"), at63 + "expected a digit, found '+'"},
        {"beyond a double", goodLineWith("47.458056", "1" + std::string(309, '0') + ".000000"),
         "bad value of \"latitude\" at column 24: number out of range"},
    });
}

// Random edits of good lines: the parser takes exactly the lines the grammar, as a regular expression,
// takes, and says where each other one goes wrong.
TEST(FeedLineParse, AgreesWithTheGrammarOnRandomEdits) {
    const std::string value = "\"(-?(?:(?:0|[1-9][0-9]*)\\.[0-9]{6}|nan|inf))\"";
    const std::regex grammar("\\{version:\"1\",latitude:" + value + ",longitude:" + value + ",speed:" + value +
                             ",elevation:" + value + ",heading:" + value + "\\}");
    const std::string alphabet = std::string("{}\":,.-019naif \r\n\x7f\xff") + '\0';
    std::mt19937 random(27015);
    int accepted = 0;
    for (int round = 0; round < 20000; ++round) {
        std::string line = round % 2 ? kGoodLine : lineWith("-0.000000", "nan", "-inf", "10.000000", "0.500000");
        for (int edits = 1 + random() % 3; edits > 0; --edits) {
            std::size_t at = random() % (line.size() + 1);
            char c = alphabet[random() % alphabet.size()];
            switch (random() % 3) {
                case 0:
                    line.insert(at, 1, c);
                    break;
                case 1:
                    if (at < line.size()) line.erase(at, 1);
                    break;
                default:
                    if (at < line.size()) line[at] = c;
                    break;
            }
        }
        std::string fault = faultOf(line);
        bool matches = std::regex_match(line, grammar);
        ASSERT_EQ(fault.empty(), matches) << testing::PrintToString(line) << " " << fault;
        if (!matches) {
            EXPECT_NE(fault.find(" at column "), std::string::npos) << fault;
        }
        accepted += matches;
    }
    EXPECT_GT(accepted, 100);  // some edits keep the line good, and those must pass too
}

TEST(BadLineDescription, NamesTheLineAndShowsItEscaped) {
    EXPECT_EQ(describeBadLine(12, std::string("ab\r\0\x7f\"c\\", 8), "fault"),
              "line 12: fault: ab\\r\\x00\\x7f\"c\\\\");
    std::string shown = describeBadLine(3, std::string(600, 'x'), "line longer than 510 characters");
    EXPECT_EQ(shown, "line 3: line longer than 510 characters: " + std::string(160, 'x') + "... (600 bytes)");
}

std::vector<std::string> takeAll(LineSplitter &splitter) {
    std::vector<std::string> lines;
    std::string line;
    while (splitter.next(line)) lines.push_back(line);
    return lines;
}

TEST(LineSplitter, JoinsLinesAcrossReads) {
    LineSplitter splitter;
    splitter.append("abc", 3);
    EXPECT_TRUE(takeAll(splitter).empty());
    EXPECT_EQ(splitter.unfinishedBytes(), 3u);
    splitter.append("\nde", 3);
    EXPECT_EQ(takeAll(splitter), std::vector<std::string>{"abc"});
    splitter.append("f\n\ng\r\n", 6);
    EXPECT_EQ(takeAll(splitter), (std::vector<std::string>{"def", "", "g\r"}));
    EXPECT_EQ(splitter.unfinishedBytes(), 0u);
}

TEST(LineSplitter, HandsOutAnOverlongLineAtOnceThenSkipsItsRest) {
    LineSplitter splitter;
    std::string overlong(600, 'x');
    splitter.append(overlong.data(), overlong.size());
    EXPECT_EQ(takeAll(splitter), std::vector<std::string>{std::string(kMaxLineLength + 1, 'x')});
    EXPECT_EQ(splitter.unfinishedBytes(), 0u);
    splitter.append("yyy", 3);
    EXPECT_TRUE(takeAll(splitter).empty());
    splitter.append("y\ngood\n", 7);
    EXPECT_EQ(takeAll(splitter), std::vector<std::string>{"good"});

    std::string exactlyLongest(kMaxLineLength, 'z');
    splitter.append((exactlyLongest + "\n").data(), kMaxLineLength + 1);
    EXPECT_EQ(takeAll(splitter), std::vector<std::string>{exactlyLongest});
}

}  // namespace

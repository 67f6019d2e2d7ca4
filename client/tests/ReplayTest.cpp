#include <gtest/gtest.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "Positions.h"
#include "feed/FlightData.h"
#include "feed/PositionLine.h"
#include "formats/Recording.h"
#include "formats/UtcTime.h"
#include "formats/Writers.h"
#include "read/FeedLine.h"
#include "replay/RecordingFile.h"
#include "replay/ReplaySession.h"

namespace {

TEST(UtcTimestamp, ReadsBackEveryTimeItWrites) {
    std::mt19937_64 random(27015);
    std::uniform_int_distribution<long long> milliseconds(0, 7258118400000);  // 1970 to 2200
    for (int i = 0; i < 100000; ++i) {
        SystemClock::time_point time{std::chrono::milliseconds(milliseconds(random))};
        SystemClock::time_point read;
        ASSERT_TRUE(parseUtcTimestamp(utcTimestamp(time), read)) << utcTimestamp(time);
        ASSERT_EQ(read, time) << utcTimestamp(time);
    }
    SystemClock::time_point read;
    for (const char *text : {"2026-02-29T00:00:00.000Z", "2100-02-29T00:00:00.000Z", "2026-13-01T00:00:00.000Z",
                             "2026-04-31T00:00:00.000Z", "2026-12-07T24:00:00.000Z", "2026-12-07T23:60:00.000Z",
                             "2026-12-07T23:14:60.000Z", "2026-12-07T23:14:58.12Z", "2026-12-07 23:14:58.123Z",
                             "2026-12-07T23:14:58.123", "2026-12-07T23:14:58.123+00:00", "+026-12-07T23:14:58.123Z"})
        EXPECT_FALSE(parseUtcTimestamp(text, read)) << text;
    EXPECT_TRUE(parseUtcTimestamp("2024-02-29T23:59:59.999Z", read));
}

// The writers' lines of `position`, without their LF.
std::string jsonOf(const Position &position) { return positionJson(position, kReceived); }
std::string csvOf(const Position &position) {
    std::string row = utcTimestamp(kReceived);
    for (const std::string &text : position.text) row += "," + text;
    return row;
}

TEST(Recording, ReadsBackWhatTheWritersWroteWithThePluginsLine) {
    const Position kNegative = positionOf("-33.946111", "-0.000000", "0.000000", "123456789012.000000", "359.999985");
    for (const Position &position : {kZurich, kNegative, kNonFinite}) {
        std::string line = feedLine(position);
        RecordedPosition recorded;
        ASSERT_EQ(parseRecordedLine(RecordingFormat::kCsv, csvOf(position), recorded), "") << line;
        // CSV keeps every value as sent, nan and inf too.
        EXPECT_EQ(recorded.line, line);
        EXPECT_EQ(recorded.received, kReceived);
        EXPECT_EQ(feedLine(recorded.position), line);
        ASSERT_EQ(parseRecordedLine(RecordingFormat::kJsonLines, jsonOf(position), recorded), "") << line;
        EXPECT_EQ(recorded.received, kReceived);
        // JSON keeps every finite value's digits; its null, for NaN and the infinities alike, is read as nan.
        for (int field = 0; field < kFieldCount; ++field) {
            bool finite = std::isfinite(position.value[field]);
            EXPECT_EQ(recorded.position.text[field], finite ? position.text[field] : "nan") << line;
            EXPECT_EQ(std::isnan(recorded.position.value[field]), !finite);
        }
        EXPECT_EQ(jsonOf(recorded.position), jsonOf(position));
    }
}

TEST(Recording, RebuildsTheLineThePluginFormats) {
    // The plug-in's formatter and the line rebuilt from a recording's values agree byte for byte.
    std::mt19937_64 random(1);
    std::uniform_real_distribution<double> degrees(-180, 180), feet(-1000, 60000);
    for (int i = 0; i < 10000; ++i) {
        FlightData data{};
        data.latitude = degrees(random) / 2;
        data.longitude = degrees(random);
        data.elevation = feet(random);
        data.indicatedAirspeed = static_cast<float>(feet(random) / 100);
        data.heading = static_cast<float>(degrees(random) + 180);
        char buffer[kPositionLineBufferSize];
        int length = formatPositionLine(data, buffer, sizeof buffer);
        ASSERT_GT(length, 0);
        std::string sent(buffer, static_cast<std::size_t>(length) - 1);  // without its LF
        Position position;
        ASSERT_EQ(parseFeedLine(sent, position), "");
        RecordedPosition recorded;
        ASSERT_EQ(parseRecordedLine(RecordingFormat::kJsonLines, jsonOf(position), recorded), "");
        ASSERT_EQ(recorded.line, sent);
    }
}

TEST(Recording, SaysWhatIsWrongWithALineAndWhere) {
    const std::string json = jsonOf(kZurich), csv = csvOf(kZurich);
    auto with = [](std::string line, const std::string &from, const std::string &to) {
        return line.replace(line.find(from), from.size(), to);
    };
    auto faultOf = [](RecordingFormat format, const std::string &line) {
        RecordedPosition recorded;
        return parseRecordedLine(format, line, recorded);
    };
    const struct {
        RecordingFormat format;
        std::string line, fault;
    } cases[] = {
        {RecordingFormat::kJsonLines, "", "expected {\"time\":\" at the start"},
        {RecordingFormat::kJsonLines, with(json, "58.123", "58.1"),
         "bad time at column 10: expected a UTC time such as 2026-12-07T23:14:58.123Z"},
        {RecordingFormat::kJsonLines, with(json, "1417.322880", "1417.32288"),
         "bad value of \"elevation\" at column 114: expected six decimals, found 5"},
        {RecordingFormat::kJsonLines, with(json, "142.370003", "\"142.370003\""),
         "bad value of \"speed\" at column 86: expected a digit, found '\"'"},
        {RecordingFormat::kJsonLines, with(json, "142.370003", "inf"),
         "bad value of \"speed\" at column 86: expected a number or null"},
        {RecordingFormat::kJsonLines, with(json, ",\"speed\"", ", \"speed\""), "expected ,\"speed\": at column 77"},
        {RecordingFormat::kJsonLines, json + " ", "expected '}' and the end of the line at column 141"},
        {RecordingFormat::kJsonLines, with(json, "}", ",\"pitch\":1.000000}"),
         "bad value of \"heading\" at column 141: expected a decimal digit, found ','"},
        {RecordingFormat::kCsv, with(csv, "T23", " 23"),
         "bad time at column 1: expected a UTC time such as 2026-12-07T23:14:58.123Z"},
        {RecordingFormat::kCsv, with(csv, "142.370003", "142.37"),
         "bad value of \"speed\" at column 49: expected six decimals, found 2"},
        {RecordingFormat::kCsv, csv + ",1.000000", "expected 6 values, the time and latitude to heading, separated by commas"},
        {RecordingFormat::kCsv, with(csv, ",8.548056", ""), "expected 6 values, the time and latitude to heading, separated by commas"},
        // Each value within the plug-in's grammar, but together longer than any line it sends.
        {RecordingFormat::kCsv,
         with(with(csv, "1417.322880", std::string(300, '1') + ".000000"), "142.370003", std::string(200, '1') + ".000000"),
         "its values make no line of the plug-in's: line longer than 510 characters"},
    };
    for (const auto &c : cases) EXPECT_EQ(faultOf(c.format, c.line), c.fault) << c.line;
}

TEST(Recording, TellsAFileByItsFirstLine) {
    RecordingFormat format = RecordingFormat::kJsonLines;
    EXPECT_EQ(recordingFormatOf(csvHeader(), format), "");
    EXPECT_EQ(format, RecordingFormat::kCsv);
    EXPECT_EQ(recordingFormatOf(jsonOf(kZurich), format), "");
    EXPECT_EQ(format, RecordingFormat::kJsonLines);
    EXPECT_EQ(recordingFormatOf("{\"time\":\"yesterday\"}", format),
              "not a recording of feedclient's --json: line 1: bad time at column 10: expected a UTC time such as "
              "2026-12-07T23:14:58.123Z: {\"time\":\"yesterday\"}");
    EXPECT_EQ(recordingFormatOf(feedLine(kZurich), format).substr(0, 50),
              "the plug-in's own lines, with no time to replay th");
    EXPECT_EQ(recordingFormatOf("<?xml version=\"1.0\" encoding=\"UTF-8\"?>", format).substr(0, 11), "a GPX track");
    EXPECT_EQ(recordingFormatOf("take-off 10:40", format).substr(0, 52),
              "not a recording feedclient made with --json or --csv");
}

// A recording in a file of its own, and what a replay of it hands its sink.
class Replay : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/feedclient-replay-XXXXXX";
        int file = mkstemp(name);
        ASSERT_GE(file, 0);
        close(file);
        path = name;
    }
    void TearDown() override { std::remove(path.c_str()); }

    // Replays `text` as fast as it goes; returns what the sink was told, a letter for each connection (C)
    // and loss (L), and each position's latitude.
    std::string replay(const std::string &text, bool loop = false, unsigned long count = 0) {
        std::ofstream(path, std::ios::binary) << text;
        RecordingFile file;
        std::string error;
        EXPECT_TRUE(file.open(path, error)) << error;
        struct : PositionSink {
            void feedConnected() override { told += "C "; }
            bool take(const Position &position, std::string_view line, SystemClock::time_point received) override {
                told += position.text[kLatitude] + (line == feedLine(position) ? "" : "(not its line)") + " ";
                times.push_back(received);
                return true;
            }
            void feedLost() override { told += "L "; }
            std::string told;
            std::vector<SystemClock::time_point> times;
        } sink;
        ReplaySession session(file, 0, loop, count, SteadyClock::duration::zero(), {&sink}, [] { return 0; });
        for (int turns = 0; !session.done() && turns < 100; ++turns) session.serve(nullptr);
        status = session.exitStatus();
        times = sink.times;
        return sink.told;
    }

    std::string path;
    int status = -1;
    std::vector<SystemClock::time_point> times;  // each position's, as recorded
};

// A CSV row at `second` seconds past 23:14:00 with latitude `latitude`.
std::string row(int second, const std::string &latitude) {
    char time[32];
    std::snprintf(time, sizeof time, "2026-12-07T23:%02d:%02d.123Z", 14 + second / 60, second % 60);
    return std::string(time) + "," + latitude + ",8.548056,142.370003,1417.322880,271.250000\n";
}

TEST_F(Replay, PlaysAGapOfMoreThan3sAsALostFeed) {
    const std::string header = csvHeader() + "\n";
    EXPECT_EQ(replay(header + row(0, "1.000000") + row(1, "2.000000") + row(4, "3.000000") + row(8, "4.000000") +
                     row(7, "5.000000")),
              "C 1.000000 2.000000 3.000000 L C 4.000000 L C 5.000000 ");
    EXPECT_EQ(status, 0);
    ASSERT_EQ(times.size(), 5u);
    EXPECT_EQ(utcTimestamp(times[3]), "2026-12-07T23:14:08.123Z");
    // A header again is another recording, a second later or not.
    EXPECT_EQ(replay(header + row(0, "1.000000") + header + row(1, "2.000000")), "C 1.000000 L C 2.000000 ");
}

TEST_F(Replay, SkipsBadLinesOnceAndLoopsAsANewConnection) {
    const std::string text = csvHeader() + "\n" + row(0, "1.000000") + "not a row\r\n" + row(1, "2.000000") + "\r\n";
    EXPECT_EQ(replay(text), "C 1.000000 2.000000 ");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(replay(text, true, 5), "C 1.000000 2.000000 L C 1.000000 2.000000 L C 1.000000 ");
    EXPECT_EQ(status, 1);
    // A recording of no position ends, loop or not.
    EXPECT_EQ(replay(csvHeader() + "\n", true), "");
    EXPECT_EQ(status, 0);
}

TEST(RecordingFile, RefusesWhatIsNoRecording) {
    RecordingFile file;
    std::string error;
    EXPECT_FALSE(file.open("/nonexistent-folder/flight.jsonl", error));
    EXPECT_EQ(error, "/nonexistent-folder/flight.jsonl: No such file or directory");
    RecordingFile empty;
    EXPECT_FALSE(empty.open("/dev/null", error));
    EXPECT_EQ(error, "/dev/null: empty: no recording to replay");
}

}  // namespace

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Options.h"

namespace {

std::string problemWith(std::vector<const char *> arguments, Options &options) {
    return parseOptions(static_cast<int>(arguments.size()), arguments.data(), options);
}

std::string problemWith(std::vector<const char *> arguments) {
    Options options;
    return problemWith(std::move(arguments), options);
}

TEST(Options, ReadTheLocalFeedLiveByDefault) {
    Options options;
    ASSERT_EQ(problemWith({}, options), "");
    EXPECT_EQ(options.host + ":" + options.port, "127.0.0.1:27015");
    EXPECT_EQ(options.mode, Mode::kLive);
    EXPECT_EQ(options.relayPort + options.nmeaPort + static_cast<int>(options.count), 0);
}

TEST(Options, GoTogetherInEitherSpelling) {
    Options options;
    ASSERT_EQ(
        problemWith({"--gpx=track.gpx", "--relay", "27115", "sim.local:4000", "--nmea=27116", "--count", "3"}, options),
        "");
    EXPECT_EQ(options.mode, Mode::kGpx);
    EXPECT_EQ(options.gpxPath, "track.gpx");
    EXPECT_EQ(options.host + ":" + options.port, "sim.local:4000");
    EXPECT_EQ(options.relayPort, 27115);
    EXPECT_EQ(options.nmeaPort, 27116);
    EXPECT_EQ(options.count, 3u);
    EXPECT_FALSE(options.openMap);
    ASSERT_EQ(problemWith({"--http", "8080", "--tiles", "http://tiles.local/{z}/{x}/{y}.png", "--open"}, options), "");
    EXPECT_EQ(options.httpPort, 8080);
    EXPECT_EQ(options.tiles, "http://tiles.local/{z}/{x}/{y}.png");
    EXPECT_TRUE(options.openMap);

    ASSERT_EQ(problemWith({"--count", "abc", "--help"}, options), "--count needs a positive whole number, got \"abc\"");
    ASSERT_EQ(problemWith({"--json", "--help", "--count", "abc"}, options), "");
    EXPECT_TRUE(options.help);
}

TEST(Options, ReplayARecordingInsteadOfTheFeed) {
    Options options;
    ASSERT_EQ(problemWith({"--replay", "flight.jsonl", "--speed", "10", "--loop", "--relay", "27015"}, options), "");
    EXPECT_EQ(options.replayPath, "flight.jsonl");
    EXPECT_EQ(options.speed, 10);
    EXPECT_TRUE(options.loop);
    ASSERT_EQ(problemWith({"--replay=flight.csv", "--speed=2.5"}, options), "");
    EXPECT_EQ(options.speed, 2.5);
    ASSERT_EQ(problemWith({"--replay", "flight.csv", "--speed", "0"}, options), "");
    EXPECT_EQ(options.speed, 0);
    EXPECT_EQ(Options().speed, 1);
}

TEST(Options, SayWhatIsWrongAndWithWhichOption) {
    const struct {
        std::vector<const char *> arguments;
        const char *problem;
    } cases[] = {
        {{"--count", "abc"}, "--count needs a positive whole number, got \"abc\""},
        {{"--count=0"}, "--count needs a positive whole number, got \"0\""},
        {{"--count"}, "--count needs a positive whole number"},
        {{"--relay", "65536"}, "--relay needs a port number from 1 to 65535, got \"65536\""},
        {{"--nmea", ""}, "--nmea needs a port number from 1 to 65535, got \"\""},
        {{"--nmea"}, "--nmea needs a port number from 1 to 65535"},
        {{"--relay", "1", "--relay", "2"}, "--relay given twice"},
        {{"--relay", "27115", "--nmea", "27115"}, "--relay and --nmea need ports of their own, both got 27115"},
        {{"--http=80", "--nmea", "80"}, "--nmea and --http need ports of their own, both got 80"},
        {{"--http", "80", "--tiles", "tiles/{z}/{x}/{y}.png"},
         "--tiles needs an http:// or https:// URL with {z}, {x} and {y} in it, got \"tiles/{z}/{x}/{y}.png\""},
        {{"--tiles=http://t/{z}/{x}/{y}.png"}, "--tiles is for the map of --http, which was not asked for"},
        {{"--open", "--relay", "80"}, "--open is for the map of --http, which was not asked for"},
        {{"--http", "80", "--open=yes"}, "--open takes no value, got \"yes\""},
        {{"--json", "--csv"}, "--csv and --json cannot go together: choose one output"},
        {{"--gpx"}, "--gpx needs a file name"},
        {{"--gpx", "--json"}, "--gpx needs a file name, got \"--json\""},
        {{"--csv=yes"}, "--csv takes no value, got \"yes\""},
        {{"--verbose"}, "unknown option \"--verbose\""},
        {{"a", "b"}, "only one HOST[:PORT] can be given, got \"a\" and \"b\""},
        {{":27015"}, "HOST[:PORT] needs a host before the colon, got \":27015\""},
        {{"sim:"}, "the feed's PORT needs to be a port number from 1 to 65535, got \"sim:\""},
        {{"--replay"}, "--replay needs a recording's file name"},
        {{"--replay", "--json"}, "--replay needs a recording's file name, got \"--json\""},
        {{"--replay", "a.csv", "sim"}, "--replay plays a recording instead of the feed: it takes no HOST[:PORT], got \"sim\""},
        {{"--speed", "10"}, "--speed is for --replay, which was not asked for"},
        {{"--loop"}, "--loop is for --replay, which was not asked for"},
        {{"--replay", "a.csv", "--speed", "0.5"},
         "--speed needs 0 (as fast as the outputs take it) or a number from 1 up, such as 10, got \"0.5\""},
        {{"--replay", "a.csv", "--speed", "1e3"},
         "--speed needs 0 (as fast as the outputs take it) or a number from 1 up, such as 10, got \"1e3\""},
        {{"--replay", "a.csv", "--speed", "inf"},
         "--speed needs 0 (as fast as the outputs take it) or a number from 1 up, such as 10, got \"inf\""},
        {{"--replay", "a.csv", "--speed"},
         "--speed needs 0 (as fast as the outputs take it) or a number from 1 up, such as 10, got \"\""},
        {{"--loop=yes"}, "--loop takes no value, got \"yes\""},
    };
    for (const auto &c : cases) EXPECT_EQ(problemWith(c.arguments), c.problem);
}

}  // namespace

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <initializer_list>
#include <memory>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "Positions.h"
#include "formats/GpxWriter.h"
#include "formats/Nmea.h"
#include "formats/UtcTime.h"
#include "formats/Writers.h"
#include "read/Position.h"
#include "read/PositionSink.h"
#include "system/ClientPlatform.h"
#include "system/Clocks.h"
#include "system/TextOutput.h"

namespace {

// What a writer made of `positions`.
template <typename MakeWriter>
std::string written(MakeWriter make, std::initializer_list<Position> positions) {
    struct : TextOutput {
        bool put(const std::string &lines) override {
            text += lines;
            return true;
        }
        std::string text;
    } out;
    auto writer = make(out);
    for (const Position &position : positions) EXPECT_TRUE(take(*writer, position));
    return out.text;
}

TEST(Writers, JsonKeepsTheDigitsAndWritesNullForNonFinite) {
    EXPECT_EQ(written(makeJsonWriter, {kZurich, kNonFinite}),
              "{\"time\":\"2026-12-07T23:14:58.123Z\",\"latitude\":47.458056,\"longitude\":8.548056,"
              "\"speed\":142.370003,\"elevation\":1417.322880,\"heading\":271.260000}\n"
              "{\"time\":\"2026-12-07T23:14:58.123Z\",\"latitude\":null,\"longitude\":null,"
              "\"speed\":null,\"elevation\":null,\"heading\":1.000000}\n");
}

// Names and paths come from the system and the user: a Windows path's backslashes, a quote, a tab or a
// line feed in an interface's name must each leave the JSON whole, and UTF-8 pass as it is.
TEST(Writers, JsonStringEscapesWhatWouldBreakIt) {
    EXPECT_EQ(jsonString("C:\\flights\\\"odd\".rec"), "\"C:\\\\flights\\\\\\\"odd\\\".rec\"");
    EXPECT_EQ(jsonString("Wi-Fi\t2\n\x01\x1f"), "\"Wi-Fi\\u00092\\u000a\\u0001\\u001f\"");
    EXPECT_EQ(jsonString("Ethernet Zürich"), "\"Ethernet Zürich\"");
    EXPECT_EQ(jsonString(""), "\"\"");
}

TEST(Writers, CsvHasAHeaderAndTheValuesAsSent) {
    EXPECT_EQ(written(makeCsvWriter, {kZurich, kNonFinite}),
              "time,latitude,longitude,speed,elevation,heading\n"
              "2026-12-07T23:14:58.123Z,47.458056,8.548056,142.370003,1417.322880,271.260000\n"
              "2026-12-07T23:14:58.123Z,nan,-nan,inf,-inf,1.000000\n");
}

TEST(Writers, LiveViewRoundsWithAPointWhateverTheLocale) {
    bool german = std::setlocale(LC_ALL, "de_DE.UTF-8") != nullptr;
    std::string text = written(makeLiveWriter, {kZurich, kNonFinite});
    std::setlocale(LC_ALL, "C");
    EXPECT_EQ(text,
              "23:14:58  lat 47.458056  lon 8.548056  IAS 142.4 kt  elev 1417 ft  hdg 271.3\n"
              "23:14:58  lat nan  lon nan  IAS inf kt  elev -inf ft  hdg 1.0\n");
    if (!german) GTEST_SKIP() << "checked in the C locale only: no de_DE.UTF-8";
}

// A heading reads the same wherever it is shown: the live view and NMEA's HDT round it alike, a half up
// on the decimals as sent, within [0, 360).
TEST(Writers, LiveViewAndNmeaRoundAHeadingAlike) {
    struct Case {
        const char *heading, *tenth;
    } cases[] = {{"271.250000", "271.3"}, {"0.150000", "0.2"},   {"0.149999", "0.1"},   {"359.949999", "359.9"},
                 {"359.950000", "0.0"},   {"-0.040000", "0.0"},  {"-90.000000", "270.0"}, {"720.050000", "0.1"}};
    NmeaEncoder nmea;
    for (const Case &c : cases) {
        Position position = positionOf("47.000000", "8.000000", "0.000000", "0.000000", c.heading);
        std::string live = written(makeLiveWriter, {position});
        EXPECT_EQ(live.substr(live.rfind("hdg ") + 4), std::string(c.tenth) + "\n") << c.heading;
        EXPECT_NE(nmea.encode(position, kReceived).find("$HEHDT," + std::string(c.tenth) + ",T*"), std::string::npos)
            << c.heading;
    }
}

class GpxWriterTest : public testing::Test {
protected:
    void SetUp() override {
        char name[] = "/tmp/feedclient-gpx-XXXXXX";
        int fd = mkstemp(name);
        ASSERT_GE(fd, 0);
        close(fd);
        path = name;
    }
    void TearDown() override { std::remove(path.c_str()); }

    std::string fileText() const {
        std::ifstream file(path, std::ios::binary);
        std::ostringstream text;
        text << file.rdbuf();
        return text.str();
    }

    std::string path;
};

const char kGpxHeader[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<gpx version=\"1.1\" creator=\"feedclient\" xmlns=\"http://www.topografix.com/GPX/1/1\">\n"
    "<trk><name>BelvantoPlugin feed</name>\n<trkseg>\n";
const char kGpxEnd[] = "</trkseg>\n</trk>\n</gpx>\n";
const char kZurichPoint[] =
    "<trkpt lat=\"47.458056\" lon=\"8.548056\"><ele>432.000</ele><time>2026-12-07T23:14:58.123Z</time></trkpt>\n";

TEST_F(GpxWriterTest, FileIsCompleteAfterEveryPoint) {
    std::string error;
    auto writer = makeGpxWriter(path, error);
    ASSERT_TRUE(writer) << error;
    EXPECT_EQ(fileText(), std::string(kGpxHeader) + kGpxEnd);
    ASSERT_TRUE(take(*writer, kZurich));
    EXPECT_EQ(fileText(), std::string(kGpxHeader) + kZurichPoint + kGpxEnd);
    ASSERT_TRUE(take(*writer, kZurich));
    EXPECT_EQ(fileText(), std::string(kGpxHeader) + kZurichPoint + kZurichPoint + kGpxEnd);
}

TEST_F(GpxWriterTest, LeavesOutPointsWithoutAPositionAndElevationsWithoutANumber) {
    std::string error;
    auto writer = makeGpxWriter(path, error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(take(*writer, kNonFinite));
    ASSERT_TRUE(take(*writer, positionOf("91.000000", "8.000000", "0.000000", "0.000000", "0.000000")));
    ASSERT_TRUE(take(*writer, positionOf("47.000000", "180.000000", "0.000000", "0.000000", "0.000000")));
    ASSERT_TRUE(take(*writer, positionOf("-90.000000", "-180.000000", "0.000000", "nan", "0.000000")));
    EXPECT_EQ(fileText(), std::string(kGpxHeader) +
                              "<trkpt lat=\"-90.000000\" lon=\"-180.000000\"><time>2026-12-07T23:14:58.123Z</time>"
                              "</trkpt>\n" +
                              kGpxEnd);
}

TEST_F(GpxWriterTest, StartsANewSegmentAfterTheFeedWasLost) {
    std::string error;
    auto writer = makeGpxWriter(path, error);
    ASSERT_TRUE(writer) << error;
    writer->feedLost();  // nothing to end yet
    ASSERT_TRUE(take(*writer, kZurich));
    writer->feedLost();
    writer->feedLost();
    ASSERT_TRUE(take(*writer, kZurich));
    EXPECT_EQ(fileText(), std::string(kGpxHeader) + kZurichPoint + "</trkseg>\n<trkseg>\n" + kZurichPoint + kGpxEnd);
}

TEST_F(GpxWriterTest, AddsATrackToAGpxFileAlreadyThere) {
    const std::string kTrackStart = "<trk><name>BelvantoPlugin feed</name>\n<trkseg>\n";
    const std::string kTrackEnd = "</trkseg>\n</trk>\n";
    std::string error;
    for (int run = 0; run < 2; ++run) {
        auto writer = makeGpxWriter(path, error);
        ASSERT_TRUE(writer) << error;
        ASSERT_TRUE(take(*writer, kZurich));
    }
    std::string yesterday = std::string(kGpxHeader) + kZurichPoint + kTrackEnd;
    EXPECT_EQ(fileText(), yesterday + kTrackStart + kZurichPoint + kGpxEnd);

    // Another program's document: a byte order mark, a waypoint, white space after the root.
    const std::string theirs =
        "\xEF\xBB\xBF<?xml version=\"1.0\"?>\r\n<gpx\r\n version=\"1.1\"><wpt lat=\"1\" lon=\"2\"/></gpx>\r\n\r\n";
    std::ofstream(path, std::ios::binary) << theirs;
    auto writer = makeGpxWriter(path, error);
    ASSERT_TRUE(writer) << error;
    std::string added = theirs.substr(0, theirs.find("</gpx>")) + kTrackStart;
    EXPECT_EQ(fileText(), added + kGpxEnd);
    ASSERT_TRUE(take(*writer, kZurich));
    EXPECT_EQ(fileText(), added + kZurichPoint + kGpxEnd);
}

TEST_F(GpxWriterTest, LeavesAFileThatIsNotGpxAsItIs) {
    for (const std::string &text :
         std::vector<std::string>{"time,latitude\n", "<?xml version=\"1.0\"?>\n<kml><Document/></kml>\n",
                                  "<gpxfile></gpx>\n", std::string(kGpxHeader) + kZurichPoint,
                                  std::string(kGpxHeader) + kGpxEnd + "<!-- more -->\n", std::string(" \n")}) {
        std::ofstream(path, std::ios::binary) << text;
        std::string error;
        EXPECT_FALSE(makeGpxWriter(path, error)) << text;
        EXPECT_EQ(error, path +
                             ": not a GPX file, so it is left as it is: give --gpx a new file, or a GPX file "
                             "to add the track to");
        EXPECT_EQ(fileText(), text);
    }
}

// A write that does not fit under the file size limit stands in for a full disk: both give a short write,
// then the error. feedclient ignores SIGXFSZ (startSystem), so that the limit gives EFBIG.
TEST_F(GpxWriterTest, AWriteThatDoesNotFitLeavesTheFileAtItsLastWholePoint) {
    ASSERT_TRUE(startSystem());
    rlimit unlimited{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &unlimited), 0);
    auto limitFileSize = [&](rlim_t bytes) {
        rlimit limit = unlimited;
        limit.rlim_cur = bytes;
        ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &limit), 0);
    };
    const std::string twoPoints = std::string(kGpxHeader) + kZurichPoint + kZurichPoint + kGpxEnd;
    std::string error;
    {
        auto writer = makeGpxWriter(path, error);
        ASSERT_TRUE(writer) << error;
        ASSERT_TRUE(take(*writer, kZurich));
        ASSERT_TRUE(take(*writer, kZurich));
        // Room for half a point more: part of it is written before the limit stops the write.
        limitFileSize(twoPoints.size() + std::strlen(kZurichPoint) / 2);
        errno = EINPROGRESS;  // as the feed's connect leaves it
        EXPECT_FALSE(take(*writer, kZurich));
        EXPECT_EQ(errno, EFBIG);
        limitFileSize(unlimited.rlim_cur);
        EXPECT_EQ(fileText(), twoPoints);
    }
    // The next run adds its track to the file.
    {
        auto writer = makeGpxWriter(path, error);
        ASSERT_TRUE(writer) << error;
        ASSERT_TRUE(take(*writer, kZurich));
    }
    const std::string nextTrack = "</trkseg>\n</trk>\n<trk><name>BelvantoPlugin feed</name>\n<trkseg>\n";
    EXPECT_EQ(fileText(), std::string(kGpxHeader) + kZurichPoint + kZurichPoint + nextTrack + kZurichPoint + kGpxEnd);

    // Nor does a new document that does not fit leave anything but the empty file it was.
    std::ofstream(path, std::ios::trunc);
    limitFileSize(std::strlen(kGpxHeader) / 2);
    EXPECT_FALSE(makeGpxWriter(path, error));
    limitFileSize(unlimited.rlim_cur);
    EXPECT_EQ(error, path + ": File too large");
    EXPECT_EQ(fileText(), "");
}

TEST_F(GpxWriterTest, OneWriterAtATimePerFile) {
    std::string error;
    auto first = makeGpxWriter(path, error);
    ASSERT_TRUE(first) << error;
    EXPECT_FALSE(makeGpxWriter(path, error));
    EXPECT_EQ(error, path + ": another feedclient is writing to this file: give this one a file of its own");
    ASSERT_TRUE(take(*first, kZurich));
    EXPECT_EQ(fileText(), std::string(kGpxHeader) + kZurichPoint + kGpxEnd);
    first.reset();
    EXPECT_TRUE(makeGpxWriter(path, error)) << error;
}

TEST(UtcTime, SplitsTimesAsGmtimeDoes) {
    std::mt19937_64 random(27015);
    // From 1970 to 2200, leap days and the turn of 2100, which is no leap year, among them.
    std::uniform_int_distribution<long long> milliseconds(0, 7258118400000);
    for (int i = 0; i < 100000; ++i) {
        long long sample = i == 0 ? 4107542400000 : milliseconds(random);  // 2100-03-01T00:00:00.000Z
        UtcTime ours = utcTime(SystemClock::time_point(std::chrono::milliseconds(sample)));
        std::time_t seconds = static_cast<std::time_t>(sample / 1000);
        std::tm theirs{};
        gmtime_r(&seconds, &theirs);
        ASSERT_EQ(
            std::vector<int>({ours.year, ours.month, ours.day, ours.hour, ours.minute, ours.second, ours.millisecond}),
            std::vector<int>({theirs.tm_year + 1900, theirs.tm_mon + 1, theirs.tm_mday, theirs.tm_hour, theirs.tm_min,
                              theirs.tm_sec, static_cast<int>(sample % 1000)}))
            << sample;
    }
}

TEST(GpxWriter, ReportsAFileItCannotMake) {
    std::string error;
    EXPECT_FALSE(makeGpxWriter("/nonexistent-folder/track.gpx", error));
    EXPECT_EQ(error, "/nonexistent-folder/track.gpx: No such file or directory");
}

}  // namespace

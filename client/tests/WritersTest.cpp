#include <gtest/gtest.h>
#include <unistd.h>

#include <clocale>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "Writers.h"

namespace {

// 2026-12-07T23:14:58.123Z
const Clock::time_point kReceived{std::chrono::milliseconds(1796685298123)};

Position positionOf(const std::string &latitude, const std::string &longitude, const std::string &speed,
                    const std::string &elevation, const std::string &heading) {
    Position position;
    std::string line = "{version:\"1\",latitude:\"" + latitude + "\",longitude:\"" + longitude + "\",speed:\"" + speed +
                       "\",elevation:\"" + elevation + "\",heading:\"" + heading + "\"}";
    EXPECT_EQ(parseFeedLine(line, position), "");
    return position;
}

const Position kZurich = positionOf("47.458056", "8.548056", "142.370003", "1417.322880", "271.260000");
const Position kNonFinite = positionOf("nan", "-nan", "inf", "-inf", "1.000000");

// What a writer made of `positions`, written to a temporary stream.
template <typename MakeWriter>
std::string written(MakeWriter make, std::initializer_list<Position> positions) {
    std::FILE *file = std::tmpfile();
    auto writer = make(file);
    for (const Position &position : positions) EXPECT_TRUE(writer->write(position, kReceived));
    std::string text;
    std::rewind(file);
    for (int c; (c = std::fgetc(file)) != EOF;) text += static_cast<char>(c);
    std::fclose(file);
    return text;
}

TEST(Writers, JsonKeepsTheDigitsAndWritesNullForNonFinite) {
    EXPECT_EQ(written(makeJsonWriter, {kZurich, kNonFinite}),
              "{\"time\":\"2026-12-07T23:14:58.123Z\",\"latitude\":47.458056,\"longitude\":8.548056,"
              "\"speed\":142.370003,\"elevation\":1417.322880,\"heading\":271.260000}\n"
              "{\"time\":\"2026-12-07T23:14:58.123Z\",\"latitude\":null,\"longitude\":null,"
              "\"speed\":null,\"elevation\":null,\"heading\":1.000000}\n");
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
    ASSERT_TRUE(writer->write(kZurich, kReceived));
    EXPECT_EQ(fileText(), std::string(kGpxHeader) + kZurichPoint + kGpxEnd);
    ASSERT_TRUE(writer->write(kZurich, kReceived));
    EXPECT_EQ(fileText(), std::string(kGpxHeader) + kZurichPoint + kZurichPoint + kGpxEnd);
}

TEST_F(GpxWriterTest, LeavesOutPointsWithoutAPositionAndElevationsWithoutANumber) {
    std::string error;
    auto writer = makeGpxWriter(path, error);
    ASSERT_TRUE(writer) << error;
    ASSERT_TRUE(writer->write(kNonFinite, kReceived));
    ASSERT_TRUE(writer->write(positionOf("91.000000", "8.000000", "0.000000", "0.000000", "0.000000"), kReceived));
    ASSERT_TRUE(writer->write(positionOf("47.000000", "180.000000", "0.000000", "0.000000", "0.000000"), kReceived));
    ASSERT_TRUE(writer->write(positionOf("-90.000000", "-180.000000", "0.000000", "nan", "0.000000"), kReceived));
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
    ASSERT_TRUE(writer->write(kZurich, kReceived));
    writer->feedLost();
    writer->feedLost();
    ASSERT_TRUE(writer->write(kZurich, kReceived));
    EXPECT_EQ(fileText(), std::string(kGpxHeader) + kZurichPoint + "</trkseg>\n<trkseg>\n" + kZurichPoint + kGpxEnd);
}

TEST(GpxWriter, ReportsAFileItCannotMake) {
    std::string error;
    EXPECT_FALSE(makeGpxWriter("/nonexistent-folder/track.gpx", error));
    EXPECT_EQ(error, "/nonexistent-folder/track.gpx: No such file or directory");
}

}  // namespace

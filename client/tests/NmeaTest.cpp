#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "Positions.h"
#include "formats/GroundMotion.h"
#include "formats/Nmea.h"
#include "read/Position.h"
#include "system/Clocks.h"

namespace {

constexpr double kEarthRadius = 6371008.8;
constexpr double kPi = 3.14159265358979323846;

Position at(const std::string &latitude, const std::string &longitude) {
    return positionOf(latitude, longitude, "100.000000", "1000.000000", "90.000000");
}

std::vector<std::string> sentencesOf(const std::string &text) {
    std::vector<std::string> sentences;
    for (std::size_t start = 0, end; (end = text.find("\r\n", start)) != std::string::npos; start = end + 2)
        sentences.push_back(text.substr(start, end - start));
    return sentences;
}

// Field `index` of the RMC among `text`'s sentences, counted from the address ("$GPRMC") as 0.
std::string rmcField(const std::string &text, int index) {
    std::istringstream fields(sentencesOf(text).at(1));
    std::string field;
    for (int i = 0; i <= index; ++i) std::getline(fields, field, ',');
    return field;
}

// Checksums worked out apart from this code, with Python's functools.reduce over the characters.
TEST(Nmea, WritesAGgaAnRmcAndAnHdtForEachPosition) {
    NmeaEncoder encoder;
    EXPECT_EQ(encoder.encode(kZurich, kReceived),
              "$GPGGA,231458.12,4727.48336,N,00832.88336,E,8,04,,432.0,M,,M,,*5D\r\n"
              "$GPRMC,231458.12,A,4727.48336,N,00832.88336,E,,,071226,,,S*45\r\n"
              "$HEHDT,271.3,T*28\r\n");
    // Without a latitude and longitude, no fix and no position; the heading still stands.
    EXPECT_EQ(encoder.encode(kNonFinite, kReceived),
              "$GPGGA,231458.12,,,,,0,00,,,M,,M,,*42\r\n"
              "$GPRMC,231458.12,V,,,,,,,071226,,,N*77\r\n"
              "$HEHDT,1.0,T*2E\r\n");
    for (const char *latitude : {"nan", "-inf", "-90.000001", "90.000001"})
        EXPECT_EQ(rmcField(encoder.encode(at(latitude, "8.000000"), kReceived), 2), "V") << latitude;
    for (const char *longitude : {"-nan", "inf", "-180.000001", "180.000001"})
        EXPECT_EQ(rmcField(encoder.encode(at("47.000000", longitude), kReceived), 2), "V") << longitude;
    EXPECT_EQ(rmcField(encoder.encode(at("-90.000000", "180.000000"), kReceived), 2), "A");
}

TEST(Nmea, SpeedAndCourseComeFromTheLastPositionOverTheReceiptInterval) {
    NmeaEncoder encoder;
    auto after = [](double seconds) {
        return kReceived + std::chrono::duration_cast<SystemClock::duration>(std::chrono::duration<double>(seconds));
    };
    std::string first = encoder.encode(at("0.000000", "0.000000"), after(0));
    EXPECT_EQ(rmcField(first, 7) + "," + rmcField(first, 8), ",");  // nothing to measure from yet
    // 0.001 degrees north in a second: 111.195 m/s, 216.1 knots.
    std::string north = encoder.encode(at("0.001000", "0.000000"), after(1));
    EXPECT_EQ(rmcField(north, 7) + "," + rmcField(north, 8), "216.1,0.0");
    // The same distance west in two seconds; then standing still, which has no course.
    std::string west = encoder.encode(at("0.001000", "-0.001000"), after(3));
    EXPECT_EQ(rmcField(west, 7) + "," + rmcField(west, 8), "108.1,270.0");
    std::string still = encoder.encode(at("0.001000", "-0.001000"), after(4));
    EXPECT_EQ(rmcField(still, 7) + "," + rmcField(still, 8), "0.0,");
    // Lines that came in one burst, after a stall, were still sampled a second apart: each is measured
    // over a second, and is no relocation even at Mach 23 (below).
    std::string burst = encoder.encode(at("0.002000", "-0.001000"), after(4.05));
    EXPECT_EQ(rmcField(burst, 7) + "," + rmcField(burst, 8), "216.1,0.0");
    std::string fastBurst = encoder.encode(at("0.002000", "0.069000"), after(4.06));
    EXPECT_EQ(rmcField(fastBurst, 7) + "," + rmcField(fastBurst, 8), "15130.2,90.0");
    // A position after a lost feed, or after one without a fix, has nothing to measure from.
    encoder.feedLost();
    std::string afterLoss = encoder.encode(at("0.003000", "-0.001000"), after(6));
    EXPECT_EQ(rmcField(afterLoss, 7) + "," + rmcField(afterLoss, 8), ",");
    encoder.encode(at("nan", "-0.001000"), after(7));
    std::string afterNoFix = encoder.encode(at("0.004000", "-0.001000"), after(8));
    EXPECT_EQ(rmcField(afterNoFix, 7) + "," + rmcField(afterNoFix, 8), ",");
    // 0.07 degrees in a second, about Mach 23, is flown; Zurich to New York in a second is not: the
    // aircraft was moved there, which starts afresh, and the next second goes on from New York.
    std::string fast = encoder.encode(at("0.074000", "-0.001000"), after(9));
    EXPECT_EQ(rmcField(fast, 7) + "," + rmcField(fast, 8), "15130.2,0.0");
    encoder.encode(at("47.458056", "8.548056"), after(10));
    std::string moved = encoder.encode(at("40.639800", "-73.778900"), after(11));
    EXPECT_EQ(rmcField(moved, 7) + "," + rmcField(moved, 8), ",");
    std::string onward = encoder.encode(at("40.640800", "-73.778900"), after(12));
    EXPECT_EQ(rmcField(onward, 7) + "," + rmcField(onward, 8), "216.1,0.0");
}

// A millionth of a degree is 0.00006 minutes: five decimals of a minute hold the feed's degrees exactly.
TEST(Nmea, WritesTheFeedsDegreesExactlyInMinutes) {
    NmeaEncoder encoder;
    std::string text =
        encoder.encode(positionOf("47.999999", "-0.000000", "0.000000", "0.000000", "359.970000"), kReceived);
    EXPECT_EQ(rmcField(text, 3) + "," + rmcField(text, 4), "4759.99994,N");
    EXPECT_EQ(rmcField(text, 5) + "," + rmcField(text, 6), "00000.00000,E");  // no west of nothing
    EXPECT_EQ(sentencesOf(text).at(2), "$HEHDT,0.0,T*2F");                    // 359.97 rounds to a full turn
    text = encoder.encode(positionOf("-90.000000", "-180.000000", "0.000000", "0.000000", "0.000000"), kReceived);
    EXPECT_EQ(rmcField(text, 3) + "," + rmcField(text, 4), "9000.00000,S");
    EXPECT_EQ(rmcField(text, 5) + "," + rmcField(text, 6), "18000.00000,W");
    text = encoder.encode(positionOf("0.000001", "-8.548057", "0.000000", "0.000000", "0.000000"), kReceived);
    EXPECT_EQ(rmcField(text, 3) + "," + rmcField(text, 4), "0000.00006,N");
    EXPECT_EQ(rmcField(text, 5) + "," + rmcField(text, 6), "00832.88342,W");
}

TEST(Nmea, NoSentenceIsLongerThan82CharactersWhateverTheValues) {
    NmeaEncoder encoder;
    const char *extremes[][5] = {
        {"-89.999999", "-179.999999", "-99999999.000000", "-3280839.000000", "-359.990000"},
        {"89.999999", "179.999999", "inf", "1000000000000000000000.000000", "100000000000000000000.000000"},
        {"-0.000001", "-0.000001", "nan", "-3280839.000000", "-0.000001"}};
    // Each reached from where it is nearly the fastest speed written away (south of the north pole, north
    // of the others), and once more from the far side of the Earth, a relocation.
    const char *before[][2] = {{"-89.861299", "-179.999999"}, {"89.861299", "179.999999"}, {"0.138699", "-0.000001"}};
    std::size_t longest = 0;
    for (int round = 0; round < 2; ++round) {
        for (int i = 0; i < 3; ++i) {
            encoder.encode(round == 0 ? at(before[i][0], before[i][1]) : at("0.000000", "90.000000"), kReceived);
            const char **values = extremes[i];
            std::string text = encoder.encode(positionOf(values[0], values[1], values[2], values[3], values[4]),
                                              kReceived + std::chrono::seconds(1));
            for (const std::string &sentence : sentencesOf(text)) longest = std::max(longest, sentence.size() + 2);
            EXPECT_EQ(sentencesOf(text).size(), 3u);
            EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
            EXPECT_EQ(text.find("nan"), std::string::npos) << text;
            EXPECT_EQ(text.find("inf"), std::string::npos) << text;
            if (round == 0) {
                EXPECT_EQ(rmcField(text, 7).size(), 7u) << text;  // 29,97x.x knots
            }
        }
    }
    EXPECT_LE(longest, kMaxSentenceLength);
    EXPECT_EQ(longest, 75u);  // the extremes reach what the sentences can hold
}

TEST(TrackBetween, GivesTheGreatCircleDistanceAndInitialBearing) {
    const double quarter = kPi / 2 * kEarthRadius;
    struct Case {
        double fromLatitude, fromLongitude, toLatitude, toLongitude, metres, bearing;
    } cases[] = {{0, 0, 0, 90, quarter, 90},
                 {0, 0, 90, 0, quarter, 0},
                 {0, 0, -1, 0, quarter / 90, 180},
                 {0, 0, 0, -1, quarter / 90, 270},
                 {45, 0, 45, 180, quarter, 0},  // over the pole
                 // Nearly antipodal, where rounding takes the haversine term past 1.
                 {34.667443, 52.911228, -34.667443, -127.088772, 2 * quarter, -1}};
    for (const Case &c : cases) {
        Track track = trackBetween(c.fromLatitude, c.fromLongitude, c.toLatitude, c.toLongitude);
        EXPECT_NEAR(track.metres, c.metres, 1e-6 * c.metres);
        if (c.bearing >= 0) {
            EXPECT_NEAR(track.bearing, c.bearing, 1e-9);  // antipodes have no sound one
        }
    }
}

}  // namespace

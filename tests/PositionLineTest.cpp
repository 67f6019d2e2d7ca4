#include <gtest/gtest.h>

#include <algorithm>
#include <clocale>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>

#include "feed/PositionLine.h"

namespace {

FlightData sample(double latitude, double longitude, float speed, double elevation, float heading) {
    FlightData data{};
    data.latitude = latitude;
    data.longitude = longitude;
    data.indicatedAirspeed = speed;
    data.elevation = elevation;
    data.heading = heading;
    return data;
}

std::string format(const FlightData &data) {
    char buffer[kPositionLineBufferSize];
    int length = formatPositionLine(data, buffer, sizeof buffer);
    EXPECT_EQ(length, static_cast<int>(std::strlen(buffer)));
    return std::string(buffer, static_cast<std::size_t>(length));
}

// What the C library's "%f" makes of the line; only meaningful while the "C" locale is in force.
std::string printfLine(const FlightData &data) {
    char buffer[4096];
    std::snprintf(buffer, sizeof buffer,
                  "{version:\"1\",latitude:\"%f\",longitude:\"%f\",speed:\"%f\",elevation:\"%f\",heading:\"%f\"}\n",
                  data.latitude, data.longitude, static_cast<double>(data.indicatedAirspeed), data.elevation,
                  static_cast<double>(data.heading));
    return buffer;
}

// Restores the process locale when a test that changed it ends, pass or fail.
class LocaleGuard {
public:
    LocaleGuard() : saved(std::setlocale(LC_ALL, nullptr)) {}
    ~LocaleGuard() { std::setlocale(LC_ALL, saved.c_str()); }

private:
    std::string saved;
};

TEST(PositionLine, HasTheWireFormat) {
    EXPECT_EQ(format(sample(47.449, -122.309306, 142.5f, 433.07088, 271.25f)),
              "{version:\"1\",latitude:\"47.449000\",longitude:\"-122.309306\",speed:\"142.500000\","
              "elevation:\"433.070880\",heading:\"271.250000\"}\n");
}

TEST(PositionLine, WritesNegativesRoundingAndWidenedFloatsAsPrintfDoes) {
    // Rounding at the sixth decimal goes by the exact binary value, in either direction.
    EXPECT_EQ(format(sample(-0.0000004, -33.9999995, 0.1f, 0.0000005, 359.9999999f)),
              printfLine(sample(-0.0000004, -33.9999995, 0.1f, 0.0000005, 359.9999999f)));
    EXPECT_NE(format(sample(-0.0, 0, 0, 0, 0)).find("latitude:\"-0.000000\""), std::string::npos);

    // Random values over many magnitudes; the floats go through the same widening as printf's arguments.
    std::mt19937_64 random(20261207);
    std::uniform_int_distribution<int> exponent(-30, 40);
    std::uniform_real_distribution<double> mantissa(-10.0, 10.0);
    for (int i = 0; i < 20000; ++i) {
        FlightData data = sample(std::ldexp(mantissa(random), exponent(random)),
                                 std::ldexp(mantissa(random), exponent(random)),
                                 static_cast<float>(std::ldexp(mantissa(random), exponent(random))),
                                 std::ldexp(mantissa(random), exponent(random)),
                                 static_cast<float>(std::ldexp(mantissa(random), exponent(random))));
        ASSERT_EQ(format(data), printfLine(data)) << "sample " << i;
    }
}

// A million lines of values the host can give, in the "C" locale. A third of the values sit on a
// sixth-decimal tie, where the exact binary value decides the rounding.
TEST(PositionLine, MatchesPrintfOnAMillionLinesOfHostValues) {
    std::mt19937_64 random(27015);
    std::uniform_int_distribution<int> kind(0, 2);
    auto value = [&](double low, double high) {
        double uniform = std::uniform_real_distribution<double>(low, high)(random);
        if (kind(random) != 0) return uniform;
        return (std::floor(uniform * 1e6) + 0.5) / 1e6;
    };
    for (int i = 0; i < 1000000; ++i) {
        FlightData data = sample(value(-90, 90), value(-180, 180), static_cast<float>(value(-50, 1200)),
                                 value(-1500, 70000), static_cast<float>(value(0, 360)));
        ASSERT_EQ(format(data), printfLine(data)) << "sample " << i;
    }
}

// Whatever mix of special and extreme values the host gives, the line is printf's whole line, or,
// when that would not fit, nothing at all.
TEST(PositionLine, ExtremeValuesGiveAWholeLineOrNone) {
    const double specials[] = {std::numeric_limits<double>::quiet_NaN(),
                               -std::numeric_limits<double>::quiet_NaN(),
                               std::numeric_limits<double>::infinity(),
                               -std::numeric_limits<double>::infinity(),
                               -0.0,
                               std::numeric_limits<double>::denorm_min(),
                               -std::numeric_limits<double>::min(),
                               std::numeric_limits<double>::max(),
                               -std::numeric_limits<double>::max(),
                               1e100,
                               std::numeric_limits<float>::max(),
                               std::numeric_limits<float>::denorm_min(),
                               90, -90, 180, -180};
    std::mt19937_64 random(90180);
    std::uniform_int_distribution<std::size_t> pick(0, std::size(specials) - 1);
    auto any = [&] { return specials[pick(random)]; };
    int whole = 0, refused = 0;
    for (int i = 0; i < 100000; ++i) {
        FlightData data = sample(any(), any(), static_cast<float>(any()), any(), static_cast<float>(any()));
        std::string expected = printfLine(data);
        char buffer[kPositionLineBufferSize];
        int length = formatPositionLine(data, buffer, sizeof buffer);
        if (expected.size() < sizeof buffer) {
            ASSERT_EQ(std::string(buffer, static_cast<std::size_t>(std::max(length, 0))), expected) << "sample " << i;
            ++whole;
        } else {
            ASSERT_EQ(length, 0) << "sample " << i << " needs " << expected.size() << " bytes";
            ++refused;
        }
    }
    // Both outcomes were exercised.
    EXPECT_GT(whole, 1000);
    EXPECT_GT(refused, 1000);
}

TEST(PositionLine, IgnoresADecimalCommaLocale) {
    LocaleGuard guard;
    ASSERT_NE(std::setlocale(LC_ALL, "de_DE.UTF-8"), nullptr) << "the de_DE.UTF-8 locale is not installed";
    char probe[32];
    std::snprintf(probe, sizeof probe, "%f", 1.5);
    ASSERT_STREQ(probe, "1,500000") << "the locale in force does not use a decimal comma";

    EXPECT_EQ(format(sample(-12.5, 1234567.25, 99.5f, 1000.125, 0.5f)),
              "{version:\"1\",latitude:\"-12.500000\",longitude:\"1234567.250000\",speed:\"99.500000\","
              "elevation:\"1000.125000\",heading:\"0.500000\"}\n");
}

TEST(PositionLine, SpellsNanAndInfinitiesTheSameEverywhere) {
    double nan = std::numeric_limits<double>::quiet_NaN();
    float infinity = std::numeric_limits<float>::infinity();
    EXPECT_EQ(format(sample(nan, -nan, infinity, -std::numeric_limits<double>::infinity(), -infinity)),
              "{version:\"1\",latitude:\"nan\",longitude:\"-nan\",speed:\"inf\",elevation:\"-inf\",heading:\"-inf\"}\n");
}

TEST(PositionLine, NeverCutsALineThatDoesNotFit) {
    // The largest finite values need over 300 digits each.
    double huge = std::numeric_limits<double>::max();
    char buffer[kPositionLineBufferSize];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(formatPositionLine(sample(huge, -huge, 0, huge, 0), buffer, sizeof buffer), 0);

    // 5 * 10^n has n digits more than 0: make the line fill the buffer exactly, terminator included.
    FlightData data = sample(0, 0, 0, 0, 0);
    int widening = static_cast<int>(kPositionLineBufferSize - 1 - printfLine(data).size());
    data.latitude = 5 * std::pow(10.0, 200);
    data.elevation = 5 * std::pow(10.0, widening - 200);
    std::string longest = printfLine(data);
    ASSERT_EQ(longest.size(), kPositionLineBufferSize - 1);
    EXPECT_EQ(format(data), longest);

    data.latitude *= 10;
    EXPECT_EQ(formatPositionLine(data, buffer, sizeof buffer), 0);
}

}  // namespace

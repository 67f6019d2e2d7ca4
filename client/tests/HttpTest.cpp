#include <gtest/gtest.h>

#include <chrono>
#include <ctime>
#include <string>

#include "Positions.h"
#include "formats/FlightTrack.h"
#include "formats/UtcTime.h"
#include "read/Position.h"
#include "serve/HttpRequest.h"

namespace {

HeadStatus read(const std::string &received, HttpRequest &request) {
    std::size_t searchedUpTo = 0;
    return readRequestHead(received, searchedUpTo, request);
}

HeadStatus read(const std::string &received) {
    HttpRequest request;
    return read(received, request);
}

TEST(HttpRequest, ReadsTheMethodAndThePathWithoutItsQuery) {
    HttpRequest request;
    ASSERT_EQ(read("GET /position.json?since=3 HTTP/1.1\r\nHost: tablet:27120\r\nAccept: */*\r\n\r\n", request),
              HeadStatus::kComplete);
    EXPECT_EQ(request.method, "GET");
    EXPECT_EQ(request.path, "/position.json");
    // Bare line feeds, a method the server refuses later, and HTTP/1.0 without a Host.
    ASSERT_EQ(read("DELETE / HTTP/1.0\n\n", request), HeadStatus::kComplete);
    EXPECT_EQ(request.method + request.path, "DELETE/");
    // The absolute form, which a proxy sends, in each of its shapes; and empty lines before the request.
    const struct {
        const char *target, *path;
    } absolute[] = {{"http://tablet:27120/track.geojson?x=1", "/track.geojson"},
                    {"HTTPS://tablet/", "/"},
                    {"http://tablet", "/"},
                    {"http://tablet?x=/a", "/"}};
    for (const auto &a : absolute) {
        ASSERT_EQ(read(std::string("\r\n\nGET ") + a.target + " HTTP/1.1\r\nHost: tablet\r\n\r\n", request),
                  HeadStatus::kComplete)
            << a.target;
        EXPECT_EQ(request.path, a.path) << a.target;
    }
}

TEST(HttpRequest, TakesGzipWhereAcceptEncodingAllowsIt) {
    const struct {
        const char *fields;
        bool gzip;
    } cases[] = {
        {"", false},  // no field: no coding asked for
        {"Accept-Encoding: gzip, deflate, br\r\n", true},
        {"Accept-Encoding: deflate\r\naccept-encoding: GZIP;q=0.5\r\n", true},  // fields of one list
        {"Accept-Encoding: x-gzip\r\n", true},
        {"Accept-Encoding: *\r\n", true},
        {"Accept-Encoding: identity\r\n", false},
        {"Accept-Encoding: gzip;q=0\r\n", false},
        {"Accept-Encoding: gzip ; Q=0.000, *\r\n", false},  // named and refused, whatever "*" says
        {"Accept-Encoding: br, *;q=0.0\r\n", false},
        {"Accept-Encoding: gzip;q=0.001\r\n", true},
        {"Accept-Encoding: gzipped, xgzip\r\n", false},
    };
    for (const auto &c : cases) {
        HttpRequest request;
        ASSERT_EQ(read(std::string("GET / HTTP/1.1\r\nHost: a\r\n") + c.fields + "\r\n", request),
                  HeadStatus::kComplete);
        EXPECT_EQ(request.acceptsGzip, c.gzip) << c.fields;
    }
}

TEST(HttpRequest, RefusesWhatTheStandardRefuses) {
    using namespace std::string_literals;
    const struct {
        std::string head;
        HeadStatus status;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: a\r\n", HeadStatus::kIncomplete},
        {"GET / HTTP/1.1\r\n\r\n", HeadStatus::kMalformed},                          // no Host
        {"GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", HeadStatus::kMalformed},    // two
        {"GET  / HTTP/1.1\r\nHost: a\r\n\r\n", HeadStatus::kMalformed},              // two spaces
        {"GET http:/// HTTP/1.1\r\nHost: a\r\n\r\n", HeadStatus::kMalformed},        // no host
        {"GET ftp://a/ HTTP/1.1\r\nHost: a\r\n\r\n", HeadStatus::kMalformed},        // nor HTTP
        {"GET * HTTP/1.1\r\nHost: a\r\n\r\n", HeadStatus::kMalformed},
        {"GET /a\x01 HTTP/1.1\r\nHost: a\r\n\r\n", HeadStatus::kMalformed},          // a control byte
        {"G(T / HTTP/1.1\r\nHost: a\r\n\r\n", HeadStatus::kMalformed},               // not a token
        {"GE\0 / HTTP/1.1\r\nHost: a\r\n\r\n"s, HeadStatus::kMalformed},             // nor a NUL
        {"GET / HTTP/1.1\rHost: a\r\n\r\n", HeadStatus::kMalformed},                 // a lone CR
        {"GET / HTTP/1.1\r\nHost : a\r\n\r\n", HeadStatus::kMalformed},              // space before the colon
        {"GET / HTTP/1.1\r\nHost: a\r\n folded\r\n\r\n", HeadStatus::kMalformed},    // a folded line
        {"GET / HTTP/1.1\r\nHost: a\r\nX: \x7f\r\n\r\n", HeadStatus::kMalformed},    // DEL in a value
        {"GET / HTTP/1.1\r\nHost: a\r\nX: caf\xc3\xa9\r\n\r\n", HeadStatus::kComplete},  // bytes past ASCII
        {"GET / HTTP/11\r\nHost: a\r\n\r\n", HeadStatus::kMalformed},
        {"GET / HTTP/2.0\r\nHost: a\r\n\r\n", HeadStatus::kVersionUnsupported},
        {"PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", HeadStatus::kVersionUnsupported},     // HTTP/2's preface
        {"\r\n\r\n", HeadStatus::kIncomplete},                                      // still to come
        {" GET / HTTP/1.1\r\nHost: a\r\n\r\n", HeadStatus::kMalformed},
    };
    for (const auto &c : cases) EXPECT_EQ(read(c.head), c.status) << c.head;
}

TEST(HttpRequest, TakesAHeadOfUpTo8KiBWhicheverWayItComes) {
    std::string start = "GET / HTTP/1.1\r\nHost: a\r\nX: ", end = "\r\n\r\n";
    std::string largest = start + std::string(kMaxRequestHead - start.size() - end.size(), 'x') + end;
    EXPECT_EQ(read(largest), HeadStatus::kComplete);
    EXPECT_EQ(read(start + "x" + largest.substr(start.size())), HeadStatus::kTooLarge);
    EXPECT_EQ(read(largest.substr(0, kMaxRequestHead - 1)), HeadStatus::kIncomplete);
    // A request line that does not end within the bound is a URI too long, not a head.
    EXPECT_EQ(read("GET /" + std::string(kMaxRequestHead, 'x')), HeadStatus::kUriTooLong);
    EXPECT_EQ(read("GET /" + std::string(kMaxRequestHead, 'x') + " HTTP/1.1\r\n\r\n"), HeadStatus::kUriTooLong);
    EXPECT_EQ(read(std::string(kMaxRequestHead, '\n')), HeadStatus::kMalformed);

    // A byte at a time, the end is found where it comes, each byte looked at about once.
    HttpRequest request;
    std::string received;
    std::size_t searchedUpTo = 0;
    for (char c : largest.substr(0, largest.size() - 1)) {
        received += c;
        ASSERT_EQ(readRequestHead(received, searchedUpTo, request), HeadStatus::kIncomplete);
        ASSERT_GE(searchedUpTo + 2, received.size());
    }
    EXPECT_EQ(readRequestHead(received + "\n", searchedUpTo, request), HeadStatus::kComplete);
}

// The Date header's format, against the C library's in the "C" locale, over two centuries of days.
TEST(HttpDate, IsTheStandardsFixedFormat) {
    EXPECT_EQ(httpDate(kReceived), "Mon, 07 Dec 2026 23:14:58 GMT");
    for (long long day = -365; day < 230 * 366; day += 97) {
        std::time_t seconds = static_cast<std::time_t>(day * 86400 + day % 86400);
        std::tm utc{};
        gmtime_r(&seconds, &utc);
        char expected[64];
        std::strftime(expected, sizeof expected, "%a, %d %b %Y %H:%M:%S GMT", &utc);
        ASSERT_EQ(httpDate(SystemClock::from_time_t(seconds)), expected) << seconds;
    }
}

Position at(const std::string &latitude, const std::string &longitude, const std::string &elevation = "1000.000000") {
    return positionOf(latitude, longitude, "100.000000", elevation, "90.000000");
}

constexpr const char *kStarted = "2026-12-08T19:46:55.120Z";  // when the track's server started

SystemClock::time_point after(double seconds) {
    return kReceived + std::chrono::duration_cast<SystemClock::duration>(std::chrono::duration<double>(seconds));
}

TEST(FlightTrack, IsGeoJsonWithASegmentForEachConnection) {
    FlightTrack track;
    EXPECT_EQ(track.geoJson(0, kStarted),
              "{\"type\":\"FeatureCollection\",\"started\":\"2026-12-08T19:46:55.120Z\",\"positions\":0,\"features\":[]}");
    track.add(at("47.450000", "8.560000", "1417.322880"), after(0));
    track.add(at("nan", "8.570000"), after(1));  // left out
    track.add(at("47.460000", "8.570000", "nan"), after(2));
    track.feedLost();
    track.feedLost();  // one new segment, however often the feed is lost
    track.add(at("47.460000", "8.570000", "-32.808400"), after(3));
    EXPECT_EQ(track.geoJson(4, kStarted),
              "{\"type\":\"FeatureCollection\",\"started\":\"2026-12-08T19:46:55.120Z\",\"positions\":4,\"features\":["
              "{\"type\":\"Feature\",\"properties\":{},\"geometry\":{\"type\":\"LineString\",\"coordinates\":"
              "[[8.560000,47.450000,432.000],[8.570000,47.460000]]}},"
              "{\"type\":\"Feature\",\"properties\":{},\"geometry\":{\"type\":\"Point\",\"coordinates\":"
              "[8.570000,47.460000,-10.000]}}]}");
}

// A segment also ends where the aircraft was put somewhere: farther than 30,000 kt takes it in the time
// since the last position, and never less than a second, since lines that come in a burst were still
// sampled a second apart.
TEST(FlightTrack, StartsASegmentWhereTheAircraftCouldNotHaveFlown) {
    FlightTrack track;
    track.add(at("0.000000", "0.000000"), after(0));
    track.add(at("0.130000", "0.000000"), after(1));     // 14.5 km: 28,000 kt
    track.add(at("0.260000", "0.000000"), after(1.01));  // the same, in a burst
    track.add(at("0.400000", "0.000000"), after(1.02));  // 15.6 km in a burst: 30,200 kt a second
    track.add(at("0.530000", "0.000000"), after(2.02));  // 14.5 km in a second
    track.add(at("40.000000", "0.000000"), after(10000));
    auto types = [](const std::string &json) {
        std::string found;
        for (std::size_t at = 0; (at = json.find("\"type\":\"", at)) != std::string::npos; at += 8)
            found += json.substr(at + 8, json.find('"', at + 8) - at - 8) + " ";
        return found;
    };
    std::string json = track.geoJson(6, kStarted);
    EXPECT_EQ(types(json), "FeatureCollection Feature LineString Feature LineString ") << json;
    EXPECT_NE(json.find("[0.000000,0.260000,304.800]]}},{\"type\":\"Feature\",\"properties\":{},\"geometry\":"
                        "{\"type\":\"LineString\",\"coordinates\":[[0.000000,0.400000,304.800]"),
              std::string::npos)
        << json;
}

// RFC 7946 3.1.9: cut where the segment crosses the antimeridian, either way, at the latitude (and the
// altitude) on the line between the two positions taken the short way.
TEST(FlightTrack, CutsASegmentAtTheAntimeridian) {
    FlightTrack track;
    track.add(at("10.000000", "179.900000", "1000.000000"), after(0));
    track.add(at("10.200000", "-179.700000", "2000.000000"), after(60));
    track.add(at("10.300000", "-179.800000", "nan"), after(120));
    track.add(at("10.400000", "179.950000", "nan"), after(180));
    EXPECT_EQ(track.geoJson(4, kStarted),
              "{\"type\":\"FeatureCollection\",\"started\":\"2026-12-08T19:46:55.120Z\",\"positions\":4,\"features\":["
              "{\"type\":\"Feature\",\"properties\":{},\"geometry\":{\"type\":\"MultiLineString\",\"coordinates\":["
              "[[179.900000,10.000000,304.800],[180.000000,10.050000,381.000]],"
              "[[-180.000000,10.050000,381.000],[-179.700000,10.200000,609.600],[-179.800000,10.300000],"
              "[-180.000000,10.380000]],"
              "[[180.000000,10.380000],[179.950000,10.400000]]]}}]}");
    // A segment of one position, on the antimeridian, is a Point all the same.
    track.feedLost();
    track.add(at("0.000000", "180.000000"), after(240));
    std::string json = track.geoJson(5, kStarted);
    EXPECT_EQ(json.substr(json.rfind("{\"type\":\"Point\"")),
              "{\"type\":\"Point\",\"coordinates\":[180.000000,0.000000,304.800]}}]}");
}

TEST(FlightTrack, KeepsTheLast24HoursOfPositions) {
    FlightTrack track;
    track.add(at("1.000000", "1.000000"), after(0));
    track.feedLost();
    // An hour apart, so that every step, the long one back to 0 too, could have been flown.
    for (std::size_t i = 0; i < kTrackLimit; ++i)
        track.add(at("2.000000", std::to_string(i % 180) + ".000000"), after(3600.0 * (i + 1)));
    EXPECT_EQ(track.size(), kTrackLimit);
    // The first segment went with its one position, then the second segment's first position.
    const std::string start = "\"features\":[{\"type\":\"Feature\",\"properties\":{},\"geometry\":{"
                              "\"type\":\"LineString\",\"coordinates\":[[";
    std::string json = track.geoJson(kTrackLimit + 1, kStarted);
    EXPECT_EQ(json.find("Point"), std::string::npos);
    const std::size_t features = json.find("\"features\"");
    EXPECT_EQ(json.find(start + "0.000000,2.000000,"), features);
    track.add(at("3.000000", "3.000000"), after(3600.0 * (kTrackLimit + 1)));
    json = track.geoJson(kTrackLimit + 2, kStarted);
    EXPECT_EQ(json.find(start + "1.000000,2.000000,"), features);
    EXPECT_EQ(json.substr(json.size() - 33), ",[3.000000,3.000000,304.800]]}}]}");
}

}  // namespace

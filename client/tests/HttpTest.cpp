#include <gtest/gtest.h>

#include <string>

#include "Positions.h"
#include "formats/FlightTrack.h"
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
        {"GET http://a/ HTTP/1.1\r\nHost: a\r\n\r\n", HeadStatus::kMalformed},       // a proxy's form
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
        {"\r\n\r\n", HeadStatus::kMalformed},
    };
    for (const auto &c : cases) EXPECT_EQ(read(c.head), c.status) << c.head;
}

TEST(HttpRequest, TakesAHeadOfUpTo8KiBWhicheverWayItComes) {
    std::string start = "GET / HTTP/1.1\r\nHost: a\r\nX: ", end = "\r\n\r\n";
    std::string largest = start + std::string(kMaxRequestHead - start.size() - end.size(), 'x') + end;
    EXPECT_EQ(read(largest), HeadStatus::kComplete);
    EXPECT_EQ(read(start + "x" + largest.substr(start.size())), HeadStatus::kTooLarge);
    EXPECT_EQ(read(largest.substr(0, kMaxRequestHead - 1)), HeadStatus::kIncomplete);
    EXPECT_EQ(read(std::string(kMaxRequestHead, 'x')), HeadStatus::kTooLarge);

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

Position at(const std::string &latitude, const std::string &longitude, const std::string &elevation = "1000.000000") {
    return positionOf(latitude, longitude, "100.000000", elevation, "90.000000");
}

TEST(FlightTrack, IsGeoJsonWithASegmentForEachConnection) {
    FlightTrack track;
    EXPECT_EQ(track.geoJson(0), "{\"type\":\"FeatureCollection\",\"positions\":0,\"features\":[]}");
    track.add(at("47.450000", "8.560000", "1417.322880"));
    track.add(at("nan", "8.570000"));  // left out
    track.add(at("47.460000", "-8.570000", "nan"));
    track.feedLost();
    track.feedLost();  // one new segment, however often the feed is lost
    track.add(at("-33.946111", "-180.000000", "-32.808400"));
    EXPECT_EQ(track.geoJson(4),
              "{\"type\":\"FeatureCollection\",\"positions\":4,\"features\":["
              "{\"type\":\"Feature\",\"properties\":{},\"geometry\":{\"type\":\"LineString\",\"coordinates\":"
              "[[8.560000,47.450000,432.000],[-8.570000,47.460000]]}},"
              "{\"type\":\"Feature\",\"properties\":{},\"geometry\":{\"type\":\"Point\",\"coordinates\":"
              "[-180.000000,-33.946111,-10.000]}}]}");
}

TEST(FlightTrack, KeepsTheLast24HoursOfPositions) {
    FlightTrack track;
    track.add(at("1.000000", "1.000000"));
    track.feedLost();
    for (std::size_t i = 0; i < kTrackLimit; ++i) track.add(at("2.000000", std::to_string(i % 180) + ".000000"));
    EXPECT_EQ(track.size(), kTrackLimit);
    // The first segment went with its one position, then the second segment's first position.
    const std::string start = "\"features\":[{\"type\":\"Feature\",\"properties\":{},\"geometry\":{"
                              "\"type\":\"LineString\",\"coordinates\":[[";
    std::string json = track.geoJson(kTrackLimit + 1);
    EXPECT_EQ(json.find("Point"), std::string::npos);
    EXPECT_EQ(json.find(start + "0.000000,2.000000,"), 46u);
    track.add(at("3.000000", "3.000000"));
    json = track.geoJson(kTrackLimit + 2);
    EXPECT_EQ(json.find(start + "1.000000,2.000000,"), 46u);
    EXPECT_EQ(json.substr(json.size() - 33), ",[3.000000,3.000000,304.800]]}}]}");
}

}  // namespace

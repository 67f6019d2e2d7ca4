// The sampler against a recording stand-in for the host's XPLM calls.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <map>
#include <string>
#include <vector>

#include "plugin/DiagnosticLog.h"
#include "plugin/FlightSampler.h"
#include "tests/TestSupport.h"
#include "XPLMDataAccess.h"
#include "XPLMProcessing.h"
#include "XPLMUtilities.h"

namespace {

struct FakeHost {
    std::map<std::string, double> values;     // the data refs this host knows
    std::vector<std::string> calls;           // every XPLM call, in order
    XPLMFlightLoop_f callback = nullptr;
    float interval = 0;
    void *refcon = reinterpret_cast<void *>(1);
    std::vector<std::string> logTxt;          // what XPLMDebugString was given, string by string
} host;

const std::string *nameOf(XPLMDataRef handle) { return static_cast<const std::string *>(handle); }

double read(const char *kind, XPLMDataRef handle) {
    host.calls.push_back(std::string(kind) + " " + (handle ? *nameOf(handle) : "null"));
    return handle ? host.values.at(*nameOf(handle)) : 0.0;
}

}  // namespace

XPLMDataRef XPLMFindDataRef(const char *name) {
    host.calls.push_back(std::string("find ") + name);
    auto found = host.values.find(name);
    return found == host.values.end() ? nullptr : const_cast<std::string *>(&found->first);
}
int XPLMGetDatai(XPLMDataRef handle) { return static_cast<int>(read("geti", handle)); }
float XPLMGetDataf(XPLMDataRef handle) { return static_cast<float>(read("getf", handle)); }
double XPLMGetDatad(XPLMDataRef handle) { return read("getd", handle); }
void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f callback, float interval, void *refcon) {
    host.calls.push_back("register");
    host.callback = callback;
    host.interval = interval;
    host.refcon = refcon;
}
void XPLMDebugString(const char *text) { host.logTxt.push_back(text); }
void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f callback, void *refcon) {
    host.calls.push_back("unregister");
    if (callback == host.callback && refcon == host.refcon) host.callback = nullptr;
}

namespace {

const char *const kParkBrake = "sim/flightmodel/controls/parkbrake";
const char *const kSeatBelts = "sim/cockpit/switches/fasten_seat_belts";
const char *const kLatitude = "sim/flightmodel/position/latitude";
const char *const kLongitude = "sim/flightmodel/position/longitude";
const char *const kElevation = "sim/flightmodel/position/elevation";
const char *const kAirspeed = "sim/flightmodel/position/indicated_airspeed";
const char *const kOnGround = "sim/flightmodel/failures/onground_any";
const char *const kHeading = "sim/flightmodel/position/psi";

class Sampler : public testing::Test {
protected:
    void SetUp() override {
        host = FakeHost{};
        host.values = {{kParkBrake, 0.75}, {kSeatBelts, 1},   {kLatitude, -33.9461},  {kLongitude, 151.1772},
                       {kElevation, 100},  {kAirspeed, 142.5}, {kOnGround, 0},        {kHeading, 271.25}};
        gFlightData = FlightData{};
    }
    void TearDown() override { gServer.stop(); }
};

TEST_F(Sampler, LooksUpInTableOrderThenRegistersForFourSeconds) {
    host.values.erase(kHeading);  // a host without it: start goes on, the null handle is kept
    startSampler();
    EXPECT_EQ(host.calls, (std::vector<std::string>{"find " + std::string(kParkBrake), "find " + std::string(kSeatBelts),
                                                    "find " + std::string(kLatitude), "find " + std::string(kLongitude),
                                                    "find " + std::string(kElevation), "find " + std::string(kAirspeed),
                                                    "find " + std::string(kOnGround), "find " + std::string(kHeading),
                                                    "register"}));
    EXPECT_EQ(host.callback, &flightLoopCallback);
    EXPECT_EQ(host.interval, 4.0f);
    EXPECT_EQ(host.refcon, nullptr);

    host.calls.clear();
    sampleFlightState(gFlightData);
    EXPECT_EQ(host.calls, (std::vector<std::string>{"getf " + std::string(kParkBrake), "geti " + std::string(kSeatBelts),
                                                    "getd " + std::string(kLatitude), "getd " + std::string(kLongitude),
                                                    "getd " + std::string(kElevation), "getf " + std::string(kAirspeed),
                                                    "geti " + std::string(kOnGround), "getf null"}));
    EXPECT_EQ(gFlightData.parkingBrake, 0.75f);
    EXPECT_EQ(gFlightData.seatBelts, 1);
    EXPECT_EQ(gFlightData.latitude, -33.9461);
    EXPECT_EQ(gFlightData.longitude, 151.1772);
    EXPECT_DOUBLE_EQ(gFlightData.elevation, 328.084);
    EXPECT_EQ(gFlightData.indicatedAirspeed, 142.5f);
    EXPECT_EQ(gFlightData.onGround, 0);
    EXPECT_EQ(gFlightData.heading, 0.0f);

    stopSampler();
    EXPECT_EQ(host.callback, nullptr);
}

TEST_F(Sampler, KeepsTheHighestElevationSeen) {
    startSampler();
    auto sampleAt = [](double metres) {
        host.values[kElevation] = metres;
        sampleFlightState(gFlightData);
        return gFlightData.maxElevation;
    };
    EXPECT_EQ(sampleAt(-20), 0.0);  // below sea level never raises it above the initial zero
    EXPECT_DOUBLE_EQ(sampleAt(1000), 3280.84);
    EXPECT_DOUBLE_EQ(sampleAt(1000), 3280.84);
    EXPECT_DOUBLE_EQ(sampleAt(500), 3280.84);
    EXPECT_DOUBLE_EQ(sampleAt(std::numeric_limits<double>::quiet_NaN()), 3280.84);
    EXPECT_TRUE(std::isnan(gFlightData.elevation));
    EXPECT_DOUBLE_EQ(sampleAt(1000.5), 1000.5 * 3.28084);
}

TEST_F(Sampler, FirstTickListensThenEveryTickSendsItsOwnValues) {
    startSampler();
    EXPECT_EQ(flightLoopCallback(4, 4, 1, nullptr), 1.0f);
    EXPECT_TRUE(gServer.isListening());
    EXPECT_EQ(flightLoopCallback(1, 1, 2, nullptr), 1.0f);  // only samples while the listener waits

    TcpClient client;
    ASSERT_TRUE(client.connectWithin());
    ASSERT_TRUE(waitUntil([] { return gServer.isConnected() && !gServer.isListening(); }));
    for (double latitude : {10.5, -10.25}) {
        host.values[kLatitude] = latitude;
        flightLoopCallback(1, 1, 3, nullptr);
        std::string line = client.readLine();
        EXPECT_NE(line.find("latitude:\"" + std::to_string(latitude) + "\""), std::string::npos) << line;
    }
}

// A client that arrives right after the next read of the server's state: the listener takes it and
// has ended before that read returns, as if the host's thread had been preempted just there.
TcpClient *gClientArrivingMidTick = nullptr;

void clientArrivesNow() {
    PositionServer::afterStateRead = nullptr;
    ASSERT_TRUE(gClientArrivingMidTick->connect());
    ASSERT_TRUE(waitUntil([] { return gServer.isConnected() && !gServer.isListening(); }));
}

TEST_F(Sampler, AClientTakenWhileATickReadsTheStateStartsNoSecondListener) {
    startSampler();
    flightLoopCallback(4, 4, 1, nullptr);
    ASSERT_TRUE(waitUntil(feedPortListens));

    TcpClient client;
    gClientArrivingMidTick = &client;
    PositionServer::afterStateRead = clientArrivesNow;
    flightLoopCallback(1, 1, 2, nullptr);
    ASSERT_EQ(PositionServer::afterStateRead, nullptr) << "the tick read no state";
    EXPECT_FALSE(gServer.isListening()) << "a second listener was started beside the client";
    flightLoopCallback(1, 1, 3, nullptr);
    EXPECT_NE(client.readLine(), "");
}

// Log.txt: the feed's changes of state, each a whole line of its own, and never a flood.
FeedEvent failed(const char *call, int error) {
    FeedEvent event;
    event.kind = FeedEvent::Kind::kFailed;
    event.call = call;
    event.error = error;
    return event;
}

FeedEvent client(FeedEvent::Kind kind, int error = 0) {
    FeedEvent event;
    event.kind = kind;
    event.address = 0xC0A80114;  // 192.168.1.20
    event.port = 51234;
    event.error = error;
    return event;
}

FeedEvent listening() { return FeedEvent{}; }

class DiagnosticLogTest : public testing::Test {
protected:
    void SetUp() override { host.logTxt.clear(); }
    DiagnosticLog log;
};

TEST_F(DiagnosticLogTest, AFailureRepeatedIsToldOnceAndAgainWhenTheListenerRecovers) {
    log.started("1.2.3");
    for (int tick = 0; tick < 10; ++tick) {
        log.report(failed("bind", EADDRINUSE));
        log.advance(1);
    }
    log.report(failed("socket", EMFILE));  // another failure is told, and the run goes on
    log.report(failed("socket", EMFILE));
    log.report(listening());
    log.report(client(FeedEvent::Kind::kClientConnected));
    log.report(client(FeedEvent::Kind::kClientLost, ECONNRESET));
    log.report(listening());
    FeedEvent stopped;
    stopped.kind = FeedEvent::Kind::kStopped;
    stopped.linesSent = 3600;
    stopped.linesDropped = 12;
    log.report(stopped);

    EXPECT_EQ(host.logTxt,
              (std::vector<std::string>{
                  "BelvantoPlugin: version 1.2.3; feeds TCP port 27015 (IPv4, all local addresses) from 4 s after start\n",
                  "BelvantoPlugin: cannot listen on TCP port 27015: bind failed with error " + std::to_string(EADDRINUSE) +
                      " (address already in use: another program holds the port); trying again every second\n",
                  "BelvantoPlugin: cannot listen on TCP port 27015: socket failed with error " + std::to_string(EMFILE) +
                      " (too many open files); trying again every second\n",
                  "BelvantoPlugin: listening on TCP port 27015, after 12 failed tries\n",
                  "BelvantoPlugin: client 192.168.1.20:51234 connected\n",
                  "BelvantoPlugin: client 192.168.1.20:51234 lost: error " + std::to_string(ECONNRESET) +
                      " (connection reset by the client)\n",
                  "BelvantoPlugin: listening on TCP port 27015\n",
                  "BelvantoPlugin: feed stopped: 3600 lines sent, 12 dropped while a client was connected\n"}));
}

TEST_F(DiagnosticLogTest, AClientInATightLoopIsSummedUpOnceAMinute) {
    // A client that connects and drops every second, for five minutes of flight-loop time.
    for (int second = 0; second < 300; ++second) {
        log.report(client(FeedEvent::Kind::kClientConnected));
        log.report(client(FeedEvent::Kind::kClientLost, EPIPE));
        log.report(listening());
        log.advance(1);
    }
    int summaries = 0;
    for (const std::string &line : host.logTxt) {
        ASSERT_EQ(line.find('\n'), line.size() - 1) << line;
        summaries += line == "BelvantoPlugin: 174 more lines on clients and the listener left out in the last minute\n";
    }
    EXPECT_EQ(summaries, 5);
    EXPECT_EQ(host.logTxt.size(), 5u * 7u);

    // A quiet minute later, lines are told again.
    log.advance(60);
    host.logTxt.clear();
    log.report(client(FeedEvent::Kind::kClientConnected));
    EXPECT_EQ(host.logTxt, std::vector<std::string>{"BelvantoPlugin: client 192.168.1.20:51234 connected\n"});
}

}  // namespace

// The host's flight-loop scheduler, driven frame by frame as the host program drives it.
#include <gtest/gtest.h>

#include <time.h>

#include <chrono>
#include <thread>
#include <utility>
#include <vector>

#include "host/HostControl.h"
#include "XPLMDataAccess.h"
#include "XPLMProcessing.h"

namespace {

struct Call {
    int id;
    double time;
    float sinceLastCall;
    float sinceLastFrame;
    int counter;
};

std::vector<Call> gCalls;
double gNow = 0;
// What each callback returns, by id, call after call; once they run out it returns 0.
std::vector<std::vector<float>> gReturns;
// Runs inside callback 0's first call, to change the list mid-frame.
void (*gDuringCall)() = nullptr;

void *refcon(int id) { return &gReturns[id]; }

float callback(float sinceLastCall, float sinceLastFrame, int counter, void *ref) {
    int id = static_cast<int>(static_cast<std::vector<float> *>(ref) - gReturns.data());
    gCalls.push_back({id, gNow, sinceLastCall, sinceLastFrame, counter});
    if (id == 0 && gDuringCall) std::exchange(gDuringCall, nullptr)();
    std::vector<float> &returns = gReturns[id];
    if (returns.empty()) return 0;
    float next = returns.front();
    returns.erase(returns.begin());
    return next;
}

// Frames of a quarter second: the clock and every interval below are exact in binary.
void runFrames(int count) {
    for (int i = 0; i < count; ++i) {
        gNow += 0.25;
        hostSetTime(gNow);
        hostEndFrame(nullptr);
    }
}

class FlightLoopTest : public testing::Test {
protected:
    void SetUp() override {
        gCalls.clear();
        gReturns.assign(4, {});
    }
    void TearDown() override {
        for (int id = 0; id < 4; ++id) XPLMUnregisterFlightLoopCallback(callback, refcon(id));
        EXPECT_EQ(hostCallbackCount(), 0);
    }
};

TEST_F(FlightLoopTest, SecondsCountFromRegistrationThenFromEachCall) {
    double start = gNow;
    gReturns[0] = {0.5f, 0.5f};
    XPLMRegisterFlightLoopCallback(callback, 0.6f, refcon(0));
    runFrames(8);

    // Due at 0.6 and 1.25: called at the end of the first frame at or after each deadline.
    ASSERT_EQ(gCalls.size(), 3u);
    EXPECT_EQ(gCalls[0].time - start, 0.75);
    EXPECT_EQ(gCalls[1].time - start, 1.25);
    EXPECT_EQ(gCalls[2].time - start, 1.75);
    EXPECT_FLOAT_EQ(gCalls[0].sinceLastCall, 0.75f);
    EXPECT_FLOAT_EQ(gCalls[1].sinceLastCall, 0.5f);
    EXPECT_FLOAT_EQ(gCalls[1].sinceLastFrame, 0.25f);
    EXPECT_EQ(gCalls[1].counter - gCalls[0].counter, 2);
    // Returning 0 leaves it registered but never called.
    EXPECT_EQ(hostCallbackCount(), 1);
}

TEST_F(FlightLoopTest, NegativeCountsFramesAndZeroWaitsForever) {
    gReturns[0] = {-2, -1};
    XPLMRegisterFlightLoopCallback(callback, -1, refcon(0));
    XPLMRegisterFlightLoopCallback(callback, 0, refcon(1));
    // Unregistering takes the callback with that refcon, not the first with that function.
    XPLMRegisterFlightLoopCallback(callback, 0, refcon(2));
    XPLMUnregisterFlightLoopCallback(callback, refcon(2));
    runFrames(6);

    ASSERT_EQ(gCalls.size(), 3u);
    EXPECT_EQ(gCalls[1].counter - gCalls[0].counter, 2);
    EXPECT_EQ(gCalls[2].counter - gCalls[1].counter, 1);
    for (const Call &call : gCalls) EXPECT_EQ(call.id, 0);
    EXPECT_EQ(hostCallbackCount(), 2);
}

TEST_F(FlightLoopTest, ChangesDuringAFrameTakeEffectSafely) {
    gReturns[0] = {-1};
    gReturns[1] = {-1};
    gReturns[2] = {-1};
    XPLMRegisterFlightLoopCallback(callback, -1, refcon(0));
    XPLMRegisterFlightLoopCallback(callback, -1, refcon(1));
    XPLMRegisterFlightLoopCallback(callback, -1, refcon(3));
    // Callback 0 removes itself and callback 1, not yet called this frame, and adds callback 2.
    gDuringCall = [] {
        XPLMUnregisterFlightLoopCallback(callback, refcon(0));
        XPLMUnregisterFlightLoopCallback(callback, refcon(1));
        XPLMRegisterFlightLoopCallback(callback, -1, refcon(2));
    };
    runFrames(1);
    ASSERT_EQ(gCalls.size(), 2u);
    EXPECT_EQ(gCalls[0].id, 0);
    EXPECT_EQ(gCalls[1].id, 3);
    EXPECT_EQ(hostCallbackCount(), 2);

    // The one added mid-frame waits for the next frame; the removed ones are never called again.
    gCalls.clear();
    runFrames(1);
    ASSERT_EQ(gCalls.size(), 1u);  // callback 3 returned 0 last frame
    EXPECT_EQ(gCalls[0].id, 2);
    EXPECT_FLOAT_EQ(gCalls[0].sinceLastCall, 0.25f);
}

long long cpuMicroseconds() {
    timespec used{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used);
    return used.tv_sec * 1000000LL + used.tv_nsec / 1000;
}

// The observer is told how long each callback took by the clock and how much processor time it used: the
// stress tests judge by the one whether a tick waited on a client, and report the other.
TEST_F(FlightLoopTest, TheObserverIsToldHowLongACallbackTookAndHowMuchItWorked) {
    static std::vector<std::pair<long long, long long>> observed;
    observed.clear();
    gReturns[0] = {-1, -1};
    XPLMRegisterFlightLoopCallback(callback, -1, refcon(0));
    auto runFrameObserved = [] {
        gNow += 0.25;
        hostSetTime(gNow);
        hostEndFrame([](double, float, long long microseconds, long long cpu) { observed.emplace_back(microseconds, cpu); });
    };

    // Waiting long enough that a sanitizer's bursts of work on the thread cannot pass for the call's own.
    gDuringCall = [] { std::this_thread::sleep_for(std::chrono::milliseconds(100)); };
    runFrameObserved();
    gDuringCall = [] {
        for (long long start = cpuMicroseconds(); cpuMicroseconds() - start < 20000;) {
        }
    };
    runFrameObserved();

    ASSERT_EQ(observed.size(), 2u);
    EXPECT_GE(observed[0].first, 100000);  // waited
    EXPECT_LT(observed[0].second, 50000);
    EXPECT_GE(observed[1].first, 19000);  // worked; the two clocks may round apart
    EXPECT_GE(observed[1].second, 19000);
}

// X-Plane 12 stops a plug-in that calls the SDK from a thread of its own; the host reports every such call,
// and the end-to-end tests fail on the report.
TEST(HostThread, OnlyCallsFromOtherThreadsAreReported) {
    testing::internal::CaptureStdout();
    XPLMFindDataRef("sim/flightmodel/position/psi");
    std::thread([] { XPLMGetDatad(XPLMFindDataRef("sim/flightmodel/position/latitude")); }).join();
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "host: fault XPLMFindDataRef called from a thread other than the host's\n"
              "host: fault XPLMGetDatad called from a thread other than the host's\n");
}

}  // namespace

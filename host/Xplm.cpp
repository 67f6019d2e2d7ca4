// The XPLM calls the module makes, served from a fixed table of data refs and a flight-loop scheduler
// that the host program drives through HostControl.h.
#include <algorithm>
#include <chrono>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <vector>

#include "host/Format.h"
#include "host/HostControl.h"
#include "XPLMDataAccess.h"
#include "XPLMProcessing.h"
#include "XPLMUtilities.h"

#if IBM
#include <windows.h>
#else
#include <pthread.h>
#include <time.h>
#endif

namespace {

#if IBM
using ThreadId = DWORD;
ThreadId currentThread() { return GetCurrentThreadId(); }
bool sameThread(ThreadId one, ThreadId other) { return one == other; }
#else
using ThreadId = pthread_t;
ThreadId currentThread() { return pthread_self(); }
bool sameThread(ThreadId one, ThreadId other) { return pthread_equal(one, other) != 0; }
#endif

// The thread that loads this library: the host program's own, which X-Plane's SDK calls are for alone.
const ThreadId gHostThread = currentThread();

// X-Plane 12 stops a plug-in that calls the SDK from another thread; the host reports every such call.
void expectHostThread(const char *call) {
    if (!sameThread(currentThread(), gHostThread))
        print("host: fault %s called from a thread other than the host's\n", call);
}

// The processor time the calling thread has used so far, in microseconds, or -1 where the system keeps it
// only to the scheduler's tick (Windows).
long long threadCpuMicroseconds() {
#if IBM
    return -1;
#else
    timespec used{};
    return clock_gettime(CLOCK_THREAD_CPUTIME_ID, &used) == 0 ? used.tv_sec * 1000000LL + used.tv_nsec / 1000 : -1;
#endif
}

enum class Type { Int, Float, Double };

struct DataRef {
    const char *name;
    Type type;
    double value;
    bool forgotten;
};

DataRef gDataRefs[] = {
    {"sim/flightmodel/controls/parkbrake", Type::Float, 0, false},
    {"sim/cockpit/switches/fasten_seat_belts", Type::Int, 0, false},
    {"sim/flightmodel/position/latitude", Type::Double, 0, false},
    {"sim/flightmodel/position/longitude", Type::Double, 0, false},
    {"sim/flightmodel/position/elevation", Type::Double, 0, false},
    {"sim/flightmodel/position/indicated_airspeed", Type::Float, 0, false},
    {"sim/flightmodel/failures/onground_any", Type::Int, 0, false},
    {"sim/flightmodel/position/psi", Type::Float, 0, false},
};

bool gTrace = false;
bool gEchoDebugStrings = false;

DataRef *dataRefNamed(const char *name) {
    if (!name) return nullptr;
    for (DataRef &ref : gDataRefs)
        if (std::strcmp(ref.name, name) == 0) return &ref;
    return nullptr;
}

// X-Plane answers a null handle, and a read of a type the data ref does not have, with 0.
double read(const char *call, XPLMDataRef handle, Type type) {
    const DataRef *ref = static_cast<const DataRef *>(handle);
    if (gTrace) print("host: %s %s\n", call, ref ? ref->name : "null");
    return ref && ref->type == type ? ref->value : 0.0;
}

struct FlightLoop {
    XPLMFlightLoop_f function;  // null once unregistered during a frame; removed when the frame ends
    void *refcon;
    double lastCallTime;
    enum { Inactive, ByTime, ByFrame } mode;
    double dueTime;
    long long dueFrame;
};

std::vector<FlightLoop> gLoops;
double gNow = 0;
double gLastFrameTime = 0;
long long gFrame = 0;  // frames ended so far; the one being ended while callbacks run
bool gInFrame = false;

// Seconds from now if positive, frames from now if negative, never if 0.
void schedule(FlightLoop &loop, float interval) {
    if (interval > 0) {
        loop.mode = FlightLoop::ByTime;
        loop.dueTime = gNow + interval;
    } else if (interval < 0) {
        loop.mode = FlightLoop::ByFrame;
        loop.dueFrame = gFrame + static_cast<long long>(std::fmin(std::ceil(-interval), 1e12));
    } else {
        loop.mode = FlightLoop::Inactive;  // also NaN
    }
}

bool isDue(const FlightLoop &loop) {
    if (!loop.function) return false;
    switch (loop.mode) {
    case FlightLoop::ByTime: return gNow >= loop.dueTime;
    case FlightLoop::ByFrame: return gFrame >= loop.dueFrame;
    default: return false;
    }
}

const char *describe(void *refcon) { return refcon ? "set" : "null"; }

}  // namespace

XPLM_API XPLMDataRef XPLMFindDataRef(const char *inDataRefName) {
    expectHostThread("XPLMFindDataRef");
    DataRef *ref = dataRefNamed(inDataRefName);
    if (ref && ref->forgotten) ref = nullptr;
    if (gTrace) print("host: find %s -> %s\n", inDataRefName ? inDataRefName : "(null)", ref ? "handle" : "null");
    return ref;
}

XPLM_API int XPLMGetDatai(XPLMDataRef inDataRef) {
    expectHostThread("XPLMGetDatai");
    double value = read("geti", inDataRef, Type::Int);
    if (std::isnan(value)) return 0;
    return static_cast<int>(std::fmax(INT_MIN, std::fmin(INT_MAX, value)));
}

XPLM_API float XPLMGetDataf(XPLMDataRef inDataRef) {
    expectHostThread("XPLMGetDataf");
    return static_cast<float>(read("getf", inDataRef, Type::Float));
}

XPLM_API double XPLMGetDatad(XPLMDataRef inDataRef) {
    expectHostThread("XPLMGetDatad");
    return read("getd", inDataRef, Type::Double);
}

XPLM_API void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, float inInterval, void *inRefcon) {
    expectHostThread("XPLMRegisterFlightLoopCallback");
    if (gTrace) print("host: register interval=%s refcon=%s\n", fixed(inInterval, 6).c_str(), describe(inRefcon));
    if (!inFlightLoop) return;
    FlightLoop loop{inFlightLoop, inRefcon, gNow, FlightLoop::Inactive, 0, 0};
    schedule(loop, inInterval);
    gLoops.push_back(loop);
}

XPLM_API void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f inFlightLoop, void *inRefcon) {
    expectHostThread("XPLMUnregisterFlightLoopCallback");
    if (gTrace) print("host: unregister refcon=%s\n", describe(inRefcon));
    for (auto loop = gLoops.begin(); loop != gLoops.end(); ++loop) {
        if (loop->function != inFlightLoop || loop->refcon != inRefcon) continue;
        // Mid-frame the entry stays, so the frame's walk over the list is not disturbed.
        if (gInFrame)
            loop->function = nullptr;
        else
            gLoops.erase(loop);
        return;
    }
}

// Log.txt in the working directory, made anew by the first string, as X-Plane makes it anew at each start,
// and flushed after every one.
XPLM_API void XPLMDebugString(const char *inString) {
    expectHostThread("XPLMDebugString");
    static std::FILE *const log = std::fopen("Log.txt", "wb");
    if (!inString) return;
    if (log) {
        std::fputs(inString, log);
        std::fflush(log);
    }
    if (gEchoDebugStrings) print("Log.txt: %s", inString);
}

HOST_API void hostSetTrace(int on) { gTrace = on != 0; }

HOST_API void hostEchoDebugStrings(int on) { gEchoDebugStrings = on != 0; }

HOST_API int hostSetDataRef(const char *name, double value) {
    DataRef *ref = dataRefNamed(name);
    if (ref) ref->value = value;
    return ref != nullptr;
}

HOST_API int hostForgetDataRef(const char *name) {
    DataRef *ref = dataRefNamed(name);
    if (ref) ref->forgotten = true;
    return ref != nullptr;
}

HOST_API void hostSetTime(double seconds) { gNow = seconds; }

HOST_API void hostEndFrame(HostCallbackObserver observer) {
    ++gFrame;
    float sinceLastFrame = static_cast<float>(gNow - gLastFrameTime);
    gLastFrameTime = gNow;
    gInFrame = true;
    // By index: a callback may register another and so grow the list, which then waits for the next frame.
    for (std::size_t i = 0; i < gLoops.size(); ++i) {
        if (!isDue(gLoops[i])) continue;
        float sinceLastCall = static_cast<float>(gNow - gLoops[i].lastCallTime);
        long long cpuBefore = threadCpuMicroseconds();
        auto start = std::chrono::steady_clock::now();
        float next = gLoops[i].function(sinceLastCall, sinceLastFrame, static_cast<int>(gFrame), gLoops[i].refcon);
        auto took = std::chrono::steady_clock::now() - start;
        long long cpu = cpuBefore < 0 ? -1 : threadCpuMicroseconds() - cpuBefore;
        long long microseconds = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
        // A call cannot work longer than it took; the thread's processor-time clock has been seen to
        // jump by milliseconds under ThreadSanitizer.
        cpu = std::min(cpu, microseconds);
        if (gLoops[i].function) {
            gLoops[i].lastCallTime = gNow;
            schedule(gLoops[i], next);
        }
        if (observer)
            observer(gNow, next, microseconds, cpu);
    }
    gInFrame = false;
    gLoops.erase(std::remove_if(gLoops.begin(), gLoops.end(), [](const FlightLoop &loop) { return !loop.function; }),
                 gLoops.end());
}

HOST_API int hostCallbackCount(void) {
    int count = 0;
    for (const FlightLoop &loop : gLoops)
        if (loop.function) ++count;
    return count;
}

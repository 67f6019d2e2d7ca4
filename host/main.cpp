// Stands in for X-Plane: loads a plug-in module, serves it data refs and runs its flight loop, either in
// real time with a scripted flight or step by step under commands read from stdin.
#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <clocale>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>

#include "host/DemoFlight.h"
#include "host/Format.h"
#include "host/HostControl.h"
#include "host/PluginModule.h"
#include "host/ProcessCounts.h"

#if IBM
#include <windows.h>
#endif

namespace {

constexpr long long kFrameMicroseconds = 50000;  // 20 frames a second

const char kUsage[] =
    "usage: standin-host [--trace] [--locale NAME] MODULE             real time, flying a demo flight\n"
    "       standin-host --control [--trace] [--locale NAME] MODULE   commands on stdin, for the tests\n";

std::atomic<bool> gStopRequested{false};

#if IBM
BOOL WINAPI onConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    gStopRequested = true;
    return TRUE;
}

void catchStopRequests() { SetConsoleCtrlHandler(onConsoleEvent, TRUE); }
#else
void onStopSignal(int) { gStopRequested = true; }

void catchStopRequests() {
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}
#endif

void publish(const FlightState &state) {
    hostSetDataRef("sim/flightmodel/controls/parkbrake", state.parkingBrake ? 1 : 0);
    hostSetDataRef("sim/cockpit/switches/fasten_seat_belts", 1);
    hostSetDataRef("sim/flightmodel/position/latitude", state.latitude);
    hostSetDataRef("sim/flightmodel/position/longitude", state.longitude);
    hostSetDataRef("sim/flightmodel/position/elevation", state.elevation);
    hostSetDataRef("sim/flightmodel/position/indicated_airspeed", state.airspeed);
    hostSetDataRef("sim/flightmodel/failures/onground_any", state.onGround ? 1 : 0);
    hostSetDataRef("sim/flightmodel/position/psi", state.heading);
}

// Flight-loop calls since the `ticks` command last asked: the slowest of them by the clock, and the most
// processor time one used (-1: not known). That time is not the module's work alone: it holds what the
// kernel does for the receiving end of a loopback connection, and a sanitizer's own work.
struct TickStatistics {
    long long count = 0;
    long long slowestMicroseconds = 0;
    long long mostCpuMicroseconds = -1;
} gTicks;

void printCallback(double time, float returned, long long microseconds, long long cpuMicroseconds) {
    ++gTicks.count;
    gTicks.slowestMicroseconds = std::max(gTicks.slowestMicroseconds, microseconds);
    gTicks.mostCpuMicroseconds = std::max(gTicks.mostCpuMicroseconds, cpuMicroseconds);
    print("host: callback at %s returned %s in %s us\n", fixed(time, 3).c_str(), fixed(returned, 6).c_str(),
                std::to_string(microseconds).c_str());
}

// The module's life as X-Plane leads it: loaded, started, enabled, disabled, stopped, unloaded.
class Plugin {
public:
    explicit Plugin(std::string path) : path(std::move(path)) {}

    bool isLoaded() const { return module.isLoaded(); }
    bool isStarted() const { return started; }

    bool load(std::string &error) {
        if (!module.load(path, error)) return false;
        char name[256] = {}, signature[256] = {}, description[256] = {};
        int result = module.start(name, signature, description);
        // At most the buffer: a module that fills one leaves no terminator.
        print("host: start returned %d name=\"%.256s\" signature=\"%.256s\" description=\"%.256s\"\n", result,
                    name, signature, description);
        started = result != 0;
        if (started) enable();
        return true;
    }

    void enable() {
        int result = module.enable();
        print("host: enable returned %d\n", result);
        enabled = result != 0;
    }

    void disable() {
        module.disable();
        enabled = false;
    }

    void stop() {
        if (enabled) disable();
        module.stop();
        started = false;
        print("host: stopped\n");
    }

    void unload() {
        if (!module.unload()) print("host: module still mapped after unloading\n");
        print("host: unloaded\n");
    }

    void shutDown() {
        if (started) stop();
        if (isLoaded()) unload();
    }

    void receiveMessage(XPLMPluginID from, int message, void *param) { module.receiveMessage(from, message, param); }

private:
    std::string path;
    PluginModule module;
    bool started = false;
    bool enabled = false;
};

// As strtod reads decimal numbers, "nan" and "inf" in the "C" locale, whatever locale is set.
bool parseNumber(const std::string &text, double &value) {
    const char *begin = text.data(), *end = begin + text.size();
    if (text.size() > 1 && text[0] == '+' && text[1] != '-') ++begin;  // from_chars takes no plus sign
    std::from_chars_result result = std::from_chars(begin, end, value);
    return result.ec == std::errc() && result.ptr == end;
}

bool parseNumber(const std::string &text, int &value) {
    const char *end = text.data() + text.size();
    std::from_chars_result result = std::from_chars(text.data(), end, value);
    return result.ec == std::errc() && result.ptr == end;
}

int runInRealTime(Plugin &plugin) {
    catchStopRequests();
    DemoFlight flight;
    publish(flight.state());
    // From the first line on, which the module writes as it starts.
    hostEchoDebugStrings(1);
    std::string error;
    if (!plugin.load(error)) {
        print("host: error load %s\n", error.c_str());
        return 2;
    }
    if (!plugin.isStarted()) {
        print("host: error the module did not start\n");
        plugin.unload();
        return 2;
    }
    print("host: running, Ctrl-C stops; the module's Log.txt lines are shown here too\n");
    auto begin = std::chrono::steady_clock::now();
    auto nextFrame = begin;
    while (!gStopRequested) {
        // A late frame is not made up for with a burst of short ones.
        nextFrame = std::max(nextFrame + std::chrono::microseconds(kFrameMicroseconds), std::chrono::steady_clock::now());
        std::this_thread::sleep_until(nextFrame);
        double now = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
        hostSetTime(now);
        flight.advanceTo(now);
        publish(flight.state());
        hostEndFrame(nullptr);
        std::fflush(stdout);
    }
    plugin.shutDown();
    return 0;
}

// Runs one command; returns the reason if it was refused.
std::string runCommand(Plugin &plugin, long long &clockMicroseconds, const std::string &word, std::istream &args) {
    std::string first, second, third, extra;
    args >> first >> second >> third >> extra;
    int argumentCount = !first.empty() + !second.empty() + !third.empty() + !extra.empty();
    if (word == "forget") {
        if (argumentCount != 1) return "usage: forget NAME";
        if (!hostForgetDataRef(first.c_str())) return "unknown data ref " + first;
    } else if (word == "set") {
        double value;
        if (argumentCount != 2 || !parseNumber(second, value)) return "usage: set NAME VALUE";
        if (!hostSetDataRef(first.c_str(), value)) return "unknown data ref " + first;
    } else if (word == "load") {
        if (argumentCount != 0) return "usage: load";
        if (plugin.isLoaded()) return "already loaded";
        std::string error;
        if (!plugin.load(error)) return "load " + error;
    } else if (word == "advance") {
        double seconds;
        if (argumentCount != 1 || !parseNumber(first, seconds)) return "usage: advance SECONDS";
        if (!(seconds >= 0 && seconds <= 1e6)) return "advance by 0 to 1000000 seconds";
        // Whole microseconds, so that 80 frames of 0.05 s make exactly 4 s.
        long long remaining = std::llround(seconds * 1e6);
        while (remaining > 0) {
            long long frame = std::min(kFrameMicroseconds, remaining);
            remaining -= frame;
            clockMicroseconds += frame;
            hostSetTime(clockMicroseconds / 1e6);
            hostEndFrame(printCallback);
        }
    } else if (word == "enable" || word == "disable") {
        if (argumentCount != 0) return "usage: " + word;
        if (!plugin.isStarted()) return "not started";
        if (word == "enable")
            plugin.enable();
        else
            plugin.disable();
    } else if (word == "message") {
        static char dummy[64] = "message parameter";
        int from, message;
        if (argumentCount < 2 || argumentCount > 3 || !parseNumber(first, from) || !parseNumber(second, message) ||
            (argumentCount == 3 && third != "param"))
            return "usage: message FROM NUMBER [param]";
        if (!plugin.isStarted()) return "not started";
        plugin.receiveMessage(from, message, argumentCount == 3 ? dummy : nullptr);
    } else if (word == "stop") {
        if (argumentCount != 0) return "usage: stop";
        if (!plugin.isStarted()) return "not started";
        plugin.stop();
    } else if (word == "unload") {
        if (argumentCount != 0) return "usage: unload";
        if (!plugin.isLoaded()) return "not loaded";
        if (plugin.isStarted()) return "stop first";
        plugin.unload();
    } else if (word == "callbacks") {
        if (argumentCount != 0) return "usage: callbacks";
        print("host: callbacks %d\n", hostCallbackCount());
    } else if (word == "ticks") {
        if (argumentCount != 0) return "usage: ticks";
        print("host: ticks %lld slowest %lld us most cpu %lld us\n", gTicks.count, gTicks.slowestMicroseconds,
                    gTicks.mostCpuMicroseconds);
        gTicks = TickStatistics{};
    } else if (word == "handles") {
        if (argumentCount != 0) return "usage: handles";
        print("host: handles %d threads %d\n", openHandleCount(), threadCount());
    } else if (word == "sync") {
        // Nothing: its reply passes on what was printed before it.
        if (argumentCount != 0) return "usage: sync";
    } else if (word == "quit") {
        if (argumentCount != 0) return "usage: quit";
        plugin.shutDown();
    } else {
        return word.empty() ? "empty command" : "unknown command " + word;
    }
    return {};
}

int runUnderControl(Plugin &plugin) {
    publish(DemoFlight().state());  // the aircraft at the gate, until commands say otherwise
    long long clockMicroseconds = 0;
    std::string line;
    // The module's standard output is left as X-Plane leaves it: buffered, where it goes to a pipe. So the
    // host sends on what it and the module have printed whenever it waits for the next command.
    while (std::fflush(stdout), std::getline(std::cin, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        std::istringstream args(line);
        std::string word;
        args >> word;
        std::string refused = runCommand(plugin, clockMicroseconds, word, args);
        if (refused.empty())
            print("host: ok %s\n", word.c_str());
        else
            print("host: error %s\n", refused.c_str());
        if (word == "quit" && refused.empty()) return 0;
    }
    plugin.shutDown();
    return 0;
}

}  // namespace

int main(int argc, char **argv) {
    // The module prints to the same standard output, which is left as X-Plane leaves it.
#if IBM
    // X-Plane links Winsock itself, so a plug-in's unload never unloads it. (Under Wine, a Winsock
    // unloaded and loaded again with the plug-in hands out sockets that fail as "not a socket".)
    LoadLibraryA("ws2_32.dll");
#endif
    bool control = false;
    const char *locale = nullptr;
    const char *path = nullptr;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--help") == 0) {
            print("%s", kUsage);
            return 0;
        } else if (std::strcmp(argv[i], "--control") == 0) {
            control = true;
        } else if (std::strcmp(argv[i], "--trace") == 0) {
            hostSetTrace(1);
        } else if (std::strcmp(argv[i], "--locale") == 0 && i + 1 < argc) {
            locale = argv[++i];
        } else if (argv[i][0] != '-' && !path) {
            path = argv[i];
        } else {
            path = nullptr;
            break;
        }
    }
    if (!path) {
        print("host: error usage: standin-host [--control] [--trace] [--locale NAME] MODULE, or --help\n");
        return 2;
    }
    if (locale) {
        if (!std::setlocale(LC_ALL, locale)) {
            print("host: error locale %s\n", locale);
            return 2;
        }
        print("host: locale %s\n", locale);
    }
    Plugin plugin(path);
    return control ? runUnderControl(plugin) : runInRealTime(plugin);
}

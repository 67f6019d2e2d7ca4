// Measures the position feed against its alternatives with Google Benchmark: repetitions of each, randomly
// interleaved in one run, then a table of the medians' ratios against their targets. A report: a missed
// target still exits 0, a failed sanity check (a line lost, say) exits 1.
//
// The tick is the sampler's own flight loop callback with the real PositionServer; the XPLM calls it
// makes are answered below from a table of values.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <sys/resource.h>

#include <cmath>
#include <cstring>
#include <ext/stdio_sync_filebuf.h>
#include <memory>
#include <numeric>
#include <ostream>

#include "bench/AllocationCounter.h"
#include "plugin/FlightSampler.h"
#include "bench/Report.h"
#include "tests/TestSupport.h"
#include "XPLMDataAccess.h"
#include "XPLMProcessing.h"
#include "XPLMUtilities.h"

// The host's data refs, served from this table; the other two the sampler reads stay 0.
namespace {
enum HostRow { kLatitude, kLongitude, kElevation, kIndicatedAirspeed, kHeading, kSeatBelts, kOther, kHostRows };
const char *const kHostNames[kOther] = {
    "sim/flightmodel/position/latitude",  "sim/flightmodel/position/longitude",
    "sim/flightmodel/position/elevation", "sim/flightmodel/position/indicated_airspeed",
    "sim/flightmodel/position/psi",       "sim/cockpit/switches/fasten_seat_belts"};
double gHostValues[kHostRows] = {0, 0, 0, 0, 0, 1, 0};

double valueOf(XPLMDataRef handle) { return *static_cast<double *>(handle); }
}  // namespace

XPLMDataRef XPLMFindDataRef(const char *name) {
    auto row =
        std::find_if(kHostNames, kHostNames + kOther, [name](const char *known) { return !std::strcmp(known, name); });
    return &gHostValues[row - kHostNames];
}
int XPLMGetDatai(XPLMDataRef handle) { return static_cast<int>(valueOf(handle)); }
float XPLMGetDataf(XPLMDataRef handle) { return static_cast<float>(valueOf(handle)); }
double XPLMGetDatad(XPLMDataRef handle) { return valueOf(handle); }
// The benchmark calls the flight loop callback itself.
void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f, float, void *) {}
void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f, void *) {}
// Log.txt's lines go with the rest of the log.
void XPLMDebugString(const char *text) { std::fputs(text, stdout); }

namespace {

using SteadyClock = std::chrono::steady_clock;
double secondsSince(SteadyClock::time_point start) {
    return std::chrono::duration<double>(SteadyClock::now() - start).count();
}

// Varied, realistic positions, so that no formatting work can be folded into constants.
constexpr std::size_t kPositionCount = 4096;
const std::vector<FlightData> gPositions = [] {
    Uniform uniform;
    std::vector<FlightData> positions(kPositionCount);
    for (FlightData &data : positions) {
        data.latitude = uniform(-90, 90);
        data.longitude = uniform(-180, 180);
        data.indicatedAirspeed = static_cast<float>(uniform(0, 350));
        data.elevation = uniform(-1000, 45000);
        data.heading = static_cast<float>(uniform(0, 360));
    }
    return positions;
}();

const FlightData &position(std::size_t index) { return gPositions[index % kPositionCount]; }

// The obvious alternative: the same line from printf's "%f", which follows the process locale.
int formatWithSnprintf(const FlightData &data, char *buffer, std::size_t size) {
    return std::snprintf(
        buffer, size, "{version:\"1\",latitude:\"%f\",longitude:\"%f\",speed:\"%f\",elevation:\"%f\",heading:\"%f\"}\n",
        data.latitude, data.longitude, static_cast<double>(data.indicatedAirspeed), data.elevation,
        static_cast<double>(data.heading));
}

bool sameLines() {
    return std::all_of(gPositions.begin(), gPositions.end(), [](const FlightData &data) {
        char ours[kPositionLineBufferSize], theirs[kPositionLineBufferSize];
        int length = formatPositionLine(data, ours, sizeof ours);
        return length == formatWithSnprintf(data, theirs, sizeof theirs) && std::strcmp(ours, theirs) == 0;
    });
}

// Where stdout goes while the benchmarks run, and with it the "Bytes sent: N" every send logs.
std::FILE *gLog = std::tmpfile();

long logSize() {
    std::fflush(stdout);
    return lseek(fileno(gLog), 0, SEEK_END);
}

// The byte counts logged from byte `from` on, in order.
std::vector<int> loggedByteCounts(long from) {
    std::string text(static_cast<std::size_t>(logSize() - from), '\0');
    pread(fileno(gLog), text.data(), text.size(), from);
    const std::string label = "Bytes sent: ";
    std::vector<int> counts;
    for (std::size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1)) {
        counts.push_back(std::atoi(text.c_str() + at + label.size()));
    }
    return counts;
}

// Has `server` listen and a loopback client connect to it; a receive buffer size > 0 is set before
// connecting, so the window the client offers stays small.
bool connectClient(PositionServer &server, int &client, int receiveBufferSize) {
    server.startListener();
    sockaddr_in address = loopback(kFeedPort);
    return waitUntil([&] {
               close(client);
               client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
               if (receiveBufferSize > 0) setsockopt(client, SOL_SOCKET, SO_RCVBUF, &receiveBufferSize, sizeof(int));
               return connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
           }) &&
           waitUntil([&] { return server.isConnected() && !server.isListening(); });
}

// A plain blocking loopback connection on a port of the system's choosing.
bool connectLoopback(int &server, int &client) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    bool connected = bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                     listen(listener, 1) == 0 &&
                     getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0 &&
                     connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
                     (server = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC)) != -1;
    close(listener);
    return connected;
}

// The three ways of putting a line on a loopback connection that are compared.
enum Feed { kOurTick, kBaseline, kBareSend, kFeedCount };
const char *const kFeedNames[kFeedCount] = {"ours", "baseline", "bare_send"};
// Before each tick the client sleeps in poll, as it does a second after the last line; or the ticks go
// back to back while the client drains them, so that a send seldom has to wake it.
enum Pace { kClientAsleep, kBackToBack };
const char *const kPaceNames[] = {"tick_client_asleep", "tick_back_to_back"};

// The connections of the tick and send benchmarks, made once for the whole run, and what their sanity
// checks gather over every repetition. The tick feeds' clients are read on a thread of their own, as
// real clients would be, and what arrives is counted.
struct Rig {
    Rig() {
        startSampler();
        ready = connectClient(gServer, clients[kOurTick], 0) && connectLoopback(baselineSocket, clients[kBaseline]) &&
                connectLoopback(bareSocket, clients[kBareSend]) && connectClient(readingServer, readingClient, 0) &&
                connectClient(stalledServer, stalledClient, 2048);
        if (ready) reader = std::thread([this] { readClients(); });
        // The stalled client's window and its server's buffer are full once a send took nothing.
        bool stalled = false;
        for (int round = 0; ready && round < 100 && !stalled; ++round) {
            long from = logSize();
            for (const FlightData &data : gPositions) stalledServer.sendFlightData(data);
            std::vector<int> logged = loggedByteCounts(from);  // none if the client has gone
            stalled = !logged.empty() && logged.back() == 0;
        }
        ready = ready && stalled;
    }
    ~Rig() {
        stopSampler();  // the reader ends once every tick connection is closed from the sending side
        close(baselineSocket);
        close(bareSocket);
        if (reader.joinable()) reader.join();
        readingServer.stop();
        stalledServer.stop();
        for (int socket : {clients[0], clients[1], clients[2], readingClient, stalledClient, readerStatus.load()}) {
            close(socket);
        }
    }

    void tick(Feed feed, const FlightData &data) {
        if (feed == kOurTick) {
            flightLoopCallback(1, 1, 0, nullptr);
        } else if (feed == kBaseline) {  // the plain way: snprintf's "%f", a blocking send, and the log line
            char line[kPositionLineBufferSize];
            int length = formatWithSnprintf(data, line, sizeof line);
            std::printf("Bytes sent: %d\n", static_cast<int>(send(baselineSocket, line, length, 0)));
        } else {
            send(bareSocket, readyLine, readyLength, 0);
        }
    }

    void readClients() {
        pinToCpu(1);
        readerStatus = open("/proc/thread-self/stat", O_RDONLY | O_CLOEXEC);
        pollfd entries[kFeedCount];
        for (int feed = 0; feed < kFeedCount; ++feed) entries[feed] = {clients[feed], POLLIN, 0};
        char chunk[65536];
        for (int openSockets = kFeedCount; openSockets > 0;) {
            if (poll(entries, kFeedCount, -1) < 0) continue;  // interrupted
            for (pollfd &entry : entries) {
                if (entry.fd < 0 || entry.revents == 0) continue;
                ssize_t count = recv(entry.fd, chunk, sizeof chunk, MSG_DONTWAIT);
                auto feed = &entry - entries;
                if (count > 0) {
                    bytesRead[feed] += count;
                    linesRead[feed] += std::count(chunk, chunk + count, '\n');
                } else if (count == 0 || !isWouldBlock(errno)) {
                    entry.fd = -1;  // poll passes over it from now on
                    --openSockets;
                }
            }
        }
    }

    // Waits until `feed` has brought `lines` lines in all and the reader sleeps in poll again. False after
    // a second without. It never yields: another process sharing this core would keep it for a time slice,
    // long enough for the reader's idle core to halt, and the tick would time waking that core up.
    bool waitUntilAsleepWith(Feed feed, long lines) {
        auto deadline = SteadyClock::now() + std::chrono::seconds(1);
        while (linesRead[feed] < lines || !readerSleeps()) {
            if (SteadyClock::now() > deadline) return false;
        }
        return true;
    }

    // Whether the reader thread sleeps, as /proc tells it.
    bool readerSleeps() {
        char status[512];
        ssize_t length = pread(readerStatus, status, sizeof status - 1, 0);
        status[std::max<ssize_t>(length, 0)] = '\0';
        const char *nameEnd = std::strrchr(status, ')');  // the state follows the thread's name
        return nameEnd && std::strncmp(nameEnd, ") S", 3) == 0;
    }

    bool ready = false;
    int clients[kFeedCount] = {-1, -1, -1};
    int baselineSocket = -1, bareSocket = -1, readingClient = -1, stalledClient = -1;
    PositionServer readingServer, stalledServer;
    char readyLine[kPositionLineBufferSize] = {};
    std::size_t readyLength = static_cast<std::size_t>(formatPositionLine(gPositions[0], readyLine, sizeof readyLine));
    std::atomic<long> bytesRead[kFeedCount] = {}, linesRead[kFeedCount] = {};
    std::atomic<int> readerStatus{-1};
    std::thread reader;

    long tickRuns = 0, badTickRuns = 0;
    long sends[2] = {}, emptySends[2] = {};  // [1]: to the stalled client
    std::vector<double> sendSeconds[2];
};

std::unique_ptr<Rig> gRig;

void benchFormat(benchmark::State &state, int (*format)(const FlightData &, char *, std::size_t)) {
    char buffer[kPositionLineBufferSize];
    std::size_t index = 0;
    long allocationsBefore = gAllocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(format(position(index++), buffer, sizeof buffer));
        benchmark::DoNotOptimize(buffer);
    }
    countAllocations(state, gAllocations.load() - allocationsBefore);
}

// Calls `call` with the next position once an iteration, after the untimed `prepare`, which may fail;
// times the call alone and counts its allocations. Returns the byte counts logged meanwhile.
template <typename Prepare, typename Call>
std::vector<int> timeEach(benchmark::State &state, Prepare prepare, Call call, std::vector<double> *times = nullptr) {
    long logFrom = logSize(), allocations = 0;
    std::size_t index = 0;
    for (auto _ : state) {
        const FlightData &data = position(index++);
        if (!prepare(data)) {
            state.SkipWithError("a line did not reach its client within a second");
            break;
        }
        long allocationsBefore = gAllocations.load();
        auto start = SteadyClock::now();
        call(data);
        double seconds = secondsSince(start);
        allocations += gAllocations.load() - allocationsBefore;
        state.SetIterationTime(seconds);
        if (times) times->push_back(seconds);
    }
    countAllocations(state, allocations);
    return loggedByteCounts(logFrom);
}

// One tick to a client reading on its own thread; the wait for the client is not timed.
void benchTick(benchmark::State &state, Feed feed, Pace pace) {
    Rig &rig = *gRig;
    long bytesBefore = rig.bytesRead[feed], lines = rig.linesRead[feed];
    auto prepare = [&](const FlightData &data) {
        gHostValues[kLatitude] = data.latitude;  // what the simulator would read; elevation in metres
        gHostValues[kLongitude] = data.longitude;
        gHostValues[kElevation] = data.elevation / 3.28084;
        gHostValues[kIndicatedAirspeed] = data.indicatedAirspeed;
        gHostValues[kHeading] = data.heading;
        return pace == kBackToBack || rig.waitUntilAsleepWith(feed, lines++);
    };
    std::vector<int> logged = timeEach(state, prepare, [&](const FlightData &data) { rig.tick(feed, data); });

    // Ours and the baseline logged every send, each a success if the client slept, and their client got
    // what they logged; the bare send's client got every line.
    auto ticks = static_cast<std::size_t>(state.iterations());
    long sent = feed == kBareSend ? static_cast<long>(ticks * rig.readyLength)
                                  : std::accumulate(logged.begin(), logged.end(), 0L);
    bool whole = !state.error_occurred() && (feed == kBareSend || logged.size() == ticks) &&
                 (pace == kBackToBack || std::count(logged.begin(), logged.end(), 0) == 0) &&
                 waitUntil([&] { return rig.bytesRead[feed] - bytesBefore == sent; }, std::chrono::seconds(1));
    ++rig.tickRuns;
    rig.badTickRuns += !whole;
}

// To a client that has read every line before the next, as at one a second, or to one that never reads:
// that one must cost the simulator no more than the other.
void benchSend(benchmark::State &state, bool stalled) {
    Rig &rig = *gRig;
    auto drain = [&](const FlightData &) {
        char chunk[65536];
        while (!stalled && recv(rig.readingClient, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
        }
        return true;
    };
    PositionServer &server = stalled ? rig.stalledServer : rig.readingServer;
    std::vector<int> logged = timeEach(
        state, drain, [&](const FlightData &data) { server.sendFlightData(data); }, &rig.sendSeconds[stalled]);
    rig.sends[stalled] += static_cast<long>(logged.size());
    rig.emptySends[stalled] += std::count(logged.begin(), logged.end(), 0);
}

double percentile99(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? NAN : values[values.size() * 99 / 100];
}

struct IdleListener {
    bool waited;
    double cpuMilliseconds;
    long contextSwitches;
};

// The process's CPU time while a listener waits 5 s for a client that never comes, and this thread sleeps.
IdleListener measureIdleListener() {
    PositionServer server;
    server.startListener();
    bool listening = waitUntil(feedPortListens);
    auto contextSwitches = [] {
        rusage usage{};
        getrusage(RUSAGE_SELF, &usage);  // the sum over the process's threads
        return usage.ru_nvcsw + usage.ru_nivcsw;
    };
    std::clock_t cpuBefore = std::clock();
    long switchesBefore = contextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    IdleListener idle{listening && server.isListening() && !server.isConnected(),
                      1000.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC,
                      contextSwitches() - switchesBefore};
    server.stop();
    return idle;
}

}  // namespace

int main(int argc, char **argv) {
    // Fully buffered whatever stdout is, so a log line costs the same in every run: a copy into the
    // buffer, and now and then a write to the log file.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    if (!initializeBenchmarks(argc, argv)) return 2;

    // Every repetition lasts a few milliseconds, so that none leaves the machine in another state for long: on
    // this virtual machine, 50 ms of formatting was seen to slow the wake-up of the client's idle core after it.
    benchmark::RegisterBenchmark("format/ours", benchFormat, formatPositionLine)->Iterations(5000);
    benchmark::RegisterBenchmark("format/snprintf", benchFormat, formatWithSnprintf)->Iterations(5000);
    for (Pace pace : {kClientAsleep, kBackToBack}) {
        for (Feed feed : {kOurTick, kBaseline, kBareSend}) {
            std::string name = std::string(kPaceNames[pace]) + "/" + kFeedNames[feed];
            benchmark::RegisterBenchmark(name.c_str(), benchTick, feed, pace)->UseManualTime()->Iterations(1000);
        }
    }
    benchmark::RegisterBenchmark("send/stalled", benchSend, true)->UseManualTime()->Iterations(5000);
    benchmark::RegisterBenchmark("send/reading", benchSend, false)->UseManualTime()->Iterations(5000);

    IdleListener idle = measureIdleListener();  // alone, before the others' connections exist

    // From here on the report goes to the console through a descriptor of its own, and stdout to the log.
    std::fflush(stdout);
    std::FILE *console = fdopen(dup(STDOUT_FILENO), "w");
    __gnu_cxx::stdio_sync_filebuf<char> consoleBuffer(console);
    std::ostream consoleStream(&consoleBuffer);
    dup2(fileno(gLog), STDOUT_FILENO);
    TableReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    reporter.SetOutputStream(&consoleStream);
    pinToCpu(0);
    gRig = std::make_unique<Rig>();
    Rig &rig = *gRig;
    if (!rig.ready) {
        std::fprintf(stderr, "could not connect to the feed port %d, or fill the stalled client\n", kFeedPort);
        return 1;
    }
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bool connected = gServer.isConnected() && rig.readingServer.isConnected() && rig.stalledServer.isConnected();

    ResultTable table(console);
    table.begin(
        "Medians of the repetitions, interleaved in one run; stalled: a client that never reads, its "
        "buffers full");
    auto median = [&reporter](const std::string &name) { return reporter.medianNanoseconds[name].value; };
    auto allocations = [&reporter](const std::string &name) { return reporter.meanAllocations[name].value; };
    double ours = median("format/ours"), theirs = median("format/snprintf");
    table.row("line, ns  A ours  B snprintf %f", ours, theirs, "A/B <= 1", ours <= theirs);
    for (const std::string pace : kPaceNames) {
        double tick = median(pace + "/ours") / 1000, baseline = median(pace + "/baseline") / 1000,
               bare = median(pace + "/bare_send") / 1000;
        table.row(pace + ", us  A ours  B baseline", tick, baseline, "A/B <= 0.7", tick <= 0.7 * baseline);
        table.row(pace + ", us  A ours  B bare send", tick, bare, "A/B <= 1.6", tick <= 1.6 * bare);
    }
    double stalled = median("send/stalled") / 1000, reading = median("send/reading") / 1000;
    table.row("send, us  A stalled  B reading", stalled, reading, "A/B <= 1.1", stalled <= 1.1 * reading);
    double stalled99 = percentile99(rig.sendSeconds[1]) * 1e6, reading99 = percentile99(rig.sendSeconds[0]) * 1e6;
    table.row("send 99th percentile, us  A stalled  B reading", stalled99, reading99, "A < 1000 us", stalled99 < 1000);
    double tickAllocations = std::max(allocations("tick_client_asleep/ours"), allocations("tick_back_to_back/ours"));
    double sendAllocations = allocations("send/stalled");
    bool counted = allocationsAreCounted();
    table.row("allocations per call  A our tick  B stalled send", tickAllocations, sendAllocations, "A = B = 0",
              counted && tickAllocations == 0 && sendAllocations == 0);
    table.row("listener waiting 5 s, CPU ms", idle.cpuMilliseconds, NAN, "A <= 5 (0.1%)", idle.cpuMilliseconds <= 5);
    std::fprintf(console,
                 "our tick: the sampler's flight loop callback, sampling and sending through PositionServer "
                 "and logging; baseline: snprintf %%f, a blocking send and printf of the log line; bare "
                 "send: one send of a ready line. Each to a client reading on its own thread. "
                 "sizeof(PositionServer): %zu bytes\n",
                 sizeof(PositionServer));

    std::fprintf(console, "check: formatter output identical to snprintf's on %zu positions", kPositionCount);
    table.verdict(true, sameLines());
    std::fprintf(console, "check: in each of %ld tick runs every line reached its client whole, as logged",
                 rig.tickRuns);
    table.verdict(rig.tickRuns > 0, rig.badTickRuns == 0);
    double stalledEmpty = 100.0 * rig.emptySends[1] / rig.sends[1];
    std::fprintf(console, "check: timed sends that sent 0 bytes: stalled %.1f%% (must be >= 90%%), reading %.1f%%",
                 stalledEmpty, 100.0 * rig.emptySends[0] / rig.sends[0]);
    table.verdict(rig.sends[1] > 0, stalledEmpty >= 90);
    std::fprintf(console, "check: every client still connected at the end");
    table.verdict(true, connected);
    std::fprintf(console, "check: allocations counted (one seen when made on purpose; not under a sanitizer)");
    table.verdict(true, counted);
    std::fprintf(console, "check: listener waited with no client: %.3f ms CPU in 5 s, %ld context switches",
                 idle.cpuMilliseconds, idle.contextSwitches);
    table.verdict(true, idle.waited);
    gRig.reset();
    return table.sound() ? 0 : 1;
}

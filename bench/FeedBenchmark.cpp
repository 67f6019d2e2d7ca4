// Measures the position feed against its alternatives with Google Benchmark: repetitions of each, in a
// random interleaving within one run, then a table of the medians' ratios against their targets. A
// report: a missed target still exits 0, a failed sanity check (a line lost, say) exits 1.
//
// The tick is the sampler's own flight loop callback with the real PositionServer; the XPLM calls it
// makes are answered below from a table of values.
#include <benchmark/benchmark.h>
#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <numeric>
#include <random>

#include "FlightSampler.h"
#include "TestSupport.h"
#include "XPLMDataAccess.h"
#include "XPLMProcessing.h"

// Counts every heap allocation of the process, operator new's and the C library's alike, by standing in
// for malloc and handing each call on to glibc's own. The sanitizers bring their own malloc: under them
// nothing is counted, and the sanity check on counting fails.
namespace {
std::atomic<long> gAllocations{0};
}  // namespace

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *memory, std::size_t size);
void __libc_free(void *memory);

__attribute__((visibility("default"))) void *malloc(std::size_t size) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_malloc(size);
}
__attribute__((visibility("default"))) void *calloc(std::size_t count, std::size_t size) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_calloc(count, size);
}
__attribute__((visibility("default"))) void *realloc(void *memory, std::size_t size) noexcept {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return __libc_realloc(memory, size);
}
__attribute__((visibility("default"))) void free(void *memory) noexcept { __libc_free(memory); }
}
#endif

// The host's side of the sampler: its data refs, served from this table. The benchmark calls the flight
// loop callback itself.
namespace {

struct HostDataRef {
    const char *name;
    double value;
};

HostDataRef gHostDataRefs[] = {
    {"sim/flightmodel/controls/parkbrake", 0},         {"sim/cockpit/switches/fasten_seat_belts", 1},
    {"sim/flightmodel/position/latitude", 0},          {"sim/flightmodel/position/longitude", 0},
    {"sim/flightmodel/position/elevation", 0},         {"sim/flightmodel/position/indicated_airspeed", 0},
    {"sim/flightmodel/failures/onground_any", 0},      {"sim/flightmodel/position/psi", 0},
};

double valueOf(XPLMDataRef handle) { return handle ? *static_cast<double *>(handle) : 0.0; }

double &hostDataRef(const char *name) {
    for (HostDataRef &dataRef : gHostDataRefs) {
        if (std::strcmp(dataRef.name, name) == 0) return dataRef.value;
    }
    std::abort();  // a name missing from the table above
}

}  // namespace

XPLMDataRef XPLMFindDataRef(const char *name) { return &hostDataRef(name); }
int XPLMGetDatai(XPLMDataRef handle) { return static_cast<int>(valueOf(handle)); }
float XPLMGetDataf(XPLMDataRef handle) { return static_cast<float>(valueOf(handle)); }
double XPLMGetDatad(XPLMDataRef handle) { return valueOf(handle); }
void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f, float, void *) {}
void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f, void *) {}

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

void countAllocations(benchmark::State &state, long allocations) {
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

// Whether the allocation count sees an allocation at all, so that a count of 0 means something.
bool allocationsAreCounted() {
    void *(*volatile allocate)(std::size_t) = std::malloc;  // volatile: the pair cannot be optimised away
    long before = gAllocations.load();
    std::free(allocate(16));
    return gAllocations.load() == before + 1;
}

// Varied, realistic positions, so that no formatting work can be folded into constants.
std::vector<FlightData> realisticPositions(std::size_t count) {
    std::mt19937_64 random(27015);
    auto uniform = [&random](double low, double high) { return std::uniform_real_distribution<double>(low, high)(random); };
    std::vector<FlightData> positions(count);
    for (FlightData &data : positions) {
        data.latitude = uniform(-90, 90);
        data.longitude = uniform(-180, 180);
        data.indicatedAirspeed = static_cast<float>(uniform(0, 350));
        data.elevation = uniform(-1000, 45000);
        data.heading = static_cast<float>(uniform(0, 360));
    }
    return positions;
}

const std::vector<FlightData> gPositions = realisticPositions(4096);

// Hands out the positions in turn, round and round.
class PositionCycle {
public:
    const FlightData &next() {
        const FlightData &data = gPositions[at];
        at = at + 1 == gPositions.size() ? 0 : at + 1;
        return data;
    }

private:
    std::size_t at = 0;
};

// What the simulator would read for `data`; the data ref holds the elevation in metres.
void setHostPosition(const FlightData &data) {
    hostDataRef("sim/flightmodel/position/latitude") = data.latitude;
    hostDataRef("sim/flightmodel/position/longitude") = data.longitude;
    hostDataRef("sim/flightmodel/position/elevation") = data.elevation / 3.28084;
    hostDataRef("sim/flightmodel/position/indicated_airspeed") = data.indicatedAirspeed;
    hostDataRef("sim/flightmodel/position/psi") = data.heading;
}

using LineFormat = int (*)(const FlightData &, char *, std::size_t);

// The obvious alternative: the same line from printf's "%f", which follows the process locale.
int formatWithSnprintf(const FlightData &data, char *buffer, std::size_t size) {
    return std::snprintf(buffer, size,
                         "{version:\"1\",latitude:\"%f\",longitude:\"%f\",speed:\"%f\",elevation:\"%f\",heading:\"%f\"}\n",
                         data.latitude, data.longitude, static_cast<double>(data.indicatedAirspeed), data.elevation,
                         static_cast<double>(data.heading));
}

bool sameLines() {
    for (const FlightData &data : gPositions) {
        char ours[kPositionLineBufferSize], theirs[kPositionLineBufferSize];
        int length = formatPositionLine(data, ours, sizeof ours);
        if (length != formatWithSnprintf(data, theirs, sizeof theirs) || std::strcmp(ours, theirs) != 0) return false;
    }
    return true;
}

// Sends stdout, where every send logs "Bytes sent: N", to a temporary file while it lives.
class LogCapture {
public:
    LogCapture() : file(std::tmpfile()), saved(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        dup2(fileno(file), STDOUT_FILENO);
    }
    ~LogCapture() {
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        close(saved);
        std::fclose(file);
    }

    long size() {
        std::fflush(stdout);
        struct stat status {};
        fstat(fileno(file), &status);
        return static_cast<long>(status.st_size);
    }

    // The byte counts logged from byte `from` on, in order.
    std::vector<int> byteCountsFrom(long from) {
        std::string text(static_cast<std::size_t>(std::max(0L, size() - from)), '\0');
        pread(fileno(file), text.data(), text.size(), from);
        const std::string label = "Bytes sent: ";
        std::vector<int> counts;
        for (std::size_t at = text.find(label); at != std::string::npos; at = text.find(label, at + 1)) {
            counts.push_back(std::atoi(text.c_str() + at + label.size()));
        }
        return counts;
    }

private:
    std::FILE *file;
    int saved;
};

// A loopback client of the feed port, connected once the server's listener has taken it; a receive
// buffer size > 0 is set before connecting, so the window it offers stays small.
bool connectClient(PositionServer &server, int &client, int receiveBufferSize) {
    server.startListener();
    return waitUntil([&] {
               close(client);
               client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
               if (receiveBufferSize > 0) {
                   setsockopt(client, SOL_SOCKET, SO_RCVBUF, &receiveBufferSize, sizeof receiveBufferSize);
               }
               sockaddr_in address = loopback(kFeedPort);
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
// Before each tick the client sleeps in poll, as it does a second after the last line; or the ticks go
// back to back while the client drains them, so a send rarely has to wake it.
enum Pace { kClientAsleep, kBackToBack };

// Reads every feed's client socket on a thread of its own, as a real client would, and counts what
// arrives. Ends once the sending side has closed every socket.
class ClientReader {
public:
    explicit ClientReader(const int (&sockets)[kFeedCount]) {
        for (int feed = 0; feed < kFeedCount; ++feed) entries[feed] = {sockets[feed], POLLIN, 0};
        thread = std::thread([this] { run(); });
    }
    ~ClientReader() {
        thread.join();
        if (statusFile != -1) close(statusFile);
    }

    long bytes(Feed feed) const { return bytesRead[feed].load(); }
    long lines(Feed feed) const { return linesRead[feed].load(); }

    // Waits until `feed` has brought `lines` lines in all and this reader is asleep in poll again. False
    // after a second without.
    bool waitUntilAsleepWith(Feed feed, long lines) {
        auto deadline = Clock::now() + std::chrono::seconds(1);
        while (linesRead[feed].load() < lines || !asleep()) {
            if (Clock::now() > deadline) return false;
            std::this_thread::yield();
        }
        return true;
    }

private:
    void run() {
        threadId.store(gettid());
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

    // Whether the reader thread is sleeping, as /proc tells it.
    bool asleep() {
        if (statusFile == -1 && threadId.load() != 0) {
            char path[64];
            std::snprintf(path, sizeof path, "/proc/self/task/%d/stat", threadId.load());
            statusFile = open(path, O_RDONLY | O_CLOEXEC);
        }
        char status[512];
        ssize_t length = statusFile == -1 ? -1 : pread(statusFile, status, sizeof status - 1, 0);
        if (length <= 0) return false;
        status[length] = '\0';
        const char *nameEnd = std::strrchr(status, ')');  // the state follows the thread's name
        return nameEnd && nameEnd[1] == ' ' && nameEnd[2] == 'S';
    }

    pollfd entries[kFeedCount];
    std::atomic<long> bytesRead[kFeedCount] = {}, linesRead[kFeedCount] = {};
    std::atomic<pid_t> threadId{0};
    int statusFile = -1;
    std::thread thread;
};

// The connections the tick and send benchmarks use, made once for the whole run, and what their sanity
// checks gather over every repetition. Logs go to a file while it lives.
struct Rig {
    Rig() {
        std::strcpy(readyLine, "");
        readyLength = static_cast<std::size_t>(formatPositionLine(gPositions[0], readyLine, sizeof readyLine));
        startSampler();
        connected = connectClient(gServer, clients[kOurTick], 0) && connectLoopback(baselineSocket, clients[kBaseline]) &&
                    connectLoopback(bareSocket, clients[kBareSend]) && connectClient(readingServer, readingClient, 0) &&
                    connectClient(stalledServer, stalledClient, 2048);
        if (connected) reader = std::make_unique<ClientReader>(clients);
    }
    ~Rig() {
        stopSampler();  // the reader ends once every tick connection is closed from the sending side
        close(baselineSocket);
        close(bareSocket);
        reader.reset();
        readingServer.stop();
        stalledServer.stop();
        for (int socket : {clients[0], clients[1], clients[2], readingClient, stalledClient}) close(socket);
    }

    void tick(Feed feed, const FlightData &data) {
        char line[kPositionLineBufferSize];
        switch (feed) {
        case kOurTick: flightLoopCallback(1, 1, 0, nullptr); break;
        case kBaseline:  // the plain way: the line from snprintf's "%f", a blocking send, and the log line
            std::printf("Bytes sent: %d\n",
                        static_cast<int>(send(baselineSocket, line,
                                              static_cast<std::size_t>(formatWithSnprintf(data, line, sizeof line)), 0)));
            break;
        case kBareSend: send(bareSocket, readyLine, readyLength, 0); break;
        case kFeedCount: break;
        }
    }

    // Ticks until a send to the stalled client took nothing: its window and the server's buffer are full.
    bool fillStalledClient() {
        for (int round = 0; round < 100; ++round) {
            long from = log.size();
            for (const FlightData &data : gPositions) stalledServer.sendFlightData(data);
            if (log.byteCountsFrom(from).back() == 0) return true;
        }
        return false;
    }

    LogCapture log;
    char readyLine[kPositionLineBufferSize];
    std::size_t readyLength;
    bool connected = false;
    int clients[kFeedCount] = {-1, -1, -1};
    int baselineSocket = -1, bareSocket = -1, readingClient = -1, stalledClient = -1;
    PositionServer readingServer, stalledServer;
    std::unique_ptr<ClientReader> reader;

    long tickRepetitions = 0;
    bool linesWhole = true;
    long sends[2] = {}, blockedSends[2] = {};  // indexed by stalled
    std::vector<double> sendSeconds[2];
};

Rig *gRig = nullptr;

void benchFormat(benchmark::State &state, LineFormat format) {
    PositionCycle positions;
    char buffer[kPositionLineBufferSize];
    long allocationsBefore = gAllocations.load();
    for (auto _ : state) {
        benchmark::DoNotOptimize(format(positions.next(), buffer, sizeof buffer));
        benchmark::DoNotOptimize(buffer);
    }
    countAllocations(state, gAllocations.load() - allocationsBefore);
}

// One tick to a client reading on its own thread. Only the tick is timed, not the wait for the client.
void benchTick(benchmark::State &state, Feed feed, Pace pace) {
    Rig &rig = *gRig;
    PositionCycle positions;
    long logFrom = rig.log.size(), bytesBefore = rig.reader->bytes(feed), lines = rig.reader->lines(feed);
    long allocations = 0;
    for (auto _ : state) {
        const FlightData &data = positions.next();
        setHostPosition(data);
        if (pace == kClientAsleep && !rig.reader->waitUntilAsleepWith(feed, lines++)) {
            state.SkipWithError("a line did not reach its client within a second");
            break;
        }
        long allocationsBefore = gAllocations.load();
        auto start = Clock::now();
        rig.tick(feed, data);
        state.SetIterationTime(secondsSince(start));
        allocations += gAllocations.load() - allocationsBefore;
    }
    countAllocations(state, allocations);

    // Ours and the baseline logged every send, each a success when the client slept, and their client
    // read what they logged; the bare send's client read every line.
    auto ticks = static_cast<std::size_t>(state.iterations());
    std::vector<int> logged = rig.log.byteCountsFrom(logFrom);
    long sent = feed == kBareSend ? static_cast<long>(ticks * rig.readyLength)
                                  : std::accumulate(logged.begin(), logged.end(), 0L);
    bool whole = !state.error_occurred() && (feed == kBareSend || logged.size() == ticks) &&
                 (pace == kBackToBack || std::count(logged.begin(), logged.end(), 0) == 0) &&
                 waitUntil([&] { return rig.reader->bytes(feed) - bytesBefore == sent; }, std::chrono::seconds(1));
    rig.linesWhole = rig.linesWhole && whole;
    ++rig.tickRepetitions;
}

// A server whose client reads each line before the next, as it would at one a second, or one whose
// client never reads: that one must cost the simulator no more than the other.
void benchSend(benchmark::State &state, bool stalled) {
    Rig &rig = *gRig;
    PositionServer &server = stalled ? rig.stalledServer : rig.readingServer;
    PositionCycle positions;
    long logFrom = rig.log.size(), allocations = 0;
    char chunk[65536];
    for (auto _ : state) {
        const FlightData &data = positions.next();
        long allocationsBefore = gAllocations.load();
        auto start = Clock::now();
        server.sendFlightData(data);
        double seconds = secondsSince(start);
        allocations += gAllocations.load() - allocationsBefore;
        state.SetIterationTime(seconds);
        rig.sendSeconds[stalled].push_back(seconds);
        if (!stalled) {
            while (recv(rig.readingClient, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
            }
        }
    }
    countAllocations(state, allocations);
    std::vector<int> logged = rig.log.byteCountsFrom(logFrom);
    rig.sends[stalled] += static_cast<long>(logged.size());
    rig.blockedSends[stalled] += std::count(logged.begin(), logged.end(), 0);
}

struct IdleListener {
    bool waited = false;
    double seconds = 0, cpuMilliseconds = NAN;
    long contextSwitches = 0;
};

long contextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);  // the sum over the process's threads
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// The process's CPU time while a listener waits 5 s for a client that never comes, and this thread sleeps.
IdleListener measureIdleListener() {
    IdleListener result;
    PositionServer server;
    server.startListener();
    if (waitUntil(feedPortListens)) {
        std::clock_t cpuBefore = std::clock();
        long switchesBefore = contextSwitches();
        auto start = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(5));
        result.cpuMilliseconds = 1000.0 * static_cast<double>(std::clock() - cpuBefore) / CLOCKS_PER_SEC;
        result.contextSwitches = contextSwitches() - switchesBefore;
        result.seconds = secondsSince(start);
        result.waited = server.isListening() && !server.isConnected();
    }
    server.stop();
    return result;
}

double percentile99(std::vector<double> values) {
    if (values.empty()) return NAN;
    std::sort(values.begin(), values.end());
    return values[values.size() * 99 / 100];
}

// Shows the runs as the console reporter does, and keeps every benchmark's aggregates for the table.
class TableReporter : public benchmark::ConsoleReporter {
public:
    using benchmark::ConsoleReporter::ConsoleReporter;

    void ReportRuns(const std::vector<Run> &runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run &run : runs) {
            failed = failed || run.error_occurred;
            if (run.run_type == Run::RT_Aggregate) aggregates[run.run_name.function_name + " " + run.aggregate_name] = run;
        }
    }

    // The median over the repetitions of the time per iteration, in ns / `per`; NaN if it did not run.
    double median(const std::string &name, double per = 1) const {
        auto found = aggregates.find(name + " median");
        return found == aggregates.end() ? NAN : found->second.GetAdjustedRealTime() / per;
    }
    // The mean over the repetitions of the allocations per iteration.
    double allocations(const std::string &name) const {
        auto found = aggregates.find(name + " mean");
        return found == aggregates.end() ? NAN : found->second.counters.at("allocs").value;
    }

    bool failed = false;

private:
    std::map<std::string, Run> aggregates;
};

struct Row {
    const char *what;
    double a, b;  // b NaN: a figure on its own
    const char *target;
    bool met;
};

}  // namespace

int main(int argc, char **argv) {
    // Fully buffered whatever stdout is, so a log line costs the same in every run: a copy into the
    // buffer, and now and then a write to the log file.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    // Defaults, overridden by the same flags on the command line.
    char repetitions[] = "--benchmark_repetitions=20", interleaving[] = "--benchmark_enable_random_interleaving=true",
         aggregatesOnly[] = "--benchmark_display_aggregates_only=true";
    std::vector<char *> arguments = {argv[0], repetitions, interleaving, aggregatesOnly};
    arguments.insert(arguments.end(), argv + 1, argv + argc);
    int argumentCount = static_cast<int>(arguments.size());
    benchmark::Initialize(&argumentCount, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(argumentCount, arguments.data())) return 2;

    benchmark::RegisterBenchmark("format/ours", benchFormat, formatPositionLine)->Iterations(50000);
    benchmark::RegisterBenchmark("format/snprintf", benchFormat, formatWithSnprintf)->Iterations(50000);
    const char *const feedNames[kFeedCount] = {"ours", "baseline", "bare_send"};
    for (Pace pace : {kClientAsleep, kBackToBack}) {
        for (Feed feed : {kOurTick, kBaseline, kBareSend}) {
            std::string name = std::string(pace == kClientAsleep ? "tick_client_asleep/" : "tick_back_to_back/") +
                               feedNames[feed];
            benchmark::RegisterBenchmark(name.c_str(), benchTick, feed, pace)->UseManualTime()->Iterations(1000);
        }
    }
    benchmark::RegisterBenchmark("send/stalled", benchSend, true)->UseManualTime()->Iterations(5000);
    benchmark::RegisterBenchmark("send/reading", benchSend, false)->UseManualTime()->Iterations(5000);

    // Alone, before the connections of the others exist.
    IdleListener idle = measureIdleListener();

    TableReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    std::fflush(stdout);
    __gnu_cxx::stdio_filebuf<char> consoleBuffer(dup(STDOUT_FILENO), std::ios::out);  // stdout goes to the log
    std::ostream console(&consoleBuffer);
    reporter.SetOutputStream(&console);
    bool linesWhole = false, stillConnected = false, filled = false;
    long tickRepetitions = 0, sends[2] = {}, blockedSends[2] = {};
    double send99[2] = {};
    {
        Rig rig;
        gRig = &rig;
        filled = rig.connected && rig.fillStalledClient();
        if (!filled) {
            std::fprintf(stderr, "could not connect to the feed port %d, or fill the stalled client\n", kFeedPort);
            return 1;
        }
        benchmark::RunSpecifiedBenchmarks(&reporter);
        console.flush();
        linesWhole = rig.linesWhole;
        tickRepetitions = rig.tickRepetitions;
        stillConnected = gServer.isConnected() && rig.readingServer.isConnected() && rig.stalledServer.isConnected();
        for (int stalled : {0, 1}) {
            sends[stalled] = rig.sends[stalled];
            blockedSends[stalled] = rig.blockedSends[stalled];
            send99[stalled] = percentile99(rig.sendSeconds[stalled]) * 1e6;
        }
    }

    auto ratio = [](double a, double b) { return a / b; };
    std::vector<Row> rows;
    double ours = reporter.median("format/ours"), theirs = reporter.median("format/snprintf");
    rows.push_back({"line, ns  A to_chars  B snprintf %f", ours, theirs, "A/B <= 1", ratio(ours, theirs) <= 1});
    for (const char *pace : {"tick_client_asleep", "tick_back_to_back"}) {
        std::string prefix = std::string(pace) + "/";
        double tick = reporter.median(prefix + "ours", 1000), baseline = reporter.median(prefix + "baseline", 1000),
               bare = reporter.median(prefix + "bare_send", 1000);
        bool asleep = pace[5] == 'c';
        rows.push_back({asleep ? "tick, us, client asleep  A ours  B baseline" : "tick, us, back to back  A ours  B baseline",
                        tick, baseline, "A/B <= 0.7", ratio(tick, baseline) <= 0.7});
        rows.push_back({asleep ? "tick, us, client asleep  A ours  B bare send" : "tick, us, back to back  A ours  B bare send",
                        tick, bare, "A/B <= 1.6", ratio(tick, bare) <= 1.6});
    }
    double stalled = reporter.median("send/stalled", 1000), reading = reporter.median("send/reading", 1000);
    rows.push_back({"send median, us  A stalled  B reading", stalled, reading, "A/B <= 1.1", ratio(stalled, reading) <= 1.1});
    rows.push_back({"send 99th pct, us  A stalled  B reading", send99[1], send99[0], "A < 1000 us", send99[1] < 1000});
    double tickAllocations = std::max(reporter.allocations("tick_client_asleep/ours"),
                                      reporter.allocations("tick_back_to_back/ours"));
    double sendAllocations = reporter.allocations("send/stalled");
    rows.push_back({"allocations per call  A our tick  B stalled send", tickAllocations, sendAllocations, "A = B = 0",
                    tickAllocations == 0 && sendAllocations == 0});
    rows.push_back({"listener waiting 5 s, CPU ms", idle.cpuMilliseconds, NAN, "A <= 5 (0.1%)", idle.cpuMilliseconds <= 5});

    std::printf("\nMedians of the repetitions, interleaved in one run; stalled: a client that never reads, its buffers full\n");
    std::printf("%-50s %10s %10s %8s  %-14s %s\n", "what", "A", "B", "A/B", "target", "result");
    for (const Row &row : rows) {
        char b[16] = "-", quotient[16] = "-";  // no ratio when B is 0 or there is none
        if (!std::isnan(row.b)) std::snprintf(b, sizeof b, "%.3f", row.b);
        if (!std::isnan(row.b) && row.b != 0) std::snprintf(quotient, sizeof quotient, "%.3f", row.a / row.b);
        std::printf("%-50s %10.3f %10s %8s  %-14s %s\n", row.what, row.a, b, quotient, row.target,
                    std::isnan(row.a) ? "not run" : row.met ? "PASS" : "MISS");
    }
    std::printf("our tick: the sampler's flight loop callback, sampling and sending through PositionServer and "
                "logging; baseline: snprintf %%f, a blocking send and printf of the log line; bare send: one send "
                "of a ready line. Each to a client reading on its own thread. sizeof(PositionServer): %zu bytes\n",
                sizeof(PositionServer));

    double stalledShare = 100.0 * blockedSends[1] / sends[1], readingShare = 100.0 * blockedSends[0] / sends[0];
    struct Check {
        std::string what;
        bool ran, holds;
    } checks[] = {
        {"formatter output identical to snprintf's on 4096 positions", true, sameLines()},
        {"every tick's line reached its client whole, as logged", tickRepetitions > 0, linesWhole},
        {"timed sends to the stalled client that sent 0 bytes >= 90%: " + std::to_string(stalledShare) +
             "% (reading client: " + std::to_string(readingShare) + "%)",
         sends[1] > 0, stalledShare >= 90},
        {"every client still connected at the end", true, stillConnected},
        {"allocations counted (one seen when made on purpose; not under a sanitizer)", true, allocationsAreCounted()},
        {"no benchmark stopped with an error", true, !reporter.failed},
        {"listener waited with no client: " + std::to_string(idle.cpuMilliseconds) + " ms CPU in " +
             std::to_string(idle.seconds) + " s, " + std::to_string(idle.contextSwitches) + " context switches",
         true, idle.waited},
    };
    bool sound = true;
    for (const Check &check : checks) {
        std::printf("check: %s: %s\n", check.what.c_str(), !check.ran ? "not run" : check.holds ? "yes" : "NO");
        sound = sound && (!check.ran || check.holds);
    }
    return sound ? 0 : 1;
}

// Measures the position feed against its alternatives, side by side and interleaved in one run, and
// prints a table of ratios. A report, not a test: it exits 0 whether or not the targets are met.
//
// The tick is the sampler's own flight loop callback with the real PositionServer, driven as the host
// drives it; the six XPLM calls it makes are answered below from a table of values.
#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <numeric>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "FlightSampler.h"
#include "PositionServer.h"
#include "TestSupport.h"
#include "XPLMDataAccess.h"
#include "XPLMProcessing.h"

// Counts every heap allocation of the process, operator new's and the C library's alike, by standing in
// for malloc and handing each call on to glibc's own. The sanitizers bring their own malloc: under them
// nothing is counted, and the benchmark says so.
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

// The host's side of the sampler: its data refs, served from this table, and its one flight loop.
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

XPLMFlightLoop_f gFlightLoop = nullptr;
void *gFlightLoopRefcon = nullptr;

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
void XPLMRegisterFlightLoopCallback(XPLMFlightLoop_f callback, float, void *refcon) {
    gFlightLoop = callback;
    gFlightLoopRefcon = refcon;
}
void XPLMUnregisterFlightLoopCallback(XPLMFlightLoop_f callback, void *) {
    if (callback == gFlightLoop) gFlightLoop = nullptr;
}

namespace {

using Clock = std::chrono::steady_clock;

double nanosecondsSince(Clock::time_point start) {
    return std::chrono::duration<double, std::nano>(Clock::now() - start).count();
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() / 2];
}

double percentile99(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values[values.size() * 99 / 100];
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

using LineFormat = int (*)(const FlightData &, char *, std::size_t);

// The obvious alternative: the same line from printf's "%f", which follows the process locale.
int formatWithSnprintf(const FlightData &data, char *buffer, std::size_t size) {
    return std::snprintf(buffer, size,
                         "{version:\"1\",latitude:\"%f\",longitude:\"%f\",speed:\"%f\",elevation:\"%f\",heading:\"%f\"}\n",
                         data.latitude, data.longitude, static_cast<double>(data.indicatedAirspeed), data.elevation,
                         static_cast<double>(data.heading));
}

bool sameLines(const std::vector<FlightData> &positions) {
    for (const FlightData &data : positions) {
        char ours[kPositionLineBufferSize], theirs[kPositionLineBufferSize];
        int length = formatPositionLine(data, ours, sizeof ours);
        if (length != formatWithSnprintf(data, theirs, sizeof theirs) || std::string(ours) != theirs) return false;
    }
    return true;
}

// Mean time per line over all the positions; `sink` takes something of every line so none is skipped.
double nanosecondsPerLine(LineFormat format, const std::vector<FlightData> &positions, unsigned &sink) {
    char buffer[kPositionLineBufferSize];
    auto start = Clock::now();
    for (const FlightData &data : positions) {
        int length = format(data, buffer, sizeof buffer);
        sink += static_cast<unsigned>(length) + static_cast<unsigned char>(buffer[length / 2]);
    }
    return nanosecondsSince(start) / static_cast<double>(positions.size());
}

// A loopback client of the feed port that reads only when told to.
class FeedClient {
public:
    FeedClient() = default;
    FeedClient(const FeedClient &) = delete;
    FeedClient &operator=(const FeedClient &) = delete;
    ~FeedClient() { close(); }

    // A receive buffer size > 0 is set before connecting, so the window it offers stays small.
    bool connect(int receiveBufferSize) {
        close();
        socket_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        if (receiveBufferSize > 0) {
            setsockopt(socket_, SOL_SOCKET, SO_RCVBUF, &receiveBufferSize, sizeof receiveBufferSize);
        }
        sockaddr_in address = loopback(kFeedPort);
        return ::connect(socket_, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0;
    }

    // Reads whatever has arrived, without waiting and without allocating.
    void drain() {
        char chunk[65536];
        while (recv(socket_, chunk, sizeof chunk, MSG_DONTWAIT) > 0) {
        }
    }

    int socket() const { return socket_; }

    void close() {
        if (socket_ != -1) ::close(socket_);
        socket_ = -1;
    }

private:
    int socket_ = -1;
};

bool connectClient(PositionServer &server, FeedClient &client, int receiveBufferSize) {
    server.startListener();
    return waitUntil([&] { return client.connect(receiveBufferSize); }) &&
           waitUntil([&] { return server.isConnected() && !server.isListening(); });
}

// Sends stdout, where sendFlightData logs every call, to a temporary file while it lives.
class StdoutCapture {
public:
    StdoutCapture() : file(std::tmpfile()), saved(dup(STDOUT_FILENO)) {
        std::fflush(stdout);
        dup2(fileno(file), STDOUT_FILENO);
    }
    ~StdoutCapture() {
        std::fflush(stdout);
        dup2(saved, STDOUT_FILENO);
        ::close(saved);
        std::fclose(file);
    }

    long size() {
        std::fflush(stdout);
        struct stat status {};
        fstat(fileno(file), &status);
        return static_cast<long>(status.st_size);
    }

    // What was written from byte `from` on.
    std::string textFrom(long from) {
        std::string text(static_cast<std::size_t>(std::max(0L, size() - from)), '\0');
        pread(fileno(file), text.data(), text.size(), from);
        return text;
    }

private:
    std::FILE *file;
    int saved;
};

// The byte counts logged as "Bytes sent: N", in order.
std::vector<int> loggedByteCounts(const std::string &log) {
    const std::string label = "Bytes sent: ";
    std::vector<int> counts;
    for (std::size_t at = log.find(label); at != std::string::npos; at = log.find(label, at + 1)) {
        counts.push_back(std::atoi(log.c_str() + at + label.size()));
    }
    return counts;
}

// Ticks until a tick's send took nothing: the client's window and the server's send buffer are full.
bool fillUntilStalled(PositionServer &server, const std::vector<FlightData> &positions, StdoutCapture &log) {
    for (int round = 0; round < 100; ++round) {
        for (const FlightData &data : positions) server.sendFlightData(data);
        if (log.textFrom(log.size() - 14) == "Bytes sent: 0\n") return true;
    }
    return false;
}

struct SendResults {
    bool measured = false;
    bool bothConnected = false;
    double stalledBlockedShare = 0, readingBlockedShare = 0;  // per cent of timed sends that sent nothing
    std::vector<double> stalled, reading;  // nanoseconds per send
    long stalledAllocations = 0;
    int allocationSends = 0;
};

double timedSend(PositionServer &server, const FlightData &data) {
    auto start = Clock::now();
    server.sendFlightData(data);
    return nanosecondsSince(start);
}

// One server whose client reads and one whose client never does, sent to alternately, both on this
// thread: a client that stops reading must cost the simulator no more than one that reads.
SendResults measureSends(const std::vector<FlightData> &positions) {
    constexpr int kPairs = 100000;
    constexpr int kAllocationSends = 1000;
    SendResults results;
    PositionServer readingServer, stalledServer;
    FeedClient readingClient, stalledClient;
    if (!connectClient(readingServer, readingClient, 0) || !connectClient(stalledServer, stalledClient, 2048)) {
        std::fprintf(stderr, "could not connect to the feed port %d; is it in use?\n", kFeedPort);
        readingServer.stop();
        stalledServer.stop();
        return results;
    }

    results.stalled.resize(kPairs);
    results.reading.resize(kPairs);
    {
        StdoutCapture log;
        if (fillUntilStalled(stalledServer, positions, log)) {
            long from = log.size();
            for (int pair = 0; pair < kPairs; ++pair) {
                const FlightData &data = positions[static_cast<std::size_t>(pair) % positions.size()];
                // Alternating which goes first, so neither always finds the caches as the other left them.
                if (pair % 2 == 0) results.reading[pair] = timedSend(readingServer, data);
                results.stalled[pair] = timedSend(stalledServer, data);
                if (pair % 2 == 1) results.reading[pair] = timedSend(readingServer, data);
                // Untimed: the reading client has each line read before the next, as it would at one a second.
                readingClient.drain();
            }
            std::vector<int> sent = loggedByteCounts(log.textFrom(from));
            int stalledBlocked = 0, readingBlocked = 0;
            for (std::size_t pair = 0; pair < kPairs && sent.size() == 2 * kPairs; ++pair) {
                bool readingFirst = pair % 2 == 0;  // as sent above
                stalledBlocked += sent[2 * pair + (readingFirst ? 1 : 0)] == 0;
                readingBlocked += sent[2 * pair + (readingFirst ? 0 : 1)] == 0;
            }
            results.stalledBlockedShare = 100.0 * stalledBlocked / kPairs;
            results.readingBlockedShare = 100.0 * readingBlocked / kPairs;
            results.bothConnected = readingServer.isConnected() && stalledServer.isConnected();
            results.measured = true;
        }

        for (int send = 0; send < kAllocationSends; ++send) {
            const FlightData &data = positions[static_cast<std::size_t>(send) % positions.size()];
            long before = gAllocations.load();
            stalledServer.sendFlightData(data);
            results.stalledAllocations += gAllocations.load() - before;
        }
        results.allocationSends = kAllocationSends;
        readingServer.stop();
        stalledServer.stop();
    }
    if (!results.measured) std::fprintf(stderr, "the never-reading client's buffers never filled\n");
    return results;
}

// The three ways of putting a line on a loopback connection that the tick is measured against.
enum Feed { kOurTick, kBaseline, kBareSend, kFeedCount };

// Reads every feed's client socket on a thread of its own, as a real client would, and counts what
// arrives. Ends once the sending side has closed every socket.
class ClientReader {
public:
    explicit ClientReader(const int (&sockets)[kFeedCount]) {
        for (int feed = 0; feed < kFeedCount; ++feed) entries[feed] = {sockets[feed], POLLIN, 0};
        thread = std::thread([this] { run(); });
    }
    ClientReader(const ClientReader &) = delete;
    ClientReader &operator=(const ClientReader &) = delete;
    ~ClientReader() {
        thread.join();
        if (statusFile != -1) close(statusFile);
    }

    long bytes(Feed feed) const { return bytesRead[feed].load(); }

    // Waits until `feed` has brought `lines` lines in all and this reader is asleep in poll again, the
    // state a client is in when the next line comes a second later. False after a second without.
    bool waitForLines(Feed feed, long lines) {
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

// A plain blocking loopback connection on a port of the system's choosing: the server's end in `server`,
// the client's in `client`.
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

// The plain way: the line from snprintf's "%f", a blocking send, and the log line.
void baselineTick(int socket, const FlightData &data) {
    char line[kPositionLineBufferSize];
    int length = formatWithSnprintf(data, line, sizeof line);
    std::printf("Bytes sent: %d\n", static_cast<int>(send(socket, line, static_cast<std::size_t>(length), 0)));
}

// What the simulator would read for `data`; the data ref holds the elevation in metres.
void setHostPosition(const FlightData &data) {
    hostDataRef("sim/flightmodel/position/latitude") = data.latitude;
    hostDataRef("sim/flightmodel/position/longitude") = data.longitude;
    hostDataRef("sim/flightmodel/position/elevation") = data.elevation / 3.28084;
    hostDataRef("sim/flightmodel/position/indicated_airspeed") = data.indicatedAirspeed;
    hostDataRef("sim/flightmodel/position/psi") = data.heading;
}

struct TickResults {
    bool measured = false;
    bool linesArrived = false;    // every tick's line reached its client, and all logged what they sent
    bool stillConnected = false;
    std::vector<double> times[kFeedCount];  // nanoseconds per tick
    long allocations = 0;                   // in our ticks
    int ticks = 0;
};

// Our tick, the baseline and a bare send, each to its own reading client on loopback, in turn and in a
// rotating order. Before each, the client has read everything and waits for more.
TickResults measureTicks(const std::vector<FlightData> &positions) {
    constexpr int kWarmUpRounds = 200;
    constexpr int kRounds = 20000;
    TickResults results;
    startSampler();
    FeedClient ourClient;
    int baselineSocket = -1, baselineClient = -1, bareSocket = -1, bareClient = -1;
    int counter = 0;
    gFlightLoop(1, 1, ++counter, gFlightLoopRefcon);  // starts the listener
    bool connected = waitUntil([&] { return ourClient.connect(0); }) &&
                     waitUntil([] { return gServer.isConnected() && !gServer.isListening(); }) &&
                     connectLoopback(baselineSocket, baselineClient) && connectLoopback(bareSocket, bareClient);
    if (!connected) {
        std::fprintf(stderr, "could not connect to the feed port %d; is it in use?\n", kFeedPort);
        stopSampler();
        for (int socket : {baselineSocket, baselineClient, bareSocket, bareClient}) close(socket);
        return results;
    }

    char readyLine[kPositionLineBufferSize];
    auto readyLength = static_cast<std::size_t>(formatPositionLine(positions[0], readyLine, sizeof readyLine));
    for (std::vector<double> &times : results.times) times.reserve(kRounds);
    long lines[kFeedCount] = {};
    bool arrived = true;
    {
        StdoutCapture log;
        ClientReader reader({ourClient.socket(), baselineClient, bareClient});
        for (int round = 0; round < kWarmUpRounds + kRounds && arrived; ++round) {
            const FlightData &data = positions[static_cast<std::size_t>(round) % positions.size()];
            setHostPosition(data);
            for (int turn = 0; turn < kFeedCount && arrived; ++turn) {
                auto feed = static_cast<Feed>((round + turn) % kFeedCount);
                long allocationsBefore = gAllocations.load();
                auto start = Clock::now();
                switch (feed) {
                case kOurTick: gFlightLoop(1, 1, ++counter, gFlightLoopRefcon); break;
                case kBaseline: baselineTick(baselineSocket, data); break;
                case kBareSend: send(bareSocket, readyLine, readyLength, 0); break;
                case kFeedCount: break;
                }
                double nanoseconds = nanosecondsSince(start);
                // The first rounds are left out: they allocate stdout's buffer and the like.
                if (round >= kWarmUpRounds) {
                    results.times[feed].push_back(nanoseconds);
                    if (feed == kOurTick) results.allocations += gAllocations.load() - allocationsBefore;
                }
                arrived = reader.waitForLines(feed, ++lines[feed]);
            }
        }
        results.ticks = static_cast<int>(results.times[kOurTick].size());
        results.stillConnected = gServer.isConnected();

        // Ours and the baseline logged every send, each a success, and together what their clients read.
        std::vector<int> logged = loggedByteCounts(log.textFrom(0));
        bool allSent = std::all_of(logged.begin(), logged.end(), [](int count) { return count > 0; });
        long loggedBytes = std::accumulate(logged.begin(), logged.end(), 0L);
        results.linesArrived = arrived && allSent &&
                               logged.size() == static_cast<std::size_t>(lines[kOurTick] + lines[kBaseline]) &&
                               loggedBytes == reader.bytes(kOurTick) + reader.bytes(kBaseline);

        // The reader ends once every connection is closed from the sending side.
        stopSampler();
        close(baselineSocket);
        close(bareSocket);
    }
    close(baselineClient);
    close(bareClient);
    results.measured = arrived && results.ticks == kRounds;
    if (!arrived) std::fprintf(stderr, "a line did not reach its client within a second\n");
    return results;
}

struct IdleListener {
    bool measured = false;
    double seconds = 0;
    double cpuMilliseconds = 0;
    long contextSwitches = 0;
};

double cpuSeconds() {
    timespec time{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &time);
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

long contextSwitches() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);  // the sum over the process's threads
    return usage.ru_nvcsw + usage.ru_nivcsw;
}

// The process's CPU time while a listener waits for a client that never comes, and this thread sleeps.
IdleListener measureIdleListener(std::chrono::seconds idle) {
    IdleListener result;
    PositionServer server;
    server.startListener();
    if (waitUntil(feedPortListens)) {
        double cpuBefore = cpuSeconds();
        long switchesBefore = contextSwitches();
        auto start = Clock::now();
        std::this_thread::sleep_for(idle);
        result.cpuMilliseconds = (cpuSeconds() - cpuBefore) * 1000;
        result.contextSwitches = contextSwitches() - switchesBefore;
        result.seconds = nanosecondsSince(start) / 1e9;
        result.measured = server.isListening() && !server.isConnected();
    }
    server.stop();
    if (!result.measured) std::fprintf(stderr, "the listener was not waiting on the feed port\n");
    return result;
}

struct Row {
    const char *what;
    double a, b;  // b NaN: a figure on its own
    const char *target;
    bool met;
};

}  // namespace

int main() {
    // Fully buffered whatever stdout is, so a log line costs the same in every run: a copy into the
    // buffer, and now and then a write to the capture file.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    const std::vector<FlightData> positions = realisticPositions(4096);
    const double none = std::nan("");
    std::vector<Row> rows;

    constexpr int kFormatRounds = 41;
    std::vector<double> ours(kFormatRounds), theirs(kFormatRounds);
    unsigned sink = 0;
    for (int round = 0; round < kFormatRounds; ++round) {
        if (round % 2 == 0) ours[round] = nanosecondsPerLine(formatPositionLine, positions, sink);
        theirs[round] = nanosecondsPerLine(formatWithSnprintf, positions, sink);
        if (round % 2 == 1) ours[round] = nanosecondsPerLine(formatPositionLine, positions, sink);
    }
    bool identical = sameLines(positions);
    rows.push_back({"line, ns  A to_chars  B snprintf %f", median(ours), median(theirs), "A/B <= 1", false});
    rows.back().met = identical && rows.back().a <= rows.back().b;

    TickResults ticks = measureTicks(positions);
    bool ticksSound = ticks.measured && ticks.linesArrived && ticks.stillConnected;
    if (ticks.measured) {
        double tick = median(ticks.times[kOurTick]) / 1000;
        double baseline = median(ticks.times[kBaseline]) / 1000, bare = median(ticks.times[kBareSend]) / 1000;
        rows.push_back({"tick median, us  A our tick  B baseline", tick, baseline, "A/B <= 0.7",
                        ticksSound && tick <= 0.7 * baseline});
        rows.push_back({"tick median, us  A our tick  B bare send", tick, bare, "A/B <= 1.6",
                        ticksSound && tick <= 1.6 * bare});
    }

    SendResults sends = measureSends(positions);
    // Even a client that never reads has its buffers taken in by the kernel now and then, so a few of its
    // sends do send; the comparison stands if most of them found the buffers full.
    bool stalled = sends.bothConnected && sends.stalledBlockedShare >= 90;
    if (sends.measured) {
        double stalledMedian = median(sends.stalled) / 1000, readingMedian = median(sends.reading) / 1000;
        rows.push_back({"send median, us  A stalled  B reading", stalledMedian, readingMedian, "A/B <= 1.1",
                        stalled && stalledMedian <= 1.1 * readingMedian});
        double stalled99 = percentile99(sends.stalled) / 1000, reading99 = percentile99(sends.reading) / 1000;
        rows.push_back({"send 99th pct, us  A stalled  B reading", stalled99, reading99, "A < 1000 us",
                        stalled && stalled99 < 1000});
    }

    bool counted = allocationsAreCounted();
    rows.push_back({"allocations per call  A our tick  B stalled send", ticks.allocations / double(ticks.ticks),
                    sends.stalledAllocations / double(sends.allocationSends), "A = B = 0",
                    counted && ticks.ticks > 0 && sends.allocationSends > 0 && ticks.allocations == 0 &&
                        sends.stalledAllocations == 0});

    IdleListener idle = measureIdleListener(std::chrono::seconds(5));
    double idleShare = idle.measured ? 100 * idle.cpuMilliseconds / (idle.seconds * 1000) : none;
    rows.push_back({"listener waiting 5 s, CPU ms", idle.cpuMilliseconds, none, "A <= 5 (0.1%)",
                    idle.measured && idle.cpuMilliseconds <= 5});

    std::printf("A and B interleaved in one run; stalled: a client that never reads, its buffers full\n");
    std::printf("%-50s %10s %10s %8s  %-14s %s\n", "what", "A", "B", "A/B", "target", "result");
    bool allMet = true;
    for (const Row &row : rows) {
        char b[16] = "-", ratio[16] = "-";  // no ratio when B is 0 or there is none
        if (!std::isnan(row.b)) std::snprintf(b, sizeof b, "%.3f", row.b);
        if (!std::isnan(row.b) && row.b != 0) std::snprintf(ratio, sizeof ratio, "%.3f", row.a / row.b);
        std::printf("%-50s %10.3f %10s %8s  %-14s %s\n", row.what, row.a, b, ratio, row.target,
                    row.met ? "PASS" : "MISS");
        allMet = allMet && row.met;
    }
    std::printf("our tick: the sampler's flight loop callback, sampling and sending through PositionServer and "
                "logging; baseline: snprintf %%f, a blocking send and printf of the log line; bare send: one send "
                "of a ready line. Each to a client reading on its own thread; %d ticks each\n",
                ticks.ticks);
    if (ticks.measured) {
        std::printf("every line reached its client and was logged whole: %s; still connected: %s\n",
                    ticks.linesArrived ? "yes" : "NO", ticks.stillConnected ? "yes" : "NO");
    }
    std::printf("sizeof(PositionServer): %zu bytes, line buffer included\n", sizeof(PositionServer));
    std::printf("formatter output identical to snprintf's on %zu positions: %s\n", positions.size(),
                identical ? "yes" : "NO");
    if (sends.measured) {
        std::printf("timed sends that sent 0 bytes: stalled %.1f%% (must be >= 90%%), reading %.1f%%; both still "
                    "connected: %s\n",
                    sends.stalledBlockedShare, sends.readingBlockedShare, sends.bothConnected ? "yes" : "NO");
    }
    std::printf("allocations counted (one seen when made on purpose): %s\n",
                counted ? "yes" : "NO (a sanitizer build has its own malloc)");
    if (idle.measured) {
        std::printf("listener waiting with no client: %.3f ms CPU in %.2f s = %.4f%% of a core; %ld context "
                    "switches (%.1f a second)\n",
                    idle.cpuMilliseconds, idle.seconds, idleShare, idle.contextSwitches,
                    static_cast<double>(idle.contextSwitches) / idle.seconds);
    }
    bool allPass = allMet && ticks.measured && sends.measured;
    std::printf("%s (checksum %u)\n", allPass ? "all targets PASS" : "MISS: see above", sink);
    return 0;
}

// Measures the position feed against its alternatives, side by side and interleaved in one run, and
// prints a table of ratios. A report, not a test: it exits 0 whether or not the targets are met.
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "PositionServer.h"
#include "TestSupport.h"

namespace {

std::atomic<long> gAllocations{0};

}  // namespace

// Counts the program's allocations; libstdc++'s array and nothrow forms come through here too.
void *operator new(std::size_t size) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    if (void *memory = std::malloc(size ? size : 1)) return memory;
    throw std::bad_alloc();
}
void operator delete(void *memory) noexcept { std::free(memory); }
void operator delete(void *memory, std::size_t) noexcept { std::free(memory); }

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

// The byte counts sendFlightData logged, in order.
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

struct Row {
    const char *what;
    double a, b;
    const char *target;
    bool met;
};

struct TickResults {
    bool measured = false;
    bool bothConnected = false;
    double stalledBlockedShare = 0, readingBlockedShare = 0;  // per cent of timed ticks that sent nothing
    std::vector<double> stalled, reading;  // nanoseconds per tick
    long stalledAllocations = 0, readingAllocations = 0;
    int allocationTicks = 0;
};

double timedTick(PositionServer &server, const FlightData &data) {
    auto start = Clock::now();
    server.sendFlightData(data);
    return nanosecondsSince(start);
}

// One server whose client reads and one whose client never does, ticked alternately, both on this thread.
TickResults measureTicks(const std::vector<FlightData> &positions) {
    constexpr int kPairs = 100000;
    constexpr int kAllocationTicks = 1000;
    TickResults results;
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
                if (pair % 2 == 0) results.reading[pair] = timedTick(readingServer, data);
                results.stalled[pair] = timedTick(stalledServer, data);
                if (pair % 2 == 1) results.reading[pair] = timedTick(readingServer, data);
                // Untimed: the reading client has each line read before the next, as it would at one a second.
                readingClient.drain();
            }
            std::vector<int> sent = loggedByteCounts(log.textFrom(from));
            int stalledBlocked = 0, readingBlocked = 0;
            for (std::size_t pair = 0; pair < kPairs && sent.size() == 2 * kPairs; ++pair) {
                bool readingFirst = pair % 2 == 0;  // as ticked above
                stalledBlocked += sent[2 * pair + (readingFirst ? 1 : 0)] == 0;
                readingBlocked += sent[2 * pair + (readingFirst ? 0 : 1)] == 0;
            }
            results.stalledBlockedShare = 100.0 * stalledBlocked / kPairs;
            results.readingBlockedShare = 100.0 * readingBlocked / kPairs;
            results.bothConnected = readingServer.isConnected() && stalledServer.isConnected();
            results.measured = true;
        }

        readingClient.drain();
        for (int tick = 0; tick < kAllocationTicks; ++tick) {
            const FlightData &data = positions[static_cast<std::size_t>(tick) % positions.size()];
            long before = gAllocations.load();
            readingServer.sendFlightData(data);
            long between = gAllocations.load();
            stalledServer.sendFlightData(data);
            results.readingAllocations += between - before;
            results.stalledAllocations += gAllocations.load() - between;
            readingClient.drain();
        }
        results.allocationTicks = kAllocationTicks;
        readingServer.stop();
        stalledServer.stop();
    }
    if (!results.measured) std::fprintf(stderr, "the never-reading client's buffers never filled\n");
    return results;
}

}  // namespace

int main() {
    // Fully buffered whatever stdout is, so a tick's log line costs the same in every run: a copy into the
    // buffer, and now and then a write to the capture file.
    std::setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    const std::vector<FlightData> positions = realisticPositions(4096);
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
    // Even a client that never reads has its buffers taken in by the kernel now and then, so a few of its
    // ticks do send; the comparison stands if most of them found the buffers full.
    bool stalled = ticks.bothConnected && ticks.stalledBlockedShare >= 90;
    if (ticks.measured) {
        double stalledMedian = median(ticks.stalled) / 1000, readingMedian = median(ticks.reading) / 1000;
        rows.push_back({"tick median, us  A stalled  B reading", stalledMedian, readingMedian, "A/B <= 1.1",
                        stalled && stalledMedian <= 1.1 * readingMedian});
        double stalled99 = percentile99(ticks.stalled) / 1000, reading99 = percentile99(ticks.reading) / 1000;
        rows.push_back({"tick 99th pct, us  A stalled  B reading", stalled99, reading99, "A < 1000 us",
                        stalled && stalled99 < 1000});
    }
    double ticksDone = ticks.allocationTicks;
    rows.push_back({"allocations per tick  A stalled  B reading", ticks.stalledAllocations / ticksDone,
                    ticks.readingAllocations / ticksDone, "A = B = 0",
                    ticks.allocationTicks > 0 && ticks.stalledAllocations == 0 && ticks.readingAllocations == 0});

    std::printf("A and B interleaved in one run; stalled: a client that never reads, its buffers full\n");
    std::printf("%-44s %10s %10s %8s  %-12s %s\n", "what", "A", "B", "A/B", "target", "result");
    bool allMet = true;
    for (const Row &row : rows) {
        char ratio[16] = "-";  // none when both are 0
        if (row.b != 0) std::snprintf(ratio, sizeof ratio, "%.3f", row.a / row.b);
        std::printf("%-44s %10.3f %10.3f %8s  %-12s %s\n", row.what, row.a, row.b, ratio, row.target,
                    row.met ? "met" : "NOT MET");
        allMet = allMet && row.met;
    }
    std::printf("sizeof(PositionServer): %zu bytes, line buffer included\n", sizeof(PositionServer));
    std::printf("formatter output identical to snprintf's on %zu positions: %s\n", positions.size(),
                identical ? "yes" : "NO");
    if (ticks.measured) {
        std::printf("timed ticks that sent 0 bytes: stalled %.1f%% (must be >= 90%%), reading %.1f%%; both still "
                    "connected: %s\n",
                    ticks.stalledBlockedShare, ticks.readingBlockedShare, ticks.bothConnected ? "yes" : "NO");
    }
    std::printf("%s (checksum %u)\n", allMet && ticks.measured ? "all targets met" : "NOT MET: see above", sink);
    return 0;
}

// Measures feedclient's serving against its floor and its obvious alternative, as the feed's benchmark does:
// repetitions randomly interleaved in one run, then a table of the medians' ratios against their targets.
//   relay/ours, relay/bare_sends:   one line relayed to 100 loopback clients, against 100 bare sends of it
//   events/ours, events/bare_sends: one position to 100 HTTP events clients, against 100 bare sends of an event
//   nmea/ours, nmea/snprintf:       one position's three NMEA sentences, against the same from snprintf
// and, measured alone before them, the processor time of feedclient processes waiting between lines, and
// a day's track served to 1 and to 100 clients at once against a bare server.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "bench/AllocationCounter.h"
#include "bench/Report.h"
#include "formats/FlightTrack.h"
#include "formats/GroundMotion.h"
#include "formats/Nmea.h"
#include "formats/Units.h"
#include "formats/Writers.h"
#include "read/FeedLine.h"
#include "serve/HttpServer.h"
#include "serve/LineServer.h"
#include "system/Clocks.h"
#include "tests/TestSupport.h"

extern char **environ;

namespace {

constexpr int kClients = 100;
constexpr int kChildRelayPort = 27118, kChildNmeaPort = 27119, kChildHttpPort = 27122;  // feedclient processes'
const char kEventsRequest[] = "GET /events HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
const std::string kLine =
    "{version:\"1\",latitude:\"47.458056\",longitude:\"8.548056\",speed:\"142.370003\",elevation:\"1417.322880\","
    "heading:\"271.250000\"}\n";

// Positions as the feed sends them, one a second, on a random walk so that each has a speed and a course.
constexpr std::size_t kPositionCount = 4096;
const std::vector<Position> gPositions = [] {
    Uniform uniform;
    std::vector<Position> positions(kPositionCount);
    double latitude = uniform(-60, 60), longitude = uniform(-180, 180);
    for (Position &position : positions) {
        latitude = std::clamp(latitude + uniform(-0.01, 0.01), -89.0, 89.0);
        longitude = std::fmod(longitude + uniform(-0.01, 0.01) + 540, 360) - 180;
        char line[512];
        std::snprintf(line, sizeof line,
                      "{version:\"1\",latitude:\"%f\",longitude:\"%f\",speed:\"%f\",elevation:\"%f\",heading:\"%f\"}",
                      latitude, longitude, uniform(0, 350), uniform(-1000, 45000), uniform(0, 360));
        parseFeedLine(line, position);
    }
    return positions;
}();

SystemClock::time_point receivedAt(std::size_t index) {
    return SystemClock::time_point(std::chrono::seconds(1796685298 + static_cast<long long>(index)));
}

// The obvious way to the same sentences: gmtime_r, and snprintf for every field. The compiler cannot know
// that the positions given make fields of a few characters, and would warn of truncation.
#pragma GCC diagnostic ignored "-Wformat-truncation"
class SnprintfNmea {
public:
    std::string encode(const Position &position, SystemClock::time_point received) {
        double latitude = position.value[kLatitude], longitude = position.value[kLongitude];
        std::time_t seconds = SystemClock::to_time_t(received);
        std::tm utc{};
        gmtime_r(&seconds, &utc);
        int hundredths = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(received.time_since_epoch()).count() % 1000 / 10);
        char time[16], date[8], place[40], motion[40] = ",", out[3 * kMaxSentenceLength];
        std::snprintf(time, sizeof time, "%02d%02d%02d.%02d", utc.tm_hour, utc.tm_min, utc.tm_sec, hundredths);
        std::snprintf(date, sizeof date, "%02d%02d%02d", utc.tm_mday, utc.tm_mon + 1, utc.tm_year % 100);
        int latitudeDegrees = static_cast<int>(std::fabs(latitude)),
            longitudeDegrees = static_cast<int>(std::fabs(longitude));
        std::snprintf(place, sizeof place, "%02d%08.5f,%c,%03d%08.5f,%c", latitudeDegrees,
                      (std::fabs(latitude) - latitudeDegrees) * 60, latitude < 0 ? 'S' : 'N', longitudeDegrees,
                      (std::fabs(longitude) - longitudeDegrees) * 60, longitude < 0 ? 'W' : 'E');
        if (hasLast) {
            Track track = trackBetween(lastLatitude, lastLongitude, latitude, longitude);
            double interval = std::chrono::duration<double>(received - lastReceived).count();
            std::snprintf(motion, sizeof motion, "%.1f,%.1f", track.metres / interval / kMetresPerSecondPerKnot,
                          std::fmod(std::round(track.bearing * 10) / 10, 360));
        }
        hasLast = true;
        lastLatitude = latitude;
        lastLongitude = longitude;
        lastReceived = received;
        double metres = position.value[kElevation] / kFeetPerMetre;
        int length = sentence(out, "GPGGA,%s,%s,8,04,,%.1f,M,,M,,", time, place, metres);
        length += sentence(out + length, "GPRMC,%s,A,%s,%s,%s,,,S", time, place, motion, date);
        length +=
            sentence(out + length, "HEHDT,%.1f,T", std::fmod(std::round(position.value[kHeading] * 10) / 10, 360));
        return std::string(out, static_cast<std::size_t>(length));
    }

private:
    template <typename... Values>
    static int sentence(char *out, const char *format, Values... values) {
        char body[kMaxSentenceLength];
        std::snprintf(body, sizeof body, format, values...);
        unsigned sum = 0;
        for (const char *c = body; *c; ++c) sum ^= static_cast<unsigned char>(*c);
        return std::snprintf(out, kMaxSentenceLength + 1, "$%s*%02X\r\n", body, sum);
    }

    bool hasLast = false;
    double lastLatitude = 0, lastLongitude = 0;
    SystemClock::time_point lastReceived;
};

template <typename Encoder>
std::string encodeAll(std::size_t count) {
    Encoder encoder;
    std::string all;
    for (std::size_t i = 0; i < count; ++i) all += encoder.encode(gPositions[i], receivedAt(i));
    return all;
}

template <typename Encoder>
void benchNmea(benchmark::State &state) {
    Encoder encoder;
    std::size_t index = 0;
    long allocationsBefore = gAllocations.load();
    for (auto _ : state) {
        std::size_t at = index++ % kPositionCount;
        if (at == 0) encoder = Encoder();  // the walk starts again: no speed from its far end
        benchmark::DoNotOptimize(encoder.encode(gPositions[at], receivedAt(at)));
    }
    countAllocations(state, gAllocations.load() - allocationsBefore);
}

int connectTo(int port) {
    int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(port);
    if (connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0) return client;
    close(client);
    return -1;
}

// 100 plain connections, their sockets on our side with the send buffer feedclient's servers give theirs.
bool connectBare(std::vector<int> &clients, std::vector<int> &sockets) {
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    bool ready = bind(listener, reinterpret_cast<sockaddr *>(&address), length) == 0 &&
                 listen(listener, kClients) == 0 &&
                 getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) == 0;
    for (int i = 0; ready && i < kClients; ++i) {
        clients[i] = connectTo(ntohs(address.sin_port));
        sockets[i] = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        ready = clients[i] != -1 && sockets[i] != -1 && limitSendBuffer(sockets[i], kStreamSendBuffer);
    }
    close(listener);
    return ready;
}

std::size_t servedCount(const LineServer &relay) { return relay.clientCount(); }
std::size_t servedCount(const HttpServer &http) { return http.eventsClientCount(); }

// 100 clients of one of feedclient's servers, and 100 plain connections beside them, all read on one thread
// of its own. It counts what each connection received in the rig's unit: bytes, or events, by the blank
// line that ends each. `sent` and `bareSent` count what was sent on each connection of the two kinds.
template <typename Server>
struct Rig {
    enum class Unit { kBytes, kEvents };

    // The server is made of `arguments`; `request`, if any, is sent on each of its connections first.
    template <typename... Arguments>
    Rig(Unit unit, const char *request, Arguments &&...arguments)
        : server(std::forward<Arguments>(arguments)...), unit(unit) {
        std::string error;
        if (!server.listen(0, error)) return;
        for (int &client : clients) {
            client = connectTo(server.port());
            if (request) send(client, request, std::strlen(request), MSG_NOSIGNAL);
        }
        ready = waitUntil([this] {
            serveWithoutWaiting();
            return servedCount(server) == kClients;
        });
        ready = ready && connectBare(bareClients, bareSockets);
        // Made here rather than on the reader's thread, whose allocations would otherwise be counted against
        // whichever benchmark runs when it first gets a processor.
        for (int i = 0; i < kClients; ++i) {
            readEntries.push_back({clients[i], POLLIN, 0});
            readEntries.push_back({bareClients[i], POLLIN, 0});
        }
        lastByte.assign(readEntries.size(), 0);
        if (ready) reader = std::thread([this] { readClients(); });
    }
    ~Rig() {
        stopReading = true;
        if (reader.joinable()) reader.join();
        for (int i = 0; i < kClients; ++i) {
            for (int socket : {clients[i], bareClients[i], bareSockets[i]}) close(socket);
        }
    }

    // Serves until every connection has read all that was sent to it; false after a second without.
    bool drain() {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        do {
            serveWithoutWaiting();
            if (allRead()) return true;
        } while (std::chrono::steady_clock::now() < deadline);
        return false;
    }
    bool allRead() const {
        // Events at least: a keep-alive comment, due 15 s after the last event, ends with a blank line too.
        bool serverDone = unit == Unit::kEvents ? read >= kClients * sent : read == kClients * sent;
        return serverDone && bareRead == kClients * bareSent;
    }

    // Takes new clients and sends what waits in their queues, without waiting.
    void serveWithoutWaiting() {
        std::vector<WSAPOLLFD> entries;
        int wait = 0;
        server.addToPoll(entries, wait);
        WSAPoll(entries.data(), entries.size(), wait);
        server.serve(entries.data());
    }

    void readClients() {
        pinToCpu(1);
        char chunk[65536];
        while (!stopReading) {
            if (poll(readEntries.data(), readEntries.size(), 100) <= 0) continue;
            for (std::size_t i = 0; i < readEntries.size(); ++i) {
                if (readEntries[i].revents == 0) continue;
                ssize_t count = recv(readEntries[i].fd, chunk, sizeof chunk, MSG_DONTWAIT);
                long long units = unit == Unit::kBytes ? std::max<ssize_t>(count, 0) : 0;
                for (ssize_t at = 0; unit == Unit::kEvents && at < count; ++at) {
                    units += chunk[at] == '\n' && lastByte[i] == '\n';
                    lastByte[i] = chunk[at];
                }
                (i % 2 ? bareRead : read) += units;
            }
        }
    }

    Server server;
    const Unit unit;
    std::vector<int> clients = std::vector<int>(kClients, -1), bareClients = clients, bareSockets = clients;
    bool ready = false;
    std::atomic<bool> stopReading{false};
    std::vector<pollfd> readEntries;  // the reader's: a server connection, then a bare one, and so on
    std::vector<char> lastByte;       // of each, to find blank lines across reads
    std::atomic<long long> read{0}, bareRead{0};  // over all connections of each kind
    long long sent = 0, bareSent = 0;             // on each connection
    std::thread reader;
};

using RelayRig = Rig<LineServer>;
using EventsRig = Rig<HttpServer>;
std::unique_ptr<RelayRig> gRig;
std::unique_ptr<EventsRig> gEventsRig;

// Calls `call` once an iteration, timing it alone. Before each, untimed, every client has read all that was
// sent to it, as a second after the last line.
template <typename Call, typename Drain>
void timeEach(benchmark::State &state, Drain drain, Call call) {
    long allocations = 0;
    for (auto _ : state) {
        if (!drain()) {
            state.SkipWithError("the clients did not read everything within a second");
            break;
        }
        long allocationsBefore = gAllocations.load();
        auto start = std::chrono::steady_clock::now();
        call();
        state.SetIterationTime(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
        allocations += gAllocations.load() - allocationsBefore;
    }
    countAllocations(state, allocations);
}

void benchRelay(benchmark::State &state) {
    RelayRig &rig = *gRig;
    timeEach(state, [&] { return rig.drain(); }, [&] {
        rig.server.publish(kLine);
        rig.sent += static_cast<long long>(kLine.size());
    });
}

// Each send takes the whole line: every connection has read all it was sent before it.
void benchBareSends(benchmark::State &state) {
    RelayRig &rig = *gRig;
    timeEach(state, [&] { return rig.drain(); }, [&] {
        for (int socket : rig.bareSockets) send(socket, kLine.data(), kLine.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        rig.bareSent += static_cast<long long>(kLine.size());
    });
}

// One position of the walk to the events clients: its JSON, its ground motion, the track, and the sends.
void benchEvents(benchmark::State &state) {
    static std::size_t published = 0;
    EventsRig &rig = *gEventsRig;
    timeEach(state, [&] { return rig.drain(); }, [&] {
        std::size_t at = published++ % kPositionCount;
        rig.server.take(gPositions[at], {}, receivedAt(at));  // the events carry the position, not its line
        rig.sent += 2;  // the position, its ground motion
    });
}

// The same number of bytes as an event of the walk, with its ground motion, sent bare on each connection.
const std::string kEvent = "id: 1234\ndata: " + positionJson(gPositions[1], receivedAt(1)) +
                           "\n\nevent: motion\ndata: {\"groundSpeed\":1302.1,\"track\":212.3}\n\n";

void benchBareEvents(benchmark::State &state) {
    EventsRig &rig = *gEventsRig;
    timeEach(state, [&] { return rig.drain(); }, [&] {
        for (int socket : rig.bareSockets) send(socket, kEvent.data(), kEvent.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        rig.bareSent += 2;
    });
}

// A feedclient process with all three servers, a client on the relay and on the NMEA server and
// `eventsClientCount` on the events stream, fed by a loopback feed of our own.
class ChildClient {
public:
    explicit ChildClient(int eventsClientCount) {
        feedListener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (bind(feedListener, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(feedListener, 1) != 0 ||
            getsockname(feedListener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        std::string feed = "127.0.0.1:" + std::to_string(ntohs(address.sin_port));
        std::string relayPort = std::to_string(kChildRelayPort), nmeaPort = std::to_string(kChildNmeaPort),
                    httpPort = std::to_string(kChildHttpPort);
        const char *arguments[] = {FEEDCLIENT_PATH, "--relay",        relayPort.c_str(), "--nmea", nmeaPort.c_str(),
                                   "--http",        httpPort.c_str(), feed.c_str(),      nullptr};
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, "/dev/null", O_WRONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        bool spawned =
            posix_spawn(&pid, FEEDCLIENT_PATH, &actions, nullptr, const_cast<char **>(arguments), environ) == 0;
        posix_spawn_file_actions_destroy(&actions);
        feed_ = spawned ? accept4(feedListener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
        ready = feed_ != -1 && waitUntil([this] { return (relayClient = connectTo(kChildRelayPort)) != -1; }) &&
                waitUntil([this] { return (nmeaClient = connectTo(kChildNmeaPort)) != -1; }) && sendLine() &&
                waitUntil([this] { return received(relayClient) && received(nmeaClient); }) &&
                connectEventsClients(eventsClientCount);
    }
    ~ChildClient() {
        if (pid > 0) {
            kill(pid, SIGINT);
            waitpid(pid, nullptr, 0);
        }
        for (int socket : {feed_, feedListener, relayClient, nmeaClient}) close(socket);
        for (int socket : eventsClients) close(socket);
    }

    bool sendLine() { return sendLines(kLine); }
    bool sendLines(const std::string &lines) {
        for (std::size_t at = 0; at < lines.size();) {
            ssize_t sent = send(feed_, lines.data() + at, lines.size() - at, MSG_NOSIGNAL);
            if (sent <= 0) return false;
            at += static_cast<std::size_t>(sent);
        }
        return true;
    }
    // The process's resident memory, in KiB.
    long residentKilobytes() const {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        for (std::string line; std::getline(status, line);)
            if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
        return -1;
    }

    // What the process's threads (the wait loop's and standard output's) have run on a processor, in
    // nanoseconds, and their context switches.
    long long cpuNanoseconds() const {
        long long total = -1;
        for (const auto &thread : threads()) {
            std::ifstream schedstat(thread.path() / "schedstat");
            long long nanoseconds = 0;
            if (schedstat >> nanoseconds) total = std::max(total, 0LL) + nanoseconds;
        }
        return total;
    }
    long contextSwitches() const {
        long total = 0;
        for (const auto &thread : threads()) {
            std::ifstream status(thread.path() / "status");
            for (std::string line; std::getline(status, line);)
                if (line.find("ctxt_switches:") != std::string::npos)
                    total += std::atol(line.c_str() + line.find(':') + 1);
        }
        return total;
    }

    bool ready = false;

private:
    bool connectEventsClients(int count) {
        for (int i = 0; i < count; ++i) {
            int client = connectTo(kChildHttpPort);
            if (client == -1) return false;
            eventsClients.push_back(client);
            send(client, kEventsRequest, sizeof kEventsRequest - 1, MSG_NOSIGNAL);
        }
        return std::all_of(eventsClients.begin(), eventsClients.end(),
                           [](int client) { return waitUntil([client] { return received(client); }); });
    }

    std::filesystem::directory_iterator threads() const {
        std::error_code ignored;
        return std::filesystem::directory_iterator("/proc/" + std::to_string(pid) + "/task", ignored);
    }

    static bool received(int socket) {
        char chunk[4096];
        return recv(socket, chunk, sizeof chunk, MSG_DONTWAIT) > 0;
    }

    pid_t pid = -1;
    int feedListener = -1, feed_ = -1, relayClient = -1, nmeaClient = -1;
    std::vector<int> eventsClients;
};

// A day's track (kTrackLimit positions) served by a feedclient process, against a bare server sending the
// same answer: the time for 1 and for 100 clients at once to read it whole, feedclient's processor time
// for them, the relay's longest gap between lines sent every 20 ms while the 100 read, and feedclient's
// memory with 100 clients that never read their answer.
struct TrackFigures {
    bool ran = false, whole = true;
    double oursOne = NAN, bareOne = NAN, oursHundred = NAN, bareHundred = NAN;  // ms, medians
    double cpuOne = NAN, cpuHundred = NAN;                                       // ms, medians
    double relayGap = NAN, quietRelayGap = NAN;                                  // ms
    std::size_t answerBytes = 0, gzippedBytes = 0;
    double gzipCpu = NAN, gzipTime = NAN;  // ms, the first gzipped answer, which makes it
    long residentBefore = -1, residentUnread = -1;  // KiB
};

const std::string kTrackRequest = "GET /track.geojson HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
const std::string kGzipTrackRequest =
    "GET /track.geojson HTTP/1.1\r\nHost: 127.0.0.1\r\nAccept-Encoding: gzip\r\n\r\n";

// `count` clients ask `port` for the track at once and read until each is closed; the time it took, in ms.
// `whole` is cleared unless each got the body of `answer` (if given), else it becomes what the first got.
double fetchConcurrently(int port, int count, std::string &answer, bool &whole,
                         const std::string &request = kTrackRequest) {
    auto started = SteadyClock::now();
    std::vector<int> clients;
    std::vector<std::string> got(count);
    for (int i = 0; i < count; ++i) {
        int client = connectTo(port);
        if (client == -1 || send(client, request.data(), request.size(), MSG_NOSIGNAL) < 0) whole = false;
        clients.push_back(client);
    }
    std::vector<pollfd> entries;
    for (int client : clients) entries.push_back({client, POLLIN, 0});
    for (int open = count; open > 0 && poll(entries.data(), entries.size(), 30000) > 0;) {
        for (int i = 0; i < count; ++i) {
            if (entries[i].fd < 0 || !(entries[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char chunk[1 << 16];
            ssize_t received = recv(entries[i].fd, chunk, sizeof chunk, 0);
            if (received > 0) {
                got[i].append(chunk, static_cast<std::size_t>(received));
                continue;
            }
            close(entries[i].fd);
            entries[i].fd = -1;
            --open;
        }
    }
    double milliseconds = std::chrono::duration<double, std::milli>(SteadyClock::now() - started).count();
    if (answer.empty()) answer = got[0];
    // The same but for the head's Date, which moves on.
    auto body = [](const std::string &text) { return text.substr(std::min(text.size(), text.find("\r\n\r\n"))); };
    for (const std::string &one : got) whole = whole && body(one) == body(answer);
    return milliseconds;
}

// A bare server: a thread for each of `count` connections, which reads the request's head, sends `answer`
// with blocking sends of the system's default buffer, and closes.
class BareServer {
public:
    BareServer(const std::string &answer, int count) {
        listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in address = loopback(0);
        socklen_t length = sizeof address;
        if (bind(listener, reinterpret_cast<sockaddr *>(&address), length) != 0 || listen(listener, count) != 0 ||
            getsockname(listener, reinterpret_cast<sockaddr *>(&address), &length) != 0)
            return;
        port = ntohs(address.sin_port);
        acceptor = std::thread([this, &answer, count] {
            for (int i = 0; i < count; ++i) {
                int connection = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
                senders.emplace_back([connection, &answer] {
                    std::string head;
                    char c;
                    while (head.find("\r\n\r\n") == std::string::npos && recv(connection, &c, 1, 0) == 1) head += c;
                    for (std::size_t at = 0; at < answer.size();) {
                        ssize_t sent = send(connection, answer.data() + at, answer.size() - at, MSG_NOSIGNAL);
                        if (sent <= 0) break;
                        at += static_cast<std::size_t>(sent);
                    }
                    close(connection);
                });
            }
        });
    }
    ~BareServer() {
        acceptor.join();
        for (std::thread &sender : senders) sender.join();
        close(listener);
    }
    int port = -1;

private:
    int listener = -1;
    std::thread acceptor;
    std::vector<std::thread> senders;
};

// The longest gap, in ms, between lines reaching a relay client while lines are sent every 20 ms for as
// long as `during` runs.
template <class During>
double longestRelayGap(ChildClient &child, During during) {
    int relayClient = connectTo(kChildRelayPort);
    if (relayClient == -1) return NAN;
    std::atomic<bool> running{true};
    std::thread sender([&] {
        while (running) {
            child.sendLine();
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    });
    std::atomic<double> longest{0};
    std::thread reader([&] {
        auto last = SteadyClock::now();
        char chunk[4096];
        while (recv(relayClient, chunk, sizeof chunk, 0) > 0) {
            auto now = SteadyClock::now();
            double gap = std::chrono::duration<double, std::milli>(now - last).count();
            if (gap > longest) longest = gap;
            last = now;
        }
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // its first line, after connecting
    longest = 0;
    during();
    running = false;
    sender.join();
    shutdown(relayClient, SHUT_RDWR);
    reader.join();
    close(relayClient);
    return longest;
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? NAN : values[values.size() / 2];
}

TrackFigures measureTrack() {
    TrackFigures figures;
    ChildClient child(0);
    if (!child.ready) return figures;
    // Eastward along 47 N at 76 m a second, all in one burst.
    std::string lines;
    for (std::size_t i = 0; i < kTrackLimit; ++i) {
        char line[256];
        std::snprintf(line, sizeof line,
                      "{version:\"1\",latitude:\"47.000000\",longitude:\"%f\",speed:\"250.000000\","
                      "elevation:\"30000.000000\",heading:\"90.000000\"}\n",
                      -170 + 0.001 * static_cast<double>(i));
        lines += line;
    }
    if (!child.sendLines(lines)) return figures;
    std::string answer;
    const std::string full = "\"positions\":" + std::to_string(kTrackLimit + 1) + ",";  // and the child's first
    if (!waitUntil([&] {
            answer.clear();
            bool whole = true;
            fetchConcurrently(kChildHttpPort, 1, answer, whole);
            return answer.find(full) != std::string::npos;
        }))
        return figures;
    figures.answerBytes = answer.size();
    std::vector<double> oursOne, bareOne, oursHundred, bareHundred, cpuOne, cpuHundred;
    for (int round = 0; round < 5; ++round) {
        for (int count : {1, kClients}) {
            long long cpuBefore = child.cpuNanoseconds();
            double ours = fetchConcurrently(kChildHttpPort, count, answer, figures.whole);
            double cpu = (child.cpuNanoseconds() - cpuBefore) / 1e6;
            BareServer bareServer(answer, count);
            double bare = fetchConcurrently(bareServer.port, count, answer, figures.whole);
            (count == 1 ? oursOne : oursHundred).push_back(ours);
            (count == 1 ? bareOne : bareHundred).push_back(bare);
            (count == 1 ? cpuOne : cpuHundred).push_back(cpu);
        }
    }
    std::string packed;
    long long cpuBefore = child.cpuNanoseconds();
    figures.gzipTime = fetchConcurrently(kChildHttpPort, 1, packed, figures.whole, kGzipTrackRequest);
    figures.gzipCpu = (child.cpuNanoseconds() - cpuBefore) / 1e6;
    figures.gzippedBytes = packed.size();
    figures.oursOne = median(oursOne), figures.bareOne = median(bareOne);
    figures.oursHundred = median(oursHundred), figures.bareHundred = median(bareHundred);
    figures.cpuOne = median(cpuOne), figures.cpuHundred = median(cpuHundred);
    figures.quietRelayGap = longestRelayGap(child, [] { std::this_thread::sleep_for(std::chrono::seconds(1)); });
    figures.relayGap = longestRelayGap(child, [&] {
        // The track grows meanwhile, so that the answers differ.
        for (int round = 0; round < 3; ++round) {
            std::string growing;
            bool ignored = true;
            fetchConcurrently(kChildHttpPort, kClients, growing, ignored);
        }
    });
    // 100 clients that ask and never read, their receive buffers as small as the system allows.
    figures.residentBefore = child.residentKilobytes();
    std::vector<int> unread;
    for (int i = 0; i < kClients; ++i) {
        int client = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int smallest = 1;
        setsockopt(client, SOL_SOCKET, SO_RCVBUF, &smallest, sizeof smallest);
        sockaddr_in address = loopback(kChildHttpPort);
        if (connect(client, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0)
            send(client, kTrackRequest.data(), kTrackRequest.size(), MSG_NOSIGNAL);
        unread.push_back(client);
    }
    std::this_thread::sleep_for(std::chrono::seconds(2));
    figures.residentUnread = child.residentKilobytes();
    for (int client : unread) close(client);
    figures.ran = true;
    return figures;
}

struct IdleFigures {
    bool ran = false;
    double silentMilliseconds = NAN, pacedMilliseconds = NAN, eventsSilentMilliseconds = NAN;
    long silentSwitches = 0, pacedSwitches = 0, eventsSilentSwitches = 0;
};

// feedclient's processor time over 5 s without a line, then over 5 s with a line each second; then that of
// another with 100 events clients, over 5 s without a line.
IdleFigures measureIdleClient() {
    IdleFigures figures;
    ChildClient child(0);
    if (!child.ready) return figures;
    auto measure = [&child](bool withLines, double &milliseconds, long &switches) {
        long long cpuBefore = child.cpuNanoseconds();
        long switchesBefore = child.contextSwitches();
        for (int second = 0; second < 5; ++second) {
            if (withLines && !child.sendLine()) return false;
            std::this_thread::sleep_for(std::chrono::seconds(1));
        }
        milliseconds = (child.cpuNanoseconds() - cpuBefore) / 1e6;
        switches = child.contextSwitches() - switchesBefore;
        return cpuBefore >= 0;
    };
    figures.ran = measure(false, figures.silentMilliseconds, figures.silentSwitches) &&
                  measure(true, figures.pacedMilliseconds, figures.pacedSwitches);
    return figures;
}

void measureIdleEventsClient(IdleFigures &figures) {
    ChildClient child(kClients);
    long long cpuBefore = child.cpuNanoseconds();
    long switchesBefore = child.contextSwitches();
    std::this_thread::sleep_for(std::chrono::seconds(5));
    figures.eventsSilentMilliseconds = (child.cpuNanoseconds() - cpuBefore) / 1e6;
    figures.eventsSilentSwitches = child.contextSwitches() - switchesBefore;
    figures.ran = figures.ran && child.ready && cpuBefore >= 0;
}

}  // namespace

int main(int argc, char **argv) {
    if (!initializeBenchmarks(argc, argv)) return 2;
    benchmark::RegisterBenchmark("relay/ours", benchRelay)->UseManualTime()->Iterations(200);
    benchmark::RegisterBenchmark("relay/bare_sends", benchBareSends)->UseManualTime()->Iterations(200);
    benchmark::RegisterBenchmark("events/ours", benchEvents)->UseManualTime()->Iterations(200);
    benchmark::RegisterBenchmark("events/bare_sends", benchBareEvents)->UseManualTime()->Iterations(200);
    benchmark::RegisterBenchmark("nmea/ours", benchNmea<NmeaEncoder>)->Iterations(5000);
    benchmark::RegisterBenchmark("nmea/snprintf", benchNmea<SnprintfNmea>)->Iterations(5000);

    IdleFigures idle = measureIdleClient();  // alone, before the others' connections exist
    measureIdleEventsClient(idle);
    TrackFigures track = measureTrack();

    // feedclient's notices (a client connected, ...) would come between the runs' lines.
    std::FILE *notices = std::tmpfile();
    int console = dup(STDERR_FILENO);
    dup2(fileno(notices), STDERR_FILENO);
    pinToCpu(0);
    gRig = std::make_unique<RelayRig>(RelayRig::Unit::kBytes, nullptr, "relay", "lines");
    gEventsRig = std::make_unique<EventsRig>(EventsRig::Unit::kEvents, kEventsRequest, kOpenStreetMapTiles);
    gEventsRig->sent = 2;  // a stream starts with its retry time and the feed's state
    RelayRig &rig = *gRig;
    if (!rig.ready || !gEventsRig->ready) {
        dup2(console, STDERR_FILENO);
        std::fprintf(stderr, "could not connect %d clients on loopback\n", kClients);
        return 1;
    }
    TableReporter reporter(benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&reporter);
    bool sentWhole =
        waitUntil([&] { return rig.allRead(); },
                  std::chrono::milliseconds(5000));
    long long relayBytes = rig.read, bareBytes = rig.bareRead;
    std::size_t clientsLeft = rig.server.clientCount();
    EventsRig &events = *gEventsRig;
    bool eventsWhole = waitUntil([&] { return events.drain(); }, std::chrono::milliseconds(5000));
    long long eventsRead = events.read, bareEventsRead = events.bareRead;
    std::size_t eventsClientsLeft = events.server.eventsClientCount();
    gRig.reset();
    gEventsRig.reset();
    dup2(console, STDERR_FILENO);

    ResultTable table(stdout);
    table.begin("Medians of the repetitions, interleaved in one run");
    auto median = [&reporter](const std::string &name) { return reporter.medianNanoseconds[name].value; };
    auto allocations = [&reporter](const std::string &name) { return reporter.meanAllocations[name].value; };
    double relay = median("relay/ours") / 1000, bare = median("relay/bare_sends") / 1000;
    table.row("line to 100 clients, us  A relay  B 100 bare sends", relay, bare, "A/B <= 1.2", relay <= 1.2 * bare);
    double ourEvents = median("events/ours") / 1000, bareEvents = median("events/bare_sends") / 1000;
    table.row("event to 100 clients, us  A ours  B 100 bare sends", ourEvents, bareEvents, "A/B <= 1.2",
              ourEvents <= 1.2 * bareEvents);
    double ours = median("nmea/ours"), theirs = median("nmea/snprintf");
    table.row("GGA+RMC+HDT of a position, ns  A ours  B snprintf", ours, theirs, "A/B <= 0.5", ours <= 0.5 * theirs);
    bool counted = allocationsAreCounted();
    table.row("allocations per call  A relay  B ours NMEA", allocations("relay/ours"), allocations("nmea/ours"),
              "A = 0, B = 1", counted && allocations("relay/ours") == 0 && allocations("nmea/ours") == 1);
    table.row("feedclient, 5 s without a line, CPU ms", idle.silentMilliseconds, NAN, "A <= 5 (0.1%)",
              idle.silentMilliseconds <= 5);
    table.row("feedclient, 5 s with a line a second, CPU ms", idle.pacedMilliseconds, NAN, "A <= 5 (0.1%)",
              idle.pacedMilliseconds <= 5);
    table.row("100 events clients, 5 s without a line, CPU ms", idle.eventsSilentMilliseconds, NAN,
              "A <= 5 (0.1%)", idle.eventsSilentMilliseconds <= 5);
    table.row("day's track to 1 client, ms  A ours  B bare server", track.oursOne, track.bareOne, "A/B <= 3",
              track.oursOne <= 3 * track.bareOne);
    table.row("day's track to 100 clients at once, ms  A ours  B bare", track.oursHundred, track.bareHundred,
              "A/B <= 3", track.oursHundred <= 3 * track.bareHundred);
    table.row("feedclient's CPU ms a track client  A 1 alone  B of 100", track.cpuOne, track.cpuHundred / kClients,
              "B <= 2 A", track.cpuHundred / kClients <= 2 * track.cpuOne);
    table.row("relay's longest gap, ms  A 100 track fetches  B none", track.relayGap, track.quietRelayGap,
              "A <= 250", track.relayGap <= 250);
    double unreadMegabytes = (track.residentUnread - track.residentBefore) / 1024.0;
    double answerMegabytes = static_cast<double>(track.answerBytes) / (1 << 20);
    table.row("memory for 100 unread track answers, MB  A  B one track", unreadMegabytes, answerMegabytes,
              "A <= B + 1.6", unreadMegabytes <= answerMegabytes + 1.6);
    std::printf("the day's track gzipped: %zu bytes of %zu, the first such answer in %.1f ms, %.1f ms of CPU\n",
                track.gzippedBytes, track.answerBytes, track.gzipTime, track.gzipCpu);
    std::printf("feedclient's resident memory with the day's track: %.1f MB, and %.1f MB with 100 unread answers\n",
                track.residentBefore / 1024.0, track.residentUnread / 1024.0);
    std::printf("allocations per position to the events clients: %.1f (its JSON, event and track point)\n",
                allocations("events/ours"));
    std::printf(
        "relay: LineServer::publish of a %zu-byte line to %d loopback clients, each read on another "
        "thread; bare sends: one non-blocking send of it on each of %d connections. events: HttpServer::take "
        "of a position to %d events clients, against a bare send of a %zu-byte event on each of %d connections. "
        "feedclient: a process with --relay, --nmea and --http, a client on the first two\n",
        kLine.size(), kClients, kClients, kClients, kEvent.size(), kClients);

    std::printf("check: NMEA sentences identical to snprintf's for %zu positions", kPositionCount);
    table.verdict(true, encodeAll<NmeaEncoder>(kPositionCount) == encodeAll<SnprintfNmea>(kPositionCount));
    std::printf("check: every relayed and every bare-sent byte reached its client (%lld and %lld bytes)", relayBytes,
                bareBytes);
    table.verdict(relayBytes > 0, sentWhole);
    std::printf("check: all %d relay clients still served at the end", kClients);
    table.verdict(true, clientsLeft == kClients);
    std::printf("check: every event reached every events client and bare connection (%lld and %lld events)",
                eventsRead, bareEventsRead);
    table.verdict(eventsRead > 0, eventsWhole);
    std::printf("check: all %d events clients still served at the end", kClients);
    table.verdict(true, eventsClientsLeft == kClients);
    std::printf("check: allocations counted (one seen when made on purpose; not under a sanitizer)");
    table.verdict(true, counted);
    std::printf("check: every client got the day's track whole (%zu bytes), from feedclient and the bare server",
                track.answerBytes);
    table.verdict(track.ran, track.whole);
    std::printf("check: feedclient ran and was measured (%ld, %ld and %ld context switches)", idle.silentSwitches,
                idle.pacedSwitches, idle.eventsSilentSwitches);
    table.verdict(true, idle.ran);
    return table.sound() ? 0 : 1;
}

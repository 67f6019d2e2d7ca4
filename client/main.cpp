// feedclient: reads the BelvantoPlugin position feed and shows it live, or writes it as JSON Lines, CSV or
// a GPX track, and can serve it on to many clients at once, as received, as NMEA 0183, and over HTTP as a
// live map and a feed for web pages. Reconnects whenever the feed drops; notices, and lines it rejects, go
// to standard error.
//
// One thread waits on every socket at once (the feed, the stop socket, the servers and their clients), so
// nothing it does ever waits on one peer; standard output, which may be a reader that stops reading, is
// written by a thread of its own.
#include <algorithm>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "system/ClientPlatform.h"
#include "read/FeedLine.h"
#include "serve/HttpServer.h"
#include "serve/LineServer.h"
#include "formats/Nmea.h"
#include "system/Notice.h"
#include "Options.h"
#include "system/QueuedOutput.h"
#include "serve/AcceptPause.h"
#include "formats/Writers.h"

namespace {

constexpr double kFirstRetrySeconds = 0.5;
constexpr double kLongestRetrySeconds = 5;
// After a connection that brought lines, this many retries come at the first delay before it grows: the
// plug-in listens again a second or two after it loses its client, and about 4 s after a reload.
constexpr int kQuickRetries = 10;
constexpr auto kSilenceNotice = std::chrono::seconds(2);
constexpr auto kConnectTimeout = std::chrono::seconds(5);
// How long a stop request leaves standard output to take the lines still waiting for it: a reader that reads
// takes them at once, and one that has stopped reading never would.
constexpr int kStopGraceMilliseconds = 2000;

// A UDP socket connected to itself, which becomes readable when a stop is requested (by the user, or by
// standard output's thread when it has failed or written its last line): the wait ends at once, with no
// time-out to poll a flag.
SOCKET gStopSocket = INVALID_SOCKET;

void requestStop() { send(gStopSocket, "", 1, kSendFlags); }

SOCKET makeStopSocket() {
    SOCKET stop = openSocket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto *generic = reinterpret_cast<sockaddr *>(&address);
    if (stop != INVALID_SOCKET && bind(stop, generic, length) == 0 && getsockname(stop, generic, &length) == 0 &&
        connect(stop, generic, length) == 0) {
        return stop;
    }
    if (stop != INVALID_SOCKET) closesocket(stop);
    return INVALID_SOCKET;
}

int outputFailed(int error) {
    notice("cannot write the output: " + std::string(std::strerror(error)));
    return 2;
}

std::string seconds(double value) {
    char text[32];
    std::to_chars_result result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
    return std::string(text, result.ptr) + " s";
}

// One run: the connection to the feed, which it makes again whenever it drops, and where the positions go.
class Session {
public:
    Session(const Options &options, PositionWriter &writer, LineServer *relay, LineServer *nmea, HttpServer *http)
        : options(options),
          where(options.host + ":" + options.port),
          writer(writer),
          relay(relay),
          nmea(nmea),
          http(http) {}

    // Runs until stopped; returns the exit status.
    int run();
    // Whether a stop request ended the run.
    bool stopped() const { return stopRequested; }

private:
    enum class State { kPausing, kConnecting, kReading };
    enum class Outcome { kGoOn, kCountReached, kOutputFailed, kUnknownHost };

    int waitMilliseconds() const;
    Outcome advance(short feedEvents);
    Outcome startConnecting();
    void connected();
    // Closes the connection, or gives up the attempt, and retries after a pause.
    void retryAfter(const std::string &what);
    Outcome readLines();
    Outcome take(std::string &line, Clock::time_point received);

    const Options &options;
    const std::string where;
    PositionWriter &writer;
    LineServer *relay, *nmea;  // null when not asked for
    HttpServer *http;
    NmeaEncoder encoder;

    State state = State::kPausing;
    Steady::time_point due = Steady::now();  // when the pause, or the attempt to connect, is over
    double retrySeconds = kFirstRetrySeconds;
    int quickRetriesLeft = 0;
    bool hostFound = false;  // the host's name has resolved at least once
    SOCKET feed = INVALID_SOCKET;
    ReservedSocket feedPlace;  // held while `feed` is closed
    LineSplitter splitter;
    Steady::time_point lastLine;
    bool silent = false;
    bool stopRequested = false;

    unsigned long lines = 0, linesBeforeAttempt = 0, rejected = 0, written = 0;
};

int Session::run() {
    std::vector<WSAPOLLFD> entries;
    for (;;) {
        int wait = waitMilliseconds();
        entries.assign({{gStopSocket, POLLIN, 0}});
        if (feed != INVALID_SOCKET)
            entries.push_back({feed, static_cast<short>(state == State::kConnecting ? POLLOUT : POLLIN), 0});
        std::size_t relayAt = entries.size();
        if (relay) relay->addToPoll(entries, wait);
        std::size_t nmeaAt = entries.size();
        if (nmea) nmea->addToPoll(entries, wait);
        std::size_t httpAt = entries.size();
        if (http) http->addToPoll(entries, wait);

        int ready = WSAPoll(entries.data(), static_cast<unsigned long>(entries.size()), wait);
        int error = WSAGetLastError();
        if (ready < 0 && !isWouldBlock(error)) {
            notice("cannot wait on the network: " + socketErrorText(error));
            return 2;
        }
        if (entries[0].revents != 0) {
            stopRequested = true;
            break;
        }
        if (relay) relay->serve(&entries[relayAt]);
        if (nmea) nmea->serve(&entries[nmeaAt]);
        if (http) http->serve(&entries[httpAt]);
        Outcome outcome = advance(feed != INVALID_SOCKET ? entries[1].revents : 0);
        if (outcome == Outcome::kCountReached) break;
        if (outcome == Outcome::kUnknownHost) return 2;
        if (outcome == Outcome::kOutputFailed) return outputFailed(errno);
    }
    return rejected > 0 ? 1 : 0;
}

// Until the next thing due: the end of a pause or of an attempt to connect, the silence notice, or the
// HTTP server's next time-out.
int Session::waitMilliseconds() const {
    Steady::time_point until = state != State::kReading ? due
                               : silent                  ? Steady::time_point::max()
                                                         : lastLine + kSilenceNotice;
    if (http) until = std::min(until, http->nextDue());
    if (until == Steady::time_point::max()) return -1;
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - Steady::now()).count();
    return static_cast<int>(std::max<decltype(left)>(left, 0));
}

Session::Outcome Session::advance(short feedEvents) {
    auto now = Steady::now();
    switch (state) {
        case State::kPausing:
            if (now >= due) return startConnecting();
            break;
        case State::kConnecting:
            if (feedEvents != 0) {
                int error = pendingSocketError(feed);
                if (error == 0)
                    connected();
                else
                    retryAfter("cannot connect to " + where + ": " + socketErrorText(error));
            } else if (now >= due) {
                retryAfter("cannot connect to " + where + ": no answer in " + seconds(kConnectTimeout.count()));
            }
            break;
        case State::kReading:
            if (feedEvents != 0) return readLines();
            if (!silent && now - lastLine >= kSilenceNotice) {
                notice("no line for more than 2 s");
                silent = true;
            }
            break;
    }
    return Outcome::kGoOn;
}

// The plug-in listens on IPv4 only.
Session::Outcome Session::startConnecting() {
    linesBeforeAttempt = lines;
    feedPlace.release();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses = nullptr;
    int status = getaddrinfo(options.host.c_str(), options.port.c_str(), &hints, &addresses);
    // A name that has never resolved is most likely mistyped; one that has may come back, as may a name
    // the resolver could not look up for now.
    if (status == EAI_NONAME && !hostFound) {
        notice("unknown host \"" + options.host + "\" (" + addressErrorText(status) + "): is the name mistyped?");
        return Outcome::kUnknownHost;
    }
    if (status != 0) {
        retryAfter("cannot connect to " + where + ": " + addressErrorText(status));
        return Outcome::kGoOn;
    }
    hostFound = true;
    feed = openSocket(addresses->ai_family, addresses->ai_socktype, addresses->ai_protocol);
    bool started = feed != INVALID_SOCKET && setNonBlocking(feed) &&
                   connect(feed, addresses->ai_addr, static_cast<socklen_t>(addresses->ai_addrlen)) == 0;
    int error = WSAGetLastError();
    freeaddrinfo(addresses);
    if (started) {
        connected();
    } else if (isConnectInProgress(error)) {
        state = State::kConnecting;
        due = Steady::now() + kConnectTimeout;
    } else {
        retryAfter("cannot connect to " + where + ": " + socketErrorText(error));
    }
    return Outcome::kGoOn;
}

void Session::connected() {
    notice("connected to " + where);
    state = State::kReading;
    lastLine = Steady::now();
    silent = false;
    splitter.clear();
    if (http) http->feedConnected();
}

void Session::retryAfter(const std::string &what) {
    if (feed != INVALID_SOCKET) closesocket(feed);
    feed = INVALID_SOCKET;
    feedPlace.hold();
    if (state == State::kReading) {
        writer.feedLost();
        encoder.feedLost();
        if (http) http->feedLost();
    }
    // Retries stay quick for a while after a connection that brought lines, and slow down while
    // connections bring none.
    if (lines > linesBeforeAttempt) {
        retrySeconds = kFirstRetrySeconds;
        quickRetriesLeft = kQuickRetries;
    }
    notice(what + "; retrying in " + seconds(retrySeconds));
    state = State::kPausing;
    due = Steady::now() + std::chrono::duration_cast<Steady::duration>(std::chrono::duration<double>(retrySeconds));
    if (quickRetriesLeft > 0) --quickRetriesLeft;
    if (quickRetriesLeft == 0) retrySeconds = std::min(retrySeconds * 2, kLongestRetrySeconds);
}

Session::Outcome Session::readLines() {
    char buffer[4096];
    auto received = recv(feed, buffer, sizeof buffer, 0);
    Clock::time_point receivedAt = Clock::now();
    if (received <= 0) {
        int error = WSAGetLastError();
        if (received < 0 && isWouldBlock(error)) return Outcome::kGoOn;
        notice(received == 0 ? "the feed closed the connection" : "feed lost: " + socketErrorText(error));
        if (splitter.unfinishedBytes() > 0)
            notice("dropped an unfinished line of " + std::to_string(splitter.unfinishedBytes()) + " bytes");
        retryAfter("lost the feed");
        return Outcome::kGoOn;
    }
    splitter.append(buffer, static_cast<std::size_t>(received));
    std::string line;
    while (splitter.next(line)) {
        Outcome outcome = take(line, receivedAt);
        if (outcome != Outcome::kGoOn) return outcome;
    }
    return Outcome::kGoOn;
}

Session::Outcome Session::take(std::string &line, Clock::time_point received) {
    ++lines;
    lastLine = Steady::now();
    if (silent) notice("lines are coming again");
    silent = false;
    Position position;
    std::string fault = parseFeedLine(line, position);
    if (!fault.empty()) {
        notice(describeBadLine(lines, line, fault));
        ++rejected;
        return Outcome::kGoOn;
    }
    if (relay) relay->publish(line + '\n');  // as received: the splitter only took the line feed off
    if (nmea) nmea->publish(encoder.encode(position, received));
    if (http) http->publish(position, received);
    if (!writer.write(position, received)) return Outcome::kOutputFailed;
    return ++written == options.count ? Outcome::kCountReached : Outcome::kGoOn;
}

std::unique_ptr<PositionWriter> makeWriter(const Options &options, TextOutput &out, std::string &error) {
    switch (options.mode) {
        case Mode::kJson:
            return makeJsonWriter(out);
        case Mode::kCsv:
            return makeCsvWriter(out);
        case Mode::kGpx:
            return makeGpxWriter(options.gpxPath, error);
        default:
            return makeLiveWriter(out);
    }
}

// After the run: lets standard output take what waits for it, and says what it missed. After a stop
// request it has kStopGraceMilliseconds for that, or none after a second request; after the count's last
// line, until a stop request. Returns the exit status.
int finishOutput(QueuedOutput &output, int status, bool stopped) {
    output.finish();
    WSAPOLLFD stop{gStopSocket, POLLIN, 0};
    char request;
    // The request that ended the run, so that only a further one ends the wait; the output's thread tells
    // that it has ended the same way.
    while (stopped && WSAPoll(&stop, 1, 0) > 0 && recv(gStopSocket, &request, 1, 0) >= 0) {
    }
    if (!output.ended()) WSAPoll(&stop, 1, stopped ? kStopGraceMilliseconds : -1);
    if (output.failure() != 0) return outputFailed(output.failure());
    if (unsigned long missed = output.missed())
        notice("standard output was not read: " + std::to_string(missed) + " lines dropped");
    return status;
}

// Listens on `port` if it was asked for; false if that failed.
template <typename Server>
bool serveIfAsked(Server &server, const char *option, int port) {
    std::string error;
    if (port == 0 || server.listen(port, error)) return true;
    notice(std::string("cannot serve ") + option + " on port " + std::to_string(port) + ": " + error);
    return false;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    std::string problem = parseOptions(argc - 1, argv + 1, options);
    if (options.help) {
        std::fputs(kUsage, stdout);
        return 0;
    }
    if (!problem.empty()) {
        notice(problem);
        std::fputs(kUsage, stderr);
        return 2;
    }
    if (!startSystem() || (gStopSocket = makeStopSocket()) == INVALID_SOCKET) {
        notice("cannot start: " + socketErrorText(WSAGetLastError()));
        return 2;
    }
    catchStopRequests(requestStop);

    QueuedOutput output(writeStandardOutput, requestStop);
    if (!output.start()) {
        notice("cannot start: no thread for standard output");
        return 2;
    }
    std::string error;
    std::unique_ptr<PositionWriter> writer = makeWriter(options, output, error);
    if (!writer) {
        notice(error);
        return 2;
    }
    LineServer relay("relay", "lines"), nmea("nmea", "positions");
    HttpServer http(options.tiles.empty() ? kOpenStreetMapTiles : options.tiles);
    if (!serveIfAsked(relay, "--relay", options.relayPort) || !serveIfAsked(nmea, "--nmea", options.nmeaPort) ||
        !serveIfAsked(http, "--http", options.httpPort))
        return 2;
    Session session(options, *writer, options.relayPort ? &relay : nullptr, options.nmeaPort ? &nmea : nullptr,
                    options.httpPort ? &http : nullptr);
    int status = session.run();
    return status == 2 ? status : finishOutput(output, status, session.stopped());
}

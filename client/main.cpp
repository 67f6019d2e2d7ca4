// feedclient: reads the BelvantoPlugin position feed and shows it live, or writes it as JSON Lines, CSV or
// a GPX track. Reconnects whenever the feed drops; notices, and lines it rejects, go to standard error.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <csignal>
#include <cstring>
#include <string>

#include "FeedLine.h"
#include "Writers.h"

namespace {

const char kUsage[] =
    "usage: feedclient [--json | --csv | --gpx FILE] [--count N] [HOST[:PORT]]\n"
    "  Reads the position feed from HOST:PORT (default localhost:27015), reconnecting when it drops.\n"
    "  (default)   one readable line per position\n"
    "  --json      JSON Lines: time, latitude, longitude, speed, elevation, heading; null for NaN or infinity\n"
    "  --csv       CSV with a header, values exactly as sent\n"
    "  --gpx FILE  a GPX 1.1 track in FILE, complete on disk after every point\n"
    "  --count N   stop after N positions\n"
    "Exit status: 0 when stopped (Ctrl-C or --count), 1 if any line was rejected, 2 on a usage or output error.\n";

constexpr double kFirstRetrySeconds = 0.5;
constexpr double kLongestRetrySeconds = 5;
constexpr auto kSilenceNotice = std::chrono::seconds(2);
constexpr int kPollMilliseconds = 100;

volatile std::sig_atomic_t gStopRequested = 0;

void onStopSignal(int) { gStopRequested = 1; }

enum class Mode { kLive, kJson, kCsv, kGpx };

struct Options {
    std::string host = "localhost";
    std::string port = "27015";
    Mode mode = Mode::kLive;
    std::string gpxPath;
    unsigned long count = 0;  // 0: no limit
};

struct Tally {
    unsigned long lines = 0;
    unsigned long rejected = 0;
    unsigned long written = 0;
};

void notice(const std::string &text) { std::fprintf(stderr, "feedclient: %s\n", text.c_str()); }

bool parseCount(const char *text, unsigned long low, unsigned long high, unsigned long &value) {
    const char *end = text + std::strlen(text);
    std::from_chars_result result = std::from_chars(text, end, value);
    return result.ec == std::errc() && result.ptr == end && value >= low && value <= high;
}

bool parseOptions(int argc, char **argv, Options &options) {
    bool modeGiven = false, addressGiven = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool hasValue = i + 1 < argc;
        if (arg == "--json" || arg == "--csv" || (arg == "--gpx" && hasValue)) {
            if (modeGiven) return false;
            modeGiven = true;
            options.mode = arg == "--json" ? Mode::kJson : arg == "--csv" ? Mode::kCsv : Mode::kGpx;
            if (options.mode == Mode::kGpx) options.gpxPath = argv[++i];
        } else if (arg == "--count" && hasValue) {
            if (!parseCount(argv[++i], 1, ~0ul, options.count)) return false;
        } else if (!arg.empty() && arg[0] != '-' && !addressGiven) {
            addressGiven = true;
            std::size_t colon = arg.rfind(':');
            options.host = arg.substr(0, colon);
            if (colon != std::string::npos) {
                unsigned long port;
                options.port = arg.substr(colon + 1);
                if (!parseCount(options.port.c_str(), 1, 65535, port)) return false;
            }
            if (options.host.empty()) return false;
        } else {
            return false;
        }
    }
    return true;
}

// The plug-in listens on IPv4 only. Returns the connected socket, or -1 with `error` set.
int connectTo(const Options &options, std::string &error) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses = nullptr;
    int status = getaddrinfo(options.host.c_str(), options.port.c_str(), &hints, &addresses);
    if (status != 0) {
        error = gai_strerror(status);
        return -1;
    }
    int fd = -1;
    for (addrinfo *address = addresses; address && fd < 0; address = address->ai_next) {
        fd = socket(address->ai_family, address->ai_socktype | SOCK_CLOEXEC, address->ai_protocol);
        if (fd >= 0 && connect(fd, address->ai_addr, address->ai_addrlen) != 0) {
            error = std::strerror(errno);
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(addresses);
    return fd;
}

// Waits `seconds`, or less if a stop is requested.
void pauseFor(double seconds) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!gStopRequested && std::chrono::steady_clock::now() < until) poll(nullptr, 0, kPollMilliseconds);
}

enum class FeedEnd { kStopped, kCountReached, kLost, kOutputFailed };

// Reads one connection until it drops, a stop is requested or enough positions are written.
FeedEnd readFeed(int fd, const Options &options, PositionWriter &writer, Tally &tally) {
    LineSplitter splitter;
    auto lastLine = std::chrono::steady_clock::now();
    bool silent = false;
    char buffer[4096];
    while (!gStopRequested) {
        pollfd readable{fd, POLLIN, 0};
        int ready = poll(&readable, 1, kPollMilliseconds);
        if (ready == 0 && !silent && std::chrono::steady_clock::now() - lastLine > kSilenceNotice) {
            notice("no line for more than 2 s");
            silent = true;
        }
        if (ready <= 0) continue;  // a timeout, or a signal: look at the stop request
        ssize_t received = recv(fd, buffer, sizeof buffer, 0);
        if (received <= 0) {
            if (received < 0 && errno == EINTR) continue;
            notice(received == 0 ? "the feed closed the connection"
                                 : std::string("feed lost: ") + std::strerror(errno));
            if (splitter.unfinishedBytes() > 0)
                notice("dropped an unfinished line of " + std::to_string(splitter.unfinishedBytes()) + " bytes");
            return FeedEnd::kLost;
        }
        splitter.append(buffer, static_cast<std::size_t>(received));
        std::string line;
        while (splitter.next(line)) {
            ++tally.lines;
            lastLine = std::chrono::steady_clock::now();
            if (silent) notice("lines are coming again");
            silent = false;
            Position position;
            std::string fault = parseFeedLine(line, position);
            if (!fault.empty()) {
                notice(describeBadLine(tally.lines, line, fault));
                ++tally.rejected;
                continue;
            }
            if (!writer.write(position, Clock::now())) return FeedEnd::kOutputFailed;
            if (++tally.written == options.count) return FeedEnd::kCountReached;
        }
    }
    return FeedEnd::kStopped;
}

std::string seconds(double value) {
    char text[32];
    std::to_chars_result result = std::to_chars(text, text + sizeof text, value, std::chars_format::fixed, 1);
    return std::string(text, result.ptr) + " s";
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    if (!parseOptions(argc, argv, options)) {
        std::fputs(kUsage, stderr);
        return 2;
    }
    // No SA_RESTART: a stop request interrupts whatever call is waiting.
    struct sigaction action {};
    action.sa_handler = onStopSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    std::unique_ptr<PositionWriter> writer;
    std::string error;
    switch (options.mode) {
        case Mode::kLive:
            writer = makeLiveWriter(stdout);
            break;
        case Mode::kJson:
            writer = makeJsonWriter(stdout);
            break;
        case Mode::kCsv:
            writer = makeCsvWriter(stdout);
            break;
        case Mode::kGpx:
            writer = makeGpxWriter(options.gpxPath, error);
            break;
    }
    if (!writer) {
        notice(error);
        return 2;
    }

    std::string where = options.host + ":" + options.port;
    Tally tally;
    double retrySeconds = kFirstRetrySeconds;
    for (bool firstAttempt = true; !gStopRequested; firstAttempt = false) {
        if (!firstAttempt) {
            pauseFor(retrySeconds);
            retrySeconds = std::min(retrySeconds * 2, kLongestRetrySeconds);
            if (gStopRequested) break;
        }
        unsigned long linesBefore = tally.lines;
        std::string outcome;
        int fd = connectTo(options, error);
        if (fd < 0) {
            outcome = "cannot connect to " + where + ": " + error;
        } else {
            notice("connected to " + where);
            FeedEnd end = readFeed(fd, options, *writer, tally);
            close(fd);
            if (end == FeedEnd::kOutputFailed) {
                notice("cannot write the output: " + std::string(std::strerror(errno)));
                return 2;
            }
            if (end != FeedEnd::kLost) break;
            writer->feedLost();
            outcome = "lost the feed";
        }
        // Retries stay quick while connections bring lines, and slow down while they do not.
        if (tally.lines > linesBefore) retrySeconds = kFirstRetrySeconds;
        notice(outcome + "; retrying in " + seconds(retrySeconds));
    }
    return tally.rejected > 0 ? 1 : 0;
}

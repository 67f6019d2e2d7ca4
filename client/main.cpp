// feedclient: reads the BelvantoPlugin position feed and shows it live, or writes it as JSON Lines, CSV or
// a GPX track, and can serve it on to many clients at once, as received, as NMEA 0183, and over HTTP as a
// live map and a feed for web pages. Reconnects whenever the feed drops; notices, and lines it rejects, go
// to standard error.
//
// One thread waits on every socket at once (the feed, the stop requests, the servers and their clients),
// so nothing it does ever waits on one peer; standard output, which may be a reader that stops reading, is
// written by a thread of its own.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Options.h"
#include "feed/Platform.h"
#include "formats/GpxWriter.h"
#include "formats/Writers.h"
#include "read/FeedSession.h"
#include "read/PositionSink.h"
#include "replay/RecordingFile.h"
#include "replay/ReplaySession.h"
#include "serve/ClientQueue.h"
#include "serve/HttpServer.h"
#include "serve/NmeaServer.h"
#include "serve/RelayServer.h"
#include "system/Browser.h"
#include "system/ClientPlatform.h"
#include "system/Notice.h"
#include "system/QueuedOutput.h"
#include "system/StopRequests.h"
#include "system/TextOutput.h"
#include "system/WaitLoop.h"

namespace {

// How long a stop request leaves standard output to take the lines still waiting for it: a reader that reads
// takes them at once, and one that has stopped reading never would.
constexpr int kStopGraceMilliseconds = 2000;
// Before a replay's first position, for clients to connect to the servers: the plug-in, too, sends its first
// line within a second of a client's connecting.
constexpr auto kReplayLeadIn = std::chrono::seconds(1);
static_assert(kMostBehind < kOutputQueueLength && kMostBehind < kQueueLength,
              "a replay as fast as the outputs take it must wait for them before their queues drop anything");

std::unique_ptr<PositionSink> makeWriter(const Options &options, TextOutput &out, std::string &error) {
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
    // The request that ended the run, so that only a further one ends the wait; the output's thread tells
    // that it has ended the same way.
    if (stopped) takeStopRequests();
    if (!output.ended()) waitForStopRequest(stopped ? kStopGraceMilliseconds : -1);
    if (output.failure() != 0) {
        noticeOutputFailure(output.failure());
        return 2;
    }
    if (unsigned long missed = output.missed())
        notice("standard output was not read: " + std::to_string(missed) + " lines dropped");
    return status;
}

}  // namespace

int main(int argc, char **argv) {
    Options options;
    std::string problem = parseOptions(argc - 1, argv + 1, options);
    if (options.help) {
        std::fputs(usage().c_str(), stdout);
        return 0;
    }
    if (!problem.empty()) {
        notice(problem);
        std::fputs(usage().c_str(), stderr);
        return 2;
    }
    if (!startSystem() || !startStopRequests()) {
        notice("cannot start: " + socketErrorText(WSAGetLastError()));
        return 2;
    }
    QueuedOutput output(writeStandardOutput, requestStop);
    if (!output.start()) {
        notice("cannot start: no thread for standard output");
        return 2;
    }
    std::string error;
    // A file that is not a recording is refused before any output is made.
    RecordingFile recording;
    bool replaying = !options.replayPath.empty();
    if (replaying && !recording.open(options.replayPath, error)) {
        notice(error);
        return 2;
    }
    std::unique_ptr<PositionSink> writer = makeWriter(options, output, error);
    if (!writer) {
        notice(error);
        return 2;
    }
    // The servers asked for take every position, then the output. In the wait loop, each server takes its
    // clients, and sends what waits for them, before the feed's session hands it anything more.
    std::vector<Waiter *> waiters;
    std::vector<PositionSink *> sinks;
    auto serveIfAsked = [&](auto &server, const char *option, int port) {
        std::string problem;
        if (port == 0) return true;
        if (!server.listen(port, problem)) {
            notice(std::string("cannot serve ") + option + " on port " + std::to_string(port) + ": " + problem);
            return false;
        }
        waiters.push_back(&server);
        sinks.push_back(&server);
        return true;
    };
    RelayServer relay;
    NmeaServer nmea;
    HttpServer http(options.tiles.empty() ? kOpenStreetMapTiles : options.tiles);
    if (!serveIfAsked(relay, "--relay", options.relayPort) || !serveIfAsked(nmea, "--nmea", options.nmeaPort) ||
        !serveIfAsked(http, "--http", options.httpPort))
        return 2;
    // /status.json counts the clients of the servers that run beside it.
    if (options.relayPort != 0) http.reportOn(relay);
    if (options.nmeaPort != 0) http.reportOn(nmea);
    // A map that does not open is still served: the user is told where it is.
    if (options.openMap && !openInBrowser("http://127.0.0.1:" + std::to_string(http.port()) + "/", error))
        notice("http: cannot open the map in a browser: " + error);
    sinks.push_back(writer.get());
    // The feed's session or the replay, last in the wait.
    auto run = [&](auto &session) {
        waiters.push_back(&session);
        WaitLoopEnd end = runWaitLoop(waiters, [&] { return session.done(); });
        int status = end == WaitLoopEnd::kWaitFailed ? 2 : session.exitStatus();
        return status == 2 ? status : finishOutput(output, status, end == WaitLoopEnd::kStopRequested);
    };
    if (!replaying) {
        FeedSession session(options.host, options.port, options.count, sinks);
        http.describeFeed(session.address());
        return run(session);
    }
    ReplaySession replay(recording, options.speed, options.loop, options.count,
                         waiters.empty() ? SteadyClock::duration::zero() : kReplayLeadIn, sinks,
                         [&] { return std::max({output.waiting(), relay.mostWaiting(), nmea.mostWaiting()}); });
    http.useClock([&] { return replay.clock(); });
    http.describeFeed(recording.name());
    return run(replay);
}

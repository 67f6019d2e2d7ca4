#include "plugin/DiagnosticLog.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "feed/Platform.h"
#include "feed/PositionServer.h"
#include "XPLMUtilities.h"

namespace {

constexpr double kSecondsPerMinute = 60;

// Formats one line into a buffer of its own and hands it to X-Plane, which flushes Log.txt line by line.
void vwrite(const char *format, va_list arguments) {
    char line[256] = "BelvantoPlugin: ";
    std::size_t prefix = std::strlen(line);
    // Room is kept for the line feed; a text too long is cut short rather than left without one.
    if (std::vsnprintf(line + prefix, sizeof line - prefix - 1, format, arguments) < 0) return;
    std::size_t end = std::strlen(line);
    line[end] = '\n';
    line[end + 1] = '\0';
    XPLMDebugString(line);
}

__attribute__((format(printf, 1, 2))) void write(const char *format, ...) {
    va_list arguments;
    va_start(arguments, format);
    vwrite(format, arguments);
    va_end(arguments);
}

// " (what it means)" for an error code the feed has words for, else "".
struct Meaning {
    explicit Meaning(int error) {
        const char *words = describeSocketError(error);
        if (words) std::snprintf(text, sizeof text, " (%s)", words);
    }
    char text[96] = "";
};


}  // namespace

void DiagnosticLog::started(const char *version) {
    write("version %s; feeds TCP port %u (IPv4, all local addresses) from 4 s after start", version,
          static_cast<unsigned>(PositionServer::kPort));
}

void DiagnosticLog::report(const FeedEvent &event) {
    switch (event.kind) {
    case FeedEvent::Kind::kListening:
        reportListening();
        break;
    case FeedEvent::Kind::kClientConnected:
        // As a person writes it: 192.168.1.20:51234. Kept for the line that tells of its loss.
        std::snprintf(client, sizeof client, "%u.%u.%u.%u:%u", (event.address >> 24) & 255u,
                      (event.address >> 16) & 255u, (event.address >> 8) & 255u, event.address & 255u,
                      static_cast<unsigned>(event.port));
        writeLimited("client %s connected", client);
        break;
    case FeedEvent::Kind::kClientLost:
        writeLimited("client %s lost: error %d%s", client, event.error, Meaning(event.error).text);
        break;
    case FeedEvent::Kind::kFailed:
        reportListenerFailure(event);
        break;
    case FeedEvent::Kind::kStopped:
        summarizeHeldBack();
        write("feed stopped: %lld lines sent, %lld dropped while a client was connected", event.linesSent,
              event.linesDropped);
        break;
    }
}

void DiagnosticLog::advance(double seconds) {
    secondsIntoMinute += seconds;
    if (secondsIntoMinute < kSecondsPerMinute) return;
    summarizeHeldBack();
    secondsIntoMinute = 0;
    linesThisMinute = 0;
}

// Only the first failure of a run of the same failures is told; the rest are counted.
void DiagnosticLog::reportListenerFailure(const FeedEvent &event) {
    bool same = failuresInARow > 0 && std::strcmp(event.call, failedCall) == 0 && event.error == failedError;
    ++failuresInARow;
    failedCall = event.call;
    failedError = event.error;
    if (same) return;
    writeLimited("cannot listen on TCP port %u: %s failed with error %d%s; trying again every second",
                 static_cast<unsigned>(PositionServer::kPort), event.call, event.error, Meaning(event.error).text);
}

void DiagnosticLog::reportListening() {
    if (failuresInARow > 0) {
        writeLimited("listening on TCP port %u, after %lld failed tries", static_cast<unsigned>(PositionServer::kPort),
                     failuresInARow);
    } else {
        writeLimited("listening on TCP port %u", static_cast<unsigned>(PositionServer::kPort));
    }
    failuresInARow = 0;
}

void DiagnosticLog::writeLimited(const char *format, ...) {
    if (linesThisMinute == kLinesPerMinute) {
        ++heldBack;
        return;
    }
    ++linesThisMinute;
    va_list arguments;
    va_start(arguments, format);
    vwrite(format, arguments);
    va_end(arguments);
}

void DiagnosticLog::summarizeHeldBack() {
    if (heldBack == 0) return;
    write("%lld more lines on clients and the listener left out in the last minute", heldBack);
    heldBack = 0;
}

#include "read/FeedSession.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <utility>

#include "read/Position.h"
#include "system/ClientPlatform.h"
#include "system/FixedText.h"
#include "system/Notice.h"

namespace {

constexpr double kFirstRetrySeconds = 0.5;
constexpr double kLongestRetrySeconds = 5;
// After a connection that brought lines, this many retries come at the first delay before it grows: the
// plug-in listens again a second or two after it loses its client, and about 4 s after a reload.
constexpr int kQuickRetries = 10;
constexpr auto kSilenceNotice = std::chrono::seconds(2);
constexpr auto kConnectTimeout = std::chrono::seconds(5);

}  // namespace

FeedSession::FeedSession(std::string host, std::string port, unsigned long count, std::vector<PositionSink *> sinks)
    : host(std::move(host)),
      port(std::move(port)),
      where(this->host + ":" + this->port),
      count(count),
      sinks(std::move(sinks)),
      retrySeconds(kFirstRetrySeconds) {}

FeedSession::~FeedSession() {
    if (feed != INVALID_SOCKET) closesocket(feed);
}

// Until the next thing due: the end of a pause or of an attempt to connect, or the silence notice.
void FeedSession::addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const {
    if (feed != INVALID_SOCKET)
        entries.push_back({feed, static_cast<short>(state == State::kConnecting ? POLLOUT : POLLIN), 0});
    if (state != State::kReading)
        shortenWait(waitMilliseconds, due);
    else if (!silent)
        shortenWait(waitMilliseconds, lastLine + kSilenceNotice);
}

void FeedSession::serve(const WSAPOLLFD *entries) { advance(feed != INVALID_SOCKET ? entries[0].revents : 0); }

void FeedSession::advance(short feedEvents) {
    auto now = SteadyClock::now();
    switch (state) {
        case State::kPausing:
            if (now >= due) startConnecting();
            break;
        case State::kConnecting:
            if (feedEvents != 0) {
                int error = pendingSocketError(feed);
                if (error == 0)
                    connected();
                else
                    retryAfter("cannot connect to " + where + ": " + socketErrorText(error));
            } else if (now >= due) {
                retryAfter("cannot connect to " + where + ": no answer in " + secondsText(kConnectTimeout.count(), 1));
            }
            break;
        case State::kReading:
            if (feedEvents != 0) return readLines();
            if (!silent && now - lastLine >= kSilenceNotice) {
                notice("no line for more than " + secondsText(kSilenceNotice.count(), 0));
                silent = true;
            }
            break;
    }
}

// The plug-in listens on IPv4 only.
void FeedSession::startConnecting() {
    linesBeforeAttempt = lines;
    feedPlace.release();
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo *addresses = nullptr;
    int status = getaddrinfo(host.c_str(), port.c_str(), &hints, &addresses);
    // A name that has never resolved is most likely mistyped; one that has may come back, as may a name
    // the resolver could not look up for now.
    if (status == EAI_NONAME && !hostFound) {
        notice("unknown host \"" + host + "\" (" + addressErrorText(status) + "): is the name mistyped?");
        failed = true;
        return;
    }
    if (status != 0) return retryAfter("cannot connect to " + where + ": " + addressErrorText(status));
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
        due = SteadyClock::now() + kConnectTimeout;
    } else {
        retryAfter("cannot connect to " + where + ": " + socketErrorText(error));
    }
}

void FeedSession::connected() {
    notice("connected to " + where);
    state = State::kReading;
    lastLine = SteadyClock::now();
    silent = false;
    splitter.clear();
    for (PositionSink *sink : sinks) sink->feedConnected();
}

void FeedSession::retryAfter(const std::string &what) {
    if (feed != INVALID_SOCKET) closesocket(feed);
    feed = INVALID_SOCKET;
    feedPlace.hold();
    if (state == State::kReading) {
        for (PositionSink *sink : sinks) sink->feedLost();
    }
    // Retries stay quick for a while after a connection that brought lines, and slow down while
    // connections bring none.
    if (lines > linesBeforeAttempt) {
        retrySeconds = kFirstRetrySeconds;
        quickRetriesLeft = kQuickRetries;
    }
    notice(what + "; retrying in " + secondsText(retrySeconds, 1));
    state = State::kPausing;
    due = SteadyClock::now() +
          std::chrono::duration_cast<SteadyClock::duration>(std::chrono::duration<double>(retrySeconds));
    if (quickRetriesLeft > 0) --quickRetriesLeft;
    if (quickRetriesLeft == 0) retrySeconds = std::min(retrySeconds * 2, kLongestRetrySeconds);
}

void FeedSession::readLines() {
    char buffer[4096];
    auto received = recv(feed, buffer, sizeof buffer, 0);
    SystemClock::time_point receivedAt = SystemClock::now();
    if (received <= 0) {
        int error = WSAGetLastError();
        if (received < 0 && isWouldBlock(error)) return;
        notice(received == 0 ? "the feed closed the connection" : "feed lost: " + socketErrorText(error));
        if (splitter.unfinishedBytes() > 0)
            notice("dropped an unfinished line of " + std::to_string(splitter.unfinishedBytes()) + " bytes");
        return retryAfter("lost the feed");
    }
    splitter.append(buffer, static_cast<std::size_t>(received));
    std::string line;
    while (!done() && splitter.next(line)) take(line, receivedAt);
}

void FeedSession::take(const std::string &line, SystemClock::time_point received) {
    ++lines;
    lastLine = SteadyClock::now();
    if (silent) notice("lines are coming again");
    silent = false;
    Position position;
    std::string fault = parseFeedLine(line, position);
    if (!fault.empty()) {
        notice(describeBadLine(lines, line, fault));
        ++rejected;
        return;
    }
    for (PositionSink *sink : sinks) {
        if (!sink->take(position, line, received)) {
            noticeOutputFailure(errno);
            failed = true;
            return;
        }
    }
    countReached = ++written == count;
}

#include "serve/HttpServer.h"

#include <algorithm>
#include <memory>
#include <utility>

#include "formats/Direction.h"
#include "formats/UtcTime.h"
#include "formats/Writers.h"
#include "serve/Gzip.h"
#include "serve/WebAssets.h"
#include "system/ClientPlatform.h"
#include "system/FixedText.h"
#include "system/NetworkAddresses.h"
#include "system/Notice.h"

const char kOpenStreetMapTiles[] = "https://tile.openstreetmap.org/{z}/{x}/{y}.png";

namespace {

// How long an events client that lost its stream waits before it asks again.
constexpr std::chrono::milliseconds kEventsRetry(2000);
// A client that was answered has this long to close its end before its connection is closed anyway.
constexpr auto kClosingWait = std::chrono::seconds(5);
const char kOpenStreetMapAttribution[] =
    "&copy; <a href=\"https://www.openstreetmap.org/copyright\">OpenStreetMap</a> contributors";

// Scripts and styles from this server only, which is where the page's all are; map tiles from anywhere.
const char kPageSecurity[] =
    "Content-Security-Policy: default-src 'self'; img-src * data:; style-src 'self' 'unsafe-inline'\r\n";
// The data's: any page may use it, and it is always the latest.
const char kDataHeaders[] = "Access-Control-Allow-Origin: *\r\nCache-Control: no-store\r\n";

std::string escapeHtml(const std::string &text) {
    std::string escaped;
    for (char c : text) {
        switch (c) {
            case '&': escaped += "&amp;"; break;
            case '<': escaped += "&lt;"; break;
            case '>': escaped += "&gt;"; break;
            case '"': escaped += "&quot;"; break;
            case '\'': escaped += "&#39;"; break;
            default: escaped += c;
        }
    }
    return escaped;
}

void replace(std::string &text, const std::string &placeholder, const std::string &value) {
    std::size_t at = text.find(placeholder);
    if (at != std::string::npos) text.replace(at, placeholder.size(), value);
}

// An answer's head: the status line, the headers given (each ending CR LF), and the body's length.
std::string responseHead(const char *status, const std::string &type, const std::string &headers,
                         std::size_t length) {
    return std::string("HTTP/1.1 ") + status + "\r\nDate: " + httpDate(SystemClock::now()) +
           "\r\nContent-Type: " + type + "\r\nContent-Length: " + std::to_string(length) +
           "\r\nX-Content-Type-Options: nosniff\r\nConnection: close\r\n" + headers + "\r\n";
}

// A whole small answer, in one piece: the head, and the body unless the request was a HEAD.
std::string response(const char *status, const std::string &type, const std::string &headers, const std::string &body,
                     bool headOnly) {
    std::string head = responseHead(status, type, headers, body.size());
    return headOnly ? head : head + body;
}

std::string refusal(const char *status, const std::string &headers, const std::string &why, bool headOnly = false) {
    return response(status, "text/plain; charset=utf-8", headers, std::string(status) + ": " + why + "\n", headOnly);
}

const char *typeOf(std::string_view name) {
    auto endsWith = [name](std::string_view end) {
        return name.size() >= end.size() && name.substr(name.size() - end.size()) == end;
    };
    if (endsWith(".js")) return "text/javascript; charset=utf-8";
    if (endsWith(".css")) return "text/css; charset=utf-8";
    if (endsWith(".json")) return "application/json";
    if (endsWith(".webmanifest")) return "application/manifest+json";
    if (endsWith(".svg")) return "image/svg+xml";
    if (endsWith(".png")) return "image/png";
    return "text/html; charset=utf-8";
}

std::string serverJson(int port, std::size_t clients, unsigned long dropped) {
    return "{\"port\":" + std::to_string(port) + ",\"clients\":" + std::to_string(clients) +
           ",\"dropped\":" + std::to_string(dropped) + "}";
}

std::string motionJson(const GroundVelocity &velocity) {
    return std::string("{\"groundSpeed\":") + (velocity.known ? fixedText(velocity.knots, 1) : "null") + ",\"track\":" +
           (velocity.hasCourse ? directionText(velocity.course) : "null") + "}";
}

}  // namespace

HttpServer::HttpServer(const std::string &tiles) {
    std::string page(webAsset("index.html"));
    replace(page, "{{TILES}}", escapeHtml(tiles));
    replace(page, "{{ATTRIBUTION}}", tiles == kOpenStreetMapTiles ? escapeHtml(kOpenStreetMapAttribution) : "");
    // The page keeps the track by feedclient's rules.
    replace(page, "{{TRACK_LIMIT}}", std::to_string(kTrackLimit));
    replace(page, "{{FASTEST_KNOTS}}", fixedText(kFastestKnots, 0));
    pageFiles["index.html"].plain = std::make_shared<const std::string>(std::move(page));
}

bool HttpServer::listen(int port, std::string &error) {
    if (!listener.listen(port, error)) return false;
    // A tablet needs the address of this computer on the network they share; "localhost" there is the tablet.
    for (const InterfaceAddress &own : networkAddresses())
        notice("http: open the map at " + mapUrl(own.address) + " from another device (" + own.interfaceName + ")");
    notice("http: open the map at " + mapUrl("127.0.0.1") + " on this computer");
    return true;
}

std::string HttpServer::mapUrl(const std::string &host) const {
    return "http://" + host + ":" + std::to_string(listener.port()) + "/";
}

// Made for each request: the addresses as they are now (a network may have come since start), and small.
std::string HttpServer::statusJson() const {
    std::string addresses;
    for (const InterfaceAddress &own : networkAddresses())
        addresses += std::string(addresses.empty() ? "" : ",") + "{\"url\":" + jsonString(mapUrl(own.address)) +
                     ",\"interface\":" + jsonString(own.interfaceName) + "}";
    std::string age = "null";
    if (positions > 0)
        age = fixedText(std::max(0.0, std::chrono::duration<double>(clock() - latestReceived).count()), 1);
    std::string servers = "\"http\":" + serverJson(port(), eventsClientCount(), eventsDropped());
    for (const LineServer *server : lineServers)
        servers += "," + jsonString(server->serverName()) + ":" +
                   serverJson(server->port(), server->clientCount(), server->dropped());
    return "{\"addresses\":[" + addresses + "],\"local\":" + jsonString(mapUrl("127.0.0.1")) +
           ",\"feed\":{\"from\":" + jsonString(feedFrom) + ",\"connected\":" + (feedUp ? "true" : "false") +
           ",\"since\":" + (feedSince ? "\"" + utcTimestamp(*feedSince) + "\"" : std::string("null")) +
           ",\"positions\":" + std::to_string(positions) + ",\"age\":" + age + "},\"servers\":{" + servers + "}}\n";
}

HttpServer::~HttpServer() {
    for (Connection &connection : connections) closesocket(connection.socket);
}

std::string HttpServer::feedEvent() const {
    return std::string("event: feed\ndata: {\"state\":\"") + (feedUp ? "connected" : "lost") +
           "\",\"positions\":" + std::to_string(positions) + ",\"time\":\"" + utcTimestamp(clock()) +
           "\"}\n\n";
}

void HttpServer::feedConnected() {
    feedUp = true;
    feedSince = clock();
    broadcast(feedEvent());
}

void HttpServer::feedLost() {
    feedUp = false;
    feedSince = clock();
    track.feedLost();
    motion.feedLost();
    broadcast(feedEvent());
}

bool HttpServer::take(const Position &position, std::string_view, SystemClock::time_point received) {
    ++positions;
    latestReceived = received;
    latestJson = positionJson(position, received);
    track.add(position, received);
    GroundVelocity velocity = motion.next(position.value[kLatitude], position.value[kLongitude], received);
    latestEvents = "id: " + std::to_string(positions) + "\ndata: " + latestJson + "\n\nevent: motion\ndata: " +
                   motionJson(velocity) + "\n\n";
    broadcast(latestEvents);
    return true;
}

void HttpServer::broadcast(const std::string &entry) {
    ClientQueue::Entry shared;
    for (Connection &connection : connections) {
        if (connection.stage != Stage::kEvents) continue;
        if (!sendOrQueue(connection.socket, connection.queue, entry, shared))
            close(connection, "lost: " + socketErrorText(WSAGetLastError()));
        else
            watchProgress(connection);
    }
    lastBroadcast = SteadyClock::now();
    removeClosed();
}

void HttpServer::watchProgress(Connection &connection) {
    if (connection.queue.empty()) {
        connection.due = SteadyClock::time_point::max();
    } else if (connection.due == SteadyClock::time_point::max() ||
               connection.queue.taken() != connection.takenWhenDue) {
        connection.takenWhenDue = connection.queue.taken();
        connection.due = SteadyClock::now() + kStallTimeout;
    }
}

void HttpServer::removeClosed() {
    connections.erase(std::remove_if(connections.begin(), connections.end(),
                                     [](const Connection &connection) { return connection.socket == INVALID_SOCKET; }),
                      connections.end());
}

void HttpServer::addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const {
    listener.addToPoll(entries, waitMilliseconds);
    for (const Connection &connection : connections) {
        short events = connection.readingEnded ? 0 : POLLIN;
        if (!connection.queue.empty()) events |= POLLOUT;
        entries.push_back({connection.socket, events, 0});
    }
    SteadyClock::time_point due = nextDue();
    if (due != SteadyClock::time_point::max()) shortenWait(waitMilliseconds, due);
}

void HttpServer::serve(const WSAPOLLFD *entries) {
    auto now = SteadyClock::now();
    for (std::size_t i = 0; i < connections.size(); ++i) {
        Connection &connection = connections[i];
        short events = entries[1 + i].revents;
        if (events & (POLLIN | POLLHUP | POLLERR)) read(connection);
        if (connection.socket != INVALID_SOCKET && (events & POLLOUT) && !flush(connection))
            close(connection, "lost: " + socketErrorText(WSAGetLastError()));
        if (connection.socket == INVALID_SOCKET || now < connection.due) continue;
        switch (connection.stage) {
            case Stage::kRequest:
                respond(connection, refusal("408 Request Timeout", "",
                                            "no whole request within " + secondsText(kRequestTimeout.count(), 0)));
                break;
            case Stage::kResponse:
            case Stage::kEvents:
                close(connection, "took nothing for " + secondsText(kStallTimeout.count(), 0));
                break;
            case Stage::kClosing:
                close(connection, "");
                break;
        }
    }
    removeClosed();
    if (now >= lastBroadcast + kKeepAliveInterval) broadcast(": keep-alive\n\n");
    if (entries[0].revents & POLLIN) accept();
}

bool HttpServer::flush(Connection &connection) {
    if (!flushQueue(connection.socket, connection.queue)) return false;
    watchProgress(connection);
    if (connection.stage == Stage::kResponse && connection.queue.empty()) finishResponse(connection);
    return true;
}

SteadyClock::time_point HttpServer::nextDue() const {
    SteadyClock::time_point due = SteadyClock::time_point::max();
    for (const Connection &connection : connections) {
        due = std::min(due, connection.due);
        if (connection.stage == Stage::kEvents) due = std::min(due, lastBroadcast + kKeepAliveInterval);
    }
    return due;
}

std::size_t HttpServer::eventsClientCount() const {
    return static_cast<std::size_t>(std::count_if(connections.begin(), connections.end(), [](const Connection &c) {
        return c.stage == Stage::kEvents;
    }));
}

unsigned long HttpServer::eventsDropped() const {
    unsigned long count = eventsDroppedForGone;
    for (const Connection &connection : connections)
        if (connection.stage == Stage::kEvents) count += connection.queue.dropped();
    return count;
}

std::size_t HttpServer::activeCount() const {
    return static_cast<std::size_t>(std::count_if(connections.begin(), connections.end(), [](const Connection &c) {
        return c.stage != Stage::kClosing;
    }));
}

// Past kMaxClients, a client is told so, and its connection then closed as any answered one is; past as
// many again waiting to close, it is closed at once.
void HttpServer::accept() {
    for (SOCKET socket; (socket = listener.acceptNext()) != INVALID_SOCKET;) {
        std::string who = peerAddress(socket);
        if (!limitSendBuffer(socket, kAnswerSendBuffer) || connections.size() >= 2 * kMaxClients) {
            closesocket(socket);
            notice("http: refused " + who + ": " + (connections.size() >= 2 * kMaxClients
                                                          ? "too many connections closing"
                                                          : socketErrorText(WSAGetLastError())));
            continue;
        }
        connections.emplace_back(socket, who, SteadyClock::now() + kRequestTimeout);
        if (activeCount() > kMaxClients) {
            notice("http: refused " + who + ": already serving " + std::to_string(kMaxClients) + " clients");
            respond(connections.back(), refusal("503 Service Unavailable", "Retry-After: 5\r\n",
                                                "already serving " + std::to_string(kMaxClients) + " clients"));
        }
    }
}

void HttpServer::read(Connection &connection) {
    char buffer[4096];
    auto received = recv(connection.socket, buffer, sizeof buffer, 0);
    if (received < 0 && isWouldBlock(WSAGetLastError())) return;
    if (received == 0 && connection.stage == Stage::kResponse) {
        // The client has said all it will (as `nc -N` does, and some proxies), not that it has gone: the
        // answer is still sent whole.
        connection.readingEnded = true;
        return;
    }
    if (received <= 0) {
        // Otherwise the end of the client's stream is the end of the client, as for the relay's.
        return close(connection, received == 0 ? "left" : "lost: " + socketErrorText(WSAGetLastError()));
    }
    if (connection.stage != Stage::kRequest) return;  // nothing more is read from a client once it has asked
    connection.received.append(buffer, static_cast<std::size_t>(received));
    HttpRequest request;
    switch (readRequestHead(connection.received, connection.searchedUpTo, request)) {
        case HeadStatus::kIncomplete:
            return;
        case HeadStatus::kComplete:
            return answer(connection, request);
        case HeadStatus::kMalformed:
            return respond(connection, refusal("400 Bad Request", "", "a malformed request"));
        case HeadStatus::kUriTooLong:
            return respond(connection, refusal("414 URI Too Long", "",
                                               "the request line passes " + std::to_string(kMaxRequestHead) +
                                                   " bytes"));
        case HeadStatus::kTooLarge:
            return respond(connection, refusal("431 Request Header Fields Too Large", "",
                                               "the request's head passes " + std::to_string(kMaxRequestHead) +
                                                   " bytes"));
        case HeadStatus::kVersionUnsupported:
            return respond(connection, refusal("505 HTTP Version Not Supported", "", "HTTP/1.1 only"));
    }
}

HttpServer::SharedBody &HttpServer::trackBody() {
    if (!trackGeoJson.plain || trackGeoJsonPositions != positions) {
        trackGeoJson = {std::make_shared<const std::string>(track.geoJson(positions, started)), nullptr};
        trackGeoJsonPositions = positions;
    }
    return trackGeoJson;
}

HttpServer::SharedBody &HttpServer::pageFileBody(std::string_view name) {
    auto found = pageFiles.find(name);
    if (found == pageFiles.end()) {
        SharedBody body{std::make_shared<const std::string>(webAsset(name)), nullptr};
        found = pageFiles.emplace(std::string(name), std::move(body)).first;
    }
    return found->second;
}

void HttpServer::respondWith(Connection &connection, const HttpRequest &request, const std::string &type,
                             const std::string &headers, SharedBody &body) {
    if (request.acceptsGzip && !body.gzipped) body.gzipped = std::make_shared<const std::string>(gzipped(*body.plain));
    // An answer zlib could not make is sent as it is.
    bool gzip = request.acceptsGzip && !body.gzipped->empty();
    const ClientQueue::Entry &sent = gzip ? body.gzipped : body.plain;
    std::string allHeaders = headers + (gzip ? "Content-Encoding: gzip\r\n" : "") + "Vary: Accept-Encoding\r\n";
    respond(connection, responseHead("200 OK", type, allHeaders, sent->size()),
            request.method == "HEAD" ? nullptr : sent);
}

void HttpServer::answer(Connection &connection, const HttpRequest &request) {
    bool headOnly = request.method == "HEAD";
    if (request.method != "GET" && !headOnly)
        return respond(connection, refusal("405 Method Not Allowed", "Allow: GET, HEAD\r\n", "GET and HEAD only"));
    const std::string &path = request.path;
    if (path == "/events") return startEvents(connection, headOnly);
    if (path == "/position.json") {
        if (latestJson.empty())
            return respond(connection, response("503 Service Unavailable", "application/json", kDataHeaders,
                                                "{\"error\":\"no position yet\"}\n", headOnly));
        return respond(connection, response("200 OK", "application/json", kDataHeaders, latestJson + "\n", headOnly));
    }
    if (path == "/status.json")
        return respond(connection, response("200 OK", "application/json", kDataHeaders, statusJson(), headOnly));
    if (path == "/track.geojson")
        return respondWith(connection, request, "application/geo+json", kDataHeaders, trackBody());
    // The page's own files, by their exact names; nothing else.
    std::string_view name = path == "/" ? "index.html" : std::string_view(path).substr(1);
    if (name.find('/') != std::string_view::npos || webAsset(name).empty())
        return respond(connection, refusal("404 Not Found", "", "no such page here", headOnly));
    std::string headers = std::string(kPageSecurity) + "Cache-Control: no-cache\r\n";
    return respondWith(connection, request, typeOf(name), headers, pageFileBody(name));
}

void HttpServer::startEvents(Connection &connection, bool headOnly) {
    std::string head = std::string("HTTP/1.1 200 OK\r\nDate: ") + httpDate(SystemClock::now()) +
                       "\r\nContent-Type: text/event-stream\r\n" + kDataHeaders +
                       "X-Content-Type-Options: nosniff\r\nConnection: close\r\n\r\n";
    if (headOnly) return respond(connection, head);
    if (!limitSendBuffer(connection.socket, kStreamSendBuffer))
        return close(connection, "lost: " + socketErrorText(WSAGetLastError()));
    connection.stage = Stage::kEvents;
    connection.received.clear();
    connection.received.shrink_to_fit();
    ClientQueue::Entry shared;
    // How long the client waits before it reconnects; then the feed's state, and the latest position if any.
    std::string start = head + "retry: " + std::to_string(kEventsRetry.count()) + "\n\n" + feedEvent() + latestEvents;
    if (!sendOrQueue(connection.socket, connection.queue, start, shared))
        return close(connection, "lost: " + socketErrorText(WSAGetLastError()));
    watchProgress(connection);
    notice("http: " + connection.address + " receives events; " + std::to_string(eventsClientCount()) +
           " events client(s)");
}

void HttpServer::respond(Connection &connection, const std::string &head, const ClientQueue::Entry &body) {
    connection.stage = Stage::kResponse;
    connection.received.clear();
    connection.received.shrink_to_fit();
    ClientQueue::Entry ownHead, sharedBody = body;
    if (!sendOrQueue(connection.socket, connection.queue, head, ownHead) ||
        (body && !sendOrQueue(connection.socket, connection.queue, *body, sharedBody)))
        return close(connection, "lost: " + socketErrorText(WSAGetLastError()));
    watchProgress(connection);
    if (connection.queue.empty()) finishResponse(connection);
}

// Shuts the connection for sending and waits for the client to close its end: closing at once, while
// unread bytes of the client's wait, would reset the connection, and the client might lose the answer.
void HttpServer::finishResponse(Connection &connection) {
    shutdown(connection.socket, SD_SEND);
    connection.stage = Stage::kClosing;
    connection.due = SteadyClock::now() + kClosingWait;
}

void HttpServer::close(Connection &connection, const std::string &why) {
    if (connection.stage == Stage::kEvents) {
        eventsDroppedForGone += connection.queue.dropped();
        notice("http: " + connection.address + " " + why + "; " + std::to_string(connection.queue.dropped()) +
               " events dropped");
    } else if (connection.stage == Stage::kResponse) {
        notice("http: " + connection.address + " " + why + "; its answer cut short");
    }
    closesocket(connection.socket);
    connection.socket = INVALID_SOCKET;
}

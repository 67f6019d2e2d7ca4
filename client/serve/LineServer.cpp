#include "serve/LineServer.h"

#include <algorithm>

#include "system/ClientPlatform.h"
#include "system/Notice.h"

namespace {

constexpr int kSendBufferBytes = 16384;  // see limitSendBuffer

std::string lastSocketError() { return socketErrorText(WSAGetLastError()); }

}  // namespace

SOCKET listenOnAllAddresses(int port, std::string &error) {
    SOCKET listener = openSocket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<unsigned short>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (listener != INVALID_SOCKET && allowBindOverTimeWait(listener) && setNonBlocking(listener) &&
        bind(listener, reinterpret_cast<sockaddr *>(&address), sizeof address) == 0 &&
        ::listen(listener, SOMAXCONN) == 0) {
        return listener;
    }
    error = lastSocketError();
    if (listener != INVALID_SOCKET) closesocket(listener);
    return INVALID_SOCKET;
}

int localPort(SOCKET socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(socket, reinterpret_cast<sockaddr *>(&address), &length);
    return ntohs(address.sin_port);
}

std::string peerAddress(SOCKET socket) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getpeername(socket, reinterpret_cast<sockaddr *>(&address), &length);
    char host[INET_ADDRSTRLEN] = "?";
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

bool limitSendBuffer(SOCKET socket) {
    return setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&kSendBufferBytes),
                      sizeof kSendBufferBytes) == 0;
}

bool sendOrQueue(SOCKET socket, ClientQueue &queue, std::string_view entry, ClientQueue::Entry &shared) {
    std::size_t taken = 0;
    if (queue.empty()) {
        auto sent = send(socket, entry.data(), static_cast<int>(entry.size()), kSendFlags);
        if (sent < 0 && !isWouldBlock(WSAGetLastError())) return false;
        taken = sent < 0 ? 0 : static_cast<std::size_t>(sent);
        if (taken == entry.size()) return true;
    }
    if (!shared) shared = std::make_shared<const std::string>(entry);
    queue.push(shared);
    if (taken > 0) queue.sent(taken);
    return true;
}

bool flushQueue(SOCKET socket, ClientQueue &queue) {
    while (!queue.empty()) {
        std::string_view unsent = queue.unsent();
        auto sent = send(socket, unsent.data(), static_cast<int>(unsent.size()), kSendFlags);
        if (sent < 0) return isWouldBlock(WSAGetLastError());
        queue.sent(static_cast<std::size_t>(sent));
    }
    return true;
}

void ClientQueue::push(Entry entry) {
    if (entries.size() == kQueueLength) {
        entries.erase(entries.begin() + (sentOfFirst > 0 ? 1 : 0));
        ++droppedCount;
    }
    entries.push_back(std::move(entry));
}

void ClientQueue::sent(std::size_t bytes) {
    sentOfFirst += bytes;
    if (sentOfFirst == entries.front()->size()) {
        entries.pop_front();
        sentOfFirst = 0;
    }
}

LineServer::~LineServer() {
    for (Client &client : clients) closesocket(client.socket);
    if (listener != INVALID_SOCKET) closesocket(listener);
}

bool LineServer::listen(int port, std::string &error) {
    listener = listenOnAllAddresses(port, error);
    return listener != INVALID_SOCKET;
}

int LineServer::port() const { return localPort(listener); }

void LineServer::publish(std::string_view entry) {
    ClientQueue::Entry shared;  // made once, for the first client that cannot take the entry at once
    for (Client &client : clients) {
        if (!sendOrQueue(client.socket, client.queue, entry, shared)) drop(client, "lost: " + lastSocketError());
    }
    removeDropped();
}

void LineServer::addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const {
    acceptPause.addToPoll(listener, entries, waitMilliseconds);
    for (const Client &client : clients)
        entries.push_back({client.socket, static_cast<short>(client.queue.empty() ? POLLIN : POLLIN | POLLOUT), 0});
}

void LineServer::serve(const WSAPOLLFD *entries) {
    for (std::size_t i = 0; i < clients.size(); ++i) {
        Client &client = clients[i];
        short events = entries[1 + i].revents;
        if (events & (POLLIN | POLLHUP | POLLERR)) {
            // Clients have nothing to say; what they send is read and dropped. The end of their stream
            // is the end of the client: Windows reports a half-closed socket as hung up for good.
            char ignored[4096];
            auto received = recv(client.socket, ignored, sizeof ignored, 0);
            if (received == 0) {
                drop(client, "left");
                continue;
            }
            if (received < 0 && !isWouldBlock(WSAGetLastError())) {
                drop(client, "lost: " + lastSocketError());
                continue;
            }
        }
        if ((events & POLLOUT) && !flushQueue(client.socket, client.queue)) drop(client, "lost: " + lastSocketError());
    }
    removeDropped();
    if (entries[0].revents & POLLIN) acceptClients();
}

// Clients get no bound on how long what is sent to them may go unacknowledged, unlike the plug-in's one
// client: on Linux that bound also ends a connection whose window stays shut, and a client that stops
// reading here only misses lines. One that vanished keeps its place until the system gives it up.
void LineServer::acceptClients() {
    for (SOCKET socket; (socket = acceptPause.acceptNext(listener, name)) != INVALID_SOCKET;) {
        std::string who = peerAddress(socket);
        if (clients.size() == kMaxClients) {
            closesocket(socket);
            notice(name + ": refused " + who + ": already serving " + std::to_string(kMaxClients) + " clients");
        } else if (!limitSendBuffer(socket)) {
            closesocket(socket);
            notice(name + ": refused " + who + ": " + lastSocketError());
        } else {
            clients.push_back({socket, who, {}});
            notice(name + ": " + who + " connected; " + std::to_string(clients.size()) + " client(s)");
        }
    }
}

void LineServer::removeDropped() {
    clients.erase(std::remove_if(clients.begin(), clients.end(),
                                 [](const Client &client) { return client.socket == INVALID_SOCKET; }),
                  clients.end());
}

void LineServer::drop(Client &client, const std::string &why) {
    closesocket(client.socket);
    client.socket = INVALID_SOCKET;
    notice(name + ": " + client.address + " " + why + "; " + std::to_string(client.queue.dropped()) + " " + unit +
           " dropped");
}

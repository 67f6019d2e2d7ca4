#include "serve/LineServer.h"

#include <algorithm>

#include "system/ClientPlatform.h"
#include "system/Notice.h"

namespace {

std::string lastSocketError() { return socketErrorText(WSAGetLastError()); }

}  // namespace

LineServer::~LineServer() {
    for (Client &client : clients) closesocket(client.socket);
}

void LineServer::publish(std::string_view entry) {
    ClientQueue::Entry shared;  // made once, for the first client that cannot take the entry at once
    for (Client &client : clients) {
        if (!sendOrQueue(client.socket, client.queue, entry, shared)) drop(client, "lost: " + lastSocketError());
    }
    removeDropped();
}

std::size_t LineServer::mostWaiting() const {
    std::size_t most = 0;
    for (const Client &client : clients) most = std::max(most, client.queue.size());
    return most;
}

unsigned long LineServer::dropped() const {
    unsigned long count = droppedForGone;
    for (const Client &client : clients) count += client.queue.dropped();
    return count;
}

void LineServer::addToPoll(std::vector<WSAPOLLFD> &entries, int &waitMilliseconds) const {
    listener.addToPoll(entries, waitMilliseconds);
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
    for (SOCKET socket; (socket = listener.acceptNext()) != INVALID_SOCKET;) {
        std::string who = peerAddress(socket);
        if (clients.size() == kMaxClients) {
            closesocket(socket);
            notice(name + ": refused " + who + ": already serving " + std::to_string(kMaxClients) + " clients");
        } else if (!limitSendBuffer(socket, kStreamSendBuffer)) {
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
    droppedForGone += client.queue.dropped();
    notice(name + ": " + client.address + " " + why + "; " + std::to_string(client.queue.dropped()) + " " + unit +
           " dropped");
}

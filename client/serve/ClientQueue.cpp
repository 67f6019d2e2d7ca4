#include "serve/ClientQueue.h"

#include <utility>

void ClientQueue::push(Entry entry) {
    if (entries.size() == kQueueLength) {
        entries.erase(entries.begin() + (sentOfFirst > 0 ? 1 : 0));
        ++droppedCount;
    }
    entries.push_back(std::move(entry));
}

void ClientQueue::sent(std::size_t bytes) {
    takenCount += bytes;
    sentOfFirst += bytes;
    if (sentOfFirst == entries.front()->size()) {
        entries.pop_front();
        sentOfFirst = 0;
    }
}

bool limitSendBuffer(SOCKET socket, int bytes) {
    return setsockopt(socket, SOL_SOCKET, SO_SNDBUF, reinterpret_cast<const char *>(&bytes), sizeof bytes) == 0;
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

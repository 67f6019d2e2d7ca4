#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

// A change in the feed's state worth telling a person about: a listener ready, a client come or gone, a
// call that failed, the feed stopped.
struct FeedEvent {
    enum class Kind : uint8_t { kListening, kClientConnected, kClientLost, kFailed, kStopped };
    Kind kind = Kind::kListening;
    const char *call = "";  // kFailed: the call that failed, as the standard-output message names it
    int error = 0;          // kFailed, kClientLost: the error code
    uint32_t address = 0;   // kClientConnected: the client's IPv4 address, in host order,
    uint16_t port = 0;      // and its port
    long long linesSent = 0;     // kStopped: of the ticks that had a client since the feed started, those
    long long linesDropped = 0;  // whose line the socket took (whole or begun), and the rest
};

// Hands events from the listener thread to the host's thread without a lock and without allocating. One
// listener thread at a time pushes; the next starts only after the last has ended. The host's thread pops.
class FeedEventQueue {
public:
    // False, and the event dropped, if the queue is full.
    bool push(const FeedEvent &event) {
        unsigned end = tail.load(std::memory_order_relaxed);
        if (end - head.load(std::memory_order_acquire) == kCapacity) return false;
        slots[end % kCapacity] = event;
        tail.store(end + 1, std::memory_order_release);
        return true;
    }

    // False if there is no event.
    bool pop(FeedEvent &event) {
        unsigned begin = head.load(std::memory_order_relaxed);
        if (begin == tail.load(std::memory_order_acquire)) return false;
        event = slots[begin % kCapacity];
        head.store(begin + 1, std::memory_order_release);
        return true;
    }

private:
    // A listener run makes at most three events, and the host's thread empties the queue every second.
    static constexpr unsigned kCapacity = 16;
    FeedEvent slots[kCapacity];
    std::atomic<unsigned> head{0};  // next to pop
    std::atomic<unsigned> tail{0};  // next to fill
};

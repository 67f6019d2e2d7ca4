#include "system/QueuedOutput.h"

#include <cerrno>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <system_error>
#include <utility>

#include "system/Notice.h"

struct QueuedOutput::Shared {
    bool (*write)(const std::string &text);
    void (*wake)();

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::string> waiting;
    bool writing = false;  // an entry taken from the queue is being written
    bool finishing = false;
    bool ended = false;
    int failure = 0;
    unsigned long dropped = 0;  // since the last notice
    bool wroteSinceDrop = false;
};

QueuedOutput::QueuedOutput(bool (*write)(const std::string &text), void (*wake)())
    : shared(std::make_shared<Shared>()) {
    shared->write = write;
    shared->wake = wake;
}

QueuedOutput::~QueuedOutput() {
    if (!thread.joinable()) return;
    bool writing = false;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->finishing = true;
        shared->waiting.clear();  // what the reader has not taken by now, it will not get
        writing = shared->writing;
    }
    shared->changed.notify_one();
    if (writing)
        thread.detach();  // it waits on a reader that may never read again; the process ends now
    else
        thread.join();
}

bool QueuedOutput::start() {
    try {
        thread = std::thread(writeQueued, shared);
        return true;
    } catch (const std::system_error &) {
        return false;
    }
}

bool QueuedOutput::put(const std::string &lines) {
    unsigned long missedWhileStalled = 0;
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        if (shared->failure != 0) {
            errno = shared->failure;
            return false;
        }
        // A write since the last drop: the reader takes lines again.
        if (shared->dropped > 0 && shared->wroteSinceDrop) {
            missedWhileStalled = shared->dropped;
            shared->dropped = 0;
        }
        if (shared->waiting.size() == kOutputQueueLength) {
            shared->waiting.pop_front();
            ++shared->dropped;
            shared->wroteSinceDrop = false;
        }
        shared->waiting.push_back(lines);
    }
    shared->changed.notify_one();
    if (missedWhileStalled > 0)
        notice("standard output was not read: " + std::to_string(missedWhileStalled) + " lines dropped");
    return true;
}

void QueuedOutput::finish() {
    {
        std::lock_guard<std::mutex> lock(shared->mutex);
        shared->finishing = true;
    }
    shared->changed.notify_one();
}

bool QueuedOutput::ended() const {
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->ended;
}

int QueuedOutput::failure() const {
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->failure;
}

unsigned long QueuedOutput::missed() const {
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->dropped + shared->waiting.size() + (shared->writing ? 1 : 0);
}

std::size_t QueuedOutput::waiting() const {
    std::lock_guard<std::mutex> lock(shared->mutex);
    return shared->waiting.size() + (shared->writing ? 1 : 0);
}

// The output's thread: writes the oldest entry waiting, outside the lock, until finished or failed.
void QueuedOutput::writeQueued(std::shared_ptr<Shared> shared) {
    std::unique_lock<std::mutex> lock(shared->mutex);
    for (;;) {
        shared->changed.wait(lock, [&] { return !shared->waiting.empty() || shared->finishing; });
        if (shared->waiting.empty()) break;
        std::string text = std::move(shared->waiting.front());
        shared->waiting.pop_front();
        shared->writing = true;
        lock.unlock();
        bool written = shared->write(text);
        int error = errno;
        lock.lock();
        shared->writing = false;
        if (!written) {
            shared->failure = error != 0 ? error : EIO;
            break;
        }
        shared->wroteSinceDrop = true;
    }
    shared->ended = true;
    lock.unlock();
    shared->wake();
}

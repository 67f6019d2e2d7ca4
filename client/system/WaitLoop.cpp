#include "system/WaitLoop.h"

#include <algorithm>
#include <cstddef>
#include <string>

#include "system/ClientPlatform.h"
#include "system/Notice.h"
#include "system/StopRequests.h"

void shortenWait(int &waitMilliseconds, SteadyClock::time_point until) {
    auto left = std::chrono::ceil<std::chrono::milliseconds>(until - SteadyClock::now()).count();
    int milliseconds = static_cast<int>(std::max<decltype(left)>(left, 0));
    waitMilliseconds = waitMilliseconds < 0 ? milliseconds : std::min(waitMilliseconds, milliseconds);
}

WaitLoopEnd runWaitLoop(const std::vector<Waiter *> &waiters, const std::function<bool()> &done) {
    std::vector<WSAPOLLFD> entries;
    std::vector<std::size_t> firstEntries(waiters.size());
    do {
        int wait = -1;
        entries.assign({{stopSocket(), POLLIN, 0}});
        for (std::size_t i = 0; i < waiters.size(); ++i) {
            firstEntries[i] = entries.size();
            waiters[i]->addToPoll(entries, wait);
        }
        int ready = WSAPoll(entries.data(), static_cast<unsigned long>(entries.size()), wait);
        int error = WSAGetLastError();
        if (ready < 0 && !isWouldBlock(error)) {
            notice("cannot wait on the network: " + socketErrorText(error));
            return WaitLoopEnd::kWaitFailed;
        }
        if (entries[0].revents != 0) return WaitLoopEnd::kStopRequested;
        for (std::size_t i = 0; i < waiters.size(); ++i) waiters[i]->serve(&entries[firstEntries[i]]);
    } while (!done());
    return WaitLoopEnd::kDone;
}

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <string_view>

#include "serve/ClientQueue.h"

namespace {

ClientQueue::Entry entry(int number) { return std::make_shared<const std::string>(std::to_string(number) + "\n"); }

TEST(ClientQueue, DropsTheOldestWholeEntriesButNeverOnePartlySent) {
    ClientQueue queue;
    for (int number = 100; number < 100 + static_cast<int>(kQueueLength); ++number) queue.push(entry(number));
    EXPECT_EQ(queue.dropped(), 0u);
    queue.sent(2);  // "10" of "100\n" is on its way
    queue.push(entry(900));
    queue.push(entry(901));
    EXPECT_EQ(queue.dropped(), 2u);
    EXPECT_EQ(queue.unsent(), "0\n");  // the rest of the first line goes out whole
    queue.sent(2);
    EXPECT_EQ(queue.unsent(), "103\n");  // 101 and 102 made way
    queue.push(entry(902));              // room for it now
    EXPECT_EQ(queue.dropped(), 2u);
    queue.push(entry(903));
    EXPECT_EQ(queue.unsent(), "104\n");
    EXPECT_EQ(queue.dropped(), 3u);
    std::string rest;
    for (; !queue.empty(); queue.sent(queue.unsent().size())) rest += queue.unsent();
    EXPECT_EQ(rest.substr(rest.size() - 16), "900\n901\n902\n903\n");
    EXPECT_EQ(rest.size(), 4 * kQueueLength);
}

}  // namespace

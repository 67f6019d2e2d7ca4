#pragma once

// The two clocks feedclient reads: the system's, for when a position was received, which every output
// tells in UTC; and the steady one, for every time-out and pause, which the system's clock being set must
// not stretch or cut short.

#include <chrono>

using SystemClock = std::chrono::system_clock;
using SteadyClock = std::chrono::steady_clock;

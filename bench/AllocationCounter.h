#pragma once

// Counts every heap allocation of the process, operator new's and the C library's alike, by standing in
// for malloc and handing each call on to glibc's own. The sanitizers bring their own malloc: under them
// nothing is counted, and allocationsAreCounted() says so.

#include <benchmark/benchmark.h>

#include <atomic>

extern std::atomic<long> gAllocations;

// Whether the count sees an allocation at all, so that a count of 0 means something.
bool allocationsAreCounted();

// Reports `allocations` over the run as the benchmark's "allocs" counter, per iteration.
void countAllocations(benchmark::State &state, long allocations);

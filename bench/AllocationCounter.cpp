#include "bench/AllocationCounter.h"

#include <cstdlib>

std::atomic<long> gAllocations{0};

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
static void *counted(void *memory) {
    gAllocations.fetch_add(1, std::memory_order_relaxed);
    return memory;
}

extern "C" {
void *__libc_malloc(std::size_t size);
void *__libc_calloc(std::size_t count, std::size_t size);
void *__libc_realloc(void *memory, std::size_t size);
__attribute__((visibility("default"))) void *malloc(std::size_t size) noexcept { return counted(__libc_malloc(size)); }
__attribute__((visibility("default"))) void *calloc(std::size_t count, std::size_t size) noexcept {
    return counted(__libc_calloc(count, size));
}
__attribute__((visibility("default"))) void *realloc(void *memory, std::size_t size) noexcept {
    return counted(__libc_realloc(memory, size));
}
}
#endif

bool allocationsAreCounted() {
    void *(*volatile allocate)(std::size_t) = std::malloc;  // volatile: the pair cannot be optimised away
    long before = gAllocations.load();
    std::free(allocate(16));
    return gAllocations.load() == before + 1;
}

void countAllocations(benchmark::State &state, long allocations) {
    state.counters["allocs"] = benchmark::Counter(static_cast<double>(allocations), benchmark::Counter::kAvgIterations);
}

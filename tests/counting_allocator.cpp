// SPDX-License-Identifier: BSD-3-Clause
// The counting allocator of counting_allocator.h: glibc's allocator behind
// replacements of the C allocation functions, which every allocation of the
// process (operator new, the libraries') reaches when the executable
// defines them.
#include "counting_allocator.h"

#include <atomic>
#include <cstddef>

#if defined(__GLIBC__)
#include <malloc.h>

#include <cerrno>

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* block, std::size_t size);
void __libc_free(void* block);
void* __libc_memalign(std::size_t alignment, std::size_t size);
}
#endif

namespace tamrin_test {
namespace {

// Live bytes and their peak: the process's, and each thread's in a slot of
// its own (taken at its first allocation; threads past the last slot share
// it). Plain atomics and a trivially destructible thread-local index: the
// counting must not allocate.
struct Count {
    std::atomic<int64_t> live{0}, peak{0}, atReset{0};
};

constexpr int kSlots = 1024;
Count gProcess;
Count gThreads[kSlots];
std::atomic<int> gSlotsTaken{0};
thread_local int tSlot = -1;

void raise(Count& count, int64_t live) {
    int64_t peak = count.peak.load(std::memory_order_relaxed);
    while (live > peak && !count.peak.compare_exchange_weak(peak, live)) {
    }
}

void add(int64_t bytes) {
    if (tSlot < 0) {
        const int taken = gSlotsTaken.fetch_add(1);
        tSlot = taken < kSlots ? taken : kSlots - 1;
    }
    raise(gProcess, gProcess.live.fetch_add(bytes) + bytes);
    Count& own = gThreads[tSlot];
    raise(own, own.live.fetch_add(bytes) + bytes);
}

void gained(void* block) {
#if defined(__GLIBC__)
    if (block != nullptr) add(static_cast<int64_t>(malloc_usable_size(block)));
#else
    (void)block;
#endif
}

void lost(void* block) {
#if defined(__GLIBC__)
    if (block != nullptr) add(-static_cast<int64_t>(malloc_usable_size(block)));
#else
    (void)block;
#endif
}

}  // namespace

#if defined(__GLIBC__)
bool allocatorCounted() { return true; }
#else
bool allocatorCounted() { return false; }
#endif

int64_t liveBytes() { return gProcess.live.load(); }
int64_t peakBytes() { return gProcess.peak.load(); }

void resetPeakBytes() {
    gProcess.peak.store(gProcess.live.load());
    for (Count& count : gThreads) {
        count.atReset.store(count.live.load());
        count.peak.store(count.atReset.load());
    }
}

int64_t threadPeakBytes() {
    int64_t sum = 0;
    for (const Count& count : gThreads) sum += count.peak.load() - count.atReset.load();
    return sum;
}

}  // namespace tamrin_test

#if defined(__GLIBC__)
using tamrin_test::gained;
using tamrin_test::lost;

extern "C" {

void* malloc(std::size_t size) {
    void* block = __libc_malloc(size);
    gained(block);
    return block;
}

void* calloc(std::size_t count, std::size_t size) {
    void* block = __libc_calloc(count, size);
    gained(block);
    return block;
}

void* realloc(void* block, std::size_t size) {
    // The old block is gone only when the new one exists (or size is 0).
    const std::size_t before = block != nullptr ? malloc_usable_size(block) : 0;
    void* moved = __libc_realloc(block, size);
    if (moved != nullptr || size == 0) tamrin_test::add(-static_cast<int64_t>(before));
    gained(moved);
    return moved;
}

void free(void* block) {
    lost(block);
    __libc_free(block);
}

void* memalign(std::size_t alignment, std::size_t size) {
    void* block = __libc_memalign(alignment, size);
    gained(block);
    return block;
}

void* aligned_alloc(std::size_t alignment, std::size_t size) { return memalign(alignment, size); }

int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0) return EINVAL;
    void* block = memalign(alignment, size);
    if (block == nullptr && size > 0) return ENOMEM;
    *out = block;
    return 0;
}

void* valloc(std::size_t size) { return memalign(4096, size); }

}  // extern "C"
#endif

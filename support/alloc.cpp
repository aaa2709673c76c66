// SPDX-License-Identifier: BSD-3-Clause
// coreMalloc, coreCalloc and coreFree, and the fault-injection countdowns for
// allocations and thread starts.
#include "alloc.h"

#include <atomic>
#include <cstdlib>

namespace tamrin {
namespace {
// Allocations left before the injected failure; 0 or below means disarmed.
std::atomic<long long> gFailCountdown{0};
std::atomic<long long> gThreadFailCountdown{0};
std::atomic<long long> gLive{0};

bool countdownExpires(std::atomic<long long>& countdown) {
    if (countdown.load(std::memory_order_relaxed) <= 0) return false;
    // Exactly one caller sees the count go from 1 to 0 and fails.
    return countdown.fetch_sub(1) == 1;
}

void* counted(void* block) {
    if (block != nullptr) gLive.fetch_add(1, std::memory_order_relaxed);
    return block;
}
}  // namespace

void injectAllocationFailure(long long nth) { gFailCountdown.store(nth > 0 ? nth : 0); }

bool allocationShouldFail() { return countdownExpires(gFailCountdown); }

void injectThreadStartFailure(long long nth) { gThreadFailCountdown.store(nth > 0 ? nth : 0); }

bool threadStartShouldFail() { return countdownExpires(gThreadFailCountdown); }

long long allocationFailurePending() {
    const long long left = gFailCountdown.load();
    return left > 0 ? left : 0;
}

long long threadStartFailurePending() {
    const long long left = gThreadFailCountdown.load();
    return left > 0 ? left : 0;
}

void* coreMalloc(std::size_t bytes) {
    if (allocationShouldFail()) return nullptr;
    return counted(std::malloc(bytes));
}

void* coreCalloc(std::size_t count, std::size_t size) {
    if (allocationShouldFail()) return nullptr;
    return counted(std::calloc(count, size));
}

void coreFree(void* block) {
    if (block == nullptr) return;
    gLive.fetch_sub(1, std::memory_order_relaxed);
    std::free(block);
}

long long coreBlocksLive() { return gLive.load(); }

}  // namespace tamrin

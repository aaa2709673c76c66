// kernelMalloc/kernelFree and the fault-injection countdowns for allocations
// and thread starts.
#include "support/alloc.h"

#include <atomic>
#include <cstdlib>

namespace tamrin {
namespace {
// Allocations left before the injected failure; 0 or below means disarmed.
std::atomic<long long> gFailCountdown{0};
std::atomic<long long> gThreadFailCountdown{0};
thread_local long long tLive = 0;

bool countdownExpires(std::atomic<long long>& countdown) {
    if (countdown.load(std::memory_order_relaxed) <= 0) return false;
    // Exactly one caller sees the count go from 1 to 0 and fails.
    return countdown.fetch_sub(1) == 1;
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

void* kernelMalloc(std::size_t bytes) {
    if (allocationShouldFail()) return nullptr;
    void* block = std::malloc(bytes);
    if (block != nullptr) tLive++;
    return block;
}

void kernelFree(void* block) {
    if (block != nullptr) tLive--;
    std::free(block);
}

long long kernelBlocksLive() { return tLive; }

}  // namespace tamrin

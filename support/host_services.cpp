// Standalone host services and the indirection through which the core reaches
// whichever services a front end has installed.
#include "support/host.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "support/alloc.h"

namespace tamrin {
namespace {

void standalonePrint(const char* text) {
    // fputs locks the stream, so concurrent messages never interleave within a line.
    std::fputs(text, stderr);
}

void* standaloneCalloc(std::size_t count, std::size_t size) { return std::calloc(count, size); }

void standaloneFree(void* block) { std::free(block); }

const HostServices kStandalone = {standalonePrint, standaloneCalloc, standaloneFree};

std::atomic<const HostServices*> gServices{&kStandalone};

}  // namespace

const HostServices* installHostServices(const HostServices* services) {
    return gServices.exchange(services != nullptr ? services : &kStandalone);
}

void hostPrint(const char* text) { gServices.load(std::memory_order_acquire)->print(text); }

void* hostCalloc(std::size_t count, std::size_t size) {
    if (allocationShouldFail()) return nullptr;
    return gServices.load(std::memory_order_acquire)->calloc(count, size);
}

void hostFree(void* block) {
    if (block != nullptr) gServices.load(std::memory_order_acquire)->free(block);
}

}  // namespace tamrin

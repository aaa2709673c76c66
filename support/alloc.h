// Allocation used by the numerical kernels, with a switch for fault injection.
//
// kernelMalloc/kernelFree are malloc/free. hostCalloc (host.h) and kernelMalloc
// both consult one process-wide countdown so that tests can make the n-th
// allocation from now fail, whichever site makes it, and check that every site
// copes. When disarmed (the default) the cost is one relaxed atomic load.
#pragma once

#include <cstddef>

namespace tamrin {

void* kernelMalloc(std::size_t bytes);
void kernelFree(void* block);

// Makes the nth allocation from now (1 = the next one) fail; 0 disarms.
// Counts calls to kernelMalloc and hostCalloc from every thread.
void injectAllocationFailure(long long nth);

// Blocks from kernelMalloc not yet given to kernelFree, counted per thread
// (a block must be released on the thread that obtained it for the count to
// balance). Lets tests check that failure paths release everything.
long long kernelBlocksLive();

// True when the current allocation must fail; consumed by the allocation sites.
bool allocationShouldFail();

// The same for thread starts: makes the nth thread start from now fail as if
// the system had refused it; 0 disarms. Consulted by the volume driver.
void injectThreadStartFailure(long long nth);
bool threadStartShouldFail();

// What is left of each countdown: 0 once its failure was injected (or when
// disarmed). Arming with a large n, running, and subtracting what is left
// counts the allocations (thread starts) of the run.
long long allocationFailurePending();
long long threadStartFailurePending();

}  // namespace tamrin

// SPDX-License-Identifier: BSD-3-Clause
// Memory for the core: every block the core obtains comes from coreMalloc or
// coreCalloc and goes back through coreFree. Both consult one countdown so
// that tests can make the n-th allocation from now fail, whichever site makes
// it, and check that every site copes; when disarmed (the default) the cost
// is one relaxed atomic load. The same for thread starts. These countdowns
// are test knobs, never set by a front end's normal calls.
#pragma once

#include <cstddef>

namespace tamrin {

// malloc and calloc, unless an injected failure is due (then nullptr).
void* coreMalloc(std::size_t bytes);
void* coreCalloc(std::size_t count, std::size_t size);
// free; nullptr is accepted and ignored.
void coreFree(void* block);

// Blocks from coreMalloc and coreCalloc not yet given to coreFree, from
// every thread. Lets tests check that failure paths release everything.
long long coreBlocksLive();

// Makes the nth allocation from now (1 = the next one) fail; 0 disarms.
// Counts calls to coreMalloc and coreCalloc from every thread.
void injectAllocationFailure(long long nth);

// True when the current allocation must fail; consumed by the allocation
// sites (and by the message log, whose entries need memory too).
bool allocationShouldFail();

// The same for thread starts: makes the nth thread start from now fail as if
// the system had refused it; 0 disarms. Consulted by the series driver.
void injectThreadStartFailure(long long nth);
bool threadStartShouldFail();

// What is left of each countdown: 0 once its failure was injected (or when
// disarmed). Arming with a large n, running, and subtracting what is left
// counts the allocations (thread starts) of the run.
long long allocationFailurePending();
long long threadStartFailurePending();

}  // namespace tamrin

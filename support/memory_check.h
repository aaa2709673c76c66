// SPDX-License-Identifier: BSD-3-Clause
// Whether a run fits in the memory this process may use, decided before
// anything large is read or allocated: the limits probed from the system,
// what a run needs, and the comparison. Every front end calls it and words
// its own refusal.
//
// Four limits, each compared with the part of the need it governs:
//   available memory   MemAvailable of /proc/meminfo (swap is not counted: a
//                      run touches its sums all over, every patch, so a run
//                      that spills into swap pages them in and out for its
//                      whole length)
//   cgroup             in the cgroup of this process and each one above it,
//                      the memory limit less what is charged now, page cache
//                      that can be dropped (inactive file pages) left out;
//                      cgroup v2 (memory.max, memory.current) or v1
//                      (memory.limit_in_bytes, memory.usage_in_bytes). A
//                      batch job's memory request arrives this way.
//   RLIMIT_DATA        less VmData: private writable mappings
//   RLIMIT_AS          less VmSize: every mapping, files included
// Private bytes (what the run writes) count against all four, and the
// kernel's page tables for every page the run touches against the first
// two; reserved bytes (thread stacks, mostly never touched) against the two
// resource limits; mapped files against the address space only.
//
// Where this system has no probe (not Linux), the limits are unknown and
// every run fits.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tamrin {

enum MemoryLimitKind : int32_t {
    kLimitAvailable = 0,
    kLimitCgroup = 1,
    kLimitData = 2,
    kLimitAddressSpace = 3,
    kMemoryLimitKinds = 4,
};

struct MemoryLimit {
    bool applies = false;  // false when there is no such limit (or it could not be read)
    int64_t room = 0;      // bytes the process may still obtain under it (0 when past it)
    int64_t limit = 0;     // the limit (MemAvailable itself for available memory)
    int64_t used = 0;      // what counts against it now (0 for available memory)
    char where[192] = "";  // the cgroup whose limit binds, as the system names it ("/jobs/42")
};

struct MemoryLimits {
    bool probed = false;  // false where the system offers no probe: the limits are unknown
    MemoryLimit limit[kMemoryLimitKinds];
};

// What a run obtains beyond what the process holds already.
struct MemoryNeed {
    int64_t privateBytes = 0;   // memory the run writes: results, sums, copies, workers' stores
    int64_t reservedBytes = 0;  // private mappings reserved but mostly not written: thread stacks
    int64_t mappedBytes = 0;    // files mapped to be read
};

struct MemoryVerdict {
    bool fits = true;
    int32_t binding = -1;                // the limit short by the most, -1 when the run fits
    int64_t needed[kMemoryLimitKinds];   // what counts against each limit
};

// Where the probe looks: the system's files under `root` ("" for the real
// /proc and cgroup file systems) and, when rlimitsGiven, these soft limits
// instead of the process's own (-1: none). Lets tests describe any system.
struct MemoryProbeSource {
    const char* root = "";
    bool rlimitsGiven = false;
    int64_t addressSpace = -1;
    int64_t data = -1;
};

MemoryLimits probeMemoryLimits();
MemoryLimits probeMemoryLimits(const MemoryProbeSource& source);

MemoryVerdict checkMemory(const MemoryNeed& need, const MemoryLimits& limits);

// True when the environment variable TAMRIN_NO_MEMORY_CHECK is set to
// anything but "" or "0": the front ends then skip the check.
bool memoryCheckDisabled();

// Bytes each thread the process starts reserves for its stack (with its
// guard page).
int64_t threadStackBytes();

// Sums and products of byte counts that stop at the largest int64_t instead
// of wrapping: a need past it never fits, whatever it is exactly.
inline int64_t saturatingAdd(int64_t a, int64_t b) {
    int64_t sum;
    return __builtin_add_overflow(a, b, &sum) ? INT64_MAX : sum;
}
inline int64_t saturatingMultiply(int64_t a, int64_t b) {
    int64_t product;
    return __builtin_mul_overflow(a, b, &product) ? INT64_MAX : product;
}

// The largest worker count from 1 to `requested` whose need fits, 0 when
// not even one worker fits. `needOf` gives the need for a worker count.
int32_t workersThatFit(MemoryNeed (*needOf)(int32_t workers, const void* context), const void* context,
                       int32_t requested, const MemoryLimits& limits);

// "1.5 GiB", "320.0 MiB", "512 bytes", into text (at least 16 bytes).
void formatByteCount(int64_t bytes, char* text, std::size_t size);

// The figures of a refusal, for a front end's message: what the run needs
// against the binding limit and what that limit leaves, e.g. "it needs
// 35.9 GiB, but this process may use 21.6 GiB (the machine's available
// memory, MemAvailable)". Writes at most size bytes, NUL-terminated.
void describeShortfall(const MemoryNeed& need, const MemoryLimits& limits, const MemoryVerdict& verdict, char* text,
                       std::size_t size);

// The limits seen, one clause each, for `tamrin info`: "available memory
// 21.6 GiB; cgroup /jobs/42: 3.9 GiB left of 4.0 GiB; RLIMIT_DATA: none;
// RLIMIT_AS: none", or "unknown on this system".
void describeLimits(const MemoryLimits& limits, char* text, std::size_t size);

}  // namespace tamrin

// SPDX-License-Identifier: BSD-3-Clause
// checkMemory and what the front ends share around it: the need of a
// library call, the worker count that fits, the stack a thread reserves,
// and the figures of a refusal.
#include "memory_check.h"

#include <cstdio>
#include <string>


#if defined(__linux__)
#include <pthread.h>
#include <sys/resource.h>
#endif

namespace tamrin {
namespace {

// Page tables: 8 bytes for each 4 KiB page the run touches.
int64_t pageTableBytes(const MemoryNeed& need) { return saturatingAdd(need.privateBytes, need.mappedBytes) / 512; }

std::string bytesText(int64_t bytes) {
    char text[32];
    formatByteCount(bytes, text, sizeof text);
    return text;
}

}  // namespace

MemoryVerdict checkMemory(const MemoryNeed& need, const MemoryLimits& limits) {
    MemoryVerdict verdict;
    const int64_t touched = saturatingAdd(need.privateBytes, pageTableBytes(need));
    const int64_t reserved = saturatingAdd(need.privateBytes, need.reservedBytes);
    verdict.needed[kLimitAvailable] = touched;
    verdict.needed[kLimitCgroup] = touched;
    verdict.needed[kLimitData] = reserved;
    verdict.needed[kLimitAddressSpace] = saturatingAdd(reserved, need.mappedBytes);
    if (!limits.probed) return verdict;
    int64_t worst = 0;
    for (int32_t k = 0; k < kMemoryLimitKinds; k++) {
        const MemoryLimit& limit = limits.limit[k];
        if (!limit.applies || verdict.needed[k] <= limit.room) continue;
        const int64_t shortBy = verdict.needed[k] - limit.room;
        if (verdict.fits || shortBy > worst) {
            verdict.fits = false;
            verdict.binding = k;
            worst = shortBy;
        }
    }
    return verdict;
}

int64_t threadStackBytes() {
    int64_t bytes = int64_t{8} << 20;
#if defined(__GLIBC__)
    // The size every thread of this process gets unless told otherwise (glibc
    // takes it from RLIMIT_STACK when the process starts).
    pthread_attr_t attr;
    if (pthread_getattr_default_np(&attr) == 0) {
        std::size_t size = 0, guard = 0;
        if (pthread_attr_getstacksize(&attr, &size) == 0 && size > 0) bytes = static_cast<int64_t>(size);
        if (pthread_attr_getguardsize(&attr, &guard) == 0) bytes += static_cast<int64_t>(guard);
        pthread_attr_destroy(&attr);
    }
#elif defined(__linux__)
    struct rlimit stack;
    if (::getrlimit(RLIMIT_STACK, &stack) == 0 && stack.rlim_cur != RLIM_INFINITY)
        bytes = static_cast<int64_t>(stack.rlim_cur) + 4096;
#endif
    return bytes;
}

int32_t workersThatFit(MemoryNeed (*needOf)(int32_t workers, const void* context), const void* context,
                       int32_t requested, const MemoryLimits& limits) {
    if (requested < 1 || !checkMemory(needOf(1, context), limits).fits) return 0;
    // The need grows with the workers: the largest count that fits.
    int32_t low = 1, high = requested;
    while (low < high) {
        const int32_t middle = low + (high - low + 1) / 2;
        if (checkMemory(needOf(middle, context), limits).fits)
            low = middle;
        else
            high = middle - 1;
    }
    return low;
}

void formatByteCount(int64_t bytes, char* text, std::size_t size) {
    const char* units[] = {"bytes", "KiB", "MiB", "GiB", "TiB"};
    double value = static_cast<double>(bytes);
    int unit = 0;
    while (value >= 1024.0 && unit < 4) {
        value /= 1024.0;
        unit++;
    }
    std::snprintf(text, size, unit == 0 ? "%.0f %s" : "%.1f %s", value, units[unit]);
}

void describeShortfall(const MemoryNeed& need, const MemoryLimits& limits, const MemoryVerdict& verdict, char* text,
                       std::size_t size) {
    if (verdict.fits || verdict.binding < 0) {
        std::snprintf(text, size, "it fits");
        return;
    }
    const MemoryLimit& limit = limits.limit[verdict.binding];
    const std::string needed = bytesText(verdict.needed[verdict.binding]), room = bytesText(limit.room);
    const std::string of = bytesText(limit.limit), used = bytesText(limit.used);
    switch (verdict.binding) {
        case kLimitAvailable:
            std::snprintf(text, size,
                          "it needs %s, but this process may use %s (the machine's available memory, MemAvailable)",
                          needed.c_str(), room.c_str());
            break;
        case kLimitCgroup:
            std::snprintf(text, size, "it needs %s, but its cgroup %s leaves %s (limit %s, %s in use)", needed.c_str(),
                          limit.where, room.c_str(), of.c_str(), used.c_str());
            break;
        case kLimitData:
            std::snprintf(text, size, "it needs %s of private memory, but RLIMIT_DATA leaves %s (limit %s, %s in use)",
                          needed.c_str(), room.c_str(), of.c_str(), used.c_str());
            break;
        default: {
            const std::string mapped =
                need.mappedBytes > 0 ? " (" + bytesText(need.mappedBytes) + " of it the input, mapped from its file)"
                                     : std::string();
            std::snprintf(text, size,
                          "it needs %s of address space%s, but RLIMIT_AS leaves %s (limit %s, %s mapped already)",
                          needed.c_str(), mapped.c_str(), room.c_str(), of.c_str(), used.c_str());
        }
    }
}

void describeLimits(const MemoryLimits& limits, char* text, std::size_t size) {
    if (!limits.probed) {
        std::snprintf(text, size, "unknown on this system");
        return;
    }
    std::string clauses;
    const MemoryLimit& available = limits.limit[kLimitAvailable];
    clauses += available.applies ? "available memory " + bytesText(available.room) : "available memory unknown";
    const MemoryLimit& cgroup = limits.limit[kLimitCgroup];
    clauses += cgroup.applies ? std::string("; cgroup ") + cgroup.where + ": " + bytesText(cgroup.room) + " left of " +
                                    bytesText(cgroup.limit)
                              : std::string("; cgroup: no memory limit");
    const char* names[] = {"RLIMIT_DATA", "RLIMIT_AS"};
    for (int32_t k = kLimitData; k <= kLimitAddressSpace; k++) {
        const MemoryLimit& limit = limits.limit[k];
        clauses += std::string("; ") + names[k - kLimitData] + ": " +
                   (limit.applies ? bytesText(limit.room) + " left of " + bytesText(limit.limit) : std::string("none"));
    }
    std::snprintf(text, size, "%s", clauses.c_str());
}

}  // namespace tamrin

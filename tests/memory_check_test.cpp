// SPDX-License-Identifier: BSD-3-Clause
// The memory check: the probe reads the limits of a described system (files
// under a scratch root, resource limits given), the comparison sets each
// part of a need against the limits it counts for, and the need of a call
// saturates instead of wrapping.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include <gtest/gtest.h>

#include "driver/call_memory.h"
#include "support/memory_check.h"
#include "tamrin/denoise.h"

using namespace tamrin;

namespace {

constexpr int64_t kMiB = int64_t{1} << 20, kGiB = int64_t{1} << 30;

// A described system: /proc and cgroup files under a scratch folder.
struct FakeSystem {
    std::filesystem::path root;
    FakeSystem() {
        root = std::filesystem::temp_directory_path() /
               ("tamrin-memory-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::remove_all(root);
        write("proc/meminfo", "MemTotal:       16000000 kB\nMemFree:         1000000 kB\nMemAvailable:    8000000 kB\n");
        write("proc/self/status", "Name:\ttamrin\nVmPeak:\t  120000 kB\nVmSize:\t  100000 kB\nVmData:\t   50000 kB\n");
    }
    ~FakeSystem() { std::filesystem::remove_all(root); }
    void write(const std::string& name, const std::string& text) const {
        std::filesystem::create_directories((root / name).parent_path());
        std::ofstream(root / name) << text;
    }
    MemoryLimits probe(int64_t addressSpace = -1, int64_t data = -1) const {
        MemoryProbeSource source;
        const std::string path = root.string();
        source.root = path.c_str();
        source.rlimitsGiven = true;
        source.addressSpace = addressSpace;
        source.data = data;
        return probeMemoryLimits(source);
    }
};

#if defined(__linux__)

const char kUnified[] = "30 25 0:26 / /sys/fs/cgroup rw,nosuid,nodev,noexec,relatime shared:4 - cgroup2 cgroup2 rw\n";

TEST(MemoryProbe, ReadsAvailableMemoryAndTheResourceLimitsLessWhatIsUsed) {
    FakeSystem system;
    const MemoryLimits limits = system.probe(2 * kGiB, kGiB);
    ASSERT_TRUE(limits.probed);
    EXPECT_TRUE(limits.limit[kLimitAvailable].applies);
    EXPECT_EQ(limits.limit[kLimitAvailable].room, 8000000 * int64_t{1024});
    EXPECT_FALSE(limits.limit[kLimitCgroup].applies);  // no cgroup files at all
    EXPECT_EQ(limits.limit[kLimitData].room, kGiB - 50000 * 1024);
    EXPECT_EQ(limits.limit[kLimitData].used, 50000 * 1024);
    EXPECT_EQ(limits.limit[kLimitAddressSpace].room, 2 * kGiB - 100000 * 1024);
    // No resource limits: neither applies.
    const MemoryLimits unlimited = system.probe();
    EXPECT_FALSE(unlimited.limit[kLimitData].applies);
    EXPECT_FALSE(unlimited.limit[kLimitAddressSpace].applies);
    // A limit already passed leaves no room rather than a negative one.
    EXPECT_EQ(system.probe(50 * kMiB).limit[kLimitAddressSpace].room, 0);
}

TEST(MemoryProbe, CgroupV2TheTightestLevelBindsAndInactiveFilePagesDoNotCount) {
    FakeSystem system;
    system.write("proc/self/cgroup", "0::/jobs/42\n");
    system.write("proc/self/mountinfo", std::string("22 1 8:1 / / rw - ext4 /dev/vda rw\n") + kUnified);
    system.write("sys/fs/cgroup/jobs/42/memory.max", "1073741824\n");
    system.write("sys/fs/cgroup/jobs/42/memory.current", "536870912\n");
    system.write("sys/fs/cgroup/jobs/42/memory.stat", "anon 300000000\nfile 236870912\nactive_file 10\ninactive_file 104857600\n");
    system.write("sys/fs/cgroup/jobs/memory.max", "max\n");
    system.write("sys/fs/cgroup/jobs/memory.current", "900000000\n");
    MemoryLimits limits = system.probe();
    MemoryLimit cgroup = limits.limit[kLimitCgroup];
    ASSERT_TRUE(cgroup.applies);
    EXPECT_EQ(cgroup.limit, kGiB);
    EXPECT_EQ(cgroup.used, 512 * kMiB - 100 * kMiB);
    EXPECT_EQ(cgroup.room, kGiB - 412 * kMiB);
    EXPECT_STREQ(cgroup.where, "/jobs/42");

    // A parent with less room left binds instead.
    system.write("sys/fs/cgroup/jobs/memory.max", "1000000000\n");
    limits = system.probe();
    cgroup = limits.limit[kLimitCgroup];
    EXPECT_EQ(cgroup.room, 100000000);
    EXPECT_STREQ(cgroup.where, "/jobs");
}

TEST(MemoryProbe, CgroupV1MemoryHierarchyBesideAUnifiedOne) {
    FakeSystem system;
    system.write("proc/self/cgroup", "5:cpu,cpuacct:/slurm/job_7\n4:memory:/slurm/job_7\n0::/\n");
    system.write("proc/self/mountinfo",
                 std::string(kUnified) +
                     "35 31 0:32 / /sys/fs/cgroup/memory rw,relatime - cgroup cgroup rw,memory\n"
                     "36 31 0:33 / /sys/fs/cgroup/cpu,cpuacct rw,relatime - cgroup cgroup rw,cpu,cpuacct\n");
    const std::string job = "sys/fs/cgroup/memory/slurm/job_7/";
    system.write(job + "memory.limit_in_bytes", "2147483648\n");
    system.write(job + "memory.usage_in_bytes", "1073741824\n");
    system.write(job + "memory.stat", "cache 0\ninactive_file 5\ntotal_inactive_file 268435456\n");
    // "No limit" above it: the largest page count, in bytes.
    system.write("sys/fs/cgroup/memory/slurm/memory.limit_in_bytes", "9223372036854771712\n");
    system.write("sys/fs/cgroup/memory/slurm/memory.usage_in_bytes", "1073741824\n");
    system.write("sys/fs/cgroup/memory/memory.limit_in_bytes", "9223372036854771712\n");
    system.write("sys/fs/cgroup/memory/memory.usage_in_bytes", "4000000000\n");
    const MemoryLimit cgroup = system.probe().limit[kLimitCgroup];
    ASSERT_TRUE(cgroup.applies);
    EXPECT_EQ(cgroup.room, 2 * kGiB - (kGiB - 256 * kMiB));
    EXPECT_STREQ(cgroup.where, "/slurm/job_7");
}

TEST(MemoryProbe, CgroupSeenThroughAMountOfPartOfTheHierarchy) {
    FakeSystem system;
    // A container's mount shows /docker/abc as its root.
    system.write("proc/self/cgroup", "0::/docker/abc/inner\n");
    system.write("proc/self/mountinfo", "30 25 0:26 /docker/abc /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n");
    system.write("sys/fs/cgroup/inner/memory.max", "500000000\n");
    system.write("sys/fs/cgroup/inner/memory.current", "100000000\n");
    system.write("sys/fs/cgroup/memory.max", "400000000\n");
    system.write("sys/fs/cgroup/memory.current", "300000000\n");
    MemoryLimit cgroup = system.probe().limit[kLimitCgroup];
    ASSERT_TRUE(cgroup.applies);
    EXPECT_EQ(cgroup.room, 100000000);
    EXPECT_STREQ(cgroup.where, "/docker/abc");

    // A cgroup outside what the mount shows cannot be read: no limit known.
    system.write("proc/self/cgroup", "0::/elsewhere\n");
    EXPECT_FALSE(system.probe().limit[kLimitCgroup].applies);
}

#else

TEST(MemoryProbe, LimitsAreUnknownOnThisSystemAndEveryRunFits) {
    const MemoryLimits limits = probeMemoryLimits();
    EXPECT_FALSE(limits.probed);
    MemoryNeed need;
    need.privateBytes = INT64_MAX;
    EXPECT_TRUE(checkMemory(need, limits).fits);
}

#endif

// Limits with the given rooms (-1: that limit does not apply).
MemoryLimits roomy(int64_t available, int64_t cgroup, int64_t data, int64_t addressSpace) {
    MemoryLimits limits;
    limits.probed = true;
    const int64_t rooms[kMemoryLimitKinds] = {available, cgroup, data, addressSpace};
    for (int k = 0; k < kMemoryLimitKinds; k++) {
        limits.limit[k].applies = rooms[k] >= 0;
        limits.limit[k].room = limits.limit[k].limit = rooms[k];
    }
    return limits;
}

TEST(MemoryCheck, EachPartOfTheNeedCountsAgainstItsLimits) {
    MemoryNeed need;
    need.privateBytes = 512 * kMiB;
    need.reservedBytes = 64 * kMiB;
    need.mappedBytes = 1536 * kMiB;
    MemoryVerdict verdict = checkMemory(need, roomy(kGiB, kGiB, kGiB, 4 * kGiB));
    EXPECT_TRUE(verdict.fits);
    EXPECT_EQ(verdict.binding, -1);
    // Page tables for every page touched, mapped ones included.
    EXPECT_EQ(verdict.needed[kLimitAvailable], 512 * kMiB + 4 * kMiB);
    EXPECT_EQ(verdict.needed[kLimitCgroup], 512 * kMiB + 4 * kMiB);
    EXPECT_EQ(verdict.needed[kLimitData], 576 * kMiB);
    EXPECT_EQ(verdict.needed[kLimitAddressSpace], 2112 * kMiB);

    // The mapped file counts against the address space only.
    EXPECT_TRUE(checkMemory(need, roomy(600 * kMiB, 600 * kMiB, 600 * kMiB, -1)).fits);
    verdict = checkMemory(need, roomy(-1, -1, -1, 2 * kGiB));
    EXPECT_FALSE(verdict.fits);
    EXPECT_EQ(verdict.binding, kLimitAddressSpace);
    // The stacks count against the resource limits, not the memory available.
    EXPECT_TRUE(checkMemory(need, roomy(520 * kMiB, 520 * kMiB, -1, -1)).fits);
    EXPECT_EQ(checkMemory(need, roomy(-1, -1, 520 * kMiB, -1)).binding, kLimitData);
    // Of several limits exceeded, the one short by the most binds.
    EXPECT_EQ(checkMemory(need, roomy(500 * kMiB, 100 * kMiB, 500 * kMiB, -1)).binding, kLimitCgroup);
    // Limits that cannot be known let every run go on.
    MemoryLimits unknown;
    EXPECT_TRUE(checkMemory(need, unknown).fits);
}

TEST(MemoryCheck, CallNeedCoversResultsMaskAndWorkersAndSaturates) {
    const MemoryNeed plain = denoiseCallNeed(40, 30, 20, 10, 2, false, false);
    const int64_t voxels = 40 * 30 * 20;
    EXPECT_EQ(plain.privateBytes, voxels * 10 * 8 + voxels * 16 + denoiseWorkingBytes(40, 30, 20, 10, 2));
    EXPECT_EQ(plain.mappedBytes, 0);
    EXPECT_EQ(plain.reservedBytes, 3 * threadStackBytes());
    const MemoryNeed both = denoiseCallNeed(40, 30, 20, 10, 2, true, true);
    EXPECT_EQ(both.privateBytes - plain.privateBytes, voxels * 9);
    // Extents past what can be addressed: a need that never fits, not one
    // that wrapped around to something small.
    const MemoryNeed huge = denoiseCallNeed(INT32_MAX, INT32_MAX, INT32_MAX, INT32_MAX, 4, true, true);
    EXPECT_EQ(huge.privateBytes, INT64_MAX);
    EXPECT_FALSE(checkMemory(huge, roomy(INT64_MAX - 1, -1, -1, -1)).fits);
}

// Sets (or, with null, removes) an environment variable.
void setVariable(const char* name, const char* value) {
#if defined(_WIN32)
    _putenv_s(name, value != nullptr ? value : "");
#else
    if (value != nullptr)
        ::setenv(name, value, 1);
    else
        ::unsetenv(name);
#endif
}

MemoryNeed needOfWorkers(int32_t workers, const void* context) {
    const int32_t* e = static_cast<const int32_t*>(context);
    return denoiseCallNeed(e[0], e[1], e[2], e[3], workers, false, false);
}

TEST(MemoryCheck, TheLargestWorkerCountThatFits) {
    const int32_t extents[4] = {30, 30, 60, 27};  // patches of side 3: up to 20 workers
    const int64_t three = checkMemory(needOfWorkers(3, extents), roomy(-1, -1, -1, -1)).needed[kLimitAvailable];
    const int64_t four = checkMemory(needOfWorkers(4, extents), roomy(-1, -1, -1, -1)).needed[kLimitAvailable];
    ASSERT_LT(three, four);
    EXPECT_EQ(workersThatFit(needOfWorkers, extents, 20, roomy(three, -1, -1, -1)), 3);
    EXPECT_EQ(workersThatFit(needOfWorkers, extents, 20, roomy(four, -1, -1, -1)), 4);
    EXPECT_EQ(workersThatFit(needOfWorkers, extents, 2, roomy(four, -1, -1, -1)), 2);
    EXPECT_EQ(workersThatFit(needOfWorkers, extents, 20, roomy(1 * kMiB, -1, -1, -1)), 0);
}

TEST(MemoryCheck, TheRefusalGivesBothFiguresAndTheOverrideIsRead) {
    MemoryNeed need;
    need.privateBytes = 3 * kGiB;
    MemoryLimits limits = roomy(-1, 2 * kGiB, -1, -1);
    std::snprintf(limits.limit[kLimitCgroup].where, sizeof limits.limit[kLimitCgroup].where, "/jobs/42");
    limits.limit[kLimitCgroup].limit = 3 * kGiB;
    limits.limit[kLimitCgroup].used = kGiB;
    char text[512];
    describeShortfall(need, limits, checkMemory(need, limits), text, sizeof text);
    EXPECT_EQ(std::string(text), "it needs 3.0 GiB, but its cgroup /jobs/42 leaves 2.0 GiB (limit 3.0 GiB, 1.0 GiB in use)");
    describeLimits(limits, text, sizeof text);
    EXPECT_EQ(std::string(text), "available memory unknown; cgroup /jobs/42: 2.0 GiB left of 3.0 GiB; RLIMIT_DATA: none; "
                                 "RLIMIT_AS: none");

    for (const char* value : {"1", "yes"}) {
        setVariable("TAMRIN_NO_MEMORY_CHECK", value);
        EXPECT_TRUE(memoryCheckDisabled()) << value;
    }
    for (const char* value : {"", "0"}) {
        setVariable("TAMRIN_NO_MEMORY_CHECK", value);
        EXPECT_FALSE(memoryCheckDisabled()) << value;
    }
    setVariable("TAMRIN_NO_MEMORY_CHECK", nullptr);
    EXPECT_FALSE(memoryCheckDisabled());
}

}  // namespace

// SPDX-License-Identifier: BSD-3-Clause
// The MEX gateway on the stand-in host: its results are the core's for every
// class of data and mask (single data gets them as singles), the core's
// messages are printed on the calling thread when the call ends, and no
// failure, the host's or the core's, leaves anything behind. Built twice:
// with the shipped gateway and with the test hooks (Tamrin_faults).
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gateway_test_support.h"
#include "support/alloc.h"

namespace {

using gateway_test::holds;
using gateway_test::shaped;
using mex_host::Call;

struct Arrays {
    std::vector<mxArray*> made;
    mxArray* operator()(mxArray* array) {
        made.push_back(array);
        return array;
    }
    ~Arrays() {
        for (mxArray* array : made) mex_host::destroy(array);
    }
};

std::vector<mwSize> dimsOf(const tamrin_test::Series& s, bool maps) {
    if (maps) return {static_cast<mwSize>(s.X), static_cast<mwSize>(s.Y), static_cast<mwSize>(s.Z)};
    return {static_cast<mwSize>(s.X), static_cast<mwSize>(s.Y), static_cast<mwSize>(s.Z), static_cast<mwSize>(s.N)};
}

// The call's first `count` results are the reference's, in the class that
// data of class `type` gets.
void expectResults(const Call& call, const gateway_test::Reference& want, const tamrin_test::Series& s, int count,
                   mxClassID type) {
    ASSERT_FALSE(call.failed) << call.id << ": " << call.message;
    const bool single = type == mxSINGLE_CLASS;
    EXPECT_TRUE(shaped(call.outputs[0], dimsOf(s, false)));
    EXPECT_TRUE(holds(call.outputs[0], want.denoised, single)) << "denoised series";
    if (count >= 2) {
        EXPECT_TRUE(shaped(call.outputs[1], dimsOf(s, true)));
        EXPECT_TRUE(holds(call.outputs[1], want.noise, single)) << "noise map";
    }
    if (count >= 3) {
        EXPECT_TRUE(shaped(call.outputs[2], dimsOf(s, true)));
        EXPECT_TRUE(holds(call.outputs[2], want.rank, single)) << "rank map";
    }
    EXPECT_EQ(call.printed, want.printed);
    EXPECT_FALSE(call.printedOffThread);
    EXPECT_EQ(call.reclaimedArrays + call.reclaimedBlocks, 0) << "the call left arrays or blocks to the host";
}

TEST(GatewayResults, EveryClassGivesTheCoresResultsForItsValues) {
    const tamrin_test::Series whole = gateway_test::wholeSeries(12, 10, 9, 10, 11);  // s = 3
    Arrays a;
    for (mxClassID type : gateway_test::numericClasses()) {
        const tamrin_test::Series s = gateway_test::heldBy(whole, type);
        mxArray* data = a(gateway_test::seriesArray(s, type));
        for (int32_t workers : {1, 3}) {
            SCOPED_TRACE(testing::Message() << gateway_test::className(type) << ", " << workers << " workers");
            const gateway_test::Reference want = gateway_test::coreResults(s, workers);
            ASSERT_EQ(want.status, tamrin::kDenoiseOk);
            const long long coreBefore = tamrin::coreBlocksLive(), hostBefore = mex_host::liveBlocks();
            for (int count = 1; count <= 3; count++)
                expectResults(mex_host::call(count, {data, a(mex_host::scalar(workers))}), want, s, count, type);
            EXPECT_EQ(tamrin::coreBlocksLive(), coreBefore);
            EXPECT_EQ(mex_host::liveBlocks(), hostBefore);
        }
    }
}

TEST(GatewayResults, MaskOfEveryClassActsAsItsNonZeroValues) {
    const tamrin_test::Series s = gateway_test::wholeSeries(12, 10, 9, 8, 12);  // s = 2
    const std::size_t voxels = static_cast<std::size_t>(s.voxels());
    std::vector<uint8_t> bytes(voxels);
    std::vector<double> values(voxels);
    for (std::size_t k = 0; k < voxels; k++) {
        const std::size_t x = k % 12, y = k / 12 % 10;
        bytes[k] = x + y < 11;
        values[k] = bytes[k] ? (k % 3 == 0 ? -2.0 : 5.0) : 0.0;  // any non-zero value is inside
    }
    const gateway_test::Reference want = gateway_test::coreResults(s, 3, bytes);
    ASSERT_EQ(want.status, tamrin::kDenoiseOk);
    const gateway_test::Reference unmasked = gateway_test::coreResults(s, 3);
    Arrays a;
    mxArray* three = a(mex_host::scalar(3.0));
    for (mxClassID type : {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT16_CLASS}) {
        mxArray* data = a(gateway_test::seriesArray(s, type));
        for (mxClassID maskType : gateway_test::numericClasses()) {
            SCOPED_TRACE(testing::Message() << gateway_test::className(type) << " data, "
                                            << gateway_test::className(maskType) << " mask");
            const bool unsignedMask = std::string(gateway_test::className(maskType))[0] == 'u';
            std::vector<double> held = values;
            if (unsignedMask)
                for (double& v : held) v = std::fabs(v);
            mxArray* mask = a(mex_host::filled(maskType, dimsOf(s, true), held));
            expectResults(mex_host::call(3, {data, three, mask}), want, s, 3, type);
        }
        std::vector<double> asLogical(bytes.begin(), bytes.end());
        expectResults(mex_host::call(3, {data, three, a(mex_host::filled(mxLOGICAL_CLASS, dimsOf(s, true), asLogical))}),
                      want, s, 3, type);
        // [] of any numeric or logical class is no mask.
        for (mxClassID none : {mxDOUBLE_CLASS, mxLOGICAL_CLASS, mxUINT8_CLASS})
            expectResults(mex_host::call(3, {data, three, a(mex_host::create(none, {0, 0}))}), unmasked, s, 3, type);
    }
}

// 'Slabs', K gives the results of K workers, one thread per slab, whatever
// the worker count (the threads), for every class, with a mask and the rank
// map; the messages are those of that call too.
TEST(GatewayResults, SlabsGiveTheResultsOfAsManyWorkersWhateverTheThreads) {
    const tamrin_test::Series whole = gateway_test::wholeSeries(12, 10, 9, 8, 13);  // s = 2: at most 6 slabs
    const std::size_t voxels = static_cast<std::size_t>(whole.voxels());
    std::vector<uint8_t> bytes(voxels);
    for (std::size_t k = 0; k < voxels; k++) bytes[k] = k % 12 + k / 12 % 10 < 13;
    Arrays a;
    mxArray* slabs = a(mex_host::text("Slabs"));
    mxArray* none = a(mex_host::create(mxDOUBLE_CLASS, {0, 0}));
    mxArray* mask = a(mex_host::filled(mxLOGICAL_CLASS, dimsOf(whole, true), std::vector<double>(bytes.begin(), bytes.end())));
    for (mxClassID type : {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT16_CLASS}) {
        const tamrin_test::Series s = gateway_test::heldBy(whole, type);
        mxArray* data = a(gateway_test::seriesArray(s, type));
        for (int32_t k : {1, 2, 7}) {
            const gateway_test::Reference want = gateway_test::coreResults(s, k);
            const gateway_test::Reference masked = gateway_test::coreResults(s, k, bytes);
            ASSERT_EQ(want.status, tamrin::kDenoiseOk);
            ASSERT_EQ(masked.status, tamrin::kDenoiseOk);
            for (int32_t threads : {1, 3}) {
                SCOPED_TRACE(testing::Message() << gateway_test::className(type) << ", " << k << " slabs, " << threads
                                                << " threads");
                mxArray* t = a(mex_host::scalar(threads));
                mxArray* count = a(mex_host::scalar(k));
                expectResults(mex_host::call(3, {data, t, none, slabs, count}), want, s, 3, type);
                expectResults(mex_host::call(3, {data, t, mask, slabs, count}), masked, s, 3, type);
            }
        }
    }
}

// A NaN makes every decomposition of the patches over it fail to converge:
// their messages are printed, as the core logged them, when the call ends,
// from the calling thread.
TEST(GatewayMessages, PrintedInOrderOnTheCallingThreadWhenTheCallEnds) {
    tamrin_test::Series s = gateway_test::wholeSeries(10, 10, 10, 5, 13);  // s = 2
    s.data[4 + 10 * (5 + 10 * 3) + 1000 * 1] = std::numeric_limits<double>::quiet_NaN();
    Arrays a;
    for (mxClassID type : {mxDOUBLE_CLASS, mxSINGLE_CLASS}) {
        mxArray* data = a(gateway_test::seriesArray(s, type));
        for (int32_t workers : {1, 4}) {
            SCOPED_TRACE(testing::Message() << gateway_test::className(type) << ", " << workers << " workers");
            const gateway_test::Reference want = gateway_test::coreResults(s, workers);
            ASSERT_GE(want.printed.size(), 8 * std::string("no convergence in 30 svdcmp iterations\n").size());
            const Call call = mex_host::call(2, {data, a(mex_host::scalar(workers))});
            expectResults(call, want, s, 2, type);
            EXPECT_TRUE(std::isnan(gateway_test::valueAt(call.outputs[1], 4 + 10 * (5 + 10 * 3))));
            EXPECT_FALSE(std::isnan(gateway_test::valueAt(call.outputs[1], 6 + 10 * (5 + 10 * 5))));
        }
    }
}

// Each host allocation of a call failing in turn raises the host's error
// out of the gateway; the core's blocks are all released by then (the
// gateway obtains them only after the host's, and releases them before
// making the single result), and the host reclaims its own.
TEST(GatewayHostFailure, EachHostAllocationFailingLeavesNoBlockOfTheCore) {
    const tamrin_test::Series s = gateway_test::wholeSeries(9, 8, 7, 6, 14);
    Arrays a;
    mxArray* two = a(mex_host::scalar(2.0));
    mxArray* mask = a(mex_host::filled(mxLOGICAL_CLASS, dimsOf(s, true), std::vector<double>(9 * 8 * 7, 1.0)));
    for (mxClassID type : {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxUINT8_CLASS}) {
        mxArray* data = a(gateway_test::seriesArray(gateway_test::heldBy(s, type), type));
        for (int count = 1; count <= 3; count++) {
            SCOPED_TRACE(testing::Message() << gateway_test::className(type) << ", " << count << " outputs");
            const std::vector<const mxArray*> inputs = {data, two, mask};
            const long long before = mex_host::hostAllocations();
            { const Call clean = mex_host::call(count, inputs); ASSERT_FALSE(clean.failed); }
            const long long made = mex_host::hostAllocations() - before;
            EXPECT_EQ(made, count + (type == mxSINGLE_CLASS ? 2 : 0));  // the block of doubles and its shrinking
            const long long coreBefore = tamrin::coreBlocksLive();
            const long long arraysBefore = mex_host::liveArrays(), blocksBefore = mex_host::liveBlocks();
            for (long long k = 1; k <= made; k++) {
                mex_host::failHostAllocation(k);
                const Call call = mex_host::call(count, inputs);
                EXPECT_TRUE(call.failed) << "host allocation " << k;
                EXPECT_EQ(call.id, "MATLAB:nomem");
                EXPECT_EQ(tamrin::coreBlocksLive(), coreBefore) << "host allocation " << k;
            }
            mex_host::failHostAllocation(0);
            EXPECT_EQ(mex_host::liveArrays(), arraysBefore);
            EXPECT_EQ(mex_host::liveBlocks(), blocksBefore);
        }
    }
}

#ifdef TAMRIN_TEST_HOOKS
// Every allocation of the gateway and the core, and every thread start, is
// made to fail in turn: the call either returns the unfaulted results (or
// those of one worker, where the driver fell back to one) or raises
// Tamrin:outOfMemory or Tamrin:failed, and leaves nothing behind.
TEST(GatewayFaults, EveryAllocationAndThreadStartFailingEndsWholeOrReported) {
    tamrin_test::Series s = gateway_test::wholeSeries(8, 6, 5, 5, 15);
    s.data[3 + 8 * (2 + 6 * 2) + 240] = std::numeric_limits<double>::quiet_NaN();  // messages to log
    Arrays a;
    mxArray* three = a(mex_host::scalar(3.0));
    mxArray* none = a(mex_host::create(mxDOUBLE_CLASS, {0, 0}));
    const gateway_test::Reference want = gateway_test::coreResults(s, 3), one = gateway_test::coreResults(s, 1);
    for (mxClassID type : {mxDOUBLE_CLASS, mxSINGLE_CLASS}) {
        const bool single = type == mxSINGLE_CLASS;
        mxArray* data = a(gateway_test::seriesArray(s, type));
        auto armed = [&](double allocation, double thread) {
            return mex_host::call(4, {data, three, none,
                                      a(mex_host::filled(mxDOUBLE_CLASS, {1, 2}, std::vector<double>{allocation, thread}))});
        };
        const Call counted = armed(1e12, 1e6);
        expectResults(counted, want, s, 3, type);
        const double* left = mex_host::valuesOf<double>(counted.outputs[3]);
        const long long allocations = static_cast<long long>(1e12 - left[0]), starts = static_cast<long long>(1e6 - left[1]);
        EXPECT_EQ(starts, 3);
        EXPECT_GT(allocations, 10);
        const long long coreBefore = tamrin::coreBlocksLive();
        int reported = 0, completed = 0;
        for (long long k = 1; k <= allocations; k++) {
            SCOPED_TRACE(testing::Message() << gateway_test::className(type) << ", allocation " << k);
            const Call call = armed(static_cast<double>(k), 0);
            EXPECT_EQ(tamrin::coreBlocksLive(), coreBefore);
            EXPECT_EQ(call.reclaimedArrays + call.reclaimedBlocks, 0);
            if (call.failed) {
                reported++;
                EXPECT_TRUE(call.id == "Tamrin:outOfMemory" || call.id == "Tamrin:failed") << call.id;
                EXPECT_NE(call.message.find("denoising failed"), std::string::npos) << call.message;
                continue;
            }
            completed++;
            const bool same = holds(call.outputs[0], want.denoised, single) && holds(call.outputs[1], want.noise, single);
            const bool asOne = holds(call.outputs[0], one.denoised, single) && holds(call.outputs[1], one.noise, single);
            EXPECT_TRUE(same || asOne) << "completed with other results";
            EXPECT_FALSE(call.printedOffThread);
        }
        EXPECT_GT(reported, 0);
        EXPECT_GT(completed, 0);
        for (long long t = 1; t <= starts; t++) {
            const Call call = armed(0, static_cast<double>(t));
            expectResults(call, want, s, 3, type);
            EXPECT_EQ(mex_host::valuesOf<double>(call.outputs[3])[1], 0.0) << "thread start " << t << " never made";
        }
        const Call disarmed = mex_host::call(4, {data, three});
        EXPECT_EQ(mex_host::valuesOf<double>(disarmed.outputs[3])[0], 0.0);
        EXPECT_EQ(mex_host::valuesOf<double>(disarmed.outputs[3])[1], 0.0);
    }
}
#endif

}  // namespace

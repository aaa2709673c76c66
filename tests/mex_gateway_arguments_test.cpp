// SPDX-License-Identifier: BSD-3-Clause
// The MEX gateway on the stand-in host: every invalid call raises its own
// identifier with a message saying what is expected, before anything is
// obtained, and leaves nothing behind. Built twice: with the shipped gateway
// and with the test hooks (TAMRIN_TEST_HOOKS, the module Tamrin_faults).
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "gateway_test_support.h"
#include "support/alloc.h"

namespace {

using mex_host::Call;

// Owns the arrays a test makes.
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

// The call must fail with `id` and a message containing `fragment`, print
// nothing, and leave nothing: no array or block for the host to reclaim, no
// block of the core's.
void expectError(int nlhs, const std::vector<const mxArray*>& inputs, const char* id, const std::string& fragment) {
    const long long coreBefore = tamrin::coreBlocksLive();
    const Call call = mex_host::call(nlhs, inputs);
    EXPECT_TRUE(call.failed) << "no error (expected " << id << ")";
    EXPECT_EQ(call.id, id) << call.message;
    EXPECT_NE(call.message.find(fragment), std::string::npos) << "\"" << call.message << "\" lacks \"" << fragment << "\"";
    EXPECT_EQ(call.printed, "");
    EXPECT_EQ(call.reclaimedArrays + call.reclaimedBlocks, 0);
    EXPECT_EQ(tamrin::coreBlocksLive(), coreBefore);
}

#ifdef TAMRIN_TEST_HOOKS
const int kMostOutputs = 4;
#else
const int kMostOutputs = 3;
#endif

TEST(GatewayArguments, CountsOfInputsAndOutputs) {
    Arrays a;
    const tamrin_test::Series s = gateway_test::wholeSeries(8, 8, 6, 4, 1);
    mxArray* data = a(gateway_test::seriesArray(s, mxDOUBLE_CLASS));
    mxArray* one = a(mex_host::scalar(1.0));
    mxArray* none = a(mex_host::create(mxDOUBLE_CLASS, {0, 0}));
#ifdef TAMRIN_TEST_HOOKS
    const char* counts = "expected 2 to 4 inputs, Tamrin_faults(data, workers, mask, [allocation thread]), then "
                         "options as name-value pairs ('Slabs', K)";
    mxArray* countdowns = a(mex_host::filled(mxDOUBLE_CLASS, {1, 2}, std::vector<double>{0, 0}));
#else
    const char* counts = "expected 2 or 3 inputs, Tamrin(data, workers) or Tamrin(data, workers, mask), then "
                         "options as name-value pairs (Tamrin(data, workers, mask, 'Slabs', K))";
#endif
    expectError(1, {}, "Tamrin:nargin", counts);
    expectError(1, {data}, "Tamrin:nargin", "but got 1");
    // An option's name without its value, whatever follows the mask.
    mxArray* slabs = a(mex_host::text("Slabs"));
    expectError(1, {data, one, none, slabs}, "Tamrin:nargin", "but got 4");
    expectError(1, {data, one, none, slabs, one, slabs}, "Tamrin:nargin", "but got 6");
#ifdef TAMRIN_TEST_HOOKS
    expectError(1, {data, one, none, countdowns, slabs}, "Tamrin:nargin", "but got 5");
    expectError(1, {data, one, none, countdowns, none}, "Tamrin:nargin", "but got 5");
#else
    expectError(1, {data, one, none, none, none}, "Tamrin:option", "input 4 must be the name of an option");
    // (In Tamrin_faults the fourth input would be the countdowns.)
    expectError(1, {data, one, slabs, one}, "Tamrin:nargin",
                "but got 4 (the mask comes before the options: [] for none)");
#endif
    expectError(kMostOutputs + 1, {data, one}, "Tamrin:nargout",
                "but " + std::to_string(kMostOutputs + 1) + " were requested");
#ifndef TAMRIN_TEST_HOOKS
    // The shipped module has no countdown argument.
    mxArray* countdowns = a(mex_host::filled(mxDOUBLE_CLASS, {1, 2}, std::vector<double>{1, 0}));
    expectError(1, {data, one, none, countdowns}, "Tamrin:nargin", "but got 4");
#endif
}

TEST(GatewayArguments, DataOfAnotherKindIsRefusedWithWhatIsAccepted) {
    Arrays a;
    mxArray* one = a(mex_host::scalar(1.0));
    const std::vector<mwSize> dims = {4, 4, 4, 3};
    const std::string accepted =
        "data must be a real, full (not sparse) array of class double, single, int8, uint8, int16, uint16, int32, "
        "uint32, int64 or uint64; got a ";
    const struct {
        mxArray* data;
        const char* got;
    } refused[] = {
        {a(mex_host::create(mxLOGICAL_CLASS, dims)), "logical array"},
        {a(mex_host::create(mxCHAR_CLASS, {1, 4})), "char array"},
        {a(mex_host::create(mxCELL_CLASS, {1, 1})), "cell array"},
        {a(mex_host::create(mxSTRUCT_CLASS, {1, 1})), "struct array"},
        {a(mex_host::create(mxFUNCTION_CLASS, {1, 1})), "function_handle array"},
        {a(mex_host::create(mxDOUBLE_CLASS, dims, true)), "complex double array"},
        {a(mex_host::create(mxSINGLE_CLASS, dims, true)), "complex single array"},
        {a(mex_host::create(mxINT16_CLASS, dims, true)), "complex int16 array"},
        {a(mex_host::create(mxDOUBLE_CLASS, {4, 4}, false, true)), "sparse double array"},
        {a(mex_host::create(mxLOGICAL_CLASS, {4, 4}, false, true)), "sparse logical array"},
    };
    for (const auto& r : refused) expectError(1, {r.data, one}, "Tamrin:dataType", accepted + r.got);
}

TEST(GatewayArguments, DataShapes) {
    Arrays a;
    mxArray* one = a(mex_host::scalar(1.0));
    const mwSize big = mwSize{1} << 31, largest = big - 1;
    const struct {
        std::vector<mwSize> dims;
        const char* id;
        const char* fragment;
    } shapes[] = {
        {{5, 5, 5}, "Tamrin:dataDims", "got 3 dimensions (a single volume: at least 2 volumes are needed)"},
        {{4, 4, 4, 1}, "Tamrin:dataDims", "at least 2 volumes are needed"},  // the host drops the 1
        {{5, 5}, "Tamrin:dataDims", "got 2 dimensions"},
        {{0, 0}, "Tamrin:dataDims", "got 2 dimensions"},
        {{3, 3, 3, 2, 2}, "Tamrin:dataDims", "got 5 dimensions"},
        {{0, 3, 3, 2}, "Tamrin:dataDims", "must not be empty: the extents X, Y and Z must be at least 1; extent 1 is 0"},
        {{3, 3, 0, 2}, "Tamrin:dataDims", "extent 3 is 0"},
        {{3, 3, 3, 0}, "Tamrin:volumes", "N is 0"},
        {{big, 0, 1, 2}, "Tamrin:dataDims", "each extent of data must be at most 2147483647; extent 1 is 2147483648"},
        {{0, 2, 2, big}, "Tamrin:dataDims", "extent 4 is 2147483648"},
        {{largest, largest, largest, 2}, "Tamrin:dataDims", "data holds more values than can be addressed"},
    };
    for (const auto& shape : shapes)
        for (mxClassID type : {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxUINT16_CLASS})
            expectError(1, {a(mex_host::shapeOnly(type, shape.dims)), one}, shape.id, shape.fragment);
}

TEST(GatewayArguments, WorkerCounts) {
    Arrays a;
    const tamrin_test::Series s = gateway_test::wholeSeries(8, 8, 6, 4, 2);
    mxArray* data = a(gateway_test::seriesArray(s, mxDOUBLE_CLASS));
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (double bad : {nan, inf, -inf, 0.0, 0.999, -1.0})
        expectError(1, {data, a(mex_host::scalar(bad))}, "Tamrin:workers",
                    "workers must be a finite number of at least 1");
    const mxArray* wrongKind[] = {
        a(mex_host::filled(mxDOUBLE_CLASS, {1, 2}, std::vector<double>{1, 2})),
        a(mex_host::create(mxDOUBLE_CLASS, {0, 0})),
        a(mex_host::create(mxCHAR_CLASS, {1, 1})),
        a(mex_host::create(mxLOGICAL_CLASS, {1, 1})),
        a(mex_host::create(mxCELL_CLASS, {1, 1})),
        a(mex_host::create(mxDOUBLE_CLASS, {1, 1}, true)),
    };
    for (const mxArray* workers : wrongKind)
        expectError(1, {data, workers}, "Tamrin:workers", "workers must be a real numeric scalar");
    expectError(1, {data, a(mex_host::filled(mxINT8_CLASS, {1, 1}, std::vector<double>{-1}))}, "Tamrin:workers",
                "got -1");
    // A bad count is found before anything runs, whatever the data.
    expectError(1, {a(mex_host::create(mxSINGLE_CLASS, {2, 2, 2, 2})), a(mex_host::scalar(nan))}, "Tamrin:workers",
                "got nan");
}

// 'Slabs', K after the mask (or []): a whole number of at least 1. Every
// refusal says which input and what is expected.
TEST(GatewayArguments, SlabsOptionAfterTheMask) {
    Arrays a;
    const tamrin_test::Series s = gateway_test::wholeSeries(8, 8, 6, 4, 5);
    mxArray* data = a(gateway_test::seriesArray(s, mxDOUBLE_CLASS));
    mxArray* one = a(mex_host::scalar(1.0));
    mxArray* none = a(mex_host::create(mxDOUBLE_CLASS, {0, 0}));
    mxArray* name = a(mex_host::text("Slabs"));
    const double nan = std::numeric_limits<double>::quiet_NaN(), inf = std::numeric_limits<double>::infinity();
    for (double bad : {nan, inf, -inf, 0.0, 0.5, 1.5, -1.0, 2.25})
        expectError(1, {data, one, none, name, a(mex_host::scalar(bad))}, "Tamrin:slabs",
                    "Slabs must be a whole number of at least 1 (the number of slabs, which alone sets the results' "
                    "bits); got ");
    expectError(1, {data, one, none, name, a(mex_host::scalar(0.5))}, "Tamrin:slabs", "got 0.5");
    const struct {
        mxArray* value;
        const char* got;
    } wrongKind[] = {
        {a(mex_host::filled(mxDOUBLE_CLASS, {1, 2}, std::vector<double>{1, 2})), "got a double array with 2 elements"},
        {a(mex_host::create(mxDOUBLE_CLASS, {0, 0})), "got a double array with 0 elements"},
        {a(mex_host::text("2")), "got a char array with 1 elements"},
        {a(mex_host::create(mxLOGICAL_CLASS, {1, 1})), "got a logical array"},
        {a(mex_host::create(mxCELL_CLASS, {1, 1})), "got a cell array"},
        {a(mex_host::create(mxDOUBLE_CLASS, {1, 1}, true)), "got a complex double array"},
    };
    for (const auto& w : wrongKind)
        expectError(1, {data, one, none, name, w.value}, "Tamrin:slabs",
                    std::string("Slabs must be a real numeric scalar (the number of slabs, at least 1); ") + w.got);
    // The value is checked after the data, the workers and the mask.
    mxArray* zero = a(mex_host::scalar(0.0));
    expectError(1, {data, zero, none, name, zero}, "Tamrin:workers", "workers must be");
    expectError(1, {data, one, a(mex_host::create(mxLOGICAL_CLASS, {8, 8, 5})), name, zero}, "Tamrin:mask",
                "mask must be 8 x 8 x 6");
    // Names: text, any case, and only 'Slabs'.
    expectError(1, {data, one, none, a(mex_host::text("Slab")), one}, "Tamrin:option",
                "unknown option 'Slab' (input 4); the option is 'Slabs'");
    expectError(1, {data, one, none, a(mex_host::text("Workers")), one}, "Tamrin:option", "unknown option 'Workers'");
    expectError(1, {data, one, none, a(mex_host::text("SlabsSlabsSlabsSlabs")), one}, "Tamrin:option",
                "unknown option '(a longer name)' (input 4)");
    expectError(1, {data, one, none, name, one, a(mex_host::scalar(2.0)), one}, "Tamrin:option",
                "input 6 must be the name of an option ('Slabs'), after the mask; got a double array");
#ifndef TAMRIN_TEST_HOOKS
    // (In Tamrin_faults, a fourth input that is not a name is the countdowns.)
    expectError(1, {data, one, none, a(mex_host::create(mxCHAR_CLASS, {2, 3})), one}, "Tamrin:option",
                "input 4 must be the name of an option");
#endif
    for (const char* spelling : {"Slabs", "slabs", "SLABS", "sLaBs"}) {
        SCOPED_TRACE(spelling);
        const Call call = mex_host::call(1, {data, one, none, a(mex_host::text(spelling)), a(mex_host::scalar(2.0))});
        EXPECT_FALSE(call.failed) << call.id << ": " << call.message;
    }
    // Huge counts are lowered, like the workers, by what the series allows.
    const Call huge = mex_host::call(1, {data, one, none, name, a(mex_host::scalar(1e12))});
    EXPECT_FALSE(huge.failed) << huge.id << ": " << huge.message;
}

TEST(GatewayArguments, BadMasksSayWhatIsExpected) {
    Arrays a;
    const tamrin_test::Series s = gateway_test::wholeSeries(16, 14, 12, 4, 3);
    mxArray* one = a(mex_host::scalar(1.0));
    std::vector<double> withNan(16 * 14 * 12, 1.0);
    withNan[2 + 16 * 1] = std::numeric_limits<double>::quiet_NaN();  // (3, 2, 1)
    const struct {
        mxArray* mask;
        const char* fragment;
    } bad[] = {
        {a(mex_host::create(mxLOGICAL_CLASS, {16, 14, 11})), "mask must be 16 x 14 x 12, the grid of data (3-D); got 16 x 14 x 11"},
        {a(mex_host::create(mxLOGICAL_CLASS, {16, 14, 12, 2})), "got 16 x 14 x 12 x 2"},
        {a(mex_host::create(mxUINT8_CLASS, {16, 14})), "got 16 x 14"},
        {a(mex_host::create(mxDOUBLE_CLASS, {0, 3})), "got 0 x 3"},
        {a(mex_host::create(mxLOGICAL_CLASS, {16, 14, 12})), "holds no voxel inside (every value is 0)"},
        {a(mex_host::create(mxINT64_CLASS, {16, 14, 12})), "holds no voxel inside"},
        {a(mex_host::filled(mxDOUBLE_CLASS, {16, 14, 12}, withNan)), "holds NaN at (3, 2, 1)"},
        {a(mex_host::filled(mxSINGLE_CLASS, {16, 14, 12}, withNan)), "holds NaN at (3, 2, 1)"},
        {a(mex_host::create(mxDOUBLE_CLASS, {16, 14, 12}, true)), "got a complex double array"},
        {a(mex_host::create(mxDOUBLE_CLASS, {16, 14}, false, true)), "got a sparse double array"},
        {a(mex_host::create(mxCELL_CLASS, {1, 1})), "got a cell array"},
        {a(mex_host::create(mxCHAR_CLASS, {16, 14, 12})), "got a char array"},
        {a(mex_host::create(mxSTRUCT_CLASS, {1, 1})), "got a struct array"},
    };
    for (mxClassID type : {mxDOUBLE_CLASS, mxSINGLE_CLASS, mxINT16_CLASS}) {
        mxArray* data = a(gateway_test::seriesArray(s, type));
        for (const auto& b : bad) expectError(3, {data, one, b.mask}, "Tamrin:mask", b.fragment);
    }
}

#ifdef TAMRIN_TEST_HOOKS
TEST(GatewayArguments, CountdownArgument) {
    Arrays a;
    const tamrin_test::Series s = gateway_test::wholeSeries(8, 8, 6, 4, 4);
    mxArray* data = a(gateway_test::seriesArray(s, mxDOUBLE_CLASS));
    mxArray* one = a(mex_host::scalar(1.0));
    mxArray* none = a(mex_host::create(mxDOUBLE_CLASS, {0, 0}));
    expectError(1, {data, one, none, a(mex_host::filled(mxDOUBLE_CLASS, {1, 3}, std::vector<double>{1, 0, 0}))},
                "Tamrin:hooks", "the fourth input must be [allocation thread], two real doubles");
    expectError(1, {data, one, none, a(mex_host::filled(mxINT8_CLASS, {1, 2}, std::vector<double>{1, 0}))},
                "Tamrin:hooks", "two real doubles");
    expectError(1, {data, one, none, a(mex_host::filled(mxDOUBLE_CLASS, {1, 2}, std::vector<double>{1.5, 0}))},
                "Tamrin:hooks", "[allocation thread] must be whole numbers from 0 to 1e15");
    expectError(1, {data, one, none, a(mex_host::filled(mxDOUBLE_CLASS, {1, 2}, std::vector<double>{0, -1}))},
                "Tamrin:hooks", "whole numbers");
    // The countdowns come before the options; a valid call with both runs.
    mxArray* disarmed = a(mex_host::filled(mxDOUBLE_CLASS, {1, 2}, std::vector<double>{0, 0}));
    const Call call = mex_host::call(1, {data, one, none, disarmed, a(mex_host::text("Slabs")), one});
    EXPECT_FALSE(call.failed) << call.id << ": " << call.message;
    expectError(1, {data, one, none, disarmed, a(mex_host::text("Slabs")), a(mex_host::scalar(0))}, "Tamrin:slabs",
                "got 0");
    // Nothing was armed by the refused calls.
    EXPECT_EQ(tamrin::allocationFailurePending(), 0);
    EXPECT_EQ(tamrin::threadStartFailurePending(), 0);
}
#endif

}  // namespace

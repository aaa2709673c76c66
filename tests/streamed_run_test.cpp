// SPDX-License-Identifier: BSD-3-Clause
// Streamed runs: the results given plane by plane to a sink are, bit for
// bit, those of the run into whole arrays with the same slabs, for every
// partition axis, thread count, mask, rank map, non-finite input and
// treatment; planes arrive once each and in order; a sink that fails stops
// the run.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tamrin/denoise.h"
#include "test_support.h"

using namespace tamrin;
using tamrin_test::sameBits;
using tamrin_test::Series;

namespace {

struct Result {
    int32_t status = kDenoiseOk;
    std::vector<double> denoised, noise, rank;
    DenoiseReport found;
};

struct Options {
    int32_t threads = 1, slabs = 1;
    const std::vector<uint8_t>* mask = nullptr;
    bool rank = true;
    int32_t uncovered = kUncoveredNan;
    int32_t nonFinite = kNonFiniteKeep;
};

// What the sink saw: the planes in arrival order, the input planes read.
struct Collected {
    Result* into = nullptr;
    const Series* s = nullptr;
    std::vector<int32_t> order;
    std::vector<int32_t> inputRead;  // per z-plane: times reported read
    int32_t widestRead = 0;          // the most planes reported read at once
    int32_t failAt = -1;             // the plane whose delivery fails
};

bool takePlane(void* context, int32_t z, const double* denoised, int64_t stride, const double* noise,
               const double* rank) {
    Collected& c = *static_cast<Collected*>(context);
    c.order.push_back(z);
    if (z == c.failAt) return false;
    const Series& s = *c.s;
    const int64_t plane = int64_t{s.X} * s.Y, voxels = s.voxels();
    for (int64_t v = 0; v < s.N; v++)
        for (int64_t k = 0; k < plane; k++) c.into->denoised[v * voxels + z * plane + k] = denoised[v * stride + k];
    for (int64_t k = 0; k < plane; k++) {
        c.into->noise[z * plane + k] = noise[k];
        if (rank != nullptr) c.into->rank[z * plane + k] = rank[k];
    }
    return true;
}

void noteRead(void* context, int32_t z0, int32_t z1) {
    Collected& c = *static_cast<Collected*>(context);
    for (int32_t z = z0; z < z1; z++) c.inputRead[z]++;
    c.widestRead = std::max(c.widestRead, z1 - z0);
}

// The decomposition's messages (the thin slabs' patches give some) are kept
// out of the test's output.
MessageLog quiet;

DenoiseOptions optionsOf(const Options& o, DenoiseReport* found) {
    DenoiseOptions options;
    options.messages = &quiet;
    options.mask = o.mask != nullptr ? o.mask->data() : nullptr;
    options.slabs = o.slabs;
    options.uncovered = o.uncovered;
    options.nonFinite = o.nonFinite;
    options.report = found;
    return options;
}

Result whole(const Series& s, const Options& o) {
    Result r;
    r.denoised.assign(s.data.size(), -1.0);
    r.noise.assign(s.voxels(), -1.0);
    r.rank.assign(o.rank ? s.voxels() : 0, -1.0);
    std::vector<double> weight(s.voxels(), -1.0);
    DenoiseResults results = tamrin_test::resultsInto(r.denoised, r.noise, weight);
    results.rank = o.rank ? r.rank.data() : nullptr;
    const DenoiseOptions options = optionsOf(o, &r.found);
    r.status = denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), o.threads, results, options);
    return r;
}

Result streamed(const Series& s, const Options& o, Collected* c) {
    Result r;
    r.denoised.assign(s.data.size(), -2.0);
    r.noise.assign(s.voxels(), -2.0);
    r.rank.assign(o.rank ? s.voxels() : 0, -2.0);
    c->into = &r;
    c->s = &s;
    c->inputRead.assign(s.Z, 0);
    PlaneSink sink;
    sink.plane = takePlane;
    sink.inputRead = noteRead;
    sink.context = c;
    sink.rank = o.rank;
    DenoiseOptions options = optionsOf(o, &r.found);
    options.sink = &sink;
    r.status = denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), o.threads, DenoiseResults(), options);
    return r;
}

bool same(const Result& a, const Result& b) {
    return a.status == b.status && sameBits(a.denoised, b.denoised) && sameBits(a.noise, b.noise) &&
           sameBits(a.rank, b.rank) && a.found.brokenVoxels == b.found.brokenVoxels &&
           a.found.nonFiniteValues == b.found.nonFiniteValues && a.found.firstNonFinite == b.found.firstNonFinite;
}


// Every plane once, in order.
bool inOrder(const Collected& c, int32_t Z) {
    if (static_cast<int32_t>(c.order.size()) != Z) return false;
    for (int32_t z = 0; z < Z; z++)
        if (c.order[z] != z) return false;
    return true;
}

}  // namespace

TEST(StreamedRun, GivesTheBitsOfTheRunIntoArraysPlaneByPlane) {
    struct Case {
        const char* what;
        Series s;
        std::vector<int32_t> slabs;
    };
    Case cases[] = {
        // Partition axis x, an exact-zero background: bands of rows along z.
        {"axis x", tamrin_test::phantomSeries(27, 20, 14, 12, 10.0, 41), {1, 3}},
        // Partition axis y, the window much shorter than the series.
        {"axis y", tamrin_test::phantomSeries(12, 30, 26, 9, 10.0, 45, true), {2, 4}},
        // Partition axis z: the slabs are z-ranges, their bands whole.
        {"axis z", tamrin_test::phantomSeries(12, 11, 26, 9, 10.0, 42, true), {1, 2, 3}},
        // s = 6: three slabs thinner than s - 1 positions meet in one plane.
        {"thin slabs", tamrin_test::phantomSeries(18, 7, 6, 126, 10.0, 44, true), {3}},
    };
    // NaN and an infinity in the axis-y series, for the non-finite options.
    Series& withNaN = cases[1].s;
    withNaN.data[5 + 12 * (7 + 30 * 11)] = std::numeric_limits<double>::quiet_NaN();
    withNaN.data[withNaN.voxels() * 3 + 40] = std::numeric_limits<double>::infinity();
    for (const Case& c : cases) {
        const std::vector<uint8_t> mask = tamrin_test::blobMask(c.s, 4);
        for (int32_t slabs : c.slabs)
            for (int32_t threads : {1, 3})
                for (int variant = 0; variant < 4; variant++) {
                    Options o;
                    o.threads = threads;
                    o.slabs = slabs;
                    o.mask = variant == 1 ? &mask : nullptr;
                    o.rank = variant != 2;
                    o.uncovered = variant == 2 ? kUncoveredInput : variant == 3 ? kUncoveredZero : kUncoveredNan;
                    o.nonFinite = variant >= 2 ? kNonFiniteUncover : kNonFiniteKeep;
                    Collected collected;
                    const Result expected = whole(c.s, o), got = streamed(c.s, o, &collected);
                    ASSERT_EQ(expected.status, kDenoiseOk) << c.what;
                    EXPECT_TRUE(same(expected, got))
                        << c.what << ", " << slabs << " slabs, " << threads << " threads, variant " << variant;
                    EXPECT_TRUE(inOrder(collected, c.s.Z)) << c.what;
                    for (int32_t z = 0; z < c.s.Z; z++) EXPECT_GE(collected.inputRead[z], 1) << c.what << " z " << z;
                    // Each pass over the input (the non-finite scan, the
                    // occupancy marks, the denoising) lets it go a plane at
                    // a time, so that a mapped input is never resident whole.
                    EXPECT_EQ(collected.widestRead, 1) << c.what;
                }
    }
}

TEST(StreamedRun, ASeriesThinnerThanAPatchStreamsItsUncoveredPlanes) {
    const Series s = tamrin_test::phantomSeries(3, 9, 7, 30, 10.0, 46, true);  // s = 4 > X
    for (int32_t uncovered : {kUncoveredNan, kUncoveredInput}) {
        Options o;
        o.uncovered = uncovered;
        Collected collected;
        const Result expected = whole(s, o), got = streamed(s, o, &collected);
        EXPECT_TRUE(same(expected, got));
        EXPECT_TRUE(inOrder(collected, s.Z));
    }
}

TEST(StreamedRun, ASinkThatFailsStopsTheRun) {
    const Series s = tamrin_test::phantomSeries(12, 30, 26, 9, 10.0, 47, true);
    for (int32_t threads : {1, 3}) {
        Options o;
        o.threads = threads;
        o.slabs = 2;
        Collected collected;
        collected.failAt = 4;
        const Result got = streamed(s, o, &collected);
        EXPECT_EQ(got.status, kDenoiseSinkFailed);
        // Nothing after the refused plane was delivered.
        ASSERT_FALSE(collected.order.empty());
        EXPECT_EQ(collected.order.back(), 4);
        EXPECT_TRUE(std::string(denoiseStatusMessage(kDenoiseSinkFailed)).find("written") != std::string::npos);
    }
}

TEST(StreamedRun, ASinkWithoutItsPlaneFunctionIsRefused) {
    const Series s = tamrin_test::phantomSeries(12, 11, 10, 9, 10.0, 48, true);
    PlaneSink sink;
    DenoiseOptions options;
    options.sink = &sink;
    EXPECT_EQ(denoiseSeries(seriesView(s.data.data(), s.X, s.Y, s.Z, s.N), 1, DenoiseResults(), options),
              kDenoiseBadOptions);
}

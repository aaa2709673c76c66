// SPDX-License-Identifier: BSD-3-Clause
// A synthetic, brain-like diffusion series with known truth, for the demo,
// the benchmarks and the tests: smooth tissue regions of different contrasts
// inside an ellipsoidal head, exact zeros outside, and Gaussian noise of a
// known level added inside the head only.
#pragma once

#include <cstdint>
#include <vector>

namespace tamrin {

// Noise-free series of X*Y*Z*N values (x fastest, then y, z, volume). Volumes
// 0, 10, 20, ... are unweighted (b = 0); the others are diffusion-weighted
// (b = 1000 s/mm^2) along directions spread over a hemisphere. Voxels outside
// the head are exactly 0 in every volume.
void makePhantom(int32_t X, int32_t Y, int32_t Z, int32_t N, std::vector<double>* truth);

// truth plus N(0, sigma^2) noise from a generator seeded with `seed`, where
// truth is not 0; exact zeros stay zero. The same arguments give the same
// values on every run.
void addNoise(const std::vector<double>& truth, double sigma, uint64_t seed, std::vector<double>* noisy);

// What a magnitude image shows: |truth + n1 + i n2| with n1, n2 independent
// N(0, sigma^2), at every voxel, so the background holds Rayleigh-distributed
// noise instead of exact zeros. The same arguments give the same values.
void addMagnitudeNoise(const std::vector<double>& truth, double sigma, uint64_t seed, std::vector<double>* noisy);

}  // namespace tamrin

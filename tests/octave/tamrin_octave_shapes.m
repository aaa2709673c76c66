function tamrin_octave_shapes()
% Result shapes and classes, the requested number of results, the input left
% untouched, and NaN where no processed patch covers a voxel.
  data = tamrin_test_series(12, 10, 9, 5, 11);
  original = data + 0;  % a separate copy, to see whether the call wrote into data

  [denoised, noiseMap] = Tamrin(data, 2);
  assert(isequal(size(denoised), [12 10 9 5]));
  assert(isequal(size(noiseMap), [12 10 9]));
  assert(isa(denoised, 'double') && isreal(denoised) && ~issparse(denoised));
  assert(isa(noiseMap, 'double') && isreal(noiseMap) && ~issparse(noiseMap));
  assert(tamrin_same_bits(data, original), 'the call changed its input');
  covered = ~isnan(noiseMap);
  assert(any(covered(:)) && any(~covered(:)), 'expected covered object and uncovered background');
  for v = 1:5
    assert(isequal(isnan(denoised(:, :, :, v)), ~covered), 'NaN differs between the results in volume %d', v);
  end

  % One result, or none (then ans), gives the same denoised series.
  only = Tamrin(data, 2);
  assert(tamrin_same_bits(only, denoised));
  Tamrin(data, 2);
  assert(tamrin_same_bits(ans, denoised));

  % A series thinner than a patch (Z = 1 < s = 2): no patch at all, all NaN.
  % The noise map is 9 x 8 x 1, which the host shows as 9 x 8.
  [thinDenoised, thinNoise] = Tamrin(1 + rand(9, 8, 1, 3), 4);
  assert(isequal(size(thinDenoised), [9 8 1 3]));
  assert(isequal(size(thinNoise), [9 8]));
  assert(all(isnan(thinDenoised(:))) && all(isnan(thinNoise(:))));

  % All exact zeros: every patch is skipped.
  [zeroDenoised, zeroNoise] = Tamrin(zeros(6, 6, 6, 4), 1);
  assert(all(isnan(zeroDenoised(:))) && all(isnan(zeroNoise(:))));
end
% SPDX-License-Identifier: BSD-3-Clause

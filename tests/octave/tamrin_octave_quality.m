function tamrin_octave_quality()
% Denoising a synthetic series with a known truth (tamrin_phantom) reduces the
% error well below the noise, and the noise map recovers the noise level.
  [noisy, truth, inside, sigma] = tamrin_phantom();
  N = size(noisy, 4);
  [denoised, noiseMap] = Tamrin(noisy, 2);

  assert(~any(isnan(noiseMap(inside))), 'noise map NaN inside the object');
  corner = false(size(inside));
  corner(1:2, 1:2, 1:2) = true;
  assert(all(isnan(noiseMap(corner))), 'uncovered background should be NaN');

  % Voxels of the object with a finite result (see tamrin_octave_edge_patches
  % for those that are not).
  object = repmat(inside, [1 1 1 N]);
  finite = object & ~isnan(denoised);
  printf('object voxels with a NaN result: %d of %d\n', nnz(object & ~finite) / N, nnz(inside));
  assert(nnz(finite) >= 0.9 * nnz(object));
  rmseNoisy = sqrt(mean((noisy(finite) - truth(finite)).^2));
  rmseDenoised = sqrt(mean((denoised(finite) - truth(finite)).^2));
  printf('RMSE inside the object: noisy %.3f, denoised %.3f (ratio %.3f)\n', ...
         rmseNoisy, rmseDenoised, rmseDenoised / rmseNoisy);
  assert(rmseDenoised < 0.4 * rmseNoisy, 'denoising did not reduce the error enough');

  estimate = median(noiseMap(inside));
  printf('median noise map inside the object: %.3f (true %.3f)\n', estimate, sigma);
  assert(abs(estimate - sigma) <= 0.2 * sigma, 'noise level estimate off by more than 20%%');
end
% SPDX-License-Identifier: BSD-3-Clause

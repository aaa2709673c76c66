function tamrin_octave_edge_patches()
% Patches at the edge of an object with an exact-zero background hold only a
% few nonzero voxels; their matrices are nearly of rank one. Such a patch
% keeps no component and must add its per-volume means, and a voxel must be
% NaN in the denoised series exactly where it is NaN in the noise map.
  % One patch (4 x 4 x 4, N = 30) with a single nonzero voxel: the rebuilt
  % patch is the mean of each volume, v / 64.
  data = zeros(4, 4, 4, 30);
  data(1, 1, 1, :) = 1:30;
  [denoised, noiseMap] = Tamrin(data, 1);
  assert(all(isfinite(noiseMap(:))), 'noise map not finite');
  expected = repmat(reshape((1:30) / 64, 1, 1, 1, 30), [4 4 4 1]);
  assert(tamrin_same_bits(denoised, expected), 'single-voxel patch: %d NaN, not the volume means', ...
         nnz(isnan(denoised)));

  % The same at the edges of a masked object.
  [noisy, ~, inside] = tamrin_phantom();
  [denoised, noiseMap] = Tamrin(noisy, 2);
  for v = 1:size(noisy, 4)
    bad = isnan(denoised(:, :, :, v)) ~= isnan(noiseMap);
    assert(~any(bad(:)), 'volume %d: %d voxels NaN in one result only (%d inside the object)', ...
           v, nnz(bad), nnz(bad & inside));
  end
end
% SPDX-License-Identifier: BSD-3-Clause

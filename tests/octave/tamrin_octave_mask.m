function tamrin_octave_mask()
% Tamrin(data, workers, mask) and the rank map, the third result. Inside the
% mask every result has the bits of the call without it, outside all is NaN;
% the MEX function returns exactly the core's results, mask and rank map
% included; a logical or any numeric class works, [] means none; every bad
% mask raises Tamrin:mask saying what is expected; two arguments and two
% results behave as before.
  [zero, inside] = tamrin_test_series(16, 14, 12, 10, 41);  % s = 3
  randn('state', 42);
  everywhere = zero + abs(3 * randn(size(zero)));  % noise in the background too
  N = size(zero, 4);
  small = false(size(inside));
  small(5:9, 6:8, 4:7) = true;
  edges = false(size(inside));
  edges(1, :, :) = true;  % a face of the grid, and its far corner
  edges(end, end, end) = true;
  oneVoxel = false(size(inside));
  oneVoxel(8, 7, 6) = true;

  for series = {zero, everywhere}
    data = series{1};
    for workers = [1 3]
      [den, noise, rank] = Tamrin(data, workers);
      [refDen, refNoise, ~, refRank] = tamrin_reference(data, workers, []);
      assert(tamrin_same_bits(den, refDen) && tamrin_same_bits(noise, refNoise) && tamrin_same_bits(rank, refRank), ...
             'the unmasked call differs from the core, %d workers', workers);
      assert(isequal(isnan(rank), isnan(noise)), 'the rank map is NaN where the noise map is not');
      assert(all(rank(~isnan(rank)) >= 0 & rank(~isnan(rank)) <= N));
      [den2, noise2] = Tamrin(data, workers);
      assert(tamrin_same_bits(den2, den) && tamrin_same_bits(noise2, noise), 'the rank map changed the results');

      for m = {inside, small, edges, oneVoxel}
        mask = m{1};
        what = sprintf('%d workers, a mask of %d voxels', workers, nnz(mask));
        [mDen, mNoise, mRank] = Tamrin(data, workers, mask);
        [rDen, rNoise, ~, rRank] = tamrin_reference(data, workers, mask);
        assert(tamrin_same_bits(mDen, rDen) && tamrin_same_bits(mNoise, rNoise) && tamrin_same_bits(mRank, rRank), ...
               '%s: differs from the core', what);
        in4 = repmat(mask, [1 1 1 N]);
        assert(tamrin_same_bits(mDen(in4), den(in4)), '%s: denoised differs inside the mask', what);
        assert(tamrin_same_bits(mNoise(mask), noise(mask)), '%s: noise map differs inside the mask', what);
        assert(tamrin_same_bits(mRank(mask), rank(mask)), '%s: rank map differs inside the mask', what);
        assert(all(isnan(mDen(~in4))) && all(isnan(mNoise(~mask))) && all(isnan(mRank(~mask))), ...
               '%s: not NaN outside the mask', what);
      end
    end
  end

  % Any logical or numeric class; non-zero is inside, whatever its sign.
  [ref, refNoise, refRank] = Tamrin(everywhere, 2, small);
  for m = {double(small), 7 * uint8(small), single(small) / 4, -int16(small), uint64(small), int8(small)}
    [d, n, r] = Tamrin(everywhere, 2, m{1});
    assert(tamrin_same_bits(d, ref) && tamrin_same_bits(n, refNoise) && tamrin_same_bits(r, refRank), ...
           'a %s mask acts differently', class(m{1}));
  end
  % [] is no mask; so are the two-argument call and its two results.
  [d, n, r] = Tamrin(everywhere, 2, []);
  [d2, n2] = Tamrin(everywhere, 2);
  [d3, n3, r3] = Tamrin(everywhere, 2, logical([]));
  assert(tamrin_same_bits(d, d2) && tamrin_same_bits(n, n2) && tamrin_same_bits(d3, d2) && tamrin_same_bits(r, r3));
  % A grid of one plane: the host drops the third extent of the mask.
  flat = 1 + rand(8, 6, 1, 4);
  d = Tamrin(flat, 1, true(8, 6));
  assert(all(isnan(d(:))), 'a series thinner than a patch has no estimate');

  % Bad masks, each with its own explanation.
  withNan = double(small);
  withNan(3, 2, 1) = NaN;
  bad = {inside(:, :, 1:end - 1), 'must be 16 x 14 x 12, the grid of data (3-D); got 16 x 14 x 11';
         cat(4, inside, inside), 'got 16 x 14 x 12 x 2';
         inside(:, :, 1), 'got 16 x 14';
         zeros(0, 3), 'got 0 x 3';
         true, 'got 1 x 1';
         false(size(inside)), 'holds no voxel inside (every value is 0)';
         zeros(size(inside), 'uint8'), 'holds no voxel inside';
         withNan, 'holds NaN at (3, 2, 1)';
         complex(double(inside), 1), 'got a complex double array';
         sparse(double(inside(:, :, 1))), 'got a sparse double array';
         {inside}, 'got a cell array';
         repmat('a', size(inside)), 'got a char array';
         struct('mask', inside), 'got a struct array'};
  for k = 1:rows(bad)
    tamrin_expect_error(@() Tamrin(everywhere, 2, bad{k, 1}), 'Tamrin:mask', bad{k, 2});
  end
  % Octave carries on.
  [d, n, r] = Tamrin(everywhere, 2, small);
  assert(tamrin_same_bits(d, ref) && tamrin_same_bits(n, refNoise) && tamrin_same_bits(r, refRank));
end
% SPDX-License-Identifier: BSD-3-Clause

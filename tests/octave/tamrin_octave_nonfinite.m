function tamrin_octave_nonfinite()
% A NaN or an infinity in the data: every patch that holds it fails to
% converge and prints the documented message; exactly the voxels those
% patches cover (the bad voxel's patch reach, cut at the series' edges)
% become NaN, in every volume and in the noise map, and every other voxel
% keeps a finite result. The same for one and for several workers.
  randn('state', 17);
  clean = 100 + 3 * randn(9, 8, 7, 6);  % s = 2; no zero anywhere, so every voxel is covered
  s = 2;
  extents = size(clean);
  line = 'no convergence in 30 svdcmp iterations';

  % Bad voxels inside, on faces and in a corner, in various volumes.
  cases = {[5 4 4 2], NaN; [1 4 4 1], Inf; [9 8 7 6], -Inf; [5 1 7 3], NaN; [2 8 1 5], Inf};
  for c = 1:rows(cases)
    at = cases{c, 1};
    data = clean;
    data(at(1), at(2), at(3), at(4)) = cases{c, 2};

    % Patch starts (1-based) whose patch holds the bad voxel, per axis, and
    % the voxels those patches cover.
    expected = false(extents(1:3));
    first = max(1, at(1:3) - s + 1);
    last = min(at(1:3), extents(1:3) - s + 1);
    expected(first(1):last(1) + s - 1, first(2):last(2) + s - 1, first(3):last(3) + s - 1) = true;
    patches = prod(last - first + 1);

    for workers = [1 3]
      what = sprintf('%g at (%d, %d, %d, %d), %d workers', cases{c, 2}, at, workers);
      printed = evalc('[denoised, noiseMap] = Tamrin(data, workers);');
      lines = strsplit(printed, "\n");
      assert(isempty(lines{end}), '%s: output does not end with a newline', what);
      lines = lines(1:end - 1);
      assert(all(strcmp(lines, line)), '%s: unexpected output: %s', what, printed);
      assert(numel(lines) >= patches, '%s: %d messages for %d failing patches', what, numel(lines), patches);

      assert(isequal(isnan(noiseMap), expected), '%s: noise map NaN at %d voxels, expected %d', ...
             what, nnz(isnan(noiseMap)), nnz(expected));
      assert(all(isfinite(noiseMap(~expected))), '%s: noise map not finite outside the reach', what);
      for v = 1:extents(4)
        volume = denoised(:, :, :, v);
        assert(isequal(isnan(volume), expected), '%s: volume %d NaN at %d voxels, expected %d', ...
               what, v, nnz(isnan(volume)), nnz(expected));
        assert(all(isfinite(volume(~expected))), '%s: volume %d not finite outside the reach', what, v);
      end
    end
  end

  % Octave carries on: the clean series prints nothing and is finite.
  printed = evalc('[denoised, noiseMap] = Tamrin(clean, 3);');
  assert(isempty(printed), 'unexpected output: %s', printed);
  assert(all(isfinite(denoised(:))) && all(isfinite(noiseMap(:))));
end
% SPDX-License-Identifier: BSD-3-Clause

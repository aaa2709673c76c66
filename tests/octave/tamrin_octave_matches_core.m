function tamrin_octave_matches_core()
% The MEX function returns exactly what the core returns outside Octave, for
% one and for several workers, and converts the worker count as documented.
  data = tamrin_test_series(16, 14, 12, 10, 21);  % s = 3, at most 16 / 3 = 5 workers

  [den1, noise1] = Tamrin(data, 1);
  [refDen1, refNoise1, messages] = tamrin_reference(data, 1);
  assert(isempty(messages));
  assert(tamrin_same_bits(den1, refDen1), 'denoised differs from the core, 1 worker');
  assert(tamrin_same_bits(noise1, refNoise1), 'noise map differs from the core, 1 worker');
  assert(any(isnan(noise1(:))) && any(~isnan(noise1(:))));

  [den3, noise3] = Tamrin(data, 3);
  [refDen3, refNoise3] = tamrin_reference(data, 3);
  assert(tamrin_same_bits(den3, refDen3), 'denoised differs from the core, 3 workers');
  assert(tamrin_same_bits(noise3, refNoise3), 'noise map differs from the core, 3 workers');
  % Several workers add in another order: equal to rounding, same NaN.
  assert(isequal(isnan(den3), isnan(den1)) && isequal(isnan(noise3), isnan(noise1)));
  ok = ~isnan(den1);
  assert(max(abs(den3(ok) - den1(ok)) ./ max(1, abs(den1(ok)))) <= 1e-12);
  ok = ~isnan(noise1);
  assert(max(abs(noise3(ok) - noise1(ok)) ./ max(1, abs(noise1(ok)))) <= 1e-12);
  [again3, againNoise3] = Tamrin(data, 3);
  assert(tamrin_same_bits(again3, den3) && tamrin_same_bits(againNoise3, noise3), 'repeated call differs');

  % A fraction is truncated; other numeric classes are read as numbers.
  for workers = {3.9, 3.0000001, int32(3), uint8(3), single(3.9)}
    [den, noise] = Tamrin(data, workers{1});
    assert(tamrin_same_bits(den, den3) && tamrin_same_bits(noise, noise3), ...
           'workers = %s %g did not act as 3', class(workers{1}), double(workers{1}));
  end
  [den, noise] = Tamrin(data, 1.99);
  assert(tamrin_same_bits(den, den1) && tamrin_same_bits(noise, noise1), 'workers = 1.99 did not act as 1');

  % Counts above the limit (16 / 3 = 5 here) are lowered to it, however large.
  [refDen5, refNoise5] = tamrin_reference(data, 5);
  assert(~tamrin_same_bits(refDen5, refDen3), 'test data cannot tell 5 workers from 3');
  for workers = {6, 1e10, realmax, intmax('int64')}
    [den, noise] = Tamrin(data, workers{1});
    assert(tamrin_same_bits(den, refDen5) && tamrin_same_bits(noise, refNoise5), ...
           'workers = %g did not act as 5', double(workers{1}));
  end
end
% SPDX-License-Identifier: BSD-3-Clause

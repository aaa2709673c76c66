function tamrin_octave_messages()
% A NaN in the data makes decompositions fail to converge. Their messages
% reach Octave's output verbatim, the same text and number as the core prints
% outside Octave, for one and for several workers; the call completes and
% Octave carries on.
  randn('state', 41);
  data = 100 + 3 * randn(10, 10, 10, 5);  % s = 2: 8 patches contain any interior voxel
  clean = data;
  data(5, 6, 4, 2) = NaN;
  line = 'no convergence in 30 svdcmp iterations';

  for workers = [1 4]
    printed = evalc('[denoised, noiseMap] = Tamrin(data, workers);');
    [refDenoised, refNoise, refPrinted] = tamrin_reference(data, workers);
    lines = strsplit(printed, "\n");
    assert(isempty(lines{end}), 'output does not end with a newline');
    lines = lines(1:end - 1);
    assert(numel(lines) >= 8, 'expected a message for each of the 8 patches at the NaN, got %d lines', numel(lines));
    assert(all(strcmp(lines, line)), 'unexpected output: %s', printed);
    assert(strcmp(printed, refPrinted), 'output differs from the core''s (%d vs %d lines)', ...
           numel(lines), numel(strfind(refPrinted, "\n")));
    assert(tamrin_same_bits(denoised, refDenoised) && tamrin_same_bits(noiseMap, refNoise));
    assert(isnan(noiseMap(5, 6, 4)) && ~isnan(noiseMap(1, 1, 1)), 'NaN should stay near the bad voxel');
  end

  % Octave carries on: a clean series prints nothing and gives the core's result.
  printed = evalc('[denoised, noiseMap] = Tamrin(clean, 2);');
  assert(isempty(printed), 'unexpected output for clean data: %s', printed);
  [refDenoised, refNoise] = tamrin_reference(clean, 2);
  assert(tamrin_same_bits(denoised, refDenoised) && tamrin_same_bits(noiseMap, refNoise));
end
% SPDX-License-Identifier: BSD-3-Clause

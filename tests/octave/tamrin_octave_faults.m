function tamrin_octave_faults()
% Every allocation of a call (the gateway's weights and scratch noise map,
% its message queue, the driver's records, handles and bands, the workers'
% scratch, the decompositions' store) and every thread start is made to fail
% in turn through the test-only module Tamrin_faults. Each call must either
% return exactly the unfaulted result (or the one-worker result where the
% driver fell back to one worker) or raise Tamrin:outOfMemory or
% Tamrin:failed, and Octave carries on.
  folder = getenv('TAMRIN_FAULTS_DIR');
  assert(~isempty(folder), 'TAMRIN_FAULTS_DIR is not set');
  addpath(folder);

  % s = 2; a NaN makes 8 patches fail to converge (messages, plain path), a
  % block near the underflow limit needs the scaled second attempt.
  [data, inside] = tamrin_test_series(8, 6, 5, 5, 71);
  data(~inside) = 0;
  data(4, 3, 3, 2) = NaN;
  data(6:7, 4:5, 3:4, :) = 1e-300 * (1 + rand(2, 2, 2, 5));
  evalc('[oneDenoised, oneNoise] = Tamrin(data, 1);');
  noConvergence = 'no convergence in 30 svdcmp iterations';

  for workers = [1 3]
    for outputs = [2 1]
      refPrinted = evalc('[refDenoised, refNoise] = Tamrin(data, workers);');
      assert(~isempty(refPrinted), 'the NaN should print');

      % Count the call's allocations and thread starts, and check that the
      % hooks change nothing when nothing fails.
      % With one output the gateway also obtains a scratch noise map (the
      % count comes from a call with the fourth result, which has a map and
      % a rank map; the rank map's bands are not made with one output).
      evalc('[d, n, ~, left] = Tamrin_faults(data, workers, [], [1e12 1e6]);');
      assert(tamrin_same_bits(d, refDenoised) && tamrin_same_bits(n, refNoise), 'Tamrin_faults differs from Tamrin');
      allocations = 1e12 - left(1) + (outputs == 1);
      starts = 1e6 - left(2);
      assert(starts == (workers > 1) * workers, '%d thread starts for %d workers', starts, workers);
      assert(allocations > 2 * workers + 8, 'only %d allocations counted', allocations);
      % The gateway's weights (and the scratch noise map) come first, then
      % the driver's records and handles.
      fallback = 1 + (outputs == 1) + [1 2];

      completed = 0;
      reported = 0;
      for a = 1:allocations
        what = sprintf('%d workers, %d outputs, allocation %d of %d', workers, outputs, a, allocations);
        [ok, d, n, left, printed, err] = faultedCall(data, workers, outputs, [a 0]);
        if ok
          completed = completed + 1;
          assert(outputs == 1 || left(1) == 0, '%s was never made', what);
          same = tamrin_same_bits(d, refDenoised) && (outputs == 1 || tamrin_same_bits(n, refNoise));
          asOne = workers > 1 && any(a == fallback) && tamrin_same_bits(d, oneDenoised) && ...
                  (outputs == 1 || tamrin_same_bits(n, oneNoise));
          assert(same || asOne, '%s: success with a different result', what);
          lines = strsplit(printed, "\n");
          lost = regexp(printed, 'Tamrin: \d+ further messages were lost for want of memory', 'once');
          assert(strcmp(printed, refPrinted) || ~isempty(lost), '%s: unexpected output: %s', what, printed);
          lines = lines(1:end - 1);
          known = strcmp(lines, noConvergence) | ~cellfun(@isempty, regexp(lines, '^Tamrin: \d+ further'));
          assert(all(known), '%s: unexpected output: %s', what, printed);
        else
          reported = reported + 1;
          assert(any(strcmp(err.identifier, {'Tamrin:outOfMemory', 'Tamrin:failed'})), '%s: %s: %s', ...
                 what, err.identifier, err.message);
          assert(~isempty(strfind(err.message, 'denoising failed')), '%s: %s', what, err.message);
        end
      end
      assert(reported > 0, 'no allocation failure was reported');
      if workers > 1
        assert(completed > 0, 'no allocation failure was absorbed');
      end

      for t = 1:starts
        [ok, d, n, left] = faultedCall(data, workers, outputs, [0 t]);
        assert(ok, 'thread start %d raised an error', t);
        assert(outputs == 1 || left(2) == 0, 'thread start %d was never made', t);
        assert(tamrin_same_bits(d, refDenoised) && (outputs == 1 || tamrin_same_bits(n, refNoise)), ...
               'thread start %d: a different result', t);
      end
    end
  end

  % Octave carries on, and the countdowns are disarmed after every call.
  evalc('[d, n, ~, left] = Tamrin_faults(data, 3);');
  assert(isequal(left, [0 0]));
  evalc('[refDenoised, refNoise] = Tamrin(data, 3);');
  assert(tamrin_same_bits(d, refDenoised) && tamrin_same_bits(n, refNoise));
  tamrin_expect_error(@() Tamrin_faults(data, 3, [], [-1 0]), 'Tamrin:hooks', 'whole numbers');
  tamrin_expect_error(@() Tamrin_faults(data, 3, [], 1), 'Tamrin:hooks', 'two real doubles');

  % With a mask its bytes are the call's first block, then the weights:
  % either failing raises, and the next call is whole.
  evalc('[maskedRef, maskedNoise, maskedRank] = Tamrin(data, 3, inside);');
  for a = 1:2
    tamrin_expect_error(@() Tamrin_faults(data, 3, inside, [a 0]), 'Tamrin:outOfMemory', 'denoising failed');
  end
  evalc('[d, n, r, left] = Tamrin_faults(data, 3, inside, [1e12 0]);');
  assert(tamrin_same_bits(d, maskedRef) && tamrin_same_bits(n, maskedNoise) && tamrin_same_bits(r, maskedRank));
  assert(left(1) < 1e12 - 2, 'the masked call made %d allocations', 1e12 - left(1));
end

function [ok, d, n, left, printed, err] = faultedCall(data, workers, outputs, countdowns)
% Calls Tamrin_faults with the countdowns armed, capturing what it prints.
  ok = true;
  d = [];
  n = [];
  left = [];
  printed = '';
  err = [];
  try
    if outputs == 1
      printed = evalc('d = Tamrin_faults(data, workers, [], countdowns);');
    else
      printed = evalc('[d, n, ~, left] = Tamrin_faults(data, workers, [], countdowns);');
    end
  catch caught
    ok = false;
    err = caught;
  end
end
% SPDX-License-Identifier: BSD-3-Clause

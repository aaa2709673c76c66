function tamrin_octave_arguments()
% Every kind of invalid call raises its own identifier with a message saying
% what is expected, and Octave carries on: a valid call afterwards still
% gives the same result.
  data = tamrin_test_series(8, 8, 6, 4, 31);
  [before, beforeNoise] = Tamrin(data, 2);

  % Argument and result counts.
  tamrin_expect_error(@() Tamrin(), 'Tamrin:nargin', 'expected 2 or 3 inputs');
  tamrin_expect_error(@() Tamrin(data), 'Tamrin:nargin', 'got 1');
  tamrin_expect_error(@() Tamrin(data, 1, [], 1), 'Tamrin:nargin', 'got 4');
  % The shipped module has no test hooks: a countdown argument is refused,
  % as the third (a mask) or the fourth.
  tamrin_expect_error(@() Tamrin(data, 1, [1 0]), 'Tamrin:mask', 'mask must be 8 x 8 x 6');
  tamrin_expect_error(@() Tamrin(data, 1, [], [1 0]), 'Tamrin:nargin', 'expected 2 or 3 inputs');
  tamrin_expect_error(@() fourResults(data), 'Tamrin:nargout', 'at most 3 outputs');

  % The data's class, realness and storage (every numeric class is
  % accepted: tamrin_octave_classes).
  tamrin_expect_error(@() Tamrin(data > 1, 1), 'Tamrin:dataType', ...
                      'of class double, single, int8, uint8, int16, uint16, int32, uint32, int64 or uint64; got a logical array');
  tamrin_expect_error(@() Tamrin(complex(data, data), 1), 'Tamrin:dataType', 'complex');
  tamrin_expect_error(@() Tamrin(sparse(rand(4, 4)), 1), 'Tamrin:dataType', 'sparse');
  tamrin_expect_error(@() Tamrin('text', 1), 'Tamrin:dataType', 'char');
  tamrin_expect_error(@() Tamrin({data}, 1), 'Tamrin:dataType', 'cell');
  tamrin_expect_error(@() Tamrin(struct('data', data), 1), 'Tamrin:dataType', 'struct');
  tamrin_expect_error(@() Tamrin(@sin, 1), 'Tamrin:dataType', 'function_handle');

  % The data's dimensions.
  tamrin_expect_error(@() Tamrin(rand(5, 5, 5), 1), 'Tamrin:dataDims', 'at least 2 volumes are needed');
  tamrin_expect_error(@() Tamrin(zeros(4, 4, 4, 1), 1), 'Tamrin:dataDims', 'at least 2 volumes are needed');
  tamrin_expect_error(@() Tamrin(rand(5, 5), 1), 'Tamrin:dataDims', 'got 2 dimensions');
  tamrin_expect_error(@() Tamrin([], 1), 'Tamrin:dataDims', 'got 2 dimensions');
  tamrin_expect_error(@() Tamrin(rand(3, 3, 3, 2, 2), 1), 'Tamrin:dataDims', 'got 5 dimensions');
  tamrin_expect_error(@() Tamrin(zeros(0, 3, 3, 2), 1), 'Tamrin:dataDims', 'must not be empty');
  tamrin_expect_error(@() Tamrin(zeros(3, 3, 0, 2), 1), 'Tamrin:dataDims', 'extent 3 is 0');
  tamrin_expect_error(@() Tamrin(zeros(2^31, 0, 1, 2), 1), 'Tamrin:dataDims', 'at most 2147483647; extent 1');
  tamrin_expect_error(@() Tamrin(zeros(0, 2, 2, 2^31), 1), 'Tamrin:dataDims', 'extent 4 is 2147483648');
  tamrin_expect_error(@() Tamrin(zeros(3, 3, 3, 0), 1), 'Tamrin:volumes', 'N is 0');

  % The worker count.
  badWorkers = {NaN, Inf, -Inf, 0, 0.999, -1, -3, [1 2], [], zeros(1, 0), 'a', true, {2}, complex(2, 1), ...
                struct('n', 2), int8(-1), sparse(0)};
  for k = 1:numel(badWorkers)
    w = badWorkers{k};
    tamrin_expect_error(@() Tamrin(data, w), 'Tamrin:workers', 'workers must be');
  end

  % Any real numeric class and any huge count are accepted; a count above
  % what the series allows (8 / 2 = 4 workers) is lowered to it.
  [limited, limitedNoise] = Tamrin(data, 4);
  for w = {1e300, realmax, intmax('int32'), 2^31, single(1e30), uint8(200)}
    [d, n] = Tamrin(data, w{1});
    assert(tamrin_same_bits(d, limited) && tamrin_same_bits(n, limitedNoise), 'workers = %g', double(w{1}));
  end
  [d, n] = Tamrin(data, int16(2));
  assert(tamrin_same_bits(d, before) && tamrin_same_bits(n, beforeNoise));

  % A bad worker count is found before anything runs, whatever the data.
  tamrin_expect_error(@() Tamrin(zeros(2, 2, 2, 2), NaN), 'Tamrin:workers', 'got nan');

  [after, afterNoise] = Tamrin(data, 2);
  assert(tamrin_same_bits(after, before) && tamrin_same_bits(afterNoise, beforeNoise));
end

function fourResults(data)
  [a, b, c, d] = Tamrin(data, 1); %#ok<ASGLU>
end
% SPDX-License-Identifier: BSD-3-Clause

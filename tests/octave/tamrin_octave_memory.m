function tamrin_octave_memory()
% 200 calls in one session, successful and failing (bad arguments and masks,
% single data, NaN data, and, when the test-only module is available, injected allocation
% and thread-start failures), with and without a mask and a rank map, leave
% the session's resident memory flat. A call leaking its weights (128 KiB),
% its scratch, its mask or its message queue would add megabytes over the
% loop.
  faults = getenv('TAMRIN_FAULTS_DIR');
  if ~isempty(faults)
    addpath(faults);
  end
  data = tamrin_test_series(32, 32, 16, 8, 5);  % 1 MiB; s = 2
  withNan = data;
  withNan(16, 16, 8, 3) = NaN;

  % Warm up: load the module, let Octave and the allocator reach their
  % steady state.
  for k = 1:20
    oneRound(k, data, withNan, faults);
  end
  before = residentKiB();
  for k = 1:200
    oneRound(k, data, withNan, faults);
  end
  after = residentKiB();
  growth = after - before;
  printf('resident memory: %d KiB before, %d KiB after 200 calls (%+d KiB)\n', before, after, growth);
  assert(growth < 3072, 'resident memory grew by %d KiB over 200 calls', growth);
end

function oneRound(k, data, withNan, faults)
% One call of a kind chosen by k.
  switch mod(k, 8)
    case 0
      if mod(k, 16) == 0
        [d, n, r] = Tamrin(data, 1 + mod(k, 5), data(:, :, :, 1) > 0);  % mask bytes, rank bands
        assert(~isempty(r));
      else
        [d, n] = Tamrin(data, 1 + mod(k, 5));
      end
      assert(~isempty(d) && ~isempty(n));
    case 1
      d = Tamrin(data, 3);  % scratch noise map
      assert(~isempty(d));
    case 2
      evalc('[d, n] = Tamrin(withNan, 2);');  % queued messages
    case 3
      expectError(@() Tamrin(data, NaN));
    case 4
      if mod(k, 16) == 4
        expectError(@() Tamrin(data > 0, 2));
      else
        [d, n, r] = Tamrin(single(data), 2);  % the block of doubles, the maps' scratch
        assert(strcmp(class(d), 'single') && ~isempty(n) && ~isempty(r));
      end
    case 5
      if mod(k, 16) == 5
        expectError(@() Tamrin(data, 2, false(32, 32, 16)));
      else
        expectError(@() Tamrin(data));
      end
    case 6
      if ~isempty(faults)
        % A failing decomposition, worker scratch or band array (or one
        % that the driver absorbs).
        try
          if mod(k, 16) == 6
            evalc('[d, n, r] = Tamrin_faults(withNan, 3, withNan(:, :, :, 1) > 0, [1 + mod(k, 40) 0]);');
          else
            evalc('Tamrin_faults(withNan, 3, [], [20 + mod(k, 40) 0]);');
          end
        catch err
          assert(any(strcmp(err.identifier, {'Tamrin:outOfMemory', 'Tamrin:failed'})), err.message);
        end
      else
        expectError(@() Tamrin(data(:, :, :, 1), 2));
      end
    case 7
      if ~isempty(faults)
        evalc('[d, n] = Tamrin_faults(data, 4, [], [0 1 + mod(k, 4)]);');
      else
        [d, n] = Tamrin(data, 4);
      end
  end
end

function expectError(call)
% The call must raise a Tamrin error.
  try
    call();
  catch err
    assert(strncmp(err.identifier, 'Tamrin:', 7), 'unexpected error %s: %s', err.identifier, err.message);
    return;
  end
  error('no error from %s', func2str(call));
end

function kib = residentKiB()
% VmRSS of this process, from /proc.
  status = fileread(sprintf('/proc/%d/status', getpid()));
  token = regexp(status, 'VmRSS:\s*(\d+)\s*kB', 'tokens', 'once');
  assert(~isempty(token), 'no VmRSS in /proc/%d/status', getpid());
  kib = str2double(token{1});
end
% SPDX-License-Identifier: BSD-3-Clause

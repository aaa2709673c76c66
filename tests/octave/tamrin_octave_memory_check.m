function tamrin_octave_memory_check()
% A call that needs more memory than the session may use is refused with
% Tamrin:outOfMemory before anything is created: under RLIMIT_AS and
% RLIMIT_DATA (set on this very process with prlimit) and in a cgroup with a
% memory limit (made with tests/tools/memory-cgroup); the message gives what
% the call needs and what the limit leaves, and resident memory rises by at
% most 20 MB during the refused call. A small call under the same limit goes
% ahead, and with TAMRIN_NO_MEMORY_CHECK a call of the big one's shape goes
% ahead under the resource limits (to fail late, or finish where the memory
% suffices after all; under the cgroup's limit it could be killed, so it is
% not tried there). Parts that this machine does not allow are skipped with
% the reason printed.
  data = tamrin_test_series(64, 64, 40, 30, 3);  % 38 MiB; its results 38 MiB more, its bands and stores more
  blank = zeros(size(data));  % the same need; every patch is skipped, so a run is quick
  small = tamrin_test_series(16, 16, 12, 8, 4);
  expected = Tamrin(small, 2);

  [status, ~] = system('prlimit --version');
  if status ~= 0
    printf('skipped: RLIMIT_AS and RLIMIT_DATA (no prlimit command here)\n');
  else
    limits = {'as', 'VmSize', 'of address space, but RLIMIT_AS leaves'; ...
              'data', 'VmData', 'of private memory, but RLIMIT_DATA leaves'};
    for k = 1:rows(limits)
      setLimit(limits{k, 1}, statusBytes(limits{k, 2}) + 48 * 2^20);
      cleanup = onCleanup(@() setLimit(limits{k, 1}, -1));
      refusedBeforeWork(data, limits{k, 3});
      assert(tamrin_same_bits(Tamrin(small, 2), expected), 'a small call under %s did not go ahead', limits{k, 1});
      overridden(blank);
      clear cleanup;
    end
  end

  tool = fullfile(getenv('TAMRIN_SOURCE_DIR'), 'tests', 'tools', 'memory-cgroup');
  [status, folder] = system(sprintf('''%s'' create %d 2>&1', tool, 32 * 2^20));
  folder = strtrim(folder);
  if status ~= 0
    printf('skipped: the cgroup (%s)\n', folder);
  else
    cleanup = onCleanup(@() system(sprintf('''%s'' remove ''%s''', tool, folder)));
    [status, text] = system(sprintf('''%s'' enter ''%s'' %d', tool, folder, getpid()));
    assert(status == 0, 'could not enter %s: %s', folder, text);
    refusedBeforeWork(data, 'but its cgroup /');
    assert(tamrin_same_bits(Tamrin(small, 2), expected), 'a small call in the cgroup did not go ahead');
    clear cleanup;
  end
end

function overridden(data)
% With TAMRIN_NO_MEMORY_CHECK set the call is not refused: it goes ahead
% and fails where the memory runs out (or finishes, should it fit after all).
  setenv('TAMRIN_NO_MEMORY_CHECK', '1');
  unset = onCleanup(@() unsetenv('TAMRIN_NO_MEMORY_CHECK'));
  try
    Tamrin(data, 2);
  catch err
    assert(isempty(strfind(err.message, 'not enough memory for this call')), ...
           'refused with TAMRIN_NO_MEMORY_CHECK set: %s', err.message);
    printf('with TAMRIN_NO_MEMORY_CHECK: %s\n', err.message);
  end
end

function refusedBeforeWork(data, limit)
% Tamrin(data, 2) raises Tamrin:outOfMemory naming the limit, with resident
% memory at most 20 MB above what it was before the call.
  before = statusBytes('VmRSS');
  resetPeak();
  try
    Tamrin(data, 2);
    error('the call was not refused (%s)', limit);
  catch err
    peak = statusBytes('VmHWM');
    assert(strcmp(err.identifier, 'Tamrin:outOfMemory'), 'unexpected error %s: %s', err.identifier, err.message);
    assert(~isempty(strfind(err.message, 'not enough memory for this call: it needs ')), err.message);
    assert(~isempty(strfind(err.message, limit)), 'no "%s" in: %s', limit, err.message);
    assert(~isempty(strfind(err.message, 'TAMRIN_NO_MEMORY_CHECK')), err.message);
    printf('%s\n  resident memory rose by %.1f MiB during the refused call\n', err.message, (peak - before) / 2^20);
    assert(peak - before <= 20e6, 'resident memory rose by %.1f MB during the refused call', (peak - before) / 1e6);
  end
end

function setLimit(name, bytes)
% Sets this process's soft limit (bytes < 0: unlimited) with prlimit.
  if bytes < 0
    value = 'unlimited:';
  else
    value = sprintf('%d:', bytes);
  end
  [status, text] = system(sprintf('prlimit --pid %d --%s=%s', getpid(), name, value));
  assert(status == 0, 'prlimit --%s failed: %s', name, text);
end

function bytes = statusBytes(field)
% A field of /proc/self/status (VmRSS, VmHWM, VmSize, VmData) in bytes.
  status = fileread(sprintf('/proc/%d/status', getpid()));
  token = regexp(status, [field ':\s*(\d+)\s*kB'], 'tokens', 'once');
  assert(~isempty(token), 'no %s in /proc/%d/status', field, getpid());
  bytes = 1024 * str2double(token{1});
end

function resetPeak()
% Sets VmHWM back to VmRSS.
  fid = fopen(sprintf('/proc/%d/clear_refs', getpid()), 'w');
  assert(fid >= 0, 'cannot open /proc/%d/clear_refs', getpid());
  fprintf(fid, '5');
  fclose(fid);
end
% SPDX-License-Identifier: BSD-3-Clause

function tamrin_octave_single_memory()
% A call on single data holds no double copy of it: the peak memory of a
% fresh Octave process that calls Tamrin on a single series is at most that
% of one calling it on the same series in double, less the double series
% itself, plus 5 %. Each call runs in its own process (tamrin_peak_memory),
% so that each peak is that call's.
  sz = [64 64 48 16];  % 24 MiB in double, 12 MiB in single
  doubles = peakOf('double', sz);
  singles = peakOf('single', sz);
  doubleBytes = prod(sz) * 8;
  limit = (doubles.after * 1024 - doubleBytes) * 1.05;
  printf(['peak of the call on double data: %.1f MiB; on single data: %.1f MiB; ' ...
          'the double peak less the double series, plus 5 %%: %.1f MiB\n'], ...
         doubles.after / 1024, singles.after / 1024, limit / 2^20);
  assert(strcmp(singles.results, 'single') && strcmp(doubles.results, 'double'));
  assert(singles.after * 1024 <= limit, 'the single call peaked at %.1f MiB, above %.1f MiB', ...
         singles.after / 1024, limit / 2^20);
end

function peak = peakOf(type, sz)
% Runs tamrin_peak_memory in a fresh octave-cli and reads its line.
  here = fileparts(mfilename('fullpath'));
  module = fileparts(which('Tamrin'));
  octave = fullfile(OCTAVE_HOME(), 'bin', 'octave-cli');
  command = sprintf(['"%s" --no-gui --norc --no-history -q --eval "addpath(''%s''); addpath(''%s''); ' ...
                     'tamrin_peak_memory(''%s'', %d, %d, %d, %d, 2, false)"'], octave, module, here, type, sz);
  [status, output] = system(command);
  assert(status == 0, 'the %s call failed (%d): %s', type, status, output);
  fields = regexp(output, 'peak (\d+) (\d+) KiB, data (\d+) bytes, results (\w+)', 'tokens', 'once');
  assert(~isempty(fields), 'unexpected output: %s', output);
  peak = struct('before', str2double(fields{1}), 'after', str2double(fields{2}), ...
                'bytes', str2double(fields{3}), 'results', fields{4});
end
% SPDX-License-Identifier: BSD-3-Clause

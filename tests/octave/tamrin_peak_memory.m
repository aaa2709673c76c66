function tamrin_peak_memory(type, X, Y, Z, N, workers, asDouble)
% Run in a fresh Octave process: makes an X x Y x Z x N series of class
% TYPE (a volume at a time, so that nothing larger than a volume is made
% besides it), calls [d, n, r] = Tamrin(data, workers), or on double(data)
% when ASDOUBLE is true (the conversion a caller would otherwise write), and
% prints one line: the peak resident memory of the process (VmHWM, KiB)
% before and after the call, the bytes of data, the result's class and the
% call's wall-clock seconds.
  data = zeros(X, Y, Z, N, type);
  rand('seed', 7);
  for v = 1:N
    data(:, :, :, v) = cast(100 + 20 * rand(X, Y, Z), type);
  end
  before = peakKiB();
  started = tic();
  if asDouble
    [d, n, r] = Tamrin(double(data), workers);
  else
    [d, n, r] = Tamrin(data, workers);
  end
  seconds = toc(started);
  after = peakKiB();
  info = whos('data');
  printf('peak %d %d KiB, data %d bytes, results %s, %.2f s\n', before, after, info.bytes, class(d), seconds);
end

function kib = peakKiB()
  status = fileread('/proc/self/status');
  token = regexp(status, 'VmHWM:\s*(\d+)\s*kB', 'tokens', 'once');
  assert(~isempty(token), 'no VmHWM in /proc/self/status');
  kib = str2double(token{1});
end
% SPDX-License-Identifier: BSD-3-Clause

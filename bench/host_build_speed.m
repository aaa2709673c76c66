function host_build_speed(cmakeDir, varargin)
% HOST_BUILD_SPEED  Times the MEX function built by build_tamrin against the
% one CMake built, on one 64 x 64 x 30 x 30 series, calls interleaved.
%
%   host_build_speed(cmakeDir)            CMake's module in cmakeDir (build/matlab)
%   host_build_speed(cmakeDir, other...)  also modules already built in other folders
%
% Builds with build_tamrin into a temporary folder, checks that both modules
% give the same bits, then calls each in turn, 3 rounds, with 1 and 2
% workers, and prints the median seconds and the ratio to CMake's build.
% Run from the source tree's root:
%   octave-cli --eval "addpath('bench'); host_build_speed('build/matlab')"
  root = fileparts(fileparts(mfilename('fullpath')));
  addpath(fullfile(root, 'matlab'));
  confirm_recursive_rmdir(false);
  hostDir = build_tamrin(tempname());
  cleanup = onCleanup(@() rmdir(hostDir, 's'));
  rmpath(fullfile(root, 'matlab'));

  folders = [{cmakeDir, hostDir} varargin];
  labels = [{'CMake build', 'build_tamrin'} varargin];

  % A smooth signal of rank a few plus noise everywhere: every patch is denoised.
  rand('seed', 1); randn('seed', 1);
  [x, y, z] = ndgrid(linspace(0, 1, 64), linspace(0, 1, 64), linspace(0, 1, 30));
  data = zeros(64, 64, 30, 30);
  for v = 1:30
    data(:, :, :, v) = 500 + 200 * sin(3 * x + v / 7) .* cos(2 * y) + 100 * z * mod(v, 3) + 20 * randn(64, 64, 30);
  end

  rounds = 3;
  workers = [1 2];
  seconds = zeros(numel(folders), numel(workers), rounds);
  reference = {};
  for r = 1:rounds
    for f = 1:numel(folders)
      use(folders{f});
      for k = 1:numel(workers)
        tic;
        [den, noise] = Tamrin(data, workers(k));
        seconds(f, k, r) = toc;
        if r == 1 && k == 1
          if f == 1
            reference = {den, noise};
          elseif ~isequal(typecast(den(:), 'uint64'), typecast(reference{1}(:), 'uint64')) || ...
                 ~isequal(typecast(noise(:), 'uint64'), typecast(reference{2}(:), 'uint64'))
            printf('  %s gives other bits than %s\n', labels{f}, labels{1});
          end
        end
      end
    end
  end

  printf('Tamrin(data, workers) on 64 x 64 x 30 x 30, median of %d calls (seconds; ratio to the CMake build)\n', rounds);
  for f = 1:numel(folders)
    printf('  %-14s', labels{f});
    for k = 1:numel(workers)
      t = median(seconds(f, k, :));
      printf('  %d worker(s): %6.2f s (%.2fx)', workers(k), t, t / median(seconds(1, k, :)));
    end
    printf('\n');
  end
end

function use(folder)
  for p = strsplit(path(), pathsep())
    if exist(fullfile(p{1}, 'Tamrin.mex'), 'file')
      rmpath(p{1});
    end
  end
  addpath(folder);
  clear('Tamrin');
end
% SPDX-License-Identifier: BSD-3-Clause

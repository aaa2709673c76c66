function outDir = build_tamrin(outDir)
% BUILD_TAMRIN  Compile the Tamrin MEX function from inside Octave or MATLAB.
%
%   build_tamrin            builds into the folder of this file
%   build_tamrin(outDir)    builds into outDir (created if missing)
%   outDir = build_tamrin(...)   returns the folder, ready for addpath
%
%   Compiles the gateway and the denoising core from the source tree this
%   file belongs to, with a GCC or Clang toolchain (C++17, threads). The
%   arithmetic is built without fused multiply-add (-ffp-contract=off), so
%   results match the other builds bit for bit. Afterwards:
%     addpath(outDir); [denoised, noiseMap] = Tamrin(data, workers);

  here = fileparts(mfilename('fullpath'));
  root = fileparts(here);
  if nargin < 1 || isempty(outDir)
    outDir = here;
  end
  if ~isAbsolute(outDir)
    outDir = fullfile(pwd, outDir);
  end
  if ~exist(outDir, 'dir')
    [ok, msg] = mkdir(outDir);
    if ~ok
      error('Tamrin:build', 'cannot create %s: %s', outDir, msg);
    end
  end

  % The gateway and every core source: the host services, the kernels, the
  % patch worker and the driver.
  sources = {};
  for folder = {'gateway', 'linalg', 'patch', 'driver'}
    listing = dir(fullfile(root, folder{1}, '*.cpp'));
    for k = 1:numel(listing)
      sources{end + 1} = fullfile(root, folder{1}, listing(k).name); %#ok<AGROW>
    end
  end
  if ~any(~cellfun(@isempty, strfind(sources, 'mex_gateway.cpp')))
    error('Tamrin:build', 'gateway/mex_gateway.cpp not found under %s', root);
  end
  include = ['-I' fullfile(root, 'include')];
  flags = '-std=c++17 -ffp-contract=off -fno-fast-math -pthread -O2';

  if isOctave()
    % mkoctfile takes its compiler flags from the environment.
    names = {'CXXFLAGS', 'CFLAGS', 'LDFLAGS'};
    saved = cellfun(@getenv, names, 'UniformOutput', false);
    restore = onCleanup(@() restoreEnvironment(names, saved));
    setenv('CXXFLAGS', [strtrim(mkoctfile('-p', 'CXXFLAGS')) ' ' flags]);
    setenv('CFLAGS', [strtrim(mkoctfile('-p', 'CFLAGS')) ' -ffp-contract=off -fno-fast-math']);
    setenv('LDFLAGS', [strtrim(mkoctfile('-p', 'LDFLAGS')) ' -pthread']);
    % mkoctfile compiles into temporary object files: the source tree stays clean.
    [out, status] = mkoctfile('--mex', include, sources{:}, '-o', fullfile(outDir, 'Tamrin.mex'));
    if status ~= 0
      error('Tamrin:build', 'building Tamrin failed:\n%s', out);
    end
    clear restore;
  else
    mex('-R2018a', '-outdir', outDir, '-output', 'Tamrin', include, ...
        ['CFLAGS=$CFLAGS -ffp-contract=off -fno-fast-math'], ...
        ['CXXFLAGS=$CXXFLAGS ' flags], ...
        'LDFLAGS=$LDFLAGS -pthread', sources{:});
  end

  helpFile = fullfile(here, 'Tamrin.m');
  if ~strcmp(fullfile(outDir, 'Tamrin.m'), helpFile)
    copyfile(helpFile, fullfile(outDir, 'Tamrin.m'));
  end
end

function restoreEnvironment(names, values)
  for k = 1:numel(names)
    if isempty(values{k})
      unsetenv(names{k});
    else
      setenv(names{k}, values{k});
    end
  end
end

function yes = isAbsolute(path)
  yes = ~isempty(regexp(path, '^([/\\]|[A-Za-z]:)', 'once'));
end

function yes = isOctave()
  yes = exist('OCTAVE_VERSION', 'builtin') ~= 0;
end

function outDir = build_tamrin(outDir)
% BUILD_TAMRIN  Compile the Tamrin MEX function from inside Octave or MATLAB.
%
%   build_tamrin            builds into the folder of this file
%   build_tamrin(outDir)    builds into outDir (created if missing)
%   outDir = build_tamrin(...)   returns the folder, ready for addpath
%
%   Compiles the gateway and the denoising core from the source tree this
%   file belongs to, with a GCC or Clang toolchain (C++17, threads): GCC or
%   Clang on Linux, Xcode's Clang on macOS (Apple silicon and Intel),
%   MinGW-w64 on Windows. Microsoft Visual C++ cannot build it (see below).
%   On x86-64 the fast patch kernel is built once per instruction set
%   (default, AVX2, AVX-512; the widest the processor has is used at run
%   time); on ARM64 once, with the processor's 128-bit vectors. The
%   arithmetic is built without fused multiply-add (-ffp-contract=off), so
%   results match the other builds bit for bit. The module is Tamrin.mex
%   for Octave, and for MATLAB Tamrin.mexw64 (Windows), .mexa64 (Linux),
%   .mexmaci64 (Intel macOS) or .mexmaca64 (Apple silicon). Afterwards:
%     addpath(outDir); [denoised, noiseMap] = Tamrin(data, workers);
%   with data of class double, single or an integer class (help Tamrin).

  here = fileparts(mfilename('fullpath'));
  root = fileparts(here);
  if nargin < 1 || isempty(outDir)
    outDir = here;
  end
  if ~isAbsolute(outDir)
    outDir = fullfile(pwd, outDir);
  end
  if ~isOctave()
    checkMatlabCompiler();
  end
  if ~exist(outDir, 'dir')
    [ok, msg] = mkdir(outDir);
    if ~ok
      error('Tamrin:build', 'cannot create %s: %s', outDir, msg);
    end
  end

  % The gateway and every core source: the host services, the kernels, the
  % patch worker, the driver and the platform support (the memory check).
  % The fast kernel's stage sources are built once per instruction set below
  % instead.
  stages = fastStageSources(root);
  sources = {};
  for folder = {'gateway', 'support', 'linalg', 'patch', 'driver'}
    listing = dir(fullfile(root, folder{1}, '*.cpp'));
    for k = 1:numel(listing)
      if ~(strcmp(folder{1}, 'linalg') && any(strcmp(listing(k).name, stages)))
        sources{end + 1} = fullfile(root, folder{1}, listing(k).name); %#ok<AGROW>
      end
    end
  end
  if ~any(~cellfun(@isempty, strfind(sources, 'mex_gateway.cpp')))
    error('Tamrin:build', 'gateway/mex_gateway.cpp not found under %s', root);
  end
  % The public headers, and the project's root for the core's own folders.
  includes = {['-I' fullfile(root, 'include')], ['-I' root]};
  flags = '-std=c++17 -ffp-contract=off -fno-fast-math -pthread -O3';

  % The fast kernel picks at run time among builds of its stage sources for
  % several instruction sets, each in its own namespace; on x86-64 these are
  % the compiler's default target, AVX2 and AVX-512 (and the dispatcher,
  % linalg/fast_work.cpp, is told so). Every build gives the same bits.
  isas = {'baseline', ''};
  if isX86()
    isas = [isas; {'avx2', '-mavx2'; 'avx512', '-mavx512f'}];
  end
  if ispc()
    % 64-bit Windows keeps the stack 16-byte aligned and GCC cannot realign
    % it there, yet may move 32- and 64-byte vectors to and from the stack
    % with aligned instructions, which would fault. The assembler (binutils
    % 2.38 or later) turns those into unaligned moves.
    isas(2:end, 2) = strcat(isas(2:end, 2), {' -Wa,-muse-unaligned-vector-move'});
  end

  % Objects go to a temporary folder: the source tree stays clean.
  objDir = tempname();
  [ok, msg] = mkdir(objDir);
  if ~ok
    error('Tamrin:build', 'cannot create %s: %s', objDir, msg);
  end
  removeObjects = onCleanup(@() removeFolder(objDir));

  if isOctave()
    % mkoctfile takes its compiler flags from the environment.
    names = {'CXXFLAGS', 'CFLAGS', 'LDFLAGS'};
    saved = cellfun(@getenv, names, 'UniformOutput', false);
    restore = onCleanup(@() restoreEnvironment(names, saved));
    baseFlags = [strtrim(mkoctfile('-p', 'CXXFLAGS')) ' ' flags];
    setenv('CFLAGS', [strtrim(mkoctfile('-p', 'CFLAGS')) ' -ffp-contract=off -fno-fast-math']);
    setenv('LDFLAGS', [strtrim(mkoctfile('-p', 'LDFLAGS')) ' -pthread']);
    compile = @(isa, source, isaFlags, defines) octaveCompile(objDir, isa, source, ...
                                                              strtrim([baseFlags ' ' isaFlags]), [includes defines]);
  else
    linkFlags = 'LDFLAGS=$LDFLAGS -pthread';
    if ispc()
      % The C++ runtime and the thread library go into the module, which
      % then loads without MinGW's DLLs on the path.
      linkFlags = [linkFlags ' -static'];
    end
    common = [{'-R2018a'}, includes, {'CFLAGS=$CFLAGS -ffp-contract=off -fno-fast-math', linkFlags}];
    compile = @(isa, source, isaFlags, defines) matlabCompile(objDir, isa, source, ...
                                                              [common defines {strtrim(['CXXFLAGS=$CXXFLAGS ' flags ' ' isaFlags])}]);
  end

  % The instruction-set builds first, so that the dispatcher is told which
  % exist. On Windows an assembler too old for the option above leaves only
  % the default build: the same results, more slowly.
  objects = {};
  for i = 1:size(isas, 1)
    done = numel(objects);
    try
      for k = 1:numel(stages)
        objects{end + 1} = compile(isas{i, 1}, fullfile(root, 'linalg', stages{k}), isas{i, 2}, ...
                                   {['-DTAMRIN_ISA_NS=isa_' isas{i, 1}]}); %#ok<AGROW>
      end
    catch failure
      if i == 1 || ~ispc()
        rethrow(failure);
      end
      warning('Tamrin:build', ['the %s build of the fast kernel did not compile (it needs binutils 2.38 ' ...
               'or later on Windows) and is left out: the module runs the default build, with the same ' ...
               'results, more slowly.\n%s'], isas{i, 1}, failure.message);
      objects = objects(1:done);
      isas = isas(1:i - 1, :);
      break;
    end
  end
  dispatch = {};
  if size(isas, 1) > 1
    dispatch = {'-DTAMRIN_FAST_X86'};
  end
  for k = 1:numel(sources)
    defines = {};
    if ~isempty(strfind(sources{k}, 'fast_work.cpp'))
      defines = dispatch;
    end
    objects{end + 1} = compile('', sources{k}, '', defines); %#ok<AGROW>
  end

  if isOctave()
    setenv('CXXFLAGS', baseFlags);
    [out, status] = mkoctfile('--mex', objects{:}, '-o', fullfile(outDir, 'Tamrin.mex'));
    if status ~= 0
      error('Tamrin:build', 'linking Tamrin failed:\n%s', out);
    end
    clear restore;
  else
    mex(common{:}, ['CXXFLAGS=$CXXFLAGS ' flags], '-outdir', outDir, '-output', 'Tamrin', objects{:});
  end
  clear removeObjects;

  helpFile = fullfile(here, 'Tamrin.m');
  if ~strcmp(fullfile(outDir, 'Tamrin.m'), helpFile)
    copyfile(helpFile, fullfile(outDir, 'Tamrin.m'));
  end
end

% MATLAB's C++ compiler for mex must be GCC (MinGW-w64 on Windows) or Clang:
% the fast kernel is written with GCC's vector extensions, which both accept,
% and the results depend on -ffp-contract=off.
function checkMatlabCompiler()
  config = mex.getCompilerConfigurations('C++', 'Selected');
  if isempty(config)
    error('Tamrin:build', ['no C++ compiler is selected for mex: run "mex -setup C++" and choose ' ...
                           'MinGW-w64 (Windows), Xcode Clang (macOS) or g++ (Linux)']);
  end
  known = any(strcmp(config(1).Manufacturer, {'GNU', 'Apple'})) || ...
          ~isempty(regexpi(config(1).ShortName, '(mingw|g\+\+|clang)', 'once'));
  if ~known
    error('Tamrin:build', ['mex is set up to use %s, which cannot build Tamrin: its fast kernel is written ' ...
                           'with GCC''s vector extensions, which Microsoft Visual C++ does not compile, and ' ...
                           'its results depend on compiling without fused multiply-add (-ffp-contract=off). ' ...
                           'Run "mex -setup C++" and choose MinGW64 (Windows), Xcode Clang (macOS) or g++ (Linux).'], ...
          config(1).Name);
  end
end

% The stage sources of the fast kernel, as linalg/fast_kernel.cmake lists them
% for the CMake build (TAMRIN_FAST_STAGE_SOURCES): file names within linalg/.
function names = fastStageSources(root)
  text = fileread(fullfile(root, 'linalg', 'fast_kernel.cmake'));
  block = regexp(text, 'set\(TAMRIN_FAST_STAGE_SOURCES([^)]*)\)', 'tokens', 'once');
  names = {};
  if ~isempty(block)
    names = regexp(block{1}, '([A-Za-z0-9_]+\.cpp)', 'match');
  end
  if isempty(names)
    error('Tamrin:build', 'no stage sources found in %s', fullfile(root, 'linalg', 'fast_kernel.cmake'));
  end
end

% Compiles one source with mkoctfile, which takes the compiler flags from
% CXXFLAGS, into objDir; isa tells apart the builds of one source. Returns the
% object's path.
function object = octaveCompile(objDir, isa, source, cxxflags, options)
  [folder, name] = fileparts(source);
  [~, folder] = fileparts(folder);
  object = fullfile(objDir, [joinNonEmpty({folder, name, isa}) '.o']);
  setenv('CXXFLAGS', cxxflags);
  [out, status] = mkoctfile('--mex', '-c', options{:}, source, '-o', object);
  if status ~= 0
    error('Tamrin:build', 'compiling %s failed:\n%s', source, out);
  end
end

% Compiles one source with mex into a folder of its own under objDir (mex
% names objects after their source). Returns the object's path.
function object = matlabCompile(objDir, isa, source, options)
  [folder, name] = fileparts(source);
  [~, folder] = fileparts(folder);
  where = fullfile(objDir, joinNonEmpty({folder, isa}));
  if ~exist(where, 'dir')
    mkdir(where);
  end
  mex('-c', '-outdir', where, options{:}, source);
  extension = '.o';
  if ispc()
    extension = '.obj';
  end
  object = fullfile(where, [name extension]);
end

function text = joinNonEmpty(parts)
  text = strjoin(parts(~cellfun(@isempty, parts)), '_');
end

function removeFolder(folder)
  if exist(folder, 'dir')
    if isOctave()
      confirm_recursive_rmdir(false, 'local');
    end
    rmdir(folder, 's');
  end
end

% True on 64-bit x86 hosts, where the AVX2 and AVX-512 builds are made.
function yes = isX86()
  if isOctave()
    yes = ~isempty(regexp(computer(), '^(x86_64|amd64)', 'once'));
  else
    yes = any(strcmp(computer('arch'), {'glnxa64', 'maci64', 'win64'}));
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
% SPDX-License-Identifier: BSD-3-Clause

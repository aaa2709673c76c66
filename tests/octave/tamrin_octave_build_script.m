function tamrin_octave_build_script()
% build_tamrin compiles a working MEX function from inside Octave: it lands
% in the requested folder with its help file and gives the same bits as the
% CMake-built one, for double, single and integer data.
  data = tamrin_test_series(12, 11, 10, 9, 61);
  [den1, noise1] = Tamrin(data, 1);
  [den3, noise3] = Tamrin(data, 3);
  [denSingle, noiseSingle] = Tamrin(single(data), 2);
  denInt = Tamrin(int16(data), 2);
  cmakeBuilt = which('Tamrin');

  source = getenv('TAMRIN_SOURCE_DIR');
  assert(~isempty(source), 'TAMRIN_SOURCE_DIR is not set');
  addpath(fullfile(source, 'matlab'));
  confirm_recursive_rmdir(false);
  outDir = build_tamrin(tempname());
  cleanup = onCleanup(@() rmdir(outDir, 's'));
  assert(exist(fullfile(outDir, 'Tamrin.mex'), 'file') > 0, 'no MEX file in %s', outDir);
  assert(exist(fullfile(outDir, 'Tamrin.m'), 'file') > 0, 'no help file in %s', outDir);

  rmpath(fileparts(cmakeBuilt));
  rmpath(fullfile(source, 'matlab'));
  addpath(outDir);
  clear('Tamrin');
  assert(strcmp(which('Tamrin'), fullfile(outDir, 'Tamrin.mex')), 'Tamrin resolves to %s', which('Tamrin'));
  assert(~isempty(strfind(help('Tamrin'), '[denoised, noiseMap] = Tamrin(data, workers)')));

  [den, noise] = Tamrin(data, 1);
  assert(tamrin_same_bits(den, den1) && tamrin_same_bits(noise, noise1), 'differs from the CMake build, 1 worker');
  [den, noise] = Tamrin(data, 3);
  assert(tamrin_same_bits(den, den3) && tamrin_same_bits(noise, noise3), 'differs from the CMake build, 3 workers');
  [den, noise] = Tamrin(single(data), 2);
  assert(isequal(typecast(den(:), 'uint32'), typecast(denSingle(:), 'uint32')) && ...
         isequal(typecast(noise(:), 'uint32'), typecast(noiseSingle(:), 'uint32')), 'single data: differs');
  assert(tamrin_same_bits(Tamrin(int16(data), 2), denInt), 'int16 data: differs from the CMake build');
  tamrin_expect_error(@() Tamrin(data, 0), 'Tamrin:workers', 'workers must be');
end
% SPDX-License-Identifier: BSD-3-Clause

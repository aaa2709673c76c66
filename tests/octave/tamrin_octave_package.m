function tamrin_octave_package(archive, moduleDir)
% Octave's package of Tamrin, made by scripts/octave-package: pkg install
% builds it from ARCHIVE into a scratch prefix, pkg load makes Tamrin and its
% help available, and the installed module gives the same bits as the
% CMake-built module in MODULEDIR, with 1 and with 3 workers, and for single
% and integer data.
  data = tamrin_test_series(13, 11, 10, 30, 67);
  addpath(moduleDir);
  [den1, noise1] = Tamrin(data, 1);
  [den3, noise3] = Tamrin(data, 3);
  denSingle = Tamrin(single(data), 3);
  denInt = Tamrin(uint16(data), 3);
  rmpath(moduleDir);
  clear('Tamrin');

  prefix = tempname();
  mkdir(prefix);
  confirm_recursive_rmdir(false);
  cleanup = onCleanup(@() rmdir(prefix, 's'));
  pkg('prefix', fullfile(prefix, 'packages'), fullfile(prefix, 'arch'));
  pkg('local_list', fullfile(prefix, 'octave_packages'));
  pkg('global_list', fullfile(prefix, 'global_packages'));
  pkg('install', '-local', archive);
  pkg('load', 'tamrin');

  where = which('Tamrin');
  assert(strncmp(where, prefix, numel(prefix)) && ~isempty(regexp(where, '\.mex$', 'once')), ...
         'Tamrin resolves to %s, not to the installed module', where);
  assert(~isempty(strfind(help('Tamrin'), '[denoised, noiseMap] = Tamrin(data, workers)')), ...
         'help Tamrin does not show the help text');

  [den, noise] = Tamrin(data, 1);
  assert(tamrin_same_bits(den, den1) && tamrin_same_bits(noise, noise1), 'differs from the CMake build, 1 worker');
  [den, noise] = Tamrin(data, 3);
  assert(tamrin_same_bits(den, den3) && tamrin_same_bits(noise, noise3), 'differs from the CMake build, 3 workers');
  den = Tamrin(single(data), 3);
  assert(strcmp(class(den), 'single') && isequal(typecast(den(:), 'uint32'), typecast(denSingle(:), 'uint32')), ...
         'single data: differs from the CMake build');
  assert(tamrin_same_bits(Tamrin(uint16(data), 3), denInt), 'uint16 data: differs from the CMake build');
  tamrin_expect_error(@() Tamrin(data, 0), 'Tamrin:workers', 'workers must be');
  pkg('unload', 'tamrin');
  printf('package installed in %s, loaded, same bits as %s\n', prefix, moduleDir);
end
% SPDX-License-Identifier: BSD-3-Clause

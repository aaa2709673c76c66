function tamrin_octave_stand_in_host()
% The gateway on the stand-in host (tests/tools/gateway_digest, found
% through TAMRIN_GATEWAY_DIGEST) and the MEX module in Octave, given the same
% calls, return the same bytes: every result of every class, what each call
% printed, and the identifier and message of each refused call.
  tool = getenv('TAMRIN_GATEWAY_DIGEST');
  assert(~isempty(tool), 'TAMRIN_GATEWAY_DIGEST is not set');
  host = tempname();
  octave = tempname();
  mkdir(host);
  mkdir(octave);
  confirm_recursive_rmdir(false);
  cleanup = onCleanup(@() cellfun(@(d) rmdir(d, 's'), {host, octave}));
  [status, output] = system(sprintf('"%s" "%s"', tool, host));
  assert(status == 0, 'gateway_digest failed (%d): %s', status, output);
  tamrin_gateway_cases(octave);

  hostFiles = sort({dir(host).name});
  octaveFiles = sort({dir(octave).name});
  assert(isequal(hostFiles, octaveFiles), 'the two runs wrote different files');
  files = hostFiles(~strncmp(hostFiles, '.', 1));
  assert(numel(files) > 40, 'only %d files written', numel(files));
  for k = 1:numel(files)
    a = readBytes(fullfile(host, files{k}));
    b = readBytes(fullfile(octave, files{k}));
    assert(isequal(a, b), '%s differs between the stand-in host and Octave', files{k});
  end
  printf('%d files identical between the stand-in host and Octave\n', numel(files));
end

function bytes = readBytes(path)
  fid = fopen(path, 'rb');
  assert(fid >= 0, 'cannot read %s', path);
  bytes = fread(fid, Inf, 'uint8=>uint8');
  fclose(fid);
end
% SPDX-License-Identifier: BSD-3-Clause

function [denoised, noiseMap, messages, rank] = tamrin_reference(data, workers, mask)
% Denoises data with the core outside Octave (the tamrin_denoise_raw tool,
% found through TAMRIN_DENOISE_RAW) and returns its results and the text of
% its messages, in order. With a mask ([] for none) the core runs with it
% and a rank map, returned fourth.
  tool = getenv('TAMRIN_DENOISE_RAW');
  assert(~isempty(tool), 'TAMRIN_DENOISE_RAW is not set');
  base = tempname();
  files = {[base '.in'], [base '.den'], [base '.noise'], [base '.mask'], [base '.rank']};
  cleanup = onCleanup(@() cellfun(@removeIfPresent, files));
  writeDoubles(files{1}, data);
  sz = size(data);
  command = sprintf('"%s" "%s" %d %d %d %d %d "%s" "%s"', tool, files{1}, sz, workers, files{2}, files{3});
  if nargin >= 3
    maskFile = '-';
    if ~isempty(mask)
      maskFile = files{4};
      fid = fopen(maskFile, 'wb');
      fwrite(fid, mask(:) ~= 0, 'uint8');
      fclose(fid);
    end
    command = sprintf('%s "%s" "%s"', command, maskFile, files{5});
  end
  [status, messages] = system(command);
  assert(status == 0, 'tamrin_denoise_raw failed (%d): %s', status, messages);
  denoised = reshape(readDoubles(files{2}), sz);
  noiseMap = reshape(readDoubles(files{3}), sz(1:3));
  if nargin >= 3
    rank = reshape(readDoubles(files{5}), sz(1:3));
  end
end

function writeDoubles(path, values)
  fid = fopen(path, 'wb');
  assert(fid >= 0, 'cannot write %s', path);
  fwrite(fid, values, 'double');
  fclose(fid);
end

function values = readDoubles(path)
  fid = fopen(path, 'rb');
  assert(fid >= 0, 'cannot read %s', path);
  values = fread(fid, Inf, 'double');
  fclose(fid);
end

function removeIfPresent(path)
  if exist(path, 'file')
    delete(path);
  end
end
% SPDX-License-Identifier: BSD-3-Clause

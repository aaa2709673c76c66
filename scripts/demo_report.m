% Report of scripts/demo, run by octave-cli with the arguments
%   OUT SIGMA WORKERS SECONDS PATCHES MEXDIR REQUIRE_MEX
% OUT holds truth.nii, noisy.nii, and denoised.nii and noise.nii from
% "tamrin denoise" (float64, NaN where no patch covered). When MEXDIR has the
% Tamrin MEX function, it denoises the same series and its results must equal
% the command's bit for bit. Exits 1 on a mismatch, or when REQUIRE_MEX is 1
% and the MEX function is missing. The figure is drawn by
% workflow/scripts/figures.py, the workflow's report's figure code.
1;

% Reads an uncompressed single-file NIfTI-1 or NIfTI-2 image of float32,
% float64 or int16 values (what the demo writes), scaled by scl_slope and
% scl_inter when the slope is not 0.
function data = read_nifti (file)
  f = fopen (file, 'r', 'ieee-le');
  if (f < 0)
    error ('demo: cannot open %s', file);
  end
  hdr = fread (f, 1, 'int32');
  if (hdr == 348)
    fseek (f, 40, 'bof');  dims = fread (f, 8, 'int16');
    fseek (f, 70, 'bof');  type = fread (f, 1, 'int16');
    fseek (f, 108, 'bof'); offset = fread (f, 1, 'float32');
    scale = fread (f, 2, 'float32');
  elseif (hdr == 540)
    fseek (f, 12, 'bof');  type = fread (f, 1, 'int16');
    fseek (f, 16, 'bof');  dims = fread (f, 8, 'int64');
    fseek (f, 168, 'bof'); offset = fread (f, 1, 'int64');
    scale = fread (f, 2, 'float64');
  else
    error ('demo: %s is not a little-endian NIfTI file', file);
  end
  types = containers.Map ({4, 16, 64}, {'int16', 'float32', 'float64'});
  dims = dims(2:dims(1) + 1)';
  fseek (f, offset, 'bof');
  data = fread (f, prod (dims), [types(type) '=>double']);
  fclose (f);
  if (scale(1) != 0)
    data = data * scale(1) + scale(2);
  end
  data = reshape (data, [dims 1]);
end

args = argv ();
out = args{1};
sigma = str2double (args{2});
workers = str2double (args{3});
seconds = str2double (args{4});
patches = str2double (args{5});
mexdir = args{6};
requireMex = numel (args) >= 7 && strcmp (args{7}, '1');

truth = read_nifti (fullfile (out, 'truth.nii'));
noisy = read_nifti (fullfile (out, 'noisy.nii'));
denoised = read_nifti (fullfile (out, 'denoised.nii'));
noise = read_nifti (fullfile (out, 'noise.nii'));
[X, Y, Z, N] = size (truth);

% Error inside the object (where the truth is not 0), over the voxels that
% have an estimate.
object = truth(:, :, :, 1) != 0;
broken = object & any (isnan (denoised), 4);
if (any (broken(:)))
  printf (['note: %d of %d voxels inside the object are NaN: the decomposition of patches over them gave NaN;\n' ...
           '      they are left out of the error below (tamrin denoise with --uncovered input replaces them)\n'], ...
          nnz (broken), nnz (object));
end
inside = repmat (object & !broken, [1 1 1 N]);
rmse = @(a) sqrt (mean ((a(inside) - truth(inside)) .^ 2));
before = rmse (noisy);
after = rmse (denoised);
printf ('error inside the object (RMSE against the truth): noisy %.3f, denoised %.3f (%.1f times lower)\n', ...
        before, after, before / after);
estimated = object & !isnan (noise);
printf ('noise map inside the object: median %.3f, true level %.3f (ratio %.3f)\n', ...
        median (noise(estimated)), sigma, median (noise(estimated)) / sigma);
printf ('tamrin denoise: %.2f s for %d patch positions, %.0f patches/s, %d workers\n', ...
        seconds, patches, patches / seconds, workers);

% The MEX function on the same data, with the same worker count.
if (exist (fullfile (mexdir, ['Tamrin.', mexext()]), 'file'))
  addpath (mexdir);
  tic;
  [mexDenoised, mexNoise] = Tamrin (noisy, workers);
  mexSeconds = toc;
  printf ('Tamrin(data, %d) in Octave: %.2f s, %.0f patches/s\n', workers, mexSeconds, patches / mexSeconds);
  same = isequal (typecast (mexDenoised(:), 'uint64'), typecast (denoised(:), 'uint64')) ...
         && isequal (typecast (mexNoise(:), 'uint64'), typecast (noise(:), 'uint64'));
  if (same)
    printf ('Tamrin() and tamrin denoise (float64 output) agree bit for bit\n');
  else
    printf ('demo: Tamrin() and tamrin denoise differ: largest difference %g\n', ...
            max (abs (mexDenoised(:) - denoised(:))));
    exit (1);
  end
else
  printf ('Tamrin MEX function not found in %s: Octave comparison skipped\n', mexdir);
  if (requireMex)
    exit (1);
  end
end
% SPDX-License-Identifier: BSD-3-Clause

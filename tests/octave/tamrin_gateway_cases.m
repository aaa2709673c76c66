function tamrin_gateway_cases(folder)
% Makes the calls of tests/tools/gateway_digest.cpp with the MEX module and
% writes what each returned to FOLDER, in the same files: for case k,
% caseKK-CLASS-denoised.raw, -noise.raw and -rank.raw (the results
% requested, raw values of their class, NaN as one positive quiet NaN) and
% caseKK-printed.txt (what the call printed), and errors.txt (the identifier
% and message of each refused call). The stand-in host's run of the gateway
% must write the same bytes (tamrin_octave_stand_in_host, scripts/cross-test).
% The two case tables must stay alike.
  %        X   Y  Z  N seed class     workers outputs mask       NaN    Slabs
  cases = {12, 10, 9, 8, 1, 'double', 1, 3, '',        false, 0;
           12, 10, 9, 8, 1, 'double', 3, 3, 'logical', false, 0;
           11, 9,  8, 20, 2, 'double', 2, 3, '',       false, 0;
           12, 10, 9, 8, 1, 'single', 1, 3, '',        false, 0;
           12, 10, 9, 8, 1, 'single', 3, 3, 'uint8',   false, 0;
           11, 9,  8, 20, 2, 'single', 2, 2, '',       false, 0;
           12, 10, 9, 8, 3, 'int8',   1, 3, '',        false, 0;
           12, 10, 9, 8, 3, 'uint8',  2, 3, 'single',  false, 0;
           12, 10, 9, 8, 3, 'int16',  3, 3, '',        false, 0;
           12, 10, 9, 8, 3, 'uint16', 1, 2, 'double',  false, 0;
           12, 10, 9, 8, 3, 'int32',  2, 3, '',        false, 0;
           12, 10, 9, 8, 3, 'uint32', 3, 1, '',        false, 0;
           12, 10, 9, 8, 3, 'int64',  1, 3, 'int16',   false, 0;
           12, 10, 9, 8, 3, 'uint64', 2, 3, '',        false, 0;
           10, 10, 10, 5, 4, 'double', 2, 2, '',       true, 0;
           10, 10, 10, 5, 4, 'single', 1, 3, '',       true, 0;
           12, 10, 9, 8, 1, 'double', 3, 3, '',        false, 2;
           12, 10, 9, 8, 1, 'single', 2, 3, 'logical', false, 1;
           12, 10, 9, 8, 3, 'int16',  1, 3, '',        false, 3};
  names = {'denoised', 'noise', 'rank'};
  for k = 1:rows(cases)
    [X, Y, Z, N, seed, type, workers, outputs, maskType, withNan, slabs] = cases{k, :};
    values = seriesOf(X, Y, Z, N, seed, any(strcmp(type, {'double', 'single'})));
    if withNan
      values(floor(numel(values) / 2) + X * Y + 1) = NaN;
    end
    args = {cast(values, type), workers};
    if ~isempty(maskType)
      mask = maskOf(X, Y, Z);
      if strcmp(maskType, 'logical')
        args{3} = logical(mask);
      else
        args{3} = cast(mask, maskType);
      end
    end
    if slabs > 0
      if isempty(maskType)
        args{3} = [];
      end
      args(end + 1:end + 2) = {'Slabs', slabs};
    end
    results = cell(1, outputs);
    printed = evalc('[results{:}] = Tamrin(args{:});');
    prefix = fullfile(folder, sprintf('case%02d', k));
    writeBytes([prefix '-printed.txt'], printed, 'char');
    for r = 1:outputs
      result = results{r};
      result(isnan(result)) = NaN;
      writeBytes(sprintf('%s-%s-%s.raw', prefix, type, names{r}), result, class(result));
    end
  end

  data = zeros(6, 5, 4, 3, 'single');
  withNan = ones(6, 5, 4, 'single');
  withNan(8) = NaN;
  refused = {{data};
             {false(6, 5, 4, 3), 1};
             {complex(data, data), 1};
             {zeros(6, 5, 4), 1};
             {zeros(6, 0, 4, 3), 1};
             {zeros(6, 5, 4, 0, 'uint8'), 1};
             {data, NaN};
             {data, 0.5};
             {data, {1}};
             {data, 1, false(6, 5)};
             {data, 1, withNan};
             {data, 1, zeros(6, 5, 4, 'int8')};
             {data, 1, [], 'Slabs', 0.5};
             {data, 1, [], 'Slab', 1}};
  lines = '';
  for k = 1:numel(refused)
    try
      Tamrin(refused{k}{:});
      lines = [lines "no error\n"];
    catch err
      message = regexprep(err.message, '^Tamrin: ', '');
      lines = [lines err.identifier ' ' message "\n"];
    end
  end
  writeBytes(fullfile(folder, 'errors.txt'), lines, 'char');
end

function values = seriesOf(X, Y, Z, N, seed, fractions)
% The series of gateway_digest.cpp: MINSTD noise on a smooth signal inside
% an ellipsoid, exactly 0 outside.
  values = zeros(X, Y, Z, N);
  state = seed;
  scale = X * X * Y * Y * Z * Z;
  k = 0;
  for v = 0:N - 1
    for z = 0:Z - 1
      for y = 0:Y - 1
        for x = 0:X - 1
          k = k + 1;
          state = mod(state * 48271, 2147483647);
          dx = 2 * x - (X - 1);
          dy = 2 * y - (Y - 1);
          dz = 2 * z - (Z - 1);
          reach = dx * dx * Y * Y * Z * Z + dy * dy * X * X * Z * Z + dz * dz * X * X * Y * Y;
          if 5 * reach >= 6 * scale
            continue;
          end
          if fractions
            noise = (mod(state, 161) - 80) / 8;
          else
            noise = mod(state, 17) - 8;
          end
          values(k) = 40 + 2 * x + y - z + 10 * mod(v, 3) + noise;
        end
      end
    end
  end
end

function mask = maskOf(X, Y, Z)
% x + 2y < X + Y inside (1), 0 outside.
  [x, y] = ndgrid(0:X - 1, 0:Y - 1, 0:Z - 1);
  mask = double(x + 2 * y < X + Y);
end

function writeBytes(path, values, precision)
  fid = fopen(path, 'wb');
  assert(fid >= 0, 'cannot write %s', path);
  fwrite(fid, values, precision);
  fclose(fid);
end
% SPDX-License-Identifier: BSD-3-Clause

function tamrin_octave_classes()
% Data of every numeric class. Single data gives single results, each
% single(r) of the double call's result r on double(data), bit for bit (NaN
% where it is NaN); integer data gives double results with the bits of the
% double call on double(data), 64-bit values beyond 2^53 included. The mask
% acts the same for every class. Other classes raise Tamrin:dataType
% listing the accepted ones.
  [data, inside] = tamrin_test_series(16, 14, 12, 10, 81);  % s = 3, exact-zero background
  small = false(size(inside));
  small(4:12, 3:9, 2:8) = true;

  % Single data: values that are not whole, through 1 to 3 results, with
  % and without a mask.
  x = single(data * 1.37);
  for workers = [1 3]
    for mask = {[], small}
      args = {workers};
      if ~isempty(mask{1})
        args{2} = mask{1};
      end
      [d, n, r] = Tamrin(double(x), args{:});
      [ds, ns, rs] = Tamrin(x, args{:});
      what = sprintf('single data, %d workers, %d mask voxels', workers, nnz(mask{1}));
      assert(strcmp(class(ds), 'single') && strcmp(class(ns), 'single') && strcmp(class(rs), 'single'), what);
      assert(sameSingles(ds, single(d)) && sameSingles(ns, single(n)) && sameSingles(rs, single(r)), ...
             '%s: not single() of the double call', what);
      assert(any(isnan(ds(:))) && any(~isnan(ds(:))), '%s: the test should have NaN and numbers', what);
      [d1] = Tamrin(x, args{:});
      [d2, n2] = Tamrin(x, args{:});
      assert(sameSingles(d1, ds) && sameSingles(d2, ds) && sameSingles(n2, ns), '%s: fewer results differ', what);
    end
  end
  % Large values, and values so small that their singles are subnormal.
  for scale = [1e36, 1e-41]
    xs = single(data * scale);
    [ds, ns] = Tamrin(xs, 2);
    [d, n] = Tamrin(double(xs), 2);
    assert(sameSingles(ds, single(d)) && sameSingles(ns, single(n)), 'values scaled by %g', scale);
  end

  % Integer data: double results, the bits of the double call.
  whole = round(data);
  for type = {'int8', 'uint8', 'int16', 'uint16', 'int32', 'uint32', 'int64', 'uint64'}
    xi = cast(whole, type{1});
    if any(strcmp(type{1}, {'int64', 'uint64'}))
      xi(2, 2, 2, 1) = intmax(type{1});  % rounds to 2^63 or 2^64 in double
    end
    for workers = [1 2]
      [d, n, r] = Tamrin(double(xi), workers);
      [di, ni, ri] = Tamrin(xi, workers);
      assert(strcmp(class(di), 'double') && strcmp(class(ri), 'double'), type{1});
      assert(tamrin_same_bits(di, d) && tamrin_same_bits(ni, n) && tamrin_same_bits(ri, r), ...
             '%s data, %d workers: differs from the call on double(data)', type{1}, workers);
    end
  end

  % The mask works the same for every class of data and of mask.
  [ref, refNoise, refRank] = Tamrin(double(int16(whole)), 2, small);
  for m = {small, double(small), single(small) * 3, -int8(small), uint16(small), int64(small)}
    [d, n, r] = Tamrin(int16(whole), 2, m{1});
    assert(tamrin_same_bits(d, ref) && tamrin_same_bits(n, refNoise) && tamrin_same_bits(r, refRank), ...
           'int16 data, a %s mask: differs', class(m{1}));
    [d, n, r] = Tamrin(single(whole), 2, m{1});
    assert(sameSingles(d, single(ref)) && sameSingles(n, single(refNoise)) && sameSingles(r, single(refRank)), ...
           'single data, a %s mask: differs', class(m{1}));
  end

  % Everything else is refused with what is accepted.
  accepted = ['data must be a real, full (not sparse) array of class double, single, int8, uint8, int16, ' ...
              'uint16, int32, uint32, int64 or uint64; got a '];
  refused = {data > 0, 'logical';
             repmat('a', [2 2 2 2]), 'char';
             complex(data, data), 'complex double';
             complex(single(data), 1), 'complex single';
             sparse(double(inside(:, :, 1))), 'sparse double';
             sparse(inside(:, :, 1)), 'sparse logical';
             {data}, 'cell';
             struct('data', data), 'struct'};
  for k = 1:rows(refused)
    tamrin_expect_error(@() Tamrin(refused{k, 1}, 1), 'Tamrin:dataType', [accepted refused{k, 2} ' array']);
  end
end

function same = sameSingles(a, b)
% Single arrays of the same size, NaN in the same places and the same bits
% elsewhere.
  same = isequal(size(a), size(b)) && strcmp(class(a), 'single') && strcmp(class(b), 'single') && ...
         isequal(isnan(a), isnan(b)) && isequal(typecast(a(~isnan(a)), 'uint32'), typecast(b(~isnan(b)), 'uint32'));
end
% SPDX-License-Identifier: BSD-3-Clause

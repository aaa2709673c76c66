function tamrin_octave_slabs()
% 'Slabs', K after the mask: the results of Tamrin(data, K), one thread per
% slab, bit for bit, whatever the worker count (then the threads), for
% double, single and integer data, with a mask and the rank map. Bad values
% raise Tamrin:slabs, other names Tamrin:option, a name without a value
% Tamrin:nargin.
  [data, inside] = tamrin_test_series(16, 14, 12, 10, 83);  % s = 3: at most 5 slabs
  small = false(size(inside));
  small(4:12, 3:9, 2:8) = true;
  for type = {'double', 'single', 'int16'}
    x = cast(round(data * 1.37), type{1});
    for k = [1 2 3 7]
      [d, n, r] = Tamrin(x, k);
      [dm, nm, rm] = Tamrin(x, k, small);
      for threads = [1 2 3]
        what = sprintf('%s data, %d slabs, %d threads', type{1}, k, threads);
        [ds, ns, rs] = Tamrin(x, threads, [], 'Slabs', k);
        assert(sameBits(ds, d) && sameBits(ns, n) && sameBits(rs, r), '%s: not the bits of %d workers', what, k);
        [ds, ns, rs] = Tamrin(x, threads, small, 'slabs', k);
        assert(sameBits(ds, dm) && sameBits(ns, nm) && sameBits(rs, rm), '%s, masked: not the bits of %d workers', ...
               what, k);
      end
    end
  end
  % The test should tell the counts apart: one and three workers differ.
  assert(~sameBits(Tamrin(data, 1), Tamrin(data, 3)), 'one and three workers give the same bits here');

  tamrin_expect_error(@() Tamrin(data, 2, [], 'Slabs'), 'Tamrin:nargin', 'then options as name-value pairs');
  tamrin_expect_error(@() Tamrin(data, 2, 'Slabs', 2), 'Tamrin:nargin', ...
                      'got 4 (the mask comes before the options: [] for none)');
  tamrin_expect_error(@() Tamrin(data, 2, [], 'Slabs', 0), 'Tamrin:slabs', ...
                      'Slabs must be a whole number of at least 1 (the number of slabs, which alone sets the results'' bits); got 0');
  tamrin_expect_error(@() Tamrin(data, 2, [], 'Slabs', 1.5), 'Tamrin:slabs', 'got 1.5');
  tamrin_expect_error(@() Tamrin(data, 2, [], 'Slabs', Inf), 'Tamrin:slabs', 'whole number of at least 1');
  tamrin_expect_error(@() Tamrin(data, 2, [], 'Slabs', [1 2]), 'Tamrin:slabs', ...
                      'Slabs must be a real numeric scalar (the number of slabs, at least 1); got a double array with 2 elements');
  tamrin_expect_error(@() Tamrin(data, 2, [], 'Slabs', '2'), 'Tamrin:slabs', 'got a char array');
  tamrin_expect_error(@() Tamrin(data, 2, [], 'Slabs', true), 'Tamrin:slabs', 'got a logical array');
  tamrin_expect_error(@() Tamrin(data, 2, [], 'Slab', 2), 'Tamrin:option', ...
                      'unknown option ''Slab'' (input 4); the option is ''Slabs''');
  tamrin_expect_error(@() Tamrin(data, 2, [], 2, 2), 'Tamrin:option', 'input 4 must be the name of an option');
  tamrin_expect_error(@() Tamrin(data, 2, [], {'Slabs'}, 2), 'Tamrin:option', 'got a cell array');
  % A bad mask is found first.
  tamrin_expect_error(@() Tamrin(data, 2, true(3, 3, 3), 'Slabs', 0), 'Tamrin:mask', 'mask must be 16 x 14 x 12');
end

function same = sameBits(a, b)
  same = strcmp(class(a), class(b)) && isequal(size(a), size(b)) && ...
         isequal(typecast(a(:), 'uint8'), typecast(b(:), 'uint8'));
end
% SPDX-License-Identifier: BSD-3-Clause

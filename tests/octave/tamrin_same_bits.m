function same = tamrin_same_bits(a, b)
% True when a and b have the same size and the same bit pattern in every
% element (NaN matches NaN, 0 does not match -0).
  same = isequal(size(a), size(b)) && isequal(typecast(a(:), 'uint64'), typecast(b(:), 'uint64'));
end
% SPDX-License-Identifier: BSD-3-Clause

function [data, inside] = tamrin_test_series(X, Y, Z, N, seed)
% A small X x Y x Z x N test series: a smooth signal that decays across the
% volumes at a rate that varies over space (low rank across volumes), with
% Gaussian noise of level 3, inside an ellipsoid; exact zeros outside it.
  randn('state', seed);
  [x, y, z] = ndgrid(linspace(-1, 1, X), linspace(-1, 1, Y), linspace(-1, 1, Z));
  inside = x.^2 + y.^2 + z.^2 < 0.85;
  b = reshape(linspace(0, 1, N), 1, 1, 1, N);
  signal = (80 + 20 * x) .* exp(-b .* (1 + 0.5 * y + 0.3 * z));
  data = (signal + 3 * randn(size(signal))) .* inside;
end
% SPDX-License-Identifier: BSD-3-Clause

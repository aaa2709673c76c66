function [noisy, truth, inside, sigma] = tamrin_phantom()
% A 32 x 32 x 20 x 30 series with a known truth: an ellipsoidal object of
% three tissue-like regions whose smooth signals decay over the volumes at
% their own rates, exact zeros outside it, and Gaussian noise of level sigma
% inside it.
  X = 32; Y = 32; Z = 20; N = 30; sigma = 5;
  [x, y, z] = ndgrid(1:X, 1:Y, 1:Z);
  inside = ((x - 16.5) / 13).^2 + ((y - 16.5) / 13).^2 + ((z - 10.5) / 8).^2 < 1;
  left = inside & x < 14;
  core = inside & ((x - 20) / 6).^2 + ((y - 16) / 7).^2 + ((z - 10) / 4).^2 < 1;
  b = reshape(linspace(0, 2.5, N), 1, 1, 1, N);
  rate = 0.3 * inside + 0.5 * left + 0.9 * core;
  level = (100 + 10 * cos(x / 9) + 8 * sin(y / 7)) .* inside;
  level(left) = 0.7 * level(left);
  truth = level .* exp(-b .* rate);
  randn('state', 51);
  noisy = truth + sigma * randn(size(truth)) .* inside;
end
% SPDX-License-Identifier: BSD-3-Clause

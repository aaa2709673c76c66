% TAMRIN  Denoise a 4-D MRI series (X x Y x Z voxels observed in N volumes).
%
%   [denoised, noiseMap] = Tamrin(data, workers)
%   [denoised, noiseMap, rank] = Tamrin(data, workers, mask)
%   [...] = Tamrin(data, workers, mask, 'Slabs', K)
%
%   Every cubic patch of side s (the smallest integer with s^3 >= N) is
%   turned into a matrix of s^3 voxels by N volumes, decomposed into
%   principal components, stripped of the components at the level of the
%   noise, and added, weighted, into the result. Each voxel's result is the
%   weighted average of the reconstructions of all patches that cover it.
%
%   Inputs
%     data      real array, X x Y x Z x N, exactly four dimensions, N >= 2
%               volumes, of class double, single, int8, uint8, int16,
%               uint16, int32, uint32, int64 or uint64 (as niftiread
%               returns it: no need for double(data)). Not sparse, not
%               complex. Voxels outside the object should be exactly 0 (see
%               NaN below). Every class is read where it lies, without a
%               double copy, and each value is used as double(value).
%     workers   number of worker threads: a finite real numeric scalar >= 1.
%               A fraction is truncated (3.9 runs 3 workers). A value above
%               what the series allows (its longest spatial extent divided
%               by s) is lowered to that limit, so a large value is safe.
%               The result does not depend on timing; one worker gives
%               exactly the single-threaded arithmetic, and several workers
%               may differ from it in the last bits.
%     mask      (optional) where to denoise: a logical or real numeric
%               array X x Y x Z on the grid of data, non-zero inside (a
%               brain mask, say), or [] for none. Only patch positions whose
%               patch holds a voxel inside the mask are denoised, so the
%               call takes time in proportion to the masked region. Inside
%               the mask every result is exactly (bit for bit) what the call
%               without a mask returns; outside it all results are NaN,
%               whatever patches reached there.
%     'Slabs', K  (optional, after mask; give [] for no mask) the number of
%               slabs the patch positions are split into along the longest
%               axis: a whole number >= 1, lowered like workers to what the
%               series allows. The results depend on K alone: they are
%               exactly (bit for bit) those of Tamrin(data, K, mask), and
%               workers is then the number of threads, which take positions
%               of any slab as they free up (not limited by the series'
%               extent). A fixed K gives the same bits on every machine, as
%               tamrin denoise --slabs K and tamrin.denoise(..., slabs=K) do.
%               Without it, one thread per slab, workers of them.
%
%   Outputs (single for single data, double for every other class)
%     denoised  X x Y x Z x N: the denoised series (same size as data).
%     noiseMap  X x Y x Z: the local noise level (standard deviation)
%               estimated from the patches covering each voxel.
%     rank      X x Y x Z: the number of signal components kept (the
%               rank, or degrees of freedom, of the denoised signal),
%               averaged over the patches covering each voxel with the
%               weights of the noise map. Computed only when requested.
%
%   Classes
%     The results are computed in double whatever the class of data:
%     Tamrin(x, w) on integer x returns exactly Tamrin(double(x), w), and
%     on single x exactly single(Tamrin(double(x), w)), bit for bit, for
%     every result, NaN where that call has NaN. A single call holds, beside
%     its data, 8 bytes a value while it works (the denoised series is summed
%     in double) and 4 + 4 when it hands the single result over: never the
%     double copy of data that double(x) would add.
%
%   NaN in the outputs marks voxels that no processed patch covered: a patch
%   whose values sum to exactly 0 (exact-zero background) is skipped, and a
%   series thinner than s voxels along any axis has no patch at all. Such
%   voxels, and voxels outside the mask, are NaN in every output, for every
%   volume.
%
%   Messages
%     "no convergence in 30 svdcmp iterations"
%         a patch could not be decomposed, for example because it contains
%         NaN or Inf. One line per such patch; the call still completes,
%         and the values near those voxels are not meaningful.
%     "svdcmp(): Unable to allocate vector"
%         the decomposition of a patch found no memory; the call then
%         fails with Tamrin:outOfMemory.
%   The messages of a call are printed when it finishes.
%
%   Errors (identifiers)
%     Tamrin:nargin, Tamrin:nargout    wrong number of inputs or outputs
%     Tamrin:dataType                  data not a real, full numeric array
%                                      (logical, char, complex, sparse, cell,
%                                      struct, ...)
%     Tamrin:dataDims                  data not X x Y x Z x N, empty, or an
%                                      extent above 2147483647
%     Tamrin:volumes                   fewer than 2 volumes
%     Tamrin:workers                   workers not a finite scalar >= 1
%     Tamrin:slabs                     the value of 'Slabs' not a whole
%                                      number >= 1
%     Tamrin:option                    an option other than 'Slabs'
%     Tamrin:mask                      mask not X x Y x Z (the grid of data),
%                                      not logical or real numeric, holding
%                                      NaN, or empty (every value 0)
%     Tamrin:outOfMemory               not enough memory to denoise: at once,
%                                      before anything is created, when the
%                                      call needs more than the session may
%                                      use (available memory, its cgroup's
%                                      limit, RLIMIT_DATA, RLIMIT_AS; the
%                                      message gives both figures and the
%                                      worker count that would fit), or when
%                                      memory runs out during the call.
%                                      setenv('TAMRIN_NO_MEMORY_CHECK', '1')
%                                      skips the check.
%     Tamrin:failed                    any other failure of the denoiser
%
%   Example
%     [x, y, z] = ndgrid(1:32, 1:32, 1:20);
%     inside = (x - 16.5).^2 + (y - 16.5).^2 + (z - 10.5).^2 * 4 < 12^2;
%     b = reshape(linspace(0, 2, 30), 1, 1, 1, 30);
%     truth = 100 * exp(-b .* (0.5 + 0.5 * (x > 16))) .* inside;
%     noisy = truth + 5 * randn(size(truth)) .* inside;
%     [denoised, noiseMap] = Tamrin(noisy, 4);
%     median(noiseMap(inside))          % close to 5
%     [denoised, noiseMap, rank] = Tamrin(noisy, 4, inside);
%     median(rank(inside))              % the components kept: few
%     d16 = Tamrin(int16(noisy), 4);    % double results, as for double(int16(noisy))
%     d32 = Tamrin(single(noisy), 4);   % single results, half the memory
%     d1 = Tamrin(noisy, 4, [], 'Slabs', 1);  % the bits of Tamrin(noisy, 1), on 4 threads
%
%   Build: run build_tamrin in this folder, or build the project with CMake
%   and addpath('<build>/matlab').

% This file holds the help text; the function itself is the compiled MEX file
% of the same name, which the host prefers over this file.
error('Tamrin:notBuilt', 'Tamrin has not been compiled: run build_tamrin, or build the project and addpath its matlab folder');
% SPDX-License-Identifier: BSD-3-Clause

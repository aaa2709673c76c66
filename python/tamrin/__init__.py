# SPDX-License-Identifier: BSD-3-Clause
"""Tamrin: patch-PCA denoising of 4-D MRI series, for numpy arrays.

``tamrin.denoise(data)`` denoises an X x Y x Z x N series (N volumes of an
X x Y x Z grid, for example a diffusion-weighted scan as nibabel loads it)
and returns the denoised series and a map of the local noise level. The work
runs on several threads in native code, with the same results as the
``tamrin denoise`` command and the ``Tamrin`` MEX function.

``tamrin.nipype.Denoise`` is a nipype interface for NIfTI files; it runs the
``tamrin denoise`` command, which pip installs with this package.
"""

import math
import operator
import os
import warnings

import numpy as np

from . import _tamrin
from ._tamrin import __version__

__all__ = ["denoise", "__version__"]

_INT32_MAX = 2**31 - 1


def denoise(data, workers=None, *, mask=None, return_rank=False, progress=False, non_finite="keep",
            uncovered="nan", slabs=None):
    """Denoise a 4-D series by PCA of overlapping cubic patches.

    Every cubic patch of side s (the smallest integer whose cube is at least
    N) is decomposed into principal components across the volumes; the
    noise level of the patch is estimated from its singular values, the
    components that do not rise above the noise are discarded, and the
    rebuilt patches are averaged where they overlap, weighted by how few
    components they kept.

    Parameters
    ----------
    data : array_like, shape (X, Y, Z, N)
        The series: N >= 2 volumes of an X x Y x Z grid, real numbers.
        float64 and float32 arrays in Fortran order (x fastest, then y, z and
        the volume: what nibabel returns for NIfTI data, memory-mapped
        arrays included) are read where they lie, without a copy. Other
        memory orders and strides, other byte orders and integer or other
        floating types are converted once, to float64 in Fortran order
        (float32 stays float32), which takes that much memory for the call.
        float32 values give exactly the results of the same values given as
        float64.
    workers : int, optional
        Number of worker threads; None (the default) uses every processor
        (``os.cpu_count()``).
    mask : array_like, shape (X, Y, Z), optional
        A brain mask on the grid of data: non-zero inside, 0 outside, of any
        real numeric or boolean type (NaN is refused; trailing extents of 1,
        as in an X x Y x Z x 1 image, are allowed). Only patch positions
        whose patch holds a voxel inside are denoised, so the call takes
        time in proportion to the region. Inside the mask every result is
        bit for bit that of the call without it; outside, every result is
        NaN. It is converted once to bytes (X * Y * Z of them).
    return_rank : bool, optional
        Also return the rank map (default False). Asking for it changes no
        bit of the other results.
    progress : bool or callable, optional
        True draws a progress bar (tqdm) on stderr; a callable is called
        about ten times a second as ``progress(done, total)`` with the
        patch positions finished so far and their total, and once at the
        end with ``done == total``. An exception it raises stops the call and
        is raised from it.
    non_finite : {"keep", "uncover"}, optional
        NaN and infinities in data: "keep" (the default) lets them enter the
        arithmetic, so every patch over one of them gives NaN; "uncover"
        reads them as 0 and leaves the voxels holding one (in any volume)
        without an estimate of their own, as uncovered voxels are, with a
        RuntimeWarning that counts them. data itself is never written.
    uncovered : {"nan", "input", "zero"}, optional
        What voxels without an estimate receive (see Notes): "nan" (the
        default) leaves NaN in every result; "input" puts the input's value
        into the denoised series (each value that is not finite is replaced)
        and 0 into the noise and rank maps; "zero" puts 0 everywhere.
        ``non_finite="uncover", uncovered="input"`` gives the results of the
        ``tamrin denoise`` command with its defaults (``--datatype float64``
        for its exact doubles).
    slabs : int, optional
        The slabs the patch positions are split into along the longest
        axis (at most its extent divided by the patch side). The results
        depend on this count alone, whatever ``workers`` is: the same
        ``slabs`` gives the same bits on every machine. None (the default)
        takes as many slabs as workers.

    Returns
    -------
    denoised : numpy.ndarray of float64, shape (X, Y, Z, N), Fortran order
        The denoised series.
    noise_map : numpy.ndarray of float64, shape (X, Y, Z), Fortran order
        The local noise level, a standard deviation in the units of the data.
    rank : numpy.ndarray of float64, shape (X, Y, Z), Fortran order
        Only with ``return_rank=True``: the number of components kept (the
        rank of the denoised signal, the degrees of freedom it removed),
        averaged over the patches covering each voxel with the weights of
        the noise map; about 0 in pure noise, NaN where the noise map is.

    Raises
    ------
    ValueError
        When data does not have four dimensions, an extent is 0 or above
        2**31 - 1, N < 2, or workers < 1; when mask is not X x Y x Z (the grid
        of data), holds NaN or has no voxel inside.
    TypeError
        When data or mask is complex, of objects, strings or other
        non-numeric values, data is boolean, or workers is not an integer.
    MemoryError
        Before any work, when the call needs more memory than this process
        may use: the machine's available memory, its cgroup's limit (a
        batch job's memory request), RLIMIT_DATA or RLIMIT_AS (the message
        gives what it needs, what the binding limit leaves, and the worker
        count that would fit, if any). Setting the environment variable
        ``TAMRIN_NO_MEMORY_CHECK=1`` skips that check. Also when the results
        or the working memory cannot be obtained after all.
    KeyboardInterrupt
        On Ctrl-C (SIGINT) while the workers run: they stop within a
        fraction of a second, everything the call obtained is released and
        the next call is unaffected.

    Warns
    -----
    RuntimeWarning
        When a patch could not be decomposed (NaN or infinities in the data
        make the patches that contain them NaN), with the number of times;
        with ``non_finite="uncover"``, when data holds NaN or infinities;
        and when covered voxels came out without a finite estimate.

    Notes
    -----
    Uncovered voxels: the results are NaN where no processed patch
    reached, unless ``uncovered`` says otherwise. Patches whose values sum
    to exactly 0 (an exact-zero background, as masked data has) are
    skipped, a series thinner than a patch along some axis has no patch
    there at all, and voxels outside ``mask`` are left out whatever patches
    reach them.

    Reproducibility: the results depend only on the data and on the number
    of slabs actually used (``slabs``, or by default ``workers``), never on
    timing, the thread count or the machine's instruction set; the same
    call gives the same bits on every run. One slab gives exactly the
    single-threaded arithmetic; other counts differ from it only in the
    order in which overlapping patches are added (relative differences
    around 1e-15). The results are those of
    ``tamrin denoise IN OUT --datatype float64 --uncovered nan`` (for data
    without NaN or infinities) and of the MEX function
    ``Tamrin(data, workers)`` with the same worker count (with a mask:
    ``tamrin denoise --mask``, ``Tamrin(data, workers, mask)``).

    Threads: the interpreter lock is released while the workers run, so
    other Python threads go on; calls made from several threads at once run
    at the same time, each with its own workers and its own warnings.

    Examples
    --------
    >>> import nibabel as nib
    >>> import tamrin
    >>> image = nib.load("dwi.nii.gz")
    >>> denoised, noise_map = tamrin.denoise(image.dataobj, progress=True)
    >>> brain = nib.load("brain_mask.nii.gz").dataobj
    >>> denoised, noise_map, rank = tamrin.denoise(image.dataobj, mask=brain, return_rank=True)
    """
    if non_finite not in ("keep", "uncover"):
        raise ValueError(f'non_finite must be "keep" or "uncover"; got {non_finite!r}')
    if uncovered not in ("nan", "input", "zero"):
        raise ValueError(f'uncovered must be "nan", "input" or "zero"; got {uncovered!r}')
    requested = _worker_count(workers)
    fixed_slabs = None if slabs is None else _count(slabs, "slabs", "the slabs of the series")
    if not isinstance(data, np.ndarray) and _looks_like_series(data):
        # An array proxy (nibabel's dataobj) is read by np.asarray: its
        # values, scaled, take up to 8 bytes each.
        _check_memory(tuple(data.shape), requested, fixed_slabs, mask, return_rank,
                      8 * math.prod(data.shape))
    array = _series_input(data)
    X, Y, Z, N = array.shape
    target = np.dtype(np.float32) if array.dtype == np.float32 else np.dtype(np.float64)
    ready = (array.dtype == target and array.dtype.isnative and array.flags.f_contiguous
             and array.flags.aligned)
    _check_memory(array.shape, requested, fixed_slabs, mask, return_rank,
                  0 if ready else array.size * target.itemsize)
    series = array if ready else _converted(array, target)
    del array
    inside = None if mask is None else _mask_array(mask, (X, Y, Z))
    try:
        denoised = np.empty((X, Y, Z, N), order="F")
        noise_map = np.empty((X, Y, Z), order="F")
        weight = np.empty((X, Y, Z), order="F")
        rank = np.empty((X, Y, Z), order="F") if return_rank else None
    except MemoryError:
        needed = 8 * X * Y * Z * (N + 2 + bool(return_rank))
        raise MemoryError(
            f"not enough memory for the results ({needed / 2**20:.1f} MiB)") from None

    bar = None
    if callable(progress):
        report = progress
    elif progress:
        bar = _progress_bar(_tamrin.patch_positions(X, Y, Z, N))
        report = lambda done, total: bar.update(done - bar.n)  # noqa: E731
    else:
        report = None
    try:
        messages, found = _tamrin.denoise_into(series, requested, denoised, noise_map, weight, report,
                                               mask=inside, rank=rank, non_finite=non_finite,
                                               uncovered=uncovered,
                                               slabs=requested if fixed_slabs is None else fixed_slabs)
    finally:
        if bar is not None:
            bar.close()
    _warn(messages)
    _warn_found(found, series.shape, uncovered)
    return (denoised, noise_map, rank) if return_rank else (denoised, noise_map)


def _looks_like_series(data):
    """Whether data tells a 4-D shape of positive extents without being read."""
    shape = getattr(data, "shape", None)
    try:
        return len(shape) == 4 and all(operator.index(extent) >= 1 for extent in shape)
    except TypeError:
        return False


def _check_memory(shape, workers, slabs, mask, return_rank, extra):
    """Raises MemoryError, before anything large is obtained, when the call
    cannot fit in the memory this process may use; ``extra`` bytes are
    obtained besides the results and the working memory. ``slabs``: None for
    as many as workers."""
    X, Y, Z, N = shape
    if max(shape) > _INT32_MAX:
        return
    if mask is not None:
        # The mask's conversion to bytes and its temporaries.
        extra += 16 * X * Y * Z
    refusal = _tamrin.memory_check(X, Y, Z, N, workers, bool(return_rank), mask is not None,
                                   min(extra, 2**63 - 1), 0 if slabs is None else slabs)
    if refusal is None:
        return
    figures, fitting = refusal
    remedy = (f"with workers={fitting} it fits" if fitting > 0
              else "fewer workers would not be enough")
    raise MemoryError(f"not enough memory for tamrin.denoise: {figures}; {remedy}; "
                      "setting the environment variable TAMRIN_NO_MEMORY_CHECK=1 runs it anyway")


def _series_input(data):
    """The series as an array, checked; not yet converted."""
    array = np.asarray(data)
    kind = array.dtype.kind
    if kind == "c":
        raise TypeError(f"data must be real; got a complex array ({array.dtype})")
    if kind not in "fiu":
        raise TypeError(f"data must be an array of real numbers; got dtype {array.dtype}")
    problem = _tamrin.check_series(array.shape)
    if problem is not None:
        reason, axis, value = problem
        if reason == "dimensions":
            hint = " (a single volume: at least 2 volumes are needed)" if value == 3 else ""
            raise ValueError(
                "data must have exactly four dimensions, X x Y x Z x N (N volumes of an "
                f"X x Y x Z grid); got {value} dimensions, shape {array.shape}{hint}")
        if reason == "empty":
            raise ValueError(
                f"data must not be empty: X, Y and Z must be at least 1; shape {array.shape}")
        if reason == "volumes":
            raise ValueError(
                f"data must hold at least 2 volumes (its 4th extent N); N is {value}")
        if reason == "extent":
            raise ValueError(f"each extent of data must be at most {_INT32_MAX}; shape {array.shape}")
        raise ValueError(f"data holds more values than can be addressed; shape {array.shape}")
    return array


def _converted(array, target):
    """The series converted once, to ``target`` in Fortran order."""
    try:
        return np.asfortranarray(array, dtype=target)
    except MemoryError:
        raise MemoryError(
            f"not enough memory to convert data to {target} in Fortran order "
            f"({array.size * target.itemsize / 2**20:.1f} MiB)") from None


def _mask_array(mask, grid):
    """The mask as X * Y * Z bytes in Fortran order, 1 inside (non-zero) and 0 outside."""
    array = np.asarray(mask)
    kind = array.dtype.kind
    X, Y, Z = grid
    expected = f"mask must be {X} x {Y} x {Z}, the grid of data (3-D)"
    if kind == "c":
        raise TypeError(f"mask must be real; got a complex array ({array.dtype})")
    if kind not in "biuf":
        raise TypeError(f"mask must be an array of booleans or real numbers; got dtype {array.dtype}")
    if array.ndim < 3:
        raise ValueError(f"{expected}; got {array.ndim} dimensions, shape {array.shape}")
    # The core reads booleans, integers, float32 and float64 in native byte
    # order; other floating types are converted to float64 first.
    if kind == "f" and array.dtype.itemsize not in (4, 8):
        array = array.astype(np.float64)
    inside, reason, at = _tamrin.mask_bytes(np.asfortranarray(array, dtype=array.dtype.newbyteorder("=")), grid)
    if reason == "shape":
        if any(extent != 1 for extent in array.shape[3:]):
            raise ValueError(f"{expected}; got {array.ndim} dimensions, shape {array.shape}")
        raise ValueError(f"{expected}; got shape {array.shape}")
    if reason == "nan":
        x, y, z = np.unravel_index(at, grid, order="F")
        raise ValueError(f"mask holds NaN (the first at x {x}, y {y}, z {z}, from 0); "
                         "use 0 outside and non-zero values inside")
    if reason == "empty":
        raise ValueError("mask holds no voxel inside (every value is 0), so there is nothing to denoise")
    return inside


def _worker_count(workers):
    """The requested worker count as an int from 1 to 2**31 - 1."""
    if workers is None:
        return max(1, min(os.cpu_count() or 1, _INT32_MAX))
    return _count(workers, "workers", "the number of worker threads")


def _count(value, name, what):
    """A count argument as an int from 1 to 2**31 - 1."""
    if isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be an integer ({what}), not a bool")
    try:
        count = operator.index(value)
    except TypeError:
        raise TypeError(f"{name} must be an integer ({what}); got {type(value).__name__}") from None
    if count < 1:
        raise ValueError(f"{name} must be at least 1 ({what}); got {count}")
    return min(count, _INT32_MAX)


def _progress_bar(total):
    try:
        from tqdm import tqdm
    except ImportError:
        raise ImportError("progress=True needs tqdm (Debian: python3-tqdm); "
                          "pass a callable taking (done, total) instead") from None
    return tqdm(total=total, unit="patch", unit_scale=True, desc="tamrin")


def _warn_found(found, shape, uncovered):
    """Issues the warnings of what the run found: NaN and infinities set aside, broken estimates."""
    if found["non_finite_values"] > 0:
        X, Y, Z, _ = shape
        at = found["first_non_finite"]
        where = f"x {at % X}, y {at // X % Y}, z {at // (X * Y) % Z}, volume {at // (X * Y * Z)}"
        warnings.warn(f"tamrin: {found['non_finite_values']} values are NaN or infinite (the first at "
                      f"{where}); they are denoised as 0, and the {found['non_finite_voxels']} voxels "
                      f"holding them receive the uncovered treatment ({uncovered})",
                      RuntimeWarning, stacklevel=3)
    if found["broken_voxels"] > 0:
        warnings.warn(f"tamrin: {found['broken_voxels']} voxels covered by patches have no estimate "
                      f"(the decomposition of a patch over them gave NaN); they received the "
                      f"uncovered treatment ({uncovered})", RuntimeWarning, stacklevel=3)


def _warn(messages):
    """Issues the core's messages as warnings, each distinct run once with its count."""
    for text, count in messages:
        if not text:
            text = "further messages were lost for want of memory"
        times = f" ({count} times)" if count > 1 else ""
        warnings.warn(f"tamrin: {text.strip()}{times}", RuntimeWarning, stacklevel=3)

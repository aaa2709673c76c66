# SPDX-License-Identifier: BSD-3-Clause
"""tamrin.denoise with a mask and the rank map: the bits of the unmasked call
inside the mask, NaN outside, the same bits as the command's --mask and
--rank and as the MEX function's third argument and output, and every bad
mask refused."""

import shutil
import subprocess

import nibabel as nib
import numpy as np
import pytest

import tamrin

from conftest import BUILD, assert_same_bits, bits, command_outputs


def noise_everywhere(shape, seed=5):
    return np.asfortranarray(np.random.default_rng(seed).normal(100.0, 10.0, shape))


def masks(grid):
    """Masks on a grid, in the forms a caller may give them: the values
    differ, the voxels inside are the same for every form of one mask."""
    X, Y, Z = grid
    x, y, z = np.ogrid[:X, :Y, :Z]
    ellipsoid = ((x - X / 2) / (X / 3)) ** 2 + ((y - Y / 2) / (Y / 3)) ** 2 \
        + ((z - Z / 2) / (Z / 3)) ** 2 <= 1
    edges = np.zeros(grid, dtype=bool)
    edges[:3, :4, -2:] = True  # a corner of the grid
    edges[-1, :, 0] = True  # a row along the last x plane
    one = np.zeros(grid, dtype=bool)
    one[X // 2, Y // 3, Z - 1] = True
    return {
        "ellipsoid, bool": (ellipsoid, ellipsoid),
        "ellipsoid, float32 of 3s in C order": (ellipsoid,
                                                np.ascontiguousarray(3 * ellipsoid, np.float32)),
        "edges, uint8 of 255s": (edges, 255 * edges.astype(np.uint8)),
        "edges, int16 of -1s, X x Y x Z x 1": (edges, -edges.astype(np.int16)[..., None]),
        "one voxel, float64 infinity": (one, np.where(one, np.inf, 0.0)),
    }


@pytest.mark.parametrize("workers", [1, 3])
def test_inside_the_mask_the_unmasked_bits_outside_nan(phantom_data, workers):
    # An exact-zero background (uncovered without a mask too) and noise in
    # every voxel (all covered without a mask).
    for data in (phantom_data, noise_everywhere((21, 18, 15, 10))):
        grid = data.shape[:3]
        plain = tamrin.denoise(data, workers, return_rank=True)
        assert_same_bits(tamrin.denoise(data, workers)[0], plain[0])  # the rank changes nothing
        for name, (inside, mask) in masks(grid).items():
            masked = tamrin.denoise(data, workers, mask=mask, return_rank=True)
            for got, expected in zip(masked, plain):
                assert np.array_equal(bits(got[inside]), bits(expected[inside])), name
                assert np.isnan(got[~inside]).all(), name
        assert np.nanmax(plain[2]) <= data.shape[3] and np.nanmin(plain[2]) >= 0


def mask_file(phantom, inside, folder):
    path = folder / "mask.nii"
    nib.Nifti1Image(inside.astype(np.uint8), nib.load(phantom).affine).to_filename(path)
    return path


@pytest.mark.parametrize("workers", [1, 3])
def test_mask_and_rank_give_the_bits_of_the_command(phantom, phantom_data, tmp_path, workers):
    inside = masks(phantom_data.shape[:3])["ellipsoid, bool"][0]
    path = mask_file(phantom, inside, tmp_path)
    for mask, file in ((None, None), (inside, path)):
        got = tamrin.denoise(phantom_data, workers, mask=mask, return_rank=True)
        expected = command_outputs(phantom, tmp_path, workers, "float64", "nan", mask=file, rank=True)
        for result, want in zip(got, expected):
            assert_same_bits(result, want)
            assert result.flags.f_contiguous


def test_mask_and_rank_give_the_bits_of_the_mex_function(phantom_data, tmp_path):
    octave = shutil.which("octave-cli")
    module_dir = BUILD / "matlab"
    if octave is None or not (module_dir / "Tamrin.mex").is_file():
        pytest.skip("octave-cli or the Octave module (build/matlab/Tamrin.mex) is missing")
    data = phantom_data.astype(np.float64)
    X, Y, Z, N = data.shape
    inside = masks((X, Y, Z))["ellipsoid, bool"][0]
    data.ravel(order="F").tofile(tmp_path / "in.bin")
    inside.astype(np.uint8).ravel(order="F").tofile(tmp_path / "mask.bin")
    script = (
        f"addpath('{module_dir}'); f = fopen('{tmp_path}/in.bin'); "
        f"d = reshape(fread(f, Inf, 'double'), [{X} {Y} {Z} {N}]); fclose(f); "
        f"f = fopen('{tmp_path}/mask.bin'); m = logical(reshape(fread(f, Inf, 'uint8'), "
        f"[{X} {Y} {Z}])); fclose(f); "
        "for w = [1 3]; [a, n, r] = Tamrin(d, w, m); "
        f"f = fopen(sprintf('{tmp_path}/out%d.bin', w), 'w'); "
        "fwrite(f, a, 'double'); fwrite(f, n, 'double'); fwrite(f, r, 'double'); fclose(f); end")
    subprocess.run([octave, "--no-gui", "--norc", "--no-history", "-q", "--eval", script],
                   check=True, capture_output=True, timeout=300)
    for workers in (1, 3):
        raw = np.fromfile(tmp_path / f"out{workers}.bin", dtype=np.float64)
        voxels = X * Y * Z
        expected = (raw[:data.size].reshape(data.shape, order="F"),
                    raw[data.size:data.size + voxels].reshape((X, Y, Z), order="F"),
                    raw[data.size + voxels:].reshape((X, Y, Z), order="F"))
        got = tamrin.denoise(data, workers, mask=inside, return_rank=True)
        for result, want in zip(got, expected):
            assert_same_bits(result, want)
        assert np.isnan(got[2]).any() and (got[2] > 0).any()


GRID = (6, 6, 6)
SERIES = np.ones(GRID + (3,), order="F")


def with_nan():
    mask = np.ones(GRID, dtype=np.float32)
    mask[4, 1, 2] = np.nan
    return mask


@pytest.mark.parametrize("mask, error, message", [
    (np.ones((6, 6, 5)), ValueError, r"mask must be 6 x 6 x 6, the grid of data \(3-D\); "
                                     r"got shape \(6, 6, 5\)"),
    (np.ones((6, 6)), ValueError, r"6 x 6 x 6, the grid of data \(3-D\); got 2 dimensions"),
    (np.ones((6, 6, 6, 2)), ValueError, r"got 4 dimensions, shape \(6, 6, 6, 2\)"),
    (np.zeros(GRID), ValueError, r"no voxel inside \(every value is 0\), so there is nothing"),
    (np.zeros(GRID, dtype=bool), ValueError, r"no voxel inside"),
    (with_nan(), ValueError, r"mask holds NaN \(the first at x 4, y 1, z 2, from 0\)"),
    (np.ones(GRID, dtype=np.complex64), TypeError, r"mask must be real; got a complex array"),
    (np.ones(GRID, dtype=object), TypeError, r"booleans or real numbers; got dtype object"),
    (np.full(GRID, "1"), TypeError, r"booleans or real numbers; got dtype <U1"),
])
def test_bad_masks_are_refused(mask, error, message):
    with pytest.raises(error, match=message):
        tamrin.denoise(SERIES, 1, mask=mask)

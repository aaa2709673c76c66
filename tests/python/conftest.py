# SPDX-License-Identifier: BSD-3-Clause
"""Shared fixtures of the Python module's tests.

The module under test is the installed one (scripts/test installs it into a
venv under the build folder); the build folder named by TAMRIN_BUILD_DIR
(default: build) provides the command, the phantom maker and the Octave
module the results are compared with.
"""

import os
import subprocess
from pathlib import Path

import nibabel as nib
import numpy as np
import pytest

os.environ.setdefault("NIPYPE_NO_ET", "1")  # no network look-up when nipype is imported

REPOSITORY = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TAMRIN_BUILD_DIR", REPOSITORY / "build")).resolve()


def tool(name):
    """Path of a program built in the build folder; skips the test when it is missing."""
    path = BUILD / "cli" / name
    if not os.access(path, os.X_OK):
        pytest.skip(f"{path} is not built")
    return path


def command_files(source, folder, workers, datatype, uncovered, mask=None, rank=False,
                  extension=".nii"):
    """Runs tamrin denoise with the given options; returns the paths of its
    outputs (the denoised series, the noise map and, with rank, the rank map)."""
    names = ["out", "noise", "rank"] if rank else ["out", "noise"]
    paths = [folder / f"command_{name}{workers}{extension}" for name in names]
    command = [tool("tamrin"), "denoise", source, paths[0], "--noise-map", paths[1],
               "--workers", str(workers), "--datatype", datatype, "--uncovered", uncovered,
               "--force", "--quiet"]
    command += ["--rank", paths[2]] if rank else []
    command += ["--mask", mask] if mask is not None else []
    subprocess.run(command, check=True, capture_output=True)
    return paths


def command_outputs(source, folder, workers, datatype, uncovered, mask=None, rank=False):
    """The values, as stored, of command_files' outputs."""
    return tuple(np.asanyarray(nib.load(path).dataobj)
                 for path in command_files(source, folder, workers, datatype, uncovered, mask, rank))


def bits(array):
    """The values' bit patterns, so that NaN compares equal to the same NaN."""
    array = np.asarray(array)
    return array.view(np.uint64 if array.dtype == np.float64 else np.uint32)


def assert_same_bits(actual, expected):
    assert actual.shape == expected.shape and actual.dtype == expected.dtype
    assert np.array_equal(bits(actual), bits(expected))


@pytest.fixture(scope="session")
def phantom(tmp_path_factory):
    """A small brain-like series with an exact-zero background (float32 NIfTI),
    32 x 28 x 16 voxels and 12 volumes: patches of side 3, at most 10 workers
    along x, uncovered voxels outside the head."""
    folder = tmp_path_factory.mktemp("phantom")
    truth, noisy = folder / "truth.nii", folder / "noisy.nii"
    subprocess.run([tool("tamrin-make-phantom"), truth, noisy, "--size", "32x28x16x12",
                    "--seed", "7"], check=True, capture_output=True)
    return noisy


@pytest.fixture(scope="session")
def phantom_data(phantom):
    """The phantom's values as a Fortran-ordered float32 array (nibabel's own)."""
    data = np.asanyarray(nib.load(phantom).dataobj)
    assert data.dtype == np.float32 and data.flags.f_contiguous
    return np.array(data, order="F")

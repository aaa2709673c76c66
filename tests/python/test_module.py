# SPDX-License-Identifier: BSD-3-Clause
"""tamrin.denoise against the command and the MEX function, and its handling
of layouts, types, progress, messages, threads and invalid arguments."""

import os
import re
import shutil
import subprocess
import threading

import nibabel as nib
import numpy as np
import pytest

import tamrin
from tamrin import _tamrin

from conftest import BUILD, assert_same_bits, bits, command_outputs, tool


def noisy_series(shape, seed=1):
    """Noise around 100 in every voxel (every patch denoised), float64, Fortran order."""
    return np.asfortranarray(np.random.default_rng(seed).normal(100.0, 10.0, shape))


def as_doubles_off_the_float_grid(data):
    """The phantom in float64 with values float32 cannot hold; the zero background stays 0."""
    doubles = data.astype(np.float64)
    doubles[doubles != 0] += 0.1
    return doubles


@pytest.mark.parametrize("workers", [1, 3])
def test_same_bits_as_the_command(phantom, phantom_data, tmp_path, workers):
    # The float32 file is denoised where it lies by the command; the float64
    # file is loaded. Both must give what the module gives.
    doubles = as_doubles_off_the_float_grid(phantom_data)
    doubles_file = tmp_path / "doubles.nii"
    nib.Nifti1Image(doubles, nib.load(phantom).affine).to_filename(doubles_file)
    for source, data in ((phantom, phantom_data), (doubles_file, doubles)):
        denoised, noise_map = tamrin.denoise(data, workers)
        expected_denoised, expected_noise = command_outputs(source, tmp_path, workers,
                                                            "float64", "nan")
        assert_same_bits(denoised, expected_denoised)
        assert_same_bits(noise_map, expected_noise)
        assert denoised.flags.f_contiguous and noise_map.flags.f_contiguous
        # The exact-zero background is uncovered: NaN, as the command's --uncovered nan.
        assert 0 < np.isnan(noise_map).sum() < noise_map.size


@pytest.mark.parametrize("uncovered", ["input", "nan", "zero"])
def test_non_finite_values_and_uncovered_voxels_as_the_command(phantom, phantom_data, tmp_path,
                                                               uncovered):
    # NaN and infinities inside the head and in the background: the command
    # reads them as 0 and gives their voxels the --uncovered treatment.
    data = phantom_data.copy()
    data[16, 14, 8, 3] = np.nan
    data[10, 9, 5, :] = np.inf
    data[0, 0, 0, 0] = -np.inf
    source = tmp_path / "odd.nii"
    nib.Nifti1Image(data, nib.load(phantom).affine).to_filename(source)
    data.setflags(write=False)
    before = data.tobytes()
    with pytest.warns(RuntimeWarning, match=r"^tamrin: 14 values are NaN or infinite \(the first at "
                                            r"x 0, y 0, z 0, volume 0\); they are denoised as 0, "
                                            r"and the 3 voxels"):
        got = tamrin.denoise(data, 3, return_rank=True, non_finite="uncover", uncovered=uncovered)
    assert data.tobytes() == before
    expected = command_outputs(source, tmp_path, 3, "float64", uncovered, rank=True)
    for result, want in zip(got, expected):
        assert_same_bits(result, want)
    assert np.isnan(got[1][10, 9, 5]) == (uncovered == "nan")


def test_slabs_give_the_bits_of_as_many_workers_whatever_the_threads(phantom_data):
    expected = {k: tamrin.denoise(phantom_data, k, return_rank=True) for k in (1, 3)}
    for slabs in (1, 3):
        for workers in (1, 2, 5):
            got = tamrin.denoise(phantom_data, workers, slabs=slabs, return_rank=True)
            for result, want in zip(got, expected[slabs]):
                assert_same_bits(result, want)
    with pytest.raises(ValueError, match=r"slabs must be at least 1 \(the slabs of the series\); got 0"):
        tamrin.denoise(phantom_data, 2, slabs=0)


def test_same_bits_as_the_mex_function(phantom_data, tmp_path):
    octave = shutil.which("octave-cli")
    module_dir = BUILD / "matlab"
    if octave is None or not (module_dir / "Tamrin.mex").is_file():
        pytest.skip("octave-cli or the Octave module (build/matlab/Tamrin.mex) is missing")
    data = as_doubles_off_the_float_grid(phantom_data)
    X, Y, Z, N = data.shape
    data.ravel(order="F").tofile(tmp_path / "in.bin")
    script = (
        f"addpath('{module_dir}'); f = fopen('{tmp_path}/in.bin'); "
        f"d = reshape(fread(f, Inf, 'double'), [{X} {Y} {Z} {N}]); fclose(f); "
        "for w = [1 3]; [a, n] = Tamrin(d, w); "
        f"f = fopen(sprintf('{tmp_path}/out%d.bin', w), 'w'); "
        "fwrite(f, a, 'double'); fwrite(f, n, 'double'); fclose(f); end")
    subprocess.run([octave, "--no-gui", "--norc", "--no-history", "-q", "--eval", script],
                   check=True, capture_output=True, timeout=300)
    for workers in (1, 3):
        raw = np.fromfile(tmp_path / f"out{workers}.bin", dtype=np.float64)
        expected_denoised = raw[:data.size].reshape(data.shape, order="F")
        expected_noise = raw[data.size:].reshape(data.shape[:3], order="F")
        denoised, noise_map = tamrin.denoise(data, workers)
        assert_same_bits(denoised, expected_denoised)
        assert_same_bits(noise_map, expected_noise)
        assert np.isnan(noise_map).any()


def test_single_precision_gives_the_bits_of_its_doubles(phantom_data):
    for workers in (1, 3):
        from_floats = tamrin.denoise(phantom_data, workers)
        from_doubles = tamrin.denoise(phantom_data.astype(np.float64), workers)
        for got, expected in zip(from_floats, from_doubles):
            assert got.dtype == np.float64
            assert_same_bits(got, expected)


def test_every_layout_and_type_gives_the_same_bits():
    reference = np.clip(np.round(noisy_series((14, 12, 10, 9), seed=4)), 0, 255)
    expected = tamrin.denoise(reference, 2)
    wide = np.zeros((28, 12, 10, 9), order="F")
    wide[::2] = reference
    layouts = {
        "C order": np.ascontiguousarray(reference),
        "strided view": wide[::2],
        "big-endian": reference.astype(">f8"),
        "int16": reference.astype(np.int16),
        "uint8": reference.astype(np.uint8),
        "float32 C order big-endian": np.ascontiguousarray(reference.astype(">f4")),
        "nested lists": reference.tolist(),
    }
    for name, data in layouts.items():
        got = tamrin.denoise(data, 2)
        for result, want in zip(got, expected):
            assert np.array_equal(bits(result), bits(want)), name


def test_progress_callable_sees_every_position_and_can_stop_the_call():
    data = noisy_series((24, 20, 16, 8))
    seen = []
    expected = tamrin.denoise(data, 2)
    got = tamrin.denoise(data, 2, progress=lambda done, total: seen.append((done, total)))
    total = _tamrin.patch_positions(*data.shape)
    assert seen[-1] == (total, total)
    assert all(a[0] <= b[0] and a[1] == total for a, b in zip(seen, seen[1:]))
    assert_same_bits(got[0], expected[0])

    class Stop(Exception):
        pass

    def stop(done, total):
        raise Stop(done)

    with pytest.raises(Stop):
        tamrin.denoise(data, 2, progress=stop)
    # A call from inside the progress callable is a call of its own.
    inner = []
    got = tamrin.denoise(data, 2, progress=lambda done, total: inner or inner.append(tamrin.denoise(data, 1)))
    assert_same_bits(got[0], expected[0])
    assert_same_bits(inner[0][0], tamrin.denoise(data, 1)[0])


def test_progress_bar(capsys):
    data = noisy_series((12, 12, 10, 8))
    tamrin.denoise(data, 1, progress=True)
    assert re.search(r"tamrin: 100%\|", capsys.readouterr().err)


def test_decomposition_messages_become_one_warning_with_a_count():
    data = noisy_series((20, 18, 16, 12))
    data[10, 9, 8, 3] = np.nan
    message = r"^tamrin: no convergence in 30 svdcmp iterations \(\d+ times\)$"
    with pytest.warns(RuntimeWarning, match=message):
        denoised, noise_map = tamrin.denoise(data, 2)
    # The NaN reaches the voxels of the patches (side 3) that hold it, and only those.
    box = np.zeros(data.shape[:3], dtype=bool)
    box[8:13, 7:12, 6:11] = True
    assert np.array_equal(np.isnan(noise_map), box)
    assert np.array_equal(np.isnan(denoised).any(axis=3), box)


def test_default_workers_and_calls_from_several_threads():
    data = noisy_series((24, 16, 12, 8))
    expected = {w: tamrin.denoise(data, w) for w in (1, 2)}
    assert_same_bits(tamrin.denoise(data)[0], tamrin.denoise(data, os.cpu_count())[0])
    results = {}

    def call(workers):
        results[workers] = tamrin.denoise(data, workers)

    threads = [threading.Thread(target=call, args=(w,)) for w in (1, 2)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    for workers in (1, 2):
        assert_same_bits(results[workers][0], expected[workers][0])
        assert_same_bits(results[workers][1], expected[workers][1])


def test_concurrent_calls_keep_their_own_messages():
    clean = np.asfortranarray(noisy_series((20, 18, 16, 12)))
    troubled = clean.copy(order="F")
    troubled[10, 9, 8, 3] = np.nan
    messages = {}

    def call(name, data):
        shape = data.shape
        arrays = [np.empty(shape, order="F")] + [np.empty(shape[:3], order="F") for _ in range(2)]
        messages[name], _ = _tamrin.denoise_into(data, 1, *arrays)

    for _ in range(3):
        threads = [threading.Thread(target=call, args=item)
                   for item in (("clean", clean), ("troubled", troubled))]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        assert messages["clean"] == []
        assert [text for text, _ in messages["troubled"]] == ["no convergence in 30 svdcmp iterations\n"]


SERIES = np.zeros((6, 6, 6, 3), order="F")


@pytest.mark.parametrize("args, kwargs, error, message", [
    ((np.zeros((6, 6, 6)),), {}, ValueError,
     r"exactly four dimensions.*got 3 dimensions, shape \(6, 6, 6\) \(a single volume"),
    ((np.zeros((6, 6, 6, 3, 2)),), {}, ValueError, r"exactly four dimensions.*got 5 dimensions"),
    ((np.zeros((6, 0, 6, 3)),), {}, ValueError, r"must not be empty.*shape \(6, 0, 6, 3\)"),
    ((np.zeros((6, 6, 6, 1)),), {}, ValueError, r"at least 2 volumes.*N is 1"),
    ((SERIES, 0), {}, ValueError, r"workers must be at least 1.*got 0"),
    ((SERIES, -4), {}, ValueError, r"workers must be at least 1.*got -4"),
    ((SERIES.astype(np.complex128),), {}, TypeError,
     r"must be real; got a complex array \(complex128\)"),
    ((SERIES.astype(object),), {}, TypeError, r"real numbers; got dtype object"),
    ((SERIES.astype(bool),), {}, TypeError, r"real numbers; got dtype bool"),
    ((np.full((6, 6, 6, 3), "a"),), {}, TypeError, r"real numbers; got dtype <U1"),
    ((SERIES, 2.5), {}, TypeError, r"workers must be an integer.*got float"),
    ((SERIES, "2"), {}, TypeError, r"workers must be an integer.*got str"),
    ((SERIES, True), {}, TypeError, r"workers must be an integer.*not a bool"),
    ((SERIES,), {"non_finite": "zero"}, ValueError, r'non_finite must be "keep" or "uncover"'),
    ((SERIES,), {"uncovered": "mean"}, ValueError, r'uncovered must be "nan", "input" or "zero"'),
])
def test_invalid_arguments(args, kwargs, error, message):
    with pytest.raises(error, match=message):
        tamrin.denoise(*args, **kwargs)


def test_conversion_memory_error(monkeypatch):
    # One value broadcast to 8 TiB: the memory check refuses the call before
    # the conversion; without the check, the conversion cannot obtain its
    # copy. (Results and working memory: test_memory.py.)
    huge = np.broadcast_to(np.float32(1), (2**20, 2**20, 1, 2))
    with pytest.raises(MemoryError, match=r"not enough memory for tamrin.denoise: it needs [0-9.]+ TiB"):
        tamrin.denoise(huge)
    monkeypatch.setenv("TAMRIN_NO_MEMORY_CHECK", "1")
    message = r"not enough memory to convert data to float32 .*8388608.0 MiB"
    with pytest.raises(MemoryError, match=message):
        tamrin.denoise(huge)


def test_version_is_the_projects():
    version = subprocess.run([tool("tamrin"), "--version"], check=True, capture_output=True,
                             text=True).stdout
    assert version.strip() == f"tamrin {tamrin.__version__}"

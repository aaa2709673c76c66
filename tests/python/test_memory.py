# SPDX-License-Identifier: BSD-3-Clause
"""Memory of tamrin.denoise, measured in processes of their own
(child_calls.py): no copy of Fortran-ordered float64 and float32 input,
nothing kept across many calls, MemoryError at once, before anything large
is obtained, when a call needs more than the process may use (RLIMIT_AS,
RLIMIT_DATA, a cgroup's limit), and MemoryError when the results or the
working memory cannot be obtained after all."""

import json
import os
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

from conftest import REPOSITORY

CHILD = Path(__file__).with_name("child_calls.py")


def child(*args, env=None):
    run = subprocess.run([sys.executable, CHILD, *map(str, args)], capture_output=True, text=True,
                         timeout=300, env=None if env is None else {**os.environ, **env})
    assert run.returncode == 0, run.stderr
    return json.loads(run.stdout.splitlines()[-1])


@pytest.mark.parametrize("dtype", ["float64", "float32"])
def test_no_copy_of_fortran_ordered_input(dtype):
    measured = child("peak", dtype, 2)
    arrays = measured["input"] + measured["outputs"]
    # Resident memory: the call's peak above the process before the input
    # existed, against input + outputs + 10 %.
    assert measured["peak"] - measured["before"] <= 1.10 * arrays, measured
    # numpy's allocations during the call: the results and the weight map
    # (an eighth of a volume more), nothing of the input's size.
    assert measured["traced_peak"] <= 1.05 * measured["outputs"], measured


def test_many_calls_leave_memory_flat():
    measured = child("repeat", 200)
    first, last = measured["rss"]
    assert last - first <= 256 * 1024, measured
    assert abs(measured["traced_growth"]) <= 4096, measured
    assert measured["threads"] == 1
    assert measured["raised"] == 20 and measured["progress_calls"] >= 180


def test_memory_error_when_results_or_working_memory_cannot_be_obtained():
    # The memory check would refuse these calls first; without it they
    # fail where the memory runs out.
    measured = child("no_memory",
                     env={"MALLOC_ARENA_MAX": "1", "MALLOC_MMAP_THRESHOLD_": "131072",
                          "TAMRIN_NO_MEMORY_CHECK": "1"})
    assert measured["results"] == "not enough memory for the results (6.8 MiB)"
    assert measured["working"] == (
        "denoising failed: not enough memory for the workers' working arrays")
    assert measured["next_call_whole"]


REFUSAL = "not enough memory for tamrin.denoise: it needs "
OVERRIDE = "setting the environment variable TAMRIN_NO_MEMORY_CHECK=1 runs it anyway"


def assert_refused_before_work(measured, limit):
    message = measured["message"]
    assert message is not None and message.startswith(REFUSAL), measured
    assert limit in message and message.endswith(OVERRIDE), measured
    # Nothing large was obtained: no result, no copy, no working memory.
    assert measured["growth"] <= 20 << 20, measured
    assert measured["small_call_whole"], measured


@pytest.mark.parametrize("kind, limit", [
    ("as", "of address space, but RLIMIT_AS leaves"),
    ("data", "of private memory, but RLIMIT_DATA leaves"),
])
def test_refused_at_once_under_a_resource_limit(kind, limit):
    assert_refused_before_work(child("refused", kind), limit)


def test_refused_at_once_in_a_cgroup():
    tool = REPOSITORY / "tests" / "tools" / "memory-cgroup"
    made = subprocess.run([tool, "create", str(32 << 20)], capture_output=True, text=True)
    if made.returncode != 0:
        pytest.skip(made.stderr.strip() or "no cgroup could be made")
    folder = made.stdout.strip()
    try:
        measured = child("refused", "cgroup", folder)
    finally:
        subprocess.run([tool, "remove", folder], check=True)
    assert_refused_before_work(measured, "but its cgroup /")
    assert "(limit 32.0 MiB, " in measured["message"]


def test_an_array_proxy_is_refused_before_it_is_read(tmp_path):
    # A 200 x 200 x 100 x 100 float32 series whose data is a hole in the file.
    import nibabel as nib
    header = nib.Nifti1Header()
    header.set_data_shape((200, 200, 100, 100))
    header.set_data_dtype(np.float32)
    header["vox_offset"] = 352
    path = tmp_path / "sparse.nii"
    with open(path, "wb") as f:
        f.write(header.binaryblock + bytes(4))
    os.truncate(path, 352 + 200 * 200 * 100 * 100 * 4)
    assert_refused_before_work(child("refused", "proxy", path), "RLIMIT_DATA leaves")

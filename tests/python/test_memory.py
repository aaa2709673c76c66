"""Memory of tamrin.denoise, measured in processes of their own
(child_calls.py): no copy of Fortran-ordered float64 and float32 input,
nothing kept across many calls, and MemoryError when the results or the
working memory cannot be obtained."""

import json
import os
import subprocess
import sys
from pathlib import Path

import pytest

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
    measured = child("no_memory",
                     env={"MALLOC_ARENA_MAX": "1", "MALLOC_MMAP_THRESHOLD_": "131072"})
    assert measured["results"] == "not enough memory for the results (6.8 MiB)"
    assert measured["working"] == (
        "denoising failed: not enough memory for the workers' working arrays")
    assert measured["next_call_whole"]

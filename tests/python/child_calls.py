# SPDX-License-Identifier: BSD-3-Clause
"""Calls of tamrin.denoise measured in a process of their own; the tests run
this file as a script and read the one JSON line it prints last.

    child_calls.py peak float64|float32 WORKERS   peak memory of one call
    child_calls.py repeat CALLS                   memory after many calls
    child_calls.py interrupt                      a long call stopped by SIGINT
    child_calls.py no_memory                      calls under an address-space limit
    child_calls.py refused as|data|cgroup DIR|proxy FILE   a call the memory check refuses
"""

import gc
import json
import os
import resource
import signal
import sys
import threading
import time
import tracemalloc

import numpy as np

import tamrin


def status(field):
    """A field of /proc/self/status in bytes (VmRSS, VmHWM, VmSize)."""
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024
    raise KeyError(field)


def reset_peak_rss():
    with open("/proc/self/clear_refs", "w") as f:
        f.write("5")


def series(shape, dtype=np.float64, seed=1):
    """Noise around 100 in every voxel, Fortran order, made without a temporary of the full size
    in another type."""
    data = np.empty(shape, dtype=dtype, order="F")
    rng = np.random.default_rng(seed)
    for v in range(shape[3]):
        data[..., v] = rng.normal(100.0, 10.0, shape[:3])
    return data


def mostly_background(shape, dtype):
    """An exact-zero series with noise in a 16 x 16 x 12 block at its centre: every page of it
    written, and few patches to denoise."""
    data = np.empty(shape, dtype=dtype, order="F")
    data.fill(0)
    centre = tuple(slice(e // 2 - b // 2, e // 2 + b // 2)
                   for e, b in zip(shape[:3], (16, 16, 12)))
    data[centre] = series((16, 16, 12, shape[3]), dtype)
    return data


def warm_up():
    tamrin.denoise(series((8, 8, 8, 4)), 2)
    gc.collect()


def peak(dtype, workers):
    warm_up()
    before = status("VmRSS")
    data = mostly_background((96, 96, 32, 30), np.dtype(dtype))
    gc.collect()
    reset_peak_rss()
    tracemalloc.start()
    denoised, noise_map = tamrin.denoise(data, workers)
    traced_peak = tracemalloc.get_traced_memory()[1]
    tracemalloc.stop()
    return {"before": before, "peak": status("VmHWM"), "traced_peak": traced_peak,
            "input": data.nbytes, "outputs": denoised.nbytes + noise_map.nbytes}


def repeat(calls):
    """Resident and traced memory after a tenth of the calls and after all of them; every tenth
    call is stopped by an exception from its progress callable."""
    data = series((12, 12, 12, 8))
    progress_calls, raised = [0], [0]

    def count(done, total):
        progress_calls[0] += 1

    def fail(done, total):
        raise LookupError("stop")

    rss = []
    tracemalloc.start()
    for i in range(1, calls + 1):
        if i % 10 == 0:
            try:
                tamrin.denoise(data, 2, progress=fail)
            except LookupError:
                raised[0] += 1
        else:
            denoised, noise_map = tamrin.denoise(data, 1 + i % 2, progress=count)
            del denoised, noise_map
        if i in (calls // 10, calls):
            gc.collect()
            rss.append(status("VmRSS"))
            traced = tracemalloc.get_traced_memory()[0] - (traced if i == calls else 0)
    tracemalloc.stop()
    return {"rss": rss, "traced_growth": traced, "threads": threading.active_count(),
            "progress_calls": progress_calls[0], "raised": raised[0]}


def tasks():
    return len(os.listdir("/proc/self/task"))


def same_results(a, b):
    return all(np.array_equal(x.view(np.uint64), y.view(np.uint64)) for x, y in zip(a, b))


def interrupt():
    """Prints "calling" before a call of several seconds and "interrupted" as soon as it raises
    KeyboardInterrupt; then checks that nothing was left and that the next call is whole."""
    # A process started in the background of a non-interactive shell inherits
    # SIGINT ignored, and Python then leaves it so: this call must see it.
    signal.signal(signal.SIGINT, signal.default_int_handler)
    small = series((16, 16, 12, 10), seed=3)
    expected = tamrin.denoise(small, 2)
    big = series((96, 96, 40, 30))
    threads = tasks()
    print("calling", flush=True)
    start = time.monotonic()
    try:
        tamrin.denoise(big, 2)
        outcome = "finished"
    except KeyboardInterrupt:
        print("interrupted", flush=True)
        outcome = "interrupted"
    seconds = time.monotonic() - start
    left = tasks() - threads
    return {"outcome": outcome, "seconds": seconds, "threads_left": left,
            "next_call_whole": same_results(tamrin.denoise(small, 2), expected)}


def no_memory():
    """Calls with the address space limited to what is mapped now plus 1 MiB (no room for the
    results), then plus the results and 2 MiB (no room for the bands of 12 workers), then a whole
    call. Run with MALLOC_ARENA_MAX=1 and a fixed MALLOC_MMAP_THRESHOLD_, so that every block
    the call obtains is a new mapping."""
    data = series((48, 48, 12, 30))
    expected = tamrin.denoise(data, 12)
    gc.collect()
    results_bytes = data.nbytes + 2 * (data.nbytes // data.shape[3])
    soft, hard = resource.getrlimit(resource.RLIMIT_AS)
    errors = {}
    for case, room in (("results", 1 << 20), ("working", results_bytes + (2 << 20))):
        resource.setrlimit(resource.RLIMIT_AS, (status("VmSize") + room, hard))
        try:
            tamrin.denoise(data, 12)
            errors[case] = None
        except MemoryError as error:
            errors[case] = str(error)
        finally:
            resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
    errors["next_call_whole"] = same_results(tamrin.denoise(data, 12), expected)
    return errors


def refused(kind, where=None):
    """A call that needs more than the limit of the given kind leaves (RLIMIT_AS or RLIMIT_DATA
    at what the process uses now plus 48 MiB, the cgroup DIR made by the test, or RLIMIT_DATA
    for a nibabel proxy of the sparse series FILE, which must not be read), then a small call
    under the same limit. Reports the MemoryError's text and how far the resident memory rose
    above what it was before the refused call."""
    small = series((16, 16, 12, 8))
    expected = tamrin.denoise(small, 2)
    data = series((64, 64, 40, 30), np.float32)  # 19 MiB; its results 38 MiB, its bands and stores more
    if kind == "proxy":
        import nibabel
        data = nibabel.load(where).dataobj
    gc.collect()
    if kind == "cgroup":
        with open(os.path.join(where, "cgroup.procs"), "w") as f:
            f.write(str(os.getpid()))
    else:
        limit, field = ((resource.RLIMIT_AS, "VmSize") if kind == "as"
                        else (resource.RLIMIT_DATA, "VmData"))
        resource.setrlimit(limit, (status(field) + (48 << 20), resource.getrlimit(limit)[1]))
    before = status("VmRSS")
    reset_peak_rss()
    try:
        tamrin.denoise(data, 2)
        message = None
    except MemoryError as error:
        message = str(error)
    growth = status("VmHWM") - before
    return {"message": message, "growth": growth,
            "small_call_whole": same_results(tamrin.denoise(small, 2), expected)}


def main():
    command = sys.argv[1]
    if command == "peak":
        result = peak(sys.argv[2], int(sys.argv[3]))
    elif command == "repeat":
        result = repeat(int(sys.argv[2]))
    elif command == "interrupt":
        result = interrupt()
    elif command == "no_memory":
        result = no_memory()
    elif command == "refused":
        result = refused(*sys.argv[2:4])
    else:
        raise SystemExit(f"unknown command {command}")
    print(json.dumps(result), flush=True)


if __name__ == "__main__":
    main()

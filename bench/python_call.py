# SPDX-License-Identifier: BSD-3-Clause
"""A call of tamrin.denoise against the tamrin command's denoising, on the same file.

usage: python bench/python_call.py [--build DIR] [--size XxYxZxN] [--rounds R]
                                   [--workers K [K ...]] [--work DIR]

Makes a series with tamrin-make-phantom --noise-everywhere (float32 NIfTI,
default 64x64x30x30), then runs, in R interleaved rounds (default 5; the
order of the two alternates from round to round), for each worker count:

  command  `tamrin denoise IN OUT --workers K --datatype float64 --uncovered nan`,
           with stderr on a terminal so that it prints its denoising time
           ("done: ... in S s", tenths of a second); its whole wall time and
           CPU time (reading and writing included) too
  module   tamrin.denoise(data, K) on the same file's values as nibabel maps
           them (float32, Fortran order, read where they lie), wall and CPU
           time around the call

and prints the medians and the ratios module / command (1.00: the same
time). CPU time suffers less than wall time from other processes sharing
the processors.
Run it with the interpreter the module is installed for (scripts/test_python
makes build/python-venv), or it is taken from the build folder's python/.
Times are only comparable when nothing else runs: the load average is printed.
"""

import argparse
import os
import pty
import re
import resource
import statistics
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    repository = Path(__file__).resolve().parents[1]
    parser.add_argument("--build", default=repository / "build", type=Path)
    parser.add_argument("--size", default="64x64x30x30")
    parser.add_argument("--rounds", default=5, type=int)
    parser.add_argument("--workers", default=[1, 2], type=int, nargs="+")
    parser.add_argument("--work", type=Path, help="folder for the series (default: temporary)")
    return parser.parse_args()


def cpu_seconds(who):
    usage = resource.getrusage(who)
    return usage.ru_utime + usage.ru_stime


def command_seconds(tamrin, source, output, workers):
    """Runs the command with stderr on a terminal; returns (denoising s, wall s, CPU s)."""
    controller, terminal = pty.openpty()
    chunks = []

    def read():
        while True:
            try:
                chunk = os.read(controller, 4096)
            except OSError:  # the terminal side closed
                return
            if not chunk:
                return
            chunks.append(chunk)

    reader = threading.Thread(target=read)
    reader.start()
    start, cpu = time.perf_counter(), cpu_seconds(resource.RUSAGE_CHILDREN)
    subprocess.run([tamrin, "denoise", source, output, "--workers", str(workers), "--datatype",
                    "float64", "--uncovered", "nan", "--force"], stderr=terminal, check=True)
    wall, cpu = time.perf_counter() - start, cpu_seconds(resource.RUSAGE_CHILDREN) - cpu
    os.close(terminal)
    reader.join()
    os.close(controller)
    text = b"".join(chunks).decode(errors="replace")
    found = re.search(r"done: [\d,]+ patches in ([\d.]+) s", text)
    if found is None:
        raise RuntimeError(f"no denoising time in the command's output: {text[-300:]!r}")
    return float(found.group(1)), wall, cpu


def module_seconds(tamrin_module, data, workers):
    """Wall and CPU seconds of one call."""
    start, cpu = time.perf_counter(), cpu_seconds(resource.RUSAGE_SELF)
    tamrin_module.denoise(data, workers)
    return time.perf_counter() - start, cpu_seconds(resource.RUSAGE_SELF) - cpu


def main():
    args = arguments()
    build = args.build.resolve()
    try:
        import tamrin
    except ImportError:
        sys.path.insert(0, str(build / "python"))
        import tamrin
    import nibabel as nib
    import numpy as np

    tamrin_command = build / "cli" / "tamrin"
    work = args.work or Path(tempfile.mkdtemp(prefix="tamrin-python-bench-"))
    work.mkdir(parents=True, exist_ok=True)
    source, output = work / "noisy.nii", work / "out.nii"
    subprocess.run([build / "cli" / "tamrin-make-phantom", work / "truth.nii", source, "--size",
                    args.size, "--noise-everywhere"], check=True, capture_output=True)
    data = np.asanyarray(nib.load(source).dataobj)
    assert data.dtype == np.float32 and data.flags.f_contiguous

    print(f"series {args.size} (noise everywhere), {args.rounds} rounds, "
          f"tamrin {tamrin.__version__} from {Path(tamrin.__file__).parent}")
    print("load average at start: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    kinds = ("command", "wall", "command cpu", "module", "module cpu")
    times = {(w, what): [] for w in args.workers for what in kinds}
    for round_ in range(args.rounds):
        for workers in args.workers:
            order = ("command", "module") if round_ % 2 == 0 else ("module", "command")
            for what in order:
                if what == "command":
                    measured = command_seconds(tamrin_command, source, output, workers)
                    names = ("command", "wall", "command cpu")
                else:
                    measured = module_seconds(tamrin, data, workers)
                    names = ("module", "module cpu")
                for name, seconds in zip(names, measured):
                    times[workers, name].append(seconds)
        print(f"round {round_ + 1}: " + ", ".join(
            f"{w} workers: command {times[w, 'command'][-1]:.1f} s, "
            f"module {times[w, 'module'][-1]:.2f} s" for w in args.workers), flush=True)

    print("\nmedians, seconds:")
    print(f"{'workers':>7}  {'command denoising':>17}  {'command wall':>12}  {'module call':>11}  "
          f"{'ratio':>5}  {'command CPU':>11}  {'module CPU':>10}  {'ratio':>5}")
    for workers in args.workers:
        m = {what: statistics.median(times[workers, what]) for what in kinds}
        print(f"{workers:>7}  {m['command']:>17.2f}  {m['wall']:>12.2f}  {m['module']:>11.2f}  "
              f"{m['module'] / m['command']:>5.3f}  {m['command cpu']:>11.2f}  "
              f"{m['module cpu']:>10.2f}  {m['module cpu'] / m['command cpu']:>5.3f}")
    print("ratio: module / command (denoising time; CPU time of the call against the whole "
          "command's)")
    print("load average at end: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    if args.work is None:
        for path in work.iterdir():
            path.unlink()
        work.rmdir()


if __name__ == "__main__":
    main()

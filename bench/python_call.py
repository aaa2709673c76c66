"""A call of tamrin.denoise against the tamrin command's denoising, on the same file.

usage: python bench/python_call.py [--build DIR] [--size XxYxZxN] [--rounds R]
                                   [--workers K [K ...]] [--work DIR]

Makes a series with tamrin-make-phantom --noise-everywhere (float32 NIfTI,
default 64x64x30x30), then runs, in R interleaved rounds (default 5; the
order of the two alternates from round to round), for each worker count:

  command  `tamrin denoise IN OUT --workers K --datatype float64 --uncovered nan`,
           with stderr on a terminal so that it prints its denoising time
           ("done: ... in S s", tenths of a second); its whole wall time too
  module   tamrin.denoise(data, K) on the same file's values as nibabel maps
           them (float32, Fortran order, read where they lie), timed around
           the call

and prints the medians and the ratio module / command (1.00: the same time).
Run it with the interpreter the module is installed for (scripts/test_python
makes build/python-venv), or it is taken from the build folder's python/.
Times are only comparable when nothing else runs: the load average is printed.
"""

import argparse
import os
import pty
import re
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


def command_seconds(tamrin, source, output, workers):
    """Runs the command with stderr on a terminal; returns (denoising s, wall s)."""
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
    start = time.perf_counter()
    subprocess.run([tamrin, "denoise", source, output, "--workers", str(workers), "--datatype",
                    "float64", "--uncovered", "nan", "--force"], stderr=terminal, check=True)
    wall = time.perf_counter() - start
    os.close(terminal)
    reader.join()
    os.close(controller)
    text = b"".join(chunks).decode(errors="replace")
    found = re.search(r"done: [\d,]+ patches in ([\d.]+) s", text)
    if found is None:
        raise RuntimeError(f"no denoising time in the command's output: {text[-300:]!r}")
    return float(found.group(1)), wall


def module_seconds(tamrin_module, data, workers):
    start = time.perf_counter()
    tamrin_module.denoise(data, workers)
    return time.perf_counter() - start


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
    times = {(w, what): [] for w in args.workers for what in ("command", "wall", "module")}
    for round_ in range(args.rounds):
        for workers in args.workers:
            order = ("command", "module") if round_ % 2 == 0 else ("module", "command")
            for what in order:
                if what == "command":
                    denoising, wall = command_seconds(tamrin_command, source, output, workers)
                    times[workers, "command"].append(denoising)
                    times[workers, "wall"].append(wall)
                else:
                    times[workers, "module"].append(module_seconds(tamrin, data, workers))
        print(f"round {round_ + 1}: " + ", ".join(
            f"{w} workers: command {times[w, 'command'][-1]:.1f} s, "
            f"module {times[w, 'module'][-1]:.2f} s" for w in args.workers), flush=True)

    print(f"\n{'workers':>7}  {'command denoising s':>19}  {'command wall s':>14}  "
          f"{'module call s':>13}  {'module / command':>16}")
    for workers in args.workers:
        command, wall, module = (statistics.median(times[workers, what])
                                 for what in ("command", "wall", "module"))
        print(f"{workers:>7}  {command:>19.2f}  {wall:>14.2f}  {module:>13.2f}  "
              f"{module / command:>16.3f}")
    print("load average at end: " + " ".join(f"{x:.2f}" for x in os.getloadavg()))
    if args.work is None:
        for path in work.iterdir():
            path.unlink()
        work.rmdir()


if __name__ == "__main__":
    main()

# SPDX-License-Identifier: BSD-3-Clause
"""Calls of tamrin.denoise from two Python threads at once against the same two calls one after the other.

usage: python bench/python_threads.py [--build DIR] [--size XxYxZxN] [--rounds R] [--workers K]

Makes a series of normal noise around a smooth signal (default 64x64x30x30,
float64) and, in R interleaved rounds (default 5), times two calls of
tamrin.denoise(data, K) (default K = 1) made one after the other, and the
same two calls made from two threads at once. Prints the medians and the
ratio together / one after the other (0.5: the two calls overlap fully) and
checks that every result has the bits of a lone call. The load average at
the start is printed: the times are only comparable when nothing else runs.
"""

import argparse
import os
import statistics
import sys
import threading
import time
from pathlib import Path


def arguments():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default=Path(__file__).resolve().parents[1] / "build")
    parser.add_argument("--size", default="64x64x30x30")
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--workers", type=int, default=1)
    return parser.parse_args()


def main():
    args = arguments()
    sys.path.insert(0, str(Path(args.build) / "python"))
    import numpy as np
    import tamrin

    shape = tuple(int(v) for v in args.size.split("x"))
    rng = np.random.default_rng(1)
    grid = np.indices(shape[:3]).sum(axis=0)[..., None]
    data = np.asfortranarray(100 + 20 * np.cos(grid / 9.0) * np.exp(-np.arange(shape[3]) / 20.0)
                             + rng.normal(0, 5, shape))
    lone = tamrin.denoise(data, args.workers)

    def check(results):
        for result in results:
            for got, want in zip(result, lone):
                if got.tobytes() != want.tobytes():
                    sys.exit("python_threads.py: a result differs from the lone call's")

    def apart():
        return [tamrin.denoise(data, args.workers) for _ in range(2)]

    def together():
        results = [None, None]

        def call(i):
            results[i] = tamrin.denoise(data, args.workers)

        threads = [threading.Thread(target=call, args=(i,)) for i in range(2)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
        return results

    print(f"== {args.size}, workers={args.workers}, {args.rounds} rounds; {os.cpu_count()} processors; "
          f"load average {os.getloadavg()[0]:.2f}")
    times = {"apart": [], "together": []}
    for r in range(args.rounds):
        for name, run in sorted(times.items(), reverse=r % 2 == 1):
            start = time.perf_counter()
            check((apart if name == "apart" else together)())
            times[name].append(time.perf_counter() - start)
    apart_s, together_s = (statistics.median(times[name]) for name in ("apart", "together"))
    print(f"one after the other: {apart_s:.3f} s, two threads at once: {together_s:.3f} s (medians)")
    print(f"ratio together / one after the other: {together_s / apart_s:.2f} [goal <= 0.6 on 2 cores]")
    print("every result has the bits of a lone call")


if __name__ == "__main__":
    main()

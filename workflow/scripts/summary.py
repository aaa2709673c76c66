# SPDX-License-Identifier: BSD-3-Clause
"""The report's record of one denoised series: its figure and a JSON summary
(noise level inside the object, patches, time, memory).

    python3 summary.py --source IN --denoised OUT --noise NOISE [--bval BVAL]
        [--mask MASK] --benchmark TSV --info INFO --figure PNG --summary JSON

Reads only the volumes it shows and the noise map, so that it needs little
memory whatever the series' size.
"""

import argparse
import csv
import json
import os
import sys

import nibabel
import numpy as np

import figures
import tamrin_info

# Voxels of the object: the b = 0 volume above this share of its bright end.
OBJECT_THRESHOLD = 0.1


def object_mask(b0, noise, mask=None):
    """Voxels inside the object where the noise map has an estimate (finite,
    not 0): the brain mask's voxels (non-zero) when there is one, else where
    the b = 0 volume exceeds a tenth of its 99th percentile."""
    estimated = np.isfinite(noise) & (noise > 0)
    if mask is not None:
        return (mask != 0) & estimated
    positive = b0[np.isfinite(b0) & (b0 > 0)]
    if positive.size == 0:
        return np.zeros(b0.shape, dtype=bool)
    bright = np.percentile(positive, 99)
    return np.isfinite(b0) & (b0 > OBJECT_THRESHOLD * bright) & estimated


def read_bvals(path, volumes):
    """The b-values, or None when the file does not hold one per volume (the
    figure then shows the second volume)."""
    try:
        bvals = np.loadtxt(path, ndmin=1)
    except (OSError, ValueError):
        return None
    return bvals if bvals.ndim == 1 and bvals.size == volumes else None


def read_benchmark(path):
    """Wall seconds and peak resident MiB from a Snakemake benchmark file
    (None for what it does not hold)."""
    if not path or not os.path.isfile(path):
        return None, None
    with open(path) as f:
        rows = list(csv.DictReader(f, delimiter="\t"))
    if not rows:
        return None, None

    def number(name):
        try:
            return float(rows[-1][name])
        except (KeyError, ValueError):
            return None
    return number("s"), number("max_rss")


def summarise(args):
    source = nibabel.load(args.source)
    volumes = source.shape[3]
    bvals = read_bvals(args.bval, volumes) if args.bval else None
    shown = figures.diffusion_volume(volumes, bvals)
    b0_index = int(np.flatnonzero(bvals <= figures.B0_THRESHOLD)[0]) if (
        bvals is not None and (bvals <= figures.B0_THRESHOLD).any()) else 0

    def volume(image, index):
        return np.asarray(image.dataobj[..., index], dtype=np.float64)

    noise = np.asarray(nibabel.load(args.noise).dataobj, dtype=np.float64)
    # A mask's values as stored, scaled: NaN was refused by the command.
    mask = np.asarray(nibabel.load(args.mask).dataobj).reshape(noise.shape) if args.mask else None
    inside = object_mask(volume(source, b0_index), noise, mask)
    median = float(np.median(noise[inside])) if inside.any() else None
    noisy = volume(source, shown)
    z = figures.series_figure(args.figure, noisy, volume(nibabel.load(args.denoised), shown), noise,
                              median if median is not None else float("nan"),
                              zooms=tuple(float(v) for v in source.header.get_zooms()[:3]))
    info = tamrin_info.read_info(args.info)
    seconds, peak_mib = read_benchmark(args.benchmark)
    return {
        "dimensions": list(info.dimensions),
        "patches": info.patches,
        "workers": info.workers,
        "seconds": seconds,
        "peak_mib": peak_mib,
        "requested_mib": tamrin_info.memory_mb(info),
        "noise_median": median,
        "object_voxels": int(inside.sum()),
        "object": "brain mask" if args.mask else "b = 0 threshold",
        "slice": z,
        "volume": shown,
        "bvalue": float(bvals[shown]) if bvals is not None else None,
    }


def main(argv=None):
    parser = argparse.ArgumentParser(description="Figure and summary of one denoised series.")
    for name in ("source", "denoised", "noise", "info", "figure", "summary"):
        parser.add_argument("--" + name, required=True)
    parser.add_argument("--bval")
    parser.add_argument("--mask")
    parser.add_argument("--benchmark")
    args = parser.parse_args(argv)
    record = summarise(args)
    with open(args.summary, "w") as f:
        json.dump(record, f, indent=2)
        f.write("\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())

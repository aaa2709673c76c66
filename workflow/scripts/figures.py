# SPDX-License-Identifier: BSD-3-Clause
"""Figures of a denoised series: one slice of one volume, noisy and denoised
side by side with the residual and the noise map, each panel titled.

Used by the workflow's report (one figure per series) and by scripts/demo,
which adds the truth:

    python3 figures.py demo DIR SIGMA

reads truth.nii, noisy.nii, denoised.nii and noise.nii from DIR and writes
DIR/demo.png.
"""

import argparse
import os
import sys

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import nibabel  # noqa: E402
import numpy as np  # noqa: E402

# Volumes with a b-value at most this are treated as b = 0.
B0_THRESHOLD = 50


def diffusion_volume(volumes, bvals=None):
    """Index of the volume to show: the first diffusion-weighted one when
    b-values are known, else the second volume (the first is usually b = 0)."""
    if bvals is not None:
        weighted = np.flatnonzero(np.asarray(bvals) > B0_THRESHOLD)
        if weighted.size:
            return int(weighted[0])
    return min(1, volumes - 1)


def middle_slice(volume):
    """The axial slice to show: the middle one unless it holds nothing, then
    the one with the most signal."""
    z = volume.shape[2] // 2
    if np.nansum(np.abs(volume[:, :, z])) > 0:
        return z
    return int(np.argmax(np.nansum(np.abs(volume), axis=(0, 1))))


def _show(fig, ax, values, title, cmap, low, high, aspect, bar_label=None):
    colours = plt.get_cmap(cmap).copy()
    # No value: black beside the grey and noise scales, grey beside the
    # residual's white zero.
    colours.set_bad("#b0b0b0" if cmap == "RdBu_r" else "black")
    image = ax.imshow(np.ma.masked_invalid(values.T), origin="lower", cmap=colours, vmin=low, vmax=high,
                      interpolation="nearest", aspect=aspect)
    ax.set_title(title, fontsize=11, pad=6)
    ax.set_xticks([])
    ax.set_yticks([])
    for spine in ax.spines.values():
        spine.set_visible(False)
    if bar_label is not None:
        bar = fig.colorbar(image, ax=ax, fraction=0.046, pad=0.03)
        bar.set_label(bar_label, fontsize=9)
        bar.ax.tick_params(labelsize=8)
        bar.outline.set_visible(False)


def series_figure(path, noisy, denoised, noise, sigma, z=None, truth=None, zooms=(1.0, 1.0, 1.0)):
    """Write a PNG of axial slice ``z`` of one volume.

    Panels, left to right: [truth,] noisy, denoised (one grey scale from 0
    to the bright end of the slice), the residual noisy - denoised (from
    -3 to +3 sigma) and the noise map (0 to 2 sigma), the last two with a
    colour bar. No value (NaN, and 0 on the noise map, which the command
    writes where it has no estimate) shows black, grey on the residual.

    Parameters
    ----------
    path : str
        The PNG to write.
    noisy, denoised : ndarray, 3-D
        The volume shown, before and after.
    noise : ndarray, 3-D
        The noise map.
    sigma : float
        The noise level the residual and noise map are scaled by (the true
        level, or the noise map's median inside the object).
    z : int, optional
        Axial slice; by default :func:`middle_slice` of ``noisy``.
    truth : ndarray, 3-D, optional
        The noise-free volume, for a synthetic series.
    zooms : tuple of float
        Voxel size, for the aspect ratio.

    Returns
    -------
    int
        The slice shown.
    """
    if z is None:
        z = middle_slice(noisy)
    reference = (truth if truth is not None else noisy)[:, :, z]
    top = float(np.nanpercentile(reference, 99.5)) if np.isfinite(reference).any() else 1.0
    top = top if top > 0 else 1.0
    residual = noisy[:, :, z] - denoised[:, :, z]
    if not (np.isfinite(sigma) and sigma > 0):
        sigma = float(np.nanstd(residual)) if np.isfinite(residual).any() else 1.0
        sigma = sigma if sigma > 0 else 1.0
    aspect = zooms[1] / zooms[0]
    panels = [] if truth is None else [(truth[:, :, z], "truth", "gray", 0, top, None)]
    panels += [
        (noisy[:, :, z], "noisy", "gray", 0, top, None),
        (denoised[:, :, z], "denoised", "gray", 0, top, None),
        (residual, "residual (noisy − denoised)", "RdBu_r", -3 * sigma, 3 * sigma, "signal units"),
        (np.where(noise[:, :, z] > 0, noise[:, :, z], np.nan), "noise map (σ)", "viridis", 0, 2 * sigma, "σ"),
    ]
    height = 2.4 * noisy.shape[1] * aspect / noisy.shape[0]
    fig, axes = plt.subplots(1, len(panels), figsize=(2.6 * len(panels) + 0.9, height + 0.45),
                             layout="constrained", dpi=100)
    for ax, (values, title, cmap, low, high, label) in zip(axes, panels):
        _show(fig, ax, values, title, cmap, low, high, aspect, label)
    fig.savefig(path, facecolor="white")
    plt.close(fig)
    return z


def _demo(folder, sigma):
    def volume(name, index):
        image = nibabel.load(os.path.join(folder, name))
        return np.asarray(image.dataobj[..., index], dtype=np.float64), image.header.get_zooms()[:3]

    noise = np.asarray(nibabel.load(os.path.join(folder, "noise.nii")).dataobj, dtype=np.float64)
    index = diffusion_volume(nibabel.load(os.path.join(folder, "noisy.nii")).shape[3])
    truth, zooms = volume("truth.nii", index)
    path = os.path.join(folder, "demo.png")
    z = series_figure(path, volume("noisy.nii", index)[0], volume("denoised.nii", index)[0], noise, sigma,
                      z=truth.shape[2] // 2, truth=truth, zooms=zooms)
    print(f"figure: {path}")
    print(f"  slice z = {z} of volume {index} (counted from 0); left to right: truth, noisy, denoised,")
    print("  residual noisy - denoised (-3 to +3 sigma), noise map (0 to 2 sigma)")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Figures of denoised series.")
    commands = parser.add_subparsers(dest="command", required=True)
    demo = commands.add_parser("demo", help="the figure of scripts/demo")
    demo.add_argument("folder")
    demo.add_argument("sigma", type=float)
    args = parser.parse_args(argv)
    if args.command == "demo":
        _demo(args.folder, args.sigma)
    return 0


if __name__ == "__main__":
    sys.exit(main())

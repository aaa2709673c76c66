# SPDX-License-Identifier: BSD-3-Clause
"""What ``tamrin info`` says about a series, and the resources a job asks for.

The workflow's info job writes the command's JSON (``tamrin info --json``)
to a file, which the resources of the series' other jobs read. The memory a
job requests is the command's own estimate for its worker count plus room
for the program; the time is the patch count over a rate of patches per
second per worker (``patches_per_second`` in the workflow's configuration),
scaled by the work in one patch.
"""

import dataclasses
import json
import math

# Room for the program, its libraries and reading a compressed file.
PROGRAM_MIB = 100
# Requests when the command cannot read the series: the job fails at once
# with the command's message.
UNREADABLE_MIB = 256
MINIMUM_MINUTES = 5


class InfoError(Exception):
    """The JSON of ``tamrin info`` lacks a field the workflow needs."""


@dataclasses.dataclass
class SeriesInfo:
    """The fields of ``tamrin info --json`` the workflow uses.

    ``patches`` is the number of patch positions a run denoises at most
    (with a mask, those whose patch holds a voxel inside it), None when the
    series is thinner than a patch; ``workers`` and ``slabs`` are those the
    run uses; ``memory_bytes`` is the run's memory estimate (the same for
    every output type and format).
    """

    dimensions: tuple
    patch_side: int
    patch_voxels: int
    volumes: int
    patches: int
    workers: int
    slabs: int
    memory_bytes: int


def parse_info(document):
    """Read the JSON object ``tamrin info --json`` printed.

    Parameters
    ----------
    document : dict or str
        The object, or its text.

    Raises
    ------
    InfoError
        When the text is not a JSON object or lacks a field the workflow
        needs.
    """
    try:
        info = json.loads(document) if isinstance(document, str) else document
        patch = info["patch"]
        common = dict(dimensions=tuple(info["dimensions"]), patch_side=patch["side"],
                      patch_voxels=patch["voxels"], volumes=patch["volumes"])
        if info["patch_positions"] is None:
            return SeriesInfo(**common, patches=None, workers=0, slabs=0, memory_bytes=0)
        mask = info["mask"]
        patches = mask["patch_positions"] if mask and mask["patch_positions"] is not None else info["patch_positions"]
        return SeriesInfo(**common, patches=patches, workers=info["workers"]["used"], slabs=info["slabs"]["used"],
                          memory_bytes=info["memory"]["float32_output_bytes"])
    except (ValueError, TypeError, KeyError) as error:
        raise InfoError(f"tamrin info --json printed no usable object ({type(error).__name__}: {error})") from None


def read_info(path):
    """Read the file the info job wrote: the JSON of ``tamrin info --json``,
    empty when the command could not read the series.

    Returns
    -------
    SeriesInfo or None
        None for an empty file.

    Raises
    ------
    FileNotFoundError
        When the info job has not run yet.
    InfoError
        When a field the workflow needs is missing.
    """
    with open(path) as f:
        text = f.read()
    return parse_info(text) if text.strip() else None


def memory_mb(info, attempt=1):
    """Memory to request in MiB: the estimate plus room for the program, and
    that much again for every retry."""
    if info is None or info.patches is None:
        return UNREADABLE_MIB
    return attempt * (math.ceil(info.memory_bytes / 2**20) + PROGRAM_MIB)


def runtime_minutes(info, patches_per_second, attempt=1):
    """Minutes to request: twice the expected time, at least five.

    The expected time is the patch count over ``patches_per_second`` (for
    patches of 64 voxels x 64 volumes, one worker) times the work in one
    patch relative to those, which grows as voxels x volumes x the smaller
    of the two, shared by the workers the command uses.
    """
    if info is None or info.patches is None:
        return MINIMUM_MINUTES
    work = info.patch_voxels * info.volumes * min(info.patch_voxels, info.volumes) / 64**3
    seconds = info.patches * work / (patches_per_second * max(1, info.workers))
    return attempt * max(MINIMUM_MINUTES, math.ceil(2 * seconds / 60))


def summary_memory_mb(info):
    """Memory to request for a series' figure and summary: a few volumes as
    doubles and the noise map, plus the Python libraries."""
    if info is None:
        return UNREADABLE_MIB
    x, y, z, _ = info.dimensions
    return 300 + math.ceil(6 * x * y * z * 8 / 2**20)

"""What ``tamrin info`` says about a series, and the resources a job asks for.

The workflow's info job writes the command's output to a file, which the
resources of the series' other jobs read. The memory a job requests is the
command's own estimate for its worker count plus room for the program; the
time is the patch count over a rate of patches per second per worker
(``patches_per_second`` in the workflow's configuration), scaled by the work
in one patch.
"""

import dataclasses
import math
import re

_UNITS = {"bytes": 1, "KiB": 2**10, "MiB": 2**20, "GiB": 2**30, "TiB": 2**40}

# Room for the program, its libraries and reading a compressed file.
PROGRAM_MIB = 100
# Requests when the command cannot read the series: the job fails at once
# with the command's message.
UNREADABLE_MIB = 256
MINIMUM_MINUTES = 5


class InfoError(Exception):
    """The output of ``tamrin info`` lacks a line the workflow needs."""


@dataclasses.dataclass
class SeriesInfo:
    """The fields of ``tamrin info`` the workflow uses.

    ``patches`` is the number of patch positions a run denoises at most
    (with a mask, those whose patch holds a voxel inside it), None when the
    series is thinner than a patch; ``memory_bytes`` is the estimate for
    float32 output.
    """

    dimensions: tuple
    patch_side: int
    patch_voxels: int
    volumes: int
    patches: int
    workers: int
    memory_bytes: int


def _field(text, name, pattern):
    match = re.search(rf"^{name}:\s+{pattern}", text, re.MULTILINE)
    if not match:
        raise InfoError(f"tamrin info printed no {name} line (expected '{name}: ...')")
    return match


def parse_info(text):
    """Parse the output of ``tamrin info``.

    Raises
    ------
    InfoError
        When a line the workflow needs is missing.
    """
    dims = _field(text, "dimensions", r"(\d+) x (\d+) x (\d+) voxels, (\d+) volumes")
    patch = _field(text, "patch", r"side (\d+) \((\d+) voxels x (\d+) volumes\)")
    patches = _field(text, "patches", r"(none|[\d,]+ positions)")
    if patches.group(1) == "none":
        return SeriesInfo(tuple(int(v) for v in dims.groups()), int(patch.group(1)), int(patch.group(2)),
                          int(patch.group(3)), None, 0, 0)
    workers = _field(text, "workers", r"(\d+) ")
    memory = _field(text, "memory", r"([\d.]+) (bytes|KiB|MiB|GiB|TiB) \(float32 output\)")
    masked = re.search(r"^mask:.*; ([\d,]+) of the patch positions", text, re.MULTILINE)
    positions = masked.group(1) if masked else patches.group(1).split()[0]
    return SeriesInfo(
        dimensions=tuple(int(v) for v in dims.groups()),
        patch_side=int(patch.group(1)),
        patch_voxels=int(patch.group(2)),
        volumes=int(patch.group(3)),
        patches=int(positions.replace(",", "")),
        workers=int(workers.group(1)),
        memory_bytes=int(float(memory.group(1)) * _UNITS[memory.group(2)]),
    )


def read_info(path):
    """Read the file the info job wrote: the output of ``tamrin info``,
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
        When a line the workflow needs is missing.
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

# The workflow's configuration, the series of the source dataset and the
# functions the rules use (included by workflow/Snakefile).

import functools
import json
import os
import shlex
import shutil
import subprocess
import sys

from snakemake.exceptions import WorkflowError

sys.path.insert(0, os.path.join(workflow.basedir, "scripts"))
import bids  # noqa: E402
import derivatives  # noqa: E402
import report  # noqa: E402
import tamrin_info  # noqa: E402

OPTIONS = {"bids", "out", "tamrin", "workers", "participant_label", "patches_per_second", "mask", "rank"}
unknown = sorted(set(config) - OPTIONS)
if unknown:
    raise WorkflowError(f"unknown option {', '.join(unknown)} in --config (options: {', '.join(sorted(OPTIONS))})")
if "bids" not in config or "out" not in config:
    raise WorkflowError("name the source dataset and the output folder: --config bids=IN out=OUT")

BIDS = os.path.abspath(str(config["bids"]))
OUT = os.path.abspath(str(config["out"]))
TAMRIN = os.path.abspath(str(config["tamrin"])) if config.get("tamrin") else shutil.which("tamrin")
if not TAMRIN or not os.access(TAMRIN, os.X_OK):
    raise WorkflowError(f"tamrin not found ({TAMRIN or 'not on PATH'}): put it on PATH or give --config tamrin=PATH")
try:
    WORKERS = int(config.get("workers", 2))
    PATCHES_PER_SECOND = float(config.get("patches_per_second", tamrin_info.PATCHES_PER_SECOND))
    valid = WORKERS >= 1 and PATCHES_PER_SECOND > 0
except ValueError:
    valid = False
if not valid:
    raise WorkflowError("workers needs a whole number from 1 and patches_per_second a positive number")
RANK = str(config.get("rank", "")).lower()
if RANK not in ("", "0", "1", "false", "true", "no", "yes"):
    raise WorkflowError(f"rank={config['rank']}: say rank=1 to write the rank map (rank=0, the default, not)")
RANK = RANK in ("1", "true", "yes")
MASKS = os.path.abspath(str(config["mask"])) if config.get("mask") else None
VERSION = subprocess.run([TAMRIN, "--version"], capture_output=True, text=True, check=True).stdout.split()[-1]
PYTHON = sys.executable
SCRIPTS = os.path.join(workflow.basedir, "scripts")
try:
    SERIES = bids.find_series(BIDS, bids.normalise_participants(config.get("participant_label")))
    if MASKS and bids.find_masks(MASKS, SERIES) == 0 and SERIES:
        raise ValueError(f"mask={MASKS}: no mask for any series (expected "
                         f"{next(iter(SERIES))}{bids.MASK_SUFFIX}.nii.gz and the like)")
except ValueError as error:
    raise WorkflowError(str(error))
inside = OUT == BIDS or OUT.startswith(BIDS + os.sep)
if inside and not OUT.startswith(os.path.join(BIDS, "derivatives") + os.sep):
    raise WorkflowError(f"out={OUT} is inside the source dataset: use a folder of its own or BIDS/derivatives/NAME")

PATTERN = {name: os.path.join(OUT, path) for name, path in derivatives.files("{series}", "{ext}").items()}
# The rank map and its sidecar, when asked for (rank=1).
RANK_OUTPUT = {"rank": PATTERN["rank"]} if RANK else {}
RANK_SIDECAR = {"rank": PATTERN["rank_json"]} if RANK else {}


def source(wildcards):
    """The source series of a job."""
    if wildcards.series not in SERIES:
        raise WorkflowError(f"{wildcards.series}: no such series in {BIDS}")
    return SERIES[wildcards.series]


def mask_of(wildcards):
    """The job's brain mask: a list of its path, empty when it has none."""
    mask = source(wildcards).mask
    return [mask] if mask else []


def option(name, paths):
    """``--name 'path'`` for the one path in ``paths``, nothing when empty."""
    return " ".join(f"--{name} {shlex.quote(str(path))}" for path in paths)


def parameters(wildcards):
    """The DenoisingParameters of a series' sidecars."""
    mask = source(wildcards).mask
    return {"Software": f"tamrin {VERSION}", "Workers": WORKERS, "Uncovered": "input", "Datatype": "float32",
            "Mask": "bids:masks:" + os.path.relpath(mask, MASKS).replace(os.sep, "/") if mask else None, "RankMap": RANK}


def made(wildcards, name):
    """A file made for the job's series."""
    return os.path.join(OUT, derivatives.files(wildcards.series, source(wildcards).extension)[name])


@functools.lru_cache(maxsize=None)
def info(key):
    """tamrin info for a series; None when it cannot read it (the job then
    fails with the command's message)."""
    try:
        return tamrin_info.series_info(TAMRIN, SERIES[key].image, WORKERS, SERIES[key].mask)
    except tamrin_info.InfoError:
        return None


def outputs(item):
    """The files the workflow makes for a series."""
    names = derivatives.files(item.key, item.extension)
    wanted = ["denoised", "noise", "denoised_json", "noise_json", "figure"]
    wanted += ["rank", "rank_json"] if RANK else []
    wanted += [kind for kind in ("bval", "bvec") if getattr(item, kind)]
    return [os.path.join(OUT, names[n]) for n in wanted]

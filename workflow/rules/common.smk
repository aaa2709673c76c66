# The workflow's configuration, the series of the source dataset and the
# functions the rules use (included by workflow/Snakefile).

import json
import os
import shlex
import shutil
import subprocess
import sys

from snakemake.exceptions import WorkflowError
from snakemake.utils import validate

sys.path.insert(0, os.path.join(workflow.basedir, "scripts"))
import bids  # noqa: E402
import derivatives  # noqa: E402
import report  # noqa: E402
import tamrin_info  # noqa: E402

# The defaults are in config/config.yaml; --config and --configfile override
# them, and the schema refuses unknown names and values of the wrong kind.
configfile: os.path.join(workflow.basedir, "config", "config.yaml")
validate(config, os.path.join(workflow.basedir, "schemas", "config.schema.yaml"), set_default=False)

BIDS = os.path.abspath(str(config["bids"]))
OUT = os.path.abspath(str(config["out"]))
TAMRIN = os.path.abspath(str(config["tamrin"])) if config["tamrin"] else shutil.which("tamrin")
if not TAMRIN or not os.access(TAMRIN, os.X_OK):
    raise WorkflowError(f"tamrin not found ({TAMRIN or 'not on PATH'}): put it on PATH or give --config tamrin=PATH")
WORKERS = config["workers"]
PATCHES_PER_SECOND = config["patches_per_second"]
RANK = config["rank"] in (1, True, "true", "yes")
MASKS = os.path.abspath(str(config["mask"])) if config["mask"] else None
VERSION = subprocess.run([TAMRIN, "--version"], capture_output=True, text=True, check=True).stdout.split()[-1]
PYTHON = sys.executable
SCRIPTS = os.path.join(workflow.basedir, "scripts")
try:
    SERIES = bids.find_series(BIDS, bids.normalise_participants(config["participant_label"]))
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


def series_info(input):
    """What ``tamrin info`` said about the job's series, from the file its
    info job wrote; None when the command could not read the series (the
    job then fails with the command's message).

    Resources that call this are evaluated when the job is about to run:
    while the job graph is built the file may not exist yet, and Snakemake
    takes the FileNotFoundError of a job's input as "not known yet".
    """
    return tamrin_info.read_info(input.info)


def runtime_minutes(wildcards, input, attempt):
    """The denoise job's time limit in minutes; None (not set) until the info
    job has run: Snakemake 7 reads a runtime it does not know yet as a
    duration, and fails, where it leaves a memory request open."""
    try:
        info = series_info(input)
    except FileNotFoundError:
        return None
    return tamrin_info.runtime_minutes(info, PATCHES_PER_SECOND, attempt)


def outputs(item):
    """The files the workflow makes for a series."""
    names = derivatives.files(item.key, item.extension)
    wanted = ["denoised", "noise", "denoised_json", "noise_json", "figure"]
    wanted += ["rank", "rank_json"] if RANK else []
    wanted += [kind for kind in ("bval", "bvec") if getattr(item, kind)]
    return [os.path.join(OUT, names[n]) for n in wanted]

# SPDX-License-Identifier: BSD-3-Clause
"""Shared set-up of the workflow tests: the build, the example dataset, and
one local run of the workflow on it that several tests read.

Environment:
    TAMRIN_BUILD                the build folder (default: build)
    TAMRIN_WORKFLOW_ARTIFACTS   where the report's screenshot goes
                                (default: BUILD/workflow-tests)
    TAMRIN_REQUIRE_WORKFLOW_TOOLS=1
                                a missing tool (snakemake, chromium, the SLURM
                                daemons, root) fails instead of skipping;
                                scripts/test sets it
"""

import os
import shutil
import subprocess
import sys

import pytest

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
BUILD = os.path.abspath(os.environ.get("TAMRIN_BUILD", os.path.join(ROOT, "build")))
SNAKEFILE = os.path.join(ROOT, "workflow", "Snakefile")
PROFILE = os.path.join(ROOT, "workflow", "profiles", "slurm")
# The workers every test run uses: one, so that two jobs share the two CPUs.
WORKERS = 1

sys.path.insert(0, os.path.join(ROOT, "workflow", "scripts"))


def require(condition, reason):
    """Skip the test when ``condition`` is false, or fail when the tools are
    required (TAMRIN_REQUIRE_WORKFLOW_TOOLS=1)."""
    if condition:
        return
    if os.environ.get("TAMRIN_REQUIRE_WORKFLOW_TOOLS") == "1":
        pytest.fail(f"{reason} (and TAMRIN_REQUIRE_WORKFLOW_TOOLS=1)")
    pytest.skip(reason)


@pytest.fixture(scope="session")
def tamrin():
    path = os.path.join(BUILD, "cli", "tamrin")
    if not os.access(path, os.X_OK):
        pytest.fail(f"{path} is missing: build first (scripts/build)")
    return path


@pytest.fixture(scope="session")
def snakemake_tool():
    require(shutil.which("snakemake"), "snakemake is not installed (scripts/deps snakemake)")
    return shutil.which("snakemake")


def make_dataset(folder, participants=None):
    command = [os.path.join(ROOT, "scripts", "make-bids-example"), folder]
    if participants:
        command += ["--participants", participants]
    subprocess.run(command, check=True, capture_output=True, env=dict(os.environ, TAMRIN_BUILD=BUILD))
    return folder


def snakemake(args, cwd, check=None):
    """Run snakemake in ``cwd`` (where it keeps its records); returns the
    completed process with stdout and stderr together in ``.output``.
    ``check`` True or False asserts success or failure."""
    result = subprocess.run(["snakemake", "--snakefile", SNAKEFILE] + args, cwd=cwd, capture_output=True,
                            text=True)
    result.output = result.stdout + result.stderr
    if check is not None:
        assert (result.returncode == 0) == check, result.output[-4000:]
    return result


def planned_jobs(result):
    """Job counts by rule from a dry run's table, {} for nothing to do."""
    jobs = {}
    in_table = False
    for line in result.output.splitlines():
        words = line.split()
        if words[:2] == ["job", "count"]:
            in_table = True
        elif in_table and len(words) >= 2 and words[1].isdigit():
            if words[0] == "total":
                break
            jobs[words[0]] = int(words[1])
    return jobs


@pytest.fixture(scope="session")
def example(tmp_path_factory):
    """The example dataset: four participants, one broken series."""
    return make_dataset(str(tmp_path_factory.mktemp("example") / "bids"))


def masks(example):
    """The example's brain masks (sub-01's series have one)."""
    return os.path.join(example, "derivatives", "masks")


@pytest.fixture(scope="session")
def local_run(example, tamrin, snakemake_tool, tmp_path_factory):
    """The workflow run locally on the example with --keep-going, the masks
    and the rank map: the output folder, the working folder and the finished
    process."""
    work = tmp_path_factory.mktemp("local")
    out = str(work / "derivatives")
    result = snakemake(["--cores", "2", "--keep-going", "--config", f"bids={example}", f"out={out}",
                        f"tamrin={tamrin}", f"workers={WORKERS}", f"mask={masks(example)}", "rank=1"],
                       cwd=work)
    return out, str(work), result


def derivative_files(out):
    """Every file of a derivatives folder except the logs, figures and report
    (which hold times and paths), relative to it."""
    found = []
    for folder, dirs, files in os.walk(out):
        dirs[:] = [d for d in dirs if not d.startswith(".") and (folder != out or d not in ("logs", "figures"))]
        found += [os.path.relpath(os.path.join(folder, f), out) for f in files]
    return sorted(f for f in found if f != "report.html")

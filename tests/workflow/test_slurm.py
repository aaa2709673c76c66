# SPDX-License-Identifier: BSD-3-Clause
"""The workflow through SLURM: a one-node cluster started by
scripts/slurm-local, the example submitted through the repository's profile,
the jobs found in the controller's records, and the outputs compared with the
local run's bit for bit."""

import filecmp
import os
import re
import shutil
import subprocess

import pytest
import yaml

import tamrin_info
from conftest import PROFILE, ROOT, WORKERS, derivative_files, masks, planned_jobs, require, snakemake

SLURM_LOCAL = os.path.join(ROOT, "scripts", "slurm-local")
with open(os.path.join(ROOT, "workflow", "config", "config.yaml")) as f:
    PATCHES_PER_SECOND = yaml.safe_load(f)["patches_per_second"]


@pytest.fixture(scope="module")
def cluster(tmp_path_factory):
    """A running one-node cluster; its folder. Stopped afterwards."""
    require(os.geteuid() == 0, "the SLURM daemons need root (slurmd starts jobs as the submitting user)")
    for tool in ("munged", "slurmctld", "slurmd"):
        require(shutil.which(tool) or os.path.exists(f"/usr/sbin/{tool}"),
                f"{tool} is not installed (scripts/deps munge slurm-wlm)")
    folder = str(tmp_path_factory.mktemp("slurm"))
    started = subprocess.run([SLURM_LOCAL, "start", folder], capture_output=True, text=True)
    assert started.returncode == 0, started.stdout + started.stderr
    try:
        yield folder
    finally:
        stopped = subprocess.run([SLURM_LOCAL, "stop", folder], capture_output=True, text=True)
        assert stopped.returncode == 0, stopped.stdout + stopped.stderr


@pytest.fixture(scope="module")
def slurm_run(cluster, example, tamrin, snakemake_tool, tmp_path_factory, monkeypatch_module):
    monkeypatch_module.setenv("SLURM_CONF", os.path.join(cluster, "slurm.conf"))
    work = tmp_path_factory.mktemp("slurm-run")
    out = str(work / "derivatives")
    config = ["--config", f"bids={example}", f"out={out}", f"tamrin={tamrin}", f"workers={WORKERS}",
              f"mask={masks(example)}", "rank=1"]
    result = snakemake(["--profile", PROFILE] + config, cwd=work)
    return out, str(work), config, result


@pytest.fixture(scope="module")
def monkeypatch_module():
    patch = pytest.MonkeyPatch()
    yield patch
    patch.undo()


def jobcomp_records(cluster):
    """The controller's record of each finished job: {job id: fields}."""
    with open(os.path.join(cluster, "jobcomp.txt")) as f:
        return {fields["JobId"]: fields for fields in
                (dict(re.findall(r"(\w+)=(\S*)", line)) for line in f if line.strip())}


def test_jobs_ran_under_slurm(slurm_run, cluster):
    out, _, _, result = slurm_run
    assert result.returncode != 0, "the broken series should make the run fail"
    submitted = re.findall(r"Submitted group job \S+ with external jobid '(\d+)'", result.output)
    assert len(submitted) == 7, result.output[-4000:]
    records = jobcomp_records(cluster)
    assert set(submitted) <= set(records), (submitted, records.keys())
    states = {records[j]["Name"]: records[j]["JobState"] for j in submitted}
    assert states.pop("tamrin-sub-04/dwi/sub-04") == "FAILED"
    assert len(states) == 6 and set(states.values()) == {"COMPLETED"}, states
    for j in submitted:
        assert records[j]["NodeList"] == "localhost"
        # The controller still holds them too, with at least the memory and
        # time the series' info file asks for.
        shown = subprocess.run(["scontrol", "show", "job", "-o", j], capture_output=True, text=True).stdout
        assert f"JobId={j} " in shown and "BatchHost=localhost" in shown
        series = records[j]["Name"][len("tamrin-"):]
        extension = ".nii" if series.startswith("sub-03/") else ".nii.gz"
        info = tamrin_info.read_info(os.path.join(out, "logs", f"{series}_dwi{extension}.info.json"))
        memory = int(re.search(r"\bMinMemoryNode=(\d+)M", shown).group(1))
        hours, minutes, _ = re.search(r"\bTimeLimit=(\d+):(\d+):(\d+)", shown).groups()
        assert memory >= tamrin_info.memory_mb(info), shown
        assert 60 * int(hours) + int(minutes) >= tamrin_info.runtime_minutes(info, PATCHES_PER_SECOND), shown
    # The broken series' job printed the command's message into its SLURM log.
    broken = next(j for j in submitted if records[j]["Name"] == "tamrin-sub-04/dwi/sub-04")
    with open(os.path.join(out, "logs", "slurm", f"{broken}.log")) as f:
        assert "a 3-D image" in f.read()


def test_same_bits_as_the_local_run(slurm_run, local_run):
    out, _, _, _ = slurm_run
    local, _, _ = local_run
    files = derivative_files(out)
    assert files == derivative_files(local)
    different = [f for f in files if not filecmp.cmp(os.path.join(out, f), os.path.join(local, f), shallow=False)]
    assert not different
    with open(os.path.join(out, "report.html")) as f:
        page = f.read()
    assert page.count('class="status done"') == 6 and page.count('class="status failed"') == 1


def test_rerun_through_slurm_submits_only_the_broken_series(slurm_run):
    out, work, config, _ = slurm_run
    rerun = snakemake(["--profile", PROFILE, "-n"] + config, cwd=work, check=True)
    assert planned_jobs(rerun) == {"all": 1, "denoise": 1, "gradients": 2, "sidecars": 1, "summary": 1}
    assert "series=sub-04/dwi/sub-04" in rerun.output

#!/usr/bin/env python3
# SPDX-License-Identifier: BSD-3-Clause
"""Snakemake's cluster status command for SLURM: prints ``running``,
``success`` or ``failed`` for the job id given (what ``sbatch --parsable``
printed).

It asks the controller first (``scontrol show job``, which knows a job until
MinJobAge after it ends), then the accounting database (``sacct``, where
there is one), then the controller's job completion records (a
``jobcomp/filetxt`` file, where the controller keeps one). A job none of
them know has vanished and counts as failed. When the controller cannot be
reached the job counts as running, and is asked about again later: a
status command that fails would end the whole workflow.
"""

import re
import subprocess
import sys

# States of a job that has not ended (or may still be requeued).
RUNNING = {"PENDING", "CONFIGURING", "RUNNING", "COMPLETING", "SUSPENDED", "REQUEUED", "REQUEUE_FED",
           "REQUEUE_HOLD", "RESIZING", "SIGNALING", "STAGE_OUT", "STOPPED", "SPECIAL_EXIT", "RESV_DEL_HOLD"}


def classify(state):
    """``running``, ``success`` or ``failed`` for a SLURM job state
    (``CANCELLED by 0`` and the like count by their first word)."""
    state = state.split()[0].rstrip("+").upper() if state.strip() else ""
    if state == "COMPLETED":
        return "success"
    if state in RUNNING:
        return "running"
    return "failed"


class Unreachable(Exception):
    """The controller did not answer."""


def _run(command):
    try:
        return subprocess.run(command, capture_output=True, text=True, timeout=60)
    except (OSError, subprocess.TimeoutExpired) as error:
        raise Unreachable(str(error))


def scontrol_state(jobid):
    """The controller's state of the job, None when it does not know it."""
    result = _run(["scontrol", "show", "job", "-o", jobid])
    if result.returncode != 0:
        if "Invalid job id" in result.stderr:
            return None
        raise Unreachable(result.stderr.strip())
    match = re.search(r"\bJobState=(\S+)", result.stdout)
    return match.group(1) if match else None


def sacct_state(jobid):
    """The accounting database's state of the job, None without one."""
    try:
        result = _run(["sacct", "-n", "-X", "-P", "-j", jobid, "-o", "State"])
    except Unreachable:
        return None
    lines = [line for line in result.stdout.splitlines() if line.strip()]
    return lines[0] if result.returncode == 0 and lines else None


def jobcomp_file():
    """The controller's job completion file, when it keeps one."""
    try:
        result = _run(["scontrol", "show", "config"])
    except Unreachable:
        return None
    config = dict(re.findall(r"^(\w+)\s*=\s*(.*?)\s*$", result.stdout, re.MULTILINE))
    if config.get("JobCompType") == "jobcomp/filetxt" and config.get("JobCompLoc"):
        return config["JobCompLoc"]
    return None


def jobcomp_state(jobid, path):
    """The job's state in a job completion file (the last record of it)."""
    try:
        with open(path, errors="replace") as f:
            records = f.read()
    except OSError:
        return None
    states = re.findall(rf"^JobId={re.escape(jobid)} .*?\bJobState=(\S+)", records, re.MULTILINE)
    return states[-1] if states else None


def status(jobid):
    """``running``, ``success`` or ``failed`` for a job id."""
    jobid = jobid.split(";")[0].strip()
    try:
        state = scontrol_state(jobid)
    except Unreachable:
        return "running"
    if state is None:
        state = sacct_state(jobid)
    if state is None:
        path = jobcomp_file()
        state = jobcomp_state(jobid, path) if path else None
    if state is None:
        print(f"status.py: job {jobid} is unknown to the controller, the accounting and the job records",
              file=sys.stderr)
        return "failed"
    return classify(state)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit("usage: status.py JOBID")
    print(status(sys.argv[1]))

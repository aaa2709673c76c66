# SPDX-License-Identifier: BSD-3-Clause
"""The workflow as Snakemake sees it: its options with their defaults in
workflow/config/config.yaml and their schema, a log for every rule, and
resources that ask tamrin about a series only when its jobs are about to run."""

import os
import re
import stat

import yaml

import tamrin_info
from conftest import ROOT, WORKERS, snakemake

CONFIG = os.path.join(ROOT, "workflow", "config", "config.yaml")
SCHEMA = os.path.join(ROOT, "workflow", "schemas", "config.schema.yaml")


def load_yaml(path):
    with open(path) as f:
        return yaml.safe_load(f)


def shell_commands(result, command):
    """The shell commands of a dry run with -p that start with ``command``."""
    return [line for line in result.output.splitlines() if line.startswith(command + " ")]


def job_blocks(result, rule):
    """{series: {resource: value}} of the jobs of ``rule`` that a run or dry
    run printed."""
    found = {}
    for block in re.split(r"\n\s*\n", result.output):
        if not re.search(rf"^(local)?rule {rule}:", block, re.MULTILINE):
            continue
        series = re.search(r"wildcards: series=([^,\s]+)", block).group(1)
        resources = re.search(r"resources: (.*)", block).group(1)
        found[series] = dict(item.split("=", 1) for item in resources.split(", "))
    return found


def test_defaults_in_one_place():
    """config.yaml holds a default for every option but the two required;
    the schema knows every option, requires them all and repeats no
    default."""
    defaults = load_yaml(CONFIG)
    schema = load_yaml(SCHEMA)
    assert set(defaults) == set(schema["properties"]) - {"bids", "out"}
    assert set(schema["required"]) == set(schema["properties"]) and schema["additionalProperties"] is False

    def has_default(node):
        if isinstance(node, dict):
            return "default" in node or any(has_default(v) for v in node.values())
        return isinstance(node, list) and any(has_default(v) for v in node)
    assert not has_default(schema)


def test_options_from_a_file_of_ones_own(example, tamrin, snakemake_tool, tmp_path):
    """--configfile overrides config.yaml's defaults and --config both; what
    neither gives keeps its default."""
    own = tmp_path / "mine.yaml"
    own.write_text(yaml.safe_dump({"bids": example, "out": str(tmp_path / "out"), "tamrin": tamrin,
                                   "participant_label": ["02"], "rank": 1}))
    plan = snakemake(["--cores", "1", "-n", "-p", "--configfile", str(own)], cwd=tmp_path, check=True)
    commands = shell_commands(plan, f"{tamrin} denoise")
    assert len(commands) == 3 and all("sub-02" in c for c in commands), commands
    # workers 2 and slabs 1 from config.yaml; rank from the file; no mask
    # by default; a report beside the logs.
    assert all("--workers 2 --slabs 1 " in c and "--rank " in c and "--mask " not in c for c in commands), commands
    assert all(re.search(r" --report \S+/logs/\S+\.report\.json ", c) for c in commands), commands
    plan = snakemake(["--cores", "1", "-n", "-p", "--configfile", str(own), "--config", f"workers={WORKERS}",
                      "rank=0", "slabs=3"], cwd=tmp_path, check=True)
    commands = shell_commands(plan, f"{tamrin} denoise")
    assert all(f"--workers {WORKERS} --slabs 3 " in c and "--rank " not in c for c in commands), commands
    infos = shell_commands(plan, f"{tamrin} info")
    assert len(infos) == 3 and all(f"info --json --workers {WORKERS} --slabs 3 " in c for c in infos), infos


def test_every_rule_keeps_a_log(example, tamrin, snakemake_tool, tmp_path):
    lint = snakemake(["--lint", "--config", f"bids={example}", f"out={tmp_path}/out", f"tamrin={tamrin}"],
                     cwd=tmp_path)
    linted = set(re.findall(r"^Lints for rule (\w+)", lint.output, re.MULTILINE))
    assert {"denoise", "info", "summary", "sidecars"} <= linted, lint.output[-2000:]
    assert "No log directive defined" not in lint.output, lint.output


def test_graph_is_built_without_running_tamrin_per_series(example, tamrin, snakemake_tool, tmp_path):
    """Building the job graph runs tamrin once (for its version); the
    resources that need tamrin info are left open until the info job has
    run."""
    calls = tmp_path / "calls.txt"
    logged = tmp_path / "tamrin"
    logged.write_text(f'#!/bin/sh\necho "$*" >> "{calls}"\nexec "{tamrin}" "$@"\n')
    logged.chmod(logged.stat().st_mode | stat.S_IXUSR)
    plan = snakemake(["--cores", "1", "-n", "--config", f"bids={example}", f"out={tmp_path}/out",
                      f"tamrin={logged}"], cwd=tmp_path, check=True)
    assert calls.read_text().splitlines() == ["--version"]
    jobs = job_blocks(plan, "denoise")
    assert len(jobs) == 7 and all(r["mem_mb"] == "<TBD>" and "runtime" not in r for r in jobs.values()), jobs


def test_resources_come_from_the_info_job(local_run):
    """When they ran, the denoise and summary jobs asked for what the
    series' info file says (the broken series, which the command cannot
    read, for the fallback)."""
    out, _, result = local_run
    denoise, summary = job_blocks(result, "denoise"), job_blocks(result, "summary")
    assert len(denoise) == 7 and len(summary) == 6
    for series, resources in denoise.items():
        extension = ".nii" if series.startswith("sub-03/") else ".nii.gz"
        info = tamrin_info.read_info(os.path.join(out, "logs", f"{series}_dwi{extension}.info.json"))
        assert (info is None) == series.startswith("sub-04/")
        assert int(resources["mem_mb"]) == tamrin_info.memory_mb(info)
        assert int(resources["runtime"]) == tamrin_info.runtime_minutes(info, load_yaml(CONFIG)["patches_per_second"])
        if series in summary:
            assert int(summary[series]["mem_mb"]) == tamrin_info.summary_memory_mb(info)

# SPDX-License-Identifier: BSD-3-Clause
"""The workflow run locally on the example dataset: the derivatives it makes,
the broken series failing alone, reruns, and a participant added later."""

import filecmp
import json
import os
import re
import subprocess

import nibabel
import numpy as np

from conftest import BUILD, WORKERS, derivative_files, make_dataset, masks, planned_jobs, snakemake

GOOD = ["sub-01/dwi/sub-01_acq-b1000_dir-AP", "sub-01/dwi/sub-01_acq-b1000_dir-PA",
        "sub-02/ses-1/dwi/sub-02_ses-1_run-1", "sub-02/ses-1/dwi/sub-02_ses-1_run-2",
        "sub-02/ses-2/dwi/sub-02_ses-2", "sub-03/dwi/sub-03"]
BROKEN = "sub-04/dwi/sub-04"
MASKED = GOOD[:2]  # sub-01's series have brain masks in the example


def extension(key):
    return ".nii" if key.startswith("sub-03/") else ".nii.gz"


def read_json(path):
    with open(path) as f:
        return json.load(f)


def test_outputs_are_the_commands_results(local_run, example, tamrin, tmp_path):
    """Every good series is denoised within its mask when it has one and
    with the rank map, exactly as tamrin denoise run by hand with the same
    slabs (the default, 1) gives it on any number of workers, under BIDS
    derivative names."""
    out, _, result = local_run
    assert result.returncode != 0, "the broken series should make the run fail"
    expected = [".bidsignore", "dataset_description.json"]
    for key in GOOD:
        stem = f"{key}_desc-"
        expected += [f"{stem}{desc}_dwi{extension(key)}" for desc in ("denoised", "noise", "rank")]
        expected += [f"{stem}{desc}_dwi.json" for desc in ("denoised", "noise", "rank")]
        expected += [f"{stem}denoised_dwi.bval", f"{stem}denoised_dwi.bvec"]
    assert derivative_files(out) == sorted(expected)

    def by_hand(key, *options):
        source = os.path.join(example, f"{key}_dwi{extension(key)}")
        names = [str(tmp_path / f"{name}{extension(key)}") for name in ("denoised", "noise", "rank")]
        subprocess.run([tamrin, "denoise", source, names[0], "--noise-map", names[1], "--rank", names[2],
                        "--workers", str(WORKERS + 1), "--slabs", "1", "--quiet", "--force", *options], check=True)
        return names

    for key in (MASKED[0], GOOD[5]):
        mask = os.path.join(masks(example), f"{key}_desc-brain_mask.nii.gz")
        made = by_hand(key, *(["--mask", mask] if key in MASKED else []))
        for desc, path in zip(("denoised", "noise", "rank"), made):
            assert filecmp.cmp(path, os.path.join(out, f"{key}_desc-{desc}_dwi{extension(key)}"), shallow=False)
    # The example's mask changes the result (at the rim of the head).
    whole = by_hand(MASKED[0])[0]
    assert not filecmp.cmp(whole, os.path.join(out, f"{MASKED[0]}_desc-denoised_dwi.nii.gz"), shallow=False)


def test_metadata(local_run, example):
    out, _, _ = local_run
    description = read_json(os.path.join(out, "dataset_description.json"))
    assert description["DatasetType"] == "derivative"
    # The version is the project's, as CMakeLists.txt declares it.
    cache = open(os.path.join(BUILD, "CMakeCache.txt")).read()
    version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache, re.MULTILINE).group(1)
    assert description["GeneratedBy"][0]["Name"] == "tamrin" and description["GeneratedBy"][0]["Version"] == version
    assert description["DatasetLinks"] == {"raw": "file://" + example, "masks": "file://" + masks(example)}

    # Own sidecar over the root's; the mask among the sources; gradients copied.
    key = MASKED[1]
    sidecar = read_json(os.path.join(out, f"{key}_desc-denoised_dwi.json"))
    mask = f"bids:masks:{key}_desc-brain_mask.nii.gz"
    assert sidecar["Sources"] == [f"bids:raw:{key}_dwi.nii.gz", mask]
    assert sidecar["PhaseEncodingDirection"] == "j" and sidecar["MagneticFieldStrength"] == 3
    parameters = sidecar["DenoisingParameters"]
    assert parameters["Workers"] == WORKERS and parameters["Mask"] == mask and parameters["RankMap"] is True
    assert parameters["Software"] == f"tamrin {version}" and parameters["Slabs"] == 1
    for desc in ("noise", "rank"):
        described = read_json(os.path.join(out, f"{key}_desc-{desc}_dwi.json"))
        assert described["Sources"] == sidecar["Sources"] and "PhaseEncodingDirection" not in described
        assert "outside the brain mask" in described["Description"]
    unmasked = read_json(os.path.join(out, f"{GOOD[2]}_desc-rank_dwi.json"))
    assert unmasked["DenoisingParameters"]["Mask"] is None and len(unmasked["Sources"]) == 1
    for kind in ("bval", "bvec"):
        assert filecmp.cmp(os.path.join(example, f"{key}_dwi.{kind}"),
                           os.path.join(out, f"{key}_desc-denoised_dwi.{kind}"), shallow=False)
    # sub-03 inherits everything from the dataset's root.
    assert filecmp.cmp(os.path.join(example, "dwi.bval"),
                       os.path.join(out, "sub-03/dwi/sub-03_desc-denoised_dwi.bval"), shallow=False)
    assert read_json(os.path.join(out, "sub-03/dwi/sub-03_desc-denoised_dwi.json"))["EchoTime"] == 0.08

    # The outputs keep the source's geometry.
    source = nibabel.load(os.path.join(example, f"{key}_dwi.nii.gz"))
    denoised = nibabel.load(os.path.join(out, f"{key}_desc-denoised_dwi.nii.gz"))
    assert denoised.shape == source.shape and np.array_equal(denoised.affine, source.affine)


def test_sidecars_say_what_the_reports_say(local_run, example):
    """Each series' DenoisingParameters are those its run of tamrin denoise
    reported (--report): the version and the options in force."""
    out, _, _ = local_run
    for key in GOOD:
        image = f"{key}_desc-denoised_dwi{extension(key)}"
        report = read_json(os.path.join(out, "logs", f"{key}_dwi{extension(key)}.report.json"))
        options = report["options"]
        assert options["output"] == os.path.join(out, image) and options["input"] == os.path.join(
            example, f"{key}_dwi{extension(key)}")
        assert report["dimensions"] == list(nibabel.load(os.path.join(out, image)).shape)
        assert report["patch_positions"]["total"] > 0 and report["seconds"]["run"] > 0
        for desc in ("denoised", "noise", "rank"):
            parameters = read_json(os.path.join(out, f"{key}_desc-{desc}_dwi.json"))["DenoisingParameters"]
            assert parameters["Software"] == f"tamrin {report['version']}"
            assert (parameters["Workers"], parameters["Slabs"]) == (options["workers"], options["slabs"])
            assert (parameters["Uncovered"], parameters["Datatype"]) == (options["uncovered"], options["datatype"])
            assert parameters["RankMap"] is True and options["rank_map"] == os.path.join(
                out, f"{key}_desc-rank_dwi{extension(key)}")
            if key in MASKED:
                assert parameters["Mask"] == f"bids:masks:{key}_desc-brain_mask.nii.gz"
                assert options["mask"] == os.path.join(masks(example), f"{key}_desc-brain_mask.nii.gz")
                assert report["patch_positions"]["reaching_mask"] <= report["patch_positions"]["total"]
            else:
                assert parameters["Mask"] is None and options["mask"] is None


def test_broken_series_fails_alone_with_the_commands_message(local_run):
    out, _, result = local_run
    assert not [f for f in derivative_files(out) if f.startswith("sub-04/")]
    log = os.path.join(out, "logs", f"{BROKEN}_dwi.nii.gz.log")
    with open(log) as f:
        message = f.read()
    assert "a 3-D image" in message and "4-D series" in message
    assert "a 3-D image" in result.output  # shown where snakemake ran, too


def test_summaries(local_run, example):
    """The noise level in the object follows the level the series were made
    with, in the same proportion for all (the estimate of such small patches
    runs high by the same factor)."""
    out, _, _ = local_run
    ratios = []
    for key in GOOD:
        summary = read_json(os.path.join(out, "figures", f"{key}.json"))
        own = os.path.join(example, f"{key}_dwi.json")
        sigma = read_json(own if os.path.exists(own) else os.path.join(example, "dwi.json"))["PhantomNoiseSigma"]
        ratios.append(summary["noise_median"] / sigma)
        assert summary["patches"] > 0 and summary["seconds"] is not None and summary["bvalue"] == 1000
        assert summary["object"] == ("brain mask" if key in MASKED else "b = 0 threshold")
    assert 0.9 < min(ratios) and max(ratios) < 1.5 and max(ratios) / min(ratios) < 1.1, ratios


def test_rerun_does_nothing_but_retry_the_broken_series(local_run, example, tamrin):
    out, work, _ = local_run
    config = ["--config", f"bids={example}", f"out={out}", f"tamrin={tamrin}", f"workers={WORKERS}",
              f"mask={masks(example)}", "rank=1"]
    rerun = snakemake(["--cores", "2", "-n"] + config, cwd=work, check=True)
    assert planned_jobs(rerun) == {"all": 1, "denoise": 1, "gradients": 2, "sidecars": 1, "summary": 1}
    assert f"wildcards: series={BROKEN}, ext=.nii.gz" in rerun.output
    without = snakemake(["--cores", "2", "-n"] + config + ["participant_label=01,02,03"], cwd=work, check=True)
    assert planned_jobs(without) == {} and "Nothing to be done" in without.output


def test_added_participant_runs_only_its_jobs(tamrin, snakemake_tool, tmp_path):
    source = make_dataset(str(tmp_path / "bids"), "03")
    out = str(tmp_path / "derivatives")
    config = ["--config", f"bids={source}", f"out={out}", f"tamrin={tamrin}", f"workers={WORKERS}"]
    snakemake(["--cores", "2"] + config, cwd=tmp_path, check=True)
    before = {f: os.stat(os.path.join(out, f)).st_mtime_ns for f in derivative_files(out)}

    make_dataset(source, "05")
    plan = snakemake(["--cores", "2", "-n"] + config, cwd=tmp_path, check=True)
    assert planned_jobs(plan) == {"all": 1, "denoise": 1, "gradients": 2, "info": 1, "sidecars": 1, "summary": 1}
    assert "series=sub-05/dwi/sub-05" in plan.output and "series=sub-03" not in plan.output
    snakemake(["--cores", "2"] + config, cwd=tmp_path, check=True)
    after = {f: os.stat(os.path.join(out, f)).st_mtime_ns for f in derivative_files(out)}
    assert {f: after[f] for f in before} == before
    assert "sub-05/dwi/sub-05_desc-denoised_dwi.nii.gz" in after
    # The report was rewritten at the end of each run and lists both.
    with open(os.path.join(out, "report.html")) as f:
        page = f.read()
    assert "sub-03/dwi/sub-03" in page and "sub-05/dwi/sub-05" in page


def test_bad_configuration_is_refused(example, tamrin, snakemake_tool, tmp_path):
    """The schema refuses missing and unknown options and values of the
    wrong kind; the workflow itself what needs looking at the disk."""
    base = [f"bids={example}", f"out={tmp_path}/o", f"tamrin={tamrin}"]
    cases = [
        ([f"bids={example}"], "'out' is a required property"),
        (base + ["particpant_label=01"], "'particpant_label' was unexpected"),
        (base + ["rank=2"], "2 is not one of"),
        (base + ["workers=0"], "0 is less than the minimum of 1"),
        (base + ["workers=two"], "'two' is not of type 'integer'"),
        (base + ["patches_per_second=0"], "0 is less than or equal to the minimum of 0"),
        ([f"bids={example}", f"out={tmp_path}/o", f"tamrin={tmp_path}/none"], "tamrin not found"),
        (base + ["participant_label=sub-07"], "no participant sub-07"),
        ([f"bids={example}", f"out={example}/sub-01", f"tamrin={tamrin}"], "inside the source dataset"),
        (base + [f"mask={tmp_path}/none"], "none: no such folder"),
        (base + [f"mask={example}"], "no mask for any series"),
    ]
    for config, message in cases:
        result = snakemake(["--cores", "1", "-n", "--config"] + config, cwd=tmp_path, check=False)
        assert result.returncode != 0 and message in result.output, (config, result.output[-2000:])

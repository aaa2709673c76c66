# SPDX-License-Identifier: BSD-3-Clause
"""The workflow's modules on their own: finding series in a BIDS dataset,
reading what ``tamrin info`` wrote, the resources asked for, the sidecars'
parameters from the run's report, and the SLURM status command's
fallbacks."""

import copy
import importlib.util
import json
import os
import stat

import nibabel
import numpy as np
import pytest

from conftest import PROFILE

import bids
import derivatives
import tamrin_info


def touch(root, path, text=""):
    full = os.path.join(root, path)
    os.makedirs(os.path.dirname(full), exist_ok=True)
    with open(full, "w") as f:
        f.write(text)
    return full


class TestFindSeries:
    def test_layout_entities_and_inheritance(self, tmp_path):
        root = str(tmp_path)
        touch(root, "dwi.json", json.dumps({"A": 1, "B": 1}))
        touch(root, "dwi.bval", "0 1000")
        touch(root, "acq-hi_dwi.json", json.dumps({"B": 2}))
        touch(root, "sub-01/sub-01_dwi.bvec", "root of sub-01")
        touch(root, "sub-01/ses-2/dwi/sub-01_ses-2_acq-hi_run-1_dwi.nii.gz")
        touch(root, "sub-01/ses-2/dwi/sub-01_ses-2_acq-hi_run-1_dwi.json", json.dumps({"C": 3}))
        touch(root, "sub-01/ses-2/dwi/sub-01_ses-2_acq-hi_run-1_dwi.bval", "0 2000")
        touch(root, "sub-02/dwi/sub-02_dwi.nii")
        touch(root, "sub-02/dwi/._sub-02_dwi.nii")  # a copying tool's metadata file
        touch(root, "sub-02/anat/sub-02_T1w.nii.gz")
        touch(root, "derivatives/x/sub-01/dwi/sub-01_dwi.nii.gz")

        found = bids.find_series(root)
        assert list(found) == ["sub-01/ses-2/dwi/sub-01_ses-2_acq-hi_run-1", "sub-02/dwi/sub-02"]
        first, second = found.values()
        assert first.entities == [("sub", "01"), ("ses", "2"), ("acq", "hi"), ("run", "1")]
        assert first.extension == ".nii.gz" and second.extension == ".nii"
        assert first.relative_image == "sub-01/ses-2/dwi/sub-01_ses-2_acq-hi_run-1_dwi.nii.gz"
        # The nearest gradient file wins; sidecars come least specific first.
        assert first.bval.endswith("sub-01/ses-2/dwi/sub-01_ses-2_acq-hi_run-1_dwi.bval")
        assert first.bvec.endswith("sub-01/sub-01_dwi.bvec")
        assert [os.path.relpath(p, root) for p in first.sidecars] == [
            "acq-hi_dwi.json", "sub-01/ses-2/dwi/sub-01_ses-2_acq-hi_run-1_dwi.json"]
        # At the root, acq-hi_dwi.json is more specific than dwi.json for
        # the first series; the second has no acq and takes dwi.json.
        assert [os.path.relpath(p, root) for p in second.sidecars] == ["dwi.json"]
        assert os.path.relpath(second.bval, root) == "dwi.bval" and second.bvec is None

    def test_participants(self, tmp_path):
        root = str(tmp_path)
        for label in ("01", "02", "10"):
            touch(root, f"sub-{label}/dwi/sub-{label}_dwi.nii.gz")
        keys = lambda wanted: [s.subject for s in bids.find_series(root, bids.normalise_participants(wanted))
                               .values()]
        assert keys(None) == ["01", "02", "10"]
        assert keys("01,sub-10") == ["01", "10"]
        assert keys(["02"]) == ["02"]
        # --config participant_label=01 arrives as the number 1.
        assert keys(1) == ["01"]
        with pytest.raises(ValueError, match="no participant sub-03"):
            bids.find_series(root, ["03"])

    @pytest.mark.parametrize("path, message", [
        ("sub-01/dwi/sub-01_acq_dwi.nii.gz", "not a BIDS diffusion file name"),
        ("sub-01/dwi/sub-02_dwi.nii.gz", "not a BIDS diffusion file name"),
        ("sub-01/ses-1/dwi/sub-01_dwi.nii.gz", "not a BIDS diffusion file name"),
        ("sub-01/dwi/sub-01_desc-preproc_dwi.nii.gz", "a derivative"),
    ])
    def test_refused_names(self, tmp_path, path, message):
        touch(str(tmp_path), path)
        with pytest.raises(ValueError, match=message):
            bids.find_series(str(tmp_path))

    def test_compressed_and_not(self, tmp_path):
        touch(str(tmp_path), "sub-01/dwi/sub-01_dwi.nii.gz")
        touch(str(tmp_path), "sub-01/dwi/sub-01_dwi.nii")
        with pytest.raises(ValueError, match="both"):
            bids.find_series(str(tmp_path))

    def test_masks(self, tmp_path):
        root, masks = str(tmp_path / "bids"), str(tmp_path / "masks")
        touch(root, "sub-01/ses-1/dwi/sub-01_ses-1_dwi.nii.gz")
        touch(root, "sub-01/ses-1/dwi/sub-01_ses-1_run-2_dwi.nii.gz")
        touch(root, "sub-02/dwi/sub-02_dwi.nii")
        touch(masks, "sub-01/ses-1/dwi/sub-01_ses-1_desc-brain_mask.nii")  # any extension
        touch(masks, "sub-01/ses-1/dwi/sub-01_ses-1_run-2_mask.nii.gz")  # not a brain mask's name
        touch(masks, "sub-02/dwi/sub-02_desc-brain_mask.nii.gz")
        series = bids.find_series(root)
        assert bids.find_masks(masks, series) == 2
        assert {key: item.mask and os.path.relpath(item.mask, masks) for key, item in series.items()} == {
            "sub-01/ses-1/dwi/sub-01_ses-1": "sub-01/ses-1/dwi/sub-01_ses-1_desc-brain_mask.nii",
            "sub-01/ses-1/dwi/sub-01_ses-1_run-2": None,
            "sub-02/dwi/sub-02": "sub-02/dwi/sub-02_desc-brain_mask.nii.gz"}
        touch(masks, "sub-02/dwi/sub-02_desc-brain_mask.nii")
        with pytest.raises(ValueError, match="sub-02_desc-brain_mask: there as both"):
            bids.find_masks(masks, series)
        with pytest.raises(ValueError, match="no such folder"):
            bids.find_masks(str(tmp_path / "none"), series)


# What tamrin info --json prints, less the fields the workflow does not read.
INFO = {
    "version": "1.0.0", "file": "dwi.nii.gz", "dimensions": [128, 128, 60, 64],
    "patch": {"side": 4, "voxels": 64, "volumes": 64}, "thinner_than_patch": None, "patch_positions": 890625,
    "workers": {"used": 4, "requested": 8}, "slabs": {"used": 1, "requested": 1},
    "memory": {"float32_output_bytes": int(1.4 * 2**30), "float64_output_bytes": int(1.4 * 2**30)},
    "mask": None,
}


def info_with(**changes):
    """A copy of INFO with top-level fields replaced."""
    document = copy.deepcopy(INFO)
    document.update(changes)
    return document


class TestResources:
    def test_parse_and_requests(self):
        info = tamrin_info.parse_info(json.dumps(INFO))
        assert info.dimensions == (128, 128, 60, 64)
        assert (info.patch_voxels, info.volumes, info.patches, info.workers, info.slabs) == (64, 64, 890625, 4, 1)
        assert info.memory_bytes == int(1.4 * 2**30)
        assert tamrin_info.memory_mb(info) == 1434 + tamrin_info.PROGRAM_MIB
        assert tamrin_info.memory_mb(info, attempt=2) == 2 * (1434 + tamrin_info.PROGRAM_MIB)
        # 890,625 patches of 64 x 64 at 2,000 a second on 4 workers: 111 s,
        # twice that rounded up to whole minutes, at least five.
        assert tamrin_info.runtime_minutes(info, 2000) == 5
        assert tamrin_info.runtime_minutes(info, 200) == 38
        # Larger patches cost more: 343 voxels x 288 volumes do 108.5 times
        # the work of 64 x 64, so 12,080 s; twice that is 403 minutes.
        big = tamrin_info.parse_info(info_with(patch={"side": 7, "voxels": 343, "volumes": 288}))
        assert tamrin_info.runtime_minutes(big, 2000) == 403
        # With a mask only the positions reaching it count, unless there was
        # no memory to count them.
        masked = tamrin_info.parse_info(info_with(mask={"file": "m.nii", "voxels_inside": 383128,
                                                        "patch_positions": 447631}))
        assert masked.patches == 447631 and tamrin_info.runtime_minutes(masked, 200) == 19
        uncounted = tamrin_info.parse_info(info_with(mask={"file": "m.nii", "voxels_inside": 383128,
                                                           "patch_positions": None}))
        assert uncounted.patches == 890625

    def test_thin_series_and_missing_fields(self):
        thin = tamrin_info.parse_info(info_with(thinner_than_patch="thinner than a patch", patch_positions=None,
                                                workers=None, slabs=None, memory=None, mask=None))
        assert thin.patches is None
        assert tamrin_info.memory_mb(thin) == tamrin_info.UNREADABLE_MIB
        assert tamrin_info.runtime_minutes(thin, 2000) == tamrin_info.MINIMUM_MINUTES
        with pytest.raises(tamrin_info.InfoError, match="float32_output_bytes"):
            tamrin_info.parse_info(info_with(memory={"float64_output_bytes": 1}))
        # The command's text is not its JSON.
        with pytest.raises(tamrin_info.InfoError, match="no usable object"):
            tamrin_info.parse_info("dimensions:   128 x 128 x 60 voxels, 64 volumes\n")

    def test_info_file_of_the_real_command(self, tamrin, tmp_path):
        """What the info job writes (the command's JSON, or nothing when
        it refused the series) reads back; a file not written yet is a
        FileNotFoundError, which Snakemake takes as "not known yet"."""
        from conftest import BUILD
        import subprocess

        def info_file(*args):
            path = tmp_path / "info.json"
            with open(path, "w") as f:
                subprocess.run([tamrin, "info", "--json", "--workers", "2", *args], stdout=f,
                               stderr=subprocess.DEVNULL)
            return tamrin_info.read_info(str(path))

        noisy = str(tmp_path / "noisy.nii")
        subprocess.run([os.path.join(BUILD, "cli", "tamrin-make-phantom"), "--size", "20x16x12x8",
                        str(tmp_path / "truth.nii"), noisy], check=True)
        info = info_file(noisy)
        assert info.dimensions == (20, 16, 12, 8) and info.patches == 19 * 15 * 11
        assert (info.workers, info.slabs) == (2, 2) and info.memory_bytes > 20 * 16 * 12 * 8 * 8
        assert info_file(noisy, "--slabs", "1").slabs == 1
        mask = tmp_path / "mask.nii"
        grid = np.zeros((20, 16, 12), np.uint8)
        grid[0, 0, 0] = 1  # one corner: the patches of side 2 holding it
        nibabel.Nifti1Image(grid, nibabel.load(noisy).affine).to_filename(mask)
        assert info_file(noisy, "--mask", str(mask)).patches == 1
        # The info job leaves an empty file where the command fails.
        (tmp_path / "info.json").write_text("")
        assert tamrin_info.read_info(str(tmp_path / "info.json")) is None
        with pytest.raises(FileNotFoundError):
            tamrin_info.read_info(str(tmp_path / "not-yet.json"))


class TestSidecarParameters:
    REPORT = {"version": "1.0.0", "slabs_used": 3,
              "options": {"input": "in.nii", "workers": 4, "slabs": 1, "uncovered": "zero", "datatype": "float64",
                          "mask": "/masks/sub-01/dwi/sub-01_desc-brain_mask.nii.gz", "rank_map": None}}

    def test_from_the_report(self):
        mask = "sub-01/dwi/sub-01_desc-brain_mask.nii.gz"
        assert derivatives.denoising_parameters(self.REPORT, mask) == {
            "Software": "tamrin 1.0.0", "Workers": 4, "Slabs": 1, "Uncovered": "zero", "Datatype": "float64",
            "Mask": f"bids:masks:{mask}", "RankMap": False}
        # A run without --slabs: the slabs it used.
        report = copy.deepcopy(self.REPORT)
        report["options"].update(slabs=None, mask=None, rank_map="rank.nii")
        parameters = derivatives.denoising_parameters(report)
        assert (parameters["Slabs"], parameters["Mask"], parameters["RankMap"]) == (3, None, True)

    def test_mask_disagreement_is_refused(self):
        with pytest.raises(ValueError, match="mask"):
            derivatives.denoising_parameters(self.REPORT)


def load_status():
    found = importlib.util.spec_from_file_location("slurm_status", os.path.join(PROFILE, "status.py"))
    module = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module


class TestSlurmStatus:
    @pytest.mark.parametrize("state, expected", [
        ("COMPLETED", "success"), ("PENDING", "running"), ("RUNNING", "running"), ("COMPLETING", "running"),
        ("FAILED", "failed"), ("TIMEOUT", "failed"), ("OUT_OF_MEMORY", "failed"), ("NODE_FAIL", "failed"),
        ("CANCELLED by 0", "failed"), ("CANCELLED+", "failed"), ("REQUEUED", "running"),
    ])
    def test_states(self, state, expected):
        assert load_status().classify(state) == expected

    def test_fallbacks(self, tmp_path, monkeypatch):
        """A job the controller has forgotten is found in the job records;
        a controller that does not answer means ask again later."""
        records = tmp_path / "jobcomp.txt"
        records.write_text("JobId=42 UserId=root(0) Name=a JobState=COMPLETED Partition=p\n"
                           "JobId=43 UserId=root(0) Name=b JobState=TIMEOUT Partition=p\n"
                           "JobId=420 UserId=root(0) Name=c JobState=FAILED Partition=p\n")
        bin_dir = tmp_path / "bin"
        bin_dir.mkdir()
        scripts = {
            "scontrol": f"""#!/bin/sh
if [ "$1" = show ] && [ "$2" = config ]; then
  printf 'JobCompLoc              = {records}\\nJobCompType             = jobcomp/filetxt\\n'; exit 0
fi
case "$4" in
  7) echo "JobId=7 JobName=x JobState=RUNNING Reason=None"; exit 0 ;;
  99) echo "slurm_load_jobs error: Unable to contact slurm controller (connect failure)" >&2; exit 1 ;;
esac
echo "slurm_load_jobs error: Invalid job id specified" >&2; exit 1
""",
            "sacct": "#!/bin/sh\necho 'sacct: error: Slurm accounting storage is disabled' >&2; exit 1\n",
        }
        for name, text in scripts.items():
            path = bin_dir / name
            path.write_text(text)
            path.chmod(path.stat().st_mode | stat.S_IXUSR)
        monkeypatch.setenv("PATH", f"{bin_dir}:{os.environ['PATH']}")
        status = load_status().status
        assert status("7") == "running"
        assert status("42") == "success"
        assert status("42;cluster") == "success"
        assert status("43") == "failed"
        assert status("44") == "failed"
        assert status("99") == "running"

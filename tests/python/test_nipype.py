# SPDX-License-Identifier: BSD-3-Clause
"""tamrin.nipype.Denoise as a node of a nipype workflow: it runs the tamrin
command (the one pip installed beside the module) and its files are the
command's, byte for byte, whatever the options."""

import nibabel as nib
import numpy as np
import pytest

pytest.importorskip("nipype")
from nipype import Function, Node, Workflow  # noqa: E402

from tamrin.nipype import Denoise  # noqa: E402

from conftest import command_files  # noqa: E402


def same_bytes(path, expected):
    with open(path, "rb") as a, open(expected, "rb") as b:
        return a.read() == b.read()


def voxels_and_volumes(in_file, noise_file):
    """The consumer node: what a later step reads from the two files."""
    import nibabel
    import numpy
    data = numpy.asanyarray(nibabel.load(in_file).dataobj)
    noise = numpy.asanyarray(nibabel.load(noise_file).dataobj)
    finite = numpy.isfinite(data).all(axis=3) & numpy.isfinite(noise)
    return int(finite.sum()), data.shape[3]


def test_workflow_denoises_then_hands_the_files_on(phantom, phantom_data, tmp_path):
    source = tmp_path / "dwi.nii.gz"
    nib.load(phantom).to_filename(source)
    denoise = Node(Denoise(in_file=str(source), workers=3), name="denoise")
    consume = Node(Function(input_names=["in_file", "noise_file"],
                            output_names=["voxels", "volumes"], function=voxels_and_volumes),
                   name="consume")
    flow = Workflow(name="pipeline", base_dir=str(tmp_path))
    flow.connect([(denoise, consume, [("out_file", "in_file"), ("noise_file", "noise_file")])])
    graph = flow.run()

    nodes = {node.name: node for node in graph.nodes()}
    outputs = nodes["denoise"].result.outputs
    assert outputs.out_file.endswith("pipeline/denoise/dwi_denoised.nii.gz")
    assert outputs.noise_file.endswith("pipeline/denoise/dwi_noise.nii.gz")
    assert not outputs.rank_file  # not asked for
    X, Y, Z, N = phantom_data.shape
    # Every voxel finite: the uncovered background got the input's values.
    assert nodes["consume"].result.outputs.voxels == X * Y * Z
    assert nodes["consume"].result.outputs.volumes == N

    expected = command_files(source, tmp_path, 3, "float32", "input", extension=".nii.gz")
    for path, reference in zip((outputs.out_file, outputs.noise_file), expected):
        assert same_bytes(path, reference), path


@pytest.mark.parametrize("datatype, uncovered", [("float64", "nan"), ("float32", "zero"),
                                                 ("float32", "input")])
def test_non_finite_input_and_options_as_the_command(phantom_data, tmp_path, datatype, uncovered):
    data = phantom_data.copy()
    data[16, 14, 8, 5], data[3, 4, 5, 6], data[3, 4, 5, 7] = np.nan, -np.inf, np.inf
    source = tmp_path / "odd.nii"
    nib.Nifti1Image(data, np.diag([2.0, 2.0, 2.0, 1.0])).to_filename(source)
    # One slab on three threads: the files of one worker.
    node = Denoise(in_file=str(source), workers=3, slabs=1, datatype=datatype, uncovered=uncovered,
                   out_file=str(tmp_path / "den.nii"), noise_file=str(tmp_path / "sigma.nii"))
    result = node.run(cwd=str(tmp_path))
    assert result.outputs.out_file == str(tmp_path / "den.nii")
    # The command's warning reaches the node's record.
    assert "3 values are NaN or infinite (the first at x 16, y 14, z 8, volume 5)" in result.runtime.stderr
    expected = command_files(source, tmp_path, 1, datatype, uncovered)
    for path, reference in zip((tmp_path / "den.nii", tmp_path / "sigma.nii"), expected):
        assert same_bytes(path, reference), path
    denoised = np.asanyarray(nib.load(tmp_path / "den.nii").dataobj)
    # The voxels that held them have no estimate of their own.
    held = {"nan": np.nan, "zero": 0.0, "input": -np.inf}[uncovered]
    assert np.array_equal(denoised[3, 4, 5, 6], held, equal_nan=True)


@pytest.fixture
def mask_file(phantom, phantom_data, tmp_path):
    """A box inside the head and a corner of the background, as uint8 on the phantom's grid."""
    mask = np.zeros(phantom_data.shape[:3], dtype=np.uint8)
    mask[8:20, 6:18, 4:11] = 1
    mask[0, 0, 0] = 1
    path = tmp_path / "mask.nii.gz"
    nib.Nifti1Image(mask, nib.load(phantom).affine).to_filename(path)
    return path


@pytest.mark.parametrize("datatype, uncovered", [("float64", "nan"), ("float32", "input")])
def test_mask_and_rank_as_the_command(phantom, phantom_data, mask_file, tmp_path, datatype,
                                      uncovered):
    node = Denoise(in_file=str(phantom), mask_file=str(mask_file), workers=2, datatype=datatype,
                   uncovered=uncovered, rank=True)
    outputs = node.run(cwd=str(tmp_path)).outputs
    assert outputs.rank_file == str(tmp_path / "noisy_rank.nii")
    expected = command_files(phantom, tmp_path, 2, datatype, uncovered, mask=mask_file, rank=True)
    for path, reference in zip((outputs.out_file, outputs.noise_file, outputs.rank_file), expected):
        assert same_bytes(path, reference), path
    rank = np.asanyarray(nib.load(outputs.rank_file).dataobj)
    outside = rank[2, 25, 14]
    assert rank[12, 12, 7] > 0 and (np.isnan(outside) if uncovered == "nan" else outside == 0)

    # A name of its own writes the rank map without rank=True.
    named = Denoise(in_file=str(phantom), mask_file=str(mask_file), workers=2, datatype=datatype,
                    uncovered=uncovered, rank_file=str(tmp_path / "r.nii"))
    assert named.run(cwd=str(tmp_path)).outputs.rank_file == str(tmp_path / "r.nii")
    assert same_bytes(tmp_path / "r.nii", expected[2])


def test_bad_mask_and_missing_command_fail_with_a_message(phantom, phantom_data, tmp_path):
    cases = {"other_grid": (np.ones((8, 8, 8), np.uint8), "voxels, where the series has 32 x 28 x 16"),
             "empty": (np.zeros(phantom_data.shape[:3], np.uint8), "the mask is empty")}
    for name, (values, message) in cases.items():
        path = tmp_path / f"{name}.nii"
        nib.Nifti1Image(values, nib.load(phantom).affine).to_filename(path)
        with pytest.raises(RuntimeError, match=message):
            Denoise(in_file=str(phantom), mask_file=str(path)).run(cwd=str(tmp_path))
    with pytest.raises(OSError, match="runs the tamrin command.*was not found"):
        Denoise(in_file=str(phantom), command=str(tmp_path / "none")).run(cwd=str(tmp_path))

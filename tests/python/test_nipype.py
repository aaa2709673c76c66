"""tamrin.nipype.Denoise as a node of a nipype workflow, writing what the
command writes."""

import nibabel as nib
import numpy as np
import pytest

pytest.importorskip("nipype")
from nipype import Function, Node, Workflow  # noqa: E402

from tamrin.nipype import Denoise  # noqa: E402

from conftest import assert_same_bits, command_outputs  # noqa: E402


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
    X, Y, Z, N = phantom_data.shape
    # Every voxel finite: the uncovered background got the input's values.
    assert nodes["consume"].result.outputs.voxels == X * Y * Z
    assert nodes["consume"].result.outputs.volumes == N

    expected = command_outputs(source, tmp_path, 3, "float32", "input")
    written = [nib.load(path) for path in (outputs.out_file, outputs.noise_file)]
    for image, values in zip(written, expected):
        assert_same_bits(np.asanyarray(image.dataobj), values)
        assert np.array_equal(image.affine, nib.load(phantom).affine)
    assert written[1].shape == (X, Y, Z)


@pytest.mark.parametrize("datatype, uncovered", [("float64", "nan"), ("float32", "zero")])
def test_options_and_non_finite_input_as_the_command(phantom_data, tmp_path, datatype, uncovered):
    data = phantom_data.copy()
    data[16, 14, 8, 5], data[3, 4, 5, 6] = np.nan, -np.inf
    source = tmp_path / "odd.nii"
    nib.Nifti1Image(data, np.diag([2.0, 2.0, 2.0, 1.0])).to_filename(source)
    node = Denoise(in_file=str(source), workers=1, datatype=datatype, uncovered=uncovered,
                   out_file=str(tmp_path / "den.nii"), noise_file=str(tmp_path / "sigma.nii"))
    result = node.run(cwd=str(tmp_path))
    assert result.outputs.out_file == str(tmp_path / "den.nii")
    expected = command_outputs(source, tmp_path, 1, datatype, uncovered)
    for path, values in zip((tmp_path / "den.nii", tmp_path / "sigma.nii"), expected):
        assert_same_bits(np.asanyarray(nib.load(path).dataobj), values)

"""tamrin.nipype.Denoise as a node of a nipype workflow."""

import nibabel as nib
import numpy as np
import pytest

import tamrin

pytest.importorskip("nipype")
from nipype import Function, Node, Workflow  # noqa: E402

from tamrin.nipype import Denoise  # noqa: E402


def voxels_and_volumes(in_file, noise_file):
    """The consumer node: what a later step reads from the two files."""
    import nibabel
    import numpy
    data = numpy.asanyarray(nibabel.load(in_file).dataobj)
    noise = numpy.asanyarray(nibabel.load(noise_file).dataobj)
    return int((numpy.isfinite(data).all(axis=3) & numpy.isfinite(noise)).sum()), data.shape[3]


def test_workflow_denoises_then_hands_the_file_on(phantom, phantom_data, tmp_path):
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
    assert outputs.out_file.endswith("dwi_denoised.nii.gz")
    assert outputs.noise_file.endswith("dwi_noise.nii.gz")
    X, Y, Z, N = phantom_data.shape
    assert nodes["consume"].result.outputs.voxels == X * Y * Z
    assert nodes["consume"].result.outputs.volumes == N

    # The files hold the module's results in float32, with the uncovered
    # background given the input's values (0) and the noise map 0 there,
    # like `tamrin denoise` by default; the geometry is the input's.
    denoised, noise_map = tamrin.denoise(phantom_data, 3)
    uncovered = np.isnan(noise_map)
    denoised[np.isnan(denoised)] = 0.0
    noise_map[uncovered] = 0.0
    written, noise_written = nib.load(outputs.out_file), nib.load(outputs.noise_file)
    assert written.get_data_dtype() == np.float32 and noise_written.shape == (X, Y, Z)
    assert np.array_equal(np.asanyarray(written.dataobj), denoised.astype(np.float32))
    assert np.array_equal(np.asanyarray(noise_written.dataobj), noise_map.astype(np.float32))
    assert np.array_equal(written.affine, nib.load(phantom).affine)
    assert uncovered.any()


def test_float64_nan_output_and_names_given(phantom, phantom_data, tmp_path):
    node = Denoise(in_file=str(phantom), workers=1, uncovered="nan", datatype="float64",
                   out_file=str(tmp_path / "den.nii"), noise_file=str(tmp_path / "sigma.nii"))
    result = node.run(cwd=str(tmp_path))
    denoised, noise_map = tamrin.denoise(phantom_data, 1)
    got = np.asanyarray(nib.load(result.outputs.out_file).dataobj)
    assert got.dtype == np.float64
    assert np.array_equal(got.view(np.uint64), denoised.view(np.uint64))
    got_noise = np.asanyarray(nib.load(tmp_path / "sigma.nii").dataobj)
    assert np.array_equal(got_noise.view(np.uint64), noise_map.view(np.uint64))


def test_non_finite_input_is_refused(phantom_data, tmp_path):
    data = phantom_data.copy()
    data[3, 4, 5, 6] = np.inf
    source = tmp_path / "bad.nii"
    nib.Nifti1Image(data, np.eye(4)).to_filename(source)
    with pytest.raises(ValueError, match=r"bad.nii: 1 values are NaN or infinite"):
        Denoise(in_file=str(source)).run(cwd=str(tmp_path))

"""nipype interface of the denoiser: ``tamrin.nipype.Denoise``.

Reads a 4-D NIfTI series with nibabel, denoises it with ``tamrin.denoise`` in
the node's process and writes the denoised series and the noise map as NIfTI
files with the input's geometry, with the values ``tamrin denoise IN OUT
--noise-map NOISE`` writes: NaN and infinities in the input read as 0,
float32 unless ``datatype='float64'``, uncovered voxels filled with the
input's values unless ``uncovered`` says otherwise.

>>> from nipype import Node
>>> from tamrin.nipype import Denoise
>>> denoise = Node(Denoise(in_file="dwi.nii.gz", workers=4), name="denoise")
"""

import os

import nibabel as nib
import numpy as np
from nipype.interfaces.base import (BaseInterfaceInputSpec, File, SimpleInterface, TraitedSpec,
                                    isdefined, traits)
from nipype.utils.filemanip import split_filename

import tamrin

__all__ = ["Denoise"]


class DenoiseInputSpec(BaseInterfaceInputSpec):
    in_file = File(exists=True, mandatory=True,
                   desc="4-D NIfTI series (.nii or .nii.gz) of at least 2 volumes")
    workers = traits.Int(desc="worker threads (default: every processor)")
    uncovered = traits.Enum(
        "input", "nan", "zero", usedefault=True,
        desc="what voxels without an estimate (exact-zero background, where no patch is "
             "denoised) receive: the input's value (default), NaN, or 0; the noise map "
             "gets 0 there (NaN with 'nan')")
    datatype = traits.Enum(
        "float32", "float64", usedefault=True,
        desc="datatype of the written files (float64: the denoiser's values exactly)")
    out_file = File(desc="denoised series to write "
                         "(default: <input>_denoised.nii[.gz] in the node's folder)")
    noise_file = File(desc="noise map to write "
                           "(default: <input>_noise.nii[.gz] in the node's folder)")


class DenoiseOutputSpec(TraitedSpec):
    out_file = File(exists=True, desc="the denoised series, with the input's geometry")
    noise_file = File(exists=True, desc="the noise map (3-D), with the input's geometry")


class Denoise(SimpleInterface):
    """Denoise a 4-D NIfTI series by patch PCA (``tamrin.denoise``)."""

    input_spec = DenoiseInputSpec
    output_spec = DenoiseOutputSpec

    def _run_interface(self, runtime):
        inputs = self.inputs
        image = nib.load(inputs.in_file)
        data = np.asanyarray(image.dataobj)
        if data.dtype.kind == "f":
            finite = np.isfinite(data)
            if not finite.all():  # read as 0, as the command reads them
                data = np.where(finite, data, 0)
            del finite
        workers = inputs.workers if isdefined(inputs.workers) else None
        denoised, noise_map = tamrin.denoise(data, workers)

        # Voxels without an estimate: uncovered ones, and covered ones whose
        # patches' decomposition broke down; the command fills both alike.
        if inputs.uncovered != "nan":
            missing = ~np.isfinite(denoised)
            denoised[missing] = data[missing] if inputs.uncovered == "input" else 0.0
            noise_map[~np.isfinite(noise_map)] = 0.0
            del missing
        del data

        folder, base, extension = split_filename(inputs.in_file)
        out_file = self._target(inputs.out_file, runtime.cwd, base + "_denoised" + extension)
        noise_file = self._target(inputs.noise_file, runtime.cwd, base + "_noise" + extension)
        _write_like(image, denoised, inputs.datatype, out_file)
        _write_like(image, noise_map, inputs.datatype, noise_file)
        self._results["out_file"] = out_file
        self._results["noise_file"] = noise_file
        return runtime

    @staticmethod
    def _target(given, folder, default):
        return os.path.abspath(given) if isdefined(given) else os.path.join(folder, default)


def _write_like(image, values, datatype, path):
    """Writes values (3-D or 4-D) with image's geometry and NIfTI version, unscaled."""
    header = image.header.copy()
    header.set_data_dtype(datatype)
    header.set_slope_inter(1.0, 0.0)
    output = image.__class__(values.astype(datatype, copy=False), image.affine, header)
    output.to_filename(path)

# SPDX-License-Identifier: BSD-3-Clause
"""nipype interface of the denoiser: ``tamrin.nipype.Denoise``.

The interface runs the ``tamrin denoise`` command, so that a node writes
exactly the files the command writes with the same options: the same
reading of the input (scaling, NaN and infinities set aside with a warning),
the same checks of a mask file against the series' grid, the same filling of
voxels without an estimate and the same NIfTI headers, byte for byte.

The command is the one installed with this package (``pip install ./python``
puts it beside the interpreter, in the environment's scripts folder), else
the ``tamrin`` found on PATH; ``Denoise(command=PATH)`` names another.

>>> from nipype import Node
>>> from tamrin.nipype import Denoise
>>> denoise = Node(Denoise(in_file="dwi.nii.gz", mask_file="brain.nii.gz", rank=True),
...                name="denoise")
"""

import os
import shlex
import sysconfig

from nipype.interfaces.base import (CommandLine, CommandLineInputSpec, File, TraitedSpec, Undefined,
                                    isdefined, traits)
from nipype.utils.filemanip import split_filename, which

__all__ = ["Denoise"]


class DenoiseInputSpec(CommandLineInputSpec):
    in_file = File(exists=True, mandatory=True, argstr="%s", position=0,
                   desc="4-D NIfTI series (.nii or .nii.gz) of at least 2 volumes")
    out_file = File(argstr="%s", position=1, genfile=True,
                    desc="denoised series to write "
                         "(default: <input>_denoised.nii[.gz] in the node's folder)")
    noise_file = File(argstr="--noise-map %s", genfile=True,
                      desc="noise map to write (default: <input>_noise.nii[.gz] in the node's folder)")
    rank = traits.Bool(False, usedefault=True,
                       desc="also write the rank map, the number of components kept "
                            "(default name: <input>_rank.nii[.gz] in the node's folder)")
    rank_file = File(argstr="--rank %s", genfile=True,
                     desc="rank map to write (writes it whatever rank says)")
    mask_file = File(exists=True, argstr="--mask %s",
                     desc="3-D NIfTI mask on the series' grid, non-zero inside: only patches "
                          "reaching it are denoised, voxels outside are uncovered")
    workers = traits.Range(low=1, argstr="--workers %d",
                           desc="worker threads (default: every processor)")
    slabs = traits.Range(low=1, argstr="--slabs %d",
                         desc="slabs of the series (default: as many as workers); the results depend on "
                              "the slabs alone, so a fixed count gives the same files on every machine")
    uncovered = traits.Enum(
        "input", "nan", "zero", usedefault=True, argstr="--uncovered %s",
        desc="what voxels without an estimate (exact-zero background, outside the mask, "
             "holding NaN or infinities in the input) receive: the input's value (default), "
             "NaN, or 0; the noise and rank maps get 0 there (NaN with 'nan')")
    datatype = traits.Enum(
        "float32", "float64", usedefault=True, argstr="--datatype %s",
        desc="datatype of the written files (float64: the denoiser's values exactly)")


class DenoiseOutputSpec(TraitedSpec):
    out_file = File(exists=True, desc="the denoised series, with the input's geometry")
    noise_file = File(exists=True, desc="the noise map (3-D), with the input's geometry")
    rank_file = File(exists=True, desc="the rank map (3-D), when rank or rank_file is set")


class Denoise(CommandLine):
    """Denoise a 4-D NIfTI series by patch PCA (``tamrin denoise``).

    Parameters
    ----------
    command : str, optional
        The ``tamrin`` program to run (default: the one installed with this
        package, else ``tamrin`` on PATH).
    **inputs
        Values of the inputs (see ``Denoise.help()``).
    """

    input_spec = DenoiseInputSpec
    output_spec = DenoiseOutputSpec

    def __init__(self, command=None, **inputs):
        self._program = command or installed_command()
        super().__init__(command=f"{shlex.quote(self._program)} denoise", **inputs)

    def _run_interface(self, runtime, correct_return_codes=(0,)):
        if which(self._program, env=runtime.environ) is None:
            raise IOError(
                f"tamrin.nipype.Denoise runs the tamrin command, and {self._program!r} was not found: "
                "install the package with pip (which installs the command beside it), put tamrin "
                "on PATH (scripts/build builds build/cli/tamrin) or pass Denoise(command=PATH)")
        runtime = super()._run_interface(runtime, correct_return_codes)
        if runtime.returncode not in correct_return_codes:
            # Raised here, with the command's message, rather than as the
            # outputs it did not write.
            self.raise_exception(runtime)
        return runtime

    def _parse_inputs(self, skip=None):
        # The outputs are the node's own: replaced on a rerun, never refused.
        return super()._parse_inputs(skip) + ["--force", "--quiet"]

    def _format_arg(self, name, trait_spec, value):
        if isinstance(value, str) and name.endswith("_file"):
            value = shlex.quote(value)  # the command line goes through a shell
        return super()._format_arg(name, trait_spec, value)

    def _gen_filename(self, name):
        given = getattr(self.inputs, name)
        if isdefined(given):
            return os.path.abspath(given)
        suffix = {"out_file": "_denoised", "noise_file": "_noise", "rank_file": "_rank"}.get(name)
        if suffix is None or (name == "rank_file" and not self.inputs.rank):
            return Undefined
        _, base, extension = split_filename(self.inputs.in_file)
        return os.path.abspath(base + suffix + extension)

    def _list_outputs(self):
        outputs = self.output_spec().get()
        for name in ("out_file", "noise_file", "rank_file"):
            path = self._gen_filename(name)
            if isdefined(path):
                outputs[name] = path
        return outputs


def installed_command():
    """The tamrin command installed with this package (in the environment's
    scripts folder), or ``"tamrin"`` to be found on PATH."""
    beside = os.path.join(sysconfig.get_path("scripts"), "tamrin")
    return beside if os.access(beside, os.X_OK) else "tamrin"

# SPDX-License-Identifier: BSD-3-Clause
"""The metadata files of the derivatives dataset: its description and a JSON
sidecar per output, and where every file of a series goes.

    python3 derivatives.py description OUT_JSON SOURCE VERSION [--masks MASKS]
    python3 derivatives.py sidecars --source-image PATH [--mask-image PATH]
        --denoised OUT_JSON --noise OUT_JSON [--rank OUT_JSON]
        --report REPORT_JSON [SIDECAR ...]
"""

import argparse
import json
import os
import sys

# Files of the derivatives dataset that are not BIDS files.
NOT_BIDS = ["figures/", "logs/", "report.html"]


def files(key, extension):
    """The files made for the series ``key`` (see bids.Series), relative to
    the derivatives dataset. With ``"{series}"`` and ``"{ext}"`` these are
    the workflow's patterns.
    """
    return {
        "denoised": f"{key}_desc-denoised_dwi{extension}",
        "noise": f"{key}_desc-noise_dwi{extension}",
        "rank": f"{key}_desc-rank_dwi{extension}",
        "denoised_json": f"{key}_desc-denoised_dwi.json",
        "noise_json": f"{key}_desc-noise_dwi.json",
        "rank_json": f"{key}_desc-rank_dwi.json",
        "bval": f"{key}_desc-denoised_dwi.bval",
        "bvec": f"{key}_desc-denoised_dwi.bvec",
        "figure": f"figures/{key}.png",
        "summary": f"figures/{key}.json",
        "log": f"logs/{key}_dwi{extension}.log",
        "benchmark": f"logs/{key}_dwi{extension}.tsv",
        "info": f"logs/{key}_dwi{extension}.info.json",
        "report": f"logs/{key}_dwi{extension}.report.json",
        "info_log": f"logs/{key}_dwi{extension}.info.log",
        "sidecars_log": f"logs/{key}_sidecars.log",
        "summary_log": f"logs/{key}_summary.log",
    }


def _write_json(path, content):
    # Written under another name and renamed, so a reader never sees half.
    temporary = path + ".part"
    with open(temporary, "w") as f:
        json.dump(content, f, indent=2)
        f.write("\n")
    os.replace(temporary, path)


def read_json(path):
    with open(path) as f:
        return json.load(f)


def write_dataset_description(path, source, version, masks=None):
    """Write ``dataset_description.json`` of the derivatives dataset, and
    ``.bidsignore`` beside it for the report's files.

    Parameters
    ----------
    path : str
        The file to write.
    source : str
        The source dataset's folder (named in ``DatasetLinks`` as ``raw``,
        which the sidecars' ``Sources`` refer to).
    version : str
        The tamrin version.
    masks : str, optional
        The brain masks' dataset, when there is one (``masks`` in
        ``DatasetLinks``).
    """
    name = None
    described = os.path.join(source, "dataset_description.json")
    if os.path.isfile(described):
        name = read_json(described).get("Name")
    uri = "file://" + os.path.abspath(source)
    links = {"raw": uri}
    if masks:
        links["masks"] = "file://" + os.path.abspath(masks)
    _write_json(path, {
        "Name": f"{name or os.path.basename(os.path.abspath(source))}: denoised",
        "BIDSVersion": "1.9.0",
        "DatasetType": "derivative",
        "GeneratedBy": [{
            "Name": "tamrin",
            "Version": version,
            "Description": "PCA denoising of overlapping cubic patches (tamrin denoise), run by the "
                           "project's Snakemake workflow",
        }],
        "SourceDatasets": [{"URL": u} for u in links.values()],
        "DatasetLinks": links,
    })
    with open(os.path.join(os.path.dirname(path), ".bidsignore"), "w") as f:
        f.write("\n".join(NOT_BIDS) + "\n")


def denoising_parameters(report, mask_image=None):
    """The ``DenoisingParameters`` of a series' sidecars, from the report of
    the ``tamrin denoise`` run that made it (``--report``).

    Parameters
    ----------
    report : dict
        The run's report.
    mask_image : str, optional
        The brain mask's path relative to the masks' dataset, when the
        series was denoised within one.

    Raises
    ------
    ValueError
        When the report says the run had a mask and none is named, or the
        other way round.
    """
    options = report["options"]
    if (options["mask"] is None) != (mask_image is None):
        raise ValueError(f"the report of {options['input']} says mask {options['mask']}, the workflow "
                         f"{mask_image}")
    return {
        "Software": f"tamrin {report['version']}",
        "Workers": options["workers"],
        "Slabs": options["slabs"] if options["slabs"] is not None else report["slabs_used"],
        "Uncovered": options["uncovered"],
        "Datatype": options["datatype"],
        "Mask": f"bids:masks:{mask_image}" if mask_image else None,
        "RankMap": options["rank_map"] is not None,
    }


def write_sidecars(source_image, sidecars, denoised_json, noise_json, parameters, rank_json=None,
                   mask_image=None):
    """Write the sidecars of a denoised series, of its noise map and of its
    rank map.

    The denoised series' sidecar carries the source's metadata (every
    applicable sidecar, merged as BIDS inheritance does) with ``Sources``,
    ``Description`` and ``DenoisingParameters`` added; the maps' have the
    latter three only.

    Parameters
    ----------
    source_image : str
        The source series' path relative to its dataset.
    sidecars : list of str
        Its applicable sidecars, least specific first.
    denoised_json, noise_json : str
        The files to write.
    parameters : dict
        The options the series was denoised with (see
        ``denoising_parameters``).
    rank_json : str, optional
        The rank map's sidecar, when the rank map was written.
    mask_image : str, optional
        The brain mask's path relative to the masks' dataset, when the
        series was denoised within one (a source too).
    """
    metadata = {}
    for sidecar in sidecars:
        metadata.update(read_json(sidecar))
    sources = [f"bids:raw:{source_image}"] + ([f"bids:masks:{mask_image}"] if mask_image else [])
    common = {"Sources": sources, "DenoisingParameters": parameters}
    outside = " or outside the brain mask" if mask_image else ""
    metadata.update(Description="The source series denoised by tamrin denoise", **common)
    _write_json(denoised_json, metadata)
    _write_json(noise_json, dict(
        Description="Local noise level (standard deviation, in the source's units) estimated by "
                    f"tamrin denoise; 0 where no patch gave an estimate{outside}",
        **common))
    if rank_json:
        _write_json(rank_json, dict(
            Description="Number of signal components kept by tamrin denoise (the rank of the denoised "
                        "signal), averaged over the patches covering each voxel with the noise map's "
                        f"weights; 0 where no patch gave an estimate{outside}",
            **common))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Metadata files of the derivatives dataset.")
    commands = parser.add_subparsers(dest="command", required=True)
    description = commands.add_parser("description", help="dataset_description.json and .bidsignore")
    description.add_argument("path")
    description.add_argument("source")
    description.add_argument("version")
    description.add_argument("--masks")
    sidecars = commands.add_parser("sidecars", help="the sidecars of a denoised series and its noise map")
    sidecars.add_argument("--source-image", required=True)
    sidecars.add_argument("--denoised", required=True)
    sidecars.add_argument("--noise", required=True)
    sidecars.add_argument("--rank")
    sidecars.add_argument("--mask-image")
    sidecars.add_argument("--report", required=True, help="the report of tamrin denoise --report")
    sidecars.add_argument("inherited", nargs="*")
    args = parser.parse_args(argv)
    if args.command == "description":
        write_dataset_description(args.path, args.source, args.version, args.masks)
    else:
        parameters = denoising_parameters(read_json(args.report), args.mask_image)
        write_sidecars(args.source_image, args.inherited, args.denoised, args.noise, parameters,
                       args.rank, args.mask_image)
    return 0


if __name__ == "__main__":
    sys.exit(main())

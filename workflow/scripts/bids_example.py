# SPDX-License-Identifier: BSD-3-Clause
"""A small synthetic BIDS dataset of diffusion series, for trying and testing
the workflow (run through scripts/make-bids-example).

The default dataset has four participants: sub-01 with two series told apart
by acq and dir, sub-02 with two sessions (two runs in the first), sub-03 with
an uncompressed series whose gradient and sidecar files are inherited from
the dataset's root, and sub-04 whose series is broken (a single 3-D volume).
Other participants get one plain series each. Every series is a synthetic
brain from tamrin-make-phantom with its own seed and noise level; the level
is recorded in the sidecar as ``PhantomNoiseSigma``. sub-01's series have
brain masks (the phantom's head) in the derivatives dataset
``derivatives/masks`` (``--config mask=DIR/derivatives/masks``); the others
have none.
"""

import argparse
import json
import math
import os
import subprocess
import sys
import tempfile
import zlib

import nibabel
import numpy as np

LAYOUT = {
    "01": ["sub-01/dwi/sub-01_acq-b1000_dir-AP", "sub-01/dwi/sub-01_acq-b1000_dir-PA"],
    "02": ["sub-02/ses-1/dwi/sub-02_ses-1_run-1", "sub-02/ses-1/dwi/sub-02_ses-1_run-2",
           "sub-02/ses-2/dwi/sub-02_ses-2"],
    "03": ["sub-03/dwi/sub-03"],
    "04": ["sub-04/dwi/sub-04"],
}
UNCOMPRESSED = {"sub-03/dwi/sub-03"}
INHERITING = {"sub-03/dwi/sub-03"}
BROKEN = {"sub-04/dwi/sub-04"}
MASKED = {"sub-01/dwi/sub-01_acq-b1000_dir-AP", "sub-01/dwi/sub-01_acq-b1000_dir-PA"}
MASKS = "derivatives/masks"
INHERITED_SIGMA = 20


def gradients(volumes):
    """b-values (one b = 0, then b = 1000) and unit directions spread over a
    sphere, three rows as BIDS has them."""
    bvals = np.array([0] + [1000] * (volumes - 1), dtype=float)
    directions = np.zeros((3, volumes))
    for i in range(1, volumes):
        t = (i - 0.5) / (volumes - 1)
        z, angle = 1 - 2 * t, math.pi * (1 + 5 ** 0.5) * i
        r = math.sqrt(max(0.0, 1 - z * z))
        directions[:, i] = (r * math.cos(angle), r * math.sin(angle), z)
    return bvals, directions


def write_gradients(stem, volumes):
    bvals, directions = gradients(volumes)
    with open(stem + ".bval", "w") as f:
        f.write(" ".join(f"{b:g}" for b in bvals) + "\n")
    with open(stem + ".bvec", "w") as f:
        for row in directions:
            f.write(" ".join(f"{v:.6f}" for v in row) + "\n")


def write_json(path, content):
    with open(path, "w") as f:
        json.dump(content, f, indent=2)
        f.write("\n")


def write_series(root, key, size, phantom):
    """One series: the image and, unless it inherits them, its gradients and
    sidecar."""
    x, y, z, volumes = size
    folder = os.path.join(root, os.path.dirname(key))
    os.makedirs(folder, exist_ok=True)
    stem = os.path.join(root, key) + "_dwi"
    image = stem + (".nii" if key in UNCOMPRESSED else ".nii.gz")
    seed = zlib.crc32(key.encode()) % 100000
    sigma = INHERITED_SIGMA if key in INHERITING else 15 + seed % 11
    if key in BROKEN:
        volume = np.full((x, y, z), 100, dtype=np.float32)
        nibabel.save(nibabel.Nifti1Image(volume, np.diag([2.0, 2.0, 2.0, 1.0])), image)
    else:
        mask = []
        if key in MASKED:
            mask = ["--mask", os.path.join(root, MASKS, key) + "_desc-brain_mask.nii.gz"]
            os.makedirs(os.path.dirname(mask[1]), exist_ok=True)
        with tempfile.TemporaryDirectory() as scratch:
            subprocess.run([phantom, "--size", f"{x}x{y}x{z}x{volumes}", "--sigma", str(sigma), "--seed",
                            str(seed), os.path.join(scratch, "truth.nii"), image] + mask, check=True)
    if key not in INHERITING:
        write_gradients(stem, volumes)
        direction = "j" if "dir-PA" in key else "j-"
        write_json(stem + ".json", {"PhaseEncodingDirection": direction, "TotalReadoutTime": 0.05,
                                    "PhantomNoiseSigma": sigma})
    return image


def make_dataset(root, participants, size, phantom):
    """Write the dataset's files and the given participants' series; returns
    the images written."""
    os.makedirs(root, exist_ok=True)
    write_json(os.path.join(root, "dataset_description.json"),
               {"Name": "Tamrin synthetic diffusion example", "BIDSVersion": "1.9.0", "DatasetType": "raw"})
    # Shared by every series: the root's sidecar and gradients (the latter
    # used by series that have none of their own).
    write_json(os.path.join(root, "dwi.json"), {"MagneticFieldStrength": 3, "Manufacturer": "Synthetic",
                                                "EchoTime": 0.08, "RepetitionTime": 4.2,
                                                "PhantomNoiseSigma": INHERITED_SIGMA})
    write_gradients(os.path.join(root, "dwi"), size[3])
    with open(os.path.join(root, "README"), "w") as f:
        f.write("Synthetic diffusion series made by scripts/make-bids-example for the tamrin workflow.\n")
    images = []
    for label in participants:
        for key in LAYOUT.get(label, [f"sub-{label}/dwi/sub-{label}"]):
            images.append(write_series(root, key, size, phantom))
    if os.path.isdir(os.path.join(root, MASKS)):
        write_json(os.path.join(root, MASKS, "dataset_description.json"),
                   {"Name": "Brain masks of the synthetic example", "BIDSVersion": "1.9.0",
                    "DatasetType": "derivative",
                    "GeneratedBy": [{"Name": "tamrin-make-phantom", "Description": "the phantom's head"}]})
    subjects = sorted(d[4:] for d in os.listdir(root) if d.startswith("sub-"))
    with open(os.path.join(root, "participants.tsv"), "w") as f:
        f.write("participant_id\n" + "".join(f"sub-{s}\n" for s in subjects))
    return images


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write a synthetic BIDS dataset of diffusion series.")
    parser.add_argument("folder")
    parser.add_argument("--size", default="24x24x12x8", help="XxYxZxN of each series (default 24x24x12x8)")
    parser.add_argument("--participants", default="01,02,03,04",
                        help="labels to write, comma-separated (default 01,02,03,04: the example's four)")
    parser.add_argument("--phantom", required=True, help="the tamrin-make-phantom program")
    args = parser.parse_args(argv)
    try:
        size = tuple(int(v) for v in args.size.split("x"))
        if len(size) != 4 or min(size) < 1:
            raise ValueError
    except ValueError:
        parser.error("--size needs XxYxZxN")
    labels = [p.strip().removeprefix("sub-") for p in args.participants.split(",") if p.strip()]
    for image in make_dataset(args.folder, labels, size, args.phantom):
        print(image)
    return 0


if __name__ == "__main__":
    sys.exit(main())

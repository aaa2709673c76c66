# SPDX-License-Identifier: BSD-3-Clause
"""Diffusion series of a BIDS dataset and their names in the derivatives.

A series is ``sub-<label>/[ses-<label>/]dwi/<entities>_dwi.nii[.gz]``. Its
key is that path without ``_dwi`` and the extension, for example
``sub-01/ses-1/dwi/sub-01_ses-1_run-1``; the derivatives keep the key and add
``desc-<label>`` before the suffix. Sidecar files (``.json``, ``.bval``,
``.bvec``) are found by the inheritance principle: applicable files from the
dataset's root down to the series' own folder, named with a subset of the
series' entities.

Sources have no ``desc`` entity: denoising comes first, on the images as the
scanner made them, so a series named as a derivative is refused.

Brain masks come from a derivatives dataset of their own, under the series'
key: ``<key>_desc-brain_mask.nii[.gz]``.
"""

import dataclasses
import os
import re

EXTENSIONS = (".nii.gz", ".nii")
MASK_SUFFIX = "_desc-brain_mask"
_ENTITY = re.compile(r"^([a-zA-Z]+)-([a-zA-Z0-9]+)$")


@dataclasses.dataclass
class Series:
    """One diffusion series of the source dataset.

    Attributes
    ----------
    key : str
        Path of the series relative to the dataset, without ``_dwi`` and the
        extension (``sub-01/dwi/sub-01_acq-b1000``).
    image : str
        Absolute path of the image.
    extension : str
        ``.nii.gz`` or ``.nii``.
    entities : list of (str, str)
        The entities of the file name in their order.
    bval, bvec : str or None
        The applicable gradient files, None when there is none.
    sidecars : list of str
        The applicable JSON sidecars, least specific first.
    mask : str or None
        The brain mask to denoise within (see :func:`find_masks`), None
        when there is none.
    """

    key: str
    image: str
    extension: str
    entities: list
    bval: str = None
    bvec: str = None
    sidecars: list = dataclasses.field(default_factory=list)
    mask: str = None

    @property
    def subject(self):
        return dict(self.entities)["sub"]

    @property
    def relative_image(self):
        """The image's path relative to the dataset, with ``/``."""
        return self.key + "_dwi" + self.extension


def parse_entities(stem):
    """Entities of a file name stem without its suffix.

    Parameters
    ----------
    stem : str
        For example ``sub-01_ses-1_run-2`` (what precedes ``_dwi``).

    Returns
    -------
    list of (str, str) or None
        The key-value pairs in order, None when a part is not ``key-label``
        with an alphanumeric label or a key repeats.
    """
    pairs = []
    for part in stem.split("_"):
        match = _ENTITY.match(part)
        if not match or match.group(1) in dict(pairs):
            return None
        pairs.append((match.group(1), match.group(2)))
    return pairs


def normalise_participants(labels):
    """Participant labels from a config value, without ``sub-``.

    Accepts a list, a comma- or space-separated string, or a number (what
    Snakemake's ``--config participant_label=01`` gives), and None for all.
    """
    if labels is None or labels == "":
        return None
    if not isinstance(labels, (list, tuple)):
        labels = re.split(r"[,\s]+", str(labels).strip())
    names = [str(label).strip() for label in labels if str(label).strip()]
    return [name[4:] if name.startswith("sub-") else name for name in names]


def _participant_matches(label, wanted):
    # A number given on the command line loses its leading zeros: 1 names
    # sub-01 as well as sub-1.
    return label == wanted or (label.isdigit() and wanted.isdigit() and int(label) == int(wanted))


def _applicable(folder, entities, extension, root):
    """Files named with a subset of ``entities`` and ``_dwi<extension>`` in
    ``folder`` and its parents up to ``root``, least specific first."""
    found = []
    path = folder
    while True:
        best = None
        for name in sorted(os.listdir(path)):
            stem = name[: -len("dwi" + extension)] if name.endswith("dwi" + extension) else None
            if stem is None or not os.path.isfile(os.path.join(path, name)):
                continue
            if stem == "":
                pairs = []
            elif stem.endswith("_"):
                pairs = parse_entities(stem[:-1])
            else:
                continue
            if pairs is None or not set(pairs) <= set(entities):
                continue
            # Several applicable files in one folder: the most specific wins.
            if best is None or len(pairs) > best[0]:
                best = (len(pairs), os.path.join(path, name))
        if best:
            found.append(best[1])
        if os.path.samefile(path, root):
            break
        path = os.path.dirname(path)
    return found[::-1]


def _series_in(root, folder, extension_of):
    """Series of one ``dwi`` folder."""
    series = []
    for name in sorted(os.listdir(folder)):
        extension = extension_of(name)
        if name.startswith(".") or extension is None or not name[: -len(extension)].endswith("_dwi"):
            continue
        stem = name[: -len("_dwi" + extension)]
        entities = parse_entities(stem)
        relative = os.path.relpath(os.path.join(folder, stem), root).replace(os.sep, "/")
        parts = relative.split("/")
        labels = dict(entities or [])
        expected = [f"sub-{labels.get('sub')}"] + ([f"ses-{labels['ses']}"] if "ses" in labels else [])
        if entities is None or entities[0][0] != "sub" or parts[:-2] != expected:
            raise ValueError(f"{relative + '_dwi' + extension}: not a BIDS diffusion file name "
                             f"(expected sub-<label>[_ses-<label>][_<key>-<label>...]_dwi{extension} "
                             "in its subject's and session's folder)")
        if "desc" in labels:
            raise ValueError(f"{relative + '_dwi' + extension}: a derivative (it has a desc entity); "
                             "the workflow denoises source series, as the scanner made them")
        item = Series(relative, os.path.abspath(os.path.join(folder, name)), extension, entities)
        bval = _applicable(folder, entities, ".bval", root)
        bvec = _applicable(folder, entities, ".bvec", root)
        item.bval = bval[-1] if bval else None
        item.bvec = bvec[-1] if bvec else None
        item.sidecars = _applicable(folder, entities, ".json", root)
        series.append(item)
    return series


def find_series(root, participants=None):
    """Every diffusion series of a BIDS dataset.

    Parameters
    ----------
    root : str
        The dataset's folder.
    participants : list of str, optional
        Labels of the participants to include (see
        :func:`normalise_participants`); all when None.

    Returns
    -------
    dict
        :class:`Series` by key, in sorted order.

    Raises
    ------
    ValueError
        When the folder is not a dataset, a diffusion file is misnamed, a
        series is there both compressed and not, or a requested participant
        has no folder.
    """
    if not os.path.isdir(root):
        raise ValueError(f"{root}: no such folder (bids=FOLDER names the source dataset)")

    def extension_of(name):
        return next((e for e in EXTENSIONS if name.endswith(e)), None)

    subjects = sorted(d for d in os.listdir(root) if d.startswith("sub-") and os.path.isdir(os.path.join(root, d)))
    if participants is not None:
        missing = [p for p in participants if not any(_participant_matches(s[4:], p) for s in subjects)]
        if missing:
            raise ValueError(f"{root}: no participant {', '.join('sub-' + p for p in missing)} "
                             f"(there are {len(subjects)}: {' '.join(subjects[:10])}"
                             f"{' ...' if len(subjects) > 10 else ''})")
        subjects = [s for s in subjects if any(_participant_matches(s[4:], p) for p in participants)]
    found = {}
    for subject in subjects:
        base = os.path.join(root, subject)
        sessions = sorted(d for d in os.listdir(base) if d.startswith("ses-"))
        for folder in [base] + [os.path.join(base, s) for s in sessions]:
            dwi = os.path.join(folder, "dwi")
            if not os.path.isdir(dwi):
                continue
            for item in _series_in(root, dwi, extension_of):
                if item.key in found:
                    raise ValueError(f"{item.key}_dwi: there as both {found[item.key].extension} "
                                     f"and {item.extension}; keep one")
                found[item.key] = item
    return dict(sorted(found.items()))


def find_masks(root, series):
    """Give each series its brain mask from the derivatives dataset ``root``:
    ``root/<key>_desc-brain_mask.nii[.gz]``. Series without one keep None
    (they are denoised whole).

    Parameters
    ----------
    root : str
        The masks' dataset.
    series : dict
        :class:`Series` by key (what :func:`find_series` returns), updated.

    Returns
    -------
    int
        The number of series that have a mask.

    Raises
    ------
    ValueError
        When ``root`` is not a folder or a mask is there both compressed and
        not.
    """
    if not os.path.isdir(root):
        raise ValueError(f"{root}: no such folder (mask=FOLDER names a derivatives dataset of brain "
                         f"masks, <series path>{MASK_SUFFIX}.nii[.gz])")
    found = 0
    for item in series.values():
        stem = os.path.join(root, *item.key.split("/")) + MASK_SUFFIX
        masks = [stem + e for e in EXTENSIONS if os.path.isfile(stem + e)]
        if len(masks) > 1:
            raise ValueError(f"{item.key}{MASK_SUFFIX}: there as both .nii.gz and .nii in {root}; keep one")
        item.mask = masks[0] if masks else None
        found += bool(masks)
    return found

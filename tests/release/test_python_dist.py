# SPDX-License-Identifier: BSD-3-Clause
"""The Python distributions of the release, installed as a user installs
them: offline, into a fresh venv that sees Debian's numpy. The wheel as it
is; the source distribution built into a wheel first (skipped under
TAMRIN_TEST_QUICK=1: it compiles the extension and the command)."""

import os
import re
import subprocess
import tarfile

import numpy as np
import pytest

from conftest import BUILD

# Denoises a seeded series with the tamrin the interpreter imports; saves the
# denoised series and the noise map to the file named by argv[1].
DENOISE = """
import sys, numpy, tamrin
denoised, noise = tamrin.denoise(numpy.random.default_rng(3).random((10, 9, 8, 6)), 2)
numpy.save(sys.argv[1], numpy.concatenate([denoised.ravel(order="F"), noise.ravel(order="F")]))
"""


def venv(folder):
    subprocess.run(["/usr/bin/python3", "-m", "venv", "--system-site-packages", folder], check=True)
    return folder / "bin" / "python"


def reference(tmp_path):
    """The results of the build folder's module."""
    path = tmp_path / "reference.npy"
    subprocess.run(["/usr/bin/python3", "-c", DENOISE, path], check=True,
                   env={**os.environ, "PYTHONPATH": str(BUILD / "python")})
    return np.load(path)


def check_installed(python, version, tmp_path):
    """pip's view of the installed distribution, its command and its bits."""
    shown = subprocess.run([python, "-m", "pip", "show", "tamrin"], capture_output=True, text=True,
                           check=True).stdout
    assert re.search(r"^Version: (.+)$", shown, re.MULTILINE).group(1) == version
    assert re.search(r"^License: (.+)$", shown, re.MULTILINE).group(1) == "BSD-3-Clause"
    command = python.parent / "tamrin"
    assert subprocess.run([command, "--version"], capture_output=True, text=True).stdout == f"tamrin {version}\n"
    results = tmp_path / "installed.npy"
    subprocess.run([python, "-c", DENOISE, results], check=True, cwd=tmp_path)
    assert np.load(results).tobytes() == reference(tmp_path).tobytes()


def test_wheel_installs_offline(dist, version, tmp_path):
    wheels = sorted((dist / "python").glob(f"tamrin-{version}-*.whl"))
    assert len(wheels) == 1
    python = venv(tmp_path / "venv")
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", wheels[0]], check=True)
    check_installed(python, version, tmp_path)


def test_source_distribution_builds_a_wheel(dist, version, tmp_path):
    sdist = dist / "python" / f"tamrin-{version}.tar.gz"
    with tarfile.open(sdist) as archive:
        names = set(archive.getnames())
        info = archive.extractfile(f"tamrin-{version}/PKG-INFO").read().decode()
    base = f"tamrin-{version}"
    for needed in ("pyproject.toml", "LICENSE", "CMakeLists.txt", "python/backend/tamrin_build.py",
                   "python/tamrin/__init__.py", "include/tamrin/denoise.h"):
        assert f"{base}/{needed}" in names
    assert not [name for name in names if name.startswith(f"{base}/build")]
    assert re.search(r"^Version: (.+)$", info, re.MULTILINE).group(1) == version
    assert re.search(r"^License: (.+)$", info, re.MULTILINE).group(1) == "BSD-3-Clause"
    if os.environ.get("TAMRIN_TEST_QUICK") == "1":
        pytest.skip("building the source distribution compiles everything (TAMRIN_TEST_QUICK=1)")

    python = venv(tmp_path / "venv")
    subprocess.run([python, "-m", "pip", "wheel", "-q", "--no-build-isolation", "--no-deps",
                    "-w", tmp_path / "wheels", sdist], check=True)
    wheels = list((tmp_path / "wheels").glob(f"tamrin-{version}-*.whl"))
    assert len(wheels) == 1
    subprocess.run([python, "-m", "pip", "install", "-q", "--no-index", wheels[0]], check=True)
    check_installed(python, version, tmp_path)


# SPDX-License-Identifier: BSD-3-Clause
"""The Debian packages of the release: their names, versions and computed
dependencies, the compile lines of their build, lintian's verdict, and their
installation, use and removal on a bare Debian 12 root (bare_root)."""

import os
import re
import subprocess

import pytest

from conftest import REPOSITORY

PACKAGES = ["libtamrin-dev", "octave-tamrin", "python3-tamrin", "tamrin"]
BUILD_LOG = REPOSITORY / "build" / "release" / "debian" / "build.log"


def field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", deb, name], capture_output=True, text=True, check=True).stdout.strip()


@pytest.fixture(scope="module")
def debs(dist):
    return {field(path, "Package"): path for path in sorted((dist / "debian").glob("*.deb"))}


def test_packages_and_their_dependencies(debs, version):
    assert sorted(debs) == PACKAGES
    for name, deb in debs.items():
        assert field(deb, "Version").startswith(f"{version}-")
        assert deb.name == f"{name}_{field(deb, 'Version')}_{field(deb, 'Architecture')}.deb"
        files = subprocess.run(f"dpkg-deb --fsys-tarfile {deb} | tar -xOf - ./usr/share/doc/{name}/copyright",
                               shell=True, capture_output=True, text=True, check=True).stdout
        assert "License: BSD-3-Clause" in files
    # What the helpers computed: the shared libraries the programs link
    # (dpkg-shlibdeps), Octave's version and module ABI (dh_octave_substvar),
    # the Python version range and numpy with its ABI (dh_python3, dh_numpy3).
    depends = {name: field(deb, "Depends") for name, deb in debs.items()}
    assert re.search(r"\blibc6 \(>= ", depends["tamrin"]) and re.search(r"\blibnifti2-2\b", depends["tamrin"])
    assert re.search(r"\boctave \(>= ", depends["octave-tamrin"])
    assert re.search(r"\boctave-abi-\d+\b", depends["octave-tamrin"])
    assert re.search(r"\bpython3 \(<< ", depends["python3-tamrin"])
    assert re.search(r"\bpython3-numpy\b", depends["python3-tamrin"])
    assert re.search(r"\bpython3-numpy-abi\d+\b", depends["python3-tamrin"])
    assert "octave" not in depends["tamrin"] and "python" not in depends["tamrin"]


def test_every_compile_line_keeps_operations_apart(debs):
    """Every source of the packages was compiled with -ffp-contract=off and
    without -ffast-math, whatever flags Debian's build added."""
    if not BUILD_LOG.is_file():
        pytest.skip(f"{BUILD_LOG} is missing (the release was not built here)")
    lines = [line for line in BUILD_LOG.read_text().splitlines()
             if re.search(r"/usr/bin/(c\+\+|g\+\+|cc|gcc)\s.*\s-c\s+\S+\.(cpp|c)$", line)]
    assert len(lines) >= 40, "the build log shows too few compile lines"
    for line in lines:
        words = line.split()
        assert "-ffp-contract=off" in words and "-ffast-math" not in words, line


def test_lintian_finds_no_error(debs):
    run = subprocess.run(["lintian", "--no-tag-display-limit", *debs.values()], capture_output=True, text=True)
    print(run.stdout)
    errors = [line for line in run.stdout.splitlines() if line.startswith("E: ")]
    assert not errors and run.returncode in (0, 1), run.stdout + run.stderr


def test_installed_on_a_bare_root(bare_root):
    if bare_root is None:
        message = "the bare-root test needs root (it mounts and chroots) and TAMRIN_BARE_ROOT other than 0"
        if os.environ.get("TAMRIN_REQUIRE_BARE_ROOT") == "1":
            pytest.fail(message)
        pytest.skip(message)
    returncode, output = bare_root
    print(output)
    assert returncode == 0, output

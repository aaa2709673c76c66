# SPDX-License-Identifier: BSD-3-Clause
"""One version: every place that states the project's version states the one
CMakeLists.txt's project() declares."""

import importlib.util
import os
import re
import subprocess
import sys
import tarfile

from conftest import BUILD, REPOSITORY


def test_declared_once(version):
    declared = re.findall(r"^project\(tamrin\s+VERSION\s+(\S+)", (REPOSITORY / "CMakeLists.txt").read_text(),
                          re.MULTILINE)
    assert declared == [version]
    assert re.fullmatch(r"\d+\.\d+\.\d+", version)


def test_command_and_python_module(version):
    run = subprocess.run([BUILD / "cli" / "tamrin", "--version"], capture_output=True, text=True, check=True)
    assert run.stdout == f"tamrin {version}\n"
    run = subprocess.run([sys.executable, "-c", "import tamrin; print(tamrin.__version__)"],
                         capture_output=True, text=True, check=True,
                         env={**os.environ, "PYTHONPATH": str(BUILD / "python")})
    assert run.stdout == f"{version}\n"


def test_python_distributions(version):
    """The wheel's metadata, the source distribution's name and the metadata
    Debian's package installs all come from the build backend."""
    found = importlib.util.spec_from_file_location("tamrin_build", REPOSITORY / "python" / "backend" / "tamrin_build.py")
    backend = importlib.util.module_from_spec(found)
    found.loader.exec_module(backend)
    assert backend._project_version(BUILD) == version
    assert backend._declared_version() == version
    metadata = backend._metadata(version)
    assert metadata["Version"] == version and metadata["License"] == "BSD-3-Clause"


def test_cmake_package(version):
    config = (BUILD / "tamrin-config-version.cmake").read_text()
    assert f'set(PACKAGE_VERSION "{version}")' in config


def test_octave_package(version, tmp_path):
    """scripts/octave-package writes DESCRIPTION with the version and the
    licence, and the licence's text as COPYING."""
    subprocess.run([REPOSITORY / "scripts" / "octave-package", BUILD], check=True, capture_output=True,
                   cwd=REPOSITORY)
    with tarfile.open(BUILD / f"tamrin-{version}.tar.gz") as archive:
        description = archive.extractfile(f"tamrin-{version}/DESCRIPTION").read().decode()
        copying = archive.extractfile(f"tamrin-{version}/COPYING").read().decode()
    assert re.search(r"^Version: (.+)$", description, re.MULTILINE).group(1) == version
    assert re.search(r"^License: (.+)$", description, re.MULTILINE).group(1) == "BSD-3-Clause"
    assert copying == (REPOSITORY / "LICENSE").read_text()


def test_debian_changelog(version):
    """The packages' version is debian/changelog's newest entry, VERSION-REVISION."""
    first = (REPOSITORY / "debian" / "changelog").read_text().splitlines()[0]
    found = re.match(r"^tamrin \(([^)]+)\) ", first)
    assert found and found.group(1).rsplit("-", 1)[0] == version


def test_changelog(version):
    """CHANGELOG.md's newest release is this version."""
    releases = re.findall(r"^## \[(\d[^\]]*)\]", (REPOSITORY / "CHANGELOG.md").read_text(), re.MULTILINE)
    assert releases and releases[0] == version

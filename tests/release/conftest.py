# SPDX-License-Identifier: BSD-3-Clause
"""Shared fixtures of the release tests.

The build folder named by TAMRIN_BUILD_DIR (default: build, configured and
built by scripts/build) provides the project's version and the programs the
packaged ones are compared with. The package tests take the release from
TAMRIN_RELEASE_DIST, a folder scripts/release wrote, or run scripts/release
once into <build>/release-dist (its wheel reusing the build folder). As
soon as the release is there, the bare-root test (bare_root, run as root)
starts in the background, so that its downloads and installs overlap the
other tests; test_debian.py waits for it. TAMRIN_BARE_ROOT=0 leaves it out.
"""

import os
import re
import subprocess
from pathlib import Path

import pytest

REPOSITORY = Path(__file__).resolve().parents[2]
BUILD = Path(os.environ.get("TAMRIN_BUILD_DIR", REPOSITORY / "build")).resolve()


@pytest.fixture(scope="session")
def version():
    """The version CMake's project() declares, as the build recorded it."""
    cache = (BUILD / "CMakeCache.txt").read_text()
    return re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache, re.MULTILINE).group(1).strip()


@pytest.fixture(scope="session")
def dist(version, tmp_path_factory):
    """The folder of the release: debian/, python/, octave/, SHA256SUMS."""
    given = os.environ.get("TAMRIN_RELEASE_DIST")
    folder = Path(given).resolve() if given else BUILD / "release-dist"
    if not given:
        subprocess.run([REPOSITORY / "scripts" / "release", folder], check=True,
                       env={**os.environ, "TAMRIN_RELEASE_BUILD": str(BUILD)})
    if os.geteuid() == 0 and os.environ.get("TAMRIN_BARE_ROOT") != "0":
        log = tmp_path_factory.mktemp("bare-root") / "output"
        with open(log, "w") as output:
            process = subprocess.Popen([REPOSITORY / "tests" / "release" / "bare_root", folder / "debian",
                                        BUILD, version], stdout=output, stderr=subprocess.STDOUT)
        _bare_root.update(process=process, log=log)
    yield folder
    if "process" in _bare_root and _bare_root["process"].poll() is None:
        _bare_root["process"].terminate()
        _bare_root["process"].wait()


_bare_root = {}


@pytest.fixture(scope="session")
def bare_root(dist):
    """The exit status and output of bare_root on the release's packages, or
    None when it did not run (not root, or TAMRIN_BARE_ROOT=0)."""
    if "process" not in _bare_root:
        return None
    returncode = _bare_root["process"].wait()
    return returncode, _bare_root["log"].read_text()

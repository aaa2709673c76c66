# SPDX-License-Identifier: BSD-3-Clause
"""Build backend of the tamrin Python package (PEP 517).

``python3 -m pip install --no-build-isolation ./python`` (or ``pip wheel``)
calls build_wheel here: it configures the repository with CMake, builds the
extension target (tamrin_python, with the project's compiler flags and
kernels) and the ``tamrin`` command, and packs the extension with the
package's Python files into a wheel, the command among its scripts: pip
installs it into the environment's scripts folder, where
tamrin.nipype.Denoise finds it. Nothing is downloaded: CMake, the compiler,
the Python headers, pybind11 and the command's NIfTI library are the
system's (scripts/deps installs them). When CMake leaves the command out (no
NIfTI library), the wheel has none and the nipype interface needs one on
PATH.

``python3 -m build --sdist --no-isolation ./python`` calls build_sdist: the
source distribution holds the repository's files that git tracks or would
track (the C++ sources the extension and the command are built from), a
pyproject.toml at its root that names this backend in python/backend, and
PKG-INFO. pip builds a wheel from it as from the repository.

``python3 tamrin_build.py dist-info FOLDER VERSION`` writes the package's
metadata (tamrin-VERSION.dist-info/METADATA) into FOLDER, for installs made
without pip (the project's CMake install rules, Debian's package).

Config settings (``pip install --config-settings KEY=VALUE``):

build-dir
    The CMake build folder (default: build-python in the repository; a
    relative path is taken from the repository, not from python/, where pip
    runs the backend). A folder the project was already configured in, such
    as the build folder of scripts/build, is reused with its own settings;
    only the Python module and the command are switched on and the
    interpreter set.
jobs
    Parallel build jobs (default: the number of processors).
"""

import base64
import gzip
import hashlib
import io
import os
import re
import stat
import subprocess
import sys
import sysconfig
import tarfile
import zipfile
from pathlib import Path

try:
    import tomllib
except ImportError:  # Python before 3.11
    import tomli as tomllib

PACKAGE_ROOT = Path(__file__).resolve().parent.parent
REPOSITORY = PACKAGE_ROOT.parent
TARGET = "tamrin_python"
COMMAND = "tamrin"


def get_requires_for_build_wheel(config_settings=None):
    return []


def get_requires_for_build_sdist(config_settings=None):
    return []


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    settings = config_settings or {}
    build_dir = (REPOSITORY / (settings.get("build-dir") or "build-python")).resolve()
    extension, command = _build(build_dir, settings.get("jobs"))
    metadata = _metadata(_project_version(build_dir))
    name, version = "tamrin", metadata["Version"]

    python = f"cp{sys.version_info.major}{sys.version_info.minor}"
    platform = re.sub(r"[^A-Za-z0-9]", "_", sysconfig.get_platform())
    tag = f"{python}-{python}-{platform}"
    dist_info = f"{name}-{version}.dist-info"
    files = {f"tamrin/{path.name}": path.read_bytes()
             for path in sorted((PACKAGE_ROOT / "tamrin").glob("*.py"))}
    files[f"tamrin/{extension.name}"] = extension.read_bytes()
    executable = set()
    if command is not None:
        script = f"{name}-{version}.data/scripts/{COMMAND}"
        files[script] = command.read_bytes()
        executable.add(script)
    files[f"{dist_info}/METADATA"] = _metadata_text(metadata).encode()
    files[f"{dist_info}/LICENSE"] = (REPOSITORY / "LICENSE").read_bytes()
    files[f"{dist_info}/WHEEL"] = (
        "Wheel-Version: 1.0\nGenerator: tamrin_build\nRoot-Is-Purelib: false\n"
        f"Tag: {tag}\n").encode()

    wheel_name = f"{name}-{version}-{tag}.whl"
    with zipfile.ZipFile(Path(wheel_directory) / wheel_name, "w", zipfile.ZIP_DEFLATED) as wheel:
        record = []
        for path, content in files.items():
            entry = zipfile.ZipInfo(path, date_time=(1980, 1, 1, 0, 0, 0))
            entry.compress_type = zipfile.ZIP_DEFLATED
            entry.external_attr = (stat.S_IFREG | (0o755 if path in executable else 0o644)) << 16
            wheel.writestr(entry, content)
            digest = base64.urlsafe_b64encode(hashlib.sha256(content).digest())
            digest = digest.rstrip(b"=").decode()
            record.append(f"{path},sha256={digest},{len(content)}")
        record.append(f"{dist_info}/RECORD,,")
        wheel.writestr(f"{dist_info}/RECORD", "\n".join(record) + "\n")
    return wheel_name


def build_sdist(sdist_directory, config_settings=None):
    version = _declared_version()
    base = f"tamrin-{version}"
    files = {path: (REPOSITORY / path).read_bytes() for path in _source_files()}
    files["PKG-INFO"] = _metadata_text(_metadata(version)).encode()
    # pip looks for pyproject.toml at the root of the unpacked archive; the
    # one there is the package's own with the backend's folder seen from the
    # root, so that the backend finds the sources as it does in a checkout.
    files["pyproject.toml"] = (PACKAGE_ROOT / "pyproject.toml").read_text().replace(
        'backend-path = ["backend"]', 'backend-path = ["python/backend"]').encode()

    name = f"{base}.tar.gz"
    # Fixed owners, modes and times, so that the same sources give the same archive.
    with gzip.GzipFile(Path(sdist_directory) / name, "wb", mtime=0) as packed, \
            tarfile.open(fileobj=packed, mode="w", format=tarfile.PAX_FORMAT) as archive:
        for path in sorted(files):
            entry = tarfile.TarInfo(f"{base}/{path}")
            entry.size = len(files[path])
            executable = path not in ("PKG-INFO", "pyproject.toml") and os.access(REPOSITORY / path, os.X_OK)
            entry.mode = 0o755 if executable else 0o644
            archive.addfile(entry, io.BytesIO(files[path]))
    return name


def _source_files():
    """The repository's files that go into the source distribution: those git
    tracks or would track (not ignored), or, in an unpacked source
    distribution, those it holds."""
    if (REPOSITORY / "PKG-INFO").is_file():
        paths = (path.relative_to(REPOSITORY) for path in REPOSITORY.rglob("*") if path.is_file())
        return sorted(str(path) for path in paths
                      if str(path) not in ("PKG-INFO", "pyproject.toml")
                      and not path.parts[0].startswith("build") and "__pycache__" not in path.parts)
    listed = subprocess.run(["git", "-C", str(REPOSITORY), "ls-files", "-z", "--cached", "--others",
                             "--exclude-standard"], capture_output=True)
    if listed.returncode != 0:
        raise RuntimeError(f"tamrin: a source distribution is made from a git checkout; {REPOSITORY} "
                           f"is none ({listed.stderr.decode().strip()})")
    return [path for path in listed.stdout.decode().split("\0")
            if path and (REPOSITORY / path).is_file()]


def write_dist_info(folder, version):
    """Writes tamrin-VERSION.dist-info/METADATA into folder; returns its path."""
    dist_info = Path(folder) / f"tamrin-{version}.dist-info"
    dist_info.mkdir(parents=True, exist_ok=True)
    (dist_info / "METADATA").write_text(_metadata_text(_metadata(version)))
    return dist_info


def _build(build_dir, jobs):
    """Configures and builds the extension and the command; returns the
    module's path and the command's (None when CMake left it out)."""
    if not (REPOSITORY / "include" / "tamrin" / "denoise.h").is_file():
        raise RuntimeError(f"tamrin: the project's sources are expected in {REPOSITORY}; "
                           "build from a checkout of the repository")
    interpreter = os.path.realpath(getattr(sys, "_base_executable", sys.executable))
    configure = ["cmake", "-S", str(REPOSITORY), "-B", str(build_dir),
                 "-DTAMRIN_BUILD_PYTHON=ON", "-DTAMRIN_BUILD_CLI=ON", f"-DPython_EXECUTABLE={interpreter}"]
    if not (build_dir / "CMakeCache.txt").is_file():
        configure += ["-DCMAKE_BUILD_TYPE=Release", "-DTAMRIN_BUILD_TESTS=OFF",
                      "-DTAMRIN_BUILD_BENCH=OFF", "-DTAMRIN_BUILD_MEX=OFF"]
    _run(configure)
    jobs = str(jobs or os.cpu_count() or 1)
    # A target's folder under CMakeFiles exists once CMake has defined it.
    targets = [TARGET] + ([COMMAND] if (build_dir / "cli" / "CMakeFiles" / f"{COMMAND}.dir").is_dir() else [])
    _run(["cmake", "--build", str(build_dir), "--target", *targets, "-j", jobs])

    module = build_dir / "python" / "tamrin" / f"_tamrin{sysconfig.get_config_var('EXT_SUFFIX')}"
    if not module.is_file():
        raise RuntimeError(f"tamrin: the build made no {module}; see CMake's messages above "
                           "(python3-dev and pybind11-dev are needed)")
    if COMMAND not in targets:
        print(f"tamrin_build: the {COMMAND} command is not built (see CMake's messages: its NIfTI "
              "library is missing?); tamrin.nipype.Denoise will need one on PATH", file=sys.stderr)
        return module, None
    return module, build_dir / "cli" / COMMAND


def _run(command):
    print("tamrin_build:", " ".join(command), file=sys.stderr, flush=True)
    # CMake's output goes to stderr so that pip shows it with -v and on failure.
    subprocess.run(command, check=True, stdout=sys.stderr)


def _project_version(build_dir):
    """The version CMake's project() declares, as the configured build recorded it."""
    cache = (build_dir / "CMakeCache.txt").read_text()
    found = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.+)$", cache, re.MULTILINE)
    if found is None:
        raise RuntimeError(f"tamrin: no project version in {build_dir / 'CMakeCache.txt'}")
    return found.group(1).strip()


def _declared_version():
    """The version CMake's project() declares, read from CMakeLists.txt (for
    the source distribution, which needs no configured build)."""
    found = re.search(r"^project\(tamrin\s+VERSION\s+([0-9][0-9.]*)",
                      (REPOSITORY / "CMakeLists.txt").read_text(), re.MULTILINE)
    if found is None:
        raise RuntimeError(f"tamrin: no project(tamrin VERSION ...) in {REPOSITORY / 'CMakeLists.txt'}")
    return found.group(1)


def _metadata(version):
    project = tomllib.loads((PACKAGE_ROOT / "pyproject.toml").read_text())["project"]
    metadata = {"Metadata-Version": "2.1", "Name": project["name"], "Version": version,
                "Summary": project["description"], "License": project["license"]["text"],
                "Requires-Python": project["requires-python"]}
    metadata["Classifier"] = list(project.get("classifiers", []))
    metadata["Requires-Dist"] = list(project.get("dependencies", []))
    for extra, requirements in project.get("optional-dependencies", {}).items():
        metadata.setdefault("Provides-Extra", []).append(extra)
        metadata["Requires-Dist"] += [f'{r}; extra == "{extra}"' for r in requirements]
    return metadata


def _metadata_text(metadata):
    lines = []
    for key, value in metadata.items():
        for item in value if isinstance(value, list) else [value]:
            lines.append(f"{key}: {item}")
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] != "dist-info":
        sys.exit("usage: tamrin_build.py dist-info FOLDER VERSION")
    write_dist_info(sys.argv[2], sys.argv[3])

# SPDX-License-Identifier: BSD-3-Clause
"""The release's SHA256SUMS lists every file of the release with its checksum."""

import subprocess


def test_checksums(dist):
    listed = (dist / "SHA256SUMS").read_text().split()[1::2]
    made = sorted(str(path.relative_to(dist)) for path in dist.rglob("*") if path.is_file() and path.name != "SHA256SUMS")
    assert sorted(listed) == made
    subprocess.run(["sha256sum", "--check", "--quiet", "SHA256SUMS"], cwd=dist, check=True)

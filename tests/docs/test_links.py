# SPDX-License-Identifier: BSD-3-Clause
"""The README's and the documentation's relative links: every file they name
exists, and every #anchor names a heading of its page."""

import glob
import os
import re

ROOT = os.path.abspath(os.path.join(os.path.dirname(__file__), "..", ".."))
PAGES = ["README.md"] + sorted(glob.glob("docs/*.md", root_dir=ROOT)) + sorted(glob.glob("bench/*.md", root_dir=ROOT))
LINK = re.compile(r"\[[^\]]*\]\(([^)\s]+)\)")


def prose(text):
    """The text outside fenced code blocks and inline code."""
    text = re.sub(r"^```.*?^```", "", text, flags=re.MULTILINE | re.DOTALL)
    return re.sub(r"`[^`\n]*`", "", text)


def anchors(path):
    """The anchors of a page's headings, as a Markdown renderer makes them:
    lower case, punctuation dropped, spaces made hyphens."""
    with open(path) as f:
        headings = re.findall(r"^#+ (.*)$", re.sub(r"^```.*?^```", "", f.read(), flags=re.M | re.S), re.M)
    return {"".join(c for c in h.lower() if c.isalnum() or c in " -_").replace(" ", "-") for h in headings}


def broken_links(page, root=ROOT):
    """Broken links of ``page`` (relative to ``root``), and how many links
    it has."""
    with open(os.path.join(root, page)) as f:
        targets = LINK.findall(prose(f.read()))
    found = []
    for target in targets:
        if re.match(r"^[a-z]+:", target):
            continue  # a web address
        path, _, anchor = target.partition("#")
        full = os.path.normpath(os.path.join(root, os.path.dirname(page), path or os.path.basename(page)))
        if not os.path.exists(full):
            found.append(f"{page}: {target}: no such file")
        elif anchor and full.endswith(".md") and anchor not in anchors(full):
            found.append(f"{page}: {target}: no such heading")
    return found, len(targets)


def test_links_resolve():
    broken, count = [], 0
    for page in PAGES:
        found, targets = broken_links(page)
        broken += found
        count += targets
    assert len(PAGES) >= 8 and count >= 20, (PAGES, count)
    assert not broken, "\n".join(broken)


def test_checker_sees_what_is_broken(tmp_path):
    """A missing file and a missing heading are found; links inside code are
    not links."""
    page = tmp_path / "page.md"
    page.write_text("# A heading, with punctuation\n\n[fine](#a-heading-with-punctuation) [gone](missing.md) "
                    "[no heading](#nowhere) `[code](missing.md)`\n\n```\n[block](missing.md)\n```\n")
    found, targets = broken_links("page.md", str(tmp_path))
    assert targets == 3
    assert found == ["page.md: missing.md: no such file", "page.md: #nowhere: no such heading"]

# SPDX-License-Identifier: BSD-3-Clause
"""The report of the local run, as a browser shows it: headless chromium at
1280 px wide loads every figure and needs no horizontal scrolling; a
screenshot is kept for people to look at."""

import html.parser
import json
import os
import re
import shutil
import subprocess
import tempfile

from conftest import BUILD, require

BROWSER_FLAGS = ["--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync"]

# Added to a copy of the page: once everything has loaded, writes what the
# test checks into the page, which --dump-dom then prints.
PROBE = """<script>
window.addEventListener("load", () => {
  const images = Array.from(document.images);
  const root = document.documentElement;
  const result = {images: images.length,
                  loaded: images.filter(i => i.complete && i.naturalWidth > 0).length,
                  scrollWidth: root.scrollWidth, clientWidth: root.clientWidth};
  const pre = document.createElement("pre");
  pre.id = "probe";
  pre.textContent = JSON.stringify(result);
  document.body.appendChild(pre);
});
</script>"""


def chromium(*args):
    browser = shutil.which("chromium")
    require(browser, "chromium is not installed (scripts/deps chromium)")
    with tempfile.TemporaryDirectory() as profile:
        result = subprocess.run([browser] + BROWSER_FLAGS + [f"--user-data-dir={profile}"] + list(args),
                                capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr[-2000:]
    return result.stdout


def measure(page):
    """What the probe finds in ``page`` at 1280 px."""
    probe = page[:-len(".html")] + ".probe.html"
    with open(page) as f:
        text = f.read()
    with open(probe, "w") as f:
        f.write(text.replace("</body>", PROBE + "</body>"))
    try:
        dom = chromium("--window-size=1280,900", "--virtual-time-budget=10000", "--dump-dom",
                       "file://" + probe)
    finally:
        os.remove(probe)
    match = re.search(r'<pre id="probe">(.*?)</pre>', dom)
    assert match, "the page's load event never came"
    return json.loads(html.unescape(match.group(1)))


class Sections(html.parser.HTMLParser):
    """Cards of the report: their class, heading and image sources."""

    def __init__(self):
        super().__init__()
        self.cards = []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        if tag == "section":
            self.cards.append({"class": attrs.get("class", ""), "images": [], "text": ""})
        elif tag == "img" and self.cards:
            self.cards[-1]["images"].append(attrs["src"])

    def handle_data(self, data):
        if self.cards:
            self.cards[-1]["text"] += data


def test_report_content(local_run):
    out, _, _ = local_run
    with open(os.path.join(out, "report.html")) as f:
        parser = Sections()
        parser.feed(f.read())
    failed = [c for c in parser.cards if "failed" in c["class"]]
    done = [c for c in parser.cards if "failed" not in c["class"]]
    assert len(failed) == 1 and "sub-04/dwi/sub-04_dwi.nii.gz" in failed[0]["text"]
    assert "a 4-D series of at least 2 volumes is expected" in failed[0]["text"]
    assert len(done) == 6
    for card in done:
        assert len(card["images"]) == 1 and os.path.isfile(os.path.join(out, card["images"][0]))
        assert "noise σ in object" in card["text"] and "patches" in card["text"]


def test_report_in_a_browser(local_run):
    out, _, _ = local_run
    page = os.path.join(out, "report.html")
    found = measure(page)
    assert found["images"] == 6 and found["loaded"] == 6, found
    assert found["scrollWidth"] <= found["clientWidth"], f"horizontal scroll at 1280 px: {found}"

    artifacts = os.environ.get("TAMRIN_WORKFLOW_ARTIFACTS", os.path.join(BUILD, "workflow-tests"))
    os.makedirs(artifacts, exist_ok=True)
    screenshot = os.path.join(artifacts, "report.png")
    if os.path.exists(screenshot):
        os.remove(screenshot)
    chromium("--window-size=1280,1800", "--hide-scrollbars", f"--screenshot={screenshot}", "file://" + page)
    with open(screenshot, "rb") as f:
        head = f.read(24)
    assert head[:8] == b"\x89PNG\r\n\x1a\n" and int.from_bytes(head[16:20], "big") == 1280
    print(f"report screenshot: {screenshot}")


def test_probe_sees_a_wide_page(tmp_path):
    """The measurement itself: a page wider than the window and a missing
    image are seen."""
    page = tmp_path / "wide.html"
    page.write_text('<!DOCTYPE html><html><body><div style="width:2000px">wide</div>'
                    '<img src="missing.png"></body></html>')
    found = measure(str(page))
    assert found["scrollWidth"] > found["clientWidth"] and found["images"] == 1 and found["loaded"] == 0

# SPDX-License-Identifier: BSD-3-Clause
"""The workflow's report: ``report.html`` in the derivatives dataset, one page
with a row per series (its figure, noise level, patches, time) and the
series that failed with the command's message.

It reads what the jobs left: a series is done when its denoised image and
its summary are there, failed when its log is there without the image, and
not run otherwise. The workflow writes it when a run ends, failed or not.
"""

import datetime
import html
import json
import os
import struct

import derivatives

STYLE = """
* { box-sizing: border-box; }
body { margin: 0; background: #f2f4f7; color: #1c2431;
       font: 15px/1.5 "DejaVu Sans", "Helvetica Neue", Arial, sans-serif; }
header { background: #1f3a5f; color: #fff; padding: 28px 0 24px; }
.wrap { max-width: 1180px; margin: 0 auto; padding: 0 28px; }
h1 { margin: 0 0 4px; font-size: 26px; font-weight: 600; }
header p { margin: 2px 0; color: #c9d6e8; font-size: 14px; overflow-wrap: anywhere; }
.counts { display: flex; flex-wrap: wrap; gap: 10px; margin-top: 16px; }
.count { background: rgba(255,255,255,.12); border-radius: 999px; padding: 4px 14px; font-size: 14px; }
.count b { font-size: 16px; }
.count.bad { background: #c0392b; }
main { padding-top: 24px; padding-bottom: 40px; }
h2 { font-size: 18px; margin: 28px 0 12px; }
table { width: 100%; border-collapse: collapse; background: #fff; border-radius: 10px; overflow: hidden;
        box-shadow: 0 1px 3px rgba(16,24,40,.1); font-size: 14px; }
th, td { padding: 7px 12px; text-align: left; border-bottom: 1px solid #e7eaf0; }
th { background: #f7f8fa; font-weight: 600; color: #4a5568; }
td.num, th.num { text-align: right; font-variant-numeric: tabular-nums; }
td a { color: #1f5fa8; text-decoration: none; overflow-wrap: anywhere; }
.status { font-size: 12px; font-weight: 600; border-radius: 6px; padding: 1px 8px; }
.status.done { background: #e3f4e8; color: #1e7b3c; }
.status.failed { background: #fbe4e2; color: #a4281b; }
.status.waiting { background: #eceff3; color: #5b6472; }
section.card { background: #fff; border-radius: 10px; box-shadow: 0 1px 3px rgba(16,24,40,.1);
               padding: 16px 20px 18px; margin: 0 0 18px; }
section.card.failed { border-left: 5px solid #c0392b; }
.card h3 { margin: 0 0 10px; font: 600 15px/1.4 "DejaVu Sans Mono", monospace; overflow-wrap: anywhere; }
dl { display: flex; flex-wrap: wrap; gap: 4px 28px; margin: 0 0 12px; }
dl div { min-width: 90px; }
dt { font-size: 12px; color: #6b7585; }
dd { margin: 0; font-variant-numeric: tabular-nums; }
img { display: block; max-width: 100%; height: auto; }
pre { margin: 0; padding: 10px 12px; background: #fbf1f0; border-radius: 6px; font-size: 13px;
      white-space: pre-wrap; overflow-wrap: anywhere; }
.note { color: #5b6472; font-size: 13px; }
figcaption { color: #5b6472; font-size: 13px; margin-top: 6px; }
figure { margin: 0; }
"""


def _png_size(path):
    """Width and height of a PNG, from its header."""
    with open(path, "rb") as f:
        head = f.read(24)
    if len(head) == 24 and head[:8] == b"\x89PNG\r\n\x1a\n":
        return struct.unpack(">II", head[16:24])
    return None


def _tail(path, lines=12):
    with open(path, errors="replace") as f:
        text = f.read().strip()
    return "\n".join(text.splitlines()[-lines:]) or "(the log is empty: the job ended without a message)"


def series_status(out, key, extension):
    """("done", summary), ("failed", message) or ("waiting", None)."""
    names = derivatives.files(key, extension)
    denoised, summary, log = (os.path.join(out, names[n]) for n in ("denoised", "summary", "log"))
    if os.path.isfile(denoised) and os.path.isfile(summary) and \
            os.path.getmtime(summary) >= os.path.getmtime(denoised):
        with open(summary) as f:
            return "done", json.load(f)
    if os.path.isfile(log) and not os.path.isfile(denoised):
        return "failed", _tail(log)
    return "waiting", None


def _dataset_name(source):
    """The source dataset's name after a colon, or nothing when it has none."""
    try:
        name = derivatives.read_json(os.path.join(source, "dataset_description.json")).get("Name")
    except (OSError, ValueError, AttributeError):
        return ""
    return f": {name}" if isinstance(name, str) and name else ""


def _number(value, digits=0, unit=""):
    if value is None:
        return "–"
    return f"{value:,.{digits}f}{unit}"


def _stats(record):
    seconds = record.get("seconds")
    rate = record["patches"] / seconds if seconds else None
    items = [
        ("size", " × ".join(str(d) for d in record["dimensions"])),
        ("noise σ in object", _number(record["noise_median"], 2)),
        # Summaries written before masks existed have no "object".
        ("object", record.get("object", "b = 0 threshold")),
        ("patches", _number(record["patches"])),
        ("time", _number(seconds, 2, " s")),
        ("patches / s", _number(rate)),
        ("workers", str(record["workers"])),
        ("peak memory (sampled)", _number(record.get("peak_mib") or None, 0, " MiB")),
        ("memory requested", _number(record["requested_mib"], 0, " MiB")),
    ]
    return "".join(f"<div><dt>{html.escape(k)}</dt><dd>{html.escape(v)}</dd></div>" for k, v in items)


def _card(out, key, extension, status, detail, anchor):
    name = html.escape(key.rsplit("/", 1)[-1] + "_dwi" + extension)
    if status == "done":
        figure = derivatives.files(key, extension)["figure"]
        size = _png_size(os.path.join(out, figure))
        dims = f' width="{size[0]}" height="{size[1]}"' if size else ""
        caption = f"Axial slice {detail['slice']} of volume {detail['volume']}"
        if detail.get("bvalue") is not None:
            caption += f" (b = {detail['bvalue']:g})"
        return (f'<section class="card" id="{anchor}"><h3>{html.escape(key)}_dwi{extension}</h3>'
                f"<dl>{_stats(detail)}</dl><figure>"
                f'<img src="{html.escape(figure)}" alt="{name}: noisy, denoised, residual, noise map"{dims}>'
                f"<figcaption>{html.escape(caption)}, counted from 0.</figcaption></figure></section>")
    log = derivatives.files(key, extension)["log"]
    return (f'<section class="card failed" id="{anchor}"><h3>{html.escape(key)}_dwi{extension}</h3>'
            f'<p class="note">tamrin denoise failed; from <code>{html.escape(log)}</code>:</p>'
            f"<pre>{html.escape(detail)}</pre></section>")


def write_report(out, series, source, version, now=None):
    """Write ``OUT/report.html``.

    Parameters
    ----------
    out : str
        The derivatives dataset.
    series : iterable of bids.Series
        The series the workflow was asked for.
    source : str
        The source dataset.
    version : str
        The tamrin version.
    now : datetime.datetime, optional
        The time written in the page (default: now).

    Returns
    -------
    dict
        The number of series done, failed and waiting.
    """
    rows = [(s.key, s.extension) + series_status(out, s.key, s.extension) for s in series]
    counts = {state: sum(1 for r in rows if r[2] == state) for state in ("done", "failed", "waiting")}
    done = [r for r in rows if r[2] == "done"]
    total_seconds = sum(r[3].get("seconds") or 0 for r in done)
    total_patches = sum(r[3]["patches"] for r in done)
    when = (now or datetime.datetime.now()).strftime("%Y-%m-%d %H:%M")

    overview, cards = [], []
    for index, (key, extension, status, detail) in enumerate(rows):
        anchor = f"s{index}"
        label = {"done": "denoised", "failed": "failed", "waiting": "not run"}[status]
        sigma = _number(detail["noise_median"], 2) if status == "done" else "–"
        seconds = _number(detail.get("seconds"), 2, " s") if status == "done" else "–"
        target = f'<a href="#{anchor}">{html.escape(key)}</a>' if status != "waiting" else html.escape(key)
        overview.append(f'<tr><td>{target}</td><td><span class="status {status}">{label}</span></td>'
                        f'<td class="num">{sigma}</td><td class="num">{seconds}</td></tr>')
        if status != "waiting":
            cards.append((status, _card(out, key, extension, status, detail, anchor)))
    failed_cards = [c for s, c in cards if s == "failed"]
    done_cards = [c for s, c in cards if s == "done"]

    chips = [f'<span class="count"><b>{counts["done"]}</b> denoised</span>']
    if counts["failed"]:
        chips.append(f'<span class="count bad"><b>{counts["failed"]}</b> failed</span>')
    if counts["waiting"]:
        chips.append(f'<span class="count"><b>{counts["waiting"]}</b> not run</span>')
    chips.append(f'<span class="count"><b>{total_patches:,}</b> patches in {total_seconds:,.1f} s</span>')

    parts = [
        "<!DOCTYPE html>", '<html lang="en"><head><meta charset="utf-8">',
        '<meta name="viewport" content="width=device-width, initial-scale=1">',
        f"<title>Denoising report: {html.escape(os.path.basename(os.path.abspath(source)))}</title>",
        f"<style>{STYLE}</style></head><body>",
        f'<header><div class="wrap"><h1>Denoising report{html.escape(_dataset_name(source))}</h1>',
        f"<p>{html.escape(os.path.abspath(source))} → {html.escape(os.path.abspath(out))}</p>",
        f"<p>tamrin {html.escape(version)} · written {when}</p>",
        f'<div class="counts">{"".join(chips)}</div></div></header>',
        '<main class="wrap">',
        "<h2>Series</h2>",
        '<table><thead><tr><th>series</th><th>status</th><th class="num">noise σ in object</th>'
        f'<th class="num">time</th></tr></thead><tbody>{"".join(overview)}</tbody></table>',
        '<p class="note">Noise σ: the median of the noise map over the object: the brain mask the series '
        "was denoised within, or else the voxels of the b = 0 volume above a tenth of its 99th percentile "
        "(b = 0 threshold). Each figure shows one axial slice of the first "
        "diffusion-weighted volume; the residual is scaled to ±3 σ and the noise map to 0–2 σ.</p>",
    ]
    if failed_cards:
        parts += ["<h2>Failed</h2>"] + failed_cards
    if done_cards:
        parts += ["<h2>Denoised</h2>"] + done_cards
    parts.append("</main></body></html>\n")

    os.makedirs(out, exist_ok=True)
    path = os.path.join(out, "report.html")
    temporary = path + ".part"
    with open(temporary, "w") as f:
        f.write("\n".join(parts))
    os.replace(temporary, path)
    return counts

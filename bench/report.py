#!/usr/bin/env python3
"""Turns the raw results of bench/measure.py into results.md. The hand-written part of an earlier
results.md (how the trees are measured, what the figures say), between the two notes comment
lines, is carried over as it stands: only a person can say what new figures mean.

Usage: report.py RESULTS_JSON RESULTS_MD
"""

import json
import os
import sys

NOTES_BEGIN = "<!-- notes:begin -->"
NOTES_END = "<!-- notes:end -->"

LABELS = {
    "floor": "`find -type d` (floor)",
    "first_scan": "first scan",
    "rescan": "rescan, nothing to do",
    "cleanup": "cleanup",
    "delete_only": "`find -name desktop.ini -delete` (delete-only floor)",
}
OPERATIONS = ["floor", "first_scan", "rescan", "cleanup", "delete_only"]
# What Tindral is measured against rather than Tindral itself: no targets, no marks.
REFERENCES = {"floor", "delete_only"}
# Ratio targets on the wall time, for the trees they are set for.
TARGETS = {
    "photos": {"first_scan": 2.5, "rescan": 1.15, "cleanup": 1.5},
    "sparse": {"first_scan": 2.5, "rescan": 1.15, "cleanup": 1.5},
    "wide": {"first_scan": 2.5, "rescan": 1.15},
    "deep": {"rescan": 1.2},
}
RSS_TARGET_MIB = 8.0
FLATNESS_TARGET = 0.30


def ms(seconds):
    return f"{seconds * 1000:,.0f} ms" if seconds >= 0.1 else f"{seconds * 1000:,.1f} ms"


def mib(kib):
    return f"{kib / 1024:.1f} MiB"


def mark(ok):
    return "✓" if ok else "✗"


def ratio_cell(value, target):
    if value is None:
        return "–"
    text = f"{value:.2f}×"
    return f"{text} {mark(value <= target)}" if target else text


def times_delete_only(summary):
    ratio = summary["cleanup"]["wall_ratio_delete_only"]
    return "–" if ratio is None else f"{ratio:.2f}×"


def what_it_did(op, entry):
    got = entry["counters"].get(op, {})
    if op == "floor" or not got:
        return ""
    if op == "delete_only":
        left = got["left"]
        return "no desktop.ini left" if not left else f"{left:,} desktop.ini left ✗"
    if op == "cleanup":
        return (f"{got.get('folders', '?'):,} visited, {got.get('removed', '?'):,} removed; "
                f"{times_delete_only(entry['summary'])} the delete-only floor")
    return (f"{got.get('folders', '?'):,} scanned, {got.get('written', '?'):,} written, "
            f"{got.get('removed', '?'):,} removed")


def tree_rows(name, entry, targets, marks):
    rows = []
    summary = entry["summary"]
    for i, op in enumerate(OPERATIONS):
        s = summary[op]
        target = targets.get(op)
        rss_ok = s["rss_kib"] / 1024 <= RSS_TARGET_MIB
        rss = mib(s["rss_kib"]) + ("" if op in REFERENCES or not marks else f" {mark(rss_ok)}")
        rows.append("| " + " | ".join([
            f"**{name}**" if i == 0 else "",
            f"{entry['tree']['folders']:,}" if i == 0 else "",
            LABELS[op], ms(s["wall"]), ratio_cell(s["wall_ratio"], target), ms(s["cpu"]),
            ratio_cell(s["cpu_ratio"], None), rss, what_it_did(op, entry),
        ]) + " |")
    return rows


def tree_table(section, with_targets):
    lines = [
        "| Tree | Folders | Run | Wall | × floor | CPU | × floor | Peak RSS | Counters |",
        "|---|---:|---|---:|---:|---:|---:|---:|---|",
    ]
    for name, entry in section.items():
        lines += tree_rows(name, entry, TARGETS.get(name, {}) if with_targets else {},
                           with_targets)
    return lines


def depth_growth_line(wine):
    """How the scan under Wine grows from the 200-level chain to the 2,000-level one."""
    if "deep 200" not in wine or "deep 2,000" not in wine:
        return []
    shallow, deep = wine["deep 200"], wine["deep 2,000"]
    ratio = ((deep["summary"]["first_scan"]["wall"] - deep["summary"]["first_scan"]["empty_wall"])
             / (shallow["summary"]["first_scan"]["wall"]
                - shallow["summary"]["first_scan"]["empty_wall"]))
    depths = deep["tree"]["folders"] / shallow["tree"]["folders"]
    return ["", f"Under Wine the first scan of the 2,000-level chain takes {ratio:.1f}× the time "
                f"of the 200-level one (net of the empty process), for {depths:.0f}× the depth: "
                f"{mark(ratio <= depths)} no faster than the depth."]


def per_folder(summary, op, folders):
    """Microseconds per folder, net of what the process costs with nothing to walk."""
    return (summary[op]["wall"] - summary[op]["empty_wall"]) / folders * 1e6


def series_table(series):
    lines = [
        "| Shape | Folders | floor µs/folder | first scan µs/folder | rescan µs/folder | "
        "cleanup µs/folder | delete-only floor µs/folder |",
        "|---|---:|---:|---:|---:|---:|---:|",
    ]
    spreads = {}
    for shape, points in series.items():
        for point in points:
            cells = [f"{per_folder(point['summary'], op, point['folders']):.1f}"
                     for op in OPERATIONS]
            lines.append(f"| {shape} | {point['folders']:,} | " + " | ".join(cells) + " |")
        if len(points) >= 2:
            for op in OPERATIONS:
                costs = [per_folder(p["summary"], op, p["folders"]) for p in points]
                spreads[(shape, op)] = max(costs) / min(costs) - 1
    return lines, spreads


def problems_lines(results):
    lines = []
    for build in ["native", "wine"]:
        for name, entry in results.get(build, {}).items():
            for problem in entry.get("problems", []):
                lines.append(f"- {build}, {name}: {problem}")
    return lines


def runs_text(results):
    copies, rescans = results["copies"], results["rescans"]
    return (f"medians of {copies} first scans, cleanups and delete-only floors (one of each on "
            f"every copy of the tree, each first scan on a fresh one) and {copies * rescans} "
            f"rescans")


def main_tables(results):
    """The tables of the native and the Wine runs on the full trees."""
    lines = [
        f"Native build (`native-release`), {runs_text(results)}, {results['date']}. Targets "
        f"(✓/✗) as multiples of the floor's wall time: first scan ≤ 2.5× and rescan ≤ 1.15× on "
        f"\"photos\", \"sparse\" and \"wide\", cleanup ≤ 1.5× on \"photos\" and \"sparse\", "
        f"rescan ≤ 1.2× on \"deep\"; peak RSS ≤ 8 MiB on every tree. The delete-only floor, "
        f"`find TREE -name desktop.ini -type f -delete` on each copy once an untimed first scan "
        f"has written every desktop.ini again, is the least I/O any cleanup must do: the "
        f"cleanup's Counters cell gives its wall time as a multiple of it, which tells how much "
        f"of the cleanup's cost the deletions alone account for.",
        "",
    ]
    lines += tree_table(results["native"], True)
    if results.get("wine"):
        startup = results["wine"]["photos"]["summary"]["first_scan"]["empty_wall"]
        lines += [
            "",
            f"Windows build under {results.get('wine_version', 'Wine')} on \"photos\" and two "
            f"chains, one copy each, against the same native `find` for both floors "
            f"(the delete-only one deletes what the Windows build wrote); for information "
            f"only, as Wine's file layer is not Windows' (a Windows process with nothing to scan "
            f"takes {ms(startup)} under Wine):",
            "",
        ]
        lines += tree_table(results["wine"], False)
        lines += depth_growth_line(results["wine"])
    return lines


def render(results, notes):
    machine = results["machine"]
    lines = ["# Benchmark results", ""]
    if results.get("quick"):
        lines += ["**Quick run (small trees): not the committed figures.**", ""]
    lines += [
        f"Machine: {machine['cpu']}, {machine['cores']} cores, Linux {machine['kernel']}, "
        f"trees on {machine['file_system']} mounted {machine['mount_options']}; commit "
        f"{machine['commit']}; load average {results['load_before']:.1f} before, "
        f"{results['load_after']:.1f} after. Warm caches for the floors and the program alike; "
        "every run follows a floor run on the same tree. "
        "CPU is user + system time (under Wine without the wineserver's share).",
        "",
    ]
    lines += main_tables(results)
    if notes:
        lines += ["", notes]
    table, spreads = series_table(results["series"])
    photos = results["native"].get("photos", {}).get("summary", {})
    start_text = ", ".join(f"{LABELS[op]} {ms(photos[op]['empty_wall'])}"
                           for op in ["floor", "first_scan", "cleanup", "delete_only"]
                           if op in photos)
    lines += ["", "## Cost per folder", "",
              f"Wall time per folder, net of the same process with nothing to walk, timed beside "
              f"each run (on \"photos\": {start_text}); plotted, start-up included, in "
              f"[plot.svg](plot.svg).", ""]
    lines += table
    if spreads:
        lines += ["", f"Spread of the cost per folder over the sizes (largest / smallest − 1; "
                      f"target ≤ {FLATNESS_TARGET:.0%}):", ""]
        for (shape, op), spread in spreads.items():
            flag = "" if op in REFERENCES else f" {mark(spread <= FLATNESS_TARGET)}"
            lines.append(f"- {shape}, {LABELS[op]}: {spread:.0%}{flag}")
    notes = problems_lines(results)
    if notes or results.get("skipped"):
        lines += ["", "## Counters and files that differ from the tree", ""]
        lines += notes
        lines += [f"- skipped: {s}" for s in results.get("skipped", [])]
    return "\n".join(lines) + "\n"


def earlier_notes(results_md_path):
    """The hand-written block of the results.md about to be replaced, markers included."""
    if not os.path.exists(results_md_path):
        return ""
    with open(results_md_path, encoding="utf-8") as f:
        text = f.read()
    begin, end = text.find(NOTES_BEGIN), text.find(NOTES_END)
    if begin < 0 or end < begin:
        return ""
    return text[begin:end + len(NOTES_END)]


def main(argv):
    if len(argv) != 3:
        sys.exit(__doc__)
    with open(argv[1], encoding="utf-8") as f:
        results = json.load(f)
    notes = earlier_notes(argv[2])
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(render(results, notes))


if __name__ == "__main__":
    main(sys.argv)

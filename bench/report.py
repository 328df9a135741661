#!/usr/bin/env python3
"""Turns the raw results of bench/measure.py into results.md, and puts its main table into the
README's Benchmarks section (between the two bench-results comment lines).

Usage: report.py RESULTS_JSON RESULTS_MD [README_MD]
"""

import json
import sys

README_BEGIN = "<!-- bench-results:begin -->"
README_END = "<!-- bench-results:end -->"

LABELS = {
    "floor": "`find -type d` (floor)",
    "first_scan": "first scan",
    "rescan": "rescan, nothing to do",
    "cleanup": "cleanup",
}
# Ratio targets on the wall time, for the trees they are set for.
TARGETS = {"first_scan": 3.0, "rescan": 1.3, "cleanup": 1.5}
TARGET_TREES = {"photos", "sparse"}
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


def what_it_did(op, counters):
    got = counters.get(op, {})
    if op == "floor" or not got:
        return ""
    if op == "cleanup":
        return f"{got.get('folders', '?'):,} visited, {got.get('removed', '?'):,} removed"
    return (f"{got.get('folders', '?'):,} scanned, {got.get('written', '?'):,} written, "
            f"{got.get('removed', '?'):,} removed")


def tree_rows(name, entry, targets, marks):
    rows = []
    summary = entry["summary"]
    for i, op in enumerate(["floor", "first_scan", "rescan", "cleanup"]):
        s = summary[op]
        target = TARGETS.get(op) if targets else None
        rss_ok = s["rss_kib"] / 1024 <= RSS_TARGET_MIB
        rss = mib(s["rss_kib"]) + ("" if op == "floor" or not marks else f" {mark(rss_ok)}")
        rows.append("| " + " | ".join([
            f"**{name}**" if i == 0 else "",
            f"{entry['tree']['folders']:,}" if i == 0 else "",
            LABELS[op], ms(s["wall"]), ratio_cell(s["wall_ratio"], target), ms(s["cpu"]),
            ratio_cell(s["cpu_ratio"], None), rss, what_it_did(op, entry["counters"]),
        ]) + " |")
    return rows


def tree_table(section, with_targets):
    lines = [
        "| Tree | Folders | Run | Wall | × floor | CPU | × floor | Peak RSS | Counters |",
        "|---|---:|---|---:|---:|---:|---:|---:|---|",
    ]
    for name, entry in section.items():
        lines += tree_rows(name, entry, with_targets and name in TARGET_TREES, with_targets)
    return lines


def per_folder(summary, op, folders, startup):
    """Microseconds per folder, net of what the process costs with nothing to walk."""
    return (summary[op]["wall"] - startup.get(op, 0)) / folders * 1e6


def series_table(series, startup):
    lines = [
        "| Shape | Folders | floor µs/folder | first scan µs/folder | rescan µs/folder | "
        "cleanup µs/folder |",
        "|---|---:|---:|---:|---:|---:|",
    ]
    spreads = {}
    for shape, points in series.items():
        for point in points:
            cells = [f"{per_folder(point['summary'], op, point['folders'], startup):.1f}"
                     for op in ["floor", "first_scan", "rescan", "cleanup"]]
            lines.append(f"| {shape} | {point['folders']:,} | " + " | ".join(cells) + " |")
        if len(points) >= 2:
            for op in ["floor", "first_scan", "rescan", "cleanup"]:
                costs = [per_folder(p["summary"], op, p["folders"], startup) for p in points]
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
    return (f"medians of {copies} first scans and cleanups (each on a fresh copy of the tree) "
            f"and {copies * rescans} rescans")


def main_tables(results):
    """The part the README shows too."""
    lines = [
        f"Native build (`native-release`), {runs_text(results)}, {results['date']}. Targets "
        f"(✓/✗) on \"photos\" and \"sparse\": first scan ≤ 3×, rescan ≤ 1.3×, cleanup ≤ 1.5× "
        f"the floor's wall time; peak RSS ≤ 8 MiB on every tree.",
        "",
    ]
    lines += tree_table(results["native"], True)
    if results.get("wine"):
        startup = results.get("wine_startup", {}).get("first_scan", 0)
        lines += [
            "",
            f"Windows build under {results.get('wine_version', 'Wine')} on \"photos\", "
            f"{results['wine_copies']} copy, against the same native `find`; for information "
            f"only, as Wine's file layer is not Windows' (a Windows process with nothing to scan "
            f"takes {ms(startup)} under Wine):",
            "",
        ]
        lines += tree_table(results["wine"], False)
    return lines


def render(results):
    machine = results["machine"]
    startup = results.get("native_startup", {})
    lines = ["# Benchmark results", ""]
    if results.get("quick"):
        lines += ["**Quick run (small trees): not the committed figures.**", ""]
    lines += [
        f"Machine: {machine['cpu']}, {machine['cores']} cores, Linux {machine['kernel']}, "
        f"trees on {machine['file_system']}; commit {machine['commit']}; load average "
        f"{results['load_before']:.1f} before, {results['load_after']:.1f} after. Warm caches "
        "for the floor and the program alike; every run follows a floor run on the same tree. "
        "CPU is user + system time (under Wine without the wineserver's share).",
        "",
    ]
    lines += main_tables(results)
    table, spreads = series_table(results["series"], startup)
    start_text = ", ".join(f"{LABELS[op]} {ms(startup[op])}" for op in
                           ["floor", "first_scan", "cleanup"] if op in startup)
    lines += ["", "## Cost per folder", "",
              f"Wall time per folder, net of what each process costs with nothing to walk "
              f"({start_text}); plotted, with the start-up included, in [plot.svg](plot.svg).",
              ""]
    lines += table
    if spreads:
        lines += ["", f"Spread of the cost per folder over the sizes (largest / smallest − 1; "
                      f"target ≤ {FLATNESS_TARGET:.0%}):", ""]
        for (shape, op), spread in spreads.items():
            flag = "" if op == "floor" else f" {mark(spread <= FLATNESS_TARGET)}"
            lines.append(f"- {shape}, {LABELS[op]}: {spread:.0%}{flag}")
    notes = problems_lines(results)
    if notes or results.get("skipped"):
        lines += ["", "## Counters that differ from the tree", ""]
        lines += notes
        lines += [f"- skipped: {s}" for s in results.get("skipped", [])]
    return "\n".join(lines) + "\n"


def update_readme(readme_path, results):
    with open(readme_path, encoding="utf-8") as f:
        text = f.read()
    begin, end = text.find(README_BEGIN), text.find(README_END)
    if begin < 0 or end < begin:
        print(f"{readme_path}: no {README_BEGIN} ... {README_END} block; left as it is")
        return
    block = "\n".join([README_BEGIN] + main_tables(results) + [README_END])
    text = text[:begin] + block + text[end + len(README_END):]
    with open(readme_path, "w", encoding="utf-8") as f:
        f.write(text)


def main(argv):
    if len(argv) not in (3, 4):
        sys.exit(__doc__)
    with open(argv[1], encoding="utf-8") as f:
        results = json.load(f)
    with open(argv[2], "w", encoding="utf-8") as f:
        f.write(render(results))
    if len(argv) == 4:
        update_readme(argv[3], results)


if __name__ == "__main__":
    main(sys.argv)

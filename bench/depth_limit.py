#!/usr/bin/env python3
"""Scans a chain of 1,600,000 folders with 255-byte names, far deeper than the walk goes, and
checks what the scan must do with it: exit 0, walk the 32,769 folders down to its depth limit
(the root and 32,768 levels), write nothing (the only file lies at the bottom, below the limit),
warn once that the root was cut, and stay within 64 MiB of peak resident memory.

bench/run.sh calls this after measure.py (`--depth-only` runs only this); see README.md,
"Benchmarks". Building the chain takes minutes and about two gigabytes: as root it goes into a
tmpfs of its own, which is gone the moment it is unmounted, where deleting 1.6 million folders
from a disk that discards freed blocks takes most of an hour; otherwise into the work folder.
Writes the raw figures as JSON and a Markdown page.

Usage: depth_limit.py --native-build DIR --work DIR --json FILE --markdown FILE [--quick]
"""

import argparse
import datetime
import json
import os
import subprocess
import sys

from measure import NativeRunner, counters, machine_description, make_tree, run_timed

DEPTH_LIMIT = 32768
LEVELS = {"full": 1_600_000, "quick": 100_000}
RSS_TARGET_MIB = 64
WARNING = "Root path is deeper than 32768 folders; not walked below that depth: "


def mount_tmpfs(folder):
    """A tmpfs of the chain's own at `folder`, or False where this process may not mount."""
    os.makedirs(folder)
    done = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8g,mode=0755", "tindral-chain",
                           folder], capture_output=True, text=True)
    return done.returncode == 0


def scan_chain(native, tree):
    native.set_roots([tree])
    sample = run_timed([native.tindral, "--console"], native.env, native.out)
    got = counters(sample["output"])
    problems = []
    expected = {"folders": DEPTH_LIMIT + 1, "written": 0, "removed": 0}
    for key, want in expected.items():
        if got.get(key) != want:
            problems.append(f"{key} {got.get(key)}, expected {want}")
    warnings = [line for line in sample["output"].splitlines() if WARNING in line]
    if len(warnings) != 1 or not warnings[0].endswith(WARNING + tree):
        problems.append(f"{len(warnings)} depth warnings, expected one naming {tree}")
    if sample["rss_kib"] > RSS_TARGET_MIB * 1024:
        problems.append(f"peak RSS {sample['rss_kib'] / 1024:.1f} MiB over {RSS_TARGET_MIB} MiB")
    return {"wall": sample["wall"], "cpu": sample["cpu"], "rss_kib": sample["rss_kib"],
            "counters": got, "warnings": len(warnings), "problems": problems}


def markdown(results):
    m = results["machine"]
    run = results["scan"]
    tree = results["tree"]
    ok = not run["problems"]
    lines = [
        "# Depth limit",
        "",
        f"Machine: {m['cpu']}, {m['cores']} cores, Linux {m['kernel']}; commit {m['commit']}; "
        f"{results['date']}. The chain lies on {results['file_system']}.",
        "",
        f"One `tindral --console` (the `native-release` build) of a chain of "
        f"{tree['folders']:,} folders, each named with 255 bytes, a file at the bottom; made in "
        f"{tree['made_in']:.0f} s. Target: exit 0, {DEPTH_LIMIT + 1:,} folders scanned (the "
        f"root and {DEPTH_LIMIT:,} levels), nothing written, one warning naming the root, peak "
        f"RSS at most {RSS_TARGET_MIB} MiB.",
        "",
        "| Wall | CPU | Peak RSS | Counters | Warnings | Result |",
        "|---:|---:|---:|---|---:|---|",
        f"| {run['wall']:.2f} s | {run['cpu']:.2f} s | {run['rss_kib'] / 1024:.1f} MiB | "
        f"{run['counters'].get('folders', '?'):,} scanned, {run['counters'].get('written', '?')} "
        f"written, {run['counters'].get('removed', '?')} removed | {run['warnings']} | "
        f"{'✓' if ok else '✗ ' + '; '.join(run['problems'])} |",
        "",
    ]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native-build", required=True)
    parser.add_argument("--work", required=True, help="an empty temporary folder")
    parser.add_argument("--json", required=True)
    parser.add_argument("--markdown", required=True)
    parser.add_argument("--quick", action="store_true")
    args = parser.parse_args()

    native = NativeRunner(args.native_build, args.work)
    chains = os.path.join(args.work, "chains")
    on_tmpfs = mount_tmpfs(chains)
    try:
        tree = os.path.join(chains, "chain")
        levels = LEVELS["quick" if args.quick else "full"]
        print(f"== a chain of {levels:,} folders with 255-byte names "
              f"({'own tmpfs' if on_tmpfs else 'in the work folder'})", flush=True)
        info = make_tree("chain255", levels, tree)
        print(f"   made in {info['made_in']:.0f} s; scanning", flush=True)
        results = {
            "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
            "machine": machine_description(args.work),
            "file_system": "a tmpfs of its own" if on_tmpfs else "the work folder's file system",
            "tree": info, "scan": scan_chain(native, tree),
        }
    finally:
        if on_tmpfs:
            subprocess.run(["umount", chains], check=False)
    with open(args.json, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=1)
    with open(args.markdown, "w", encoding="utf-8") as f:
        f.write(markdown(results))
    print(markdown(results))
    if results["scan"]["problems"]:
        sys.exit(1)


if __name__ == "__main__":
    main()

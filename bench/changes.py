#!/usr/bin/env python3
"""Times the native service's change-driven updates, the service running as systemd starts it.

bench/run.sh builds the executable and calls this; see README.md, "Benchmarks".

  latency  a photo copied into a new chain of five folders: the time from the copy's start to
           the desktop.ini in the deepest and in the topmost new folder, `runs` times
  idle     the CPU time (user + system) the service spends over `idle` seconds with 100,000
           folders below its root and nothing changing, against the CPU time and the wall time
           of one full rescan of the same tree (served from rescan.flag)
  burst    10,000 files copied into 100 new folders at once: the time until all 100 carry a
           desktop.ini
  memory   the service's peak resident set size (VmHWM) at the end

As root the tree lies on a tmpfs of its own (so that the one fanotify mark sees only the
benchmark's changes), and optionally also on the file system of TMPDIR, shared with whatever
else the machine does; without root the service falls back to inotify on TMPDIR's file system.
"""

import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

PHOTO = b"\xff\xd8\xff\xe0" + b"jpeg" * 1024
CLOCK_TICKS = os.sysconf("SC_CLK_TCK")


def log(message):
    print(message, flush=True)


def cpu_seconds(pid):
    with open(f"/proc/{pid}/stat") as stat:
        fields = stat.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / CLOCK_TICKS


def peak_rss_kib(pid):
    with open(f"/proc/{pid}/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
    return 0


class Service:
    """The service in its native service mode, with a data folder and one root of its own."""

    def __init__(self, exe, work, root):
        self.program_data = os.path.join(work, "programdata")
        self.data = os.path.join(self.program_data, "Tindral")
        os.makedirs(self.data, exist_ok=True)
        self.log = os.path.join(self.data, "service.log")
        with open(os.path.join(self.data, "config.txt"), "w") as config:
            config.write(root + "\n")
        env = dict(os.environ, ProgramData=self.program_data, NO_COLOR="1",
                   INVOCATION_ID="bench")
        env.pop("NOTIFY_SOCKET", None)
        self.process = subprocess.Popen([exe], env=env, cwd=work, stdout=subprocess.DEVNULL,
                                        stderr=subprocess.DEVNULL)

    def messages(self):
        try:
            with open(self.log, encoding="utf-8", errors="replace") as log_file:
                return [line.rstrip("\n").split("] ", 1)[-1] for line in log_file]
        except FileNotFoundError:
            return []

    def wait_for(self, prefix, timeout, after=0):
        deadline = time.monotonic() + timeout
        while time.monotonic() < deadline:
            for message in self.messages()[after:]:
                if message.startswith(prefix):
                    return message
            time.sleep(0.01)
        raise RuntimeError(f"service.log has no line starting {prefix!r}: {self.messages()}")

    def stop(self):
        self.process.terminate()
        self.process.wait(timeout=30)


def wait_for_files(paths, timeout, start=None):
    """Seconds from `start` until every path exists (polled every millisecond), or None."""
    start = time.monotonic() if start is None else start
    left = list(paths)
    times = {}
    while left and time.monotonic() - start < timeout:
        for path in list(left):
            if os.path.exists(path):
                times[path] = time.monotonic() - start
                left.remove(path)
        time.sleep(0.001)
    return None if left else times


def make_folders(root, count):
    """`count` folders below `root`, 100 per parent, every tenth holding a photo."""
    made = 0
    parent_index = 0
    while made < count:
        parent = os.path.join(root, f"album{parent_index:05d}")
        os.mkdir(parent)
        made += 1
        for child in range(min(99, count - made)):
            folder = os.path.join(parent, f"day{child:03d}")
            os.mkdir(folder)
            if child % 10 == 0:
                with open(os.path.join(folder, "photo.jpg"), "wb") as photo:
                    photo.write(PHOTO)
            made += 1
        parent_index += 1
    return made


def measure_latency(service, root, runs):
    deepest_times, top_times = [], []
    for run in range(runs):
        top = os.path.join(root, f"trip{run:03d}")
        deepest = os.path.join(top, "day1", "morning", "beach", "north")
        start = time.monotonic()
        os.makedirs(deepest)
        with open(os.path.join(deepest, "photo.jpg"), "wb") as photo:
            photo.write(PHOTO)
        got = wait_for_files([os.path.join(deepest, "desktop.ini"),
                              os.path.join(top, "desktop.ini")], 10, start)
        if got is None:
            raise RuntimeError(f"run {run}: no desktop.ini within 10 s")
        deepest_times.append(got[os.path.join(deepest, "desktop.ini")])
        top_times.append(got[os.path.join(top, "desktop.ini")])
        time.sleep(0.5)
    return {
        "runs": runs,
        "deepest_median_s": statistics.median(deepest_times),
        "deepest_max_s": max(deepest_times),
        "top_median_s": statistics.median(top_times),
        "top_max_s": max(top_times),
    }


def measure_burst(root, folders=100, files=100):
    start = time.monotonic()
    tops = []
    for index in range(folders):
        folder = os.path.join(root, f"burst{index:03d}")
        os.mkdir(folder)
        tops.append(os.path.join(folder, "desktop.ini"))
        for number in range(files):
            with open(os.path.join(folder, f"img{number:03d}.jpg"), "wb") as photo:
                photo.write(PHOTO)
    copied = time.monotonic() - start
    got = wait_for_files(tops, 30, start)
    if got is None:
        raise RuntimeError("the burst's folders were not all decorated within 30 s")
    return {"files": folders * files, "folders": folders, "copy_s": copied,
            "all_decorated_s": max(got.values())}


def measure_place(exe, work, root, args, index):
    os.makedirs(root, exist_ok=True)
    log(f"== {root}: {args.folders} folders")
    made = make_folders(root, args.folders)
    service = Service(exe, os.path.join(work, f"service{index}"), root)
    result = {"root": root, "folders": made}
    try:
        result["watching"] = service.wait_for("Watching ", 120)
        result["initial_scan"] = service.wait_for("Initial scan complete", 600)
        time.sleep(1)
        log(f"   idle for {args.idle} s")
        before = cpu_seconds(service.process.pid)
        time.sleep(args.idle)
        result["idle"] = {"seconds": args.idle,
                          "cpu_s": cpu_seconds(service.process.pid) - before}
        log(f"   idle CPU {result['idle']['cpu_s']:.3f} s; one full rescan")
        lines = len(service.messages())
        before = cpu_seconds(service.process.pid)
        open(os.path.join(service.data, "rescan.flag"), "w").close()
        summary = service.wait_for("Scan complete", 120, after=lines)
        result["rescan"] = {"summary": summary,
                            "cpu_s": cpu_seconds(service.process.pid) - before}
        log(f"   latency, {args.runs} runs")
        result["latency"] = measure_latency(service, root, args.runs)
        log("   burst")
        result["burst"] = measure_burst(root)
        time.sleep(1)
        result["peak_rss_kib"] = peak_rss_kib(service.process.pid)
        result["summaries"] = [m for m in service.messages() if m.startswith("Updated after")]
    finally:
        service.stop()
    return result


def markdown(results):
    lines = ["# Changes between scans (native service mode)", "",
             f"Generated by bench/changes.py{' --quick' if results['quick'] else ''}"
             f"{' --shared' if len(results['places']) > 1 else ''}, "
             f"as {'root' if results['root'] else 'an unprivileged account'}; "
             "see bench/changes.py for what each figure is.", ""]
    for place in results["places"]:
        latency, idle, rescan, burst = (place["latency"], place["idle"], place["rescan"],
                                        place["burst"])
        lines += [
            f"## {place['folders']:,} folders on a {place['place']}", "",
            f"- Source: {place['watching']}",
            f"- Start-up: {place['initial_scan']}",
            f"- Photo into a new 5-level chain, {latency['runs']} runs: deepest folder's "
            f"desktop.ini after {latency['deepest_median_s']:.3f} s median, "
            f"{latency['deepest_max_s']:.3f} s at most; topmost new folder's after "
            f"{latency['top_median_s']:.3f} s median, {latency['top_max_s']:.3f} s at most "
            "(target: median at most 1 s, every run at most 2 s)",
            f"- Nothing changing for {idle['seconds']} s: {idle['cpu_s']:.3f} s of CPU; one full "
            f"rescan: {rescan['cpu_s']:.3f} s of CPU ({rescan['summary']}) "
            "(target: less than one rescan)",
            f"- Burst of {burst['files']:,} files into {burst['folders']} new folders (copied in "
            f"{burst['copy_s']:.2f} s): all decorated after {burst['all_decorated_s']:.2f} s "
            "(target: 5 s)",
            f"- Peak RSS of the service: {place['peak_rss_kib'] / 1024:.1f} MiB",
            "- Summaries in service.log: " + "; ".join(place["summaries"]), ""]
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native-build", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--json", required=True)
    parser.add_argument("--markdown", required=True)
    parser.add_argument("--quick", action="store_true",
                        help="10,000 folders, 30 s idle, 5 latency runs")
    parser.add_argument("--folders", type=int,
                        help="this many folders instead (for the peak RSS of a large tree)")
    parser.add_argument("--shared", action="store_true",
                        help="as root, also measure on TMPDIR's own file system")
    args = parser.parse_args()
    args.folders = args.folders or (10000 if args.quick else 100000)
    args.idle = 30 if args.quick else 300
    args.runs = 5 if args.quick else 20
    exe = os.path.abspath(os.path.join(args.native_build, "service", "tindral"))

    places = []
    mounted = None
    if os.geteuid() == 0:
        mounted = os.path.join(args.work, "tmpfs")
        os.makedirs(mounted)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=6g", "tindral-bench", mounted],
                       check=True)
        places.append(("tmpfs of its own", os.path.join(mounted, "tree")))
        if args.shared:
            places.append(("shared file system", os.path.join(args.work, "tree")))
    else:
        places.append(("shared file system", os.path.join(args.work, "tree")))
    results = {"quick": args.quick, "root": os.geteuid() == 0, "places": []}
    try:
        for index, (name, root) in enumerate(places):
            measured = measure_place(exe, args.work, root, args, index)
            measured["place"] = name
            results["places"].append(measured)
            shutil.rmtree(root, ignore_errors=True)
    finally:
        if mounted:
            subprocess.run(["umount", mounted], check=False)
    with open(args.json, "w") as out:
        json.dump(results, out, indent=2)
    with open(args.markdown, "w") as out:
        out.write(markdown(results))
    log(markdown(results))
    return 0


if __name__ == "__main__":
    sys.exit(main())

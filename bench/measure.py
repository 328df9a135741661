#!/usr/bin/env python3
"""Times Tindral's scan and cleanup as whole processes against `find TREE -type d`, and the
cleanup against `find TREE -name desktop.ini -type f -delete` too.

bench/run.sh builds the executables and calls this; see README.md, "Benchmarks".

Each tree is made `copies` times over (the generator is deterministic) and goes through four
phases, so that no first scan follows a cleanup:
  tindral --console     first scan of the undecorated tree (writes every desktop.ini), once
  tindral --console     rescan with nothing to do, `rescans` times
  cleanup driver        removes every desktop.ini again, once
  find -delete          the delete-only floor, once, after an untimed first scan has written
                        every desktop.ini again
each run right after `find TREE -type d` on the same copy, the floor: what merely listing every
folder costs. The delete-only floor is the least I/O any cleanup must do, unlinking each
desktop.ini and looking at nothing but names: where it costs far more than the floor, the
deletions, not the walk, bound the cleanup. Caches are warm for all (one unmeasured `find` per
copy first). Reported are medians of wall time and CPU time (user + system), each also as a
ratio to the floor's, the largest peak resident set size, and the median of the same process
with nothing to walk. The counters every run prints are checked against what the generator says
the tree holds, and after the delete-only floor no desktop.ini may be left.
"""

import argparse
import datetime
import json
import os
import platform
import re
import shutil
import signal
import statistics
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(HERE)

# The trees of the results (name, shape, folders), and the folder counts of the cost series.
# Every tree is made `copies` times, one copy per first scan; rescans run `rescans` times on
# each copy. The Windows build under Wine runs on further copies of "photos".
FULL = {
    "named": [("photos", "photos", 20000), ("sparse", "sparse", 100000),
              ("wide", "wide", 50000), ("deep", "deep", 20000),
              ("deep 2,000", "deep", 2000)],
    "series": {"photos": [1000, 3000, 10000, 20000, 100000],
               "sparse": [1000, 3000, 10000, 30000, 100000]},
    "copies": 3, "rescans": 2, "wine_copies": 1,
    # Chains whose scan time under Wine tells whether the cost per folder grows with the depth.
    "wine_named": [("deep 200", "deep", 200), ("deep 2,000", "deep", 2000)],
}
QUICK = {
    "named": [("photos", "photos", 2000), ("sparse", "sparse", 10000),
              ("wide", "wide", 5000), ("deep", "deep", 2000)],
    "series": {"photos": [1000, 2000, 5000], "sparse": [1000, 3000, 10000]},
    "copies": 3, "rescans": 1, "wine_copies": 1,
    "wine_named": [("deep 200", "deep", 200), ("deep 2,000", "deep", 2000)],
}
OPERATIONS = ["floor", "first_scan", "rescan", "cleanup", "delete_only"]
LABELS = {"first_scan": "first scan", "rescan": "rescan", "cleanup": "cleanup",
          "delete_only": "delete-only floor"}
INI_NAME = "desktop.ini"
FOLDER_FLAGS = os.O_RDONLY | os.O_DIRECTORY
PROCESS_TIMEOUT = 600  # seconds; a process that takes longer is killed and the run fails
TIME = "/usr/bin/time"  # GNU time

SUMMARY_PATTERNS = {
    "folders": re.compile(r"Folders (?:scanned|visited): (\d+)"),
    "written": re.compile(r"Desktop\.ini written: (\d+)"),
    "removed": re.compile(r"Desktop\.ini removed: (\d+)"),
}


class BenchError(Exception):
    pass


def run_timed(argv, env, out_path):
    """Runs one process to its end: wall seconds, CPU seconds, peak RSS in KiB, its output.

    The process is started through GNU time, which reports its peak RSS: started straight from
    here, it would inherit this Python process's high-water mark across exec."""
    rss_path = out_path + ".rss"
    timed = [TIME, "-f", "%M", "-o", rss_path] + argv
    actions = [
        (os.POSIX_SPAWN_OPEN, 0, os.devnull, os.O_RDONLY, 0),
        (os.POSIX_SPAWN_OPEN, 1, out_path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC, 0o644),
        (os.POSIX_SPAWN_DUP2, 1, 2),
    ]
    start = time.perf_counter()
    pid = os.posix_spawn(timed[0], timed, env, file_actions=actions)
    watchdog = threading.Timer(PROCESS_TIMEOUT, os.kill, (pid, signal.SIGKILL))
    watchdog.start()
    _, status, usage = os.wait4(pid, 0)
    wall = time.perf_counter() - start
    watchdog.cancel()
    with open(out_path, "rb") as f:
        output = f.read().decode("utf-8", "replace")
    code = os.waitstatus_to_exitcode(status)
    if code != 0:
        raise BenchError(f"{' '.join(argv)} exited with {code}:\n{output[-2000:]}")
    with open(rss_path, encoding="utf-8") as f:
        rss_kib = int(f.read().split()[-1])
    return {"wall": wall, "cpu": usage.ru_utime + usage.ru_stime, "rss_kib": rss_kib,
            "output": output}


def counters(output):
    found = {}
    for key, pattern in SUMMARY_PATTERNS.items():
        match = pattern.search(output)
        if match:
            found[key] = int(match.group(1))
    return found


class Runner:
    """How one build runs a scan, a cleanup and the floor on one tree."""

    def __init__(self, name, work):
        self.name = name
        self.work = work
        self.out = os.path.join(work, f"{name}.out")

    def floor(self, tree):
        return run_timed([self.find, tree, "-type", "d"], os.environ.copy(), os.devnull)

    def delete_only(self, tree):
        """The delete-only floor: the native `find` for either build, as it measures the disk,
        not the build."""
        return run_timed([self.find, tree, "-name", INI_NAME, "-type", "f", "-delete"],
                         os.environ.copy(), os.devnull)


class NativeRunner(Runner):
    def __init__(self, build, work):
        super().__init__("native", work)
        self.find = shutil.which("find")
        self.tindral = os.path.join(build, "service", "tindral")
        self.driver = os.path.join(build, "bench", "tindral_cleanup_driver")
        self.program_data = os.path.join(work, "programdata")
        self.config = os.path.join(self.program_data, "Tindral", "config.txt")
        os.makedirs(os.path.dirname(self.config), exist_ok=True)
        self.env = dict(os.environ, ProgramData=self.program_data, NO_COLOR="1")

    def set_roots(self, roots):
        with open(self.config, "w", encoding="utf-8") as f:
            f.writelines(root + "\n" for root in roots)

    def scan(self):
        return run_timed([self.tindral, "--console"], self.env, self.out)

    def cleanup(self):
        return run_timed([self.driver, self.config], self.env, self.out)


class WineRunner(Runner):
    """The Windows build under Wine, in a prefix of its own whose server stays up meanwhile."""

    def __init__(self, build, prefix, work):
        super().__init__("wine", work)
        self.find = shutil.which("find")
        self.wine = shutil.which("wine")
        self.tindral = os.path.join(build, "service", "tindral.exe")
        self.driver = os.path.join(build, "bench", "tindral_cleanup_driver.exe")
        self.env = dict(os.environ, WINEPREFIX=prefix, WINEDEBUG="-all", NO_COLOR="1",
                        WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d")
        # Wine sets ProgramData to C:\ProgramData for every Windows process.
        self.config = os.path.join(prefix, "drive_c", "ProgramData", "Tindral", "config.txt")
        os.makedirs(os.path.dirname(self.config), exist_ok=True)

    def set_roots(self, roots):
        with open(self.config, "w", encoding="utf-8", newline="") as f:
            f.writelines("Z:" + root.replace("/", "\\") + "\r\n" for root in roots)

    def scan(self):
        return run_timed([self.wine, self.tindral, "--console"], self.env, self.out)

    def cleanup(self):
        return run_timed([self.wine, self.driver, r"C:\ProgramData\Tindral\config.txt"],
                         self.env, self.out)


def make_tree(shape, folders, dest):
    started = time.perf_counter()
    done = subprocess.run([sys.executable, os.path.join(HERE, "make_trees.py"), shape,
                           str(folders), dest], check=True, capture_output=True, text=True)
    info = json.loads(done.stdout)
    info["made_in"] = time.perf_counter() - started
    return info


def make_copies(shape, folders, trees, count, label=""):
    """`count` identical trees, each for one first scan: a first scan needs an undecorated tree,
    and undecorating one by a cleanup would make the next scan's file creation pay for the
    deletions (ext4 without a journal searches past recently freed inodes). `label` keeps the
    trees of one build apart from another's of the same shape and size."""
    paths, info = [], None
    for index in range(count):
        path = os.path.join(trees, f"{label}{shape}-{folders}-{index + 1}")
        made = make_tree(shape, folders, path)
        if info is not None and made["folders"] != info["folders"]:
            raise BenchError(f"{shape} {folders}: the generator made different trees")
        info = info or made
        paths.append(path)
    return paths, info


def check(sample, expected, label, problems):
    """Notes where a run's counters differ from what the tree holds."""
    got = counters(sample["output"])
    for key, want in expected.items():
        if got.get(key) != want:
            problems.append(f"{label}: {key} {got.get(key)}, expected {want}")
    return got


def folder_contents(fd):
    """The names of the subfolders of an open folder, and how many desktop.ini files it holds."""
    subfolders, inis = [], 0
    with os.scandir(fd) as entries:
        for entry in entries:
            if entry.is_dir(follow_symlinks=False):
                subfolders.append(entry.name)
            elif entry.name == INI_NAME and entry.is_file(follow_symlinks=False):
                inis += 1
    return subfolders, inis


def inis_left(tree):
    """How many desktop.ini files a tree holds. The walk goes down and back up one folder at a
    time relative to the open one, holding a single descriptor: the deep trees are longer than
    a path may be and deeper than the descriptors a process may hold."""
    fd = os.open(tree, FOLDER_FLAGS)
    try:
        subfolders, left = folder_contents(fd)
        pending = [subfolders]  # per level down to the open folder, the subfolders still to see
        while pending:
            if pending[-1]:
                child = os.open(pending[-1].pop(), FOLDER_FLAGS, dir_fd=fd)
                os.close(fd)
                fd = child
                subfolders, inis = folder_contents(fd)
                left += inis
                pending.append(subfolders)
            else:
                pending.pop()
                if pending:
                    parent = os.open("..", FOLDER_FLAGS, dir_fd=fd)
                    os.close(fd)
                    fd = parent
        return left
    finally:
        os.close(fd)


class Measurements:
    """The samples of one tree by kind (an operation, or "empty_" and one), the counters last
    seen for each operation, and the problems found."""

    def __init__(self):
        self.samples = {op: [] for op in OPERATIONS}
        self.samples.update({"empty_" + op: [] for op in OPERATIONS})
        self.seen = {}
        self.problems = []

    def result(self):
        for taken in self.samples.values():
            for sample in taken:
                sample.pop("output", None)
        return {"samples": self.samples, "counters": self.seen,
                "problems": sorted(set(self.problems))}


def measure_phase(runner, op, run, verify, trees, empty, measured):
    """Times `run(tree)` once for each of `trees`, right after a floor run on the same tree and
    beside both with nothing to walk (`find` on an empty folder, a config.txt without roots);
    `verify(sample, tree)` returns what each timed run was seen to do."""
    # What the previous phase (or the generator) left for the disk is written out first, as it
    # would be long before a real rescan or cleanup.
    os.sync()
    for tree in trees:
        runner.set_roots([])
        measured.samples["empty_floor"].append(runner.floor(empty))
        measured.samples["empty_" + op].append(run(empty))
        runner.set_roots([tree])
        measured.samples["floor"].append(runner.floor(tree))
        sample = run(tree)
        measured.seen[op] = verify(sample, tree)
        measured.samples[op].append(sample)


def counters_check(op, expected, problems):
    """A `verify` for measure_phase that holds a Tindral run's counters against the tree."""
    return lambda sample, tree: check(sample, expected, LABELS[op], problems)


def none_left_check(problems):
    """A `verify` for measure_phase that looks for a desktop.ini the deletion missed."""
    def verify(sample, tree):
        left = inis_left(tree)
        if left:
            problems.append(f"{LABELS['delete_only']}: {left} {INI_NAME} left in "
                            f"{os.path.basename(tree)}")
        return {"left": left}
    return verify


def redecorate(runner, copies, expected, problems):
    """Writes every desktop.ini again for the delete-only floor to delete, by an untimed first
    scan of each copy whose counters are held against the tree like the timed ones'."""
    for tree in copies:
        runner.set_roots([tree])
        check(runner.scan(), expected, "first scan before the delete-only floor", problems)


def measure_tree(runner, copies, info, rescans, empty):
    """Times the first scan, the cleanup and then the delete-only floor once on each copy and
    the rescan `rescans` times, all first scans before any cleanup, each run right after a floor
    run on the same copy and beside the same process with nothing to walk; returns the samples,
    the counters seen and the problems found."""
    folders, decorated = info["folders"], info["decorated"]
    first_scan = {"folders": folders, "written": decorated, "removed": 0}
    # Tindral's processes walk the roots of config.txt, which measure_phase sets to the tree.
    phases = [
        ("first_scan", lambda tree: runner.scan(), first_scan, copies),
        ("rescan", lambda tree: runner.scan(), {"folders": folders, "written": 0, "removed": 0},
         copies * rescans),
        ("cleanup", lambda tree: runner.cleanup(), {"folders": folders, "removed": decorated},
         copies),
    ]
    # Unmeasured: the folders into the caches, the executable into memory.
    for tree in copies:
        runner.floor(tree)
    runner.set_roots([])
    runner.scan()

    measured = Measurements()
    for op, run, expected, trees in phases:
        measure_phase(runner, op, run, counters_check(op, expected, measured.problems), trees,
                      empty, measured)
    redecorate(runner, copies, first_scan, measured.problems)
    measure_phase(runner, "delete_only", runner.delete_only, none_left_check(measured.problems),
                  copies, empty, measured)
    return measured.result()


def summarise(samples):
    floor_wall = statistics.median(s["wall"] for s in samples["floor"])
    floor_cpu = statistics.median(s["cpu"] for s in samples["floor"])
    summary = {}
    for op in OPERATIONS:
        wall = statistics.median(s["wall"] for s in samples[op])
        cpu = statistics.median(s["cpu"] for s in samples[op])
        summary[op] = {
            "wall": wall, "cpu": cpu,
            "wall_ratio": wall / floor_wall if floor_wall else None,
            "cpu_ratio": cpu / floor_cpu if floor_cpu else None,
            "rss_kib": max(s["rss_kib"] for s in samples[op]),
            "walls": [s["wall"] for s in samples[op]],
            "empty_wall": statistics.median(s["wall"] for s in samples["empty_" + op]),
        }
    cleanup, delete_only = summary["cleanup"]["wall"], summary["delete_only"]["wall"]
    summary["cleanup"]["wall_ratio_delete_only"] = cleanup / delete_only if delete_only else None
    return summary


def file_system_of(path):
    """The type and mount options of the file system holding a path; the options say, for one,
    whether freeing blocks waits for the device to discard them (`discard`)."""
    if not shutil.which("findmnt"):
        return []
    done = subprocess.run(["findmnt", "-n", "-o", "FSTYPE,OPTIONS", "--target", path],
                          capture_output=True, text=True)
    return done.stdout.split()


def machine_description(work):
    cpu = "unknown CPU"
    try:
        with open("/proc/cpuinfo", encoding="utf-8") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    mount = file_system_of(work)
    commit = subprocess.run(["git", "-C", REPO, "describe", "--always", "--dirty"],
                            capture_output=True, text=True)
    return {
        "cpu": cpu, "cores": os.cpu_count(), "kernel": platform.release(),
        "file_system": mount[0] if mount else "unknown",
        "mount_options": mount[1] if len(mount) > 1 else "unknown",
        "commit": commit.stdout.strip() or "unknown",
    }


def wine_version():
    done = subprocess.run(["wine", "--version"], capture_output=True, text=True)
    return done.stdout.strip()


class Budget:
    def __init__(self, seconds):
        self.deadline = time.monotonic() + seconds

    def left(self):
        return self.deadline - time.monotonic()


def log(message):
    print(message, flush=True)


def entry(info, measured):
    return {"tree": info, "summary": summarise(measured["samples"]),
            "counters": measured["counters"], "problems": measured["problems"],
            "samples": measured["samples"]}


def run_benchmark(args):
    plan = QUICK if args.quick else FULL
    trees = os.path.join(args.work, "trees")
    os.makedirs(trees, exist_ok=True)
    budget = Budget(args.budget)
    wine_wanted = bool(args.windows_build) and not args.no_wine
    results = {
        "date": datetime.datetime.now(datetime.timezone.utc).strftime("%Y-%m-%d %H:%M UTC"),
        "quick": args.quick, "copies": plan["copies"], "rescans": plan["rescans"],
        "wine_copies": plan["wine_copies"], "machine": machine_description(args.work),
        "load_before": os.getloadavg()[0], "native": {}, "wine": {}, "series": {},
        "skipped": [],
    }
    native = NativeRunner(args.native_build, args.work)
    empty = os.path.join(trees, "empty")
    os.mkdir(empty)

    # Trees stay until the end: deleting them would slow down file creation in the next ones.
    wine_copies = []
    for name, shape, folders in plan["named"]:
        extra = plan["wine_copies"] if name == "photos" and wine_wanted else 0
        log(f"== {name}: {plan['copies'] + extra} trees of about {folders} folders")
        copies, info = make_copies(shape, folders, trees, plan["copies"] + extra)
        if extra:
            wine_copies = copies[plan["copies"]:]
        log(f"   {info['folders']} folders, {info['files']} files, each made in "
            f"{info['made_in']:.1f}s")
        measured = measure_tree(native, copies[:plan["copies"]], info, plan["rescans"], empty)
        results["native"][name] = entry(info, measured)
        for problem in measured["problems"]:
            log(f"   note: {problem}")

    if wine_wanted:
        wine = WineRunner(args.windows_build, args.wine_prefix, args.work)
        results["wine_version"] = wine_version()
        log(f"== photos under Wine ({results['wine_version']}), {len(wine_copies)} tree(s)")
        measured = measure_tree(wine, wine_copies, results["native"]["photos"]["tree"], 1, empty)
        results["wine"]["photos"] = entry(results["native"]["photos"]["tree"], measured)
        for name, shape, folders in plan["wine_named"]:
            log(f"== {name} under Wine")
            copies, info = make_copies(shape, folders, trees, 1, "wine-")
            measured = measure_tree(wine, copies, info, 1, empty)
            results["wine"][name] = entry(info, measured)

    named_sizes = {shape: folders for name, shape, folders in plan["named"] if name == shape}
    for shape, sizes in plan["series"].items():
        results["series"][shape] = []
        for folders in sizes:
            if named_sizes.get(shape) == folders:
                named = results["native"][shape]
                results["series"][shape].append({"folders": named["tree"]["folders"],
                                                  "summary": named["summary"]})
                continue
            if budget.left() < 60:
                results["skipped"].append(f"series {shape} {folders}: time budget spent")
                continue
            log(f"== series {shape} {folders}: {plan['copies']} trees")
            copies, info = make_copies(shape, folders, trees, plan["copies"])
            measured = measure_tree(native, copies, info, plan["rescans"], empty)
            for problem in measured["problems"]:
                log(f"   note: {problem}")
            results["series"][shape].append({"folders": info["folders"],
                                             "summary": summarise(measured["samples"])})

    results["load_after"] = os.getloadavg()[0]
    return results


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native-build", required=True)
    parser.add_argument("--windows-build")
    parser.add_argument("--wine-prefix")
    parser.add_argument("--no-wine", action="store_true")
    parser.add_argument("--quick", action="store_true")
    parser.add_argument("--work", required=True, help="an empty temporary folder")
    parser.add_argument("--budget", type=float, default=1080,
                        help="seconds after which series points are skipped")
    parser.add_argument("--json", required=True, help="where the raw results go")
    args = parser.parse_args()
    results = run_benchmark(args)
    with open(args.json, "w", encoding="utf-8") as f:
        json.dump(results, f, indent=1)


if __name__ == "__main__":
    main()

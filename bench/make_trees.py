#!/usr/bin/env python3
"""Lays out the benchmark folder trees, the same ones on every run for the same arguments.

Shapes:
  photos  a photo library: <year>/<month>/<event>[/<part>], a few files in most leaves
  sparse  a broad three-level tree in which nine folders in ten hold nothing
  wide    one folder with N - 1 subfolders, one in two holding a file
  deep    a chain of N folders, the deepest holding a file
  chain255  the same with 255-byte names, the longest a Linux file system takes

Files are empty: the walk looks at names only, never at content.

Usage: make_trees.py SHAPE FOLDERS DEST
Prints one JSON object: the shape, the folders made (the root included) and the folders that
hold content directly or below them (what a first scan writes).
"""

import json
import os
import random
import sys

SEED = 20261207


class Tree:
    """Counts what is made while it is made."""

    def __init__(self, root):
        self.root = root
        self.folders = 0
        self.files = 0
        os.mkdir(root)
        self.folders = 1

    def folder(self, path):
        os.mkdir(path)
        self.folders += 1

    def files_in(self, folder, names):
        for name in names:
            # Opened and closed at once: an empty file.
            with open(os.path.join(folder, name), "wb"):
                pass
        self.files += len(names)


def photos(dest, target):
    """Years, months, events; one event in five split into parts. Most leaves hold photos."""
    rng = random.Random(SEED)
    tree = Tree(dest)
    years, months = 20, 12
    month_folders = years * months
    # Each event is about 1.5 folders on average (one in five has 1-4 parts).
    events_per_month = max(1, round((target - 1 - years - month_folders) / (month_folders * 1.5)))
    decorated = 0  # folders with content below them, the root counted at the end
    for y in range(years):
        year = os.path.join(dest, f"{2000 + y}")
        tree.folder(year)
        year_has = False
        for m in range(months):
            month = os.path.join(year, f"{m + 1:02d}")
            tree.folder(month)
            month_has = False
            count = rng.randint(max(1, events_per_month // 2), events_per_month * 3 // 2)
            for e in range(count):
                event = os.path.join(month, f"Event {e + 1:03d}")
                tree.folder(event)
                parts = rng.randint(1, 4) if rng.random() < 0.2 else 0
                leaves = [event]
                if parts:
                    leaves = [os.path.join(event, f"Part {p + 1}") for p in range(parts)]
                    for leaf in leaves:
                        tree.folder(leaf)
                event_has = False
                for leaf in leaves:
                    # Nine leaves in ten hold one to five photos.
                    if rng.random() < 0.9:
                        n = rng.randint(1, 5)
                        tree.files_in(leaf, [f"IMG_{rng.randint(0, 9999):04d}_{i}.jpg"
                                             for i in range(n)])
                        event_has = True
                        if parts:
                            decorated += 1
                if event_has:
                    decorated += 1
                    month_has = True
            if month_has:
                decorated += 1
                year_has = True
        if year_has:
            decorated += 1
    if decorated:
        decorated += 1
    return tree, decorated


def sparse(dest, target):
    """A three-level tree of even fan-out in which one folder in ten holds a file."""
    rng = random.Random(SEED + 1)
    tree = Tree(dest)
    fan = max(2, round(target ** (1 / 3)))
    decorated = 0

    # Returns whether the folder or one below it holds content; folders are made top down, the
    # count of decorated folders is taken bottom up.
    def fill(folder, level):
        nonlocal decorated
        has = False
        if rng.random() < 0.1:
            tree.files_in(folder, ["notes.txt"])
            has = True
        if level < 3:
            for i in range(fan):
                if tree.folders >= target:
                    break
                child = os.path.join(folder, f"f{i:03d}")
                tree.folder(child)
                has = fill(child, level + 1) or has
        if has:
            decorated += 1
        return has

    # The root's own roll decides nothing: the root gets content only from below.
    for i in range(fan):
        if tree.folders >= target:
            break
        child = os.path.join(dest, f"f{i:03d}")
        tree.folder(child)
        fill(child, 1)
    if decorated:
        decorated += 1
    return tree, decorated


def wide(dest, target):
    tree = Tree(dest)
    decorated = 0
    for i in range(target - 1):
        child = os.path.join(dest, f"sub{i:05d}")
        tree.folder(child)
        if i % 2 == 0:
            tree.files_in(child, ["item.dat"])
            decorated += 1
    if decorated:
        decorated += 1
    return tree, decorated


def deep(dest, target, name="d"):
    """A chain far longer than a path may be: made one level at a time relative to its parent,
    so that no call ever sees the whole path."""
    tree = Tree(dest)
    parent = os.open(dest, os.O_RDONLY | os.O_DIRECTORY)
    try:
        for _ in range(target - 1):
            os.mkdir(name, dir_fd=parent)
            child = os.open(name, os.O_RDONLY | os.O_DIRECTORY, dir_fd=parent)
            os.close(parent)
            parent = child
            tree.folders += 1
        fd = os.open("leaf.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=parent)
        os.close(fd)
        tree.files += 1
    finally:
        os.close(parent)
    return tree, tree.folders


def chain255(dest, target):
    return deep(dest, target, "d" * 255)


SHAPES = {"photos": photos, "sparse": sparse, "wide": wide, "deep": deep, "chain255": chain255}


def main(argv):
    if len(argv) != 4 or argv[1] not in SHAPES:
        sys.exit(__doc__)
    shape, target, dest = argv[1], int(argv[2]), argv[3]
    tree, decorated = SHAPES[shape](dest, target)
    print(json.dumps({"shape": shape, "folders": tree.folders, "files": tree.files,
                      "decorated": decorated}))


if __name__ == "__main__":
    main(sys.argv)

#!/usr/bin/env python3
"""Whole-prefix snapshots for the end-to-end tests, and their differences.

    snapshot.py take PREFIX OUT [--cache FILE]
    snapshot.py diff BEFORE AFTER

A snapshot is a sorted text file, one record a line:

    dir  drive_c/<path>
    file drive_c/<path> <size> <sha1>
    link drive_c/<path> -> <target>
    reg  <hive file> [<key>] <value line>     (one line for a key with no values)

It covers every entry under drive_c and every value of the registry files
(system.reg, user.reg, userdef.reg). Wine's own bookkeeping is left out: the
modification time after each key name, the "#time=" lines, and the few values
Wine itself rewrites whenever it starts (VOLATILE below), so that a prefix in
which nothing happened compares equal to itself.

The wineserver must have exited (wineserver -w) before a snapshot is taken:
it writes the registry files only then.

Hashing every file takes a second or two, so `take` can keep a cache of
hashes keyed by inode, size, modification and change time: the kernel moves
a file's change time on every write, so a hit proves the content unchanged.

`diff` prints "- record" for what went and "+ record" for what came, and
exits with 1 when there is any difference.
"""

import hashlib
import json
import os
import re
import sys

HIVES = ("system.reg", "user.reg", "userdef.reg")

# (hive, key as written in the file, value name) of values that Wine
# rewrites at every start with no program asking for it. The display driver
# stamps its adapter's driver date with the time it started.
VOLATILE = [
    ("system.reg",
     re.compile(r"^System\\\\CurrentControlSet\\\\Control\\\\Class\\\\"
                r"\{4D36E968-E325-11CE-BFC1-08002BE10318\}\\\\\d{4}$", re.I),
     '"DriverDateData"'),
]


def _hash(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return h.hexdigest()
            h.update(block)


def _files(prefix, cache):
    records = []
    top = os.path.join(prefix, "drive_c")
    for root, dirs, files in os.walk(top):
        for name in sorted(dirs):
            full = os.path.join(root, name)
            rel = os.path.relpath(full, prefix)
            if os.path.islink(full):
                records.append("link %s -> %s" % (rel, os.readlink(full)))
            else:
                records.append("dir  %s" % rel)
        # os.walk does not descend into linked directories; list them once.
        dirs[:] = [d for d in dirs if not os.path.islink(os.path.join(root, d))]
        for name in files:
            full = os.path.join(root, name)
            rel = os.path.relpath(full, prefix)
            st = os.lstat(full)
            if os.path.islink(full):
                records.append("link %s -> %s" % (rel, os.readlink(full)))
                continue
            key = "%d:%d:%d:%d" % (st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
            digest = cache.get(key)
            if digest is None:
                digest = cache[key] = _hash(full)
            records.append("file %s %d %s" % (rel, st.st_size, digest))
    return records


_KEY = re.compile(r"^\[(.*)\](?: \d+)?$")
_VALUE_NAME = re.compile(r'^("(?:[^"\\]|\\.)*"|@)=')


def _registry(prefix):
    records = []
    for hive in HIVES:
        path = os.path.join(prefix, hive)
        if not os.path.exists(path):
            continue
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().split("\n")
        key = None
        has_values = False
        pending = ""
        for line in lines:
            if pending:
                line = pending + line.lstrip()
                pending = ""
            if line.endswith("\\") and key is not None and not line.startswith("["):
                pending = line[:-1]
                continue
            m = _KEY.match(line)
            if m:
                if key is not None and not has_values:
                    records.append("reg  %s [%s]" % (hive, key))
                key, has_values = m.group(1), False
                continue
            if key is None or not line or line.startswith(";;") or line.startswith("#time="):
                continue
            name = _VALUE_NAME.match(line)
            if name and any(h == hive and k.match(key) and v == name.group(1)
                            for h, k, v in VOLATILE):
                continue
            records.append("reg  %s [%s] %s" % (hive, key, line))
            has_values = True
        if key is not None and not has_values:
            records.append("reg  %s [%s]" % (hive, key))
    return records


def take(prefix, out, cache_path=None):
    cache = {}
    if cache_path and os.path.exists(cache_path):
        with open(cache_path) as f:
            cache = json.load(f)
    records = _files(prefix, cache) + _registry(prefix)
    records.sort()
    with open(out, "w", encoding="utf-8", errors="surrogateescape") as f:
        f.write("\n".join(records) + "\n")
    if cache_path:
        with open(cache_path, "w") as f:
            json.dump(cache, f)


def diff(before, after):
    def read(path):
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            return set(line for line in f.read().split("\n") if line)

    a, b = read(before), read(after)
    changes = ["- " + r for r in a - b] + ["+ " + r for r in b - a]
    # Group a record's removal and addition side by side.
    changes.sort(key=lambda c: (c[2:], c[0]))
    sys.stdout.write("".join(c + "\n" for c in changes))
    return 1 if changes else 0


def main(argv):
    if len(argv) >= 3 and argv[0] == "take":
        cache = argv[argv.index("--cache") + 1] if "--cache" in argv else None
        take(argv[1], argv[2], cache)
        return 0
    if len(argv) == 3 and argv[0] == "diff":
        return diff(argv[1], argv[2])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

#!/usr/bin/python3 -S
"""Whole-prefix snapshots for the end-to-end tests, and their differences.

    snapshot.py take PREFIX OUT [--cache FILE] [--overlay TEMPLATE [LAYER...] UPPER]
    snapshot.py diff BEFORE AFTER

A snapshot is a sorted text file, one record a line:

    dir  drive_c/<path> mode=<octal> dos=<attributes> sd=<sha1>
    file drive_c/<path> <size> <sha1> mode=<octal> dos=<attributes> sd=<sha1>
    link drive_c/<path> -> <target>
    node drive_c/<path> <type>             (anything else: a fifo, a device)
    reg  <hive file> [<key>] <value line>  (one line for a key with no values)

It covers every entry under drive_c and every value of system.reg, user.reg
and userdef.reg. "dos" is the DOS attributes Wine keeps in user.DOSATTRIB,
"sd" the SHA-1 of the security descriptor it keeps in user.wine.sd, "-"
where there is none. Times are left out, and so is Wine's own bookkeeping
(key times, "#time=" lines, VOLATILE below), so that a prefix in which
nothing happened compares equal to itself. Take it once the wineserver has
exited: it writes the registry files only then.

With --overlay, PREFIX is an overlay of TEMPLATE, further read-only LAYERs
and UPPER, bottom up. The template's records are taken once (kept in
TEMPLATE.records); only what each layer above holds is read: an entry
replaces the one below, a whiteout deletes it, an opaque folder hides what
is below. The registry files are read from PREFIX. The mount must not
redirect folders or copy up metadata alone (redirect_dir=off, metacopy=off).

--cache keeps files' hashes keyed by inode, size, modification and change
time: any write moves the change time, so a hit proves the content unchanged.

`diff` prints "- record" for what went and "+ record" for what came, and
exits with 1 when there is any difference.
"""

import fcntl
import hashlib
import json
import os
import re
import stat
import sys

HIVES = ("system.reg", "user.reg", "userdef.reg")
XATTRS = (("dos", "user.DOSATTRIB"), ("sd", "user.wine.sd"))

# (hive, key as written in the file, value names) of values that Wine
# rewrites at its start with no program asking for it. The display driver
# stamps its adapter's driver date with the time it started (DriverDateData,
# and DriverDate, the day, which changes under a run past midnight); on a
# starved machine (the emulated one, under load) it has also left a link
# value on that adapter's key at a session's start.
VOLATILE = [
    ("system.reg",
     re.compile(r"^System\\\\CurrentControlSet\\\\Control\\\\Class\\\\"
                r"\{4D36E968-E325-11CE-BFC1-08002BE10318\}\\\\\d{4}$", re.I),
     ('"DriverDate"', '"DriverDateData"', '"SymbolicLinkValue"')),
]


def _hash(path):
    h = hashlib.sha1()
    with open(path, "rb") as f:
        while True:
            block = f.read(1 << 20)
            if not block:
                return h.hexdigest()
            h.update(block)


def _xattrs(path):
    fields = []
    for label, name in XATTRS:
        try:
            value = os.getxattr(path, name, follow_symlinks=False)
        except OSError:
            value = None
        if value is None:
            text = "-"
        elif label == "dos":
            text = value.rstrip(b"\0").decode("ascii", "backslashreplace") or "''"
        else:
            text = hashlib.sha1(value).hexdigest()
        fields.append("%s=%s" % (label, text))
    return " ".join(fields)


def _record(full, rel, st, cache):
    if stat.S_ISLNK(st.st_mode):
        return "link %s -> %s" % (rel, os.readlink(full))
    meta = "mode=%04o %s" % (stat.S_IMODE(st.st_mode), _xattrs(full))
    if stat.S_ISDIR(st.st_mode):
        return "dir  %s %s" % (rel, meta)
    if stat.S_ISREG(st.st_mode):
        key = "%d:%d:%d:%d" % (st.st_ino, st.st_size, st.st_mtime_ns, st.st_ctime_ns)
        digest = cache.get(key)
        if digest is None:
            digest = cache[key] = _hash(full)
        return "file %s %d %s %s" % (rel, st.st_size, digest, meta)
    return "node %s %o" % (rel, stat.S_IFMT(st.st_mode))


def _walk(root, rel):
    """(full path, path relative to the prefix, lstat) of every entry under
    root, a folder before its contents; linked folders are not entered."""
    with os.scandir(root) as entries:
        for entry in entries:
            st = entry.stat(follow_symlinks=False)
            path = rel + "/" + entry.name
            yield entry.path, path, st
            if stat.S_ISDIR(st.st_mode):
                yield from _walk(entry.path, path)


def _files(prefix, cache):
    top = os.path.join(prefix, "drive_c")
    return {rel: _record(full, rel, st, cache) for full, rel, st in _walk(top, "drive_c")}


def _template_files(template):
    """The template's records, made once and kept beside it; a new template
    (its .ready stamp) makes them again."""
    ready = os.stat(os.path.join(template, ".ready"))
    stamp = "%d:%d" % (ready.st_ino, ready.st_mtime_ns)
    path = template.rstrip("/") + ".records"
    with open(path + ".lock", "w") as lock:
        fcntl.flock(lock, fcntl.LOCK_EX)
        try:
            with open(path) as f:
                kept = json.load(f)
            if kept["stamp"] == stamp:
                return kept["files"]
        except (OSError, ValueError, KeyError):
            pass
        files = _files(template, {})
        with open(path + ".new", "w") as f:
            json.dump({"stamp": stamp, "files": files}, f)
        os.replace(path + ".new", path)
        return files


def _overlay_files(layers, cache):
    files = _template_files(layers[0])
    for layer in layers[1:]:
        _apply(files, layer, cache)
    return files


def _apply(files, layer, cache):
    top = os.path.join(layer, "drive_c")
    if not os.path.isdir(top):
        return
    for full, rel, st in _walk(top, "drive_c"):
        whiteout = stat.S_ISCHR(st.st_mode) and st.st_rdev == 0
        if files.get(rel, "").startswith("dir ") and (
                whiteout or not stat.S_ISDIR(st.st_mode) or _opaque(full)):
            for path in [p for p in files if p.startswith(rel + "/")]:
                del files[path]
        if whiteout:
            files.pop(rel, None)
        else:
            files[rel] = _record(full, rel, st, cache)


def _opaque(path):
    try:
        return os.getxattr(path, "trusted.overlay.opaque") == b"y"
    except OSError:
        return False


_KEY = re.compile(r"^\[(.*)\](?: \d+)?$")
_VALUE_NAME = re.compile(r'^("(?:[^"\\]|\\.)*"|@)=')


def _registry(prefix):
    """A key that a hive names twice (as the tests' installs append one) is
    one key to Wine, and so here: it has values if either section does."""
    records = []
    for hive in HIVES:
        path = os.path.join(prefix, hive)
        if not os.path.exists(path):
            continue
        with open(path, encoding="utf-8", errors="surrogateescape") as f:
            lines = f.read().split("\n")
        keys = {}
        key = None
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
                key = m.group(1)
                keys.setdefault(key, [])
                continue
            if key is None or not line or line.startswith(";;") or line.startswith("#time="):
                continue
            name = _VALUE_NAME.match(line)
            if name and any(h == hive and k.match(key) and name.group(1) in v
                            for h, k, v in VOLATILE):
                continue
            keys[key].append(line)
        for key, values in keys.items():
            records += ["reg  %s [%s] %s" % (hive, key, v) for v in values] or \
                ["reg  %s [%s]" % (hive, key)]
    return records


def take(prefix, out, cache_path=None, overlay=None):
    cache = {}
    if cache_path and os.path.exists(cache_path):
        with open(cache_path) as f:
            cache = json.load(f)
    files = _overlay_files(overlay, cache) if overlay else _files(prefix, cache)
    records = sorted(list(files.values()) + _registry(prefix))
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
        options = argv[3:]
        cache = options[options.index("--cache") + 1] if "--cache" in options else None
        overlay = None
        if "--overlay" in options:  # the last option: the layers
            overlay = options[options.index("--overlay") + 1:]
        take(argv[1], argv[2], cache, overlay)
        return 0
    if len(argv) == 3 and argv[0] == "diff":
        return diff(argv[1], argv[2])
    sys.stderr.write(__doc__)
    return 2


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))

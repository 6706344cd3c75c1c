#!/usr/bin/env python3
"""Turns the benchmark's raw rows into its Markdown tables.

    summarize.py RUN.tsv [PREVIOUS.tsv]

RUN.tsv has one row per measured run (see bench/run.sh for the columns).
Prints the figures (median, min and max of each measure), each program's
ratio of medians to the floor's, Clearwick's figures against its targets,
and, given the previous run's rows, how far each median moved since then.
The DLLs come from RUN.loaddll/NAME.txt, one a line, where run.sh listed
them from one WINEDEBUG=+pid,+loaddll run of each program.
"""
import csv
import os
import statistics
import sys

TOOL = "clearwick"
FLOOR = "floor"
NOISE = "floor-2"
ORDER = [TOOL, FLOOR, NOISE, "floor-crt", "nsis"]
# (column, heading, unit); size is one figure per program, not per run.
MEASURES = [
    ("map_ms", "(a) launch → window", "ms"),
    ("exit_ms", "(b) answer → exit", "ms"),
    ("gone_ms", "(c) answer → directory gone", "ms"),
    ("size", "(d) exe size", "bytes"),
    ("peak_kib", "(e) peak working set", "KiB"),
    ("probe_private_kib", "(e′) PagefileUsage at the answer", "KiB"),
]

# Clearwick's targets against the bare floor. The times may be 1.10× the
# floor's, or as far from it as floor-2 is, where that is further: no
# target can be finer than the floor's difference from itself.
TIME_LIMIT = 1.10
TIMES = ["map_ms", "exit_ms", "gone_ms"]
PEAK_LIMIT = 1.03
SIZE_LIMIT = 16 * 1024


def load(path):
    rows = {}
    with open(path, newline="") as f:
        for row in csv.DictReader(f, delimiter="\t"):
            rows.setdefault(row["program"], []).append(row)
    return rows


def values(rows, column):
    """The figures of one column, without the runs that did not reach it."""
    out = []
    for row in rows:
        v = float(row[column])
        if v >= 0:
            out.append(v)
    return out


def medians(rows_by_program):
    return {
        p: {c: (statistics.median(values(rows, c)) if values(rows, c) else None)
            for c, _, _ in MEASURES}
        for p, rows in rows_by_program.items()
    }


def fmt(v, column):
    if v is None:
        return "–"
    return f"{v:.1f}" if column.endswith("_ms") else f"{v:.0f}"


def ratio(a, b):
    return f"{a / b:.2f}×" if a is not None and b else "–"


def loaded_dlls(path):
    """The DLLs (and drivers) that the program's process loaded, by lower-case
    name, or None where there is no list or an empty one (the run failed)."""
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return {line.strip() for line in f if line.strip()} or None


def print_dlls(dlls):
    """Each program's DLLs against the floor's."""
    print("\nDLLs loaded by the program's process, from launch to exit "
          "(one WINEDEBUG=+loaddll run each, untimed).\n")
    print("| program | DLLs | not loaded by the floor | loaded by the floor, not by it |")
    print("|---|---|---|---|")
    base = dlls.get(FLOOR)
    for p, names in dlls.items():
        if names is None:
            print(f"| {p} | – | – | – |")
            continue
        extra = ", ".join(sorted(names - base)) if base is not None else "–"
        missing = ", ".join(sorted(base - names)) if base is not None else "–"
        print(f"| {p} | {len(names)} | {extra or 'none'} | {missing or 'none'} |")
    if base is not None:
        print(f"\nThe floor's: {', '.join(sorted(base))}.")


def print_targets(run, med, dlls):
    """Clearwick against its targets, each a ratio to the bare floor's
    median except the size."""
    if TOOL not in med or FLOOR not in med:
        return
    print(f"\nClearwick against its targets (ratios of medians to the floor's; the times' limit "
          f"is {TIME_LIMIT:.2f}× or {NOISE}'s distance from the floor, whichever is wider).\n")
    print("| measure | target | clearwick | |")
    print("|---|---|---|---|")
    headings = {c: h for c, h, _ in MEASURES}

    def row(what, target, figure, met):
        verdict = "–" if met is None else ("met" if met else "**missed**")
        print(f"| {what} | {target} | {figure} | {verdict} |")

    tool, floor = med[TOOL], med[FLOOR]
    for c in TIMES:
        limit = TIME_LIMIT
        noise = med.get(NOISE, {}).get(c)
        if noise is not None and floor[c]:
            limit = max(limit, 1 + abs(noise / floor[c] - 1))
        target = f"≤ {limit:.2f}×" + (f" ({NOISE}: {noise / floor[c]:.2f}×)" if limit > TIME_LIMIT else "")
        met = tool[c] / floor[c] <= limit if tool[c] is not None and floor[c] else None
        row(headings[c], target, ratio(tool[c], floor[c]), met)
    size = tool["size"]
    row(headings["size"], f"≤ {SIZE_LIMIT} bytes", fmt(size, "size") + " bytes",
        size <= SIZE_LIMIT if size is not None else None)
    c = "peak_kib"
    row(headings[c], f"≤ {PEAK_LIMIT:.2f}×", ratio(tool[c], floor[c]),
        tool[c] / floor[c] <= PEAK_LIMIT if tool[c] is not None and floor[c] else None)
    mine, base = dlls.get(TOOL), dlls.get(FLOOR)
    if mine is not None and base is not None:
        extra = sorted(mine - base)
        row("DLLs loaded", "none the floor's process does not load", ", ".join(extra) or "none",
            not extra)
    else:
        row("DLLs loaded", "none the floor's process does not load", "not listed", None)
    done = sum(int(r["done"]) for r in run[TOOL])
    row("removals completed", "every run", f"{done}/{len(run[TOOL])}", done == len(run[TOOL]))


def programs(rows_by_program):
    return [p for p in ORDER if p in rows_by_program] + sorted(
        p for p in rows_by_program if p not in ORDER)


def main():
    run = load(sys.argv[1])
    med = medians(run)
    names = programs(run)
    rounds = max(len(r) for r in run.values())

    print(f"Figures over {rounds} rounds: median (min–max).\n")
    print("| program | " + " | ".join(f"{h}, {u}" for _, h, u in MEASURES) + " | removals completed |")
    print("|---" * (len(MEASURES) + 2) + "|")
    for p in names:
        cells = []
        for c, _, _ in MEASURES:
            vs = values(run[p], c)
            if not vs:
                cells.append("–")
            elif c == "size":
                cells.append(fmt(vs[0], c))
            else:
                cells.append(f"{fmt(statistics.median(vs), c)} ({fmt(min(vs), c)}–{fmt(max(vs), c)})")
        done = sum(int(r["done"]) for r in run[p])
        print(f"| {p} | " + " | ".join(cells) + f" | {done}/{len(run[p])} |")

    all_rows = [r for rows in run.values() for r in rows]
    idle = sum(1 for r in all_rows if r.get("idle") == "1")
    busy = max(int(r.get("load") or 0) for r in all_rows)
    same = sum(1 for r in all_rows
               if r["hwm_kib"] != "-1" and r["probe_peak_ws_kib"] == r["hwm_kib"])
    if busy:
        print(f"\n{busy} CPU-bound processes ran beside every run (bench/run.sh --load {busy}); "
              f"nothing waited for an idle machine.", end="")
    else:
        print(f"\nThe machine was idle (≥ 90 % of both cores) before the launch and before the "
              f"answer in {idle} of {len(all_rows)} runs.", end="")
    print(f" GetProcessMemoryInfo's PeakWorkingSetSize, read by bench/memprobe.cpp just before the "
          f"answer, equalled the process's VmHWM in {same} of {len(all_rows)} runs.")

    if FLOOR in med:
        print(f"\nRatio of medians to the floor's ({NOISE} is the floor again: its ratio is the "
              f"noise; floor-crt is the floor on the C run-time: its ratio is the run-time's cost).\n")
        print("| program | " + " | ".join(h for _, h, _ in MEASURES) + " |")
        print("|---" * (len(MEASURES) + 1) + "|")
        for p in names:
            print(f"| {p} | " + " | ".join(ratio(med[p][c], med[FLOOR][c]) for c, _, _ in MEASURES) + " |")

    logs = os.path.splitext(sys.argv[1])[0] + ".loaddll"
    dlls = {}
    if os.path.isdir(logs):
        for p in names:
            if os.path.exists(os.path.join(logs, p + ".txt")):
                dlls[p] = loaded_dlls(os.path.join(logs, p + ".txt"))
    print_targets(run, med, dlls)
    if dlls:
        print_dlls(dlls)

    if len(sys.argv) > 2:
        prev = medians(load(sys.argv[2]))
        print("\nThis run's medians over the previous run's.\n")
        print("| program | " + " | ".join(h for _, h, _ in MEASURES) + " |")
        print("|---" * (len(MEASURES) + 1) + "|")
        for p in names:
            if p in prev:
                print(f"| {p} | " + " | ".join(ratio(med[p][c], prev[p][c]) for c, _, _ in MEASURES) + " |")


if __name__ == "__main__":
    main()

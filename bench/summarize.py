#!/usr/bin/env python3
"""Turns the benchmark's raw rows into its Markdown tables.

    summarize.py RUN.tsv [PREVIOUS.tsv]

RUN.tsv has one row per measured run (see bench/run.sh for the columns).
Prints the figures (median, min and max of each measure), each program's
ratio of medians to the floor's, and, given the previous run's rows, how far
each median moved since then.
"""
import csv
import statistics
import sys

FLOOR = "floor"
NOISE = "floor-2"
ORDER = ["clearwick", FLOOR, NOISE, "nsis"]
# (column, heading, unit); size is one figure per program, not per run.
MEASURES = [
    ("map_ms", "(a) launch → window", "ms"),
    ("exit_ms", "(b) answer → exit", "ms"),
    ("gone_ms", "(c) answer → directory gone", "ms"),
    ("size", "(d) exe size", "bytes"),
    ("peak_kib", "(e) peak working set", "KiB"),
    ("probe_private_kib", "(e′) PagefileUsage at the answer", "KiB"),
]


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
    same = sum(1 for r in all_rows
               if r["hwm_kib"] != "-1" and r["probe_peak_ws_kib"] == r["hwm_kib"])
    print(f"\nThe machine was idle (≥ 90 % of both cores) before the launch and before the answer "
          f"in {idle} of {len(all_rows)} runs. GetProcessMemoryInfo's PeakWorkingSetSize, read by "
          f"bench/memprobe.cpp just before the answer, equalled the process's VmHWM in {same} of "
          f"{len(all_rows)} runs.")

    if FLOOR in med:
        print(f"\nRatio of medians to the floor's ({NOISE} is the floor again: its ratio is the noise).\n")
        print("| program | " + " | ".join(h for _, h, _ in MEASURES) + " |")
        print("|---" * (len(MEASURES) + 1) + "|")
        for p in names:
            print(f"| {p} | " + " | ".join(ratio(med[p][c], med[FLOOR][c]) for c, _, _ in MEASURES) + " |")

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

#!/usr/bin/env python3
"""Turns the benchmark's raw rows into its Markdown tables.

    summarize.py RUN.tsv [PREVIOUS.tsv]

RUN.tsv has one row per measured run (bench/run.sh names the columns).
Prints each measure's median, min and max, each program's ratio of medians to
the floor's, Clearwick's figures against its targets, the DLLs each program
loaded (RUN.loaddll/NAME.txt, one a line, from one WINEDEBUG=+pid,+loaddll
run each) and, given the previous run's rows, how far each median moved.
"""
import csv
import os
import statistics
import sys

TOOL, FLOOR, NOISE = "clearwick", "floor", "floor-2"
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
HEADINGS = {c: h for c, h, _ in MEASURES}

# Clearwick's targets against the bare floor. Times may be 1.10× the floor's, or
# floor-2's distance from it if wider: no target beats the floor's own noise.
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
    """A column's figures, without runs that missed it (-1) or Wine gave none for (empty)."""
    return [v for v in (float(row[column] or -1) for row in rows) if v >= 0]


def median(vs):
    return statistics.median(vs) if vs else None


def medians(rows_by_program):
    return {p: {c: median(values(rows, c)) for c, _, _ in MEASURES}
            for p, rows in rows_by_program.items()}


def removals(rows):
    return f"{sum(int(r['done']) for r in rows)}/{len(rows)}"


def fmt(v, column):
    if v is None:
        return "–"
    return f"{v:.1f}" if column.endswith("_ms") else f"{v:.0f}"


def ratio(a, b):
    return f"{a / b:.2f}×" if a is not None and b else "–"


def table(heading, rows):
    print("| " + " | ".join(heading) + " |")
    print("|---" * len(heading) + "|")
    for row in rows:
        print("| " + " | ".join(row) + " |")


def ratio_table(names, med, base):
    """Each program's medians over those of BASE[program], where it has one."""
    table(["program"] + [h for _, h, _ in MEASURES],
          [[p] + [ratio(med[p][c], base[p][c]) for c, _, _ in MEASURES] for p in names if p in base])


def loaded_dlls(path):
    """The DLLs and drivers the process loaded, by lower-case name; None if none (run failed)."""
    with open(path) as f:
        return {line.strip() for line in f if line.strip()} or None


def print_dlls(dlls):
    """Each program's DLLs against the floor's."""
    print("\nDLLs loaded by the program's process, from launch to exit "
          "(one WINEDEBUG=+loaddll run each, untimed).\n")
    base = dlls.get(FLOOR)

    def cells(names):
        if names is None:
            return ["–"] * 3
        if base is None:
            return [str(len(names)), "–", "–"]
        return [str(len(names)), ", ".join(sorted(names - base)) or "none",
                ", ".join(sorted(base - names)) or "none"]

    table(["program", "DLLs", "not loaded by the floor", "loaded by the floor, not by it"],
          [[p] + cells(names) for p, names in dlls.items()])
    if base is not None:
        print(f"\nThe floor's: {', '.join(sorted(base))}.")


def print_targets(run, med, dlls):
    """Clearwick against its targets: ratios to the bare floor's medians, except the size."""
    if TOOL not in med or FLOOR not in med:
        return
    tool, floor = med[TOOL], med[FLOOR]
    rows = []

    def row(what, target, figure, met):
        rows.append([what, target, figure, "–" if met is None else ("met" if met else "**missed**")])

    def within(c, limit):
        return tool[c] / floor[c] <= limit if tool[c] is not None and floor[c] else None

    for c in TIMES:
        limit, noise = TIME_LIMIT, med.get(NOISE, {}).get(c)
        if noise is not None and floor[c]:
            limit = max(limit, 1 + abs(noise / floor[c] - 1))
        target = f"≤ {limit:.2f}×" + (f" ({NOISE}: {noise / floor[c]:.2f}×)" if limit > TIME_LIMIT else "")
        row(HEADINGS[c], target, ratio(tool[c], floor[c]), within(c, limit))
    size = tool["size"]
    row(HEADINGS["size"], f"≤ {SIZE_LIMIT} bytes", fmt(size, "size") + " bytes",
        size <= SIZE_LIMIT if size is not None else None)
    row(HEADINGS["peak_kib"], f"≤ {PEAK_LIMIT:.2f}×", ratio(tool["peak_kib"], floor["peak_kib"]),
        within("peak_kib", PEAK_LIMIT))
    mine, base = dlls.get(TOOL), dlls.get(FLOOR)
    extra = sorted(mine - base) if mine is not None and base is not None else None
    row("DLLs loaded", "none the floor's process does not load",
        "not listed" if extra is None else ", ".join(extra) or "none", None if extra is None else not extra)
    row("removals completed", "every run", removals(run[TOOL]), all(int(r["done"]) for r in run[TOOL]))
    print(f"\nClearwick against its targets (ratios of medians to the floor's; the times' limit "
          f"is {TIME_LIMIT:.2f}× or {NOISE}'s distance from the floor, whichever is wider).\n")
    table(["measure", "target", "clearwick", ""], rows)


def cell(vs, column):
    if not vs:
        return "–"
    if column == "size":
        return fmt(vs[0], column)
    return f"{fmt(median(vs), column)} ({fmt(min(vs), column)}–{fmt(max(vs), column)})"


def main():
    run = load(sys.argv[1])
    med = medians(run)
    names = [p for p in ORDER if p in run] + sorted(p for p in run if p not in ORDER)
    rounds = max(len(r) for r in run.values())

    print(f"Figures over {rounds} rounds: median (min–max).\n")
    table(["program"] + [f"{h}, {u}" for _, h, u in MEASURES] + ["removals completed"],
          [[p] + [cell(values(run[p], c), c) for c, _, _ in MEASURES] + [removals(run[p])]
           for p in names])

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
        ratio_table(names, med, {p: med[FLOOR] for p in names})

    logs = os.path.splitext(sys.argv[1])[0] + ".loaddll"
    dlls = {p: loaded_dlls(os.path.join(logs, p + ".txt")) for p in names
            if os.path.exists(os.path.join(logs, p + ".txt"))}
    print_targets(run, med, dlls)
    if dlls:
        print_dlls(dlls)

    if len(sys.argv) > 2:
        print("\nThis run's medians over the previous run's.\n")
        ratio_table(names, med, medians(load(sys.argv[2])))


if __name__ == "__main__":
    main()

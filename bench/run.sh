#!/usr/bin/env bash
# Benchmarks clearwick.exe against the floor (bench/floor.cpp, the least that
# can do the same job, built as clearwick.exe is: no C run-time), the same
# floor on mingw-w64's C run-time, and an NSIS uninstaller doing the same job
# (bench/peer.nsi), under Wine, and prints the figures as Markdown tables.
#
#   bench/run.sh [--load N] [ROUNDS]
#
# ROUNDS defaults to 7; recorded runs use 16. With --load, N CPU-bound
# processes run beside every run, from the first round to the last, and
# nothing waits for an idle machine: it is busy on purpose.
#
# Each round runs every program once (clearwick, floor, nsis, floor-2,
# floor-crt, each round starting one further on): floor-2 is the floor again
# under another name, so its ratio to the floor is the noise of the table;
# floor-crt's ratio is what the C run-time costs. Without --load, a run
# whose machine was busy with other work before the launch or the answer
# (see xmeasure -I) is measured again, twice at most. Each run gets a fresh
# 32-bit prefix (tests/wine/wine-lib.sh's wine_new_prefix) with the demo
# product installed (the harness's demo_install); the product is started and
# its window is up before the program under test starts as
# C:\Program Files\Larkvane\clearwick.exe, the tool's own place, from that
# folder, as a double click starts it. Nothing of the bench's own runs from
# there: a Windows process holds its current folder open, and the removal's
# rmdir would meet it. All of it under one Xvfb server.
#
# What is measured, from events rather than by polling (bench/xmeasure.c):
#   (a) launch to the program's window being mapped on the X server;
#   (b) the answer, a real click on the first button, to the exit of the
#       process that owns the window;
#   (c) the answer to the product's directory being gone (inotify);
#   (d) the exe's size;
#   (e) the peak working set of that process, as Wine reports it to
#       GetProcessMemoryInfo (bench/RESULTS.md says why and how);
# and whether the directory was really gone at the end (removals completed).
# After the rounds, one more run of clearwick.exe and of each floor, untimed,
# under WINEDEBUG=+pid,+loaddll lists the DLLs each one's process loads (the
# harness's loaded_modules).
#
# Installs what it needs (scripts/install-deps.sh --bench: NSIS, Xlib and
# XTest) and builds it (the win32 preset's clearwick.exe, the floors, the
# peer, the tools) first. Writes the raw rows to build/bench/runs/, and the
# latest tables, with the date, the core count, the load and Wine's version,
# to bench/RESULTS.md. Not part of the tests: it takes minutes and its
# figures are noisy by nature.
#
# It builds here, then measures where 32-bit Windows programs run: here, or,
# on a host that cannot run them, in the emulated machine of
# scripts/win32-run.sh. There every figure is many times a native one, and
# RESULTS.md says so: only the ratios between the programs mean anything.
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
repo=$(cd "$here/.." && pwd)
built=0 load=0
if [ "${1:-}" = --built ]; then built=1; shift; fi  # the build is done: the rest, from win32-run.sh
if [ "${1:-}" = --load ]; then load=${2:-}; shift; shift || true; fi
rounds=${1:-7}
if [ $# -gt 1 ] || [[ ! $rounds =~ ^[1-9][0-9]*$ || ! $load =~ ^[0-9]+$ ]]; then
    echo "usage: bench/run.sh [--load N] [ROUNDS]" >&2
    exit 2
fi

out=$repo/build/bench
win32=$repo/build/win32
log=$out/bench.log
mkdir -p "$out/runs"
cd "$repo"

say() { printf '%s\n' "$*" >&2; }

# --- Build ------------------------------------------------------------------
if [ "$built" = 0 ]; then
    : >"$log"
    say "Building clearwick.exe (win32 preset), the floor, the peer and the tools..."
    scripts/install-deps.sh --bench
    {
        cmake --preset win32
        cmake --build --preset win32 --target clearwick glintfold_standin window_probe
        cmake -S bench -B "$out" --toolchain "$repo/cmake/toolchain-mingw-i686.cmake" \
            -DCMAKE_BUILD_TYPE=MinSizeRel
        cmake --build "$out"
        cc -O2 -Wall -Wextra -o "$out/xmeasure" bench/xmeasure.c -lX11 -lXtst
        makensis -V2 -INPUTCHARSET UTF8 -DOUTFILE="$out/peer-writer.exe" -DUNINSTALLER=peer.exe \
            bench/peer.nsi
    } >>"$log" 2>&1 || { say "build failed; see $log"; exit 1; }

    # The floor must be built exactly as clearwick.exe is, or the comparison of
    # sizes means nothing: the same compile flags, and the same link flags and
    # libraries (the link command's options, without its files' names).
    compile_flags() { sed -n 's/^CXX_FLAGS = //p' "$1/flags.make"; }
    link_flags() {
        sed -n '/-o /p' "$1/link.txt" | tr ' ' '\n' | grep -e '^-' |
            grep -v -e '^-o$' -e '^-Wl,--out-implib,' -e '^-Wl,--whole-archive$' -e '^-Wl,--no-whole-archive$' \
                -e '^-Wl,-Map='
        tr ' ' '\n' <"$1/linkLibs.rsp" | grep -e '^-l'
    }
    for what in compile_flags link_flags; do
        if [ "$($what "$win32/CMakeFiles/clearwick.dir")" != "$($what "$out/CMakeFiles/floor.dir")" ]; then
            say "The floor's ${what/_/ } differ from clearwick.exe's; update bench/CMakeLists.txt:"
            diff <($what "$win32/CMakeFiles/clearwick.dir") <($what "$out/CMakeFiles/floor.dir") >&2 || true
            exit 1
        fi
    done
    cp "$out/floor.exe" "$out/floor-2.exe"
    exec scripts/win32-run.sh bench/run.sh --built --load "$load" "$rounds"
fi

# --- Wine -------------------------------------------------------------------
. tests/wine/wine-lib.sh
. tests/e2e/harness.sh
. bench/harness-extra.sh
wine_dir=${CLEARWICK_WINE_DIR:-$out/wine}
wine_root "$wine_dir"
# A new template every run, so that it follows tests/wine/wine-lib.sh. Every
# run's prefix is named bench-run: wine_new_prefix replaces the last one.
rm -rf "$wine_dir/template" "$wine_dir/prefixes"
load_pids=()
trap 'kill "${load_pids[@]}" 2>/dev/null; wine_cleanup' EXIT
wine_start_display

# The uninstaller is what the peer's installer writes: run it once.
wine_new_prefix bench-run
# (It quits from .onInit, which NSIS reports with a non-zero exit status.)
(cd "$out" && rm -f peer.exe && { wine peer-writer.exe >>"$log" 2>&1 || true; } && wineserver -w)
[ -f "$out/peer.exe" ] || { say "the NSIS installer wrote no uninstaller; see $log"; exit 1; }
wineserver -k >/dev/null 2>&1 || true

# The harness's logs for the product go here; Wine's own debug output is
# left off, as it is for the programs measured.
export E2E_WORK=$out/work E2E_WINEDEBUG=-all
rm -rf "$E2E_WORK"
mkdir -p "$E2E_WORK"

# name | exe | title of its question window | control ID of the answer |
# "box" where that window is a message box
programs=(
    "clearwick|$win32/clearwick.exe|Clearwick|101|"
    "floor|$out/floor.exe|Clearwick|101|"
    "nsis|$out/peer.exe|Glintfold Uninstall|6|box"
    "floor-2|$out/floor-2.exe|Clearwick|101|"
    "floor-crt|$out/floor-crt.exe|Clearwick|101|"
)

idle_frac=0.9
[ "$load" = 0 ] || idle_frac=0
stamp=$(date -u +%Y%m%dT%H%M%SZ)
kind=.tsv
[ "$load" = 0 ] || kind=-load$load.tsv
# Named .partial until the last round is in, so that only complete runs
# are ever compared.
tsv=$out/runs/$stamp$kind.partial
printf 'round\tprogram\tmap_ms\texit_ms\tgone_ms\tsize\tpeak_kib\thwm_kib\tprobe_peak_ws_kib\tprobe_private_kib\tdone\tidle\tload\n' >"$tsv"

# A fresh prefix with the demo product installed and up, and the program in
# the tool's place; fails when the product would not start. Now and then the
# product's window fails to appear in a fresh prefix (the stand-in exits
# with status 2, CreateWindowExA failed): then once more, in another.
prepare_run() {
    local label=$1 name=$2 exe=$3 attempt
    E2E_CLOSE_LOG=$E2E_WORK/product-closes.txt
    for attempt in 1 2; do
        wine_new_prefix bench-run
        dir=$WINEPREFIX/$E2E_LARKVANE
        demo_install >>"$log" 2>&1
        cp "$exe" "$dir/clearwick.exe"
        start_product >>"$log" 2>&1 && break
        [ "$attempt" = 1 ] || return 1
        printf '%s, %s: the product did not start; once more\n' "$label" "$name" >>"$log"
        wineserver -k >/dev/null 2>&1 || true
        bench_stop_product
    done
    # The prefix's own services are still starting; xmeasure then waits for
    # the machine to be idle before it starts the clock.
    sleep 0.5
}

# Ends what prepare_run started, once the run is over; the next run's
# wine_new_prefix replaces the prefix.
finish_run() {
    local label=$1 name=$2
    if [ -d "$dir" ]; then
        printf '%s\t%s\tleft in Larkvane: %s\n' "$label" "$name" "$(ls "$dir" | tr '\n' ' ')" >>"$log"
    fi
    wineserver -k >/dev/null 2>&1 || true
    bench_stop_product
    rm -f "$E2E_CLOSE_LOG"
}

# run_program DEBUG ARG...: xmeasure ARG... with the program in the tool's
# place, under WINEDEBUG=DEBUG and started from its folder; xmeasure and its
# helpers stay in the bench's own. Its input is empty, not the bench's
# terminal: given a terminal, Wine starts a console host beside even a GUI
# program, in its folder, and the console host outlives it by a moment that
# the script's rmdir met on the emulated machine ("Sharing violation").
run_program() {
    local debug=$1
    shift
    "$out/xmeasure" "$@" -- env -C "$dir" WINEDEBUG="$debug" \
        wine 'C:\Program Files\Larkvane\clearwick.exe' </dev/null
}

# measure ROUND ENTRY ATTEMPT: one run of one program, fresh prefix,
# product up, the program measured.
measure() {
    local round=$1 attempt=$3 name exe title control box
    IFS='|' read -r name exe title control box <<<"$2"
    if ! prepare_run "round $round" "$name" "$exe"; then
        bench_record_failure "$round" "$name" "$exe" noproduct
        return
    fi

    local line
    line=$(run_program "$WINEDEBUG" -t "$title" -d "$dir" -o "$log" -I "$idle_frac" \
        -m "wine '$out/memprobe.exe' '$title' 2>>'$log'" \
        -l "$(bench_locate_cmd "$title" "$control" "$box")" 2>>"$log") || true
    printf '%s\t%s\t%s\n' "$round" "$name" "$line" >>"$log"
    finish_run "$round" "$name"

    local status map exit gone rss hwm done idle probe
    status=$(field status "$line")
    if [ "$status" != ok ]; then
        bench_record_failure "$round" "$name" "$exe" "${status:-failed}"
        return
    fi
    map=$(field map "$line"); exit=$(field exit "$line"); gone=$(field gone "$line")
    rss=$(field rss_kib "$line"); hwm=$(field hwm_kib "$line"); done=$(field done "$line")
    idle=$(field idle "$line")
    if [ "$load" = 0 ] && [ "$idle" != 1 ] && [ "$attempt" -lt 3 ]; then
        say "  round $round, $name: other work kept the machine busy; measuring again"
        return 75
    fi
    probe=$(sed -n 's/.*probe="\(.*\)".*/\1/p' <<<"$line")
    # The peak is the larger of the peak at exit and the one read at the
    # answer: the kernel's counters are per CPU and may lag by a few pages.
    local peak=$(( rss > hwm ? rss : hwm ))
    printf '%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\t%s\n' "$round" "$name" "$map" "$exit" \
        "$gone" "$(stat -c %s "$exe")" "$peak" "$hwm" "$(field peak_ws "$probe")" \
        "$(field peak_pagefile "$probe")" "$done" "$idle" "$load" >>"$tsv"
    say "  round $round, $name: launch→window ${map} ms, answer→exit ${exit} ms, answer→gone ${gone} ms, peak ${peak} KiB, removed=$done"
}

bench_record_failure() {
    wineserver -k >/dev/null 2>&1 || true
    bench_stop_product
    say "  round $1, $2: $4 (see $log)"
    printf '%s\t%s\t-1\t-1\t-1\t%s\t-1\t-1\t-1\t-1\t0\t0\t%s\n' "$1" "$2" "$(stat -c %s "$3")" "$load" >>"$tsv"
}

field() { sed -n "s/.*\\b$1=\\([^ \"]*\\).*/\\1/p" <<<"$2"; }

# One more run of a program, the same as a measured one but untimed and with
# Wine's loaddll channel on, and the Windows process ID on every line, since
# the script that the program starts writes to the same log: the DLLs and
# drivers that its process loads from launch to exit, one a line, into
# DLLS/NAME.txt, from DLLS/NAME/wine.log.
list_dlls() {
    local name exe title control box
    IFS='|' read -r name exe title control box <<<"$1"
    if ! prepare_run "DLLs" "$name" "$exe"; then
        say "  DLLs of $name: the product did not start (see $log)"
        finish_run DLLs "$name"
        return
    fi
    mkdir -p "$dlls/$name"
    run_program +pid,+loaddll -I 0 -t "$title" -d "$dir" -o "$dlls/$name/wine.log" \
        -l "$(bench_locate_cmd "$title" "$control" "$box")" >>"$log" 2>&1 ||
        say "  DLLs of $name: the run failed (see $log)"
    finish_run DLLs "$name"
    E2E_WORK=$dlls/$name loaded_modules clearwick.exe | { grep -v '\.exe$' || true; } |
        sort -u >"$dlls/$name.txt"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
if [ "$load" -gt 0 ]; then
    say "Starting $load CPU-bound processes, which run until the last round ends..."
    busy_machine "$load"
    load_pids=("${_e2e_pids[@]}")
    _e2e_pids=()
fi
say "Measuring $rounds rounds..."
for round in $(seq 1 "$rounds"); do
    # Each round starts one program further on, so that every program takes
    # every place in the order equally often (exactly, when ROUNDS is a
    # multiple of the number of programs): with a fixed order, whatever
    # follows a given program would always meet what that program left behind.
    for i in "${!programs[@]}"; do
        entry=${programs[$(( (i + round - 1) % ${#programs[@]} ))]}
        for attempt in 1 2 3; do
            status=0
            measure "$round" "$entry" "$attempt" || status=$?
            [ "$status" -eq 75 ] || break
        done
    done
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)
kill "${load_pids[@]}" 2>/dev/null || true
load_pids=()
say "Listing the DLLs each process loads..."
dlls=$out/runs/$stamp.loaddll
rm -rf "$dlls"
mkdir -p "$dlls"
for entry in "${programs[@]}"; do
    case $entry in clearwick\|* | floor\|* | floor-crt\|*) list_dlls "$entry" ;; esac
done
# The template and the prefix take room; the next run makes its own.
wine_cleanup
rm -rf "$wine_dir/template" "$wine_dir/prefixes"
elapsed=$(( $(date +%s) - started ))

# The previous complete run of the same kind: idle, or under the same load.
previous=$(ls "$out/runs/"*Z"$kind" 2>/dev/null | tail -1 || true)
mv "$tsv" "$out/runs/$stamp$kind"
tsv=$out/runs/$stamp$kind
tables=$(python3 bench/summarize.py "$tsv" ${previous:+"$previous"})
printf '\n%s\n' "$tables"

# The latest run replaces the block between its markers in RESULTS.md: one
# block for idle runs, one for runs under load.
results=bench/RESULTS.md
marker="latest run" heading="Latest run" command="bench/run.sh $rounds"
if [ "$load" -gt 0 ]; then
    marker="latest run under load"
    heading="Latest run under load: $load CPU-bound processes beside every run"
    command="bench/run.sh --load $load $rounds"
fi
[ -f "$results" ] || printf '# Benchmark results\n' >"$results"
block=$(cat <<EOF
<!-- $marker -->
## $heading

${CLEARWICK_IN_GUEST:+**Measured in an emulated machine** (qemu, TCG, 2 virtual CPUs), as this host runs no i386 code: every time is many times a native one, so only the ratios between the programs mean anything.
}$(date -u '+%Y-%m-%d %H:%M UTC'); \`$command\` in ${elapsed} s; \`nproc\` $(nproc); $(wine --version);
load average (1, 5, 15 min) $load_before before, $load_after after. Raw rows:
build/bench/runs/$(basename "$tsv")${previous:+; previous run: build/bench/runs/$(basename "$previous")}.

$tables
<!-- end of $marker -->
EOF
)
python3 - "$results" "$block" "$marker" <<'EOF'
import re, sys
path, block, marker = sys.argv[1:]
text = open(path).read()
pattern = re.compile(rf"<!-- {marker} -->.*?<!-- end of {marker} -->", re.S)
text = pattern.sub(lambda _: block, text) if pattern.search(text) else text + "\n" + block + "\n"
open(path, "w").write(text)
EOF
say "Wrote $results."

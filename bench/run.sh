#!/usr/bin/env bash
# Benchmarks clearwick.exe under Wine against the floor (bench/floor.cpp: the
# least that does the job, built as clearwick.exe is), the floor on mingw-w64's
# C run-time (floor-crt: the run-time's cost), the floor again (floor-2: the
# noise) and an NSIS uninstaller (bench/peer.nsi). Prints the tables, also into
# bench/RESULTS.md, which explains the method; raw rows go to build/bench/runs/.
#
#   bench/run.sh [--load N] [ROUNDS]
#
# ROUNDS: 7 by default, 16 in recorded runs. --load N: N CPU-bound processes
# beside every run, no wait for an idle machine; without it, a run that found
# the machine busy before launch or answer (xmeasure -I) reruns, twice at most.
#
# Builds here, then measures through scripts/win32-run.sh: on a host that
# runs no i386 code, in its emulated machine, where only ratios mean anything.
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

    # Sizes compare only if the floor shares clearwick.exe's flags and libraries.
    compile_flags() { sed -n 's/^CXX_FLAGS = //p' "$1/flags.make"; }
    link_flags() {
        sed -n '/-o /p' "$1/link.txt" | tr ' ' '\n' | grep -e '^-' | grep -v -e '^-o$' \
            -e '^-Wl,--out-implib,' -e '^-Wl,--\(no-\)\?whole-archive$' -e '^-Wl,-Map='
        tr ' ' '\n' <"$1/linkLibs.rsp" | grep -e '^-l'
    }
    for what in compile_flags link_flags; do
        if ! diff <($what "$win32/CMakeFiles/clearwick.dir") <($what "$out/CMakeFiles/floor.dir") >&2; then
            say "The floor's ${what/_/ } (>) differ from clearwick.exe's (<); update bench/CMakeLists.txt"
            exit 1
        fi
    done
    cp "$out/floor.exe" "$out/floor-2.exe"
    exec scripts/win32-run.sh bench/run.sh --built --load "$load" "$rounds"
fi

# --- Wine -------------------------------------------------------------------
. tests/wine/wine-lib.sh
. tests/e2e/harness.sh
wine_dir=${CLEARWICK_WINE_DIR:-$out/wine}
wine_root "$wine_dir"
# A new template every run, so that it follows tests/wine/wine-lib.sh. Every
# run's prefix is named bench-run: wine_new_prefix replaces the last one.
rm -rf "$wine_dir/template" "$wine_dir/prefixes"
trap 'busy_machine 0; wine_cleanup' EXIT
wine_start_display

# The uninstaller is what the peer's installer writes: run it once. (It
# quits from .onInit, which NSIS reports with a non-zero exit status.)
wine_new_prefix bench-run
(cd "$out" && rm -f peer.exe && { wine peer-writer.exe >>"$log" 2>&1 || true; } && wineserver -w)
[ -f "$out/peer.exe" ] || { say "the NSIS installer wrote no uninstaller; see $log"; exit 1; }
wineserver -k >/dev/null 2>&1 || true

# The harness's logs go here; Wine's debug output is off, as for those measured.
export E2E_WORK=$out/work E2E_WINEDEBUG=-all
rm -rf "$E2E_WORK"
mkdir -p "$E2E_WORK"

# name | exe | question window's title | answer's control ID | "box" if a box
programs=(
    "clearwick|$win32/clearwick.exe|Clearwick|101|"
    "floor|$out/floor.exe|Clearwick|101|"
    "nsis|$out/peer.exe|Glintfold Uninstall|6|box"
    "floor-2|$out/floor-2.exe|Clearwick|101|"
    "floor-crt|$out/floor-crt.exe|Clearwick|101|"
)

idle_frac=0.9 kind=.tsv
[ "$load" = 0 ] || { idle_frac=0; kind=-load$load.tsv; }
stamp=$(date -u +%Y%m%dT%H%M%SZ)
# .partial until the last round is in: only complete runs are ever compared.
tsv=$out/runs/$stamp$kind.partial
row() { local IFS=$'\t'; printf '%s\n' "$*" >>"$tsv"; }
row round program map_ms exit_ms gone_ms size peak_kib hwm_kib probe_peak_ws_kib probe_private_kib \
    done idle load

# Ends the prefix's and the product's processes; wine_new_prefix replaces it.
stop_wine() {
    wineserver -k >/dev/null 2>&1 || true
    [ -z "${E2E_PRODUCT_PID:-}" ] || wait "$E2E_PRODUCT_PID" 2>/dev/null || true
    E2E_PRODUCT_PID= _e2e_pids=()
}

# A fresh prefix with the demo product up and the program in the tool's place;
# fails if the product will not start. Its window now and then fails to appear
# in a new prefix (stand-in exit 2: CreateWindowExA failed): retried in another.
prepare_run() {
    local label=$1 name=$2 exe=$3 attempt
    for attempt in 1 2; do
        wine_new_prefix bench-run
        dir=$WINEPREFIX/$E2E_LARKVANE
        demo_install >>"$log" 2>&1
        cp "$exe" "$dir/clearwick.exe"
        start_product >>"$log" 2>&1 && break
        [ "$attempt" = 1 ] || return 1
        printf '%s, %s: the product did not start; once more\n' "$label" "$name" >>"$log"
        stop_wine
    done
    # The prefix's services are still starting: xmeasure waits for an idle
    # machine before it starts the clock.
    sleep 0.5
}

finish_run() {
    if [ -d "$dir" ]; then
        printf '%s\t%s\tleft in Larkvane: %s\n' "$1" "$2" "$(ls "$dir" | tr '\n' ' ')" >>"$log"
    fi
    stop_wine
}

# run_program DEBUG TITLE CONTROL BOX ARG...: xmeasure ARG... on the program run
# from the tool's place under WINEDEBUG=DEBUG, answered by a click on CONTROL.
# Nothing else runs there: a Windows process holds its current folder open, in
# the rmdir's way. Input is empty: given a terminal, Wine starts a console host
# there, which outlived the program and met the rmdir in the emulated machine.
run_program() {
    local debug=$1 title=$2 locate
    locate=$(printf "bash -c '. \"%s\"; control_center \"\$@\"' locate '%s' '%s' %s" \
        "$repo/tests/e2e/harness.sh" "$2" "$3" "$4")
    shift 4
    "$out/xmeasure" -t "$title" -d "$dir" -l "$locate" "$@" -- env -C "$dir" WINEDEBUG="$debug" \
        wine 'C:\Program Files\Larkvane\clearwick.exe' </dev/null
}

# measure ROUND ENTRY ATTEMPT: one run, fresh prefix, product up; 75: try again.
measure() {
    local round=$1 attempt=$3 name exe title control box
    IFS='|' read -r name exe title control box <<<"$2"
    if ! prepare_run "round $round" "$name" "$exe"; then
        record_failure "$round" "$name" "$exe" noproduct
        return
    fi
    local line pair
    line=$(run_program "$WINEDEBUG" "$title" "$control" "$box" -o "$log" -I "$idle_frac" \
        -m "wine '$out/memprobe.exe' '$title' 2>>'$log'" 2>>"$log") || true
    printf '%s\t%s\t%s\n' "$round" "$name" "$line" >>"$log"
    finish_run "$round" "$name"

    # xmeasure's key=value pairs, and memprobe's within its probe="...".
    local -A f=()
    line=${line//\"/}
    for pair in ${line/probe=/}; do f[${pair%%=*}]=${pair#*=}; done
    if [ "${f[status]:-}" != ok ]; then
        record_failure "$round" "$name" "$exe" "${f[status]:-failed}"
        return
    fi
    if [ "$load" = 0 ] && [ "${f[idle]}" != 1 ] && [ "$attempt" -lt 3 ]; then
        say "  round $round, $name: other work kept the machine busy; measuring again"
        return 75
    fi
    # The larger of the peaks at exit and at the answer: the kernel's per-CPU
    # counters may lag by a few pages.
    local peak=$(( f[rss_kib] > f[hwm_kib] ? f[rss_kib] : f[hwm_kib] ))
    row "$round" "$name" "${f[map]}" "${f[exit]}" "${f[gone]}" "$(stat -c %s "$exe")" "$peak" \
        "${f[hwm_kib]}" "${f[peak_ws]:-}" "${f[peak_pagefile]:-}" "${f[done]}" "${f[idle]}" "$load"
    say "  round $round, $name: launch→window ${f[map]} ms, answer→exit ${f[exit]} ms," \
        "answer→gone ${f[gone]} ms, peak ${peak} KiB, removed=${f[done]}"
}

record_failure() {
    stop_wine
    say "  round $1, $2: $4 (see $log)"
    row "$1" "$2" -1 -1 -1 "$(stat -c %s "$3")" -1 -1 -1 -1 0 0 "$load"
}

# One more, untimed run with Wine's loaddll channel and the Windows process ID
# on each line (the program's script writes to the same log): the DLLs and
# drivers its process loads from launch to exit, one a line, into DLLS/NAME.txt.
list_dlls() {
    local name exe title control box
    IFS='|' read -r name exe title control box <<<"$1"
    if ! prepare_run "DLLs" "$name" "$exe"; then
        say "  DLLs of $name: the product did not start (see $log)"
        finish_run DLLs "$name"
        return
    fi
    mkdir -p "$dlls/$name"
    run_program +pid,+loaddll "$title" "$control" "$box" -I 0 -o "$dlls/$name/wine.log" \
        >>"$log" 2>&1 || say "  DLLs of $name: the run failed (see $log)"
    finish_run DLLs "$name"
    E2E_WORK=$dlls/$name loaded_modules clearwick.exe | { grep -v '\.exe$' || true; } |
        sort -u >"$dlls/$name.txt"
}

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
started=$(date +%s)
if [ "$load" -gt 0 ]; then
    say "Starting $load CPU-bound processes, which run until the last round ends..."
    busy_machine "$load"
fi
say "Measuring $rounds rounds..."
for round in $(seq 1 "$rounds"); do
    # Each round starts one program further on, so each takes every place as
    # often: in a fixed order, a program's follower always meets what it left.
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
busy_machine 0
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

# The latest run replaces its block in RESULTS.md (one idle, one under load).
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

${CLEARWICK_IN_GUEST:+**Measured in an emulated machine** (qemu, TCG), as this host runs no i386 code: every time is many times a native one, so only the ratios between the programs mean anything.
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
text, found = re.subn(rf"<!-- {marker} -->.*?<!-- end of {marker} -->", lambda _: block,
                      open(path).read(), flags=re.S)
open(path, "w").write(text if found else text + "\n" + block + "\n")
EOF
say "Wrote $results."

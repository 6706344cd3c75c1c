# What the benchmark needs on top of tests/e2e/harness.sh, sourced after it.
#
#   bench_locate_cmd TITLE ID   a shell command (for xmeasure -l) that prints
#                               "X Y", the screen centre of control ID of the
#                               window TITLE: the harness's control_center
#   bench_stop_product          ends what start_product started, once the
#                               prefix's wineserver has been killed
#
# The harness's click_control is not used for the answer: xdotool sleeps
# 100 ms after the button's release before it exits, so the time of the
# click cannot be known from outside it. xmeasure clicks (with XTEST, as
# xdotool does) and takes the time itself.

bench_locate_cmd() {
    printf "bash -c '. \"%s\"; control_center \"\$0\" \"\$1\"' '%s' '%s'" \
        "$repo/tests/e2e/harness.sh" "$1" "$2"
}

bench_stop_product() {
    if [ -n "${E2E_PRODUCT_PID:-}" ]; then
        wait "$E2E_PRODUCT_PID" 2>/dev/null || true
        E2E_PRODUCT_PID=
    fi
    _e2e_pids=()
}

# A fresh copy of a prefix, made in a fraction of the time and the I/O of
# cp -a (a prefix is some 590 MB, nearly all of it the DLLs and programs in
# drive_c/windows): the PE images and code page tables there, which Wine
# only ever maps for reading, are hard links to the template's; every other
# file, the registry among them, is a copy of its own. bench_check_template
# then confirms that no shared file was written.
#
#   bench_copy_prefix FROM TO
#   bench_check_template DIR   fails if a file in DIR is newer than its stamp
bench_copy_prefix() {
    local from=$1 to=$2
    rm -rf "$to"
    cp -al "$from" "$to"
    (cd "$from" && find . -type f ! \( -path './drive_c/windows/*' \( -iname '*.dll' \
        -o -iname '*.exe' -o -iname '*.nls' -o -iname '*.sys' -o -iname '*.drv' -o -iname '*.vxd' \
        -o -iname '*.ocx' -o -iname '*.cpl' -o -iname '*.acm' -o -iname '*.tlb' -o -iname '*.ds' \
        -o -iname '*.mod' -o -iname '*.msstyles' \) \) -print0 |
        # Linking changed the files' ctime, which tar reports with status 1.
        { tar --null -T - --warning=no-file-changed -cf - || [ $? -eq 1 ]; }) |
        (cd "$to" && tar -xf - --unlink-first)
}

bench_check_template() {
    local changed
    changed=$(find "$1" -type f -newer "$1/.bench-stamp" | head -n 3)
    if [ -n "$changed" ]; then
        echo "files shared with the template were written during the run:" >&2
        echo "$changed" >&2
        return 1
    fi
}

# What the benchmark needs on top of tests/e2e/harness.sh, sourced after it.
#
#   bench_locate_cmd TITLE ID [box]  a shell command (for xmeasure -l) that
#                               prints "X Y", the screen centre of control ID
#                               of the window TITLE (with box, of the
#                               message box TITLE): the harness's
#                               control_center
#   bench_stop_product          ends what start_product started, once the
#                               prefix's wineserver has been killed
#
# The harness's click_control is not used for the answer: xdotool sleeps
# 100 ms after the button's release before it exits, so the time of the
# click cannot be known from outside it. xmeasure clicks (with XTEST, as
# xdotool does) and takes the time itself.

bench_locate_cmd() {
    printf "bash -c '. \"%s\"; control_center \"\$@\"' locate '%s' '%s' %s" \
        "$repo/tests/e2e/harness.sh" "$1" "$2" "${3:-}"
}

bench_stop_product() {
    if [ -n "${E2E_PRODUCT_PID:-}" ]; then
        wait "$E2E_PRODUCT_PID" 2>/dev/null || true
        E2E_PRODUCT_PID=
    fi
    _e2e_pids=()
}

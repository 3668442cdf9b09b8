#!/usr/bin/env bash
# Logging ends with the connection: Connection/Close while logging, and a board unplugged while
# logging, each stop the log; the file keeps what was written, stops growing, and Stop Log is
# grayed again.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/log_steps.sh"

start_emu 5 --kind controller --baud 230400
start_app

connect() {
    drv command "$APP_HWND" 40120
    drv port-dialog COM5 ok 10000 >/dev/null
    drv wait-title "$APP_HWND" "Torvan Controller On COM5" 20000 >/dev/null || fail "no connection"
}

# log_then ACTION...: logs at 250 ms, runs the action, and checks that the log has ended.
log_then() {
    local log=$E2E_TMP/$1.csv
    shift
    start_log_into "$log"
    choose_interval 0 0 250
    sleep 1.5
    assert_eq "$(logging_menu)" "grayed enabled" "logging before: $*"
    "$@"
    local i
    for i in $(seq 1 50); do
        [ "$(logging_menu)" = "enabled grayed" ] && break
        sleep 0.2
    done
    assert_eq "$(logging_menu)" "enabled grayed" "Logging menu after: $*"
    local lines
    lines=$(log_count "$log")
    [ "$lines" -ge 4 ] || fail "only $lines lines before: $*"
    sleep 1.5
    assert_eq "$(log_count "$log")" "$lines" "no lines after: $*"
    assert_eq "$(log_lines "$log" | head -1)" "Date, Time, Flow Rate, Log Interval: 250 Msec" \
        "header kept after: $*"
}

connect
log_then closed drv command "$APP_HWND" 40130
connect
log_then unplugged stop_emu 5
pass

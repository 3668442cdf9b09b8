#!/usr/bin/env bash
# A log through the connection's faults and ends. A bad checksum makes the program reconnect by
# itself: the log at 200 ms keeps growing, every line whole, and logging stays active (the
# reconnection shows only as a gap in the time column). Connection/Close while logging, and a
# board unplugged for good (the reconnection fails and the port dialog reopens), end the log:
# a message box names the file and the lines written, the file stops growing and Stop Log is
# grayed again.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/log_steps.sh"

TITLE="Torvan Controller On COM5"
SAMPLE='[0-9]{2}/[0-9]{2}/20[0-9]{2},[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3},-?[0-9]+\.[0-9]{6}'
start_emu 5 --kind controller --baud 230400
start_app

# whole_lines FILE WHAT: the header, then nothing but complete sample lines.
whole_lines() {
    assert_eq "$(log_lines "$1" | head -1)" "Date, Time, Flow Rate, Log Interval: 200 Msec" \
        "header $2"
    assert_eq "$(log_lines "$1" | tail -n +2 | grep -c -v -E "^$SAMPLE\$")" "0" \
        "every line whole $2"
}

step "a reconnection keeps the log"
connect_to COM5 "$TITLE"
log=$E2E_TMP/reconnect.csv
start_log_into "$log"
choose_interval 0 0 200
sleep 1.5
before=$(log_count "$log")
mark=$(record_mark 5)
emu_ctl 5 "fault badsum once"
back=0
for _ in $(seq 1 60); do
    if [ "$(record_cmds 5 "$mark" | sed -n '/^~SNLC=0x0D0A$/,$p' | grep -c '^~GLSV$')" -ge 3 ]; then
        back=1
        break
    fi
    sleep 0.25
done
[ "$back" == 1 ] || fail "no reconnection after the bad checksum"
sleep 1.5
after=$(log_count "$log")
step "log lines: $before before the fault, $after after the reconnection"
[ "$after" -ge $((before + 5)) ] || fail "the log stopped growing: $before then $after lines"
assert_eq "$(logging_menu)" "grayed enabled" "still logging after the reconnection"
drv find-popup "Logging Stopped" 0 >/dev/null 2>&1 && fail "a notice after the reconnection"
whole_lines "$log" "across the reconnection"
step "longest pause between lines: $(log_lines "$log" | tail -n +2 | awk -F'[,:]' '
    { t = ($2 * 60 + $3) * 60 + $4; if (NR > 1 && t - p > g) g = t - p; p = t }
    END { printf "%.3f s", g }')"
drv command "$APP_HWND" 40430
sleep 0.3

# ends_with_notice NAME ACTION...: logs at 200 ms, runs the action and expects the notice with
# the file's name and its line count; afterwards the file no longer grows.
ends_with_notice() {
    local log=$E2E_TMP/$1.csv box lines
    shift
    start_log_into "$log"
    choose_interval 0 0 200
    sleep 1.5
    "$@"
    box=$(drv find-popup "Logging Stopped" 25000) || fail "no notice after: $*"
    lines=$(($(log_count "$log") - 1))
    [ "$lines" -ge 4 ] || fail "only $lines lines before: $*"
    assert_match "$box" "$(basename "$log")" "the notice names the file"
    assert_match "$box" "Lines written: $lines" "the notice counts the lines"
    drv command "$(cut -f1 <<<"$box")" 1
    assert_eq "$(logging_menu)" "enabled grayed" "Logging menu after: $*"
    sleep 1
    assert_eq "$(($(log_count "$log") - 1))" "$lines" "no lines after: $*"
    whole_lines "$log" "after: $*"
}

ends_with_notice closed drv command "$APP_HWND" 40130
connect_to COM5 "$TITLE"
ends_with_notice unplugged stop_emu 5
drv port-dialog COM5 cancel 10000 >/dev/null || fail "no port dialog after the failed reconnection"
pass

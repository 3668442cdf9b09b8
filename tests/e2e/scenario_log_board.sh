#!/usr/bin/env bash
# Logging a meter's flow: Start Log into a chosen file, a 500 ms interval, the Logging menu
# while logging, Stop Log; the file holds the header, one line with milliseconds per tick and
# the flow the board reports, and stops growing once the log is stopped.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/log_steps.sh"

start_emu 5 --kind meter --baud 230400
emu_ctl 5 "flow 37.5"
start_app
drv command "$APP_HWND" 40120
drv port-dialog COM5 ok 10000 >/dev/null
drv wait-title "$APP_HWND" "Torvan Meter On COM5" 20000 >/dev/null || fail "no connection"

log="$E2E_TMP/meter log.csv"
assert_eq "$(logging_menu)" "enabled grayed" "Logging menu before Start Log"
start_log_into "$log"
[ -f "$log" ] || fail "Start Log created no file"
assert_eq "$(stat -c %s "$log")" "0" "file empty while the interval is chosen"
assert_eq "$(logging_menu)" "enabled grayed" "Logging menu while the interval is chosen"
choose_interval 0 0 500
sleep 3
assert_eq "$(logging_menu)" "grayed enabled" "Logging menu while logging"
drv command "$APP_HWND" 40430
sleep 0.5
assert_eq "$(logging_menu)" "enabled grayed" "Logging menu after Stop Log"

log_lines "$log" >"$E2E_TMP/log.txt"
cat "$E2E_TMP/log.txt"
assert_eq "$(head -1 "$E2E_TMP/log.txt")" "Date, Time, Flow Rate, Log Interval: 500 Msec" "header"
samples=$(($(wc -l <"$E2E_TMP/log.txt") - 1))
[ "$samples" -ge 3 ] || fail "$samples sample lines in 3 s at 500 ms"
step "ok: $samples sample lines"
# One line per tick: the stamps step by the interval (Wine's timers may run a little late).
gaps=$(tail -n +2 "$E2E_TMP/log.txt" | awk -F'[,:]' '{ t = ($2 * 60 + $3) * 60000 + $4 * 1000
    if (NR > 1 && (t - last < 400 || t - last > 900)) bad++; last = t } END { print bad + 0 }')
assert_eq "$gaps" "0" "sample stamps 500 ms apart"
assert_eq "$(sed -n 2p "$E2E_TMP/log.txt" | cut -d, -f1)" "$(date +%m/%d/%Y)" "date with the full year"
bad=$(tail -n +2 "$E2E_TMP/log.txt" |
    grep -c -v -E '^[0-9]{2}/[0-9]{2}/20[0-9]{2},[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3},-?[0-9]+\.[0-9]{6}$')
assert_eq "$bad" "0" "sample lines in the millisecond format"
off=$(tail -n 2 "$E2E_TMP/log.txt" | awk -F, '{ d = $3 - 37.5; if (d < -0.05 || d > 0.05) n++ } END { print n + 0 }')
assert_eq "$off" "0" "logged flow is the board's 37.5 %"

before=$(log_count "$log")
sleep 1.5
assert_eq "$(log_count "$log")" "$before" "no lines after Stop Log"
pass

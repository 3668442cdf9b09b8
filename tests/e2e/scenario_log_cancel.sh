#!/usr/bin/env bash
# Start Log, then CANCEL in the log interval window: the file stays on disk, empty, and logging
# never starts. The window's close box does the same, and a later log into the same file works.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/log_steps.sh"

start_app
log=$E2E_TMP/cancelled.csv

start_log_into "$log"
win=$(drv wait-window LogIntervalWin 10000) || fail "no log interval window"
assert_eq "$(drv title "$win")" "Select Log Interval" "interval window title"
drv command "$win" 1047
drv wait-gone LogIntervalWin 5000 || fail "CANCEL left the window open"
[ -f "$log" ] || fail "the file is gone"
assert_eq "$(stat -c %s "$log")" "0" "cancelled log file is empty"
assert_eq "$(logging_menu)" "enabled grayed" "Logging menu after CANCEL"

start_log_into "$log" replace
drv wait-window LogIntervalWin 10000 >/dev/null || fail "no log interval window"
drv close LogIntervalWin
drv wait-gone LogIntervalWin 5000 || fail "the close box left the window open"
sleep 1
assert_eq "$(stat -c %s "$log")" "0" "log file empty after the close box"
assert_eq "$(logging_menu)" "enabled grayed" "Logging menu after the close box"

# The file was closed: the program can log into it again (simulated board, 1 s interval).
drv command "$APP_HWND" 40110
drv wait-title "$APP_HWND" "Torvan Controller On FAKE" 10000 >/dev/null || fail "no simulation"
start_log_into "$log" replace
drv wait-window LogIntervalWin 10000 >/dev/null
choose_interval 0 1 0
sleep 2.5
drv command "$APP_HWND" 40430
sleep 0.3
log_lines "$log" >"$E2E_TMP/log.txt"
cat "$E2E_TMP/log.txt"
assert_eq "$(head -1 "$E2E_TMP/log.txt")" "Date, Time, Flow Rate, Log Interval: 1 Second" "header"
lines=$(wc -l <"$E2E_TMP/log.txt")
[ "$lines" -ge 3 ] || fail "only $lines lines after 2.5 s at 1 s"
bad=$(tail -n +2 "$E2E_TMP/log.txt" |
    grep -c -v -E '^[0-9]{2}/[0-9]{2}/20[0-9]{2},[0-9]{2}:[0-9]{2}:[0-9]{2},-?[0-9]+\.[0-9]{6}$')
assert_eq "$bad" "0" "simulated samples in the format without milliseconds"
pass

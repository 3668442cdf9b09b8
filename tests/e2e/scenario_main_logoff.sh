#!/usr/bin/env bash
# Windows logs off with the program connected and a log running: it gets WM_QUERYENDSESSION and
# WM_ENDSESSION, and the moment the second returns its process is ended, as Windows does. By
# then the board (a meter found at 19200 with CR) has been put back: its last two commands are
# "~SNLC=d" and "~BAUD=19200". The log file holds its header and whole lines only.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/log_steps.sh"

start_emu 5 --kind meter --baud 19200
start_app
connect_to COM5 "Torvan Meter On COM5"
wait_record 5 'G18' 10 || fail "no gas reads"
log=$E2E_TMP/logoff.csv
start_log_into "$log"
choose_interval 0 0 200
sleep 1.5

step "log-off"
times=$(drv end-session "$APP_HWND") || fail "end-session"
step "$(tr '\n' ' ' <<<"$times")"
assert_match "$(head -1 <<<"$times")" '^query [0-9]+ 1$' "WM_QUERYENDSESSION lets the session end"
wait_app_exit 10 || fail "the process was not ended"
sleep 0.3
record_cmds 5 >"$E2E_TMP/heard.txt"
assert_eq "$(tail -2 "$E2E_TMP/heard.txt" | tr '\n' ' ')" "~SNLC=d ~BAUD=19200 " \
    "the board's last commands"

lines=$(log_count "$log")
step "log: $lines lines"
[ "$lines" -ge 5 ] || fail "only $lines lines in the log"
assert_eq "$(log_lines "$log" | head -1)" "Date, Time, Flow Rate, Log Interval: 200 Msec" "header"
assert_eq "$(log_lines "$log" | tail -n +2 | grep -c -v -E \
    '^[0-9]{2}/[0-9]{2}/20[0-9]{2},[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3},-?[0-9]+\.[0-9]{6}$')" \
    "0" "every line whole"
assert_eq "$(tail -c 1 "$log" | od -An -c | tr -d ' ')" '\n' "the file ends with a line end"
pass

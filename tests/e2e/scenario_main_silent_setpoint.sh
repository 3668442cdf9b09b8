#!/usr/bin/env bash
# The controller falls silent for 1.5 s, and the operator chooses 60 % in the set point dialog
# meanwhile. The reconnection rides through the silence; once the board answers again and is
# identified, the set point goes to it: the last set point the board heard is 60 %, after the
# new identification, and no dialog opened.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind controller --baud 230400
start_app
connect_to COM5 "Torvan Controller On COM5"
wait_record 5 'G18' 10 || fail "no gas reads"
drv command "$APP_HWND" 40520
SP=$(drv wait-window '#32770' "Set Point" 10000) || fail "no set point dialog"
mark=$(record_mark 5)
emu_ctl 5 "fault silence"
sleep 0.5
drv command "$SP" 2060
sleep 1
emu_ctl 5 "fault none"
wait_record 5 'V5=60\.000000' 20 "$mark" || {
    drv find-popup "Select Serial Port" 0 >/dev/null 2>&1 && fail "the port dialog opened"
    fail "the set point never reached the board"
}
sleep 0.5
record_cmds 5 "$mark" >"$E2E_TMP/heard.txt"
assert_contains_in_order "$E2E_TMP/heard.txt" 'S64' 'V5=60\.000000'
assert_eq "$(grep -E '^V5=' "$E2E_TMP/heard.txt" | tail -1)" "V5=60.000000" "the board's set point"
drv find-popup "Select Serial Port" 0 >/dev/null 2>&1 && fail "the port dialog opened"
pass

#!/usr/bin/env bash
# Two boards, two windows: each instance opens its own port and polls only its own board;
# closing one puts its board back and leaves the other one running.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind controller --baud 230400
start_emu 6 --kind meter --baud 19200

start_app
first=$APP_HWND
first_pid=$APP_PID
drv command "$first" 40120
drv port-dialog COM5 ok 10000 >/dev/null || fail "port dialog of the first window"
drv wait-title "$first" "Torvan Controller On COM5" 20000 >/dev/null || fail "first window"

start_app
second=$APP_HWND
assert_ne "$second" "$first" "a second main window"
drv command "$second" 40120
drv port-dialog COM6 ok 10000 >/dev/null || fail "port dialog of the second window"
drv wait-title "$second" "Torvan Meter On COM6" 20000 >/dev/null || fail "second window"
assert_eq "$(drv title "$first")" "Torvan Controller On COM5" "first title unchanged"
screenshot main_instances

# Each board was identified once, by its own window.
assert_eq "$(record_cmds 5 | grep -c '^S64$')" "1" "identifications heard by COM5"
assert_eq "$(record_cmds 6 | grep -c '^S64$')" "1" "identifications heard by COM6"

step "closing the first window"
drv close "$first"
APP_PID=$first_pid
wait_app_exit 15 || fail "first program did not end"
assert_eq "$(record_cmds 5 | tail -2 | tr '\n' ' ')" "~SNLC=d ~BAUD=230400 " "COM5 put back"
mark=$(record_mark 6)
sleep 2
polls=$(record_cmds 6 "$mark" | grep -c '^~GLSV$')
step "COM6 polls in 2 s after the first window closed: $polls"
[ "$polls" -ge 5 ] || fail "the second window stopped polling"
assert_eq "$(drv title "$second")" "Torvan Meter On COM6" "second title"
pass

#!/usr/bin/env bash
# One port, one program: a second window that picks the port a first window holds is refused
# before it sends anything (the list marks the port in use, a box says why, the dialog stays
# open for another choice) while the first keeps polling; the second then connects to another
# board. torvanctl.exe on the held port ends with exit code 3 and sends nothing either, and
# has the port once the first window closes its connection.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind controller --baud 230400
start_emu 6 --kind meter --baud 230400
start_app
first=$APP_HWND
connect_to COM5 "Torvan Controller On COM5"
wait_record 5 '~GLSV' 10 || fail "the first window does not poll"

start_app
second=$APP_HWND
mark=$(record_mark 5)
drv command "$second" 40120
drv port-dialog "COM5 (in use)" try 10000 >/dev/null || fail "COM5 not marked in use"
box=$(drv find-popup "Port Not Available" 5000) || fail "no box for the port in use"
assert_eq "$(cut -f2 <<<"$box")" "COM5 is in use by another Torvan One window" "the box's text"
drv command "$(cut -f1 <<<"$box")" 1
drv wait-gone "$(cut -f1 <<<"$box")" 5000 || fail "the box stayed"
sleep 3
others=$(record_cmds 5 "$mark" | grep -v -x -c '~GLSV')
polls=$(record_cmds 5 "$mark" | grep -x -c '~GLSV')
assert_eq "$others" "0" "commands other than the first window's polls on COM5"
[ "$polls" -ge 25 ] || fail "the first window polled $polls times in over 3 s"
step "ok: $polls polls of the first window, nothing from the second"

mark=$(record_mark 5)
wine "$WIN_BUILD/ctl/torvanctl.exe" probe COM5 >"$E2E_TMP/ctl.out" 2>&1
rc=$?
assert_eq "$rc" "3" "torvanctl.exe on the held port: exit code"
assert_match "$(tr -d '\r' <"$E2E_TMP/ctl.out")" "COM5 is in use by another Torvan One window" \
    "torvanctl.exe says why"
assert_eq "$(record_cmds 5 "$mark" | grep -v -x -c '~GLSV')" "0" "nothing sent by torvanctl.exe"

# The dialog stayed open: the other board is picked in it.
drv port-dialog COM6 ok 5000 >/dev/null || fail "the port dialog did not stay open"
drv wait-title "$second" "Torvan Meter On COM6" 20000 >/dev/null || fail "no connection on COM6"
assert_eq "$(drv title "$first")" "Torvan Controller On COM5" "the first window's title"

# Close gives the port up.
drv command "$first" 40130
sleep 0.5
wine "$WIN_BUILD/ctl/torvanctl.exe" probe COM5 >"$E2E_TMP/ctl.out" 2>&1 ||
    fail "torvanctl.exe after Close: $(cat "$E2E_TMP/ctl.out")"
step "ok: COM5 free after the first window's Close"
pass

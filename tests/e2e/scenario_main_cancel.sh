#!/usr/bin/env bash
# The port dialog's Cancel starts nothing: no probe reaches the board, the title stays and the
# Connection popup still offers Open. A port whose board never answers is probed three times
# over the three speeds (the board hears the probe once per pass, at its own speed) and then the
# port dialog comes back; so it does, at once, for a port that cannot be opened.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind controller --baud 230400
start_emu 7 --kind controller --baud 9600 --fault silence
start_app

step "cancel"
drv command "$APP_HWND" 40120
drv port-dialog COM5 cancel 10000 >/dev/null || fail "port dialog"
sleep 1.5
assert_eq "$(record_cmds 5 | wc -l)" "0" "commands heard after Cancel"
assert_eq "$(drv title "$APP_HWND")" "Torvan Control Board Test" "title after Cancel"
assert_eq "$(drv menu-state "$APP_HWND" 1 40120)" "enabled unchecked" "Open after Cancel"
assert_eq "$(drv menu-state "$APP_HWND" 1 40130)" "grayed unchecked" "Close after Cancel"
drv find-popup "Select Serial Port" 300 >/dev/null 2>&1 && fail "the port dialog came back"
step "ok: no dialog after Cancel"

step "silent board"
drv command "$APP_HWND" 40120
drv port-dialog COM7 ok 10000 >/dev/null || fail "port dialog"
drv find-popup "Select Serial Port" 20000 >/dev/null || fail "the port dialog did not come back"
assert_eq "$(record_cmds 7 | tr '\n' ' ')" "2 2 2 " "probes heard by a silent board at 9600"
assert_eq "$(drv title "$APP_HWND")" "Torvan Control Board Test" "title after a failed connection"
screenshot main_port_dialog_again
drv port-dialog COM7 cancel 5000 >/dev/null || fail "cancel the reopened dialog"
sleep 1
assert_eq "$(record_cmds 7 | wc -l)" "3" "probes after cancelling the reopened dialog"

step "port without a device"
rm -f "$(com_link 8)"
drv command "$APP_HWND" 40120
if drv port-dialog COM8 ok 10000 >/dev/null 2>"$E2E_TMP/com8.err"; then
    drv find-popup "Select Serial Port" 10000 >/dev/null || fail "no dialog after COM8 failed"
    drv port-dialog COM8 cancel 5000 >/dev/null || fail "cancel after COM8"
    step "ok: dialog back after COM8"
else
    # Wine lists only the ports it could map at its start.
    cat "$E2E_TMP/com8.err"
    drv port-dialog COM5 cancel 5000 >/dev/null
    step "COM8 not listed: case not run"
fi
drv ping "$APP_HWND" 1000 >/dev/null || fail "window does not answer"
pass

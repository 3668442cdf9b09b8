#!/usr/bin/env bash
# A board that answers its probe and its state record but never its gas symbol (G4): every
# connection fails a moment after its first record. The program connects a bounded number of
# times (the first and three reconnections), then opens the port dialog with its note and stops.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind controller --baud 230400
emu_ctl 5 "fault silence on G4"
start_app
drv command "$APP_HWND" 40120
drv port-dialog COM5 ok 10000 >/dev/null || fail "port dialog"
box=$(drv find-popup "Select Serial Port" 30000) || {
    step "connections so far: $(record_cmds 5 | grep -c '^S64$')"
    fail "the port dialog did not come back"
}
note=$(drv children "$(cut -f1 <<<"$box")" | grep 'kept failing')
step "note: $note"
assert_match "$note" "The link to COM5 kept failing" "the dialog's note"
screenshot main_fault_storm_dialog
connections=$(record_cmds 5 | grep -c '^S64$')
step "connections: $connections"
[ "$connections" -ge 2 ] && [ "$connections" -le 4 ] || fail "$connections connections"
mark=$(record_mark 5)
sleep 2
assert_eq "$(record_cmds 5 "$mark" | wc -l)" "0" "commands while the dialog shows"
drv port-dialog COM5 cancel 5000 >/dev/null || fail "cancel"
pass

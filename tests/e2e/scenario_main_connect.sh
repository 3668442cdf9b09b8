#!/usr/bin/env bash
# Connection/Open with the port dialog, against a controller at 230400 on COM5: the board sees
# the probe and the link set-up, the identification and tuning reads, the state poll about ten
# times a second and the four gas reads; the title names the kind and the port. Then the same
# with a named board (its name becomes the title) and with a meter (title, no tuning reads,
# SetPoint and PID Adjust gray in the View popup).
source "$(dirname "$0")/lib.sh"

connect_com5() {
    drv command "$APP_HWND" 40120
    drv port-dialog COM5 ok 10000 >/dev/null || fail "port dialog"
}

step "controller"
start_emu 5 --kind controller --baud 230400
start_app
connect_com5
drv wait-title "$APP_HWND" "Torvan Controller On COM5" 20000 >/dev/null || fail "controller title"
wait_record 5 'G18' 10 || fail "no gas reads"
# The probe is heard only at the board's own speed, so "2" is the first command recorded.
record_cmds 5 >"$E2E_TMP/controller.txt"
assert_eq "$(head -1 "$E2E_TMP/controller.txt")" "2" "first command heard"
assert_contains_in_order "$E2E_TMP/controller.txt" 2 'S112=0' S65 '~BAUD=230400' \
    '~SNLC=0x0D0A' S64 S54 V24 V25 V26 V29 '~GLSV' G4 G7 G19 G18
step "commands recorded so far: $(wc -l <"$E2E_TMP/controller.txt")"

# State poll rate over three seconds (timer of 100 ms; bounds wide enough for a loaded machine,
# narrow enough to tell 100 ms from 50 ms or one second).
mark=$(record_mark 5)
sleep 3
polls=$(record_cmds 5 "$mark" | grep -c '^~GLSV$')
step "~GLSV polls in 3 s: $polls"
[ "$polls" -ge 15 ] && [ "$polls" -le 45 ] || fail "~GLSV polled $polls times in 3 s"
assert_eq "$(drv menu-state "$APP_HWND" 2 40520)" "enabled unchecked" "SetPoint for a controller"
assert_eq "$(drv menu-state "$APP_HWND" 1 40120)" "grayed unchecked" "Open while connected"
assert_eq "$(drv menu-state "$APP_HWND" 1 40130)" "enabled unchecked" "Close while connected"
screenshot main_connect_controller
drv close "$APP_HWND"
wait_app_exit 15 || fail "program did not end"
stop_emu 5

step "named controller"
start_emu 5 --kind controller --baud 230400 --name "Bench Rig 7"
start_app
connect_com5
drv wait-title "$APP_HWND" "Bench Rig 7" 20000 >/dev/null || fail "board name as title"
drv close "$APP_HWND"
wait_app_exit 15 || fail "program did not end"
stop_emu 5

step "meter"
start_emu 5 --kind meter --baud 230400
start_app
connect_com5
drv wait-title "$APP_HWND" "Torvan Meter On COM5" 20000 >/dev/null || fail "meter title"
wait_record 5 'G18' 10 || fail "no gas reads"
record_cmds 5 >"$E2E_TMP/meter.txt"
assert_contains_in_order "$E2E_TMP/meter.txt" 2 'S112=0' S65 '~BAUD=230400' '~SNLC=0x0D0A' S64 \
    S54 '~GLSV' G4 G7 G19 G18
assert_eq "$(grep -c -E '^V2[4569]$' "$E2E_TMP/meter.txt")" "0" "tuning reads sent to a meter"
assert_eq "$(drv menu-state "$APP_HWND" 2 40520)" "grayed unchecked" "SetPoint for a meter"
assert_eq "$(drv menu-state "$APP_HWND" 2 40570)" "grayed unchecked" "PID Adjust for a meter"
screenshot main_connect_meter
pass

#!/usr/bin/env bash
# The board's answer to its line-ending query is lost once while the program connects (a meter
# found at 19200 with CR): the program asks again, so Close puts back CR ("~SNLC=d") and the
# board's speed, and a second connection and Close do the same: CR LF, which the program set,
# is never taken for the board's own.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind meter --baud 19200
start_app
emu_ctl 5 "mute S65"
for round in 1 2; do
    step "connection $round"
    connect_to COM5 "Torvan Meter On COM5"
    wait_record 5 '~GLSV' 10 "$(record_mark 5)" || fail "no state polling"
    drv command "$APP_HWND" 40130
    sleep 0.5
    record_cmds 5 >"$E2E_TMP/heard.txt"
    assert_eq "$(tail -2 "$E2E_TMP/heard.txt" | tr '\n' ' ')" "~SNLC=d ~BAUD=19200 " \
        "the board's last commands after Close $round"
done
# Twice in the first connection (the lost answer asked again), not in the second: the board
# was found again at the speed kept as its own, so the line ending kept with it still holds (a
# board that missed the last "~SNLC" would otherwise answer CR LF and be taken for a CR LF board).
assert_eq "$(grep -c '^S65$' "$E2E_TMP/heard.txt")" "2" "S65 queries"
pass

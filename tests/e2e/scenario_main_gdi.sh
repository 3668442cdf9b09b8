#!/usr/bin/env bash
# GDI objects do not pile up: the program's count is the same after seconds of readout and
# ticker refreshes, after switching the readout between % and units (new fonts each time),
# and after each Close / reconnect and simulation / Close cycle as after the first. The count
# is taken between two messages of the window's thread, when no drawing is half done.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind controller --baud 230400
start_app
PID=$(drv pid "$APP_HWND") || fail "no process id"
gdi() {
    local n
    n=$(drv gdi-count "$PID") || fail "gdi-count failed"
    echo "$n"
}

connect() {
    connect_to COM5 "Torvan Controller On COM5"
    wait_record 5 'G18' 10 "$(record_mark 5)" >/dev/null
}

connect
sleep 2
first=$(gdi)
step "GDI objects while connected: $first"
sleep 4
assert_eq "$(gdi)" "$first" "GDI objects after 4 s more of refreshes"

for _ in 1 2 3; do
    drv command "$APP_HWND" 40540
    drv command "$APP_HWND" 40530
done
sleep 1
assert_eq "$(gdi)" "$first" "GDI objects after switching % / units three times"

drv command "$APP_HWND" 40130
sleep 1
closed=$(gdi)
step "GDI objects after Close: $closed"
for cycle in 1 2 3; do
    connect
    sleep 1
    assert_eq "$(gdi)" "$first" "GDI objects while connected, cycle $cycle"
    drv command "$APP_HWND" 40130
    sleep 1
    assert_eq "$(gdi)" "$closed" "GDI objects after Close, cycle $cycle"
done
for cycle in 1 2; do
    drv command "$APP_HWND" 40110
    drv wait-title "$APP_HWND" "Torvan Controller On FAKE" 5000 >/dev/null || fail "simulation"
    drv command "$APP_HWND" 40130
    sleep 1
    assert_eq "$(gdi)" "$closed" "GDI objects after simulation and Close, cycle $cycle"
done
pass

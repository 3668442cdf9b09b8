#!/usr/bin/env bash
# A device that never ends its reply cannot hold the program: while the board streams text
# without the prompt (a board left streaming, the wrong instrument), or trickles a frame one
# byte at a time below the port's time-out, Close still ends the window within 1 s and the
# process within 2 s, and the board hears its restore.
source "$(dirname "$0")/lib.sh"

now_ms() { date +%s%3N; }

# close_during FAULT
close_during() {
    step "close while the board answers with: $1"
    start_emu 5 --kind controller --baud 19200
    start_app
    connect_to COM5 "Torvan Controller On COM5"
    wait_record 5 '~GLSV' 10 || fail "no state polling"
    emu_ctl 5 "fault $1"
    # The next state poll's reply is the stream; the worker is reading it.
    sleep 1
    local from=$(now_ms) gone exited
    drv close "$APP_HWND"
    drv wait-gone "$APP_HWND" 1000 >/dev/null || fail "the window is still there 1 s after Close ($1)"
    gone=$(($(now_ms) - from))
    wait_app_exit 2 || fail "the program still runs 2 s after Close ($1)"
    exited=$(($(now_ms) - from))
    step "window gone after $gone ms, process after $exited ms"
    sleep 0.3
    record_cmds 5 >"$E2E_TMP/record.txt"
    assert_eq "$(tail -2 "$E2E_TMP/record.txt" | tr '\n' ' ')" "~SNLC=d ~BAUD=19200 " \
        "the board's restore after $1"
    stop_emu 5
}

close_during "stream 10000"
close_during "trickle 100"
pass

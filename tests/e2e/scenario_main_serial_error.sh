#!/usr/bin/env bash
# A bad reply while connected (bad checksum, zero-length frame, a frame cut short, a reply that
# never comes) is a serial error: the program restarts its connection on the same port by
# itself, without the port dialog, and the board then sees a new probe, link set-up and
# identification, and the state poll again.
source "$(dirname "$0")/lib.sh"

TITLE="Torvan Controller On COM5"
start_emu 5 --kind controller --baud 230400
start_app
connect_to COM5 "$TITLE"
wait_record 5 '~GLSV' 10 || fail "no state polling"

for fault in "badsum once" "zerolen once" "cut once" "silence once"; do
    step "fault $fault"
    mark=$(record_mark 5)
    emu_ctl 5 "fault $fault"
    back=0
    for _ in $(seq 1 60); do
        record_cmds 5 "$mark" >"$E2E_TMP/after.txt"
        if [ "$(sed -n '/^~SNLC=0x0D0A$/,$p' "$E2E_TMP/after.txt" | grep -c '^~GLSV$')" -ge 3 ]; then
            back=1
            break
        fi
        sleep 0.25
    done
    [ "$back" == 1 ] || {
        cat "$E2E_TMP/after.txt"
        fail "no reconnection after $fault"
    }
    assert_contains_in_order "$E2E_TMP/after.txt" '~GLSV' 2 'S112=0' '~BAUD=230400' \
        '~SNLC=0x0D0A' S64 S54 '~GLSV'
    drv find-popup "Select Serial Port" 0 >/dev/null 2>&1 && fail "port dialog after $fault"
    drv wait-title "$APP_HWND" "$TITLE" 5000 >/dev/null || fail "title after $fault"
    drv wait-pixel "$APP_HWND" 1 1 190 200 190 5000 >/dev/null || fail "strip after $fault"
    step "ok: reconnected on COM5 by itself"
done
pass

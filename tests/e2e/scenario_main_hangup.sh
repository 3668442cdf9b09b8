#!/usr/bin/env bash
# The board goes away while connected (the emulator unplugs its port for three seconds, falls
# silent for two, then is unplugged for good). The window keeps answering within a second throughout; reconnection runs one
# attempt at a time (the board's record never shows two probe sequences interleaved); once
# the board is back the connection returns, with the title and the state poll, either by
# itself or through the port dialog that a failed attempt reopens. Unplugged for good, the
# port dialog comes back.
source "$(dirname "$0")/lib.sh"

TITLE="Torvan Controller On COM5"
start_emu 5 --kind controller --baud 230400
start_app
connect_to COM5 "$TITLE"
wait_record 5 '~GLSV' 10 || fail "no state polling"

# ping_ok: the window answered within 1 s; keeps the slowest answer in SLOWEST.
SLOWEST=0
ping_ok() {
    local ms
    ms=$(drv ping "$APP_HWND" 1000) || fail "window did not answer within 1 s"
    [ "$ms" -gt "$SLOWEST" ] && SLOWEST=$ms
    return 0
}

step "unplugged for 3 s"
mark=$(record_mark 5)
emu_ctl 5 "fault hangup 3000"
unplugged_at=$(date +%s)
dialogs=0
back=0
end=$((unplugged_at + 30))
while [ "$(date +%s)" -lt "$end" ]; do
    ping_ok
    # Back: a new link set-up after the unplug, followed by state polls.
    if record_cmds 5 "$mark" | grep -q '^~SNLC=0x0D0A$' &&
        [ "$(record_cmds 5 "$mark" | sed -n '/^~SNLC=0x0D0A$/,$p' | grep -c '^~GLSV$')" -ge 3 ] &&
        [ "$(drv title "$APP_HWND")" == "$TITLE" ]; then
        back=1
        break
    fi
    if drv find-popup "Select Serial Port" 0 >/dev/null 2>&1 &&
        [ $(($(date +%s) - unplugged_at)) -ge 4 ]; then
        # A failed attempt reopened the dialog; the operator picks the port again.
        dialogs=$((dialogs + 1))
        step "port dialog reopened; picking COM5 again"
        drv port-dialog COM5 ok 5000 >/dev/null || fail "port dialog after the unplug"
    fi
    sleep 0.3
done
[ "$back" == 1 ] || fail "the connection did not come back"
step "ok: connection back after $(($(date +%s) - unplugged_at)) s ($dialogs port dialogs)"
step "slowest answer while unplugged: $SLOWEST ms"

# One attempt at a time: after a probe was answered (S112=0) only S65 may come before the move
# to 230400, and no probe may come between that move and the link set-up of the same attempt.
record_cmds 5 "$mark" >"$E2E_TMP/after-unplug.txt"
awk '
    /^S112=0$/            { if (state != "") bad = bad " S112=0@" NR; state = "found"; next }
    /^S65$/               { if (state != "found") bad = bad " S65@" NR; next }
    /^~BAUD=230400$/      { if (state != "found") bad = bad " BAUD@" NR; state = "moved"; next }
    /^~SNLC=0x0D0A$/      { if (state != "moved") bad = bad " SNLC@" NR; state = ""; next }
    /^2$/                 { if (state != "") bad = bad " probe@" NR; next }
    END { if (bad != "") { print "interleaved:" bad; exit 1 } }
' "$E2E_TMP/after-unplug.txt" || {
    cat "$E2E_TMP/after-unplug.txt"
    fail "probe sequences overlap"
}
step "ok: probe sequences one at a time"
assert_eq "$(grep -c '^S64$' "$E2E_TMP/after-unplug.txt")" \
    "$(grep -c '^~SNLC=0x0D0A$' "$E2E_TMP/after-unplug.txt")" "one identification per link set-up"
screenshot main_hangup_back

step "silent for 2 s"
# The board stops answering but stays plugged in: the program's reconnection probes reach it.
# One attempt at a time means one probe per pass over the three speeds (the board hears only
# the one at its own speed), so heard probes lie at least a pass apart: three read time-outs of
# about 150 ms. Two attempts running side by side would put probes closer together.
mark=$(record_mark 5)
emu_ctl 5 "fault silence"
sleep 2
emu_ctl 5 "fault none"
back=0
end=$(($(date +%s) + 30))
while [ "$(date +%s)" -lt "$end" ]; do
    ping_ok
    if [ "$(drv title "$APP_HWND")" == "$TITLE" ] &&
        [ "$(record_cmds 5 "$mark" | sed -n '/^~SNLC=0x0D0A$/,$p' | grep -c '^~GLSV$')" -ge 3 ]; then
        back=1
        break
    fi
    if drv find-popup "Select Serial Port" 0 >/dev/null 2>&1; then
        step "port dialog reopened; picking COM5 again"
        drv port-dialog COM5 ok 5000 >/dev/null || fail "port dialog after the silence"
    fi
    sleep 0.3
done
[ "$back" == 1 ] || fail "the connection did not come back after the silence"
tail -n +"$mark" "$(emu_record 5)" | awk '$2 == "2" { print $1 }' >"$E2E_TMP/probes.txt"
step "probes heard during and after the silence: $(wc -l <"$E2E_TMP/probes.txt")"
[ -s "$E2E_TMP/probes.txt" ] || fail "no reconnection probe reached the board"
closest=$(awk 'NR > 1 && (min == "" || $1 - prev < min) { min = $1 - prev } { prev = $1 }
               END { print (min == "" ? 99999 : min) }' "$E2E_TMP/probes.txt")
step "closest probes: $closest ms apart"
[ "$closest" -ge 300 ] || fail "probes $closest ms apart: two attempts at once"
step "ok: one attempt at a time"

step "unplugged for good"
emu_ctl 5 "fault hangup 0"
SLOWEST=0
end=$(($(date +%s) + 30))
reopened=0
while [ "$(date +%s)" -lt "$end" ]; do
    ping_ok
    if drv find-popup "Select Serial Port" 0 >/dev/null 2>&1; then
        reopened=1
        break
    fi
    sleep 0.3
done
[ "$reopened" == 1 ] || fail "the port dialog did not come back"
step "ok: port dialog back; slowest answer $SLOWEST ms"
screenshot main_hangup_dialog
drv port-dialog COM5 cancel 5000 >/dev/null || fail "cancel"
ping_ok
pass

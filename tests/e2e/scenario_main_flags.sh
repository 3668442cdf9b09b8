#!/usr/bin/env bash
# The board's status flags colour the information strip: an alarm (Low Flow, 0x0001) yellow, a
# failure (lost sensor board, 0x4000) red, a failure with an alarm still red, no flag the normal
# RGB(190,200,190).
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind controller --baud 230400
start_app
connect_to COM5 "Torvan Controller On COM5"

# flags (hex) -> expected strip colour; the top rows of the strip hold no glyph pixels. Each
# case changes the colour, so a strip that keeps the previous colour cannot pass.
cases=(
    "0 190 200 190"
    "1 255 255 0"
    "4000 255 0 0"
    "8 255 255 0"
    "4001 255 0 0"
    "0 190 200 190"
    "80 255 0 0"
    "2 255 255 0"
    "0 190 200 190"
)
for c in "${cases[@]}"; do
    read -r flags r g b <<<"$c"
    emu_ctl 5 "flags $flags"
    drv wait-pixel "$APP_HWND" 1 1 "$r" "$g" "$b" 5000 >/dev/null ||
        fail "flags $flags: strip not RGB($r,$g,$b)"
    step "ok: flags $flags -> RGB($r,$g,$b)"
    [ "$flags" == 1 ] && screenshot main_flags_alarm
    [ "$flags" == 4000 ] && screenshot main_flags_failure
done
pass

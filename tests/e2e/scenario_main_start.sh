#!/usr/bin/env bash
# Start-up: the main window's title, its place and size on the screen (a quarter of the screen
# width in, an eighth of the height down, a sixth of the width wide, 18 % of the height high),
# and the red "not connected" strip; nothing is sent to a board before the operator asks.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind controller --baud 230400
start_app

assert_eq "$(drv title "$APP_HWND")" "Torvan Control Board Test" "start-up title"

read -r sw sh <<<"$(drv screen)"
expected="$((sw / 4)) $((sh / 8)) $((sw / 6)) $((sh * 18 / 100))"
if [ "$sw $sh" == "1920 1080" ]; then
    assert_eq "$expected" "480 135 320 194" "placement worked out for 1920x1080"
fi
assert_eq "$(drv rect "$APP_HWND")" "$expected" "window rectangle on a ${sw}x$sh screen"

# Not connected: the strip (its top rows hold no glyph pixels) is on the error brush.
drv wait-pixel "$APP_HWND" 1 1 255 0 0 5000 >/dev/null || fail "strip not red while not connected"
step "ok: red strip"
screenshot main_start

sleep 1
assert_eq "$(record_cmds 5 | wc -l)" "0" "commands sent to the board before Connection/Open"
drv ping "$APP_HWND" 1000 >/dev/null || fail "window does not answer"
pass

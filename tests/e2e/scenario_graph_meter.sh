#!/usr/bin/env bash
# View/Graph with a meter holding 50 % of full scale: the window's title and size, the red flow
# trace on the row where 50 % falls between -5.5 and 120, graticule lines every 50 pixels, a
# click that pauses (title " PAUSED") and resumes it, and its close box, after which the menu
# item is unchecked and the flow blocks are no longer polled.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind meter --baud 230400
emu_ctl 5 "flow 50"
start_app
drv command "$APP_HWND" 40120
drv port-dialog COM5 ok 10000 >/dev/null
drv wait-title "$APP_HWND" "Torvan Meter On COM5" 20000 >/dev/null || fail "no connection"

drv command "$APP_HWND" 40510
graph=$(drv wait-window GraphWin 10000) || fail "no graph window"
title="Torvan Meter On COM5 (500 msec/div)"
assert_eq "$(drv title "$graph")" "$title" "graph title"
read -r sw sh <<<"$(drv screen)"
read -r mx my _ _ <<<"$(drv rect "$APP_HWND")"
assert_eq "$(drv rect "$graph")" "$((mx + 40)) $((my + 40)) $((sw / 3)) $((sh / 4))" "graph rectangle"
# The check mark follows the graph's opening through the connection's owner: read it until it
# shows, for at most 2 s.
for _ in $(seq 20); do
    state=$(drv menu-state "$APP_HWND" 2 40510)
    [ "$state" = "enabled checked" ] && break
    sleep 0.1
done
assert_eq "$state" "enabled checked" "View/Graph checked"
wait_record 5 '~GAFV' 5 || fail "no flow blocks polled"

# The samples arrive ten at a time; in 4 s the trace crosses the whole width.
sleep 4
read -r cx cy cw ch <<<"$(drv client-rect "$graph")"
screenshot graph_meter
shot=$SCREENSHOT_DIR/graph_meter.png
# Rows of the pure red pen in one column of the client area, from the screenshot.
red_rows() {
    convert "$shot" -crop "1x${ch}+$((cx + $1))+${cy}" +repage txt:- |
        awk -F'[,:]' '/#FF0000/ { print $2 }' | tr '\n' ' ' | sed 's/ $//'
}
# 50 % between -5.5 and 120 over ch - 1 rows, counted up from the bottom row.
expected=$(awk -v h="$ch" 'BEGIN { printf "%d", h - 1 - int(55.5 * (h - 1) / 125.5) }')
for x in 5 $((cw / 2 + 3)) $((cw - 20)); do
    rows=$(red_rows "$x")
    [ -n "$rows" ] || fail "no trace in column $x"
    for r in $rows; do
        [ $((r - expected)) -ge -1 ] && [ $((r - expected)) -le 1 ] ||
            fail "trace at row $r in column $x, expected $expected"
    done
    step "ok: column $x at row $rows (expected $expected)"
done
grat=$(convert "$shot" -crop "1x1+$((cx + 50))+$((cy + 5))" +repage txt:- | grep -o '#[0-9A-F]\{6\}' | head -1)
assert_eq "$grat" "#646464" "graticule line at x = 50"

drv click "$graph" 20 20
drv wait-title "$graph" "$title PAUSED" 5000 >/dev/null || fail "click did not pause"
step "ok: paused"
drv click "$graph" 20 20
drv wait-title "$graph" "$title" 5000 >/dev/null || fail "second click did not resume"
step "ok: resumed"

drv close "$graph"
drv wait-gone GraphWin 5000 || fail "the close box left the graph open"
sleep 0.5
assert_eq "$(drv menu-state "$APP_HWND" 2 40510)" "enabled unchecked" "View/Graph unchecked"
mark=$(record_mark 5)
sleep 1
assert_eq "$(record_cmds 5 "$mark" | grep -c '^~GAFV')" "0" "no flow blocks after the close"
pass

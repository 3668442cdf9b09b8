#!/usr/bin/env bash
# View/Graph in the simulated connection (a controller): the title follows the window title, and
# both lines are drawn, the set point in RGB(0,150,255) and the flow in RGB(255,0,0). It also
# opens before any connection, and View/Graph closes it again.
source "$(dirname "$0")/lib.sh"

start_app
drv command "$APP_HWND" 40510
graph=$(drv wait-window GraphWin 10000) || fail "no graph window without a connection"
assert_eq "$(drv title "$graph")" "Torvan Control Board Test (500 msec/div)" "title before connecting"
drv command "$APP_HWND" 40510
drv wait-gone GraphWin 5000 || fail "View/Graph did not close the graph"

drv command "$APP_HWND" 40110
drv wait-title "$APP_HWND" "Torvan Controller On FAKE" 10000 >/dev/null || fail "no simulation"
drv command "$APP_HWND" 40510
graph=$(drv wait-window GraphWin 10000) || fail "no graph window"
assert_eq "$(drv title "$graph")" "Torvan Controller On FAKE (500 msec/div)" "graph title"
sleep 3
read -r cx cy cw ch <<<"$(drv client-rect "$graph")"
screenshot graph_simulation
convert "$SCREENSHOT_DIR/graph_simulation.png" -crop "${cw}x${ch}+${cx}+${cy}" +repage txt:- \
    >"$E2E_TMP/client.txt"
red=$(grep -c '#FF0000' "$E2E_TMP/client.txt")
blue=$(grep -c '#0096FF' "$E2E_TMP/client.txt")
[ "$red" -gt 20 ] || fail "no flow line ($red red pixels)"
[ "$blue" -gt 20 ] || fail "no set point line ($blue blue pixels)"
step "ok: $red flow and $blue set point pixels"
pass

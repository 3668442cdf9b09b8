#!/usr/bin/env bash
# Simulated connection (command 40110, no menu item), driven from another process: the title
# becomes "Torvan Controller On FAKE", the strip shows the simulated range on the normal brush,
# and the Connection menu offers Open (it leaves the simulation) and Close. (The window's growth
# to the controller layout is the main window test's.)
source "$(dirname "$0")/lib.sh"

start_app

drv watch "$APP_HWND" 3000 40110 >"$E2E_TMP/watch.txt" || fail "watch failed"
cat "$E2E_TMP/watch.txt"
# "Torvan FAKE" stands only until the simulated board's S64 answer is handled, a few
# milliseconds: a watcher in another process may or may not catch it, so only the two titles
# that stay are required here.
assert_contains_in_order "$E2E_TMP/watch.txt" "title Torvan Control Board Test" \
    "title Torvan Controller On FAKE"
assert_eq "$(drv title "$APP_HWND")" "Torvan Controller On FAKE" "title after the simulated S64"

drv wait-pixel "$APP_HWND" 1 1 190 200 190 5000 >/dev/null ||
    fail "strip not on RGB(190,200,190) in simulation"
step "ok: normal strip colour"
screenshot main_simulate

# Connection popup while simulating: Open and Close enabled; after Close, Open only.
assert_eq "$(drv menu-state "$APP_HWND" 1 40120)" "enabled unchecked" "Open while simulating"
assert_eq "$(drv menu-state "$APP_HWND" 1 40130)" "enabled unchecked" "Close while simulating"
drv command "$APP_HWND" 40130
sleep 0.5
assert_eq "$(drv menu-state "$APP_HWND" 1 40120)" "enabled unchecked" "Open after Close"
assert_eq "$(drv menu-state "$APP_HWND" 1 40130)" "grayed unchecked" "Close after Close"
drv wait-pixel "$APP_HWND" 1 1 255 0 0 5000 >/dev/null || fail "strip not red after Close"
step "ok: red strip after Close"
pass

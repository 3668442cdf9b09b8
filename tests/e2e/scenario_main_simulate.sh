#!/usr/bin/env bash
# Simulated connection (command 40110, no menu item): the title becomes "Torvan Controller On
# FAKE", the strip shows the simulated range on the normal brush, and the
# window grows to the controller layout once: the height by 80 % of the client height, the
# position kept. A second 40110 does not grow it again.
source "$(dirname "$0")/lib.sh"

start_app
read -r x0 y0 _ h0 <<<"$(drv rect "$APP_HWND")"
read -r _ _ _ ch0 <<<"$(drv client-rect "$APP_HWND")"

drv watch "$APP_HWND" 3000 40110 >"$E2E_TMP/watch.txt" || fail "watch failed"
cat "$E2E_TMP/watch.txt"
# "Torvan FAKE" stands only until the simulated board's S64 answer is handled, a few
# milliseconds: a watcher in another process may or may not catch it, so only the two titles
# that stay are required here.
assert_contains_in_order "$E2E_TMP/watch.txt" "title Torvan Control Board Test" \
    "title Torvan Controller On FAKE"
assert_eq "$(drv title "$APP_HWND")" "Torvan Controller On FAKE" "title after the simulated S64"

read -r x1 y1 w1 h1 <<<"$(drv rect "$APP_HWND")"
assert_eq "$x1 $y1" "$x0 $y0" "position kept while growing"
assert_eq "$h1" "$((h0 + ch0 * 80 / 100))" "height grown by 80/100 of the client height $ch0"
heights=$(grep '^rect' "$E2E_TMP/watch.txt" | awk '{print $5}' | uniq | wc -l)
assert_eq "$heights" "2" "height changes (start height, grown height)"

drv wait-pixel "$APP_HWND" 1 1 190 200 190 5000 >/dev/null ||
    fail "strip not on RGB(190,200,190) in simulation"
step "ok: normal strip colour"
screenshot main_simulate

# Simulation again: the one-time sizing is done, the window keeps its size.
drv command "$APP_HWND" 40110
drv wait-title "$APP_HWND" "Torvan Controller On FAKE" 5000 >/dev/null || fail "second simulation"
sleep 1
assert_eq "$(drv rect "$APP_HWND")" "$x1 $y1 $w1 $h1" "rectangle after a second simulation"

# Connection popup while simulating: Open grayed, Close enabled; the reverse after Close.
assert_eq "$(drv menu-state "$APP_HWND" 1 40120)" "grayed unchecked" "Open while simulating"
assert_eq "$(drv menu-state "$APP_HWND" 1 40130)" "enabled unchecked" "Close while simulating"
drv command "$APP_HWND" 40130
sleep 0.5
assert_eq "$(drv menu-state "$APP_HWND" 1 40120)" "enabled unchecked" "Open after Close"
assert_eq "$(drv menu-state "$APP_HWND" 1 40130)" "grayed unchecked" "Close after Close"
drv wait-pixel "$APP_HWND" 1 1 255 0 0 5000 >/dev/null || fail "strip not red after Close"
step "ok: red strip after Close"
pass

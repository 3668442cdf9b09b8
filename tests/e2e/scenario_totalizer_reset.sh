#!/usr/bin/env bash
# View/Totalizer on a connected controller: the window's title, red digits on black, the grey
# RESET button whose click makes the board receive "G31=0", the close box (menu unchecked), and
# a GDI object count that stays flat over repeated opening and closing of totalizer and graph.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind controller --baud 230400
start_app
drv command "$APP_HWND" 40120
drv port-dialog COM5 ok 10000 >/dev/null
drv wait-title "$APP_HWND" "Torvan Controller On COM5" 20000 >/dev/null || fail "no connection"

drv command "$APP_HWND" 40590
tot=$(drv wait-window TotalizerWin 10000) || fail "no totalizer window"
assert_eq "$(drv title "$tot")" "Torvan Controller On COM5 Total Flow" "totalizer title"
assert_eq "$(drv menu-state "$APP_HWND" 2 40590)" "enabled checked" "View/Totalizer checked"
sleep 1.5 # a few state replies carry the total

read -r cx cy cw ch <<<"$(drv client-rect "$tot")"
screenshot totalizer
convert "$SCREENSHOT_DIR/totalizer.png" -crop "${cw}x${ch}+${cx}+${cy}" +repage txt:- \
    >"$E2E_TMP/client.txt"
red=$(grep -c '#FF0000' "$E2E_TMP/client.txt")
[ "$red" -gt 20 ] || fail "no red digits ($red red pixels)"
step "ok: $red red digit pixels"
# The grey face of the button; its middle lies inside the text rectangle.
read -r gl gt gr gb <<<"$(awk -F'[,:]' '/#9B9B9B/ { x = $1; y = $2
    if (n++ == 0 || x < l) l = x; if (y < t || n == 1) t = y; if (x > r) r = x; if (y > b) b = y }
    END { print l, t, r, b }' "$E2E_TMP/client.txt")"
[ -n "$gb" ] || fail "no grey RESET button"
[ "$gt" -gt "$((ch / 2))" ] || fail "the button is not below the digits (top $gt of $ch)"
step "ok: button face $gl,$gt - $gr,$gb"

mark=$(record_mark 5)
drv click "$tot" $(((gl + gr) / 2)) $(((gt + gb) / 2))
wait_record 5 'G31=0' 5 "$mark" || fail "RESET did not reach the board"
step "ok: G31=0 recorded"

drv close "$tot"
drv wait-gone TotalizerWin 5000 || fail "the close box left the totalizer open"
sleep 0.5
assert_eq "$(drv menu-state "$APP_HWND" 2 40590)" "enabled unchecked" "View/Totalizer unchecked"

# Open and close both windows from the menu: the program's GDI objects stay as they were.
cycle() {
    drv command "$APP_HWND" 40590
    drv wait-window TotalizerWin 5000 >/dev/null || fail "totalizer did not reopen"
    drv command "$APP_HWND" 40510
    drv wait-window GraphWin 5000 >/dev/null || fail "graph did not open"
    sleep 0.5
    drv command "$APP_HWND" 40590
    drv command "$APP_HWND" 40510
    drv wait-gone TotalizerWin 5000 || fail "totalizer did not close"
    drv wait-gone GraphWin 5000 || fail "graph did not close"
}
cycle
pid=$(drv pid "$APP_HWND")
if before=$(drv gdi-count "$pid"); then
    for i in 1 2 3 4 5; do cycle; done
    after=$(drv gdi-count "$pid")
    assert_eq "$after" "$before" "GDI objects after five open/close cycles"
else
    step "GDI count not available here"
fi
pass

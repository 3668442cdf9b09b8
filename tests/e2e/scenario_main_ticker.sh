#!/usr/bin/env bash
# The information strip is a ticker: a text that fits stands still (the simulated range, the
# not-connected error), a longer one (a board's range with an alarm appended) moves, and when
# the text fits again it stands still once more. Compared on two pictures of the strip taken a
# while apart.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind controller --baud 230400
start_app
drv command "$APP_HWND" 40110
drv wait-title "$APP_HWND" "Torvan Controller On FAKE" 5000 >/dev/null || fail "simulation"
sleep 0.5

read -r cx cy cw ch <<<"$(drv client-rect "$APP_HWND")"
ih=$((ch * 100 / 180 * 18 / 100))
step "strip at ($cx,$cy), ${cw}x$ih"

# strip_changes SECONDS: how many pixels of the strip differ between two pictures that far apart.
strip_changes() {
    import -window root -crop "${cw}x$ih+$cx+$cy" +repage "$E2E_TMP/a.png" || fail "import"
    sleep "$1"
    import -window root -crop "${cw}x$ih+$cx+$cy" +repage "$E2E_TMP/b.png" || fail "import"
    compare -metric AE "$E2E_TMP/a.png" "$E2E_TMP/b.png" null: 2>&1 | cut -d' ' -f1
}

drv wait-pixel "$APP_HWND" 1 1 190 200 190 5000 >/dev/null || fail "simulated range strip"
assert_eq "$(strip_changes 1)" "0" "pixels changed in 1 s with the simulated range"

drv command "$APP_HWND" 40130
emu_ctl 5 "flags 1"
connect_to COM5 "Torvan Controller On COM5"
drv wait-pixel "$APP_HWND" 1 1 255 255 0 5000 >/dev/null || fail "alarm strip"
moved=$(strip_changes 2)
step "pixels changed in 2 s with the alarm text: $moved"
[ "$moved" -gt 0 ] || fail "the long alarm text does not move"
screenshot main_ticker_alarm

drv command "$APP_HWND" 40130
drv wait-pixel "$APP_HWND" 1 1 255 0 0 5000 >/dev/null || fail "not-connected strip"
sleep 0.3
assert_eq "$(strip_changes 1)" "0" "pixels changed in 1 s with the not-connected text"
pass

#!/usr/bin/env bash
# The readout is laid out from the client height Hc: for a controller the base B = Hc*100/180,
# the strip Ih = B*18/100, each label Lh = B*14/100 and each digit row Dh = B*66/100 high, the
# digit boxes start 10 pixels in, and the window is as wide as the boxes plus 10 on the right.
# A meter has no set point rows and its base is the whole client height. Checked by the
# colours just inside and outside each box's edges (the top rows of a text cell hold no glyph
# pixels), at the simulated controller's first size, after the operator made the window taller
# (which also makes it wider), and for a meter on an emulated board.
source "$(dirname "$0")/lib.sh"

GREY="200 200 200"
BLACK="0 0 0"
STRIP="190 200 190"

start_app
drv command "$APP_HWND" 40110
drv wait-title "$APP_HWND" "Torvan Controller On FAKE" 5000 >/dev/null || fail "simulation"
sleep 1

pixel_is() { # x y "r g b" what
    drv wait-pixel "$APP_HWND" "$1" "$2" $3 3000 >/dev/null || fail "$4 at ($1,$2) is not RGB($3)"
}

check_layout() { # controller|meter
    local cw ch b ih lh dh flow_top set_top bottom
    read -r _ _ cw ch <<<"$(drv client-rect "$APP_HWND")"
    b=$((ch * 100 / 180))
    [ "$1" == meter ] && b=$ch
    ih=$((b * 18 / 100))
    lh=$((b * 14 / 100))
    dh=$((b * 66 / 100))
    flow_top=$((ih + lh))
    set_top=$((ih + 2 * lh + dh))
    bottom=$((ih + 2 * lh + 2 * dh))
    step "client ${cw}x$ch: strip $ih, labels $lh, digits $dh"
    pixel_is 1 1 "$STRIP" "strip"
    pixel_is 1 $((ih - 1)) "$STRIP" "strip's last row"
    pixel_is 10 $((flow_top + 1)) "$BLACK" "flow box's first column"
    pixel_is 9 $((flow_top + 1)) "$GREY" "left of the flow box"
    pixel_is 10 $((flow_top - 1)) "$GREY" "above the flow box"
    pixel_is $((cw - 11)) $((flow_top + 1)) "$BLACK" "flow box's last column"
    pixel_is $((cw - 10)) $((flow_top + 1)) "$GREY" "right of the flow box"
    if [ "$1" == meter ]; then
        pixel_is 10 $((set_top - lh - 1)) "$BLACK" "flow box's last row"
        pixel_is 10 $((set_top - lh)) "$GREY" "below the flow box"
        step "ok: meter layout at client height $ch"
        return
    fi
    pixel_is 10 $((set_top + 1)) "$BLACK" "set point box's first row"
    pixel_is 10 $((set_top - 1)) "$GREY" "between the flow and set point label"
    pixel_is 10 $((bottom - 1)) "$BLACK" "set point box's last row"
    if [ "$bottom" -lt "$ch" ]; then
        pixel_is 10 "$bottom" "$GREY" "below the set point box"
    fi
    step "ok: layout at client height $ch"
    LAST_WIDTH=$cw
}

check_layout controller
screenshot main_layout_first
first_width=$LAST_WIDTH
read -r x y w h <<<"$(drv rect "$APP_HWND")"
drv move "$APP_HWND" "$x" "$y" "$w" $((h + 200))
sleep 1
assert_eq "$(drv rect "$APP_HWND" | cut -d' ' -f4)" "$((h + 200))" "height after the drag"
check_layout controller
[ "$LAST_WIDTH" -gt "$first_width" ] || fail "taller window not wider ($LAST_WIDTH <= $first_width)"
step "ok: client width $first_width -> $LAST_WIDTH"
screenshot main_layout_taller
drv close "$APP_HWND"
wait_app_exit 15 || fail "program did not end"

step "meter"
start_emu 5 --kind meter --baud 230400
start_app
connect_to COM5 "Torvan Meter On COM5"
wait_record 5 '~GLSV' 10 || fail "no state polling"
sleep 1
check_layout meter
screenshot main_layout_meter
pass

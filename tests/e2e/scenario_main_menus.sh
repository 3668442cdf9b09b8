#!/usr/bin/env bash
# Menu states and the Help / About boxes: the View popup grays the flow unit in effect, the
# Logging popup offers Start Log only while idle, Help and About show the same advice in a box
# captioned "Torvan One" and close with OK.
source "$(dirname "$0")/lib.sh"

start_app

# command -> expected state of Flow in %FS (40530) and Flow in Units (40540)
cases=(
    "40540 enabled grayed"
    "40530 grayed enabled"
    "40540 enabled grayed"
    "40530 grayed enabled"
)
for c in "${cases[@]}"; do
    read -r cmd percent units <<<"$c"
    drv command "$APP_HWND" "$cmd"
    assert_eq "$(drv menu-state "$APP_HWND" 2 40530)" "$percent unchecked" "%FS after $cmd"
    assert_eq "$(drv menu-state "$APP_HWND" 2 40540)" "$units unchecked" "Units after $cmd"
done
assert_eq "$(drv menu-state "$APP_HWND" 3 40420)" "enabled unchecked" "Start Log while idle"
assert_eq "$(drv menu-state "$APP_HWND" 3 40430)" "grayed unchecked" "Stop Log while idle"
assert_eq "$(drv menu-state "$APP_HWND" 1 40120)" "enabled unchecked" "Open while idle"
assert_eq "$(drv menu-state "$APP_HWND" 1 40130)" "grayed unchecked" "Close while idle"

ADVICE='^To change the window size, drag the top, bottom or corner of the window\.'
ADVICE+='.To change the window name, open the command window and set S54 to the desired name '
ADVICE+='e\.g\. S54=My Controller\.$'
for cmd in 40310 40320; do
    drv command "$APP_HWND" "$cmd"
    popup=$(drv find-popup "Torvan One" 5000) || fail "no box for $cmd"
    box=${popup%%$'\t'*}
    text=$(tr -d '\n' <<<"${popup#*$'\t'}")
    assert_match "$text" "$ADVICE" "text of the box for $cmd"
    [ "$cmd" == 40310 ] && screenshot main_help
    drv command "$box" 1
    drv wait-gone "$box" 5000 || fail "the box for $cmd did not close with OK"
done
drv ping "$APP_HWND" 1000 >/dev/null || fail "window does not answer after the boxes"
pass

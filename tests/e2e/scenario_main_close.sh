#!/usr/bin/env bash
# Closing while connected puts the board back as it was found: its line ending (the emulator
# starts with CR, 0x0D, so "~SNLC=d") and the speed at which it answered the probe are the last
# two commands it hears, and the program ends. Once by WM_CLOSE (a controller found at 9600),
# once by File/Exit (a meter found at 19200, on the second probe speed), once by the quit
# message other programs may post (32769, a controller found at 230400).
source "$(dirname "$0")/lib.sh"

# close_case KIND BAUD HOW(close|exit|quit)
close_case() {
    local kind=$1 baud=$2 how=$3 title
    step "$kind at $baud, $how"
    start_emu 5 --kind "$kind" --baud "$baud"
    start_app
    drv command "$APP_HWND" 40120
    drv port-dialog COM5 ok 10000 >/dev/null || fail "port dialog"
    title="Torvan $([ "$kind" == meter ] && echo Meter || echo Controller) On COM5"
    drv wait-title "$APP_HWND" "$title" 20000 >/dev/null || fail "no connection"
    wait_record 5 '~GLSV' 10 || fail "no state polling"
    case $how in
    close) drv close "$APP_HWND" ;;
    exit) drv command "$APP_HWND" 40050 ;;
    quit) drv post "$APP_HWND" 32769 0 0 ;;
    esac
    wait_app_exit 15 || fail "the program is still running after $how"
    sleep 0.3
    record_cmds 5 >"$E2E_TMP/$kind.txt"
    assert_eq "$(tail -2 "$E2E_TMP/$kind.txt" | tr '\n' ' ')" "~SNLC=d ~BAUD=$baud " \
        "last commands after $how"
    # One probe at the board's speed, and one at 230400 that shows it took the switch.
    assert_eq "$(grep -c '^2$' "$E2E_TMP/$kind.txt")" "$([ "$baud" == 230400 ] && echo 1 || echo 2)" \
        "probes heard"
    stop_emu 5
}

close_case controller 9600 close
close_case meter 19200 exit
close_case controller 230400 quit
pass

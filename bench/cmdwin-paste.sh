#!/usr/bin/env bash
# How fast the command window sends a paste: TorvanOne.exe under Wine, connected to an
# emulated controller at 230400 bit/s, gets LINES short read commands pasted into its command
# window at once (default 20, each a register read the board answers in a few milliseconds).
# The emulator's record stamps each command as it arrives; the script prints the span from the
# first pasted command to the last and the mean gap between two (the state polls go on
# meanwhile, 10 a second).
# Figures only; nothing passes or fails.
#
#   bench/cmdwin-paste.sh [LINES] [ROUNDS]     (default 20 lines, 3 rounds)
#
# Needs the emulator (build/native) and the Windows build (TorvanOne.exe, TorvanDriver.exe).
LINES=${1:-20}
ROUNDS=${2:-3}
source "$(dirname "$0")/../tests/e2e/lib.sh"

start_emu 5 --kind controller --baud 230400
start_app
connect_to COM5 "Torvan Controller On COM5" "controller title"
wait_record 5 'G18' 10 || fail "no gas reads"
drv command "$APP_HWND" 40580
CMD=$(drv wait-window CmdWin "Torvan Controller On COM5 Command Window" 10000) ||
    fail "no command window"
ENTRY=$(drv dlg-item "$CMD" 1050)

# The registers read in turn; the record keeps them apart from the polls (~GLSV).
REGS=(V1 V2 V12 V24 V25 V26 V29 V5)
paste_text() {
    local i text=""
    for ((i = 0; i < LINES; i++)); do
        text+="${REGS[i % ${#REGS[@]}]}"$'\r\n'
    done
    printf '%s' "${text%$'\r\n'}"
}

# Times, in ms, of the first and the last command since line $1 of the record that is not a
# poll; waits until $2 of them have arrived.
span_since() {
    local mark=$1 want=$2 got
    for _ in $(seq 1 100); do
        got=$(tail -n +"$mark" "$(emu_record 5)" | grep -c -E ' V[0-9]+$')
        [ "$got" -ge "$want" ] && break
        sleep 0.1
    done
    tail -n +"$mark" "$(emu_record 5)" | grep -E ' V[0-9]+$' |
        awk -v n="$want" 'NR == 1 { first = $1 } { last = $1 } END {
            if (NR < n) { printf "only %d of %d arrived\n", NR, n; exit }
            printf "%d lines: %.0f ms from the first to the last, %.1f ms a line\n", NR,
                last - first, (NR > 1 ? (last - first) / (NR - 1) : 0) }'
}

for round in $(seq 1 "$ROUNDS"); do
    mark=$(record_mark 5)
    # WM_SETTEXT raises no change notification: the paste is complete with the Enter typed at
    # its end, as an operator's paste and Enter would be.
    drv set-text "$ENTRY" "$(paste_text)" >/dev/null || fail "entry text"
    drv send "$ENTRY" 0xB1 100000 100000 >/dev/null
    drv post "$ENTRY" 0x102 13 0 >/dev/null
    echo "round $round, pasted: $(span_since "$mark" "$LINES")"
    sleep 1
done
pass

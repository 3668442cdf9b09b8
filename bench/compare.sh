#!/usr/bin/env bash
# Two builds of TorvanOne.exe side by side: both run at once in one Wine session, each
# connected to its own emulated controller at 230400, and their own CPU is read over the same
# window, connected and then with the graph open. On a virtual machine the price of a wake-up
# changes from one minute to the next, so two builds measured in turn can differ by more than
# what separates them; measured at once, they share whatever the machine does. The wineserver
# serves both and is not split; each program's switches/s stand in for its share of it.
# Figures only; nothing passes or fails.
#
#   bench/compare.sh OTHER_WIN_BUILD [SECONDS] [ROUNDS]
#
# OTHER_WIN_BUILD is the folder of the other TorvanOne.exe (for example a worktree's
# build/win); "this" is $TORVAN_BUILD/win. Default 30 s per window, 3 windows per state.
[ -f "${1:-}/TorvanOne.exe" ] || {
    echo "usage: bench/compare.sh OTHER_WIN_BUILD [SECONDS] [ROUNDS]" >&2
    exit 2
}
OTHER_EXE=$(cd "$1" && pwd)/TorvanOne.exe
SECONDS_PER_STATE=${2:-30}
ROUNDS=${3:-3}
SETTLE=${SETTLE:-3}
source "$(dirname "$0")/../tests/e2e/lib.sh"
source "$(dirname "$0")/lib-cpu.sh"

start_emu 5 --kind controller --baud 230400
start_emu 6 --kind controller --baud 230400
APP_EXE=$OTHER_EXE start_app "$E2E_TMP/other"
OTHER_PID=$APP_PID OTHER_HWND=$APP_HWND
connect_to COM5 "Torvan Controller On COM5"
start_app "$E2E_TMP/this"
THIS_PID=$APP_PID THIS_HWND=$APP_HWND
connect_to COM6 "Torvan Controller On COM6"

LINES=()
# both LABEL: CPU and switches of each program over the same SECONDS_PER_STATE.
both() {
    local t0 o0 n0 ow0 nw0 t1 o1 n1 ow1 nw1
    sleep "$SETTLE"
    t0=$(date +%s.%N) o0=$(cpu_us $OTHER_PID) n0=$(cpu_us $THIS_PID)
    ow0=$(switches $OTHER_PID) nw0=$(switches $THIS_PID)
    sleep "$SECONDS_PER_STATE"
    t1=$(date +%s.%N) o1=$(cpu_us $OTHER_PID) n1=$(cpu_us $THIS_PID)
    ow1=$(switches $OTHER_PID) nw1=$(switches $THIS_PID)
    kill -0 $OTHER_PID 2>/dev/null && kill -0 $THIS_PID 2>/dev/null || fail "a program ended"
    LINES+=("$(awk -v l="$1" -v t0="$t0" -v t1="$t1" -v o=$((o1 - o0)) -v n=$((n1 - n0)) \
        -v ow=$((ow1 - ow0)) -v nw=$((nw1 - nw0)) 'BEGIN {
            d = t1 - t0
            printf "%-10s %8.2f %10.0f %8.2f %10.0f %9.2f", l, o / d / 1e4, ow / d,
                n / d / 1e4, nw / d, (o > 0 ? n / o : 0)
        }')")
    step "measured $1"
}

for _ in $(seq 1 "$ROUNDS"); do both connected; done
drv command "$OTHER_HWND" 40510
drv command "$THIS_HWND" 40510
drv wait-window GraphWin 10000 >/dev/null || fail "no graph window"
for _ in $(seq 1 "$ROUNDS"); do both graph; done

echo
echo "Program CPU in % of one core (wineserver not included), $(nproc) cores"
echo "other: $OTHER_EXE"
printf '%-10s %8s %10s %8s %10s %9s\n' state other switches/s this switches/s this/other
for l in "${LINES[@]}"; do
    echo "$l"
done
pass

#!/usr/bin/env bash
# What an idle TorvanOne.exe costs: CPU of the program's process plus its wineserver (server
# calls are charged there), in percent of one core, measured from /proc over a window of
# seconds in each state: unconnected, connected to an emulated controller at 230400, with an
# alarm whose text scrolls in the strip, and with the graph open. Wine's notepad, measured the
# same way in the same prefix, is the floor: most of it is the wineserver's own, which wakes
# every 16 ms whatever runs (strace shows its epoll_wait timing out with nothing to do).
#
# The window is read once a second as well. "total" is the whole window's mean; "median 1 s"
# is the median of its one-second readings, and "-notepad" is that median less notepad's. On a
# virtual machine whose guest sees no steal time, a second in which the host held a virtual
# core while one of these threads was on it is charged to the thread: such seconds cost three
# to ten times the others with the same switch count, and a handful of them can double a mean.
# The median stands for the program's own work; read the two side by side. "switches/s"
# counts the context switches of program and wineserver: every server call and every wake-up
# is one or two, and it hardly moves between runs.
# Figures only; nothing passes or fails.
#
#   bench/cpu.sh [SECONDS]        (default 30 s per state; TORVAN_BUILD picks the build folder)
#   APP_EXE=OTHER/TorvanOne.exe bench/cpu.sh      another build of the program, measured the
#                                                 same way (bench/compare.sh runs two at once)
#
# Needs the emulator (build/native) and the Windows build (TorvanOne.exe, TorvanDriver.exe).
# Xvfb's own drawing work is shown for information and not added: it is not the program's.
SECONDS_PER_STATE=${1:-30}
SETTLE=${SETTLE:-3}
source "$(dirname "$0")/../tests/e2e/lib.sh"

source "$(dirname "$0")/lib-cpu.sh"

RESULTS=()

# median: the middle of the numbers on standard input (the mean of the two middle ones).
median() {
    sort -g | awk '{ v[NR] = $1 }
        END { print NR % 2 ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'
}

# measure LABEL PID: CPU and switches of PID and of the wineserver over SECONDS_PER_STATE,
# read every second, nothing else talking to the prefix meanwhile. Sets LAST_MEDIAN and
# LAST_SECONDS (the settling time and the window: the readings stretch it a little).
measure() {
    local label=$1 pid=$2 server xvfb t0 a0 s0 x0 w0 t1 a1 s1 x1 w1 i pt pc nt nc
    local -a per=()
    server=$(server_pid) || fail "no wineserver for $WINEPREFIX"
    xvfb=${XVFB_PID:-$(pgrep -n -x Xvfb)}
    sleep "$SETTLE"
    t0=$(date +%s.%N)
    a0=$(cpu_us "$pid")
    s0=$(cpu_us "$server")
    x0=$(cpu_us "$xvfb")
    w0=$(($(switches "$pid") + $(switches "$server")))
    pt=$t0 pc=$((a0 + s0))
    for ((i = 0; i < SECONDS_PER_STATE; i++)); do
        sleep 1
        nt=$(date +%s.%N)
        nc=$(($(cpu_us "$pid") + $(cpu_us "$server")))
        per+=("$(awk -v n=$((nc - pc)) -v t0="$pt" -v t1="$nt" \
            'BEGIN { printf "%.4f", n / 1e4 / (t1 - t0) }')")
        pt=$nt pc=$nc
    done
    t1=$(date +%s.%N)
    a1=$(cpu_us "$pid")
    s1=$(cpu_us "$server")
    x1=$(cpu_us "$xvfb")
    w1=$(($(switches "$pid") + $(switches "$server")))
    kill -0 "$pid" 2>/dev/null || fail "$label: process $pid ended during the measurement"
    LAST_MEDIAN=$(printf '%s\n' "${per[@]}" | median)
    LAST_SECONDS=$(awk -v t0="$t0" -v t1="$t1" -v s="$SETTLE" 'BEGIN { printf "%.0f", t1 - t0 + s }')
    RESULTS+=("$(awk -v l="$label" -v t0="$t0" -v t1="$t1" -v floor="${FLOOR:-}" \
        -v med="$LAST_MEDIAN" -v a=$((a1 - a0)) -v s=$((s1 - s0)) -v x=$((x1 - x0)) \
        -v w=$((w1 - w0)) 'BEGIN {
            d = t1 - t0
            f = 100 / 1e6 / d
            above = med - (floor == "" ? med : floor)
            printf "%-22s %5.1f %8.2f %10.2f %8.2f %10.2f %8.2f %10.0f %7.2f", l, d, a * f,
                s * f, (a + s) * f, med, above, w / d, x * f
        }')")
    step "measured $label"
}

start_emu 5 --kind controller --baud 230400

# The floor: notepad idling in the same prefix.
(cd "$E2E_TMP" && exec wine notepad) >"$E2E_TMP/notepad.log" 2>&1 &
NOTEPAD_PID=$!
drv wait-window Notepad 15000 >/dev/null || fail "notepad did not start"
measure "notepad (floor)" "$NOTEPAD_PID"
FLOOR=$LAST_MEDIAN
kill "$NOTEPAD_PID" 2>/dev/null
wait "$NOTEPAD_PID" 2>/dev/null

start_app
measure "unconnected" "$APP_PID"
connect_to COM5 "Torvan Controller On COM5"
wait_record 5 '~GLSV' 10 || fail "no state polling"
measure "connected" "$APP_PID"
# An alarm makes the strip's text longer than the strip, so it scrolls every 20 ms (as it
# does all day while a log runs).
emu_ctl 5 "flags 1"
drv wait-pixel "$APP_HWND" 1 1 255 255 0 5000 >/dev/null || fail "no alarm strip"
measure "connected, strip moves" "$APP_PID"
emu_ctl 5 "flags 0"
drv command "$APP_HWND" 40510
drv wait-window GraphWin 10000 >/dev/null || fail "no graph window"
wait_record 5 '~GAFV' 10 || fail "no flow blocks polled"
mark=$(record_mark 5)
measure "connected, graph open" "$APP_PID"
# What the board received meanwhile, as a check that the polling kept its rates.
polls=$(record_cmds 5 "$mark" | grep -c '^~GLSV$')
blocks=$(record_cmds 5 "$mark" | grep -c '^~GAFV$')

echo
echo "CPU in % of one core, $(nproc) cores, load average now $(cut -d' ' -f1-3 /proc/loadavg)"
echo "program: ${APP_EXE:-$WIN_BUILD/TorvanOne.exe}"
printf '%-22s %5s %8s %10s %8s %10s %8s %10s %7s\n' state "s" program wineserver total \
    "median 1 s" "-notepad" "switches/s" "(Xvfb)"
for r in "${RESULTS[@]}"; do
    echo "$r"
done
echo "board polls during the graph measurement: ~GLSV $polls, ~GAFV $blocks" \
    "(about $((LAST_SECONDS * 10)) and $((LAST_SECONDS * 20)) expected)"
pass

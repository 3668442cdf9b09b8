# Shared by the end-to-end scenarios: TorvanOne.exe under Wine + Xvfb, driven from outside by
# TorvanDriver.exe, talking to torvan-emu boards on the Wine COM ports.
#
# Writing a scenario
# ------------------
# A scenario is tests/e2e/scenario_<area>_<what>.sh, run with bash; exit 0 means it passed.
# scripts/test.sh runs every one of them (tier e2e) after building the native emulator and the
# Windows programs; a scenario also runs by hand from any directory:
#     TORVAN_BUILD=build/<you> bash tests/e2e/scenario_main_start.sh
# (TORVAN_BUILD defaults to ./build; the Windows build is $TORVAN_BUILD/win unless WIN_BUILD says
# otherwise). Outline:
#
#     #!/usr/bin/env bash
#     # What this scenario shows, in a sentence or two.
#     source "$(dirname "$0")/lib.sh"
#     start_emu 5 --kind controller --baud 230400   # board on COM5 (record + control FIFO)
#     start_app                                     # TorvanOne.exe; sets APP_HWND, APP_PID
#     drv command "$APP_HWND" 40120                 # Connection/Open
#     drv port-dialog COM5 ok 10000                 # pick COM5 in "Select Serial Port"
#     drv wait-title "$APP_HWND" "Torvan Controller On COM5" 15000 >/dev/null ||
#         fail "no connection"
#     wait_record 5 '~GLSV' 10 || fail "no state polling"
#     emu_ctl 5 "flags 1"                           # change the board while it runs
#     assert_eq "$(drv title "$APP_HWND")" "Torvan Controller On COM5" "title"
#     screenshot main_connected                     # $TORVAN_BUILD/screenshots/main_connected.png
#     pass                                          # prints "PASS <scenario>" and exits 0
#
# Everything the scenario started (the program, emulators, a display of its own, temp files) is
# cleaned up by an exit trap; on failure the emulator records and logs are kept under
# $TORVAN_BUILD/e2e-logs/<scenario>/ and a screenshot <scenario>-fail.png is taken.
#
# Helpers
#   drv ARGS...              run the driver; `drv` alone lists its subcommands. Results on stdout,
#                            non-zero exit on failure or time-out. Window arguments are handles
#                            (0x...) or class names; times are in ms.
#   start_emu N [OPTS...]    torvan-emu on COMn's link with --record/--control in the temp dir
#                            (further options as torvan-emu takes them); waits for "ready"
#   stop_emu N               SIGTERM to that emulator (its link disappears: the board is unplugged)
#   emu_ctl N "COMMAND"      one line to the emulator's control FIFO (reset, fault ..., flags HEX,
#                            gas N, name TEXT, kind ..., flow X, baud N)
#   emu_record N             path of the emulator's record file (lines "<ms> <command>")
#   record_cmds N [FROM]     the recorded commands only, from line FROM (1-based) on
#   record_mark N            the number of the next record line (pass it to record_cmds later)
#   wait_record N REGEX SECS [FROM]   wait until a recorded command matches (extended regex)
#   connect_to PORT TITLE [WHAT]   Connection/Open, PORT in the port dialog, wait for TITLE
#   start_app [DIR]          start TorvanOne.exe with working directory DIR (default a fresh temp
#                            dir, kept in APP_DIR); waits for the "QRB_TorvanWin" window and sets
#                            APP_HWND and APP_PID (the Wine process of the program). APP_EXE
#                            (Unix or Windows path) picks another exe than the Windows build's.
#                            Called again, it starts a further instance (APP_HWND and APP_PID
#                            then name the new one; APP_HWNDS lists all windows started)
#   wait_app_exit SECS       wait until the program's process has ended
#   screenshot NAME          the whole screen into $TORVAN_BUILD/screenshots/NAME.png
#   step TEXT                a time-stamped progress line in the scenario log
#   fail TEXT / pass / skip TEXT
#   assert_eq ACTUAL EXPECTED TEXT, assert_ne ACTUAL UNEXPECTED TEXT,
#   assert_match ACTUAL REGEX TEXT, assert_contains_in_order FILE LINE... (each a regex that
#                            must match a whole line, in this order, other lines may sit between)
#   E2E_TMP                  the scenario's temp dir (removed at exit)

set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
# Wine wants an absolute prefix, and the scenario changes directories: no relative build path.
if [ -n "${TORVAN_BUILD:-}" ] && [[ "$TORVAN_BUILD" != /* ]]; then
    TORVAN_BUILD=$PWD/$TORVAN_BUILD
fi
source "$ROOT/scripts/lib-wine.sh"
WIN_BUILD=${WIN_BUILD:-$TORVAN_BUILD/win}
TORVAN_EMU=${TORVAN_EMU:-$TORVAN_BUILD/native/emulator/torvan-emu}
TORVAN_DRIVER=$WIN_BUILD/tests/e2e/driver/TorvanDriver.exe
SCENARIO=$(basename "$0" .sh)
SCREENSHOT_DIR=$TORVAN_BUILD/screenshots
E2E_TMP=$(mktemp -d "${TMPDIR:-/tmp}/torvan-e2e.XXXXXX")
E2E_START=$(date +%s.%N)
declare -A EMU_PIDS=()
APP_PID=""
APP_HWND=""
APP_HWNDS=()
APP_DIR=""
E2E_FAILED=0
E2E_OWN_DISPLAY=""

step() { awk -v t0="$E2E_START" -v t="$(date +%s.%N)" -v m="$*" 'BEGIN { printf "[%6.2f] %s\n", t - t0, m }'; }

drv() { wine "$TORVAN_DRIVER" "$@"; }

screenshot() {
    mkdir -p "$SCREENSHOT_DIR"
    import -window root "$SCREENSHOT_DIR/$1.png" 2>/dev/null && step "screenshot $1.png"
}

e2e_cleanup() {
    local rc=$?
    if [ "$rc" -ne 0 ] || [ "$E2E_FAILED" -ne 0 ]; then
        local keep=$TORVAN_BUILD/e2e-logs/$SCENARIO
        rm -rf "$keep"
        mkdir -p "$keep"
        cp -r "$E2E_TMP"/. "$keep"/ 2>/dev/null
        [ -n "${DISPLAY:-}" ] && screenshot "$SCENARIO-fail"
        echo "logs kept in $keep"
    fi
    # The program and anything it started (message boxes, the driver) live in this prefix only.
    wineserver -k 2>/dev/null
    local n
    for n in "${!EMU_PIDS[@]}"; do
        kill "${EMU_PIDS[$n]}" 2>/dev/null
        wait "${EMU_PIDS[$n]}" 2>/dev/null
    done
    [ -n "$E2E_OWN_DISPLAY" ] && xvfb_stop
    rm -rf "$E2E_TMP"
    exit "$rc"
}
trap e2e_cleanup EXIT
trap 'exit 130' INT TERM

fail() {
    E2E_FAILED=1
    echo "FAIL $SCENARIO: $*" >&2
    exit 1
}

pass() {
    echo "PASS $SCENARIO"
    exit 0
}

skip() {
    echo "SKIP $SCENARIO: $*"
    exit 0
}

assert_eq() {
    [ "$1" == "$2" ] || fail "$3: got \"$1\", expected \"$2\""
    step "ok: $3"
}

assert_ne() {
    [ "$1" != "$2" ] || fail "$3: got \"$1\""
    step "ok: $3"
}

assert_match() {
    [[ "$1" =~ $2 ]] || fail "$3: \"$1\" does not match /$2/"
    step "ok: $3"
}

# assert_contains_in_order FILE REGEX...: the lines of FILE hold a line matching each REGEX, in
# this order (each match strictly after the previous one).
assert_contains_in_order() {
    local file=$1 at=0 regex line
    shift
    for regex in "$@"; do
        line=$(tail -n +$((at + 1)) "$file" | grep -n -m1 -E -- "^($regex)$" | cut -d: -f1)
        [ -n "$line" ] || fail "expected a line /$regex/ after line $at of $(basename "$file")"
        at=$((at + line))
    done
    step "ok: $# lines in order in $(basename "$file")"
}

# A display and the prefix: test.sh has set both up; a scenario run by hand does it here.
if ! { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; }; then
    xvfb_start || fail "no display"
    E2E_OWN_DISPLAY=1
fi
wine_setup
# Wine lists the COM ports in the registry from a service that starts with the session, a
# moment after the first program: a port dialog opened before that shows "<No Ports Found>".
# The session is started here and the list awaited.
for _ in $(seq 1 40); do
    wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | grep -q 'COM5' && break
    sleep 0.25
done
[ -f "$TORVAN_DRIVER" ] || fail "driver not built: $TORVAN_DRIVER"

emu_record() { echo "$E2E_TMP/com$1.rec"; }
emu_control() { echo "$E2E_TMP/com$1.ctl"; }

start_emu() {
    local n=$1
    shift
    # The native tier builds the emulator; a scenario run on its own builds it when missing.
    if [ ! -x "$TORVAN_EMU" ] && [ -f "$TORVAN_BUILD/native/CMakeCache.txt" ]; then
        cmake --build "$TORVAN_BUILD/native" --target torvan-emu -j 2 >"$E2E_TMP/emu-build.log" 2>&1
    fi
    [ -x "$TORVAN_EMU" ] || fail "emulator not built: $TORVAN_EMU"
    local log=$E2E_TMP/emu$n.log
    : >"$(emu_record "$n")"
    "$TORVAN_EMU" --link "$(com_link "$n")" --record "$(emu_record "$n")" \
        --control "$(emu_control "$n")" "$@" >"$log" 2>&1 &
    EMU_PIDS[$n]=$!
    for _ in $(seq 1 100); do
        grep -q '^ready' "$log" 2>/dev/null && [ -e "$(com_link "$n")" ] && {
            step "emulator on COM$n: $*"
            return 0
        }
        kill -0 "${EMU_PIDS[$n]}" 2>/dev/null || break
        sleep 0.05
    done
    cat "$log" >&2
    fail "emulator on COM$n did not start"
}

stop_emu() {
    local pid=${EMU_PIDS[$1]:-}
    [ -n "$pid" ] || return 0
    kill "$pid" 2>/dev/null
    wait "$pid" 2>/dev/null
    unset "EMU_PIDS[$1]"
    step "emulator on COM$1 stopped"
}

emu_ctl() {
    timeout 5 bash -c 'echo "$1" >"$2"' _ "$2" "$(emu_control "$1")" ||
        fail "emulator on COM$1 did not take \"$2\""
    step "emulator COM$1 <- $2"
}

record_mark() { echo $(($(wc -l <"$(emu_record "$1")") + 1)); }

record_cmds() { tail -n +"${2:-1}" "$(emu_record "$1")" | cut -d' ' -f2-; }

wait_record() {
    local n=$1 regex=$2 secs=$3 from=${4:-1} end
    end=$(($(date +%s) + secs))
    while [ "$(date +%s)" -le "$end" ]; do
        record_cmds "$n" "$from" | grep -q -E -- "^($regex)$" && return 0
        sleep 0.1
    done
    return 1
}

start_app() {
    APP_DIR=${1:-$E2E_TMP/app}
    mkdir -p "$APP_DIR"
    local exe
    exe=${APP_EXE:-$WIN_BUILD/TorvanOne.exe}
    [[ "$exe" == /* ]] && exe=$(winepath -w "$exe" 2>/dev/null)
    (cd "$APP_DIR" && exec wine "$exe") >"$E2E_TMP/app.log" 2>&1 &
    APP_PID=$!
    # A further instance: its window is the one that was not there before.
    local before=" ${APP_HWNDS[*]} " found
    APP_HWND=""
    for _ in $(seq 1 100); do
        for found in $(drv all QRB_TorvanWin 2>/dev/null); do
            [[ "$before" == *" $found "* ]] || APP_HWND=$found
        done
        [ -n "$APP_HWND" ] && break
        kill -0 "$APP_PID" 2>/dev/null || break
        sleep 0.2
    done
    [ -n "$APP_HWND" ] || {
        drv list >&2
        fail "the main window did not appear"
    }
    APP_HWNDS+=("$APP_HWND")
    step "TorvanOne started: window $APP_HWND"
}

# connect_to PORT TITLE [WHAT]: Connection/Open, PORT picked in "Select Serial Port", then the
# window's title once connected; fails "port dialog", or WHAT (default "no connection") when
# the title does not come.
connect_to() {
    drv command "$APP_HWND" 40120
    drv port-dialog "$1" ok 10000 >/dev/null || fail "port dialog"
    drv wait-title "$APP_HWND" "$2" 20000 >/dev/null || fail "${3:-no connection}"
}

wait_app_exit() {
    local end=$(($(date +%s) + $1))
    while kill -0 "$APP_PID" 2>/dev/null; do
        [ "$(date +%s)" -lt "$end" ] || return 1
        sleep 0.1
    done
    return 0
}

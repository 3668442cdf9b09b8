#!/usr/bin/env bash
# Runs Torvan One on Linux: builds the board emulator and the Windows program, starts an
# emulated controller on COM5 and TorvanOne.exe under Wine.
#
#   scripts/run.sh [--connect | --simulate | --idle] [--meter] [--seconds N] [--no-build]
#
#   --connect    (the default) open the connection to the emulated board (Connection/Open,
#                COM5 in the port dialog), as the operator would
#   --simulate   start the simulated connection instead (no board involved)
#   --idle       start the program and leave it unconnected
#   --meter      the emulated board is a flow meter instead of a controller
#   --seconds N  with no display: how long to run before the screenshot (default 5)
#   --no-build   use what is already built
#
# With a display (DISPLAY works), the program runs until you close it; then the emulator stops.
# Without one, a virtual display is started, the program runs inside a Wine desktop window (so
# captions and menus show), a screenshot is saved as $TORVAN_BUILD/screenshots/run.png after a
# few seconds, and everything is stopped: the script is usable from other scripts.
# TORVAN_BUILD (default ./build) selects the build folder.
set -uo pipefail

# A relative build folder is taken from where the script was called.
if [ -n "${TORVAN_BUILD:-}" ] && [[ "$TORVAN_BUILD" != /* ]]; then
    TORVAN_BUILD=$PWD/$TORVAN_BUILD
fi
ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT" || exit 1

MODE=connect
KIND=controller
SECONDS_TO_RUN=5
BUILD=1
while [ $# -gt 0 ]; do
    case $1 in
    --connect) MODE=connect ;;
    --simulate) MODE=simulate ;;
    --idle) MODE=idle ;;
    --meter) KIND=meter ;;
    --seconds)
        SECONDS_TO_RUN=${2:-}
        shift
        ;;
    --no-build) BUILD=0 ;;
    -h | --help)
        awk 'NR > 1 && !/^#/ { exit } NR > 1 { sub(/^# ?/, ""); print }' "$0"
        exit 0
        ;;
    *)
        echo "run.sh: unknown option $1 (try --help)" >&2
        exit 2
        ;;
    esac
    shift
done
[[ "$SECONDS_TO_RUN" =~ ^[0-9]+$ ]] || {
    echo "run.sh: --seconds takes a whole number" >&2
    exit 2
}

source "$ROOT/scripts/lib-wine.sh"
WIN_BUILD=$TORVAN_BUILD/win
EMU=$TORVAN_BUILD/native/emulator/torvan-emu
DRIVER=$WIN_BUILD/tests/e2e/driver/TorvanDriver.exe
RUN_DIR=$TORVAN_BUILD/run
LOG_DIR=$TORVAN_BUILD/test-logs
mkdir -p "$RUN_DIR" "$LOG_DIR"

log() { echo "run.sh: $*"; }
die() {
    echo "run.sh: $*" >&2
    exit 1
}

if [ "$BUILD" == 1 ]; then
    "$ROOT/scripts/setup.sh"
    # The same configurations as scripts/test.sh, so both share one build folder.
    log "building the emulator and TorvanOne.exe in $TORVAN_BUILD"
    cmake -S "$ROOT" -B "$TORVAN_BUILD/native" -DCMAKE_BUILD_TYPE=Debug -DTORVAN_SANITIZE=ON \
        >"$LOG_DIR/native-configure.log" 2>&1 &&
        cmake --build "$TORVAN_BUILD/native" --target torvan-emu -j "$(nproc)" \
            >"$LOG_DIR/run-native-build.log" 2>&1 ||
        die "emulator build failed; see $LOG_DIR/run-native-build.log"
    cmake -S "$ROOT" -B "$WIN_BUILD" -DCMAKE_BUILD_TYPE=Debug \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" >"$LOG_DIR/win-configure.log" 2>&1 &&
        cmake --build "$WIN_BUILD" --target TorvanOne TorvanDriver -j "$(nproc)" \
            >"$LOG_DIR/run-win-build.log" 2>&1 ||
        die "Windows build failed; see $LOG_DIR/run-win-build.log"
fi
[ -x "$EMU" ] || die "no emulator at $EMU (build without --no-build)"
[ -f "$WIN_BUILD/TorvanOne.exe" ] || die "no TorvanOne.exe in $WIN_BUILD"

OWN_DISPLAY=0
if ! { [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; }; then
    xvfb_start || die "cannot start a virtual display"
    OWN_DISPLAY=1
    log "virtual display $DISPLAY"
fi
wine_setup
# The port list appears in the registry a moment after the Wine session starts; a port dialog
# opened before that is empty.
for _ in $(seq 1 40); do
    wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | grep -q 'COM5' && break
    sleep 0.25
done

EMU_PID=""
APP_PID=""
cleanup() {
    # Interrupted while the program runs: it would be left without its board.
    [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null
    if [ "$OWN_DISPLAY" == 1 ]; then
        # Everything in this prefix was started here: the program, its desktop, the driver.
        wineserver -k 2>/dev/null
        xvfb_stop
    fi
    [ -n "$EMU_PID" ] && kill "$EMU_PID" 2>/dev/null && wait "$EMU_PID" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

"$EMU" --link "$(com_link 5)" --kind "$KIND" --baud 230400 --record "$RUN_DIR/com5.rec" \
    >"$RUN_DIR/emu.log" 2>&1 &
EMU_PID=$!
for _ in $(seq 1 100); do
    grep -q '^ready' "$RUN_DIR/emu.log" 2>/dev/null && break
    kill -0 "$EMU_PID" 2>/dev/null || die "the emulator did not start: $(cat "$RUN_DIR/emu.log")"
    sleep 0.05
done
log "emulated $KIND on COM5 (commands it receives: $RUN_DIR/com5.rec)"

EXE=$(winepath -w "$WIN_BUILD/TorvanOne.exe")
if [ "$OWN_DISPLAY" == 1 ]; then
    # A Wine desktop window gives the program a frame, caption and menu bar in screenshots;
    # the driver has to join that desktop to find the program's windows.
    export TORVAN_DESKTOP=Torvan
    (cd "$RUN_DIR" && exec wine explorer /desktop=Torvan,1280x800 "$EXE") >"$RUN_DIR/app.log" 2>&1 &
else
    (cd "$RUN_DIR" && exec wine "$EXE") >"$RUN_DIR/app.log" 2>&1 &
fi
APP_PID=$!

drv() { wine "$DRIVER" "$@"; }
HWND=$(drv wait-window QRB_TorvanWin 30000) || die "the main window did not appear"
log "TorvanOne.exe is running"

case $MODE in
connect)
    drv command "$HWND" 40120
    drv port-dialog COM5 ok 15000 >/dev/null || die "could not work the port dialog"
    kind_title=$([ "$KIND" == meter ] && echo Meter || echo Controller)
    drv wait-title "$HWND" "Torvan $kind_title On COM5" 20000 >/dev/null ||
        log "the board did not answer in time"
    log "connected: $(drv title "$HWND")"
    ;;
simulate)
    drv command "$HWND" 40110
    log "simulated connection started"
    ;;
esac

if [ "$OWN_DISPLAY" == 1 ]; then
    sleep "$SECONDS_TO_RUN"
    mkdir -p "$TORVAN_BUILD/screenshots"
    # The Wine desktop window sits at the screen's top-left corner.
    import -window root -crop 1280x800+0+0 +repage "$TORVAN_BUILD/screenshots/run.png" &&
        log "screenshot: $TORVAN_BUILD/screenshots/run.png"
    drv close "$HWND"
    drv wait-gone "$HWND" 10000 || log "the program did not close in time"
else
    log "close the program's window to stop"
    wait "$APP_PID"
fi
log "stopped"

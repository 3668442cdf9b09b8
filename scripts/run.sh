#!/usr/bin/env bash
# Runs Torvan One on Linux: builds the board emulator and the Windows program, starts an
# emulated controller on COM5 and TorvanOne.exe under Wine.
#
#   scripts/run.sh [--connect | --simulate | --idle] [--meter] [--seconds N] [--no-build]
#                  [--scale PERCENT] [--window-shot FILE]
#
#   --connect    (the default) open the connection to the emulated board (Connection/Open,
#                COM5 in the port dialog), as the operator would
#   --simulate   start the simulated connection instead (no board involved)
#   --idle       start the program and leave it unconnected
#   --meter      the emulated board is a flow meter instead of a controller
#   --seconds N  with no display: how long to run before the screenshot (default 5)
#   --no-build   use what is already built
#   --scale PERCENT  display scaling for this run (e.g. 150: 144 dpi, on a Wine desktop half as
#                large again); the Wine prefix goes back to 100 % when the script ends
#   --window-shot FILE  with no display: also save the main window with a 10-pixel margin of
#                desktop around it (how the README's pictures are taken)
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
SCALE=100
WINDOW_SHOT=""
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
    --scale)
        SCALE=${2:-}
        shift
        ;;
    --window-shot)
        WINDOW_SHOT=${2:-}
        shift
        ;;
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
[[ "$SCALE" =~ ^[0-9]+$ ]] && [ "$SCALE" -ge 100 ] && [ "$SCALE" -le 500 ] || {
    echo "run.sh: --scale takes a percentage from 100 to 500" >&2
    exit 2
}
if [ -n "$WINDOW_SHOT" ] && [[ "$WINDOW_SHOT" != /* ]]; then
    WINDOW_SHOT=$PWD/$WINDOW_SHOT
fi

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
EMU_PID=""
APP_PID=""
cleanup() {
    # Interrupted while the program runs: it would be left without its board.
    [ -n "$APP_PID" ] && kill "$APP_PID" 2>/dev/null
    if [ "$SCALE" != 100 ]; then
        wine reg delete 'HKCU\Control Panel\Desktop' /v LogPixels /f >/dev/null 2>&1
    fi
    if [ "$OWN_DISPLAY" == 1 ]; then
        # Everything in this prefix was started here: the program, its desktop, the driver.
        wineserver -k 2>/dev/null
        xvfb_stop
    fi
    [ -n "$EMU_PID" ] && kill "$EMU_PID" 2>/dev/null && wait "$EMU_PID" 2>/dev/null
}
trap cleanup EXIT
trap 'exit 130' INT TERM

wine_setup
if [ "$SCALE" != 100 ]; then
    # Read by Wine when a session starts: the running one ends first.
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    wine reg add 'HKCU\Control Panel\Desktop' /v LogPixels /t REG_DWORD \
        /d $((SCALE * 96 / 100)) /f >/dev/null 2>&1 || die "cannot set the display scaling"
    log "display scaling $SCALE %"
fi
# A screen at 150 % has that many more pixels: the desktop grows with the scale, so the
# program sees the same room in logical units as at 100 %.
DESKTOP_SIZE=$((1280 * SCALE / 100))x$((800 * SCALE / 100))

# The port list appears in the registry a moment after the Wine session starts; a port dialog
# opened before that is empty.
for _ in $(seq 1 40); do
    wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | grep -q 'COM5' && break
    sleep 0.25
done

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
    (cd "$RUN_DIR" && exec wine explorer /desktop=Torvan,"$DESKTOP_SIZE" "$EXE") >"$RUN_DIR/app.log" 2>&1 &
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
    import -window root -crop "$DESKTOP_SIZE"+0+0 +repage "$TORVAN_BUILD/screenshots/run.png" &&
        log "screenshot: $TORVAN_BUILD/screenshots/run.png"
    if [ -n "$WINDOW_SHOT" ]; then
        read -r wx wy ww wh < <(drv rect "$HWND")
        import -window root -crop "$((ww + 20))x$((wh + 20))+$((wx - 10))+$((wy - 10))" +repage \
            "$WINDOW_SHOT" && log "window: $WINDOW_SHOT"
    fi
    drv close "$HWND"
    drv wait-gone "$HWND" 10000 || log "the program did not close in time"
else
    log "close the program's window to stop"
    wait "$APP_PID"
fi
log "stopped"

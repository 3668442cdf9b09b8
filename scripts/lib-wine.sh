# Shared by the test and run scripts: a private Wine prefix under the build folder, a
# virtual display when there is none, and the COM ports COM5..COM8 mapped to stable link
# paths where the board emulator puts its pty.
#
# Callers set ROOT (the source tree) and may set TORVAN_BUILD (default ROOT/build), which
# keeps several checkouts or parallel runs apart.

TORVAN_BUILD=${TORVAN_BUILD:-$ROOT/build}
export WINEPREFIX=${WINEPREFIX:-$TORVAN_BUILD/wine}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
TORVAN_COM_DIR=$TORVAN_BUILD/com
TORVAN_COM_PORTS="5 6 7 8"

# Path of the link that COMn opens.
com_link() { echo "$TORVAN_COM_DIR/com$1"; }

wine_setup() {
    mkdir -p "$TORVAN_COM_DIR"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
        wineboot -i >/dev/null 2>&1 || true
        wineserver -w
    fi
    # The settings are written once per prefix; the marker remembers for which folder.
    local marker="$WINEPREFIX/.torvan-setup-v3" n
    if [ "$(cat "$marker" 2>/dev/null)" != "$TORVAN_COM_DIR" ]; then
        # Debian's Wine does not load the fonts that fonts-wine installs under
        # /usr/share/wine/fonts (a font trace lists none of them), so captions drew their
        # buttons' Marlett glyphs as the letters "0 1 r" and "tahoma" fell back to another
        # face. Fonts in the prefix's own Fonts folder are loaded as on Windows.
        local fonts="$WINEPREFIX/drive_c/windows/Fonts"
        mkdir -p "$fonts"
        cp -n /usr/share/wine/fonts/*.ttf /usr/share/wine/fonts/*.fon "$fonts"/ 2>/dev/null || true
        # Without a window manager, Wine waits about 2 s for one whenever a managed
        # top-level window is destroyed; unmanaged windows go at once.
        wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /t REG_SZ /d N /f \
            >/dev/null 2>&1
        for n in $TORVAN_COM_PORTS; do
            wine reg add 'HKLM\Software\Wine\Ports' /v "COM$n" /t REG_SZ \
                /d "$(com_link "$n")" /f >/dev/null 2>&1
        done
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
        # The first program of a new session builds the font cache: do it here rather than
        # under a caller's time limit.
        wine cmd /c exit >/dev/null 2>&1 || true
        # The callers start their own session, after their emulators' links exist.
        wineserver -k 2>/dev/null || true
        wineserver -w 2>/dev/null || true
        echo "$TORVAN_COM_DIR" >"$marker"
    fi
}

# Wine fills its list of serial ports (HKLM\HARDWARE\DEVICEMAP\SERIALCOMM) a moment after a
# session starts: a port dialog opened before that shows "<No Ports Found>". Starts the
# session and waits for COM5 to be listed.
wait_com_ports() {
    local _
    for _ in $(seq 1 40); do
        wine reg query 'HKLM\HARDWARE\DEVICEMAP\SERIALCOMM' 2>/dev/null | grep -q 'COM5' && return 0
        sleep 0.25
    done
    return 1
}

# Starts Xvfb on a free display unless DISPLAY already works; sets DISPLAY and XVFB_PID.
xvfb_start() {
    XVFB_PID=""
    if [ -n "${DISPLAY:-}" ] && xdpyinfo >/dev/null 2>&1; then
        return 0
    fi
    local n
    for n in $(seq 90 140); do
        [ -e "/tmp/.X11-unix/X$n" ] || [ -e "/tmp/.X$n-lock" ] && continue
        Xvfb ":$n" -screen 0 1920x1080x24 -nolisten tcp >/dev/null 2>&1 &
        XVFB_PID=$!
        export DISPLAY=":$n"
        local i
        for i in $(seq 1 50); do
            xdpyinfo >/dev/null 2>&1 && return 0
            sleep 0.1
        done
        kill "$XVFB_PID" 2>/dev/null
    done
    echo "xvfb_start: no free display" >&2
    return 1
}

xvfb_stop() {
    [ -n "${XVFB_PID:-}" ] && kill "$XVFB_PID" 2>/dev/null
    XVFB_PID=""
}

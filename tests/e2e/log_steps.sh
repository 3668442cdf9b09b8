# Steps shared by the log scenarios: answering Start Log's Save-As dialog and the log interval
# window, and reading the log file. Sourced after lib.sh.

UDM_SETPOS32=1137 # WM_USER + 113

# start_log_into UNIX_PATH [replace]: Logging/Start Log, then the file name typed into the
# Save-As dialog and Save pressed; with "replace", Yes to the question whether to replace the
# file that is there already.
start_log_into() {
    drv command "$APP_HWND" 40420
    local dlg edit
    dlg=$(drv find-popup "Log File Name" 10000 | cut -f1)
    [ -n "$dlg" ] || fail "no \"Log File Name\" dialog"
    edit=$(drv children "$dlg" | awk -F'\t' '$3 == "Edit" { print $1; exit }')
    [ -n "$edit" ] || fail "no file name field in the Save-As dialog"
    drv set-text "$edit" "$(winepath -w "$1")"
    drv command "$dlg" 1
    if [ "${2:-}" = replace ]; then
        local box="" i w
        for i in $(seq 1 50); do
            for w in $(drv all '#32770' 2>/dev/null); do
                [ "$w" != "$dlg" ] && box=$w
            done
            [ -n "$box" ] && break
            sleep 0.1
        done
        [ -n "$box" ] || fail "no question about replacing $1"
        drv command "$box" 6 # IDYES
    fi
    drv wait-gone "$dlg" 5000 || fail "the Save-As dialog stayed open"
    step "Start Log into $1"
}

# choose_interval MIN SEC MSEC: sets the three spins and presses OK.
choose_interval() {
    local win
    win=$(drv wait-window LogIntervalWin 10000) || fail "no log interval window"
    drv send "$(drv dlg-item "$win" 1024)" $UDM_SETPOS32 0 "$1" >/dev/null
    drv send "$(drv dlg-item "$win" 1022)" $UDM_SETPOS32 0 "$2" >/dev/null
    drv send "$(drv dlg-item "$win" 1020)" $UDM_SETPOS32 0 "$3" >/dev/null
    drv command "$win" 1036
    drv wait-gone LogIntervalWin 5000 || fail "the log interval window stayed open"
    step "interval $1 min $2 s $3 ms"
}

# The log file's lines without the CR of the Windows line ending.
log_lines() { tr -d '\r' <"$1"; }
log_count() { log_lines "$1" | wc -l; }

# logging_menu: "START STOP" states of the Logging popup's two items.
logging_menu() {
    echo "$(drv menu-state "$APP_HWND" 3 40420 | cut -d' ' -f1)" \
        "$(drv menu-state "$APP_HWND" 3 40430 | cut -d' ' -f1)"
}

#!/usr/bin/env bash
# A log in a Czech folder under a Chinese name, each outside the other's code page: typed into
# the Save-As dialog as the operator would, the file appears under exactly that name with the
# usual lines, and the box at the connection's end names it. Then torvanctl.exe's capture
# writes into the same folder under a name given on its command line.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/log_steps.sh"
export LC_ALL=C.UTF-8

start_emu 5 --kind meter --baud 230400
emu_ctl 5 "flow 37.5"
start_app
connect_to COM5 "Torvan Meter On COM5"

folder="$E2E_TMP/Měření"
mkdir -p "$folder"
windows_folder="Z:${folder//\//\\}"
# Typed, not picked from Wine's path conversion: the test owns every character.
start_log_into_windows_path() {
    drv command "$APP_HWND" 40420
    local dlg edit
    dlg=$(drv find-popup "Log File Name" 10000 | cut -f1)
    [ -n "$dlg" ] || fail "no \"Log File Name\" dialog"
    edit=$(drv children "$dlg" | awk -F'\t' '$3 == "Edit" { print $1; exit }')
    [ -n "$edit" ] || fail "no file name field in the Save-As dialog"
    drv set-text "$edit" "$1"
    drv command "$dlg" 1
    drv wait-gone "$dlg" 5000 || fail "the Save-As dialog stayed open"
}
start_log_into_windows_path "$windows_folder\\流量.csv"
drv find-popup "FILE ERROR" 500 >/dev/null 2>&1 && fail "FILE ERROR: $(drv find-popup "FILE ERROR" 0 | cut -f2)"
choose_interval 0 0 500
sleep 2

assert_eq "$(ls "$folder")" "流量.csv" "the file's name on the Linux side"
log_lines "$folder/流量.csv" >"$E2E_TMP/log.txt"
assert_eq "$(head -1 "$E2E_TMP/log.txt")" "Date, Time, Flow Rate, Log Interval: 500 Msec" "header"
bad=$(tail -n +2 "$E2E_TMP/log.txt" |
    grep -c -v -E '^[0-9]{2}/[0-9]{2}/20[0-9]{2},[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3},37\.5[0-9]{5}$')
samples=$(($(wc -l <"$E2E_TMP/log.txt") - 1))
[ "$samples" -ge 2 ] && [ "$bad" -eq 0 ] || fail "$samples sample lines, $bad not as usual"
step "ok: $samples sample lines"

drv command "$APP_HWND" 40130
box=$(drv find-popup "Logging Stopped" 5000) || fail "no \"Logging Stopped\" box after Close"
assert_match "$box" "File: ${windows_folder//\\/\\\\}\\\\流量\.csv" "the box names the file as typed"
drv command "$(cut -f1 <<<"$box")" 1

wine "$WIN_BUILD/ctl/torvanctl.exe" capture COM5 --duration 1 --out "$windows_folder\\流量 capture.csv" \
    >"$E2E_TMP/ctl.out" 2>&1 || fail "torvanctl capture: $(cat "$E2E_TMP/ctl.out")"
[ -f "$folder/流量 capture.csv" ] || fail "torvanctl wrote no \"流量 capture.csv\": $(ls "$folder")"
lines=$(tr -d '\r' <"$folder/流量 capture.csv" | grep -c -E '^[0-9]+\.[0-9]{3},')
[ "$lines" -ge 150 ] || fail "$lines samples captured in 1 s"
step "ok: torvanctl captured $lines samples into 流量 capture.csv"
pass

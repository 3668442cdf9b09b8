#!/usr/bin/env bash
# The command window against a controller on COM5: "V5" typed and Enter reaches the board as
# typed, is echoed and the board's reply follows it in the output; a line too long for the
# command queue is refused with a notice and never reaches the board; closing and reopening
# from the View menu starts again from the initial text.
source "$(dirname "$0")/lib.sh"

# Posts the characters of $2 to the entry $1 as WM_CHAR messages, then Enter.
type_line() {
    local entry=$1 text=$2 i
    for ((i = 0; i < ${#text}; i++)); do
        drv post "$entry" 0x102 "$(printf '%d' "'${text:i:1}")" 0 || fail "typing"
    done
    drv post "$entry" 0x102 13 0 || fail "Enter"
}

# The output pane's text, with its CR LF line ends turned into plain lines.
output_text() { drv get-text "$OUTPUT" | tr -d '\r'; }

start_emu 5 --kind controller --baud 230400
start_app
connect_to COM5 "Torvan Controller On COM5" "controller title"
wait_record 5 'G18' 10 || fail "no gas reads"

drv command "$APP_HWND" 40580
CMD=$(drv wait-window CmdWin "Torvan Controller On COM5 Command Window" 10000) ||
    fail "no command window"
assert_eq "$(drv menu-state "$APP_HWND" 2 40580)" "enabled checked" "Command Window checked"
OUTPUT=$(drv dlg-item "$CMD" 1049)
ENTRY=$(drv dlg-item "$CMD" 1050)
assert_eq "$(output_text)" $'11111\n22222' "initial output"

# The board's set point, so that V5 has a known answer.
mark=$(record_mark 5)
drv command "$APP_HWND" 40520
SP=$(drv wait-window '#32770' "Set Point" 10000) || fail "no set point dialog"
drv command "$SP" 2020
wait_record 5 'V5=20\.000000' 5 "$mark" || fail "set point not sent"

mark=$(record_mark 5)
type_line "$ENTRY" "V5"
wait_record 5 'V5' 5 "$mark" || fail "V5 did not reach the board"
assert_eq "$(record_cmds 5 "$mark" | grep -c -E '^V5')" "1" "commands typed"
for _ in $(seq 1 50); do
    [ "$(output_text | wc -l)" -ge 4 ] && break
    sleep 0.1
done
output_text >"$E2E_TMP/output.txt"
step "output: $(tr '\n' '|' <"$E2E_TMP/output.txt")"
assert_contains_in_order "$E2E_TMP/output.txt" 11111 22222 V5 '.*20\.0+.*'
assert_eq "$(drv get-text "$ENTRY" | tr -d '\r\n')" "" "entry after Enter"
screenshot tools_cmdwin

# 300 characters: the queue carries at most 253 and a line break, so nothing is sent.
mark=$(record_mark 5)
long=$(printf 'S54=%0296d' 0)
# WM_SETTEXT raises no change notification in a multi-line edit: the line is complete only
# once Enter is typed at its end (EM_SETSEL puts the caret there).
drv set-text "$ENTRY" "$long" || fail "entry text"
drv send "$ENTRY" 0xB1 300 300 >/dev/null
drv post "$ENTRY" 0x102 13 0
for _ in $(seq 1 30); do
    output_text | grep -q 'not sent' && break
    sleep 0.1
done
assert_match "$(output_text | grep 'not sent')" 'not sent.*300' "notice for the long line"
sleep 0.5
assert_eq "$(record_cmds 5 "$mark" | grep -c '^S54=')" "0" "long line sent to the board"
assert_eq "$(drv get-text "$ENTRY" | tr -d '\r\n')" "$long" "long line kept in the entry"

drv close "$CMD"
drv wait-gone "$CMD" 5000 || fail "command window did not close"
assert_eq "$(drv menu-state "$APP_HWND" 2 40580)" "enabled unchecked" "Command Window unchecked"
drv command "$APP_HWND" 40580
CMD=$(drv wait-window CmdWin "Command Window" 10000) || fail "command window did not reopen"
OUTPUT=$(drv dlg-item "$CMD" 1049)
assert_eq "$(output_text)" $'11111\n22222' "output after reopening"
pass

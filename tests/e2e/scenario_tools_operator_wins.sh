#!/usr/bin/env bash
# What the operator did is what the board gets, against a controller on COM5 named "Bench Rig":
# the set point dialog's 60 % and straight back to 50 % (quicker than a state poll) leaves the
# board at 50 %; two lines pasted into the command window reach the board as two commands,
# each answer under its own echo, with no reconnection; a command the board does not answer
# shows no other command's answer: it goes again after the reconnection and its own answer
# comes under that second echo.
source "$(dirname "$0")/lib.sh"

output_text() { drv get-text "$OUTPUT" | tr -d '\r' | sed '/^$/d'; }
# Waits until the output pane has at least $1 lines.
wait_output_lines() {
    local _
    for _ in $(seq 1 50); do
        [ "$(output_text | wc -l)" -ge "$1" ] && return 0
        sleep 0.1
    done
    return 1
}
last_setpoint_sent() { record_cmds 5 | grep -E '^V5=' | tail -1; }

start_emu 5 --kind controller --baud 230400 --name "Bench Rig"
start_app
connect_to COM5 "Bench Rig" "controller title"
wait_record 5 'G18' 10 || fail "no gas reads"

step "set point 50 %, then 60 % and straight back to 50 %"
drv command "$APP_HWND" 40520
SP=$(drv wait-window '#32770' "Set Point" 10000) || fail "no set point dialog"
mark=$(record_mark 5)
drv command "$SP" 2050
wait_record 5 'V5=50\.000000' 5 "$mark" || fail "the 50% button sent nothing"
# Let a state poll bring the board's 50 % back.
wait_record 5 '~GLSV' 5 "$(record_mark 5)" || fail "no state poll"
mark=$(record_mark 5)
drv command "$SP" 2060 2050
sleep 1
step "V5 commands since: $(record_cmds 5 "$mark" | grep -E '^V5=' | tr '\n' ' ')"
assert_eq "$(last_setpoint_sent)" "V5=50.000000" "the board's last set point"
drv close "$SP"

step "command window: two pasted lines"
drv command "$APP_HWND" 40580
CMD=$(drv wait-window CmdWin "Bench Rig Command Window" 10000) || fail "no command window"
OUTPUT=$(drv dlg-item "$CMD" 1049)
ENTRY=$(drv dlg-item "$CMD" 1050)
mark=$(record_mark 5)
drv paste "$ENTRY" 'S54\nV5\n' || fail "paste"
wait_record 5 'V5' 5 "$mark" || fail "V5 did not reach the board"
wait_output_lines 6 || fail "answers missing: $(output_text | tr '\n' '|')"
sleep 0.5
record_cmds 5 "$mark" | grep -v -E '^~G' >"$E2E_TMP/sent.txt"
step "sent: $(tr '\n' '|' <"$E2E_TMP/sent.txt")"
assert_contains_in_order "$E2E_TMP/sent.txt" 'S54' 'V5'
assert_eq "$(grep -c -E '^(S54|V5)$' "$E2E_TMP/sent.txt")" "2" "commands on the board"
assert_eq "$(grep -c -E '^S64$' "$E2E_TMP/sent.txt")" "0" "reconnections (product queries)"
output_text >"$E2E_TMP/output.txt"
step "output: $(tr '\n' '|' <"$E2E_TMP/output.txt")"
assert_contains_in_order "$E2E_TMP/output.txt" 11111 22222 S54 'Bench Rig' V5 '50\.0+'
assert_eq "$(drv get-text "$ENTRY" | tr -d '\r\n')" "" "entry after the paste"

step "a command the board does not answer"
emu_ctl 5 "mute S54"
mark=$(record_mark 5)
drv paste "$ENTRY" 'S54\n' || fail "paste"
wait_record 5 'S54' 5 "$mark" || fail "S54 did not reach the board"
# The silence is a link fault: the program reconnects (asking the board's name again, which
# is answered), and the state poll resumes.
wait_record 5 'S64' 10 "$mark" || fail "no reconnection after the silence"
wait_record 5 '~GLSV' 10 "$(record_mark 5)" || fail "no state poll after reconnecting"
output_text | sed -n "$(($(wc -l <"$E2E_TMP/output.txt") + 1)),\$p" >"$E2E_TMP/after.txt"
step "output after the silent command: $(tr '\n' '|' <"$E2E_TMP/after.txt")"
wait_output_lines $(($(wc -l <"$E2E_TMP/output.txt") + 3)) || fail "no answer to the line sent again"
output_text | sed -n "$(($(wc -l <"$E2E_TMP/output.txt") + 1)),\$p" >"$E2E_TMP/after.txt"
assert_eq "$(tr '\n' '|' <"$E2E_TMP/after.txt")" "S54|S54|Bench Rig|" \
    "the echo, the echo of the line sent again after the reconnection, its own answer"
output_text >"$E2E_TMP/output.txt"
# The window still works after the reconnection.
drv paste "$ENTRY" 'V5\n' || fail "paste"
wait_output_lines $(($(wc -l <"$E2E_TMP/output.txt") + 2)) || fail "no answer after reconnecting"
assert_match "$(output_text | tail -1)" '^50\.0+' "answer after reconnecting"
screenshot tools_operator_wins
pass

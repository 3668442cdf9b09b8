#!/usr/bin/env bash
# The adapter is gone for a second while a log runs (the emulator's port disappears and comes
# back): the reconnection rides through it. The log goes on growing with whole lines, logging
# stays active, and neither a "Logging Stopped" box nor the port dialog appears.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/log_steps.sh"

start_emu 5 --kind controller --baud 230400
start_app
connect_to COM5 "Torvan Controller On COM5"
log=$E2E_TMP/outage.csv
start_log_into "$log"
choose_interval 0 0 200
sleep 1.5
before=$(log_count "$log")
mark=$(record_mark 5)
emu_ctl 5 "fault hangup 1000"
back=0
for _ in $(seq 1 80); do
    drv find-popup "Logging Stopped" 0 >/dev/null 2>&1 && fail "the log was stopped"
    drv find-popup "Select Serial Port" 0 >/dev/null 2>&1 && fail "the port dialog opened"
    if [ "$(record_cmds 5 "$mark" | sed -n '/^~SNLC=0x0D0A$/,$p' | grep -c '^~GLSV$')" -ge 3 ]; then
        back=1
        break
    fi
    sleep 0.25
done
[ "$back" == 1 ] || fail "no reconnection after the outage"
sleep 1.5
after=$(log_count "$log")
step "log lines: $before before the outage, $after after"
[ "$after" -ge $((before + 5)) ] || fail "the log stopped growing: $before then $after lines"
assert_eq "$(logging_menu)" "grayed enabled" "still logging"
drv find-popup "Logging Stopped" 0 >/dev/null 2>&1 && fail "a notice after the outage"
drv find-popup "Select Serial Port" 0 >/dev/null 2>&1 && fail "the port dialog after the outage"
assert_eq "$(log_lines "$log" | tail -n +2 | grep -c -v -E \
    '^[0-9]{2}/[0-9]{2}/20[0-9]{2},[0-9]{2}:[0-9]{2}:[0-9]{2}\.[0-9]{3},-?[0-9]+\.[0-9]{6}$')" \
    "0" "every line whole"
step "longest pause between lines: $(log_lines "$log" | tail -n +2 | awk -F'[,:]' '
    { t = ($2 * 60 + $3) * 60 + $4; if (NR > 1 && t - p > g) g = t - p; p = t }
    END { printf "%.3f s", g }')"
pass

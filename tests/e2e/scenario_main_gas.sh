#!/usr/bin/env bash
# A change of the board's active gas is noticed from the state poll and answered with one set
# of gas reads (symbol, units, time factor, full scale), in that order; while the gas stays
# the same, no further gas reads are sent.
source "$(dirname "$0")/lib.sh"

start_emu 5 --kind controller --baud 230400
start_app
connect_to COM5 "Torvan Controller On COM5"
wait_record 5 'G18' 10 || fail "no gas reads after connecting"

gas_reads() { record_cmds 5 "$1" | grep -c -E '^G(4|7|18|19)$'; }

mark=$(record_mark 5)
sleep 2
assert_eq "$(gas_reads "$mark")" "0" "gas reads while the gas stays 0"

for gas in 1 3 0; do
    mark=$(record_mark 5)
    emu_ctl 5 "gas $gas"
    wait_record 5 'G18' 10 "$mark" || fail "no gas reads after the change to gas $gas"
    sleep 2
    record_cmds 5 "$mark" >"$E2E_TMP/gas$gas.txt"
    assert_contains_in_order "$E2E_TMP/gas$gas.txt" '~GLSV' G4 G7 G19 G18
    assert_eq "$(gas_reads "$mark")" "4" "gas reads in the 2 s after the change to gas $gas"
    [ "$gas" == 1 ] && screenshot main_gas_argon
done
pass

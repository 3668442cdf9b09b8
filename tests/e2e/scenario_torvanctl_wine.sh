#!/usr/bin/env bash
# torvanctl.exe under Wine against an emulated controller on COM5: probe finds the board at
# its speed and names it, state reads a record, get/set reach a register, log writes its CSV,
# step-test prints JSON a script can read, a port with nothing behind it gives exit code 3,
# and the board gets its line ending and speed back after every command.
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
source "$ROOT/scripts/lib-wine.sh"
WIN_BUILD=${WIN_BUILD:-$TORVAN_BUILD/win}
EMU=$TORVAN_BUILD/native/emulator/torvan-emu
CTL=$WIN_BUILD/ctl/torvanctl.exe

TMP=$(mktemp -d /tmp/torvanctl-wine-XXXXXX)
EMU_PID=""
cleanup() {
    [ -n "$EMU_PID" ] && kill "$EMU_PID" 2>/dev/null && wait "$EMU_PID" 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT

fail() {
    echo "FAIL: $*" >&2
    for f in "$TMP"/*.out "$TMP"/*.err "$TMP"/*.csv "$TMP"/board.rec; do
        [ -f "$f" ] && { echo "--- $(basename "$f")" >&2; cat "$f" >&2; }
    done
    exit 1
}

[ -x "$EMU" ] || fail "emulator not built: $EMU"
[ -f "$CTL" ] || fail "torvanctl.exe not built: $CTL"
wine_setup

"$EMU" --link "$(com_link 5)" --kind controller --baud 19200 --name "Wine Bench" \
    --record "$TMP/board.rec" --control "$TMP/board.ctl" >"$TMP/emu.log" 2>&1 &
EMU_PID=$!
for i in $(seq 1 100); do
    grep -q '^ready' "$TMP/emu.log" 2>/dev/null && [ -e "$(com_link 5)" ] && break
    sleep 0.05
done
[ -e "$(com_link 5)" ] || fail "emulator did not start"

# Runs torvanctl.exe; stdout (without Windows line ends) in $TMP/NAME.out, exit code in RC.
ctl() {
    local name=$1
    shift
    wine "$CTL" "$@" 2>"$TMP/$name.err" | tr -d '\r' >"$TMP/$name.out"
    RC=${PIPESTATUS[0]}
}

# The program may end before the emulator has read its last bytes off the pty.
expect_restored() {
    local last2 i
    for i in $(seq 1 60); do
        [[ "$(tail -1 "$TMP/board.rec" | cut -d' ' -f2-)" == "~BAUD="* ]] && break
        sleep 0.05
    done
    last2=$(tail -2 "$TMP/board.rec" | cut -d' ' -f2-)
    [[ "$(head -1 <<<"$last2")" == "~SNLC="* ]] || fail "$1: line ending not restored: $last2"
    [ "$(tail -1 <<<"$last2")" = "~BAUD=19200" ] || fail "$1: speed not restored: $last2"
}

start=$(date +%s.%N)
ctl probe probe COM5
echo "probe took $(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.3f", b - a }') s under Wine"
[ "$RC" -eq 0 ] || fail "probe exit code $RC"
grep -qx 'port: COM5' "$TMP/probe.out" || fail "probe: port line"
grep -qx 'kind: controller' "$TMP/probe.out" || fail "probe: kind line"
grep -qx 'name: Wine Bench' "$TMP/probe.out" || fail "probe: name line"
grep -qx 'speed: 19200' "$TMP/probe.out" || fail "probe: speed line"
grep -qE '^line ending: 0x[0-9A-F]+$' "$TMP/probe.out" || fail "probe: line ending line"
expect_restored probe

echo "flags 2" >"$TMP/board.ctl"
sleep 0.1
ctl state state COM5 --json
[ "$RC" -eq 0 ] || fail "state exit code $RC"
grep -q '"status_flags":2,"alarms":\["High Flow Alarm"\]' "$TMP/state.out" ||
    fail "state: flags not reported"
expect_restored state

ctl set set COM5 V29 2222
[ "$RC" -eq 0 ] || fail "set exit code $RC"
ctl get get COM5 V29
[ "$RC" -eq 0 ] || fail "get exit code $RC"
[ "$(cat "$TMP/get.out")" = "2222" ] || fail "get: $(cat "$TMP/get.out")"
expect_restored get

# The log file is written by the Windows program: give it a Windows path.
ctl log log COM5 --interval 250 --duration 1.2 --out "Z:${TMP//\//\\}\\flow.csv"
[ "$RC" -eq 0 ] || fail "log exit code $RC"
head -1 "$TMP/flow.csv" | grep -q '^Date, Time, Flow Rate, Log Interval: 250 Msec, Board: Wine Bench, Gas: ' ||
    fail "log header: $(head -1 "$TMP/flow.csv")"
# Written in text mode, so each line ends in CR LF as in the window program's log.
samples=$(tail -n +2 "$TMP/flow.csv" | tr -d '\r' |
    grep -cE '^[0-9]{2}/[0-9]{2}/[0-9]{4},[0-9:]{8}\.[0-9]{3},-?[0-9]+\.[0-9]{6}$')
[ "$samples" -ge 3 ] && [ "$samples" -le 6 ] || fail "log: $samples sample lines"
expect_restored log

# A step test under Wine: its one JSON object is what a script reads. The controller's
# 300 ms lag brings 0 -> 20 %FS into the default band of 1 %FS after 0.3 ln 20 = 0.9 s.
ctl step step-test COM5 --steps 0,20 --hold 2 --json
[ "$RC" -eq 0 ] || fail "step-test exit code $RC"
echo "step-test under Wine: $(cat "$TMP/step.out")"
python3 - "$TMP/step.out" <<'PY' || fail "step-test JSON: $(cat "$TMP/step.out")"
import json, sys
report = json.load(open(sys.argv[1]))
steps = report["steps"]
assert [(s["from"], s["to"]) for s in steps] == [(0, 0), (0, 20)], steps
assert 700 < steps[1]["settle_ms"] < 1400, steps[1]
assert report["board"]["name"] == "Wine Bench" and report["pass"] is True, report
PY
expect_restored step-test

ctl nothing probe COM8
[ "$RC" -eq 3 ] || fail "COM8 with nothing behind it: exit code $RC"

echo "PASS scenario_torvanctl_wine"

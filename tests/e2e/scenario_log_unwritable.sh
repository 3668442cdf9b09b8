#!/usr/bin/env bash
# A log file that cannot be opened for writing (an existing read-only, immutable file): Start Log shows
# "Error Opening File: <path>" in a "FILE ERROR" box, opens no interval window and changes no
# state; the file keeps its contents.
source "$(dirname "$0")/lib.sh"
source "$(dirname "$0")/log_steps.sh"

start_app
log=$E2E_TMP/readonly.csv
echo "keep me" >"$log"
chmod 444 "$log"
# Read-only bits don't stop root; the immutable flag does (and must go before the clean-up).
if [ "$(id -u)" = 0 ]; then
    chattr +i "$log" 2>/dev/null || skip "root, and no immutable flag on this file system"
    trap 'rc=$?; chattr -i "$log" 2>/dev/null; (exit $rc); e2e_cleanup' EXIT
fi
start_log_into "$log" replace
box=$(drv find-popup "FILE ERROR" 10000) || fail "no FILE ERROR box"
assert_eq "$(cut -f2 <<<"$box")" "Error Opening File: $(winepath -w "$log")" "error text"
screenshot log_unwritable
drv command "$(cut -f1 <<<"$box")" 1
drv wait-gone "$(cut -f1 <<<"$box")" 5000 || fail "the box stayed"
sleep 0.5
assert_eq "$(drv all LogIntervalWin)" "" "no log interval window"
assert_eq "$(logging_menu)" "enabled grayed" "Logging menu unchanged"
assert_eq "$(cat "$log")" "keep me" "file untouched"
pass

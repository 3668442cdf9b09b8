#!/usr/bin/env bash
# A long chaos campaign: prints how many schedules a second the simulation runs here, and the
# campaign's last line. Figures only; the campaign's verdict is its exit status.
#
#   bench/chaos.sh [SCHEDULES] [SEED]    (default 20000 schedules, seed 1)
#
# Known faults are counted apart, as scripts/chaos.sh does; CHAOS_STRICT=1 counts them too.
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
COUNT=${1:-20000}
SEED=${2:-1}
# Built first, so the time is the campaign's alone.
"$ROOT/scripts/chaos.sh" --print 1 >/dev/null || exit 2
START=$(date +%s.%N)
STRICT=()
[ "${CHAOS_STRICT:-0}" = 1 ] && STRICT=(--strict)
OUT=$("$ROOT/scripts/chaos.sh" --schedules "$COUNT" --seed "$SEED" "${STRICT[@]}" 2>/dev/null)
RC=$?
END=$(date +%s.%N)
echo "$OUT" | grep '^chaos: ' | tail -2
awk -v n="$COUNT" -v a="$START" -v b="$END" \
    'BEGIN { s = b - a; printf "bench/chaos.sh: %d schedules in %.1f s: %.0f schedules/s\n", n, s, n / s }'
[ "$RC" -ne 0 ] && echo "$OUT" | head -60
exit "$RC"

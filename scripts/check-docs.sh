#!/usr/bin/env bash
# Keeps docs/architecture.md's message and timer tables true to the code: every WM_* and
# TIMER_* constant defined in the program's headers must appear in a table row with the same
# number, and every row must name a constant that exists with that number.
# Prints the differences and exits 1 when there are any.
set -euo pipefail
ROOT=$(cd "$(dirname "$0")/.." && pwd)
DOC=${1:-$ROOT/docs/architecture.md}

# "NAME NUMBER" for each constant, e.g. "WM_SERIAL_ERROR 32771".
code=$(grep -hoE 'constexpr +(unsigned|UINT|int|uint32_t) +(WM|TIMER)_[A-Z0-9_]+ *= *[0-9]+' \
    "$ROOT"/app/*.h "$ROOT"/app/win32/*.h "$ROOT"/display/*.h "$ROOT"/display/win32/*.h \
    "$ROOT"/tools/*.h "$ROOT"/tools/win32/*.h "$ROOT"/device/*.h 2>/dev/null |
    sed -E 's/.* ((WM|TIMER)_[A-Z0-9_]+) *= *([0-9]+)/\1 \3/' | sort -u)
# Table rows of the form "| 32771 | `WM_SERIAL_ERROR` | ...".
doc=$(grep -E '^\| *[0-9]+ *\| *`(WM|TIMER)_[A-Z0-9_]+`' "$DOC" |
    sed -E 's/^\| *([0-9]+) *\| *`([A-Z0-9_]+)`.*/\2 \1/' | sort -u)

if [ -z "$code" ] || [ -z "$doc" ]; then
    echo "check-docs: found no constants or no table rows" >&2
    exit 1
fi
missing=$(comm -23 <(echo "$code") <(echo "$doc"))
stale=$(comm -13 <(echo "$code") <(echo "$doc"))
if [ -n "$missing" ] || [ -n "$stale" ]; then
    [ -n "$missing" ] && printf 'in the code, not in %s:\n%s\n' "${DOC#$ROOT/}" "$missing" >&2
    [ -n "$stale" ] && printf 'in %s, not in the code:\n%s\n' "${DOC#$ROOT/}" "$stale" >&2
    exit 1
fi
echo "check-docs: $(echo "$code" | wc -l) messages and timers match ${DOC#$ROOT/}"

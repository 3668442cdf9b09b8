#!/usr/bin/env bash
# Writes a program's man page, gzipped, from what the program itself prints: help2man reads
# its --help and --version, and for a program with commands each command's --help follows in
# a COMMANDS section. The page therefore says what the built program does.
#
#   cmake/man-page.sh PROGRAM "WHAT IT IS, IN A LINE" OUT.1.gz
set -euo pipefail
PROGRAM=$1
NAME_LINE=$2
OUT=$3
source "$(dirname "$0")/../scripts/lib-help.sh"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Help text as preformatted roff: backslashes and a leading dot or quote would be read as
# requests.
roff_text() { sed -e 's/\\/\\e/g' -e "s/^\\([.']\\)/\\\\\\&\\1/"; }

include=()
commands=$(help_commands "$PROGRAM")
if [ -n "$commands" ]; then
    {
        echo "[COMMANDS]"
        for command in $commands; do
            echo ".SS $command"
            echo ".nf"
            "$PROGRAM" "$command" --help | roff_text
            echo ".fi"
        done
    } >"$work/commands.h2m"
    include=(--include "$work/commands.h2m")
fi

help2man --no-info --section 1 --name "$NAME_LINE" "${include[@]}" --output "$work/page.1" \
    "$PROGRAM"
mkdir -p "$(dirname "$OUT")"
gzip -9n <"$work/page.1" >"$OUT.tmp"
mv "$OUT.tmp" "$OUT"

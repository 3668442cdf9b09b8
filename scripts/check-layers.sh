#!/usr/bin/env bash
# Keeps the layers: every quoted #include of a source folder must name a header of a folder at
# or below its own. Folders share one include root, so the compiler alone would let device/
# include app/; this check is what stops it. The build runs it before compiling anything, and
# the docs tier of scripts/test.sh runs it too. Prints each include that runs up and exits 1
# when there is any.
#
#   resources/                     ids of menus, controls, application messages and timers
#   device/                        device/ (device/win32 also resources/)
#   display/  tools/               their own folder only
#   display/win32                  display/, resources/
#   tools/win32                    tools/, display/, resources/
#   app/  app/posix                app/ (not app/win32), device/, resources/
#   app/win32                      everything above, app/win32
#   ctl/                           ctl/, device/, display/ (portable), the file helpers of app/
#                                  (no program state)
#   emulator/                      emulator/ only: it shares no code with the program
#
#   scripts/check-layers.sh [ROOT]
set -euo pipefail
ROOT=${1:-$(cd "$(dirname "$0")/.." && pwd)}
cd "$ROOT"

# Extended regular expression of the headers a file in folder $1 may include.
allowed() {
    case $1 in
    resources) echo '^resources/' ;;
    device | device/posix) echo '^device/[^/]+$|^device/posix/' ;;
    device/win32) echo '^device/|^resources/' ;;
    display) echo '^display/[^/]+$' ;;
    display/win32) echo '^display/|^resources/' ;;
    tools) echo '^tools/[^/]+$' ;;
    tools/win32) echo '^tools/|^display/|^resources/' ;;
    app | app/posix) echo '^app/[^/]+$|^app/posix/|^device/[^/]+$|^resources/' ;;
    app/win32) echo '^app/|^device/|^display/|^tools/|^resources/' ;;
    ctl | ctl/posix | ctl/win32)
        echo '^ctl/|^device/[^/]+$|^display/[^/]+$|^app/(LogFormat|Utf8File)\.h$|^app/win32/WideText\.h$' ;;
    emulator) echo '^emulator/' ;;
    *) return 1 ;;
    esac
}

FAILED=0
COUNT=0
while IFS= read -r file; do
    folder=$(dirname "$file")
    rule=$(allowed "$folder") || {
        echo "check-layers: $folder has no layer rule (add it to scripts/check-layers.sh)" >&2
        FAILED=1
        continue
    }
    while IFS=: read -r line header; do
        COUNT=$((COUNT + 1))
        if ! [[ $header =~ $rule ]]; then
            echo "$file:$line: includes $header, which lies above $folder/" >&2
            FAILED=1
        fi
    done < <(
        grep -nE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' "$file" |
        sed -E 's/^([0-9]+):[[:space:]]*#[[:space:]]*include[[:space:]]*"([^"]+)".*/\1:\2/')
done < <(find resources app device display tools ctl emulator -type f \
    \( -name '*.h' -o -name '*.cpp' \) | sort)

[ "$FAILED" = 0 ] && echo "check-layers: $COUNT includes, none runs up"
exit "$FAILED"

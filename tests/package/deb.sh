#!/usr/bin/env bash
# The Debian package as a user gets it: scripts/package.sh builds
# build/package/torvan-one_<version>_<arch>.deb, which holds torvanctl, torvan-emu, their man
# pages and the bash completion and depends only on Debian's packages; SHA256SUMS lists it.
# Installed with dpkg -i, torvanctl and torvan-emu run from the PATH with the project version,
# man finds both pages and the completion knows the commands; dpkg -r removes it all again.
#
# The install is into this machine's own /usr (CI runs as root): the package is removed at the
# end whatever failed, and a copy left by an interrupted run is removed first. Without root the
# install half is skipped and said so.
set -uo pipefail
ROOT=$(cd "$(dirname "$0")/../.." && pwd)
if [ -n "${TORVAN_BUILD:-}" ] && [[ "$TORVAN_BUILD" != /* ]]; then
    TORVAN_BUILD=$PWD/$TORVAN_BUILD
fi
TORVAN_BUILD=${TORVAN_BUILD:-$ROOT/build}
TMP=$(mktemp -d "${TMPDIR:-/tmp}/torvan-deb.XXXXXX")
INSTALLED=0

step() { echo "[$(date +%T)] $*"; }
fail() {
    echo "FAIL deb: $*" >&2
    exit 1
}

# dpkg waits for no one: while another dpkg or apt holds its lock, try again for a while.
dpkg_locked() {
    local i out
    for i in $(seq 1 90); do
        if out=$(dpkg "$@" 2>&1); then
            echo "$out"
            return 0
        fi
        grep -qi 'lock' <<<"$out" || {
            echo "$out" >&2
            return 1
        }
        sleep 2
    done
    echo "$out" >&2
    return 1
}

cleanup() {
    local rc=$?
    if ((INSTALLED)); then
        dpkg_locked -r torvan-one >/dev/null || echo "deb: could not remove torvan-one" >&2
    fi
    rm -rf "$TMP"
    exit "$rc"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

VERSION=$(sed -n 's/^project(TorvanOne VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt")
[[ "$VERSION" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || fail "no project version"
ARCH=$(dpkg --print-architecture)
DEB=$TORVAN_BUILD/package/torvan-one_${VERSION}_$ARCH.deb

step "package.sh deb"
rm -f "$DEB"
TORVAN_BUILD=$TORVAN_BUILD "$ROOT/scripts/package.sh" deb >"$TMP/package.log" 2>&1 || {
    cat "$TMP/package.log"
    fail "package.sh failed"
}
[ -s "$DEB" ] || fail "no $DEB"
(cd "$TORVAN_BUILD/package" && grep -q " torvan-one_${VERSION}_$ARCH.deb\$" SHA256SUMS &&
    sha256sum --quiet -c SHA256SUMS) || fail "SHA256SUMS does not hold the package's checksum"
step "ok: $(basename "$DEB"), in SHA256SUMS"

step "contents"
dpkg-deb -c "$DEB" | awk '{ print $1, $6 }' >"$TMP/contents.txt"
for f in ./usr/bin/torvanctl ./usr/bin/torvan-emu ./usr/share/man/man1/torvanctl.1.gz \
    ./usr/share/man/man1/torvan-emu.1.gz ./usr/share/bash-completion/completions/torvanctl; do
    grep -q "^-.* $f\$" "$TMP/contents.txt" || {
        cat "$TMP/contents.txt"
        fail "$f not in the package"
    }
done
grep -q '^-rwxr-xr-x ./usr/bin/torvanctl$' "$TMP/contents.txt" || fail "torvanctl not executable"
step "ok: binaries, man pages and completion"

# What the programs link must come from Debian: libc, libstdc++, libgcc, nothing of ours.
depends=$(dpkg-deb -f "$DEB" Depends)
step "Depends: $depends"
[[ "$depends" == *libc6* ]] || fail "Depends does not name libc6: \"$depends\""
for dep in $(tr ',' '\n' <<<"$depends" | sed -E 's/^ *([^ (]+).*/\1/'); do
    apt-cache show "$dep" >/dev/null 2>&1 || fail "Depends names $dep, which Debian does not have"
done
dpkg-deb -x "$DEB" "$TMP/x"
file "$TMP/x/usr/bin/torvanctl" | grep -q ', stripped' || fail "torvanctl is not stripped"
nm -D "$TMP/x/usr/bin/torvanctl" | grep -q '__asan_' && fail "torvanctl is a sanitizer build"
step "ok: stripped, no sanitizer, dependencies from Debian"

if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP deb install: dpkg -i needs root"
    echo "PASS deb (contents only)"
    exit 0
fi

step "dpkg -i"
if dpkg-query -W -f='${Status}' torvan-one 2>/dev/null | grep -q 'ok installed'; then
    step "removing a torvan-one left installed by an earlier run"
    dpkg_locked -r torvan-one >/dev/null || fail "cannot remove the torvan-one installed"
fi
for f in /usr/bin/torvanctl /usr/bin/torvan-emu; do
    [ -e "$f" ] && fail "$f exists before the install: the test would prove nothing"
done
INSTALLED=1
dpkg_locked -i "$DEB" >"$TMP/install.log" || fail "dpkg -i failed"
assert_version() {
    local got
    got=$("$1" --version 2>&1) || fail "$1 --version: exit status $?"
    [ "$got" = "$2 $VERSION" ] || fail "$1 --version says \"$got\""
}
[ "$(command -v torvanctl)" = /usr/bin/torvanctl ] || fail "torvanctl is not /usr/bin/torvanctl"
assert_version torvanctl torvanctl
assert_version torvan-emu torvan-emu
step "ok: torvanctl $VERSION, torvan-emu $VERSION"

for page in torvanctl torvan-emu; do
    where=$(man -w "$page" 2>&1) || fail "man -w $page: $where"
    [ "$where" = "/usr/share/man/man1/$page.1.gz" ] || fail "man -w $page: $where"
done
# The page is torvanctl's own help: every command it lists has a section.
MANWIDTH=100 man torvanctl 2>/dev/null | col -b >"$TMP/torvanctl.man"
source "$ROOT/scripts/lib-help.sh"
commands=$(help_commands torvanctl)
[ -n "$commands" ] || fail "torvanctl --help lists no commands"
for command in $commands; do
    grep -q "^   $command\$" "$TMP/torvanctl.man" || fail "the man page has no section on $command"
done
grep -q -- "--version" "$TMP/torvanctl.man" || fail "the man page does not mention --version"
step "ok: man -w finds both pages; torvanctl's covers $(wc -w <<<"$commands") commands"

# The completion as bash-completion loads it, from the installed file.
completion=$(bash -c 'source /usr/share/bash-completion/completions/torvanctl
    COMP_WORDS=(torvanctl st); COMP_CWORD=1; _torvanctl; echo "${COMPREPLY[*]}"
    COMP_WORDS=(torvanctl restore /dev/null --b); COMP_CWORD=3; _torvanctl; echo "${COMPREPLY[*]}"')
[ "$completion" = "$(printf 'state step-test\n--baud')" ] || fail "completion offers: $completion"
step "ok: completion"

step "dpkg -r"
dpkg_locked -r torvan-one >"$TMP/remove.log" || fail "dpkg -r failed"
INSTALLED=0
for f in /usr/bin/torvanctl /usr/bin/torvan-emu /usr/share/man/man1/torvanctl.1.gz \
    /usr/share/man/man1/torvan-emu.1.gz /usr/share/bash-completion/completions/torvanctl; do
    [ -e "$f" ] && fail "$f is left after dpkg -r"
done
man -w torvanctl >/dev/null 2>&1 && fail "man still finds torvanctl"
dpkg-query -W -f='${Status}' torvan-one 2>/dev/null | grep -q 'ok installed' &&
    fail "torvan-one still installed"
step "ok: nothing left"
echo "PASS deb"

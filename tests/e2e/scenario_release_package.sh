#!/usr/bin/env bash
# The Windows release: scripts/package.sh builds stripped, statically linked TorvanOne.exe and
# torvanctl.exe that import only Windows' own DLLs and carry the project's version (TorvanOne.exe
# also its manifest and icon); the installer installs both silently into Program Files with a
# Start-menu shortcut, a "Torvan One command prompt" entry whose cmd.exe finds torvanctl, and an
# uninstall entry, without touching the system's or the user's PATH; the installed program starts
# and runs a simulated connection, the installed torvanctl.exe prints its version, and the
# silent uninstall leaves nothing behind; the portable zip holds the same two exes.
source "$(dirname "$0")/lib.sh"
# No Linux menu entries for the shortcut the installer makes.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"

VERSION=$(sed -n 's/^project(TorvanOne VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt")
assert_match "$VERSION" '^[0-9]+\.[0-9]+\.[0-9]+$' "project version"
step "package.sh"
"$ROOT/scripts/package.sh" windows >"$E2E_TMP/package.log" 2>&1 || {
    cat "$E2E_TMP/package.log"
    fail "package.sh failed"
}
EXE=$TORVAN_BUILD/release/TorvanOne.exe
CTL=$TORVAN_BUILD/release/ctl/torvanctl.exe
SETUP=$TORVAN_BUILD/package/TorvanOne-$VERSION-setup.exe
ZIP=$TORVAN_BUILD/package/TorvanOne-$VERSION-portable.zip
for f in "$EXE" "$CTL" "$SETUP" "$ZIP"; do
    [ -s "$f" ] || fail "missing $f"
done
for f in "$SETUP" "$ZIP"; do
    grep -q "^$(sha256sum "$f" | cut -d' ' -f1)  $(basename "$f")\$" \
        "$TORVAN_BUILD/package/SHA256SUMS" || fail "SHA256SUMS lacks $(basename "$f")"
done
step "ok: SHA256SUMS lists the installer and the zip"

# check_exe EXE DLL...: imports Windows' own DLLs only (and at least those named, so the table
# was read), and is stripped.
check_exe() {
    local exe=$1 name imports dll
    name=$(basename "$exe")
    shift
    imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' |
        tr 'a-z' 'A-Z' | sort | tr '\n' ' ')
    step "$name imports: $imports"
    for dll in "$@"; do
        [[ " $imports " == *" $dll "* ]] || fail "$dll missing from $name's imports (not read?)"
    done
    for dll in $imports; do
        case $dll in
        KERNEL32.DLL | USER32.DLL | GDI32.DLL | COMCTL32.DLL | COMDLG32.DLL | ADVAPI32.DLL | \
            MSVCRT.DLL | SHELL32.DLL | WINMM.DLL) ;;
        *) fail "$name imports $dll" ;;
        esac
    done
    x86_64-w64-mingw32-nm "$exe" 2>&1 | grep -q 'no symbols' || fail "$name has symbols"
    [ "$(x86_64-w64-mingw32-objdump -h "$exe" | grep -c '\.debug')" == 0 ] ||
        fail "$name has debug sections"
    step "ok: $name: only Windows DLLs, stripped"
}
step "import tables"
check_exe "$EXE" KERNEL32.DLL USER32.DLL GDI32.DLL
check_exe "$CTL" KERNEL32.DLL

step "resources"
wrestool -x --raw --type=24 --name=1 "$EXE" >"$E2E_TMP/manifest.xml" 2>/dev/null
grep -q 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' "$E2E_TMP/manifest.xml" ||
    fail "manifest without common controls 6"
grep -q '>PerMonitorV2<' "$E2E_TMP/manifest.xml" || fail "manifest without DPI awareness"
grep -q 'supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"' "$E2E_TMP/manifest.xml" ||
    fail "manifest without Windows 10/11"
step "ok: manifest"

# check_version EXE: the version resource gives the project version and the exe's own name.
check_version() {
    local exe=$1 name off major minor patch
    name=$(basename "$exe")
    wrestool -x --raw --type=16 "$exe" >"$E2E_TMP/version.bin" 2>/dev/null
    [ -s "$E2E_TMP/version.bin" ] || fail "$name: no version resource"
    # The fixed part starts with the signature FEEF04BD; then the structure version, then the
    # file version as 16-bit words: minor, major, build, patch (two little-endian 32-bit halves).
    off=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$E2E_TMP/version.bin" | head -1 | cut -d: -f1)
    [ -n "$off" ] || fail "$name: no fixed version information"
    IFS=. read -r major minor patch <<<"$VERSION"
    assert_eq "$(od -An -tu2 -j $((off + 8)) -N8 "$E2E_TMP/version.bin" | xargs)" \
        "$minor $major 0 $patch" "$name: file version words"
    strings -el "$E2E_TMP/version.bin" >"$E2E_TMP/version.txt"
    assert_contains_in_order "$E2E_TMP/version.txt" FileVersion "$VERSION" OriginalFilename \
        "$name" ProductName "Torvan One"
}
check_version "$EXE"
check_version "$CTL"

wrestool -x --type=14 "$EXE" >"$E2E_TMP/icon.ico" 2>/dev/null
icotool -l "$E2E_TMP/icon.ico" >"$E2E_TMP/icon.txt" 2>&1 || fail "no icon group"
grep -q -- '--width=32 --height=32' "$E2E_TMP/icon.txt" || fail "no 32x32 icon"
grep -q -- '--width=16 --height=16' "$E2E_TMP/icon.txt" || fail "no 16x16 icon"
step "ok: icon 32x32 and 16x16"

step "portable zip"
assert_eq "$(zip -sf "$ZIP" | sed -n 's/^  //p' | sort | xargs)" "TorvanOne.exe torvanctl.exe" \
    "the zip's files"
unzip -p "$ZIP" TorvanOne.exe | cmp -s - "$EXE" || fail "the zip holds another TorvanOne.exe"
unzip -p "$ZIP" torvanctl.exe | cmp -s - "$CTL" || fail "the zip holds another torvanctl.exe"
step "ok: the zip holds the release exes"

INSTDIR="$WINEPREFIX/drive_c/Program Files/Torvan One"
STARTMENU="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Torvan One"
UNINSTKEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TorvanOne'
PROMPT_LNK="$STARTMENU/Torvan One command prompt.lnk"
# Leftovers of an interrupted earlier run would hide a failing install.
rm -rf "$INSTDIR" "$STARTMENU"
wine reg delete "$UNINSTKEY" /f /reg:64 >/dev/null 2>&1

# The PATH of the machine and of the user, as the installer must leave them.
paths() {
    wine reg query 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' /v PATH \
        /reg:64 2>/dev/null | tr -d '\r' | grep PATH
    # A user has no PATH of their own until something writes one.
    wine reg query 'HKCU\Environment' /v PATH 2>/dev/null | tr -d '\r' | grep PATH || true
}
paths >"$E2E_TMP/paths-before.txt"
grep -q 'system32' "$E2E_TMP/paths-before.txt" || fail "cannot read the system PATH"

step "silent install"
timeout 120 wine "$SETUP" /S || fail "installer exit status $?"
[ -f "$INSTDIR/TorvanOne.exe" ] || fail "TorvanOne.exe not installed"
cmp -s "$INSTDIR/TorvanOne.exe" "$EXE" || fail "installed exe differs from the release exe"
cmp -s "$INSTDIR/torvanctl.exe" "$CTL" || fail "installed torvanctl.exe differs from the release"
[ -f "$INSTDIR/Uninstall.exe" ] || fail "no uninstaller"
[ -f "$STARTMENU/Torvan One.lnk" ] || fail "no Start-menu shortcut"
[ -f "$PROMPT_LNK" ] || fail "no \"Torvan One command prompt\" in the Start menu"
paths | diff "$E2E_TMP/paths-before.txt" - || fail "the installer changed a PATH"
step "ok: PATH unchanged"
wine reg query "$UNINSTKEY" /v DisplayVersion /reg:64 2>/dev/null | tr -d '\r' >"$E2E_TMP/key.txt"
grep -q "DisplayVersion.*REG_SZ.*$VERSION\$" "$E2E_TMP/key.txt" || {
    cat "$E2E_TMP/key.txt"
    fail "no uninstall entry with the version"
}
step "ok: installed"

step "installed torvanctl.exe"
assert_eq "$(timeout 30 wine "$INSTDIR/torvanctl.exe" --version | tr -d '\r')" \
    "torvanctl $VERSION" "torvanctl.exe --version"

step "command prompt entry"
mapfile -t shortcut < <(python3 "$ROOT/tests/e2e/lnk_fields.py" "$PROMPT_LNK")
step "target: ${shortcut[0]}; arguments: ${shortcut[1]}"
assert_match "${shortcut[0]}" '^C:\\windows\\system32\\cmd\.exe$' "the entry opens cmd.exe"
[[ "${shortcut[1]}" == /k* ]] || fail "the prompt does not stay open (/k)"
[[ "${shortcut[1]}" == *'set "PATH=C:\Program Files\Torvan One;%PATH%"'* ]] ||
    fail "the prompt does not put the install folder first on its PATH"
# Open the entry as Windows would: its target with its arguments, through a batch file (which
# passes % and & on to the prompt as they are), then one line typed into the prompt. The prompt
# starts in the user's folder, so the torvanctl it runs and finds is the one on its PATH.
python3 - "${shortcut[0]}" "${shortcut[1]}" >"$E2E_TMP/prompt.bat" <<'PY'
import sys
target, arguments = sys.argv[1], sys.argv[2]
out, quoted = [], False
for c in arguments:
    if c == '"':
        quoted = not quoted
    if c == "%":
        out.append("%%")
    elif not quoted and c in "&|<>^()":
        out.append("^" + c)
    else:
        out.append(c)
sys.stdout.write('@"%s" %s\r\n' % (target, "".join(out)))
PY
printf 'for %%i in (torvanctl.exe) do @echo found %%~$PATH:i\r\n' >"$E2E_TMP/typed.txt"
timeout 60 wine cmd.exe /c "$(winepath -w "$E2E_TMP/prompt.bat")" <"$E2E_TMP/typed.txt" 2>&1 |
    tr -d '\r' >"$E2E_TMP/prompt.txt"
cat "$E2E_TMP/prompt.txt"
assert_contains_in_order "$E2E_TMP/prompt.txt" "torvanctl $VERSION" \
    '.*found C:\\Program Files\\Torvan One\\torvanctl\.exe'
step "ok: the prompt runs the installed torvanctl"

step "installed program"
APP_EXE='C:\Program Files\Torvan One\TorvanOne.exe'
start_app
drv watch "$APP_HWND" 3000 40110 >"$E2E_TMP/watch.txt" || fail "watch"
grep -q '^title Torvan FAKE$' "$E2E_TMP/watch.txt" || {
    cat "$E2E_TMP/watch.txt"
    fail "the installed program did not start the simulation"
}
step "ok: \"Torvan FAKE\""
screenshot release_installed
drv close "$APP_HWND"
wait_app_exit 15 || fail "the installed program did not end"

step "silent uninstall"
# The uninstaller copies itself away and returns at once; its copy does the work.
timeout 60 wine "$INSTDIR/Uninstall.exe" /S
for _ in $(seq 1 150); do
    [ -e "$INSTDIR" ] || [ -e "$STARTMENU" ] || break
    sleep 0.2
done
[ -e "$INSTDIR" ] && fail "install folder left: $(ls "$INSTDIR")"
[ -e "$STARTMENU" ] && fail "Start-menu folder left"
wine reg query "$UNINSTKEY" /reg:64 >/dev/null 2>&1 && fail "uninstall entry left"
paths | diff "$E2E_TMP/paths-before.txt" - || fail "a PATH changed"
step "ok: nothing left"
pass

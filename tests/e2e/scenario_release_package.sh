#!/usr/bin/env bash
# The release: scripts/package.sh builds a stripped, statically linked TorvanOne.exe that
# imports only Windows' own DLLs and carries its manifest, version and icon; the installer
# installs silently into Program Files with a Start-menu shortcut and an uninstall entry, the
# installed program starts and runs a simulated connection, and the silent uninstall leaves
# nothing behind; the portable zip holds the same exe.
source "$(dirname "$0")/lib.sh"
# No Linux menu entries for the shortcut the installer makes.
export WINEDLLOVERRIDES="$WINEDLLOVERRIDES;winemenubuilder.exe=d"

VERSION=$(sed -n 's/^project(TorvanOne VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt")
assert_match "$VERSION" '^[0-9]+\.[0-9]+\.[0-9]+$' "project version"
step "package.sh"
"$ROOT/scripts/package.sh" >"$E2E_TMP/package.log" 2>&1 || {
    cat "$E2E_TMP/package.log"
    fail "package.sh failed"
}
EXE=$TORVAN_BUILD/release/TorvanOne.exe
SETUP=$TORVAN_BUILD/package/TorvanOne-$VERSION-setup.exe
ZIP=$TORVAN_BUILD/package/TorvanOne-$VERSION-portable.zip
for f in "$EXE" "$SETUP" "$ZIP"; do
    [ -s "$f" ] || fail "missing $f"
done

step "import table"
imports=$(x86_64-w64-mingw32-objdump -p "$EXE" | sed -n 's/^\s*DLL Name: //p' | tr 'a-z' 'A-Z' |
    sort | tr '\n' ' ')
step "imports: $imports"
for dll in KERNEL32.DLL USER32.DLL GDI32.DLL; do
    [[ " $imports " == *" $dll "* ]] || fail "$dll missing from the import table (not read?)"
done
for dll in $imports; do
    case $dll in
    KERNEL32.DLL | USER32.DLL | GDI32.DLL | COMCTL32.DLL | COMDLG32.DLL | ADVAPI32.DLL | \
        MSVCRT.DLL | SHELL32.DLL | WINMM.DLL) ;;
    *) fail "the release exe imports $dll" ;;
    esac
done
step "ok: only Windows DLLs"
x86_64-w64-mingw32-nm "$EXE" 2>&1 | grep -q 'no symbols' || fail "the release exe has symbols"
[ "$(x86_64-w64-mingw32-objdump -h "$EXE" | grep -c '\.debug')" == 0 ] || fail "debug sections"
step "ok: stripped"

step "resources"
wrestool -x --raw --type=24 --name=1 "$EXE" >"$E2E_TMP/manifest.xml" 2>/dev/null
grep -q 'name="Microsoft.Windows.Common-Controls" version="6.0.0.0"' "$E2E_TMP/manifest.xml" ||
    fail "manifest without common controls 6"
grep -q '>PerMonitorV2<' "$E2E_TMP/manifest.xml" || fail "manifest without DPI awareness"
grep -q 'supportedOS Id="{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}"' "$E2E_TMP/manifest.xml" ||
    fail "manifest without Windows 10/11"
step "ok: manifest"

wrestool -x --raw --type=16 "$EXE" >"$E2E_TMP/version.bin" 2>/dev/null
[ -s "$E2E_TMP/version.bin" ] || fail "no version resource"
# The fixed part starts with the signature FEEF04BD; then the structure version, then the file
# version as 16-bit words: minor, major, build, patch (two little-endian 32-bit halves).
off=$(LC_ALL=C grep -obUaP '\xbd\x04\xef\xfe' "$E2E_TMP/version.bin" | head -1 | cut -d: -f1)
[ -n "$off" ] || fail "no fixed version information"
IFS=. read -r major minor patch <<<"$VERSION"
assert_eq "$(od -An -tu2 -j $((off + 8)) -N8 "$E2E_TMP/version.bin" | xargs)" \
    "$minor $major 0 $patch" "file version words"
strings -el "$E2E_TMP/version.bin" >"$E2E_TMP/version.txt"
assert_contains_in_order "$E2E_TMP/version.txt" FileVersion "$VERSION" OriginalFilename \
    TorvanOne.exe ProductName "Torvan One"

wrestool -x --type=14 "$EXE" >"$E2E_TMP/icon.ico" 2>/dev/null
icotool -l "$E2E_TMP/icon.ico" >"$E2E_TMP/icon.txt" 2>&1 || fail "no icon group"
grep -q -- '--width=32 --height=32' "$E2E_TMP/icon.txt" || fail "no 32x32 icon"
grep -q -- '--width=16 --height=16' "$E2E_TMP/icon.txt" || fail "no 16x16 icon"
step "ok: icon 32x32 and 16x16"

step "portable zip"
zip -sf "$ZIP" | grep -q '^  TorvanOne.exe$' || fail "TorvanOne.exe not in the zip"
if command -v unzip >/dev/null; then
    unzip -p "$ZIP" TorvanOne.exe | cmp -s - "$EXE" || fail "the zip holds another exe"
    step "ok: zip holds the release exe"
fi

INSTDIR="$WINEPREFIX/drive_c/Program Files/Torvan One"
STARTMENU="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/Torvan One"
UNINSTKEY='HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall\TorvanOne'
# Leftovers of an interrupted earlier run would hide a failing install.
rm -rf "$INSTDIR" "$STARTMENU"
wine reg delete "$UNINSTKEY" /f /reg:64 >/dev/null 2>&1

step "silent install"
timeout 120 wine "$SETUP" /S || fail "installer exit status $?"
[ -f "$INSTDIR/TorvanOne.exe" ] || fail "TorvanOne.exe not installed"
cmp -s "$INSTDIR/TorvanOne.exe" "$EXE" || fail "installed exe differs from the release exe"
[ -f "$INSTDIR/Uninstall.exe" ] || fail "no uninstaller"
[ -f "$STARTMENU/Torvan One.lnk" ] || fail "no Start-menu shortcut"
wine reg query "$UNINSTKEY" /v DisplayVersion /reg:64 2>/dev/null | tr -d '\r' >"$E2E_TMP/key.txt"
grep -q "DisplayVersion.*REG_SZ.*$VERSION\$" "$E2E_TMP/key.txt" || {
    cat "$E2E_TMP/key.txt"
    fail "no uninstall entry with the version"
}
step "ok: installed"

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
step "ok: nothing left"
pass

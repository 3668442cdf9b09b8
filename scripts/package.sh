#!/usr/bin/env bash
# Release build and packages: TorvanOne.exe built with -O2 and stripped, in its own folder
# ($TORVAN_BUILD/release), then in $TORVAN_BUILD/package/:
#   TorvanOne-<version>-setup.exe      NSIS installer (Program Files, Start menu, uninstaller)
#   TorvanOne-<version>-portable.zip   the exe alone, to run from anywhere
# The version is the project version of CMakeLists.txt. Refuses to package an exe that
# imports anything but Windows' own DLLs.
set -euo pipefail

# A relative build folder is taken from where the script was called.
if [ -n "${TORVAN_BUILD:-}" ] && [[ "$TORVAN_BUILD" != /* ]]; then
    TORVAN_BUILD=$PWD/$TORVAN_BUILD
fi
ROOT=$(cd "$(dirname "$0")/.." && pwd)
TORVAN_BUILD=${TORVAN_BUILD:-$ROOT/build}
RELEASE=$TORVAN_BUILD/release
OUT=$TORVAN_BUILD/package
LOG_DIR=$TORVAN_BUILD/test-logs
mkdir -p "$OUT" "$LOG_DIR"

"$ROOT/scripts/setup.sh"

echo "package.sh: release build in $RELEASE"
cmake -S "$ROOT" -B "$RELEASE" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" \
    -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
    -DCMAKE_EXE_LINKER_FLAGS_RELEASE="-s" >"$LOG_DIR/release-configure.log" 2>&1 || {
    tail -20 "$LOG_DIR/release-configure.log" >&2
    exit 1
}
cmake --build "$RELEASE" --target TorvanOne -j "$(nproc)" >"$LOG_DIR/release-build.log" 2>&1 || {
    tail -30 "$LOG_DIR/release-build.log" >&2
    exit 1
}
EXE=$RELEASE/TorvanOne.exe

VERSION=$(sed -n 's/^#define TORVAN_VERSION_TEXT "\(.*\)"$/\1/p' "$RELEASE/generated/version.h")
[[ "$VERSION" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || {
    echo "package.sh: no version in $RELEASE/generated/version.h" >&2
    exit 1
}

# Only DLLs that every Windows has may be imported: the exe is the whole program.
imports=$(x86_64-w64-mingw32-objdump -p "$EXE" | sed -n 's/^\s*DLL Name: //p' | tr 'a-z' 'A-Z')
for dll in $imports; do
    case $dll in
    KERNEL32.DLL | USER32.DLL | GDI32.DLL | COMCTL32.DLL | COMDLG32.DLL | ADVAPI32.DLL | \
        MSVCRT.DLL | SHELL32.DLL | WINMM.DLL | API-MS-WIN-CRT-*.DLL) ;;
    *)
        echo "package.sh: TorvanOne.exe imports $dll, which Windows does not ship" >&2
        exit 1
        ;;
    esac
done
echo "package.sh: imports" $imports

SETUP=$OUT/TorvanOne-$VERSION-setup.exe
ZIP=$OUT/TorvanOne-$VERSION-portable.zip
rm -f "$SETUP" "$ZIP"
makensis -V2 -DVERSION="$VERSION" -DEXE="$EXE" -DOUTFILE="$SETUP" "$ROOT/installer/TorvanOne.nsi"
(cd "$RELEASE" && zip -q -X "$ZIP" TorvanOne.exe)
echo "package.sh: $SETUP"
echo "package.sh: $ZIP"

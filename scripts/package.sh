#!/usr/bin/env bash
# Release builds and packages, in $TORVAN_BUILD/package/:
#   TorvanOne-<version>-setup.exe      NSIS installer: Program Files, Start-menu entries for the
#                                      program and for a command prompt that finds torvanctl,
#                                      an uninstaller
#   TorvanOne-<version>-portable.zip   TorvanOne.exe and torvanctl.exe, to run from anywhere
#   torvan-one_<version>_<arch>.deb    torvanctl and torvan-emu for Debian, with their man
#                                      pages and torvanctl's bash completion
#   SHA256SUMS                         the checksums of the packages of this version there
#
#   scripts/package.sh [windows] [deb]     (both when neither is named)
#
# The Windows exes are built with -O2 and stripped in $TORVAN_BUILD/release, the Linux
# programs likewise in $TORVAN_BUILD/release-deb (no sanitizers, no tests). The version is the
# project version of CMakeLists.txt. Refuses to package an exe that imports anything but
# Windows' own DLLs, or programs that print another version.
set -euo pipefail

# A relative build folder is taken from where the script was called.
if [ -n "${TORVAN_BUILD:-}" ] && [[ "$TORVAN_BUILD" != /* ]]; then
    TORVAN_BUILD=$PWD/$TORVAN_BUILD
fi
ROOT=$(cd "$(dirname "$0")/.." && pwd)
TORVAN_BUILD=${TORVAN_BUILD:-$ROOT/build}
OUT=$TORVAN_BUILD/package
LOG_DIR=$TORVAN_BUILD/test-logs
JOBS=${JOBS:-$(nproc)}
mkdir -p "$OUT" "$LOG_DIR"

WANT_WINDOWS=0
WANT_DEB=0
for part in "${@:-windows deb}"; do
    for word in $part; do
        case $word in
        windows) WANT_WINDOWS=1 ;;
        deb) WANT_DEB=1 ;;
        *)
            echo "usage: scripts/package.sh [windows] [deb]" >&2
            exit 2
            ;;
        esac
    done
done

"$ROOT/scripts/setup.sh"

VERSION=$(sed -n 's/^project(TorvanOne VERSION \([0-9.]*\) .*/\1/p' "$ROOT/CMakeLists.txt")
[[ "$VERSION" =~ ^[0-9]+\.[0-9]+\.[0-9]+$ ]] || {
    echo "package.sh: no project version in CMakeLists.txt" >&2
    exit 1
}

# configure_and_build NAME DIR TARGETS CMAKE-ARGS...: an optimised build of TARGETS only.
configure_and_build() {
    local name=$1 dir=$2 targets=$3
    shift 3
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Release \
        -DCMAKE_C_FLAGS_RELEASE="-O2 -DNDEBUG" -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" \
        "$@" >"$LOG_DIR/$name-configure.log" 2>&1 || {
        tail -20 "$LOG_DIR/$name-configure.log" >&2
        exit 1
    }
    # shellcheck disable=SC2086
    cmake --build "$dir" --target $targets -j "$JOBS" >"$LOG_DIR/$name-build.log" 2>&1 || {
        tail -30 "$LOG_DIR/$name-build.log" >&2
        exit 1
    }
}

package_windows() {
    local release=$TORVAN_BUILD/release exe imports dll
    echo "package.sh: Windows release build in $release"
    configure_and_build release "$release" "TorvanOne torvanctl" \
        -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake" -DCMAKE_EXE_LINKER_FLAGS_RELEASE="-s"

    # Only DLLs that every Windows has may be imported: each exe is the whole program.
    for exe in "$release/TorvanOne.exe" "$release/ctl/torvanctl.exe"; do
        imports=$(x86_64-w64-mingw32-objdump -p "$exe" | sed -n 's/^\s*DLL Name: //p' |
            tr 'a-z' 'A-Z')
        for dll in $imports; do
            case $dll in
            KERNEL32.DLL | USER32.DLL | GDI32.DLL | COMCTL32.DLL | COMDLG32.DLL | ADVAPI32.DLL | \
                MSVCRT.DLL | SHELL32.DLL | WINMM.DLL | API-MS-WIN-CRT-*.DLL) ;;
            *)
                echo "package.sh: $(basename "$exe") imports $dll, which Windows does not ship" >&2
                exit 1
                ;;
            esac
        done
        echo "package.sh: $(basename "$exe") imports" $imports
    done
    local built
    built=$(sed -n 's/^#define TORVAN_VERSION_TEXT "\(.*\)"$/\1/p' "$release/generated/version.h")
    [ "$built" = "$VERSION" ] || {
        echo "package.sh: the exes carry version \"$built\", the project is $VERSION" >&2
        exit 1
    }

    local setup=$OUT/TorvanOne-$VERSION-setup.exe zip=$OUT/TorvanOne-$VERSION-portable.zip
    rm -f "$setup" "$zip"
    makensis -V2 -DVERSION="$VERSION" -DEXE="$release/TorvanOne.exe" \
        -DCTL="$release/ctl/torvanctl.exe" -DOUTFILE="$setup" "$ROOT/installer/TorvanOne.nsi"
    zip -q -X -j "$zip" "$release/TorvanOne.exe" "$release/ctl/torvanctl.exe"
    echo "package.sh: $setup"
    echo "package.sh: $zip"
}

package_deb() {
    local release=$TORVAN_BUILD/release-deb stage arch deb program
    echo "package.sh: Linux release build in $release"
    configure_and_build release-deb "$release" "torvanctl torvan-emu torvan_man" \
        -DBUILD_TESTING=OFF
    for program in ctl/torvanctl emulator/torvan-emu; do
        [ "$("$release/$program" --version)" = "$(basename "$program") $VERSION" ] || {
            echo "package.sh: $program --version does not say $VERSION" >&2
            exit 1
        }
    done

    stage=$release/deb-root
    rm -rf "$stage"
    DESTDIR=$stage cmake --install "$release" --prefix /usr --strip \
        >"$LOG_DIR/release-deb-install.log" 2>&1 || {
        cat "$LOG_DIR/release-deb-install.log" >&2
        exit 1
    }
    for f in usr/bin/torvanctl usr/bin/torvan-emu usr/share/man/man1/torvanctl.1.gz \
        usr/share/man/man1/torvan-emu.1.gz usr/share/bash-completion/completions/torvanctl; do
        [ -s "$stage/$f" ] || {
            echo "package.sh: the install left out /$f" >&2
            exit 1
        }
    done

    # The dependencies are those of the libraries the programs link, as Debian names them.
    # dpkg-shlibdeps wants a source package around it: a minimal one in a folder of its own.
    local shlibs=$release/shlibdeps depends
    rm -rf "$shlibs"
    mkdir -p "$shlibs/debian"
    printf 'Source: torvan-one\n\nPackage: torvan-one\nArchitecture: any\n' \
        >"$shlibs/debian/control"
    depends=$(cd "$shlibs" && dpkg-shlibdeps -O -e"$stage/usr/bin/torvanctl" \
        -e"$stage/usr/bin/torvan-emu" 2>"$LOG_DIR/release-deb-shlibdeps.log" |
        sed -n 's/^shlibs:Depends=//p')
    [ -n "$depends" ] || {
        cat "$LOG_DIR/release-deb-shlibdeps.log" >&2
        echo "package.sh: dpkg-shlibdeps found no dependencies" >&2
        exit 1
    }

    arch=$(dpkg --print-architecture)
    mkdir -p "$stage/DEBIAN"
    cat >"$stage/DEBIAN/control" <<EOF
Package: torvan-one
Version: $VERSION
Architecture: $arch
Maintainer: Torvan One developers <torvan-one@localhost>
Installed-Size: $(du -sk --apparent-size "$stage/usr" | cut -f1)
Depends: $depends
Section: electronics
Priority: optional
Description: console tool and emulator for Torvan thermal mass flow boards
 torvanctl talks to Torvan flow meters and controllers on serial ports from a
 console or a script: probe, state, registers, set points, logs, captures,
 step tests and a live view of a bench of boards. torvan-emu emulates such a
 board on a pseudo-terminal, for trying torvanctl or Torvan One without one.
EOF
    (cd "$stage" && find usr -type f -print0 | sort -z | xargs -0 md5sum >DEBIAN/md5sums)
    deb=$OUT/torvan-one_${VERSION}_$arch.deb
    rm -f "$deb"
    dpkg-deb --root-owner-group --build "$stage" "$deb" >/dev/null
    echo "package.sh: $deb"
}

((WANT_WINDOWS)) && package_windows
((WANT_DEB)) && package_deb

# Every package of this version in the folder, whichever run of this script made it.
(
    cd "$OUT"
    rm -f SHA256SUMS
    shopt -s nullglob
    sha256sum TorvanOne-"$VERSION"-setup.exe TorvanOne-"$VERSION"-portable.zip \
        torvan-one_"$VERSION"_*.deb 2>/dev/null >SHA256SUMS || true
    [ -s SHA256SUMS ] || {
        echo "package.sh: no packages in $OUT" >&2
        exit 1
    }
)
echo "package.sh: $OUT/SHA256SUMS"

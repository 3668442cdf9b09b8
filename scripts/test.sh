#!/usr/bin/env bash
# Builds everything and runs every test tier: formatting, native unit and device tests
# (ASan + UBSan), the documents against the code, the ThreadSanitizer tests, a short fuzz run,
# the Windows tests under Wine, the end-to-end scenarios that drive TorvanOne.exe under Wine + Xvfb,
# the Debian package (built, installed, run and removed again: CI runs as root), and the chaos
# run (random schedules through the simulated program, its checker's self-check, the kept
# regression schedules).
# Ends with one line "N passed, N failed" over all tiers; exits non-zero on any failure.
#
# TORVAN_BUILD (default ./build) selects the build folder. TORVAN_TIERS limits the tiers
# (space-separated: format docs native chaos tsan fuzz win e2e package).
set -uo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
cd "$ROOT"
"$ROOT/scripts/setup.sh"

source "$ROOT/scripts/lib-wine.sh"
JOBS=${JOBS:-$(nproc)}
TIERS=${TORVAN_TIERS:-format docs native chaos tsan fuzz win e2e package}
LOG_DIR=$TORVAN_BUILD/test-logs
mkdir -p "$LOG_DIR"

PASSED=0
FAILED=0
FAILED_NAMES=()

want() { [[ " $TIERS " == *" $1 "* ]]; }
pass() { PASSED=$((PASSED + ${2:-1})); }
fail() {
    FAILED=$((FAILED + ${2:-1}))
    FAILED_NAMES+=("$1")
    echo "FAILED: $1" >&2
}

# Adds the counts of a CTest run from its log.
tally_ctest() {
    local name=$1 log=$2 rc=$3 line total failed
    line=$(grep -E '[0-9]+% tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -1)
    if [ -z "$line" ]; then
        fail "$name (no test summary)"
        return
    fi
    failed=$(sed -E 's/.* ([0-9]+) tests? failed.*/\1/' <<<"$line")
    total=$(sed -E 's/.*out of ([0-9]+).*/\1/' <<<"$line")
    pass "$name" $((total - failed))
    if [ "$failed" -gt 0 ] || [ "$rc" -ne 0 ]; then
        fail "$name" "$([ "$failed" -gt 0 ] && echo "$failed" || echo 1)"
        grep -E '^\s+[0-9]+ - ' "$log" >&2 || true
    fi
}

# Adds the counts of a GoogleTest run from its log.
tally_gtest() {
    local name=$1 log=$2 rc=$3 p f
    p=$(grep -E '^\[  PASSED  \] [0-9]+ test' "$log" | tail -1 | sed -E 's/.*\] ([0-9]+) test.*/\1/')
    f=$(grep -E '^\[  FAILED  \] [0-9]+ test' "$log" | tail -1 | sed -E 's/.*\] ([0-9]+) test.*/\1/')
    if [ -z "$p" ] && [ -z "$f" ]; then
        fail "$name (no test summary, exit $rc)"
        tail -20 "$log" >&2
        return
    fi
    [ -n "$p" ] && pass "$name" "$p"
    if [ -n "$f" ]; then
        fail "$name" "$f"
        grep -E '^\[  FAILED  \] [A-Za-z]' "$log" >&2 || true
    elif [ "$rc" -ne 0 ]; then
        fail "$name (exit $rc)"
    fi
}

cmake_build() { # dir, extra cmake args...
    local dir=$1
    shift
    cmake -S "$ROOT" -B "$dir" -DCMAKE_BUILD_TYPE=Debug "$@" >"$LOG_DIR/$(basename "$dir")-configure.log" 2>&1 &&
        cmake --build "$dir" -j "$JOBS" >"$LOG_DIR/$(basename "$dir")-build.log" 2>&1
}

if want format; then
    files=$(git ls-files -co --exclude-standard '*.cpp' '*.h' | grep -v '^build' || true)
    if [ -z "$files" ] || clang-format --dry-run --Werror $files >"$LOG_DIR/format.log" 2>&1; then
        pass format
    else
        fail "format (clang-format; see $LOG_DIR/format.log)"
        head -20 "$LOG_DIR/format.log" >&2
    fi
fi

# The results tests keep runs on a PostgreSQL server: one of the script's own, on a Unix
# socket under /tmp, named to the tests in TORVAN_TEST_PG and removed however the script ends.
PG_DIR=""
stop_postgres() {
    [ -n "$PG_DIR" ] && "$ROOT/scripts/pg-server.sh" remove "$PG_DIR"
    PG_DIR=""
}
trap stop_postgres EXIT
trap 'exit 130' INT TERM HUP

if want native; then
    if PG_DIR=$("$ROOT/scripts/pg-server.sh" new 2>"$LOG_DIR/postgres.log"); then
        export TORVAN_TEST_PG
        TORVAN_TEST_PG=$("$ROOT/scripts/pg-server.sh" conninfo "$PG_DIR")
        export TORVAN_TEST_PG_SERVER=$ROOT/scripts/pg-server.sh
    else
        PG_DIR=""
        fail "PostgreSQL server for the results tests (see $LOG_DIR/postgres.log)"
        cat "$LOG_DIR/postgres.log" >&2
    fi
    if cmake_build "$TORVAN_BUILD/native" -DTORVAN_SANITIZE=ON; then
        (cd "$TORVAN_BUILD/native" && timeout 1200 ctest --output-on-failure -j "$JOBS") \
            >"$LOG_DIR/native.log" 2>&1
        tally_ctest native "$LOG_DIR/native.log" $?
        # A test that asked for the server and was skipped had none: the tier did not run it.
        if grep -qE 'PostgresTest\..*Skipped' "$LOG_DIR/native.log"; then
            fail "native (PostgreSQL tests skipped)"
        fi
        stop_postgres
    else
        fail "native build"
        tail -30 "$LOG_DIR/native-build.log" >&2
    fi
fi

# After the native tier, which has just built torvanctl from these sources: the torvanctl docs are
# checked against what this torvanctl's --help prints (alone, the check builds it itself).
if want docs; then
    if TORVAN_BUILD=$TORVAN_BUILD JOBS=$JOBS "$ROOT/scripts/check-docs.sh" >"$LOG_DIR/docs.log" 2>&1; then
        pass docs
    else
        fail "docs (architecture tables, torvanctl docs and completion against --help; see $LOG_DIR/docs.log)"
        cat "$LOG_DIR/docs.log" >&2
    fi
fi

# The chaos run: the checker's self-check, 2,000 schedules of a fixed seed, and every schedule
# kept from a failure once found, each counted as one test.
if want chaos; then
    chaos_run() { # name, log, arguments...
        local name=$1 log=$2
        shift 2
        if TORVAN_BUILD=$TORVAN_BUILD JOBS=$JOBS timeout 900 "$ROOT/scripts/chaos.sh" "$@" \
            >"$log" 2>&1; then
            pass "$name"
        else
            fail "$name"
            tail -30 "$log" >&2
        fi
    }
    chaos_run chaos/self-check "$LOG_DIR/chaos-self-check.log" --self-check
    chaos_run chaos/schedules "$LOG_DIR/chaos-schedules.log" --schedules 2000 --seed 1
    for r in "$ROOT"/tests/chaos/regressions/*.chaos; do
        [ -f "$r" ] || continue
        chaos_run "chaos/$(basename "$r" .chaos)" "$LOG_DIR/chaos-$(basename "$r" .chaos).log" \
            --replay "$r"
    done
fi

if want tsan; then
    if cmake_build "$TORVAN_BUILD/tsan" -DTORVAN_TSAN=ON; then
        (cd "$TORVAN_BUILD/tsan" && TSAN_OPTIONS=halt_on_error=1 timeout 600 ctest --output-on-failure) \
            >"$LOG_DIR/tsan.log" 2>&1
        tally_ctest tsan "$LOG_DIR/tsan.log" $?
    else
        fail "tsan build"
        tail -30 "$LOG_DIR/tsan-build.log" >&2
    fi
fi

if want fuzz && [ -f "$ROOT/fuzz/CMakeLists.txt" ]; then
    if CC=clang CXX=clang++ cmake_build "$TORVAN_BUILD/fuzz" -DTORVAN_FUZZ=ON; then
        fuzz_ok=1
        for f in "$TORVAN_BUILD"/fuzz/fuzz/fuzz_*; do
            [ -x "$f" ] || continue
            if timeout 300 "$f" -runs=20000 -max_len=9000 -seed=1 \
                >"$LOG_DIR/$(basename "$f").log" 2>&1; then
                pass "$(basename "$f")"
            else
                fail "$(basename "$f")"
                tail -30 "$LOG_DIR/$(basename "$f").log" >&2
                fuzz_ok=0
            fi
        done
    else
        fail "fuzz build"
        tail -30 "$LOG_DIR/fuzz-build.log" >&2
    fi
fi

WIN_BUILD=$TORVAN_BUILD/win
if want win || want e2e; then
    if ! cmake_build "$WIN_BUILD" -DCMAKE_TOOLCHAIN_FILE="$ROOT/cmake/mingw-w64.cmake"; then
        fail "windows build"
        tail -30 "$LOG_DIR/win-build.log" >&2
        TIERS=$(sed -E 's/\b(win|e2e)\b//g' <<<"$TIERS")
    else
        xvfb_start
        wine_setup
    fi
fi

if want win; then
    # The Windows tests talk to emulated boards on COM5 (controller) and COM6 (meter at
    # 19200); COM7 is a port with no board behind it, COM8 does not exist.
    export TORVAN_WINTEST_DIR=$TORVAN_BUILD/wintest
    rm -rf "$TORVAN_WINTEST_DIR"
    mkdir -p "$TORVAN_WINTEST_DIR"
    EMU=$TORVAN_BUILD/native/emulator/torvan-emu
    EMU_PIDS=()
    if [ -x "$EMU" ]; then
        "$EMU" --link "$(com_link 5)" --kind controller --baud 230400 \
            --record "$TORVAN_WINTEST_DIR/com5.rec" --control "$TORVAN_WINTEST_DIR/com5.ctl" \
            >"$LOG_DIR/emu-com5.log" 2>&1 &
        EMU_PIDS+=($!)
        "$EMU" --link "$(com_link 6)" --kind meter --baud 19200 \
            --record "$TORVAN_WINTEST_DIR/com6.rec" --control "$TORVAN_WINTEST_DIR/com6.ctl" \
            >"$LOG_DIR/emu-com6.log" 2>&1 &
        EMU_PIDS+=($!)
        "$EMU" --link "$(com_link 7)" --fault silence \
            --record "$TORVAN_WINTEST_DIR/com7.rec" --control "$TORVAN_WINTEST_DIR/com7.ctl" \
            >"$LOG_DIR/emu-com7.log" 2>&1 &
        EMU_PIDS+=($!)
        for i in $(seq 1 50); do
            [ -e "$(com_link 5)" ] && [ -e "$(com_link 6)" ] && [ -e "$(com_link 7)" ] && break
            sleep 0.1
        done
    fi
    rm -f "$(com_link 8)"
    # One session for the whole run, started after the boards' links exist, its port list
    # complete before the first test.
    wineserver -k 2>/dev/null
    wineserver -w 2>/dev/null
    wineserver -p 2>/dev/null
    wait_com_ports || echo "test.sh: Wine lists no COM5" >&2
    (cd "$WIN_BUILD" && timeout 1200 wine ./TorvanWinTests.exe) >"$LOG_DIR/win.log" 2>&1
    tally_gtest win "$LOG_DIR/win.log" $?
    wineserver -k 2>/dev/null
    for p in "${EMU_PIDS[@]}"; do
        kill "$p" 2>/dev/null
        wait "$p" 2>/dev/null
    done
fi

if want e2e; then
    export TORVAN_BUILD WIN_BUILD
    for s in "$ROOT"/tests/e2e/scenario_*.sh; do
        [ -f "$s" ] || continue
        name=e2e/$(basename "$s" .sh)
        if timeout 600 bash "$s" >"$LOG_DIR/$(basename "$s" .sh).log" 2>&1; then
            pass "$name"
        else
            fail "$name"
            tail -30 "$LOG_DIR/$(basename "$s" .sh).log" >&2
        fi
        wineserver -k 2>/dev/null || true
    done
fi

if want package; then
    for s in "$ROOT"/tests/package/*.sh; do
        [ -f "$s" ] || continue
        name=package/$(basename "$s" .sh)
        if TORVAN_BUILD=$TORVAN_BUILD JOBS=$JOBS timeout 900 bash "$s" \
            >"$LOG_DIR/package-$(basename "$s" .sh).log" 2>&1; then
            pass "$name"
        else
            fail "$name"
            tail -30 "$LOG_DIR/package-$(basename "$s" .sh).log" >&2
        fi
    done
fi

xvfb_stop 2>/dev/null || true
if ((${#FAILED_NAMES[@]})); then
    echo "failed tiers or tests: ${FAILED_NAMES[*]}"
fi
echo "$PASSED passed, $FAILED failed"
[ "$FAILED" -eq 0 ]

#!/usr/bin/env bash
# The chaos run: random operator and fault schedules through the simulated program, each run
# checked against the program's promises.
#
#   scripts/chaos.sh --schedules N [--seed S]   N schedules; ends "chaos: N schedules, E events,
#                                               V violations", exit 1 when V > 0
#   scripts/chaos.sh --self-check               the checker against planted faults
#   scripts/chaos.sh --replay FILE [--trace]    one schedule from its text form
#   scripts/chaos.sh --print SEED               the schedule a seed draws
#
# Builds torvan-chaos as needed, optimised, in $TORVAN_BUILD/chaos (default ./build/chaos).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TORVAN_BUILD:-$ROOT/build}/chaos
JOBS=${JOBS:-2}
mkdir -p "$BUILD"
if ! { cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >"$BUILD/configure.log" 2>&1 &&
    cmake --build "$BUILD" -j "$JOBS" --target torvan-chaos >"$BUILD/build.log" 2>&1; }; then
    echo "chaos.sh: building torvan-chaos failed (see $BUILD/configure.log, $BUILD/build.log)" >&2
    tail -20 "$BUILD/build.log" >&2 || true
    exit 2
fi
exec "$BUILD/tests/chaos/torvan-chaos" "$@"

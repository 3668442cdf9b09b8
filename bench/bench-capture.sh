#!/usr/bin/env bash
# A bench of emulated boards captured at once: starts N torvan-emu controllers (one flow sample
# every 5 ms each), runs "torvanctl capture" on all of them for S seconds, and prints per board
# the samples written against the samples the board made meanwhile, the largest gap between
# consecutive samples in its CSV and between consecutive reads of the board, and torvanctl's
# CPU time as a share of one core. Figures only: nothing passes or fails.
#
#   bench/bench-capture.sh [N] [S]      (default 16 boards, 10 s)
#
# Builds an optimised torvanctl and torvan-emu in build/bench (TORVAN_BENCH_BUILD to change).
set -uo pipefail

ROOT=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
BOARDS=${1:-16}
SECONDS_RUN=${2:-10}
BUILD=${TORVAN_BENCH_BUILD:-$ROOT/build/bench}

cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release >"$BUILD.configure.log" 2>&1 &&
    cmake --build "$BUILD" --target torvanctl torvan-emu -j2 >"$BUILD.build.log" 2>&1 ||
    { echo "build failed: see $BUILD.build.log" >&2; exit 1; }
EMU=$BUILD/emulator/torvan-emu
CTL=$BUILD/ctl/torvanctl

TMP=$(mktemp -d /tmp/torvan-bench-XXXXXX)
PIDS=()
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    rm -rf "$TMP"
}
trap cleanup EXIT

PORTS=()
for i in $(seq 1 "$BOARDS"); do
    "$EMU" --link "$TMP/board$i" --kind controller --baud 19200 --name "Bay $i" \
        --record "$TMP/board$i.rec" >"$TMP/emu$i.log" 2>&1 &
    PIDS+=($!)
    PORTS+=("$TMP/board$i")
done
for i in $(seq 1 "$BOARDS"); do
    for _ in $(seq 1 100); do
        grep -q '^ready' "$TMP/emu$i.log" 2>/dev/null && break
        sleep 0.05
    done
done

/usr/bin/time -f '%U %S %e' -o "$TMP/time" \
    "$CTL" capture "${PORTS[@]}" --duration "$SECONDS_RUN" --out-dir "$TMP/out" >"$TMP/ctl.out" 2>"$TMP/ctl.err"
echo "torvanctl capture: exit code $? ($BOARDS boards, $SECONDS_RUN s, $(nproc) cores, $(date -u +%F))"
[ -s "$TMP/ctl.err" ] && sed 's/^/  /' "$TMP/ctl.err"

python3 - "$TMP" "$BOARDS" <<'PY'
import csv, os, sys
tmp, boards = sys.argv[1], int(sys.argv[2])
user, system, elapsed = (float(x) for x in open(os.path.join(tmp, "time")).read().split()[-3:])
total_written = total_made = 0
worst_gap = worst_read = 0.0
print(f"{'board':8} {'written':>8} {'made':>8} {'share':>8} {'max gap ms':>11} {'max read gap ms':>16}")
for i in range(1, boards + 1):
    path = os.path.join(tmp, "out", f"board{i}-Bay_{i}.csv")
    times = []
    if os.path.exists(path):
        with open(path) as f:
            rows = list(csv.reader(f))[1:]
        times = [float(r[0]) for r in rows]
    # The board's own count: one sample per 5 ms between the capture's first read (which
    # empties the board's store) and its last.
    reads = [int(line.split()[0]) for line in open(os.path.join(tmp, f"board{i}.rec"))
             if line.split()[1:] == ["~GAFV"]]
    made = round((reads[-1] - reads[0]) / 5.0) if len(reads) > 1 else 0
    gap = max((b - a for a, b in zip(times, times[1:])), default=0.0) * 1000
    read_gap = max((b - a for a, b in zip(reads, reads[1:])), default=0)
    share = 100.0 * len(times) / made if made else 0.0
    print(f"Bay {i:<4} {len(times):8d} {made:8d} {share:7.1f}% {gap:11.1f} {read_gap:16d}")
    total_written += len(times)
    total_made += made
    worst_gap = max(worst_gap, gap)
    worst_read = max(worst_read, read_gap)
print(f"all      {total_written:8d} {total_made:8d} "
      f"{100.0 * total_written / max(total_made, 1):7.1f}% {worst_gap:11.1f} {worst_read:16d}")
print(f"torvanctl CPU: {user:.2f} s user + {system:.2f} s system in {elapsed:.2f} s = "
      f"{100.0 * (user + system) / elapsed:.1f} % of one core")
PY

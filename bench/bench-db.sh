#!/usr/bin/env bash
# A bench of emulated boards captured into a results database: starts N torvan-emu
# controllers (one flow sample every 5 ms each) and runs "torvanctl capture" on all of them for
# S seconds three times, with --db-samples into a SQLite file, with --db-samples into a
# PostgreSQL server (a throwaway one on a Unix socket, started by scripts/pg-server.sh), and
# without a database, and prints the samples stored against those written to the CSVs and
# those the boards made, the rows stored per second, and torvanctl's CPU time in each run.
# Figures only: nothing passes or fails.
#
#   bench/bench-db.sh [N] [S]      (default 16 boards, 10 s)
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

TMP=$(mktemp -d /tmp/torvan-bench-db-XXXXXX)
PIDS=()
PG_DIR=""
cleanup() {
    for pid in "${PIDS[@]}"; do kill "$pid" 2>/dev/null; done
    wait 2>/dev/null
    [ -n "$PG_DIR" ] && "$ROOT/scripts/pg-server.sh" remove "$PG_DIR"
    rm -rf "$TMP"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP
# A spool, should the server fail, stays in the bench's own folder.
export XDG_STATE_HOME=$TMP/state
mkdir -m 700 "$XDG_STATE_HOME"
PG_DIR=$("$ROOT/scripts/pg-server.sh" new) || { echo "could not start PostgreSQL" >&2; exit 1; }
PG=$("$ROOT/scripts/pg-server.sh" conninfo "$PG_DIR")

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

# One capture: NAME and the extra options; leaves NAME.time, NAME.out, NAME.err and the CSVs
# in NAME/.
capture() {
    local name=$1
    shift
    for i in $(seq 1 "$BOARDS"); do wc -l <"$TMP/board$i.rec"; done >"$TMP/$name.start"
    /usr/bin/time -f '%U %S %e' -o "$TMP/$name.time" \
        "$CTL" capture "${PORTS[@]}" --duration "$SECONDS_RUN" --out-dir "$TMP/$name" "$@" \
        >"$TMP/$name.out" 2>"$TMP/$name.err"
    local code=$?
    for i in $(seq 1 "$BOARDS"); do wc -l <"$TMP/board$i.rec"; done >"$TMP/$name.end"
    echo "torvanctl capture ${*:-(no database)}: exit code $code ($BOARDS boards, $SECONDS_RUN s, $(nproc) cores, $(date -u +%F))"
    [ -s "$TMP/$name.err" ] && sed 's/^/  /' "$TMP/$name.err"
}
capture db --db "$TMP/bench.db" --db-samples
capture pg --db "$PG" --db-samples
capture plain
psql "$PG" -Atc "SELECT count(*), count(DISTINCT (board_index, sample_index)) FROM samples" \
    >"$TMP/pg.count"

python3 - "$TMP" "$BOARDS" "$SECONDS_RUN" <<'PY'
import csv, os, sqlite3, sys
tmp, boards, duration = sys.argv[1], int(sys.argv[2]), float(sys.argv[3])

def made_by_boards(name):
    # One sample per 5 ms between the capture's first read of each board and its last.
    starts = [int(x) for x in open(os.path.join(tmp, name + ".start")).read().split()]
    ends = [int(x) for x in open(os.path.join(tmp, name + ".end")).read().split()]
    total = 0
    for i in range(1, boards + 1):
        lines = open(os.path.join(tmp, f"board{i}.rec")).read().splitlines()[starts[i - 1]:ends[i - 1]]
        reads = [int(l.split()[0]) for l in lines if l.split()[1:] == ["~GAFV"]]
        total += round((reads[-1] - reads[0]) / 5.0) if len(reads) > 1 else 0
    return total

def written(name):
    total = 0
    for i in range(1, boards + 1):
        path = os.path.join(tmp, name, f"board{i}-Bay_{i}.csv")
        if os.path.exists(path):
            with open(path) as f:
                total += len(list(csv.reader(f))) - 1
    return total

def cpu(name):
    user, system, elapsed = (float(x) for x in open(os.path.join(tmp, name + ".time")).read().split()[-3:])
    return user + system, elapsed

def report(name, title, stored, distinct):
    made, wrote = made_by_boards(name), written(name)
    busy, elapsed = cpu(name)
    print(f"{title}: {stored} samples stored ({distinct} distinct), {wrote} written to CSV, "
          f"{made} made by the boards: {100.0 * stored / max(made, 1):.1f} % stored")
    print(f"  rows stored per second: {stored / duration:.0f} over the {duration:g} s captured "
          f"({boards} boards x 200 = {boards * 200})")
    print(f"  torvanctl CPU: {busy:.2f} s in {elapsed:.2f} s = {100.0 * busy / elapsed:.1f} % of one core")

db = sqlite3.connect(os.path.join(tmp, "bench.db"))
stored = db.execute("SELECT count(*) FROM samples").fetchone()[0]
distinct = db.execute("SELECT count(*) FROM (SELECT DISTINCT board_index, sample_index FROM samples)").fetchone()[0]
report("db", "SQLite, --db-samples", stored, distinct)
counts = open(os.path.join(tmp, "pg.count")).read().strip().split("|")
report("pg", "PostgreSQL, --db-samples", int(counts[0]), int(counts[1]) if len(counts) > 1 else 0)
busy, elapsed = cpu("plain")
print(f"without a database: {written('plain')} written to CSV, {made_by_boards('plain')} made")
print(f"  torvanctl CPU: {busy:.2f} s in {elapsed:.2f} s = {100.0 * busy / elapsed:.1f} % of one core")
PY

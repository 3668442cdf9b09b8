// The results store in a SQLite file: one bench's runs in one file the user owns. Every value
// reaches SQLite as a bound parameter of a prepared statement, never as SQL text, so a board
// named "O'Brien; DROP TABLE runs" is stored as named.
#include <cerrno>
#include <cmath>
#include <cstring>
#include <mutex>

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ctl/ResultsStore.h"

namespace {

// How long a write waits for another torvanctl on the same file before it counts as busy.
constexpr int BUSY_TIMEOUT_MS = 5000;

// Each entry takes the schema from the version before it to its own; applied in order, each
// within the transaction that opens the file.
const char* const MIGRATIONS[RESULTS_SCHEMA_VERSION] = {
    // 1: runs, their boards and what each command measured.
    "CREATE TABLE schema_info (version INTEGER NOT NULL);"
    "INSERT INTO schema_info (version) VALUES (1);"
    "CREATE TABLE runs ("
    " run_id TEXT PRIMARY KEY, command TEXT NOT NULL, options TEXT NOT NULL,"
    " limits TEXT NOT NULL, started_at TEXT NOT NULL, ended_at TEXT, host TEXT NOT NULL,"
    " operator TEXT NOT NULL, torvanctl_version TEXT NOT NULL, outcome TEXT,"
    " exit_code INTEGER);"
    "CREATE TABLE boards ("
    " run_id TEXT NOT NULL REFERENCES runs (run_id) ON DELETE CASCADE,"
    " board_index INTEGER NOT NULL, port TEXT NOT NULL, name TEXT, kind TEXT, speed INTEGER,"
    " line_ending INTEGER, outcome TEXT, why TEXT, PRIMARY KEY (run_id, board_index));"
    "CREATE TABLE steps ("
    " run_id TEXT NOT NULL, board_index INTEGER NOT NULL, step_index INTEGER NOT NULL,"
    " from_pct DOUBLE PRECISION, set_point_pct DOUBLE PRECISION, settle_ms DOUBLE PRECISION,"
    " rise_ms DOUBLE PRECISION, overshoot_pct DOUBLE PRECISION,"
    " mean_error_pct DOUBLE PRECISION, noise_pct DOUBLE PRECISION, pass INTEGER NOT NULL,"
    " PRIMARY KEY (run_id, board_index, step_index),"
    " FOREIGN KEY (run_id, board_index) REFERENCES boards (run_id, board_index)"
    " ON DELETE CASCADE);"
    "CREATE TABLE captures ("
    " run_id TEXT NOT NULL, board_index INTEGER NOT NULL, samples_made INTEGER,"
    " samples_written INTEGER, file TEXT, largest_gap_ms DOUBLE PRECISION,"
    " flow_min_pct DOUBLE PRECISION, flow_max_pct DOUBLE PRECISION,"
    " flow_mean_pct DOUBLE PRECISION, PRIMARY KEY (run_id, board_index),"
    " FOREIGN KEY (run_id, board_index) REFERENCES boards (run_id, board_index)"
    " ON DELETE CASCADE);"
    "CREATE TABLE bumps ("
    " run_id TEXT NOT NULL, board_index INTEGER NOT NULL, flow_type INTEGER,"
    " sp1_pct DOUBLE PRECISION, sp2_pct DOUBLE PRECISION, read_v1 INTEGER,"
    " read_gain DOUBLE PRECISION, read_set_point_pct DOUBLE PRECISION, drive_sp1 INTEGER,"
    " drive_sp2 INTEGER, left_with TEXT, PRIMARY KEY (run_id, board_index),"
    " FOREIGN KEY (run_id, board_index) REFERENCES boards (run_id, board_index)"
    " ON DELETE CASCADE);"
    "CREATE TABLE samples ("
    " run_id TEXT NOT NULL REFERENCES runs (run_id) ON DELETE CASCADE,"
    " board_index INTEGER NOT NULL, sample_index INTEGER NOT NULL,"
    " time_s DOUBLE PRECISION NOT NULL, flow_pct DOUBLE PRECISION NOT NULL,"
    " set_point_pct DOUBLE PRECISION, PRIMARY KEY (run_id, board_index, sample_index))"
    " WITHOUT ROWID;",
    // 2: the board's gas, and the indexes the common questions (a week, a board) use.
    "ALTER TABLE boards ADD COLUMN gas TEXT;"
    "ALTER TABLE boards ADD COLUMN units TEXT;"
    "ALTER TABLE boards ADD COLUMN full_scale DOUBLE PRECISION;"
    "CREATE INDEX runs_by_start ON runs (started_at);"
    "CREATE INDEX boards_by_name ON boards (name);"
    "CREATE INDEX boards_by_port ON boards (port);"
    "UPDATE schema_info SET version = 2;",
};

// One prepared statement, finalized however the function that made it ends.
class Statement {
  public:
    Statement(sqlite3* db, const char* sql) {
        if (sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr) != SQLITE_OK) {
            sqlite3_finalize(stmt_);
            stmt_ = nullptr;
        }
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool Ready() const { return stmt_ != nullptr; }
    sqlite3_stmt* Get() const { return stmt_; }
    void Text(int i, const std::string& text) {
        sqlite3_bind_text(stmt_, i, text.data(), (int)text.size(), SQLITE_TRANSIENT);
    }
    // "" is stored as none.
    void TextOrNull(int i, const std::string& text) {
        if (text.empty()) {
            sqlite3_bind_null(stmt_, i);
        } else {
            Text(i, text);
        }
    }
    void Number(int i, double value) {
        if (std::isfinite(value)) {
            sqlite3_bind_double(stmt_, i, value);
        } else {
            sqlite3_bind_null(stmt_, i);
        }
    }
    void Integer(int i, long long value) { sqlite3_bind_int64(stmt_, i, value); }
    void Null(int i) { sqlite3_bind_null(stmt_, i); }
    int Step() { return sqlite3_step(stmt_); }
    void Reset() {
        sqlite3_reset(stmt_);
        sqlite3_clear_bindings(stmt_);
    }
    std::string ColText(int i) const {
        const unsigned char* text = sqlite3_column_text(stmt_, i);
        return text != nullptr
                   ? std::string((const char*)text, (size_t)sqlite3_column_bytes(stmt_, i))
                   : std::string();
    }
    double ColNumber(int i) const {
        return sqlite3_column_type(stmt_, i) == SQLITE_NULL ? NAN : sqlite3_column_double(stmt_, i);
    }
    long long ColInteger(int i, long long none) const {
        return sqlite3_column_type(stmt_, i) == SQLITE_NULL ? none : sqlite3_column_int64(stmt_, i);
    }

  private:
    sqlite3_stmt* stmt_ = nullptr;
};

class SqliteResults : public ResultsStore {
  public:
    explicit SqliteResults(sqlite3* db) : db_(db) {}
    ~SqliteResults() override { sqlite3_close(db_); }

    int Setup(int forWriting, const char* path);
    int BeginRun(const ResultsRun& run) override;
    int AddBoard(const std::string& runId, const ResultsBoard& board) override;
    int AddSteps(const std::string& runId, const std::vector<ResultsStep>& steps) override;
    int AddCapture(const std::string& runId, const ResultsCapture& capture) override;
    int AddBump(const std::string& runId, const ResultsBump& bump) override;
    int AddSamples(const std::string& runId, const ResultsSample* samples, size_t count) override;
    int EndRun(const std::string& runId, const std::string& endedAt, const std::string& outcome,
               int exitCode) override;
    int DiscardRun(const std::string& runId) override;
    int ListRuns(const ResultsFilter& filter, std::vector<ResultsListedRun>* out) override;
    int LoadRun(const std::string& idOrPrefix, ResultsRunDetail* out) override;
    int RunIds(std::vector<std::string>* out) override;
    int LoadSamples(const std::string& runId, const ResultsSample& after, size_t limit,
                    std::vector<ResultsSample>* out) override;
    const std::string& Why() const override { return why_; }

  private:
    int Failed(const char* doing) {
        why_ = std::string(doing) + ": " + sqlite3_errmsg(db_);
        return 0;
    }
    int Exec(const char* sql, const char* doing) {
        return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK ? 1 : Failed(doing);
    }
    // Runs the statement to its end; 1 when it did.
    int Done(Statement& statement, const char* doing) {
        if (!statement.Ready()) {
            return Failed(doing);
        }
        return statement.Step() == SQLITE_DONE ? 1 : Failed(doing);
    }
    int Rollback(int result) {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        return result;
    }
    int Migrate(int forWriting);
    int ReadBoards(const std::string& runId, const ResultsFilter* filter,
                   std::vector<ResultsBoard>* out);

    sqlite3* db_;
    std::mutex lock_;
    std::string why_;
};

// The version stored in the file: 0 for a new (empty) file, -1 for a file that holds other
// tables than ours.
int StoredVersion(sqlite3* db, int* version) {
    Statement tables(db, "SELECT count(*), sum(name = 'schema_info') FROM sqlite_master "
                         "WHERE type = 'table'");
    if (!tables.Ready() || tables.Step() != SQLITE_ROW) {
        return 0;
    }
    long long count = tables.ColInteger(0, 0), ours = tables.ColInteger(1, 0);
    if (ours == 0) {
        *version = count == 0 ? 0 : -1;
        return 1;
    }
    Statement read(db, "SELECT max(version) FROM schema_info");
    if (!read.Ready() || read.Step() != SQLITE_ROW) {
        return 0;
    }
    *version = (int)read.ColInteger(0, 0);
    return 1;
}

int SqliteResults::Migrate(int forWriting) {
    // IMMEDIATE: the write lock is taken now, so a file that cannot be written fails here,
    // before any board is touched.
    if (forWriting && !Exec("BEGIN IMMEDIATE", "cannot write to the database")) {
        return 0;
    }
    if (!forWriting && !Exec("BEGIN", "cannot read the database")) {
        return 0;
    }
    int version = 0;
    if (!StoredVersion(db_, &version)) {
        return Rollback(Failed("cannot read the database"));
    }
    if (version < 0) {
        why_ = "it holds other tables: not a torvanctl results database";
        return Rollback(0);
    }
    if (version > RESULTS_SCHEMA_VERSION) {
        why_ = "its schema version " + std::to_string(version) +
               " is newer than this torvanctl's (" + std::to_string(RESULTS_SCHEMA_VERSION) + ")";
        return Rollback(0);
    }
    if (version == 0 && !forWriting) {
        why_ = "no runs stored in it yet";
        return Rollback(0);
    }
    for (int step = version; step < RESULTS_SCHEMA_VERSION; ++step) {
        if (!Exec(MIGRATIONS[step], "cannot bring the database's schema up to date")) {
            return Rollback(0);
        }
    }
    return Exec("COMMIT", "cannot write to the database") ? 1 : Rollback(0);
}

int SqliteResults::Setup(int forWriting, const char* path) {
    sqlite3_busy_timeout(db_, BUSY_TIMEOUT_MS);
    if (!Exec("PRAGMA foreign_keys = ON", "cannot set the database up")) {
        return 0;
    }
    if (forWriting && sqlite3_db_readonly(db_, "main") == 1) {
        why_ = std::string(path) + " is read-only";
        return 0;
    }
    // The write-ahead log lets `results` read while a bench writes, and a batch of samples
    // costs no sync of its own; a killed torvanctl loses no committed row.
    if (forWriting && (!Exec("PRAGMA journal_mode = WAL", "cannot set the database up") ||
                       !Exec("PRAGMA synchronous = NORMAL", "cannot set the database up"))) {
        return 0;
    }
    return Migrate(forWriting);
}

int SqliteResults::BeginRun(const ResultsRun& run) {
    std::lock_guard<std::mutex> hold(lock_);
    Statement insert(db_, "INSERT INTO runs (run_id, command, options, limits, started_at, host,"
                          " operator, torvanctl_version) VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
    if (insert.Ready()) {
        insert.Text(1, run.RunId);
        insert.Text(2, run.Command);
        insert.Text(3, run.Options);
        insert.Text(4, run.Limits);
        insert.Text(5, run.StartedAt);
        insert.Text(6, run.Host);
        insert.Text(7, run.Operator);
        insert.Text(8, run.Version);
    }
    return Done(insert, "cannot store the run");
}

int SqliteResults::AddBoard(const std::string& runId, const ResultsBoard& board) {
    std::lock_guard<std::mutex> hold(lock_);
    Statement upsert(
        db_, "INSERT INTO boards (run_id, board_index, port, name, kind, speed, line_ending,"
             " gas, units, full_scale, outcome, why) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
             " ON CONFLICT (run_id, board_index) DO UPDATE SET port = excluded.port,"
             " name = excluded.name, kind = excluded.kind, speed = excluded.speed,"
             " line_ending = excluded.line_ending, gas = excluded.gas, units = excluded.units,"
             " full_scale = excluded.full_scale, outcome = excluded.outcome,"
             " why = excluded.why");
    if (upsert.Ready()) {
        const int found = !board.Kind.empty();
        upsert.Text(1, runId);
        upsert.Integer(2, board.Index);
        upsert.Text(3, board.Port);
        // A board that was never identified has no name, not an empty one.
        if (found) {
            upsert.Text(4, board.Name);
            upsert.Text(5, board.Kind);
            upsert.Integer(6, board.Speed);
            upsert.Integer(7, board.LineEnding);
            upsert.Text(8, board.Gas);
            upsert.Text(9, board.Units);
            upsert.Number(10, board.FullScale);
        } else {
            for (int i = 4; i <= 10; ++i) {
                upsert.Null(i);
            }
        }
        upsert.TextOrNull(11, board.Outcome);
        upsert.TextOrNull(12, board.Why);
    }
    return Done(upsert, "cannot store the board");
}

int SqliteResults::AddSteps(const std::string& runId, const std::vector<ResultsStep>& steps) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!Exec("BEGIN IMMEDIATE", "cannot store the steps")) {
        return 0;
    }
    Statement insert(db_, "INSERT INTO steps (run_id, board_index, step_index, from_pct,"
                          " set_point_pct, settle_ms, rise_ms, overshoot_pct, mean_error_pct,"
                          " noise_pct, pass) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                          " ON CONFLICT DO NOTHING");
    for (const ResultsStep& step : steps) {
        if (insert.Ready()) {
            insert.Reset();
            insert.Text(1, runId);
            insert.Integer(2, step.Board);
            insert.Integer(3, step.Index);
            insert.Number(4, step.FromPct);
            insert.Number(5, step.SetPointPct);
            insert.Number(6, step.SettleMs);
            insert.Number(7, step.RiseMs);
            insert.Number(8, step.OvershootPct);
            insert.Number(9, step.MeanErrorPct);
            insert.Number(10, step.NoisePct);
            insert.Integer(11, step.Pass);
        }
        if (!Done(insert, "cannot store the steps")) {
            return Rollback(0);
        }
    }
    return Exec("COMMIT", "cannot store the steps") ? 1 : Rollback(0);
}

int SqliteResults::AddCapture(const std::string& runId, const ResultsCapture& capture) {
    std::lock_guard<std::mutex> hold(lock_);
    Statement insert(db_, "INSERT INTO captures (run_id, board_index, samples_made,"
                          " samples_written, file, largest_gap_ms, flow_min_pct, flow_max_pct,"
                          " flow_mean_pct) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)"
                          " ON CONFLICT DO NOTHING");
    if (insert.Ready()) {
        insert.Text(1, runId);
        insert.Integer(2, capture.Board);
        insert.Integer(3, capture.Made);
        insert.Integer(4, capture.Written);
        insert.Text(5, capture.File);
        insert.Number(6, capture.LargestGapMs);
        insert.Number(7, capture.FlowMinPct);
        insert.Number(8, capture.FlowMaxPct);
        insert.Number(9, capture.FlowMeanPct);
    }
    return Done(insert, "cannot store the capture");
}

int SqliteResults::AddBump(const std::string& runId, const ResultsBump& bump) {
    std::lock_guard<std::mutex> hold(lock_);
    Statement insert(db_, "INSERT INTO bumps (run_id, board_index, flow_type, sp1_pct, sp2_pct,"
                          " read_v1, read_gain, read_set_point_pct, drive_sp1, drive_sp2,"
                          " left_with) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?)"
                          " ON CONFLICT DO NOTHING");
    if (insert.Ready()) {
        insert.Text(1, runId);
        insert.Integer(2, bump.Board);
        insert.Integer(3, bump.FlowType);
        insert.Number(4, bump.Sp1Pct);
        insert.Number(5, bump.Sp2Pct);
        insert.Integer(6, bump.ReadV1);
        insert.Number(7, bump.ReadGain);
        insert.Number(8, bump.ReadSetPointPct);
        if (bump.Drive1 >= 0) {
            insert.Integer(9, bump.Drive1);
        }
        if (bump.Drive2 >= 0) {
            insert.Integer(10, bump.Drive2);
        }
        insert.TextOrNull(11, bump.Left);
    }
    return Done(insert, "cannot store the bump");
}

int SqliteResults::AddSamples(const std::string& runId, const ResultsSample* samples,
                              size_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!Exec("BEGIN IMMEDIATE", "cannot store samples")) {
        return 0;
    }
    Statement insert(db_, "INSERT INTO samples (run_id, board_index, sample_index, time_s,"
                          " flow_pct, set_point_pct) VALUES (?, ?, ?, ?, ?, ?)"
                          " ON CONFLICT DO NOTHING");
    for (size_t i = 0; i < count; ++i) {
        if (insert.Ready()) {
            insert.Reset();
            insert.Text(1, runId);
            insert.Integer(2, samples[i].Board);
            insert.Integer(3, samples[i].Index);
            insert.Number(4, samples[i].TimeS);
            insert.Number(5, samples[i].FlowPct);
            insert.Number(6, samples[i].SetPointPct);
        }
        if (!Done(insert, "cannot store samples")) {
            return Rollback(0);
        }
    }
    return Exec("COMMIT", "cannot store samples") ? 1 : Rollback(0);
}

int SqliteResults::EndRun(const std::string& runId, const std::string& endedAt,
                          const std::string& outcome, int exitCode) {
    std::lock_guard<std::mutex> hold(lock_);
    Statement update(db_, "UPDATE runs SET ended_at = ?, outcome = ?, exit_code = ?"
                          " WHERE run_id = ?");
    if (update.Ready()) {
        update.Text(1, endedAt);
        update.Text(2, outcome);
        update.Integer(3, exitCode);
        update.Text(4, runId);
    }
    return Done(update, "cannot store the run's end");
}

int SqliteResults::DiscardRun(const std::string& runId) {
    std::lock_guard<std::mutex> hold(lock_);
    Statement remove(db_, "DELETE FROM runs WHERE run_id = ?");
    if (remove.Ready()) {
        remove.Text(1, runId);
    }
    return Done(remove, "cannot remove the run");
}

// The columns of a run, in the order ReadRun takes them.
const char* const RUN_COLUMNS =
    "r.run_id, r.command, r.options, r.limits, r.started_at, r.ended_at, r.host, r.operator,"
    " r.torvanctl_version, coalesce(r.outcome, 'ABORTED'), r.exit_code";
constexpr int RUN_COLUMN_COUNT = 11;
const char* const BOARD_COLUMNS =
    "b.board_index, b.port, b.name, b.kind, b.speed, b.line_ending, b.gas, b.units,"
    " b.full_scale, coalesce(b.outcome, 'ABORTED'), b.why";

ResultsRun ReadRun(const Statement& row) {
    ResultsRun run;
    run.RunId = row.ColText(0);
    run.Command = row.ColText(1);
    run.Options = row.ColText(2);
    run.Limits = row.ColText(3);
    run.StartedAt = row.ColText(4);
    run.EndedAt = row.ColText(5);
    run.Host = row.ColText(6);
    run.Operator = row.ColText(7);
    run.Version = row.ColText(8);
    run.Outcome = row.ColText(9);
    run.ExitCode = (int)row.ColInteger(10, -1);
    return run;
}

ResultsBoard ReadBoard(const Statement& row, int first) {
    ResultsBoard board;
    board.Index = (int)row.ColInteger(first, 0);
    board.Port = row.ColText(first + 1);
    board.Name = row.ColText(first + 2);
    board.Kind = row.ColText(first + 3);
    board.Speed = (long)row.ColInteger(first + 4, 0);
    board.LineEnding = (long)row.ColInteger(first + 5, 0);
    board.Gas = row.ColText(first + 6);
    board.Units = row.ColText(first + 7);
    board.FullScale = row.ColNumber(first + 8);
    board.Outcome = row.ColText(first + 9);
    board.Why = row.ColText(first + 10);
    return board;
}

// The board filters of `results`: every one given must hold.
const char* const BOARD_FILTER = " AND (?2 IS NULL OR b.name = ?2) AND (?3 IS NULL OR b.port = ?3)"
                                 " AND (?4 IS NULL OR coalesce(b.outcome, 'ABORTED') = ?4)";

void BindFilter(Statement& query, const ResultsFilter& filter) {
    query.TextOrNull(1, filter.Since);
    query.TextOrNull(2, filter.Board);
    query.TextOrNull(3, filter.Port);
    query.TextOrNull(4, filter.Outcome);
}

int SqliteResults::ListRuns(const ResultsFilter& filter, std::vector<ResultsListedRun>* out) {
    std::lock_guard<std::mutex> hold(lock_);
    std::string sql = std::string("SELECT ") + RUN_COLUMNS + ", " + BOARD_COLUMNS +
                      " FROM runs r JOIN boards b ON b.run_id = r.run_id"
                      " WHERE (?1 IS NULL OR r.started_at >= ?1)" +
                      BOARD_FILTER + " ORDER BY r.started_at, r.run_id, b.board_index";
    Statement query(db_, sql.c_str());
    if (!query.Ready()) {
        return Failed("cannot read the runs");
    }
    BindFilter(query, filter);
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        ResultsRun run = ReadRun(query);
        if (out->empty() || out->back().Run.RunId != run.RunId) {
            out->push_back(ResultsListedRun{run, {}});
        }
        out->back().Boards.push_back(ReadBoard(query, RUN_COLUMN_COUNT));
    }
    return step == SQLITE_DONE ? 1 : Failed("cannot read the runs");
}

int SqliteResults::ReadBoards(const std::string& runId, const ResultsFilter*,
                              std::vector<ResultsBoard>* out) {
    std::string sql = std::string("SELECT ") + BOARD_COLUMNS +
                      " FROM boards b WHERE b.run_id = ? ORDER BY b.board_index";
    Statement query(db_, sql.c_str());
    if (!query.Ready()) {
        return Failed("cannot read the boards");
    }
    query.Text(1, runId);
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        out->push_back(ReadBoard(query, 0));
    }
    return step == SQLITE_DONE ? 1 : Failed("cannot read the boards");
}

int SqliteResults::LoadRun(const std::string& idOrPrefix, ResultsRunDetail* out) {
    std::lock_guard<std::mutex> hold(lock_);
    // A prefix is compared as text, so no character of it has a meaning of its own.
    std::string sql = std::string("SELECT ") + RUN_COLUMNS +
                      " FROM runs r WHERE substr(r.run_id, 1, length(?1)) = ?1"
                      " ORDER BY r.run_id LIMIT 2";
    Statement find(db_, sql.c_str());
    if (!find.Ready()) {
        return Failed("cannot read the runs");
    }
    find.Text(1, idOrPrefix);
    int found = 0;
    while (find.Step() == SQLITE_ROW) {
        if (found++ == 0) {
            out->Run = ReadRun(find);
        }
    }
    if (found != 1 || idOrPrefix.empty()) {
        why_ = idOrPrefix.empty() ? "no run named"
               : found == 0       ? "no run " + idOrPrefix
                                  : "more than one run starts with " + idOrPrefix;
        return 0;
    }
    const std::string& runId = out->Run.RunId;
    if (!ReadBoards(runId, nullptr, &out->Boards)) {
        return 0;
    }
    Statement steps(db_, "SELECT board_index, step_index, from_pct, set_point_pct, settle_ms,"
                         " rise_ms, overshoot_pct, mean_error_pct, noise_pct, pass FROM steps"
                         " WHERE run_id = ? ORDER BY board_index, step_index");
    Statement captures(db_, "SELECT board_index, samples_made, samples_written, file,"
                            " largest_gap_ms, flow_min_pct, flow_max_pct, flow_mean_pct"
                            " FROM captures WHERE run_id = ? ORDER BY board_index");
    Statement bumps(db_, "SELECT board_index, flow_type, sp1_pct, sp2_pct, read_v1, read_gain,"
                         " read_set_point_pct, drive_sp1, drive_sp2, left_with FROM bumps"
                         " WHERE run_id = ? ORDER BY board_index");
    Statement samples(db_, "SELECT board_index, count(*) FROM samples WHERE run_id = ?"
                           " GROUP BY board_index");
    if (!steps.Ready() || !captures.Ready() || !bumps.Ready() || !samples.Ready()) {
        return Failed("cannot read the run");
    }
    for (Statement* query : {&steps, &captures, &bumps, &samples}) {
        query->Text(1, runId);
    }
    while (steps.Step() == SQLITE_ROW) {
        ResultsStep step;
        step.Board = (int)steps.ColInteger(0, 0);
        step.Index = (int)steps.ColInteger(1, 0);
        step.FromPct = steps.ColNumber(2);
        step.SetPointPct = steps.ColNumber(3);
        step.SettleMs = steps.ColNumber(4);
        step.RiseMs = steps.ColNumber(5);
        step.OvershootPct = steps.ColNumber(6);
        step.MeanErrorPct = steps.ColNumber(7);
        step.NoisePct = steps.ColNumber(8);
        step.Pass = (int)steps.ColInteger(9, 0);
        out->Steps.push_back(step);
    }
    while (captures.Step() == SQLITE_ROW) {
        ResultsCapture capture;
        capture.Board = (int)captures.ColInteger(0, 0);
        capture.Made = captures.ColInteger(1, 0);
        capture.Written = captures.ColInteger(2, 0);
        capture.File = captures.ColText(3);
        capture.LargestGapMs = captures.ColNumber(4);
        capture.FlowMinPct = captures.ColNumber(5);
        capture.FlowMaxPct = captures.ColNumber(6);
        capture.FlowMeanPct = captures.ColNumber(7);
        out->Captures.push_back(capture);
    }
    while (bumps.Step() == SQLITE_ROW) {
        ResultsBump bump;
        bump.Board = (int)bumps.ColInteger(0, 0);
        bump.FlowType = (int)bumps.ColInteger(1, 0);
        bump.Sp1Pct = bumps.ColNumber(2);
        bump.Sp2Pct = bumps.ColNumber(3);
        bump.ReadV1 = (long)bumps.ColInteger(4, 0);
        bump.ReadGain = bumps.ColNumber(5);
        bump.ReadSetPointPct = bumps.ColNumber(6);
        bump.Drive1 = (long)bumps.ColInteger(7, -1);
        bump.Drive2 = (long)bumps.ColInteger(8, -1);
        bump.Left = bumps.ColText(9);
        out->Bumps.push_back(bump);
    }
    out->SampleCounts.assign(out->Boards.size(), 0);
    while (samples.Step() == SQLITE_ROW) {
        long long board = samples.ColInteger(0, -1);
        for (size_t i = 0; i < out->Boards.size(); ++i) {
            if (out->Boards[i].Index == board) {
                out->SampleCounts[i] = samples.ColInteger(1, 0);
            }
        }
    }
    return 1;
}

int SqliteResults::RunIds(std::vector<std::string>* out) {
    std::lock_guard<std::mutex> hold(lock_);
    Statement query(db_, "SELECT run_id FROM runs ORDER BY started_at, run_id");
    if (!query.Ready()) {
        return Failed("cannot read the runs");
    }
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        out->push_back(query.ColText(0));
    }
    return step == SQLITE_DONE ? 1 : Failed("cannot read the runs");
}

int SqliteResults::LoadSamples(const std::string& runId, const ResultsSample& after, size_t limit,
                               std::vector<ResultsSample>* out) {
    std::lock_guard<std::mutex> hold(lock_);
    Statement query(db_, "SELECT board_index, sample_index, time_s, flow_pct, set_point_pct"
                         " FROM samples WHERE run_id = ? AND (board_index, sample_index) > (?, ?)"
                         " ORDER BY board_index, sample_index LIMIT ?");
    if (!query.Ready()) {
        return Failed("cannot read the samples");
    }
    query.Text(1, runId);
    query.Integer(2, after.Board);
    query.Integer(3, after.Index);
    query.Integer(4, (long long)limit);
    int step;
    while ((step = query.Step()) == SQLITE_ROW) {
        out->push_back(ResultsSample{(int)query.ColInteger(0, 0), query.ColInteger(1, 0),
                                     query.ColNumber(2), query.ColNumber(3), query.ColNumber(4)});
    }
    return step == SQLITE_DONE ? 1 : Failed("cannot read the samples");
}

} // namespace

std::unique_ptr<ResultsStore> OpenSqliteResults(const char* path, int forWriting,
                                                std::string* why) {
    struct stat info;
    if (stat(path, &info) != 0) {
        if (!forWriting || errno != ENOENT) {
            *why = std::string("cannot open ") + path + ": " + strerror(errno);
            return nullptr;
        }
        // SQLite would make the file readable by everyone: it is made here, for its user only
        // (SQLite gives its journal and log files the same mode).
        int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno != EEXIST) {
            *why = std::string("cannot create ") + path + ": " + strerror(errno);
            return nullptr;
        }
        if (fd >= 0) {
            close(fd);
        }
    } else if (S_ISDIR(info.st_mode)) {
        *why = std::string(path) + " is a folder, not a database";
        return nullptr;
    }
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path, &db, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
        *why = std::string("cannot open ") + path + ": " +
               (db != nullptr ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return nullptr;
    }
    std::unique_ptr<SqliteResults> store(new SqliteResults(db));
    if (!store->Setup(forWriting, path)) {
        *why = path + std::string(": ") + store->Why();
        return nullptr;
    }
    return store;
}

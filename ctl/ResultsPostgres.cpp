// The results store on a PostgreSQL server (Debian's libpq), which the bench PCs of a line
// write to at once: the same tables as the SQLite file, made and migrated by torvanctl. Every
// value reaches the server as a parameter of PQexecParams or as a field of a COPY, never as
// SQL text; numbers go as text made by to_chars, so no locale's decimal comma reaches it.
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include <libpq-fe.h>

#include "ctl/ResultsStore.h"

namespace {

// Each entry takes the schema from the version before it to its own, as for the SQLite file;
// counts and indexes of samples are 64-bit here, as a whole line's samples add up.
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
    " board_index INTEGER NOT NULL, port TEXT NOT NULL, name TEXT, kind TEXT, speed BIGINT,"
    " line_ending BIGINT, outcome TEXT, why TEXT, PRIMARY KEY (run_id, board_index));"
    "CREATE TABLE steps ("
    " run_id TEXT NOT NULL, board_index INTEGER NOT NULL, step_index INTEGER NOT NULL,"
    " from_pct DOUBLE PRECISION, set_point_pct DOUBLE PRECISION, settle_ms DOUBLE PRECISION,"
    " rise_ms DOUBLE PRECISION, overshoot_pct DOUBLE PRECISION,"
    " mean_error_pct DOUBLE PRECISION, noise_pct DOUBLE PRECISION, pass INTEGER NOT NULL,"
    " PRIMARY KEY (run_id, board_index, step_index),"
    " FOREIGN KEY (run_id, board_index) REFERENCES boards (run_id, board_index)"
    " ON DELETE CASCADE);"
    "CREATE TABLE captures ("
    " run_id TEXT NOT NULL, board_index INTEGER NOT NULL, samples_made BIGINT,"
    " samples_written BIGINT, file TEXT, largest_gap_ms DOUBLE PRECISION,"
    " flow_min_pct DOUBLE PRECISION, flow_max_pct DOUBLE PRECISION,"
    " flow_mean_pct DOUBLE PRECISION, PRIMARY KEY (run_id, board_index),"
    " FOREIGN KEY (run_id, board_index) REFERENCES boards (run_id, board_index)"
    " ON DELETE CASCADE);"
    "CREATE TABLE bumps ("
    " run_id TEXT NOT NULL, board_index INTEGER NOT NULL, flow_type INTEGER,"
    " sp1_pct DOUBLE PRECISION, sp2_pct DOUBLE PRECISION, read_v1 BIGINT,"
    " read_gain DOUBLE PRECISION, read_set_point_pct DOUBLE PRECISION, drive_sp1 BIGINT,"
    " drive_sp2 BIGINT, left_with TEXT, PRIMARY KEY (run_id, board_index),"
    " FOREIGN KEY (run_id, board_index) REFERENCES boards (run_id, board_index)"
    " ON DELETE CASCADE);"
    "CREATE TABLE samples ("
    " run_id TEXT NOT NULL REFERENCES runs (run_id) ON DELETE CASCADE,"
    " board_index INTEGER NOT NULL, sample_index BIGINT NOT NULL,"
    " time_s DOUBLE PRECISION NOT NULL, flow_pct DOUBLE PRECISION NOT NULL,"
    " set_point_pct DOUBLE PRECISION, PRIMARY KEY (run_id, board_index, sample_index));",
    // 2: the board's gas, and the indexes the common questions (a week, a board) use.
    "ALTER TABLE boards ADD COLUMN gas TEXT;"
    "ALTER TABLE boards ADD COLUMN units TEXT;"
    "ALTER TABLE boards ADD COLUMN full_scale DOUBLE PRECISION;"
    "CREATE INDEX runs_by_start ON runs (started_at);"
    "CREATE INDEX boards_by_name ON boards (name);"
    "CREATE INDEX boards_by_port ON boards (port);"
    "UPDATE schema_info SET version = 2;",
};

// The advisory lock two benches take to migrate a new database one after the other.
const char* const MIGRATION_LOCK = "SELECT pg_advisory_xact_lock(7467797661)";

// The staging table a batch of samples is copied into; a batch sent again, or its rows
// already there from a send that broke off, is stored once by the move's ON CONFLICT.
const char* const STAGING_TABLE =
    "CREATE TEMP TABLE samples_staging (run_id TEXT, board_index INTEGER, sample_index BIGINT,"
    " time_s DOUBLE PRECISION, flow_pct DOUBLE PRECISION, set_point_pct DOUBLE PRECISION)"
    " ON COMMIT DELETE ROWS";

// Set before the target's own settings, which win: a server that does not answer fails the
// connection after 10 s, and a send to a host that vanished after 10 s, not many minutes.
const char* const CONNECT_KEYWORDS[] = {"connect_timeout", "tcp_user_timeout", "application_name",
                                        "dbname", nullptr};
const char* const CONNECT_DEFAULTS[] = {"10", "10000", "torvanctl"};

void Quiet(void*, const char*) {}

std::string NumberText(double value) {
    char text[40];
    std::to_chars_result made = std::to_chars(text, text + sizeof text, value);
    return std::string(text, made.ptr);
}

// A column's text as a number (NaN when none or not one); integers as long long.
double ToNumber(const char* text) {
    double value = NAN;
    if (std::from_chars(text, text + strlen(text), value).ec != std::errc()) {
        return NAN;
    }
    return value;
}

// One result, cleared however the function that got it ends.
class Result {
  public:
    explicit Result(PGresult* result) : result_(result) {}
    ~Result() { PQclear(result_); }
    Result(const Result&) = delete;
    Result& operator=(const Result&) = delete;

    PGresult* Get() const { return result_; }
    ExecStatusType Status() const { return PQresultStatus(result_); }
    int Rows() const { return PQntuples(result_); }
    bool Null(int row, int column) const { return PQgetisnull(result_, row, column) != 0; }
    std::string Text(int row, int column) const {
        return Null(row, column) ? std::string()
                                 : std::string(PQgetvalue(result_, row, column),
                                               (size_t)PQgetlength(result_, row, column));
    }
    double Number(int row, int column) const {
        return Null(row, column) ? NAN : ToNumber(PQgetvalue(result_, row, column));
    }
    long long Integer(int row, int column, long long none) const {
        return Null(row, column) ? none : strtoll(PQgetvalue(result_, row, column), nullptr, 10);
    }

  private:
    PGresult* result_;
};

// The parameters of one statement, each as text or none.
class Params {
  public:
    void Text(const std::string& text) { Add(text, 0); }
    // "" is stored as none.
    void TextOrNull(const std::string& text) { Add(text, text.empty()); }
    void Number(double value) { std::isfinite(value) ? Add(NumberText(value), 0) : Null(); }
    void Integer(long long value) { Add(std::to_string(value), 0); }
    void Null() { Add("", 1); }
    PGresult* Exec(PGconn* conn, const char* sql) const {
        std::vector<const char*> values;
        for (size_t i = 0; i < values_.size(); ++i) {
            values.push_back(null_[i] ? nullptr : values_[i].c_str());
        }
        return PQexecParams(conn, sql, (int)values.size(), nullptr, values.data(), nullptr, nullptr,
                            0);
    }

  private:
    void Add(const std::string& text, int null) {
        values_.push_back(text);
        null_.push_back(null);
    }
    std::vector<std::string> values_;
    std::vector<int> null_;
};

// A COPY text field: backslash, tab and line breaks escaped.
void CopyText(const std::string& text, std::string* out) {
    for (char c : text) {
        switch (c) {
        case '\\':
            *out += "\\\\";
            break;
        case '\t':
            *out += "\\t";
            break;
        case '\n':
            *out += "\\n";
            break;
        case '\r':
            *out += "\\r";
            break;
        default:
            out->push_back(c);
        }
    }
}

void CopyNumber(double value, std::string* out) {
    *out += std::isfinite(value) ? NumberText(value) : "\\N";
}

class PostgresResults : public ResultsStore {
  public:
    PostgresResults(PGconn* conn, std::string target) : conn_(conn), target_(std::move(target)) {}
    ~PostgresResults() override { PQfinish(conn_); }

    int Setup(int forWriting);
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
    int Unreachable() const override { return PQstatus(conn_) == CONNECTION_BAD; }
    const std::string& Why() const override { return why_; }

  private:
    int Failed(const char* doing, const char* message) {
        std::string text = message != nullptr ? message : "";
        while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) {
            text.pop_back();
        }
        why_ = WithoutPassword(target_.c_str(), std::string(doing) + ": " + text);
        return 0;
    }
    // A statement that returns no rows; 1 when it ran.
    int Command(const Params& params, const char* sql, const char* doing) {
        Result result(params.Exec(conn_, sql));
        return result.Status() == PGRES_COMMAND_OK
                   ? 1
                   : Failed(doing, PQresultErrorMessage(result.Get()));
    }
    // SQL without values (transactions, the schema).
    int Simple(const char* sql, const char* doing) {
        Result result(PQexec(conn_, sql));
        return result.Status() == PGRES_COMMAND_OK || result.Status() == PGRES_TUPLES_OK
                   ? 1
                   : Failed(doing, PQresultErrorMessage(result.Get()));
    }
    int Rollback(int result) {
        PQclear(PQexec(conn_, "ROLLBACK"));
        return result;
    }
    int Commit(const char* doing) { return Simple("COMMIT", doing) ? 1 : Rollback(0); }
    int Migrate(int forWriting);
    int CopySamples(const std::string& runId, const ResultsSample* samples, size_t count);

    PGconn* conn_;
    std::string target_;
    std::mutex lock_;
    std::string why_;
};

int PostgresResults::Migrate(int forWriting) {
    if (!Simple("BEGIN", "cannot read the database")) {
        return 0;
    }
    if (forWriting && !Simple(MIGRATION_LOCK, "cannot write to the database")) {
        return Rollback(0);
    }
    int version = 0;
    {
        // The database may hold other tables (the line's own); ours are known by schema_info.
        Result found(PQexec(conn_, "SELECT to_regclass('schema_info') IS NOT NULL"));
        if (found.Status() != PGRES_TUPLES_OK || found.Rows() != 1) {
            return Rollback(Failed("cannot read the database", PQresultErrorMessage(found.Get())));
        }
        if (found.Text(0, 0) == "t") {
            Result read(PQexec(conn_, "SELECT max(version) FROM schema_info"));
            if (read.Status() != PGRES_TUPLES_OK || read.Rows() != 1) {
                return Rollback(
                    Failed("cannot read the database", PQresultErrorMessage(read.Get())));
            }
            version = (int)read.Integer(0, 0, 0);
        }
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
        if (!Simple(MIGRATIONS[step], "cannot bring the database's schema up to date")) {
            return Rollback(0);
        }
    }
    return Commit("cannot write to the database");
}

int PostgresResults::Setup(int forWriting) {
    PQsetNoticeProcessor(conn_, Quiet, nullptr);
    // Doubles come back as the shortest text that reads back exactly, whatever the server's
    // own setting.
    if (!Simple("SET extra_float_digits = 1", "cannot set the connection up") ||
        !Migrate(forWriting)) {
        return 0;
    }
    return !forWriting || Simple(STAGING_TABLE, "cannot set the connection up");
}

int PostgresResults::BeginRun(const ResultsRun& run) {
    std::lock_guard<std::mutex> hold(lock_);
    Params params;
    for (const std::string* text : {&run.RunId, &run.Command, &run.Options, &run.Limits,
                                    &run.StartedAt, &run.Host, &run.Operator, &run.Version}) {
        params.Text(*text);
    }
    // A run sent again from the spool keeps what the server has of it.
    return Command(params,
                   "INSERT INTO runs (run_id, command, options, limits, started_at, host,"
                   " operator, torvanctl_version) VALUES ($1, $2, $3, $4, $5, $6, $7, $8)"
                   " ON CONFLICT (run_id) DO NOTHING",
                   "cannot store the run");
}

int PostgresResults::AddBoard(const std::string& runId, const ResultsBoard& board) {
    std::lock_guard<std::mutex> hold(lock_);
    Params params;
    params.Text(runId);
    params.Integer(board.Index);
    params.Text(board.Port);
    // A board that was never identified has no name, not an empty one.
    if (!board.Kind.empty()) {
        params.Text(board.Name);
        params.Text(board.Kind);
        params.Integer(board.Speed);
        params.Integer(board.LineEnding);
        params.Text(board.Gas);
        params.Text(board.Units);
        params.Number(board.FullScale);
    } else {
        for (int i = 0; i < 7; ++i) {
            params.Null();
        }
    }
    params.TextOrNull(board.Outcome);
    params.TextOrNull(board.Why);
    return Command(params,
                   "INSERT INTO boards (run_id, board_index, port, name, kind, speed, line_ending,"
                   " gas, units, full_scale, outcome, why) VALUES ($1, $2, $3, $4, $5, $6, $7,"
                   " $8, $9, $10, $11, $12) ON CONFLICT (run_id, board_index) DO UPDATE SET"
                   " port = excluded.port, name = excluded.name, kind = excluded.kind,"
                   " speed = excluded.speed, line_ending = excluded.line_ending,"
                   " gas = excluded.gas, units = excluded.units,"
                   " full_scale = excluded.full_scale, outcome = excluded.outcome,"
                   " why = excluded.why",
                   "cannot store the board");
}

int PostgresResults::AddSteps(const std::string& runId, const std::vector<ResultsStep>& steps) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!Simple("BEGIN", "cannot store the steps")) {
        return 0;
    }
    for (const ResultsStep& step : steps) {
        Params params;
        params.Text(runId);
        params.Integer(step.Board);
        params.Integer(step.Index);
        for (double value : {step.FromPct, step.SetPointPct, step.SettleMs, step.RiseMs,
                             step.OvershootPct, step.MeanErrorPct, step.NoisePct}) {
            params.Number(value);
        }
        params.Integer(step.Pass);
        if (!Command(params,
                     "INSERT INTO steps (run_id, board_index, step_index, from_pct,"
                     " set_point_pct, settle_ms, rise_ms, overshoot_pct, mean_error_pct,"
                     " noise_pct, pass) VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)"
                     " ON CONFLICT DO NOTHING",
                     "cannot store the steps")) {
            return Rollback(0);
        }
    }
    return Commit("cannot store the steps");
}

int PostgresResults::AddCapture(const std::string& runId, const ResultsCapture& capture) {
    std::lock_guard<std::mutex> hold(lock_);
    Params params;
    params.Text(runId);
    params.Integer(capture.Board);
    params.Integer(capture.Made);
    params.Integer(capture.Written);
    params.Text(capture.File);
    for (double value :
         {capture.LargestGapMs, capture.FlowMinPct, capture.FlowMaxPct, capture.FlowMeanPct}) {
        params.Number(value);
    }
    return Command(params,
                   "INSERT INTO captures (run_id, board_index, samples_made, samples_written,"
                   " file, largest_gap_ms, flow_min_pct, flow_max_pct, flow_mean_pct)"
                   " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9) ON CONFLICT DO NOTHING",
                   "cannot store the capture");
}

int PostgresResults::AddBump(const std::string& runId, const ResultsBump& bump) {
    std::lock_guard<std::mutex> hold(lock_);
    Params params;
    params.Text(runId);
    params.Integer(bump.Board);
    params.Integer(bump.FlowType);
    params.Number(bump.Sp1Pct);
    params.Number(bump.Sp2Pct);
    params.Integer(bump.ReadV1);
    params.Number(bump.ReadGain);
    params.Number(bump.ReadSetPointPct);
    for (long drive : {bump.Drive1, bump.Drive2}) {
        drive >= 0 ? params.Integer(drive) : params.Null();
    }
    params.TextOrNull(bump.Left);
    return Command(params,
                   "INSERT INTO bumps (run_id, board_index, flow_type, sp1_pct, sp2_pct,"
                   " read_v1, read_gain, read_set_point_pct, drive_sp1, drive_sp2, left_with)"
                   " VALUES ($1, $2, $3, $4, $5, $6, $7, $8, $9, $10, $11)"
                   " ON CONFLICT DO NOTHING",
                   "cannot store the bump");
}

// The batch into the staging table, as one COPY in text form.
int PostgresResults::CopySamples(const std::string& runId, const ResultsSample* samples,
                                 size_t count) {
    {
        Result started(PQexec(conn_, "COPY samples_staging FROM STDIN"));
        if (started.Status() != PGRES_COPY_IN) {
            return Failed("cannot store samples", PQresultErrorMessage(started.Get()));
        }
    }
    std::string id, data;
    CopyText(runId, &id);
    data.reserve(count * (id.size() + 64));
    for (size_t i = 0; i < count; ++i) {
        const ResultsSample& sample = samples[i];
        data += id;
        data += '\t';
        data += std::to_string(sample.Board);
        data += '\t';
        data += std::to_string(sample.Index);
        data += '\t';
        CopyNumber(sample.TimeS, &data);
        data += '\t';
        CopyNumber(sample.FlowPct, &data);
        data += '\t';
        CopyNumber(sample.SetPointPct, &data);
        data += '\n';
    }
    int sent = PQputCopyData(conn_, data.data(), (int)data.size()) == 1;
    if (PQputCopyEnd(conn_, sent ? nullptr : "the batch could not be sent") != 1) {
        sent = 0;
    }
    std::string failure = sent ? "" : PQerrorMessage(conn_);
    // Every result of the COPY is read, so that the connection is ready for the next
    // statement (or known to be gone).
    while (PGresult* result = PQgetResult(conn_)) {
        if (PQresultStatus(result) != PGRES_COMMAND_OK && failure.empty()) {
            failure = PQresultErrorMessage(result);
        }
        PQclear(result);
    }
    return failure.empty() && sent ? 1 : Failed("cannot store samples", failure.c_str());
}

int PostgresResults::AddSamples(const std::string& runId, const ResultsSample* samples,
                                size_t count) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!Simple("BEGIN", "cannot store samples")) {
        return 0;
    }
    if (!CopySamples(runId, samples, count) ||
        !Simple("INSERT INTO samples SELECT * FROM samples_staging ON CONFLICT DO NOTHING",
                "cannot store samples")) {
        return Rollback(0);
    }
    return Commit("cannot store samples");
}

int PostgresResults::EndRun(const std::string& runId, const std::string& endedAt,
                            const std::string& outcome, int exitCode) {
    std::lock_guard<std::mutex> hold(lock_);
    Params params;
    params.Text(endedAt);
    params.Text(outcome);
    params.Integer(exitCode);
    params.Text(runId);
    return Command(params,
                   "UPDATE runs SET ended_at = $1, outcome = $2, exit_code = $3 WHERE run_id = $4",
                   "cannot store the run's end");
}

int PostgresResults::DiscardRun(const std::string& runId) {
    std::lock_guard<std::mutex> hold(lock_);
    Params params;
    params.Text(runId);
    return Command(params, "DELETE FROM runs WHERE run_id = $1", "cannot remove the run");
}

// The columns of a run and a board, in the order ReadRun and ReadBoard take them.
const char* const RUN_COLUMNS =
    "r.run_id, r.command, r.options, r.limits, r.started_at, r.ended_at, r.host, r.operator,"
    " r.torvanctl_version, coalesce(r.outcome, 'ABORTED'), r.exit_code";
constexpr int RUN_COLUMN_COUNT = 11;
const char* const BOARD_COLUMNS =
    "b.board_index, b.port, b.name, b.kind, b.speed, b.line_ending, b.gas, b.units,"
    " b.full_scale, coalesce(b.outcome, 'ABORTED'), b.why";

ResultsRun ReadRun(const Result& rows, int row) {
    ResultsRun run;
    run.RunId = rows.Text(row, 0);
    run.Command = rows.Text(row, 1);
    run.Options = rows.Text(row, 2);
    run.Limits = rows.Text(row, 3);
    run.StartedAt = rows.Text(row, 4);
    run.EndedAt = rows.Text(row, 5);
    run.Host = rows.Text(row, 6);
    run.Operator = rows.Text(row, 7);
    run.Version = rows.Text(row, 8);
    run.Outcome = rows.Text(row, 9);
    run.ExitCode = (int)rows.Integer(row, 10, -1);
    return run;
}

ResultsBoard ReadBoard(const Result& rows, int row, int first) {
    ResultsBoard board;
    board.Index = (int)rows.Integer(row, first, 0);
    board.Port = rows.Text(row, first + 1);
    board.Name = rows.Text(row, first + 2);
    board.Kind = rows.Text(row, first + 3);
    board.Speed = (long)rows.Integer(row, first + 4, 0);
    board.LineEnding = (long)rows.Integer(row, first + 5, 0);
    board.Gas = rows.Text(row, first + 6);
    board.Units = rows.Text(row, first + 7);
    board.FullScale = rows.Number(row, first + 8);
    board.Outcome = rows.Text(row, first + 9);
    board.Why = rows.Text(row, first + 10);
    return board;
}

int PostgresResults::ListRuns(const ResultsFilter& filter, std::vector<ResultsListedRun>* out) {
    std::lock_guard<std::mutex> hold(lock_);
    std::string sql = std::string("SELECT ") + RUN_COLUMNS + ", " + BOARD_COLUMNS +
                      " FROM runs r JOIN boards b ON b.run_id = r.run_id"
                      " WHERE ($1::text IS NULL OR r.started_at >= $1)"
                      " AND ($2::text IS NULL OR b.name = $2)"
                      " AND ($3::text IS NULL OR b.port = $3)"
                      " AND ($4::text IS NULL OR coalesce(b.outcome, 'ABORTED') = $4)"
                      " ORDER BY r.started_at, r.run_id, b.board_index";
    Params params;
    params.TextOrNull(filter.Since);
    params.TextOrNull(filter.Board);
    params.TextOrNull(filter.Port);
    params.TextOrNull(filter.Outcome);
    Result rows(params.Exec(conn_, sql.c_str()));
    if (rows.Status() != PGRES_TUPLES_OK) {
        return Failed("cannot read the runs", PQresultErrorMessage(rows.Get()));
    }
    for (int row = 0; row < rows.Rows(); ++row) {
        ResultsRun run = ReadRun(rows, row);
        if (out->empty() || out->back().Run.RunId != run.RunId) {
            out->push_back(ResultsListedRun{run, {}});
        }
        out->back().Boards.push_back(ReadBoard(rows, row, RUN_COLUMN_COUNT));
    }
    return 1;
}

int PostgresResults::LoadRun(const std::string& idOrPrefix, ResultsRunDetail* out) {
    std::lock_guard<std::mutex> hold(lock_);
    Params id;
    id.Text(idOrPrefix);
    // A prefix is compared as text, so no character of it has a meaning of its own.
    std::string sql = std::string("SELECT ") + RUN_COLUMNS +
                      " FROM runs r WHERE substr(r.run_id, 1, length($1)) = $1"
                      " ORDER BY r.run_id LIMIT 2";
    Result found(id.Exec(conn_, sql.c_str()));
    if (found.Status() != PGRES_TUPLES_OK) {
        return Failed("cannot read the runs", PQresultErrorMessage(found.Get()));
    }
    if (found.Rows() != 1 || idOrPrefix.empty()) {
        why_ = idOrPrefix.empty()  ? "no run named"
               : found.Rows() == 0 ? "no run " + idOrPrefix
                                   : "more than one run starts with " + idOrPrefix;
        return 0;
    }
    out->Run = ReadRun(found, 0);
    Params run;
    run.Text(out->Run.RunId);
    Result boards(run.Exec(conn_, (std::string("SELECT ") + BOARD_COLUMNS +
                                   " FROM boards b WHERE b.run_id = $1 ORDER BY b.board_index")
                                      .c_str()));
    Result steps(run.Exec(conn_, "SELECT board_index, step_index, from_pct, set_point_pct,"
                                 " settle_ms, rise_ms, overshoot_pct, mean_error_pct, noise_pct,"
                                 " pass FROM steps WHERE run_id = $1"
                                 " ORDER BY board_index, step_index"));
    Result captures(run.Exec(conn_, "SELECT board_index, samples_made, samples_written, file,"
                                    " largest_gap_ms, flow_min_pct, flow_max_pct, flow_mean_pct"
                                    " FROM captures WHERE run_id = $1 ORDER BY board_index"));
    Result bumps(run.Exec(conn_, "SELECT board_index, flow_type, sp1_pct, sp2_pct, read_v1,"
                                 " read_gain, read_set_point_pct, drive_sp1, drive_sp2, left_with"
                                 " FROM bumps WHERE run_id = $1 ORDER BY board_index"));
    Result samples(run.Exec(conn_, "SELECT board_index, count(*) FROM samples WHERE run_id = $1"
                                   " GROUP BY board_index"));
    for (const Result* rows : {&boards, &steps, &captures, &bumps, &samples}) {
        if (rows->Status() != PGRES_TUPLES_OK) {
            return Failed("cannot read the run", PQresultErrorMessage(rows->Get()));
        }
    }
    for (int row = 0; row < boards.Rows(); ++row) {
        out->Boards.push_back(ReadBoard(boards, row, 0));
    }
    for (int row = 0; row < steps.Rows(); ++row) {
        ResultsStep step;
        step.Board = (int)steps.Integer(row, 0, 0);
        step.Index = (int)steps.Integer(row, 1, 0);
        step.FromPct = steps.Number(row, 2);
        step.SetPointPct = steps.Number(row, 3);
        step.SettleMs = steps.Number(row, 4);
        step.RiseMs = steps.Number(row, 5);
        step.OvershootPct = steps.Number(row, 6);
        step.MeanErrorPct = steps.Number(row, 7);
        step.NoisePct = steps.Number(row, 8);
        step.Pass = (int)steps.Integer(row, 9, 0);
        out->Steps.push_back(step);
    }
    for (int row = 0; row < captures.Rows(); ++row) {
        ResultsCapture capture;
        capture.Board = (int)captures.Integer(row, 0, 0);
        capture.Made = captures.Integer(row, 1, 0);
        capture.Written = captures.Integer(row, 2, 0);
        capture.File = captures.Text(row, 3);
        capture.LargestGapMs = captures.Number(row, 4);
        capture.FlowMinPct = captures.Number(row, 5);
        capture.FlowMaxPct = captures.Number(row, 6);
        capture.FlowMeanPct = captures.Number(row, 7);
        out->Captures.push_back(capture);
    }
    for (int row = 0; row < bumps.Rows(); ++row) {
        ResultsBump bump;
        bump.Board = (int)bumps.Integer(row, 0, 0);
        bump.FlowType = (int)bumps.Integer(row, 1, 0);
        bump.Sp1Pct = bumps.Number(row, 2);
        bump.Sp2Pct = bumps.Number(row, 3);
        bump.ReadV1 = (long)bumps.Integer(row, 4, 0);
        bump.ReadGain = bumps.Number(row, 5);
        bump.ReadSetPointPct = bumps.Number(row, 6);
        bump.Drive1 = (long)bumps.Integer(row, 7, -1);
        bump.Drive2 = (long)bumps.Integer(row, 8, -1);
        bump.Left = bumps.Text(row, 9);
        out->Bumps.push_back(bump);
    }
    out->SampleCounts.assign(out->Boards.size(), 0);
    for (int row = 0; row < samples.Rows(); ++row) {
        long long board = samples.Integer(row, 0, -1);
        for (size_t i = 0; i < out->Boards.size(); ++i) {
            if (out->Boards[i].Index == board) {
                out->SampleCounts[i] = samples.Integer(row, 1, 0);
            }
        }
    }
    return 1;
}

int PostgresResults::RunIds(std::vector<std::string>* out) {
    std::lock_guard<std::mutex> hold(lock_);
    Result rows(PQexec(conn_, "SELECT run_id FROM runs ORDER BY started_at, run_id"));
    if (rows.Status() != PGRES_TUPLES_OK) {
        return Failed("cannot read the runs", PQresultErrorMessage(rows.Get()));
    }
    for (int row = 0; row < rows.Rows(); ++row) {
        out->push_back(rows.Text(row, 0));
    }
    return 1;
}

int PostgresResults::LoadSamples(const std::string& runId, const ResultsSample& after, size_t limit,
                                 std::vector<ResultsSample>* out) {
    std::lock_guard<std::mutex> hold(lock_);
    Params params;
    params.Text(runId);
    params.Integer(after.Board);
    params.Integer(after.Index);
    params.Integer((long long)limit);
    Result rows(params.Exec(conn_, "SELECT board_index, sample_index, time_s, flow_pct,"
                                   " set_point_pct FROM samples WHERE run_id = $1"
                                   " AND (board_index, sample_index) > ($2::integer, $3::bigint)"
                                   " ORDER BY board_index, sample_index LIMIT $4::bigint"));
    if (rows.Status() != PGRES_TUPLES_OK) {
        return Failed("cannot read the samples", PQresultErrorMessage(rows.Get()));
    }
    for (int row = 0; row < rows.Rows(); ++row) {
        out->push_back(ResultsSample{(int)rows.Integer(row, 0, 0), rows.Integer(row, 1, 0),
                                     rows.Number(row, 2), rows.Number(row, 3),
                                     rows.Number(row, 4)});
    }
    return 1;
}

// The target's settings as libpq reads them, freed however the caller ends; null when the
// text is none it takes.
class ParsedTarget {
  public:
    explicit ParsedTarget(const char* target) {
        char* error = nullptr;
        options_ = PQconninfoParse(target, &error);
        PQfreemem(error);
    }
    ~ParsedTarget() { PQconninfoFree(options_); }
    ParsedTarget(const ParsedTarget&) = delete;
    ParsedTarget& operator=(const ParsedTarget&) = delete;

    bool Valid() const { return options_ != nullptr; }
    const PQconninfoOption* begin() const { return options_; }
    std::string Value(const char* keyword) const {
        for (const PQconninfoOption* o = options_; o != nullptr && o->keyword != nullptr; ++o) {
            if (strcmp(o->keyword, keyword) == 0 && o->val != nullptr) {
                return o->val;
            }
        }
        return "";
    }

  private:
    PQconninfoOption* options_ = nullptr;
};

int IsUri(const char* target) {
    return strncmp(target, "postgresql://", 13) == 0 || strncmp(target, "postgres://", 11) == 0;
}

// The password as written in a URI's user part ("" when none).
std::string UriPassword(const std::string& uri) {
    size_t start = uri.find("://") + 3;
    size_t end = uri.find_first_of("/?", start);
    std::string authority = uri.substr(start, end == std::string::npos ? end : end - start);
    size_t at = authority.rfind('@');
    if (at == std::string::npos) {
        return "";
    }
    size_t colon = authority.find(':');
    return colon < at ? authority.substr(colon + 1, at - colon - 1) : "";
}

// A conninfo value, quoted when it needs to be.
std::string ConninfoValue(const std::string& value) {
    if (!value.empty() && value.find_first_of(" '\\\t\n") == std::string::npos) {
        return value;
    }
    std::string quoted = "'";
    for (char c : value) {
        if (c == '\'' || c == '\\') {
            quoted.push_back('\\');
        }
        quoted.push_back(c);
    }
    return quoted + "'";
}

} // namespace

int IsServerTarget(const char* target) {
    if (IsUri(target)) {
        return 1;
    }
    // A conninfo string is keyword=value pairs that libpq takes; a file's name with an '='
    // in it is rarely made of libpq's keywords only.
    return strchr(target, '=') != nullptr && ParsedTarget(target).Valid();
}

std::string ShownResultsTarget(const char* target) {
    if (IsUri(target)) {
        std::string uri = target;
        size_t start = uri.find("://") + 3;
        size_t end = uri.find_first_of("/?", start);
        size_t at = uri.rfind('@', end == std::string::npos ? std::string::npos : end);
        size_t colon = uri.find(':', start);
        if (at != std::string::npos && at >= start && colon < at) {
            uri.erase(colon, at - colon);
        }
        size_t query = uri.find('?');
        if (query == std::string::npos) {
            return uri;
        }
        std::string kept;
        size_t at2 = query + 1;
        while (at2 <= uri.size()) {
            size_t amp = uri.find('&', at2);
            std::string pair = uri.substr(at2, amp == std::string::npos ? amp : amp - at2);
            if (pair.compare(0, 9, "password=") != 0 && !pair.empty()) {
                kept += (kept.empty() ? "" : "&") + pair;
            }
            if (amp == std::string::npos) {
                break;
            }
            at2 = amp + 1;
        }
        return uri.substr(0, query) + (kept.empty() ? "" : "?" + kept);
    }
    if (!IsServerTarget(target)) {
        return target;
    }
    ParsedTarget parsed(target);
    std::string shown;
    for (const PQconninfoOption* o = parsed.begin(); o->keyword != nullptr; ++o) {
        if (o->val != nullptr && strcmp(o->keyword, "password") != 0) {
            shown +=
                (shown.empty() ? "" : " ") + std::string(o->keyword) + "=" + ConninfoValue(o->val);
        }
    }
    return shown;
}

std::string ResultsTargetHost(const char* target) {
    ParsedTarget parsed(target);
    std::string host = parsed.Value("host");
    if (host.empty()) {
        host = parsed.Value("hostaddr");
    }
    if (host.empty()) {
        const char* fromEnvironment = getenv("PGHOST");
        host = fromEnvironment != nullptr && fromEnvironment[0] != '\0' ? fromEnvironment
                                                                        : "localhost";
    }
    return host;
}

std::string WithoutPassword(const char* target, std::string text) {
    std::vector<std::string> forms;
    if (IsUri(target)) {
        forms.push_back(UriPassword(target));
    }
    forms.push_back(ParsedTarget(target).Value("password"));
    for (const std::string& password : forms) {
        if (password.empty()) {
            continue;
        }
        for (size_t at = text.find(password); at != std::string::npos;
             at = text.find(password, at + 3)) {
            text.replace(at, password.size(), "***");
        }
    }
    return text;
}

std::unique_ptr<ResultsStore> OpenPostgresResults(const char* target, int forWriting,
                                                  std::string* why, int* unreachable) {
    *unreachable = 0;
    const std::string shown = ShownResultsTarget(target);
    const char* values[] = {CONNECT_DEFAULTS[0], CONNECT_DEFAULTS[1], CONNECT_DEFAULTS[2], target,
                            nullptr};
    PGconn* conn = PQconnectdbParams(CONNECT_KEYWORDS, values, 1);
    if (conn == nullptr) {
        *why = shown + ": out of memory";
        return nullptr;
    }
    if (PQstatus(conn) != CONNECTION_OK) {
        std::string message = PQerrorMessage(conn);
        while (!message.empty() && (message.back() == '\n' || message.back() == ' ')) {
            message.pop_back();
        }
        PQfinish(conn);
        // A server that answers and refuses (a password, a database that does not exist) is
        // an error; one that does not answer, or is starting or stopping, is unreachable.
        PGPing ping = PQpingParams(CONNECT_KEYWORDS, values, 1);
        *unreachable = ping == PQPING_NO_RESPONSE || ping == PQPING_REJECT;
        *why = WithoutPassword(target, shown + ": " + message);
        return nullptr;
    }
    std::unique_ptr<PostgresResults> store(new PostgresResults(conn, target));
    if (!store->Setup(forWriting)) {
        *unreachable = store->Unreachable();
        *why = shown + ": " + store->Why();
        return nullptr;
    }
    return store;
}

std::string SpoolPath(const std::string& folder, const char* target) {
    // FNV-1a over the settings that name the server, its database and user.
    ParsedTarget parsed(target);
    unsigned long long hash = 14695981039346656037ull;
    for (const char* keyword : {"host", "hostaddr", "port", "dbname", "user"}) {
        std::string part = std::string(keyword) + "=" + parsed.Value(keyword) + ";";
        for (unsigned char c : part) {
            hash = (hash ^ c) * 1099511628211ull;
        }
    }
    char name[64];
    snprintf(name, sizeof name, "/results-spool-%016llx.db", hash);
    return folder + name;
}

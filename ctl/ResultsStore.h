// The results a bench keeps: every run of step-test, capture and bump-valve, its boards and
// what each measured, in a database. The records and the store's operations are the same
// whatever database holds them; ResultsSqlite.cpp is the one for a single bench,
// ResultsPostgres.cpp the server a line of benches shares, and ResultsSpool.cpp keeps a
// server's runs on the bench PC while the server cannot be reached.
//
// Every key is made by torvanctl (a run id that is a random UUID, a board's index on the
// command line, a sample's index on its board), so a row copied to another database, or sent
// twice, is stored once.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A run's and a board's outcome. A run or board that never got one (the process was killed)
// reads as ABORTED.
extern const char* const RESULT_PASS;
extern const char* const RESULT_FAIL;
extern const char* const RESULT_ERROR;
extern const char* const RESULT_ABORTED;

struct ResultsRun {
    std::string RunId;
    std::string Command;
    std::string Options;   // JSON array: the arguments after the command
    std::string Limits;    // JSON object: the limits and plan the run was held to
    std::string StartedAt; // ISO 8601 UTC, "2026-12-10T10:31:05.123Z"
    std::string EndedAt;   // "" while it has no end
    std::string Host;
    std::string Operator;
    std::string Version;
    std::string Outcome; // as read: ABORTED when the run has no end
    int ExitCode = -1;   // -1: none stored
};

struct ResultsBoard {
    int Index = 0;
    std::string Port;
    std::string Name;
    std::string Kind; // "controller", "meter", "" when the board was not found
    long Speed = 0;   // bit/s it was found at; 0 unknown
    long LineEnding = 0;
    std::string Gas, Units;
    double FullScale = 0.0; // NaN unknown
    std::string Outcome;    // "" not decided yet (stored as none: reads ABORTED)
    std::string Why;
};

// A figure that does not exist (a step that never settled) is NaN and stored as none.
struct ResultsStep {
    int Board = 0;
    int Index = 0;
    double FromPct = 0.0, SetPointPct = 0.0;
    double SettleMs = 0.0, RiseMs = 0.0, OvershootPct = 0.0, MeanErrorPct = 0.0, NoisePct = 0.0;
    int Pass = 0;
};

struct ResultsCapture {
    int Board = 0;
    long long Made = 0, Written = 0;
    std::string File;
    double LargestGapMs = 0.0, FlowMinPct = 0.0, FlowMaxPct = 0.0, FlowMeanPct = 0.0;
};

struct ResultsBump {
    int Board = 0;
    int FlowType = 0;
    double Sp1Pct = 0.0, Sp2Pct = 0.0;
    long ReadV1 = 0;
    double ReadGain = 0.0, ReadSetPointPct = 0.0;
    long Drive1 = -1, Drive2 = -1; // the drives found at sp1 and sp2; -1 not found
    std::string Left;              // what the board was left with
};

struct ResultsSample {
    int Board;
    long long Index;
    double TimeS;
    double FlowPct;
    double SetPointPct; // NaN when the run has none
};

// What `torvanctl results` asks for; empty fields do not filter. Since is ISO 8601 UTC in the
// stored form.
struct ResultsFilter {
    std::string Since, Board, Port, Outcome;
};

struct ResultsListedRun {
    ResultsRun Run;
    std::vector<ResultsBoard> Boards; // those that match the filter
};

struct ResultsRunDetail {
    ResultsRun Run;
    std::vector<ResultsBoard> Boards;
    std::vector<ResultsStep> Steps;
    std::vector<ResultsCapture> Captures;
    std::vector<ResultsBump> Bumps;
    std::vector<long long> SampleCounts; // by board, as many as Boards
};

// One database. Each operation is one transaction and returns 1, or 0 with the reason in
// Why(). A store may be used from several threads; its operations take turns.
class ResultsStore {
  public:
    virtual ~ResultsStore() = default;
    virtual int BeginRun(const ResultsRun& run) = 0;
    // Adds the board or replaces what was stored for it (its outcome comes at its end).
    virtual int AddBoard(const std::string& runId, const ResultsBoard& board) = 0;
    virtual int AddSteps(const std::string& runId, const std::vector<ResultsStep>& steps) = 0;
    virtual int AddCapture(const std::string& runId, const ResultsCapture& capture) = 0;
    virtual int AddBump(const std::string& runId, const ResultsBump& bump) = 0;
    // A sample already stored (same run, board and index) is left as it is.
    virtual int AddSamples(const std::string& runId, const ResultsSample* samples,
                           size_t count) = 0;
    virtual int EndRun(const std::string& runId, const std::string& endedAt,
                       const std::string& outcome, int exitCode) = 0;
    // Removes a run that never reached a board (its arguments were refused).
    virtual int DiscardRun(const std::string& runId) = 0;
    virtual int ListRuns(const ResultsFilter& filter, std::vector<ResultsListedRun>* out) = 0;
    // A run by its id or a prefix of it that names one run only. 0 with Why() when none.
    virtual int LoadRun(const std::string& idOrPrefix, ResultsRunDetail* out) = 0;
    // Every run's id, oldest first (runs without a board too).
    virtual int RunIds(std::vector<std::string>* out) = 0;
    // Up to `limit` samples of the run after (board, index) `after` in that order; start at
    // {-1, -1}.
    virtual int LoadSamples(const std::string& runId, const ResultsSample& after, size_t limit,
                            std::vector<ResultsSample>* out) = 0;
    // 1 once a server is gone: its connection broke or it never answered. Nothing sent to it
    // since is stored.
    virtual int Unreachable() const { return 0; }
    virtual const std::string& Why() const = 0;
};

// Where a run meant for a server is kept while the server cannot be reached: a SQLite file
// per server in the user's state folder, and who is told (with the server's host) when a
// run goes there.
struct ResultsSpool {
    std::string Folder;
    void (*Spooled)(const std::string& host) = nullptr;
};

// The store a --db target names: a SQLite file, or a PostgreSQL server by its URI
// (postgresql://...) or conninfo string (host=... dbname=...). forWriting: a run is to be
// stored (the file or the tables are made and migrated), else only read. With a spool, a
// server that cannot be reached now, or is lost later, takes the run into the spool instead.
// Null with the reason in *why; no reason names a password.
std::unique_ptr<ResultsStore> OpenResultsStore(const char* target, int forWriting, std::string* why,
                                               const ResultsSpool* spool = nullptr);

// 1 when the target names a server rather than a file.
int IsServerTarget(const char* target);
// The target as it may be shown: a server's URI or conninfo without its password; a file's
// path as it is.
std::string ShownResultsTarget(const char* target);
// The host a server target names ("localhost" when it names none).
std::string ResultsTargetHost(const char* target);
// Text with every form of the target's password taken out.
std::string WithoutPassword(const char* target, std::string text);

// Opens a server's store and migrates its tables (for writing). Null with the reason in
// *why; *unreachable set when the server did not answer (as against refusing).
std::unique_ptr<ResultsStore> OpenPostgresResults(const char* target, int forWriting,
                                                  std::string* why, int* unreachable);

// A server's store for a run, which goes to the spool when the server cannot be reached
// now or is lost later (spool.Spooled is told). Null with the reason in *why when neither
// the server nor the spool takes the run.
std::unique_ptr<ResultsStore> OpenSpoolingResults(const char* target, const ResultsSpool& spool,
                                                  std::string* why);

// The spool file of a server target in a folder: the same server (host, port, database,
// user) has the same file whichever way the target is written.
std::string SpoolPath(const std::string& folder, const char* target);

struct SpoolSync {
    int Sent = 0;          // runs now on the server and out of the spool
    long long Samples = 0; // their samples
    int Waiting = 0;       // runs still being written by another torvanctl, left for later
};
// Sends every run spooled for the server and removes from the spool each that the server
// took whole. A run sent before, all or in part, is stored once. 0 with the reason in *why
// (the server cannot be reached, or refused a row); what was sent until then stays sent.
int SyncResultsSpool(const char* target, const std::string& folder, SpoolSync* out,
                     std::string* why);

// The schema this torvanctl writes; older ones are migrated when opened.
constexpr int RESULTS_SCHEMA_VERSION = 2;

// Opens (for writing: creates, readable by its user only) and migrates a SQLite database.
// Null with the reason in *why.
std::unique_ptr<ResultsStore> OpenSqliteResults(const char* path, int forWriting, std::string* why);

// Samples from every board's thread, stored by one writer in batched transactions: Push only
// appends to a list under a lock, and the writer takes the whole list every 100 ms (or sooner
// once it is long). A batch the database is too busy for is tried again with the next one.
class SampleWriter {
  public:
    SampleWriter(ResultsStore* store, std::string runId);
    ~SampleWriter();
    SampleWriter(const SampleWriter&) = delete;
    SampleWriter& operator=(const SampleWriter&) = delete;

    void Push(const ResultsSample& sample);
    // Stores what is still waiting and ends the writer. 1 when every sample was stored.
    int Finish();
    long long Stored() const;
    long long Batches() const;
    // Why the samples stopped being stored ("" while they are).
    std::string Failure() const;

  private:
    void Loop();
    int WriteBatch(std::vector<ResultsSample>* batch);

    ResultsStore* store_;
    std::string runId_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    std::vector<ResultsSample> pending_;
    int stopping_ = 0, finished_ = 0;
    long long stored_ = 0, batches_ = 0;
    std::string failure_;
    std::thread thread_;
};

// A random (version 4) UUID, from /dev/urandom or else std::random_device.
std::string NewRunId();
// Now, as stored: ISO 8601 UTC to the millisecond.
std::string UtcNowText();
// WHEN as stored: an ISO 8601 date (2026-12-07) or date and time (2026-12-07T08:00,
// 2026-12-07 08:00:30, seconds may have a fraction), in local time unless it carries an
// offset (Z, +01:00, -0500). 0 when it is no such text.
int ParseWhen(const char* when, std::string* utcOut);
// A stored time in local time, "2026-12-10 11:31:05", for a table.
std::string LocalTimeText(const std::string& utc);

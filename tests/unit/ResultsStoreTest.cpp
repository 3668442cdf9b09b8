// The results store on its own: an older file brought up to date with its runs kept, the file
// made for its user only, samples from many threads stored once each in a few transactions,
// run ids, and the times `results --since` takes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <sqlite3.h>
#include <sys/stat.h>

#include "EmulatorProcess.h"
#include "ctl/ResultsStore.h"

namespace {

class StoreDir : public emutest::TempDir {
  public:
    StoreDir() : emutest::TempDir("results-store") {}
};

std::string One(const std::string& db, const char* sql) {
    sqlite3* handle = nullptr;
    std::string value = "(none)";
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle, sql, -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW) {
            const unsigned char* text = sqlite3_column_text(statement, 0);
            value = text != nullptr ? (const char*)text : "NULL";
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(handle);
    return value;
}

// A file as the first torvanctl with a results database left it: schema 1, boards without
// their gas, one run that ended and one that was killed.
const char* const SCHEMA_ONE_FILE =
    "CREATE TABLE schema_info (version INTEGER NOT NULL);"
    "INSERT INTO schema_info (version) VALUES (1);"
    "CREATE TABLE runs (run_id TEXT PRIMARY KEY, command TEXT NOT NULL, options TEXT NOT NULL,"
    " limits TEXT NOT NULL, started_at TEXT NOT NULL, ended_at TEXT, host TEXT NOT NULL,"
    " operator TEXT NOT NULL, torvanctl_version TEXT NOT NULL, outcome TEXT,"
    " exit_code INTEGER);"
    "CREATE TABLE boards (run_id TEXT NOT NULL REFERENCES runs (run_id) ON DELETE CASCADE,"
    " board_index INTEGER NOT NULL, port TEXT NOT NULL, name TEXT, kind TEXT, speed INTEGER,"
    " line_ending INTEGER, outcome TEXT, why TEXT, PRIMARY KEY (run_id, board_index));"
    "CREATE TABLE steps (run_id TEXT NOT NULL, board_index INTEGER NOT NULL,"
    " step_index INTEGER NOT NULL, from_pct DOUBLE PRECISION, set_point_pct DOUBLE PRECISION,"
    " settle_ms DOUBLE PRECISION, rise_ms DOUBLE PRECISION, overshoot_pct DOUBLE PRECISION,"
    " mean_error_pct DOUBLE PRECISION, noise_pct DOUBLE PRECISION, pass INTEGER NOT NULL,"
    " PRIMARY KEY (run_id, board_index, step_index), FOREIGN KEY (run_id, board_index)"
    " REFERENCES boards (run_id, board_index) ON DELETE CASCADE);"
    "CREATE TABLE captures (run_id TEXT NOT NULL, board_index INTEGER NOT NULL,"
    " samples_made INTEGER, samples_written INTEGER, file TEXT,"
    " largest_gap_ms DOUBLE PRECISION, flow_min_pct DOUBLE PRECISION,"
    " flow_max_pct DOUBLE PRECISION, flow_mean_pct DOUBLE PRECISION,"
    " PRIMARY KEY (run_id, board_index), FOREIGN KEY (run_id, board_index)"
    " REFERENCES boards (run_id, board_index) ON DELETE CASCADE);"
    "CREATE TABLE bumps (run_id TEXT NOT NULL, board_index INTEGER NOT NULL,"
    " flow_type INTEGER, sp1_pct DOUBLE PRECISION, sp2_pct DOUBLE PRECISION, read_v1 INTEGER,"
    " read_gain DOUBLE PRECISION, read_set_point_pct DOUBLE PRECISION, drive_sp1 INTEGER,"
    " drive_sp2 INTEGER, left_with TEXT, PRIMARY KEY (run_id, board_index),"
    " FOREIGN KEY (run_id, board_index) REFERENCES boards (run_id, board_index)"
    " ON DELETE CASCADE);"
    "CREATE TABLE samples (run_id TEXT NOT NULL REFERENCES runs (run_id) ON DELETE CASCADE,"
    " board_index INTEGER NOT NULL, sample_index INTEGER NOT NULL,"
    " time_s DOUBLE PRECISION NOT NULL, flow_pct DOUBLE PRECISION NOT NULL,"
    " set_point_pct DOUBLE PRECISION, PRIMARY KEY (run_id, board_index, sample_index))"
    " WITHOUT ROWID;"
    "INSERT INTO runs VALUES ('run-ended', 'capture', '[]', '{}', '2026-11-02T09:00:00.000Z',"
    " '2026-11-02T09:01:00.000Z', 'bench1', 'ann', '0.9', 'PASS', 0);"
    "INSERT INTO boards VALUES ('run-ended', 0, '/dev/ttyUSB0', 'Line B', 'controller', 9600,"
    " 13, 'PASS', NULL);"
    "INSERT INTO runs VALUES ('run-killed', 'step-test', '[]', '{}',"
    " '2026-11-03T09:00:00.000Z', NULL, 'bench1', 'ann', '0.9', NULL, NULL);"
    "INSERT INTO boards VALUES ('run-killed', 0, '/dev/ttyUSB0', 'Line B', 'controller', 9600,"
    " 13, NULL, NULL);";

TEST(ResultsStoreTest, SchemaOneFileIsBroughtUpToDateWithItsRunsKept) {
    StoreDir dir;
    const std::string db = dir / "old.db";
    sqlite3* handle = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &handle), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(handle, SCHEMA_ONE_FILE, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(handle);

    std::string why;
    std::unique_ptr<ResultsStore> store = OpenSqliteResults(db.c_str(), 1, &why);
    ASSERT_TRUE(store) << why;
    EXPECT_EQ(One(db, "SELECT version FROM schema_info"), std::to_string(RESULTS_SCHEMA_VERSION));
    std::vector<ResultsListedRun> runs;
    ASSERT_TRUE(store->ListRuns(ResultsFilter{"", "Line B", "", ""}, &runs)) << store->Why();
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_EQ(runs[0].Run.RunId, "run-ended");
    EXPECT_EQ(runs[0].Boards[0].Outcome, "PASS");
    EXPECT_EQ(runs[0].Boards[0].Speed, 9600);
    EXPECT_EQ(runs[0].Boards[0].Gas, "");
    // A run with no end reads as ABORTED, and so does its board.
    EXPECT_EQ(runs[1].Run.Outcome, "ABORTED");
    EXPECT_EQ(runs[1].Boards[0].Outcome, "ABORTED");

    // The new columns take a new run's board.
    ResultsRun run;
    run.RunId = NewRunId();
    run.Command = "capture";
    run.Options = "[]";
    run.Limits = "{}";
    run.StartedAt = "2026-12-01T10:00:00.000Z";
    ASSERT_TRUE(store->BeginRun(run)) << store->Why();
    ResultsBoard board;
    board.Port = "/dev/ttyUSB1";
    board.Kind = "meter";
    board.Gas = "Ar";
    board.FullScale = 10.0;
    ASSERT_TRUE(store->AddBoard(run.RunId, board)) << store->Why();
    runs.clear();
    ASSERT_TRUE(store->ListRuns(ResultsFilter{"2026-11-15T00:00:00.000Z", "", "", ""}, &runs));
    ASSERT_EQ(runs.size(), 1u);
    EXPECT_EQ(runs[0].Boards[0].Gas, "Ar");
    store.reset();

    // A second opening finds nothing left to do.
    store = OpenSqliteResults(db.c_str(), 1, &why);
    ASSERT_TRUE(store) << why;
    EXPECT_EQ(One(db, "SELECT count(*) FROM runs"), "3");
}

TEST(ResultsStoreTest, NewFileIsForItsUserOnly) {
    StoreDir dir;
    const std::string db = dir / "new.db";
    mode_t before = umask(022);
    std::string why;
    std::unique_ptr<ResultsStore> store = OpenSqliteResults(db.c_str(), 1, &why);
    umask(before);
    ASSERT_TRUE(store) << why;
    for (const char* suffix : {"", "-wal"}) {
        struct stat info;
        ASSERT_EQ(stat((db + suffix).c_str(), &info), 0) << suffix;
        EXPECT_EQ(info.st_mode & 0777, 0600u) << db << suffix;
    }
}

// Eight boards' threads push at once; every sample lands once, in far fewer transactions
// than samples, and a batch sent again stores nothing twice.
TEST(ResultsStoreTest, SamplesFromManyThreadsAreStoredOnceInBatches) {
    StoreDir dir;
    const std::string db = dir / "samples.db";
    std::string why;
    std::unique_ptr<ResultsStore> store = OpenSqliteResults(db.c_str(), 1, &why);
    ASSERT_TRUE(store) << why;
    ResultsRun run;
    run.RunId = NewRunId();
    run.Command = "capture";
    run.Options = "[]";
    run.Limits = "{}";
    run.StartedAt = UtcNowText();
    ASSERT_TRUE(store->BeginRun(run)) << store->Why();

    constexpr int BOARDS = 8, EACH = 6000;
    SampleWriter writer(store.get(), run.RunId);
    std::vector<std::thread> boards;
    for (int b = 0; b < BOARDS; ++b) {
        boards.emplace_back([&writer, b] {
            for (int i = 0; i < EACH; ++i) {
                writer.Push(ResultsSample{b, i, i * 0.005, b + i * 1e-4, NAN});
                if (i % 1000 == 999) {
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                }
            }
        });
    }
    for (std::thread& board : boards) {
        board.join();
    }
    ASSERT_TRUE(writer.Finish()) << writer.Failure();
    EXPECT_EQ(writer.Stored(), (long long)BOARDS * EACH);
    printf("%d samples in %lld transactions\n", BOARDS * EACH, writer.Batches());
    EXPECT_LT(writer.Batches(), BOARDS * EACH / 100);
    EXPECT_EQ(One(db, "SELECT count(*) FROM samples"), std::to_string(BOARDS * EACH));
    EXPECT_EQ(One(db, "SELECT count(DISTINCT board_index * 100000 + sample_index) FROM samples"),
              std::to_string(BOARDS * EACH));
    EXPECT_EQ(One(db, "SELECT flow_pct FROM samples WHERE board_index = 3 AND sample_index = 10"),
              "3.001");

    std::vector<ResultsSample> again = {{3, 10, 0.05, 99.0, NAN}, {3, 11, 0.055, 99.0, NAN}};
    ASSERT_TRUE(store->AddSamples(run.RunId, again.data(), again.size())) << store->Why();
    EXPECT_EQ(One(db, "SELECT count(*) FROM samples"), std::to_string(BOARDS * EACH));
    EXPECT_EQ(One(db, "SELECT flow_pct FROM samples WHERE board_index = 3 AND sample_index = 10"),
              "3.001");
}

TEST(ResultsStoreTest, RunIdsAreRandomVersionFourUuids) {
    const std::regex uuid("[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}");
    std::set<std::string> seen;
    for (int i = 0; i < 1000; ++i) {
        std::string id = NewRunId();
        ASSERT_TRUE(std::regex_match(id, uuid)) << id;
        seen.insert(id);
    }
    EXPECT_EQ(seen.size(), 1000u);
}

// Local times are read in Central European time here: UTC+1 in winter, +2 in summer.
TEST(ResultsStoreTest, WhenIsAnIsoDateOrTimeInLocalTimeUnlessItHasAnOffset) {
    const char* savedTz = getenv("TZ");
    std::string saved = savedTz != nullptr ? savedTz : "";
    setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    tzset();
    struct Case {
        const char* when;
        const char* utc; // null: refused
    } cases[] = {
        {"2026-12-07", "2026-12-06T23:00:00.000Z"},
        {"2026-07-01T08:00", "2026-07-01T06:00:00.000Z"},
        {"2026-12-07 08:00:30.25", "2026-12-07T07:00:30.250Z"},
        {"2026-12-07T08:00Z", "2026-12-07T08:00:00.000Z"},
        {"2026-12-07T08:00:00+05:30", "2026-12-07T02:30:00.000Z"},
        {"2026-12-07T08:00-0500", "2026-12-07T13:00:00.000Z"},
        {"2026-12-07T23:30-01", "2026-12-08T00:30:00.000Z"},
        {"2024-02-29", "2024-02-28T23:00:00.000Z"},
        {"2026-02-29", nullptr},
        {"2026-12-7", nullptr},
        {"2026-12-07T25:00", nullptr},
        {"2026-12-07T08", nullptr},
        {"2026-12-07T08:00+5", nullptr},
        {"2026-12-07T08:00:00.", nullptr},
        {"last week", nullptr},
        {"", nullptr},
    };
    for (const Case& c : cases) {
        std::string utc;
        int parsed = ParseWhen(c.when, &utc);
        EXPECT_EQ(parsed, c.utc != nullptr) << c.when << " -> " << utc;
        if (parsed && c.utc != nullptr) {
            EXPECT_EQ(utc, c.utc) << c.when;
        }
    }
    EXPECT_EQ(LocalTimeText("2026-07-01T06:00:00.000Z"), "2026-07-01 08:00:00");
    if (savedTz != nullptr) {
        setenv("TZ", saved.c_str(), 1);
    } else {
        unsetenv("TZ");
    }
    tzset();
}

} // namespace

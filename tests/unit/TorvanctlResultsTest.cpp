// torvanctl's results database, run as its own process against emulated boards: what a
// step-test, capture and bump-valve keep, what `results` reads back, a run stopped or killed,
// awkward board names, and a database that cannot be written.
#include <gtest/gtest.h>

#if defined(TORVANCTL_PATH) && defined(TORVAN_EMU_PATH)

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "EmulatorProcess.h"

namespace {

using emutest::EmulatorProcess;
using emutest::ReadWhole;
using emutest::SpawnToFiles;
using emutest::WaitExit;
using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

class ResultsDir : public emutest::TempDir {
  public:
    ResultsDir() : emutest::TempDir("torvanctl-results") {}
};

struct Ran {
    int Code;
    std::string Out, Err;
};

Ran Ctl(const ResultsDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), TORVANCTL_PATH);
    pid_t pid = SpawnToFiles(args, dir / "ctl.out", dir / "ctl.err");
    Ran ran;
    ran.Code = WaitExit(pid);
    ran.Out = ReadWhole(dir / "ctl.out");
    ran.Err = ReadWhole(dir / "ctl.err");
    return ran;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

// The rows of one query, each column as text ("NULL" for none), read with SQLite itself.
std::vector<std::vector<std::string>> Query(const std::string& db, const std::string& sql) {
    std::vector<std::vector<std::string>> rows;
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
            while (sqlite3_step(statement) == SQLITE_ROW) {
                std::vector<std::string> row;
                for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                    const unsigned char* text = sqlite3_column_text(statement, i);
                    row.push_back(text != nullptr ? (const char*)text : "NULL");
                }
                rows.push_back(row);
            }
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(handle);
    return rows;
}

class Emulator : public EmulatorProcess {
  public:
    explicit Emulator(const ResultsDir& dir) : EmulatorProcess(dir.Path()) {}
    bool Start(const std::vector<std::string>& extra) {
        return EmulatorProcess::Start(TORVAN_EMU_PATH, extra);
    }
};

// The runs `results --json` lists; a null when the output is not JSON.
Json ListedRuns(const ResultsDir& dir, const std::string& db, std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"results", "--db", db, "--json"};
    args.insert(args.end(), extra.begin(), extra.end());
    Ran ran = Ctl(dir, args);
    EXPECT_EQ(ran.Code, 0) << ran.Err;
    Json all = Json::parse(ran.Out, nullptr, false);
    return all.is_object() ? all["runs"] : Json();
}

Json ShownRun(const ResultsDir& dir, const std::string& db, const std::string& run) {
    Ran ran = Ctl(dir, {"results", "show", run, "--db", db, "--json"});
    EXPECT_EQ(ran.Code, 0) << ran.Err;
    return Json::parse(ran.Out, nullptr, false);
}

// A figure the report rounded (to `step`) against the one stored in full.
void ExpectSameFigure(const Json& reported, const Json& stored, double step, const char* what) {
    if (reported.is_null()) {
        EXPECT_TRUE(stored.is_null()) << what << ": " << stored;
        return;
    }
    ASSERT_TRUE(stored.is_number()) << what;
    EXPECT_NEAR(reported.get<double>(), stored.get<double>(), step / 2 + 1e-9) << what;
}

// Three controllers at their own speeds, each emulator in its own folder.
class TorvanctlResultsBenchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(emus_[i].Start({"--kind", "controller", "--baud", speeds_[i], "--name",
                                        "Bay " + std::to_string(i + 1)}));
        }
    }
    std::vector<std::string> Command(const char* command, std::vector<std::string> options) {
        std::vector<std::string> args = {command};
        for (const Emulator& emu : emus_) {
            args.push_back(emu.Link());
        }
        args.insert(args.end(), options.begin(), options.end());
        return args;
    }
    const char* speeds_[3] = {"9600", "19200", "230400"};
    ResultsDir out_, dirs_[3];
    Emulator emus_[3] = {Emulator(dirs_[0]), Emulator(dirs_[1]), Emulator(dirs_[2])};
};

TEST_F(TorvanctlResultsBenchTest, StepTestLandsWithEveryStepAndResultsListsIt) {
    const std::string db = out_ / "bench.db";
    Ran test = Ctl(out_, Command("step-test", {"--steps", "50,20", "--hold", "1.5", "--max-error",
                                               "30", "--out-dir", out_.Path(), "--db", db}));
    ASSERT_EQ(test.Code, 0) << test.Out << test.Err;

    Json runs = ListedRuns(out_, db);
    ASSERT_EQ(runs.size(), 1u) << runs;
    const Json& run = runs[0];
    EXPECT_EQ(run["command"], "step-test");
    EXPECT_EQ(run["outcome"], "PASS");
    EXPECT_EQ(run["exit_code"], 0);
    EXPECT_TRUE(run["ended_at"].is_string());
    EXPECT_EQ(run["limits"]["max_error_pct"], 30.0);
    EXPECT_EQ(run["limits"]["steps_pct"], Json::parse("[50.0, 20.0]"));
    ASSERT_EQ(run["boards"].size(), 3u);

    Json shown = ShownRun(out_, db, run["run_id"].get<std::string>().substr(0, 8));
    ASSERT_TRUE(shown.is_object());
    ASSERT_EQ(shown["boards"].size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const Json& board = shown["boards"][i];
        EXPECT_EQ(board["port"], emus_[i].Link());
        EXPECT_EQ(board["name"], "Bay " + std::to_string(i + 1));
        EXPECT_EQ(board["kind"], "controller");
        EXPECT_EQ(board["speed"], atoi(speeds_[i]));
        EXPECT_EQ(board["outcome"], "PASS");
        // Every step as the board's own report in the folder has it.
        std::string base = out_.Path() + "/" + std::to_string(i + 1) + "-com-Bay_" +
                           std::to_string(i + 1) + ".json";
        Json report = Json::parse(ReadWhole(base), nullptr, false);
        ASSERT_TRUE(report.is_object()) << base;
        ASSERT_EQ(board["steps"].size(), 2u) << board;
        ASSERT_EQ(report["steps"].size(), 2u);
        for (size_t k = 0; k < 2; ++k) {
            const Json& stored = board["steps"][k];
            const Json& reported = report["steps"][k];
            ExpectSameFigure(reported["from"], stored["from_pct"], 1e-4, "from");
            ExpectSameFigure(reported["to"], stored["set_point_pct"], 1e-4, "to");
            ExpectSameFigure(reported["settle_ms"], stored["settle_ms"], 0.1, "settle");
            ExpectSameFigure(reported["rise_ms"], stored["rise_ms"], 0.1, "rise");
            ExpectSameFigure(reported["overshoot_pct"], stored["overshoot_pct"], 1e-4, "overshoot");
            ExpectSameFigure(reported["mean_error_pct"], stored["mean_error_pct"], 1e-4, "error");
            ExpectSameFigure(reported["noise_pct"], stored["noise_pct"], 1e-4, "noise");
            EXPECT_EQ(reported["pass"], stored["pass"]);
        }
    }

    // The table: a line per board under the header; the filters keep what they name.
    Ran table = Ctl(out_, {"results", "--db", db});
    std::vector<std::string> lines = Lines(table.Out);
    ASSERT_EQ(lines.size(), 4u) << table.Out;
    for (int i = 0; i < 3; ++i) {
        EXPECT_NE(lines[1 + i].find(run["run_id"].get<std::string>().substr(0, 8)),
                  std::string::npos);
        EXPECT_NE(lines[1 + i].find(emus_[i].Link()), std::string::npos) << lines[1 + i];
        EXPECT_NE(lines[1 + i].find("PASS"), std::string::npos) << lines[1 + i];
    }
    time_t now = time(nullptr);
    char yesterday[16], tomorrow[16];
    time_t before = now - 86400, after = now + 86400;
    strftime(yesterday, sizeof yesterday, "%Y-%m-%d", localtime(&before));
    strftime(tomorrow, sizeof tomorrow, "%Y-%m-%d", localtime(&after));
    struct Filter {
        std::vector<std::string> options;
        size_t runs, boards;
    } filters[] = {
        {{"--port", emus_[1].Link()}, 1, 1},
        {{"--board", "Bay 3"}, 1, 1},
        {{"--outcome", "fail"}, 0, 0},
        {{"--since", yesterday}, 1, 3},
        {{"--since", tomorrow}, 0, 0},
        {{"--since", std::string(yesterday) + "T00:00Z", "--outcome", "PASS"}, 1, 3},
    };
    for (const Filter& f : filters) {
        Json listed = ListedRuns(out_, db, f.options);
        ASSERT_EQ(listed.size(), f.runs) << f.options[0] << " " << f.options[1];
        if (f.runs > 0) {
            EXPECT_EQ(listed[0]["boards"].size(), f.boards) << f.options[0];
        }
    }
    Ran csv = Ctl(out_, {"results", "--db", db, "--csv", "--port", emus_[1].Link()});
    EXPECT_EQ(Lines(csv.Out).size(), 2u) << csv.Out;
    EXPECT_NE(csv.Out.find("," + emus_[1].Link() + ",Bay 2,controller,PASS,"), std::string::npos)
        << csv.Out;
}

// The samples in the database, as the CSV writes them: "time,flow" in its own format.
std::vector<std::string> StoredSamples(const std::string& db, int board) {
    std::vector<std::string> samples;
    auto rows = Query(db, "SELECT sample_index, time_s, flow_pct, set_point_pct FROM samples"
                          " WHERE board_index = " +
                              std::to_string(board) + " ORDER BY sample_index");
    for (size_t i = 0; i < rows.size(); ++i) {
        char line[64];
        snprintf(line, sizeof line, "%.3f,%.4f", atof(rows[i][1].c_str()),
                 atof(rows[i][2].c_str()));
        // Indexes run from 0 without a gap, and a capture without --set-point has none.
        samples.push_back(rows[i][0] == std::to_string(i) && rows[i][3] == "NULL"
                              ? line
                              : "index " + rows[i][0] + " set point " + rows[i][3]);
    }
    return samples;
}

TEST_F(TorvanctlResultsBenchTest, CaptureWithDbSamplesStoresEverySampleOnce) {
    const std::string db = out_ / "capture.db";
    Ran capture = Ctl(out_, Command("capture", {"--duration", "3", "--out-dir", out_.Path(), "--db",
                                                db, "--db-samples"}));
    ASSERT_EQ(capture.Code, 0) << capture.Out << capture.Err;
    for (int i = 0; i < 3; ++i) {
        std::string csv = out_.Path() + "/" + std::to_string(i + 1) + "-com-Bay_" +
                          std::to_string(i + 1) + ".csv";
        std::vector<std::string> rows = Lines(ReadWhole(csv));
        ASSERT_GT(rows.size(), 500u) << csv;
        rows.erase(rows.begin());
        std::vector<std::string> stored = StoredSamples(db, i);
        ASSERT_EQ(stored.size(), rows.size()) << csv;
        for (size_t k = 0; k < rows.size(); ++k) {
            ASSERT_EQ(stored[k], rows[k]) << csv << " sample " << k;
        }
        auto summary = Query(db, "SELECT samples_made, samples_written, file FROM captures"
                                 " WHERE board_index = " +
                                     std::to_string(i));
        ASSERT_EQ(summary.size(), 1u);
        EXPECT_EQ(summary[0][0], std::to_string(rows.size()));
        EXPECT_EQ(summary[0][1], std::to_string(rows.size()));
        EXPECT_EQ(summary[0][2], csv);
    }
}

class TorvanctlResultsBoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(emu_.Start({"--kind", "controller", "--baud", "19200", "--name", "Bench A"}));
    }
    ResultsDir dir_;
    Emulator emu_{dir_};
};

// Ctrl-C ends the run and stores its end; SIGKILL leaves a run without one. Both read as
// ABORTED, run and board, except for a capture without a duration, which Ctrl-C ends as
// planned.
TEST_F(TorvanctlResultsBoardTest, RunsStoppedByCtrlCOrKilledReadAborted) {
    const std::string db = dir_ / "stopped.db";
    const std::vector<std::string> stepTest = {"step-test", emu_.Link(), "--steps", "50,0",
                                               "--hold",    "5",         "--db",    db};
    struct Case {
        std::vector<std::string> args;
        const char* begun; // the command that shows the run is under way
        int signal;
        int code;
        bool ended;
        const char* outcome;
    } cases[] = {
        {stepTest, "V5=", SIGINT, 1, true, "ABORTED"},
        {stepTest, "V5=", SIGKILL, 128 + SIGKILL, false, "ABORTED"},
        {{"capture", emu_.Link(), "--duration", "10", "--db", db},
         "~GAFV",
         SIGINT,
         1,
         true,
         "ABORTED"},
        {{"capture", emu_.Link(), "--db", db}, "~GAFV", SIGINT, 0, true, "PASS"},
    };
    for (const Case& c : cases) {
        const std::string shown =
            c.args[0] + " " + c.args[2] + " signal " + std::to_string(c.signal);
        size_t sentBefore = emu_.Commands().size();
        std::vector<std::string> args = c.args;
        args.insert(args.begin(), TORVANCTL_PATH);
        pid_t pid = SpawnToFiles(args, dir_ / "run.out", dir_ / "run.err");
        auto deadline = Clock::now() + std::chrono::seconds(10);
        bool begun = false;
        while (!begun && Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            std::vector<std::string> commands = emu_.Commands();
            for (size_t k = sentBefore; k < commands.size(); ++k) {
                begun = begun || commands[k].rfind(c.begun, 0) == 0;
            }
        }
        ASSERT_TRUE(begun) << shown;
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        kill(pid, c.signal);
        EXPECT_EQ(WaitExit(pid), c.code) << shown << ReadWhole(dir_ / "run.err");

        Json runs = ListedRuns(dir_, db);
        ASSERT_TRUE(runs.is_array() && !runs.empty());
        const Json& run = runs.back();
        EXPECT_EQ(run["command"], c.args[0]);
        EXPECT_EQ(run["outcome"], c.outcome) << shown << run;
        EXPECT_EQ(run["ended_at"].is_string(), c.ended) << shown << run;
        EXPECT_EQ(run["exit_code"].is_null(), !c.ended) << shown << run;
        ASSERT_EQ(run["boards"].size(), 1u);
        EXPECT_EQ(run["boards"][0]["outcome"], c.outcome) << shown;
        EXPECT_EQ(run["boards"][0]["name"], "Bench A");
    }
    Ran aborted = Ctl(dir_, {"results", "--db", db, "--outcome", "aborted"});
    EXPECT_EQ(Lines(aborted.Out).size(), 4u) << aborted.Out;
}

// Names made of SQL: stored and shown as named, and every table still there.
TEST_F(TorvanctlResultsBoardTest, BoardNamedWithQuotesAndASemicolonComesBackExactly) {
    const std::string db = dir_ / "names.db";
    const char* names[] = {"O'Brien; DROP TABLE runs", "Rig \"7\"'); DELETE FROM boards;--"};
    // TORVAN_DB names the database when --db does not.
    setenv("TORVAN_DB", db.c_str(), 1);
    for (const char* name : names) {
        ASSERT_TRUE(emu_.Send(std::string("name ") + name));
        Ran capture =
            Ctl(dir_, {"capture", emu_.Link(), "--duration", "0.5", "--out", dir_ / "named.csv"});
        EXPECT_EQ(capture.Code, 0) << capture.Err;
    }
    unsetenv("TORVAN_DB");
    Json runs = ListedRuns(dir_, db);
    ASSERT_EQ(runs.size(), 2u);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(runs[i]["boards"][0]["name"], names[i]);
        Json one = ListedRuns(dir_, db, {"--board", names[i]});
        ASSERT_EQ(one.size(), 1u) << names[i];
        EXPECT_EQ(one[0]["run_id"], runs[i]["run_id"]);
        Ran shown =
            Ctl(dir_, {"results", "show", runs[i]["run_id"].get<std::string>(), "--db", db});
        EXPECT_NE(shown.Out.find(std::string(", ") + names[i] + " (controller"), std::string::npos)
            << shown.Out;
    }
    EXPECT_EQ(Query(db, "SELECT count(*) FROM runs")[0][0], "2");
    EXPECT_EQ(Query(db, "SELECT count(*) FROM boards")[0][0], "2");
}

TEST_F(TorvanctlResultsBoardTest, BumpKeepsTheValuesItReadFoundAndLeft) {
    const std::string db = dir_ / "bump.db";
    Ran bump = Ctl(
        dir_, {"bump-valve", emu_.Link(), "--type", "0", "--sp1", "20", "--sp2", "30", "--db", db});
    ASSERT_EQ(bump.Code, 0) << bump.Err;
    std::smatch first, second;
    ASSERT_TRUE(std::regex_search(bump.Out, first, std::regex("at 20\\.0000 %FS: ([0-9]+)\n")));
    ASSERT_TRUE(std::regex_search(bump.Out, second, std::regex("at 30\\.0000 %FS: ([0-9]+)\n")));
    Json runs = ListedRuns(dir_, db);
    ASSERT_EQ(runs.size(), 1u);
    Json shown = ShownRun(dir_, db, runs[0]["run_id"].get<std::string>());
    const Json& values = shown["boards"][0]["bump"];
    EXPECT_EQ(values["drive_sp1"], atol(first[1].str().c_str())) << values;
    EXPECT_EQ(values["drive_sp2"], atol(second[1].str().c_str())) << values;
    EXPECT_EQ(values["left"], "~BVD=" + first[1].str());
    EXPECT_EQ(values["sp1_pct"], 20.0);
    EXPECT_TRUE(values["read_v1"].is_number());
    EXPECT_EQ(shown["outcome"], "PASS");
}

// The outcome stored is the one each command gives its board, not one read from the exit
// code: a bump whose flow does not settle in time FAILED (exit code 4), a step test outside a
// limit FAILED (5), one whose CSV cannot be written is an ERROR (1).
TEST_F(TorvanctlResultsBoardTest, OutcomesStoredAreThoseTheCommandsGive) {
    const std::string db = dir_ / "outcomes.db";
    const struct {
        std::vector<std::string> args;
        int code;
        const char* outcome;
        const char* why;
    } cases[] = {
        {{"bump-valve", emu_.Link(), "--type", "0", "--sp1", "20", "--sp2", "80", "--timeout",
          "0.01"},
         4,
         "FAIL",
         "did not"},
        {{"step-test", emu_.Link(), "--steps", "50", "--hold", "1", "--max-settle", "0"},
         5,
         "FAIL",
         "outside a limit"},
        {{"step-test", emu_.Link(), "--steps", "50", "--hold", "1", "--csv", "/dev/full"},
         1,
         "ERROR",
         "cannot write /dev/full"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = c.args;
        args.insert(args.end(), {"--db", db});
        Ran ran = Ctl(dir_, args);
        const std::string shown = c.args[0] + " " + c.args.back();
        EXPECT_EQ(ran.Code, c.code) << shown << ": " << ran.Err;
        Json runs = ListedRuns(dir_, db);
        ASSERT_TRUE(runs.is_array() && !runs.empty()) << shown;
        const Json& run = runs.back();
        EXPECT_EQ(run["command"], c.args[0]);
        EXPECT_EQ(run["exit_code"], c.code) << shown;
        EXPECT_EQ(run["outcome"], c.outcome) << shown << run;
        ASSERT_EQ(run["boards"].size(), 1u) << shown;
        EXPECT_EQ(run["boards"][0]["outcome"], c.outcome) << shown << run;
        ASSERT_TRUE(run["boards"][0]["why"].is_string()) << shown << run;
        EXPECT_NE(run["boards"][0]["why"].get<std::string>().find(c.why), std::string::npos)
            << shown << run;
    }
}

// Whatever keeps the database from taking the run fails the command before its board hears
// a byte.
TEST_F(TorvanctlResultsBoardTest, DatabaseThatCannotBeWrittenFailsBeforeTheBoardHearsAnything) {
    FILE* text = fopen((dir_ / "notes.txt").c_str(), "w");
    ASSERT_NE(text, nullptr);
    fputs("this is a text file, not a database, and long enough to be read as one......\n"
          "..............................................................................\n",
          text);
    fclose(text);
    ASSERT_EQ(system(("sqlite3 '" + dir_ / "newer.db" +
                      "' 'CREATE TABLE schema_info (version INTEGER); INSERT INTO schema_info"
                      " VALUES (99);'")
                         .c_str()),
              0);
    ASSERT_EQ(system(("sqlite3 '" + dir_ / "other.db" + "' 'CREATE TABLE inventory (x);'").c_str()),
              0);
    ASSERT_EQ(mkdir((dir_ / "folder").c_str(), 0700), 0);
    std::vector<std::string> targets = {dir_ / "missing/results.db", dir_ / "folder",
                                        dir_ / "notes.txt", dir_ / "newer.db", dir_ / "other.db"};
    // Root writes a read-only file all the same.
    if (geteuid() != 0) {
        ASSERT_EQ(system(("sqlite3 '" + dir_ / "readonly.db" +
                          "' 'CREATE TABLE t (x);' && chmod 0400 '" + dir_ / "readonly.db" + "'")
                             .c_str()),
                  0);
        targets.push_back(dir_ / "readonly.db");
    }
    const std::vector<std::vector<std::string>> commands = {
        {"step-test", emu_.Link(), "--steps", "50", "--hold", "1"},
        {"capture", emu_.Link(), "--duration", "1", "--out", dir_ / "never.csv"},
        {"bump-valve", emu_.Link(), "--type", "0", "--sp1", "20", "--sp2", "30"},
    };
    for (size_t i = 0; i < targets.size(); ++i) {
        std::vector<std::string> args = commands[i % commands.size()];
        args.insert(args.end(), {"--db", targets[i]});
        Ran ran = Ctl(dir_, args);
        EXPECT_EQ(ran.Code, 1) << targets[i] << ": " << ran.Err;
        EXPECT_NE(ran.Err.find(targets[i]), std::string::npos) << ran.Err;
        EXPECT_EQ(ran.Out, "") << targets[i];
        EXPECT_TRUE(emu_.Commands().empty())
            << targets[i] << ": the board heard " << emu_.Commands().front();
    }
    // Neither was anything made in the folder that does not exist.
    EXPECT_NE(access((dir_ / "missing").c_str(), F_OK), 0);
    rmdir((dir_ / "folder").c_str());
}

TEST(TorvanctlResultsArgsTest, BadResultsArgumentsExitWithTwoAndStoreNothing) {
    ResultsDir dir;
    const std::string db = dir / "args.db";
    unsetenv("TORVAN_DB");
    const std::vector<std::vector<std::string>> cases = {
        {"capture", "x", "--db-samples"},
        {"capture", "x", "--db"},
        {"step-test", "x", "--steps", "0,,5", "--hold", "1", "--db", db},
        {"results"},
        {"results", "--db", db, "--since", "2026-13-01"},
        {"results", "--db", db, "--since", "last week"},
        {"results", "--db", db, "--outcome", "MAYBE"},
        {"results", "--db", db, "--json", "--csv"},
        {"results", "--db", db, "show"},
        {"results", "--db", db, "list"},
    };
    for (const auto& args : cases) {
        Ran ran = Ctl(dir, args);
        EXPECT_EQ(ran.Code, 2) << args[0] << " " << args.back() << ": " << ran.Err;
        EXPECT_EQ(ran.Out, "");
    }
    // The refused step-test made the database but kept no run in it.
    EXPECT_EQ(Query(db, "SELECT count(*) FROM runs")[0][0], "0");
    Ran missing = Ctl(dir, {"results", "show", "0123abcd", "--db", db});
    EXPECT_EQ(missing.Code, 1);
    EXPECT_NE(missing.Err.find("no run 0123abcd"), std::string::npos) << missing.Err;
}

} // namespace

#endif

// torvanctl run as its own process against emulated boards: output, exit codes, the CSV
// log, Ctrl-C, and the board's line ending and speed put back after every command.
#include <gtest/gtest.h>

#if defined(TORVANCTL_PATH) && defined(TORVAN_EMU_PATH)

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <signal.h>

#include "EmulatorProcess.h"

namespace {

using emutest::EmulatorProcess;
using emutest::ReadWhole;
using emutest::SpawnToFiles;
using emutest::WaitExit;
using TempDirBase = emutest::TempDir;
using Clock = std::chrono::steady_clock;

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        lines.push_back(line);
    }
    return lines;
}

struct CtlRun {
    int Code;
    std::string Out, Err;
    double Seconds;
};

// A temporary folder for one test: emulator link, record, control FIFO, output files.
class TempDir : public TempDirBase {
  public:
    TempDir() : TempDirBase("torvanctl-test") {}
};

CtlRun RunCtl(const TempDir& dir, std::vector<std::string> args) {
    args.insert(args.begin(), TORVANCTL_PATH);
    auto start = Clock::now();
    pid_t pid = SpawnToFiles(args, dir / "ctl.out", dir / "ctl.err");
    CtlRun run;
    run.Code = WaitExit(pid);
    run.Seconds = std::chrono::duration<double>(Clock::now() - start).count();
    run.Out = ReadWhole(dir / "ctl.out");
    run.Err = ReadWhole(dir / "ctl.err");
    return run;
}

class Emulator : public EmulatorProcess {
  public:
    explicit Emulator(const TempDir& dir) : EmulatorProcess(dir.Path()) {}
    bool Start(const std::vector<std::string>& extra) {
        return EmulatorProcess::Start(TORVAN_EMU_PATH, extra);
    }
    // The last two commands a run left: line ending, then speed, as found at connect.
    void ExpectRestored(const char* speed) const {
        std::vector<std::string> commands = CommandsEndingWith("~BAUD=", 3000);
        ASSERT_GE(commands.size(), 2u);
        EXPECT_EQ(commands[commands.size() - 2].rfind("~SNLC=", 0), 0u)
            << commands[commands.size() - 2];
        EXPECT_EQ(commands.back(), std::string("~BAUD=") + speed);
    }
};

TEST(TorvanctlTest, BadArgumentsExitWithTwo) {
    TempDir dir;
    const std::vector<std::vector<std::string>> cases = {
        {},
        {"frobnicate", "/dev/null"},
        {"probe"},
        {"probe", "a", "b"},
        {"state", "x", "--bogus"},
        {"get", "x"},
        {"get", "x", "V1=5"},
        {"set", "x", "V1"},
        {"setpoint", "x", "fifty"},
        {"setpoint", "x", "50", "--for", "100"},
        {"setpoint", "x", "50", "--wait-settle", "-1"},
        {"setpoint", "x", "50", "--wait-settle"},
        {"log", "x"},
        {"log", "x", "--interval", "0"},
        {"log", "x", "--interval", "12abc"},
        {"log", "x", "--interval", "500", "--duration", "-3"},
        {"cal", "open", "x"},
        {"cal", "enter"},
        {"bump-valve", "x", "--type", "5", "--sp1", "1", "--sp2", "2"},
        {"bump-valve", "x", "--type", "0", "--sp1", "1"},
        {"send", "x", ""},
    };
    for (const auto& args : cases) {
        std::string shown;
        for (const std::string& a : args) {
            shown += a + " ";
        }
        CtlRun run = RunCtl(dir, args);
        EXPECT_EQ(run.Code, 2) << shown;
        EXPECT_EQ(run.Out, "") << shown;
        EXPECT_NE(run.Err.find("torvanctl"), std::string::npos) << shown;
    }
}

TEST(TorvanctlTest, EveryCommandHasHelp) {
    TempDir dir;
    for (const char* command :
         {"probe", "state", "get", "set", "setpoint", "log", "cal", "bump-valve", "send"}) {
        CtlRun run = RunCtl(dir, {command, "--help"});
        EXPECT_EQ(run.Code, 0) << command;
        EXPECT_EQ(run.Out.rfind(std::string("usage: torvanctl ") + command + " ", 0), 0u)
            << run.Out;
    }
    CtlRun run = RunCtl(dir, {"--help"});
    EXPECT_EQ(run.Code, 0);
    EXPECT_NE(run.Out.find("bump-valve PORT"), std::string::npos);
}

TEST(TorvanctlTest, ProbeReportsKindNameSpeedAndLineEnding) {
    struct Case {
        const char* kind;
        const char* speed;
        const char* name;
    } cases[] = {
        {"controller", "19200", "Rig Seven"},
        {"meter", "9600", "Line 2 Meter"},
        {"controller", "230400", "Fast One"},
    };
    for (const Case& c : cases) {
        TempDir dir;
        Emulator emu(dir);
        ASSERT_TRUE(emu.Start({"--kind", c.kind, "--baud", c.speed, "--name", c.name}));
        CtlRun run = RunCtl(dir, {"probe", emu.Link()});
        EXPECT_EQ(run.Code, 0) << run.Err;
        std::vector<std::string> lines = Lines(run.Out);
        ASSERT_EQ(lines.size(), 5u) << run.Out;
        EXPECT_EQ(lines[0], "port: " + emu.Link());
        EXPECT_EQ(lines[1], std::string("kind: ") + c.kind);
        EXPECT_EQ(lines[2], std::string("name: ") + c.name);
        EXPECT_EQ(lines[3], std::string("speed: ") + c.speed);
        EXPECT_TRUE(std::regex_match(lines[4], std::regex("line ending: 0x[0-9A-F]+"))) << lines[4];
        emu.ExpectRestored(c.speed);
    }
}

class TorvanctlBoardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(emu_.Start({"--kind", "controller", "--baud", "19200", "--name", "Bench A"}));
    }
    CtlRun Run(std::vector<std::string> args) { return RunCtl(dir_, args); }
    TempDir dir_;
    Emulator emu_{dir_};
};

TEST_F(TorvanctlBoardTest, StateShowsFlagsAndGasAsTextAndJson) {
    ASSERT_TRUE(emu_.Send("flags 8005"));
    ASSERT_TRUE(emu_.Send("gas 1"));
    CtlRun text = Run({"state", emu_.Link()});
    ASSERT_EQ(text.Code, 0) << text.Err;
    EXPECT_NE(text.Out.find("status flags: 0x8005, Low Flow Alarm, Tracking Alarm, System "
                            "Failure, Lost Communication with Control Board\n"),
              std::string::npos)
        << text.Out;
    EXPECT_NE(text.Out.find("active gas: 1\n"), std::string::npos) << text.Out;
    emu_.ExpectRestored("19200");

    CtlRun json = Run({"state", emu_.Link(), "--json"});
    ASSERT_EQ(json.Code, 0) << json.Err;
    EXPECT_EQ(Lines(json.Out).size(), 1u);
    EXPECT_NE(json.Out.find("\"status_flags\":32773,\"alarms\":[\"Low Flow Alarm\",\"Tracking "
                            "Alarm\",\"System Failure, Lost Communication with Control "
                            "Board\"],\"active_gas\":1}"),
              std::string::npos)
        << json.Out;
    EXPECT_TRUE(std::regex_search(json.Out, std::regex("\"flow\":-?[0-9.e+-]+,"))) << json.Out;
}

TEST_F(TorvanctlBoardTest, RegistersAndRawCommands) {
    struct Step {
        std::vector<std::string> args;
        int code;
        const char* out;
    } steps[] = {
        {{"set", emu_.Link(), "V29", "4096"}, 0, nullptr},
        {{"get", emu_.Link(), "V29"}, 0, "4096\n"},
        {{"set", emu_.Link(), "S54", "Renamed Rig"}, 0, nullptr},
        {{"send", emu_.Link(), "S54"}, 0, "Renamed Rig\n"},
        {{"get", emu_.Link(), "NOSUCH"}, 1, "Invalid Command\n"},
        {{"send", emu_.Link(), "2"}, 0, "Invalid Command\n"},
    };
    for (const Step& s : steps) {
        CtlRun run = Run(s.args);
        EXPECT_EQ(run.Code, s.code) << s.args[0] << " " << s.args[2] << ": " << run.Err;
        if (s.out != nullptr) {
            EXPECT_EQ(run.Out, s.out) << s.args[0] << " " << s.args[2];
        }
        emu_.ExpectRestored("19200");
    }
}

TEST_F(TorvanctlBoardTest, SetPointStepReportsASettleTime) {
    CtlRun run = Run(
        {"setpoint", emu_.Link(), "60", "--wait-settle", "1.5", "--for", "300", "--timeout", "15"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.Out, match, std::regex("settled in ([0-9.]+) s"))) << run.Out;
    double seconds = atof(match[1].str().c_str());
    printf("settle time reported for a 0 -> 60 %%FS step: %.3f s\n", seconds);
    EXPECT_GT(seconds, 0.1);
    EXPECT_LT(seconds, 5.0);
    emu_.ExpectRestored("19200");

    std::vector<std::string> commands = emu_.Commands();
    bool sent = false;
    for (const std::string& c : commands) {
        sent = sent || c == "V5=60.000000";
    }
    EXPECT_TRUE(sent);
}

TEST_F(TorvanctlBoardTest, SettleWaitGivesUpAtItsTimeout) {
    // The model's noise never stays inside a band this narrow for a whole second.
    CtlRun run = Run({"setpoint", emu_.Link(), "30", "--wait-settle", "0.00001", "--for", "1000",
                      "--timeout", "1.5"});
    EXPECT_EQ(run.Code, 4) << run.Out;
    EXPECT_NE(run.Err.find("did not settle"), std::string::npos) << run.Err;
    EXPECT_LT(run.Seconds, 5.0);
    emu_.ExpectRestored("19200");
}

const std::regex SampleLine("[0-9]{2}/[0-9]{2}/[0-9]{4},[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{3},"
                            "-?[0-9]+\\.[0-9]{6}");

TEST_F(TorvanctlBoardTest, LogWritesHeaderAndSamples) {
    std::string csv = dir_ / "flow.csv";
    CtlRun run = Run({"log", emu_.Link(), "--interval", "500", "--duration", "3", "--out", csv});
    ASSERT_EQ(run.Code, 0) << run.Err;
    std::string text = ReadWhole(csv);
    std::vector<std::string> lines = Lines(text);
    ASSERT_GE(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("Date, Time, Flow Rate, Log Interval: 500 Msec, Board: Bench A, "
                             "Gas: ",
                             0),
              0u)
        << lines[0];
    size_t samples = lines.size() - 1;
    printf("3 s at 500 ms gave %zu sample lines\n", samples);
    EXPECT_GE(samples, 5u);
    EXPECT_LE(samples, 7u);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], SampleLine)) << lines[i];
    }
    EXPECT_EQ(text.back(), '\n');
    emu_.ExpectRestored("19200");
}

TEST_F(TorvanctlBoardTest, CtrlCDuringLogLeavesACompleteFileAndARestoredBoard) {
    std::string csv = dir_ / "interrupted.csv";
    pid_t pid =
        SpawnToFiles({TORVANCTL_PATH, "log", emu_.Link(), "--interval", "100", "--out", csv},
                     dir_ / "log.out", dir_ / "log.err");
    // Interrupt once a few samples are in, however long the connection took.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Lines(ReadWhole(csv)).size() < 3 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(130));
    kill(pid, SIGINT);
    int code = WaitExit(pid);
    EXPECT_EQ(code, 0) << ReadWhole(dir_ / "log.err");

    std::string text = ReadWhole(csv);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    std::vector<std::string> lines = Lines(text);
    EXPECT_GE(lines.size(), 3u);
    for (size_t i = 1; i < lines.size(); ++i) {
        EXPECT_TRUE(std::regex_match(lines[i], SampleLine)) << lines[i];
    }
    emu_.ExpectRestored("19200");
}

TEST_F(TorvanctlBoardTest, CalibrationRegistersSurviveEnterAndExitInSeparateRuns) {
    std::string state = dir_ / "cal.txt";
    ASSERT_EQ(Run({"set", emu_.Link(), "V1", "7"}).Code, 0);
    ASSERT_EQ(Run({"set", emu_.Link(), "V12", "33"}).Code, 0);

    CtlRun exitFirst = Run({"cal", "exit", emu_.Link(), "--state", state});
    EXPECT_EQ(exitFirst.Code, 1);
    EXPECT_EQ(Run({"get", emu_.Link(), "V1"}).Out, "7\n"); // nothing was written

    CtlRun enter = Run({"cal", "enter", emu_.Link(), "--state", state});
    ASSERT_EQ(enter.Code, 0) << enter.Err;
    EXPECT_EQ(Run({"get", emu_.Link(), "V12"}).Out, "0\n");
    // A second entry would save the calibration values over the board's own: refused.
    CtlRun again = Run({"cal", "enter", emu_.Link(), "--state", state});
    EXPECT_EQ(again.Code, 1);
    EXPECT_NE(again.Err.find("already saved"), std::string::npos) << again.Err;

    CtlRun leave = Run({"cal", "exit", emu_.Link(), "--state", state});
    ASSERT_EQ(leave.Code, 0) << leave.Err;
    EXPECT_EQ(Run({"get", emu_.Link(), "V1"}).Out, "7\n");
    EXPECT_EQ(Run({"get", emu_.Link(), "V12"}).Out, "33\n");

    std::vector<std::string> commands = emu_.Commands();
    std::vector<std::string> writes;
    for (const std::string& c : commands) {
        if (c.rfind("V12=", 0) == 0 || c.rfind("V1=", 0) == 0 || c.rfind("V2=", 0) == 0) {
            writes.push_back(c);
        }
    }
    // Two set-ups, then the entry's V2 and V12, then the exit's V12, V1, V2 in that order.
    ASSERT_EQ(writes.size(), 7u);
    EXPECT_EQ(writes[2], "V2=141");
    EXPECT_EQ(writes[3], "V12=0");
    EXPECT_EQ(writes[4], "V12=33");
    EXPECT_EQ(writes[5], "V1=7");
    EXPECT_EQ(writes[6].rfind("V2=", 0), 0u);
    EXPECT_NE(writes[6], "V2=0");
}

TEST_F(TorvanctlBoardTest, BumpValvePrintsBothDrives) {
    CtlRun run = Run({"bump-valve", emu_.Link(), "--type", "0", "--sp1", "20", "--sp2", "30"});
    ASSERT_EQ(run.Code, 0) << run.Err;
    std::smatch first, second;
    ASSERT_TRUE(
        std::regex_search(run.Out, first, std::regex("\nvalve drive at 20\\.0000 %FS: ([0-9]+)\n")))
        << run.Out;
    ASSERT_TRUE(std::regex_search(run.Out, second,
                                  std::regex("\nvalve drive at 30\\.0000 %FS: ([0-9]+)\n")))
        << run.Out;
    // More flow takes more valve drive.
    EXPECT_GT(atol(second[1].str().c_str()), atol(first[1].str().c_str()));
    emu_.ExpectRestored("19200");
    std::vector<std::string> commands = emu_.Commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[commands.size() - 3], "~BVD=" + first[1].str());
}

TEST(TorvanctlNoBoardTest, SilentPortExitsWithThree) {
    TempDir dir;
    Emulator emu(dir);
    ASSERT_TRUE(emu.Start({"--fault", "silence"}));
    CtlRun run = RunCtl(dir, {"probe", emu.Link()});
    printf("no board: torvanctl gave up after %.3f s\n", run.Seconds);
    EXPECT_EQ(run.Code, 3);
    EXPECT_EQ(run.Out, "");
    EXPECT_NE(run.Err.find("no board answered on " + emu.Link()), std::string::npos) << run.Err;
    // Nine probes over three passes; the emulator only hears those sent at its own speed,
    // one per pass.
    int probes = 0;
    for (const std::string& c : emu.Commands()) {
        probes += c == "2";
    }
    EXPECT_EQ(probes, 3);

    CtlRun missing = RunCtl(dir, {"state", dir / "nothing-here"});
    EXPECT_EQ(missing.Code, 3);
}

} // namespace

#endif

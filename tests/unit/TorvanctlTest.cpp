// torvanctl run as its own process against emulated boards: output, exit codes, the CSV
// log, Ctrl-C, and the board's line ending and speed put back after every command.
#include <gtest/gtest.h>

#if defined(TORVANCTL_PATH) && defined(TORVAN_EMU_PATH)

#include <algorithm>
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

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "TorvanctlHarness.h"
#include "emulator/EmuModel.h"

namespace {

using namespace ctltest;

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
        {"restore", "x"},
        {"restore", "x", "--baud", "1234"},
        {"restore", "x", "--baud", "9600", "--line-ending", "lf"},
        {"capture", "x", "--duration", "0"},
        {"step-test", "x", "--hold", "1", "--band", "1"},
        {"step-test", "x", "--steps", "0,,50", "--hold", "1", "--band", "1"},
        {"step-test", "x", "--steps", "0,50", "--hold", "1", "--band", "0"},
        {"step-test", "x", "--steps", "0,50", "--hold", "0", "--band", "1"},
        {"step-test", "x", "--steps", "50", "--hold", "1", "--band", "1", "--max-overshoot", "-1"},
        // Numbers are decimal and finite: no hex (0x32 would be 50), octal or infinity.
        {"setpoint", "x", "0x32"},
        {"setpoint", "x", "nan"},
        {"setpoint", "x", "1e999"},
        {"log", "x", "--interval", "0x10"},
        {"bump-valve", "x", "--type", "1.0", "--sp1", "1", "--sp2", "2"},
        {"step-test", "x", "--steps", "0,inf", "--hold", "1"},
        // An option given twice is an error, not a choice of one of the two.
        {"log", "x", "--interval", "500", "--interval", "600"},
        {"state", "x", "--json", "--json"},
        // A value left out before the next option is not that option's name.
        {"capture", "x", "--out", "--set-point"},
        {"log", "x", "--interval", "--duration", "5"},
        // Options that go together, or not.
        {"watch", "x", "--json"},
        {"capture", "x", "--out", "a.csv", "--out-dir", "d"},
        {"step-test", "x", "--steps", "50", "--hold", "1", "--csv", "a.csv", "--out-dir", "d"},
        // -h inside a command is neither help nor silently dropped.
        {"set", "x", "S54", "-h"},
        {"get", "x", "V1", "-h"},
        // A value the board would store with its prompt character in it, or a line break.
        {"set", "x", "S54", "A>B"},
        {"send", "x", "S54=A>B"},
        {"send", "x", "V1\nV2"},
        // One file named two ways, before either exists.
        {"step-test", "x", "--steps", "50", "--hold", "1", "--csv", dir / "r.csv", "--svg",
         dir.Path() + "/./r.csv"},
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
    for (const char* command : {"probe", "state", "get", "set", "setpoint", "log", "cal",
                                "bump-valve", "send", "capture", "step-test"}) {
        CtlRun run = RunCtl(dir, {command, "--help"});
        EXPECT_EQ(run.Code, 0) << command;
        EXPECT_EQ(run.Out.rfind(std::string("usage: torvanctl ") + command + " ", 0), 0u)
            << run.Out;
    }
    CtlRun run = RunCtl(dir, {"--help"});
    EXPECT_EQ(run.Code, 0);
    EXPECT_NE(run.Out.find("bump-valve PORT"), std::string::npos);
    CtlRun version = RunCtl(dir, {"--version"});
    EXPECT_EQ(version.Code, 0);
    EXPECT_EQ(version.Out, std::string("torvanctl ") + TORVAN_VERSION + "\n");
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

// A board a killed program left at 230400: restore finds it there and leaves it at the speed
// and line ending named, which the next probe finds; without --line-ending it gets CR.
TEST(TorvanctlTest, RestorePutsBackTheSpeedAndLineEndingNamed) {
    TempDir dir;
    Emulator emu(dir);
    ASSERT_TRUE(emu.Start({"--kind", "meter", "--baud", "230400"}));
    struct Step {
        std::vector<std::string> extra;
        const char* speed;
        const char* ending;
    } steps[] = {{{"--baud", "9600", "--line-ending", "crlf"}, "9600", "0xD0A"},
                 {{"--baud", "19200"}, "19200", "0xD"}};
    for (const Step& s : steps) {
        std::vector<std::string> args = {"restore", emu.Link()};
        args.insert(args.end(), s.extra.begin(), s.extra.end());
        CtlRun restore = RunCtl(dir, args);
        EXPECT_EQ(restore.Code, 0) << restore.Err;
        EXPECT_NE(
            restore.Out.find(std::string("left at: ") + s.speed + ", line ending " + s.ending),
            std::string::npos)
            << restore.Out;
        CtlRun probe = RunCtl(dir, {"probe", emu.Link()});
        EXPECT_NE(
            probe.Out.find(std::string("speed: ") + s.speed + "\nline ending: " + s.ending + "\n"),
            std::string::npos)
            << probe.Out << probe.Err;
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
        {{"send", emu_.Link(), "2"}, 1, "Invalid Command\n"},
        // A value that starts with - goes after --, and is written as it is.
        {{"set", emu_.Link(), "S54", "--", "-h"}, 0, nullptr},
        {{"get", emu_.Link(), "S54"}, 0, "-h\n"},
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
    // Standard output holds the two drives only; the device layer's progress lines are
    // diagnostics, on standard error.
    std::smatch first, second;
    ASSERT_TRUE(std::regex_match(run.Out, first,
                                 std::regex("valve drive at 20\\.0000 %FS: ([0-9]+)\n"
                                            "valve drive at 30\\.0000 %FS: [0-9]+\n")))
        << run.Out;
    ASSERT_TRUE(std::regex_search(run.Out, second,
                                  std::regex("\nvalve drive at 30\\.0000 %FS: ([0-9]+)\n")))
        << run.Out;
    EXPECT_NE(run.Err.find("Waiting for the flow to settle at 20"), std::string::npos) << run.Err;
    // More flow takes more valve drive.
    EXPECT_GT(atol(second[1].str().c_str()), atol(first[1].str().c_str()));
    emu_.ExpectRestored("19200");
    std::vector<std::string> commands = emu_.Commands();
    ASSERT_GE(commands.size(), 3u);
    EXPECT_EQ(commands[commands.size() - 3], "~BVD=" + first[1].str());
}

// The flow samples, as capture writes them, that an emulated controller makes from its start
// while its set point stays 0: its noise is a fixed pseudo-random series, so the emulator's
// own model, run here from the same start, tells which sample is which, and a lost or
// repeated sample breaks the sequence.
std::vector<std::string> QuietControllerSamples(size_t count) {
    EmuSettings settings;
    EmuDefaultSettings(&settings);
    settings.kind = EMU_KIND_CONTROLLER;
    EmuBoard* board = EmuBoardCreate(&settings, 0);
    std::vector<std::string> samples;
    for (int64_t ms = 1000; samples.size() < count; ms += 1000) {
        EmuOutput reply;
        EmuHandleCommand(board, "~GAFV", ms, &reply);
        // Two length bytes, the little-endian floats, two checksum bytes.
        for (size_t at = 2; at + 4 + 2 <= reply.bytes.size(); at += 4) {
            uint32_t bits = 0;
            for (int b = 3; b >= 0; --b) {
                bits = bits << 8 | (uint8_t)reply.bytes[at + b];
            }
            float flow;
            memcpy(&flow, &bits, sizeof flow);
            char text[32];
            snprintf(text, sizeof text, "%.4f", flow);
            samples.push_back(text);
        }
    }
    EmuBoardDestroy(board);
    return samples;
}

// One step test's JSON; a null object when the text is not JSON.
nlohmann::json ParseJson(const std::string& text) {
    return nlohmann::json::parse(text, nullptr, false);
}

// A capture's CSV of a quiet controller: every sample of the board's own sequence, in turn,
// 5 ms apart, about 200 a second for seconds; its times go to *timesOut.
void ExpectEveryQuietSample(const std::string& csv, double seconds,
                            std::vector<double>* timesOut = nullptr) {
    std::vector<std::string> lines = Lines(ReadWhole(csv));
    ASSERT_GE(lines.size(), 2u) << csv;
    EXPECT_EQ(lines[0], "time_s,flow_pct");
    std::vector<double> times;
    std::vector<std::string> flows;
    const std::regex row("(-?[0-9]+\\.[0-9]{3}),(-?[0-9]+\\.[0-9]{4})");
    for (size_t i = 1; i < lines.size(); ++i) {
        std::smatch match;
        ASSERT_TRUE(std::regex_match(lines[i], match, row)) << lines[i];
        times.push_back(atof(match[1].str().c_str()));
        flows.push_back(match[2].str());
    }
    printf("a %.0f s capture held %zu samples from %.3f to %.3f s\n", seconds, flows.size(),
           times.front(), times.back());
    // 200 a second, +-3 %.
    EXPECT_GE(flows.size(), (size_t)(seconds * 194));
    EXPECT_LE(flows.size(), (size_t)(seconds * 206));
    for (size_t i = 1; i < times.size(); ++i) {
        double gap = times[i] - times[i - 1];
        ASSERT_TRUE(gap > 0.0035 && gap < 0.0065) << "gap of " << gap << " s at row " << i + 1;
    }

    // Where the capture began in the board's sequence, then every sample after it in turn.
    std::vector<std::string> expected = QuietControllerSamples(40000);
    const size_t anchor = 20;
    ASSERT_GT(flows.size(), anchor);
    size_t first = 0;
    while (first + flows.size() <= expected.size() &&
           !std::equal(flows.begin(), flows.begin() + anchor, expected.begin() + first)) {
        ++first;
    }
    ASSERT_LE(first + flows.size(), expected.size()) << "capture start not found in the sequence";
    for (size_t i = 0; i < flows.size(); ++i) {
        ASSERT_EQ(flows[i], expected[first + i])
            << csv << " row " << i + 2 << ": a sample lost or repeated (board sample " << first + i
            << ")";
    }
    if (timesOut != nullptr) {
        *timesOut = times;
    }
}

TEST_F(TorvanctlBoardTest, CaptureKeepsEverySampleOnceFiveMillisecondsApart) {
    std::string csv = dir_ / "capture.csv";
    CtlRun run = Run({"capture", emu_.Link(), "--duration", "5", "--out", csv});
    ASSERT_EQ(run.Code, 0) << run.Err;
    ExpectEveryQuietSample(csv, 5);
    emu_.ExpectRestored("19200");
}

// Three boards at their own speeds, each emulator in its own folder (so every link is named
// "com" and the files are told apart by the port's place on the command line).
class TorvanctlBenchTest : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* speeds[3] = {"9600", "19200", "230400"};
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(emus_[i].Start({"--kind", "controller", "--baud", speeds[i], "--name",
                                        "Bay " + std::to_string(i + 1)}));
        }
    }
    std::vector<std::string> Ports() const {
        return {emus_[0].Link(), emus_[1].Link(), emus_[2].Link()};
    }
    // Every board's record ends with its own line ending and speed.
    void ExpectEachRestored() const {
        emus_[0].ExpectRestored("9600");
        emus_[1].ExpectRestored("19200");
        emus_[2].ExpectRestored("230400");
    }
    TempDir out_, dirs_[3];
    Emulator emus_[3] = {Emulator(dirs_[0]), Emulator(dirs_[1]), Emulator(dirs_[2])};
};

TEST_F(TorvanctlBenchTest, CaptureKeepsEverySampleOfEveryBoardOnOneClock) {
    std::vector<std::string> args = {"capture"};
    for (const std::string& port : Ports()) {
        args.push_back(port);
    }
    const std::string folder = out_.Path();
    args.insert(args.end(), {"--duration", "3", "--out-dir", folder});
    CtlRun run = RunCtl(out_, args);
    ASSERT_EQ(run.Code, 0) << run.Out << run.Err;
    for (int i = 0; i < 3; ++i) {
        std::string csv =
            folder + "/" + std::to_string(i + 1) + "-com-Bay_" + std::to_string(i + 1) + ".csv";
        std::vector<double> times;
        ExpectEveryQuietSample(csv, 3, &times);
        ASSERT_FALSE(times.empty());
        // One origin: every file starts within the first read and ends at 3 s.
        EXPECT_LT(times.front(), 0.11) << csv;
        EXPECT_NEAR(times.back(), 3.0, 0.02) << csv;
        EXPECT_NE(run.Out.find(csv), std::string::npos) << run.Out;
    }
    ExpectEachRestored();
}

// A board unplugged while watch runs shows as gone; the others stay connected with their
// readings, and the snapshot's exit code says a board is missing.
TEST_F(TorvanctlBenchTest, WatchSnapshotShowsAnUnpluggedBoardAsGone) {
    std::vector<std::string> args = {TORVANCTL_PATH, "watch"};
    for (const std::string& port : Ports()) {
        args.push_back(port);
    }
    args.insert(args.end(), {"--once", "--json", "--duration", "4"});
    pid_t pid = SpawnToFiles(args, out_ / "watch.out", out_ / "watch.err");
    // Unplugged once watch reads its state records.
    auto deadline = Clock::now() + std::chrono::seconds(10);
    std::vector<std::string> commands;
    while (Clock::now() < deadline && std::count(commands.begin(), commands.end(), "~GLSV") < 2) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        commands = emus_[1].Commands();
    }
    EXPECT_TRUE(emus_[1].Send("fault hangup 0"));
    EXPECT_EQ(WaitExit(pid), 3);
    nlohmann::json snapshot = ParseJson(ReadWhole(out_ / "watch.out"));
    ASSERT_TRUE(snapshot.is_object())
        << ReadWhole(out_ / "watch.out") << ReadWhole(out_ / "watch.err");
    ASSERT_EQ(snapshot["boards"].size(), 3u) << snapshot;
    for (int i = 0; i < 3; ++i) {
        const nlohmann::json& board = snapshot["boards"][i];
        EXPECT_EQ(board["port"], Ports()[i]);
        EXPECT_EQ(board["link"], i == 1 ? "gone" : "connected") << board;
        EXPECT_EQ(board.contains("flow"), i != 1) << board;
    }
    EXPECT_EQ(snapshot["boards"][0]["name"], "Bay 1");
    emus_[0].ExpectRestored("9600");
    emus_[2].ExpectRestored("230400");
}

// The second board carries out its first set point without a word back, so its test breaks
// off; the other two run theirs to the end and pass.
TEST_F(TorvanctlBenchTest, StepTestFailsOnlyTheBoardThatDoesNotAnswerItsSetPoint) {
    const std::string folder = out_.Path();
    auto stepTest = [&](bool json) {
        EXPECT_TRUE(emus_[1].Send("mute V5"));
        std::vector<std::string> args = {"step-test"};
        for (const std::string& port : Ports()) {
            args.push_back(port);
        }
        args.insert(args.end(), {"--steps", "50", "--hold", "1.5", "--max-settle", "1400",
                                 "--out-dir", folder});
        if (json) {
            args.push_back("--json");
        }
        return RunCtl(out_, args);
    };
    CtlRun table = stepTest(false);
    EXPECT_EQ(table.Code, 5) << table.Out << table.Err;
    std::vector<std::string> lines = Lines(table.Out);
    ASSERT_EQ(lines.size(), 5u) << table.Out;
    EXPECT_EQ(lines[1].rfind(Ports()[0], 0), 0u);
    EXPECT_NE(lines[1].find("  PASS"), std::string::npos) << lines[1];
    EXPECT_NE(lines[2].find("  FAIL: no reply from the board to V5=50.000000"), std::string::npos)
        << lines[2];
    EXPECT_NE(lines[3].find("  PASS"), std::string::npos) << lines[3];
    EXPECT_EQ(lines[4], "FAIL: failed: " + Ports()[1]);
    // Each board's own report in the folder, as one board's test writes it.
    for (int i = 0; i < 3; ++i) {
        std::string base =
            folder + "/" + std::to_string(i + 1) + "-com-Bay_" + std::to_string(i + 1);
        nlohmann::json report = ParseJson(ReadWhole(base + ".json"));
        ASSERT_TRUE(report.is_object()) << base;
        EXPECT_EQ(report["pass"], i != 1) << base;
        if (i != 1) {
            EXPECT_FALSE(ReadWhole(base + ".svg").empty()) << base;
        }
    }
    ExpectEachRestored();

    CtlRun json = stepTest(true);
    EXPECT_EQ(json.Code, 5) << json.Err;
    nlohmann::json all = ParseJson(json.Out);
    ASSERT_TRUE(all.is_object()) << json.Out;
    EXPECT_EQ(all["pass"], false);
    ASSERT_EQ(all["boards"].size(), 3u);
    for (int i = 0; i < 3; ++i) {
        const nlohmann::json& board = all["boards"][i];
        EXPECT_EQ(board["port"], Ports()[i]);
        EXPECT_EQ(board["board"]["name"], "Bay " + std::to_string(i + 1));
        EXPECT_EQ(board["pass"], i != 1) << board;
        EXPECT_EQ(board["steps"].size(), i != 1 ? 1u : 0u) << board;
    }
    ExpectEachRestored();
}

// Counts of the points of the flow and set point traces of an SVG plot and its title, by
// python3's XML parser: "flow N set-point M title TEXT", or an error.
std::string DescribeSvg(const std::string& path) {
    std::string command =
        "python3 -c 'import sys, xml.etree.ElementTree as ET\n"
        "root = ET.parse(sys.argv[1]).getroot()\n"
        "ns = \"{http://www.w3.org/2000/svg}\"\n"
        "lines = {e.get(\"id\"): len(e.get(\"points\").split()) for e in root.iter(ns + "
        "\"polyline\")}\n"
        "title = next(root.iter(ns + \"text\")).text\n"
        "print(\"flow\", lines.get(\"flow\", 0), \"set-point\", lines.get(\"set-point\", 0), "
        "\"title\", title)' " +
        path + " 2>&1";
    std::string out;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return "popen failed";
    }
    char buffer[512];
    while (fgets(buffer, sizeof buffer, pipe) != nullptr) {
        out += buffer;
    }
    pclose(pipe);
    return out;
}

// The emulated controller follows its set point with a first-order lag of 300 ms, so a
// 0 -> 50 %FS step enters a band of 1 %FS when 50 e^(-t/0.3) = 1, at 0.3 ln 50 = 1.174 s.
// Window: the noise of +-0.05 %FS on the slope of 3.3 %FS/s there moves the crossing by up to
// 15 ms and samples are 5 ms apart (so 1.12 s below, with room); the set point reaches the
// board a little after it is sent and each batch is timed from the host's request, both of
// which only make the step look later, by a few ms here and more on a loaded machine (1.30 s
// above). Its 10-90 % rise is 0.3 ln 9 = 0.659 s; a first-order lag never overshoots, so only
// the noise can show.
TEST(TorvanctlStepTest, FirstOrderStepSettlesAfterLn50TimeConstants) {
    TempDir dir;
    Emulator emu(dir);
    ASSERT_TRUE(
        emu.Start({"--kind", "controller", "--baud", "19200", "--name", "Rig \"7\" & <Co"}));
    std::string csv = dir / "step.csv", svg = dir / "step.svg";
    CtlRun run = RunCtl(dir, {"step-test", emu.Link(), "--steps", "50", "--hold", "2.5", "--band",
                              "1", "--max-overshoot", "0.5", "--json", "--csv", csv, "--svg", svg});
    ASSERT_EQ(run.Code, 0) << run.Out << run.Err;
    nlohmann::json report = ParseJson(run.Out);
    ASSERT_TRUE(report.is_object()) << run.Out;
    EXPECT_EQ(report["board"]["name"], "Rig \"7\" & <Co");
    EXPECT_EQ(report["pass"], true);
    ASSERT_EQ(report["steps"].size(), 1u) << run.Out;
    const nlohmann::json& step = report["steps"][0];
    EXPECT_EQ(step["from"], 0.0);
    EXPECT_EQ(step["to"], 50.0);
    ASSERT_TRUE(step["settle_ms"].is_number()) << run.Out;
    printf("0 -> 50 %%FS, band 1 %%FS: settled in %.1f ms, rise %.1f ms, overshoot %.4f %%FS\n",
           step["settle_ms"].get<double>(), step["rise_ms"].get<double>(),
           step["overshoot_pct"].get<double>());
    EXPECT_GE(step["settle_ms"].get<double>(), 1120.0);
    EXPECT_LE(step["settle_ms"].get<double>(), 1300.0);
    EXPECT_NEAR(step["rise_ms"].get<double>(), 659.0, 30.0);
    EXPECT_LT(step["overshoot_pct"].get<double>(), 0.5);
    EXPECT_EQ(step["pass"], true);

    std::vector<std::string> lines = Lines(ReadWhole(csv));
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[0], "time_s,set_point_pct,flow_pct");
    EXPECT_NEAR((double)lines.size() - 1, 2.5 * 200, 15) << "samples in the CSV";
    EXPECT_TRUE(std::regex_match(lines.back(), std::regex("[0-9.]+,50\\.0000,[0-9.]+")))
        << lines.back();

    // Every sample is a point of the flow trace; the set point trace has its corners.
    std::smatch match;
    std::string svgText = DescribeSvg(svg);
    ASSERT_TRUE(std::regex_search(svgText, match,
                                  std::regex("^flow ([0-9]+) set-point ([0-9]+) title (.*)\n")))
        << svgText;
    EXPECT_EQ(atol(match[1].str().c_str()), (long)lines.size() - 1);
    EXPECT_GE(atol(match[2].str().c_str()), 4);
    EXPECT_NE(match[3].str().find("Rig \"7\" & <Co"), std::string::npos) << svgText;

    emu.ExpectRestored("19200");
    std::vector<std::string> commands = emu.Commands();
    EXPECT_NE(std::find(commands.begin(), commands.end(), "V5=50.000000"), commands.end());
}

// Half a second is under two time constants: a 0 -> 50 step is still 9.4 %FS short, and so
// is the step back down to 0 that follows in the second run.
TEST_F(TorvanctlBoardTest, StepThatNeverSettlesFailsItsSettleLimit) {
    auto stepTest = [this](const char* steps, const char* extra) {
        std::vector<std::string> args = {"step-test",    emu_.Link(), "--steps", steps,
                                         "--hold",       "0.5",       "--band",  "1",
                                         "--max-settle", "3000"};
        if (extra != nullptr) {
            args.push_back(extra);
        }
        return Run(args);
    };
    CtlRun json = stepTest("50", "--json");
    EXPECT_EQ(json.Code, 5) << json.Err;
    nlohmann::json report = ParseJson(json.Out);
    ASSERT_TRUE(report.is_object()) << json.Out;
    EXPECT_TRUE(report["steps"][0]["settle_ms"].is_null()) << json.Out;
    EXPECT_EQ(report["steps"][0]["pass"], false);
    EXPECT_EQ(report["pass"], false);
    emu_.ExpectRestored("19200");

    CtlRun table = stepTest("0", nullptr);
    EXPECT_EQ(table.Code, 5) << table.Err;
    EXPECT_NE(table.Out.find("FAIL: 1 of 1 steps outside a limit\n"), std::string::npos)
        << table.Out;
}

// Whatever ends a capture from outside, the board gets its speed back: a reader that closes
// the pipe after one line (the write fails instead of killing torvanctl), and a hang-up.
TEST_F(TorvanctlBoardTest, CaptureEndedByAClosedPipeOrAHangUpRestoresTheBoard) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    pid_t piped = emutest::Spawn({TORVANCTL_PATH, "capture", emu_.Link()}, out[1], -1);
    close(out[1]);
    char first[64] = {};
    size_t got = 0;
    while (got < sizeof first - 1 && read(out[0], first + got, 1) == 1 && first[got] != '\n') {
        ++got;
    }
    close(out[0]); // as "| head -1" does
    EXPECT_EQ(std::string(first), "time_s,flow_pct\n");
    EXPECT_EQ(WaitExit(piped), 1);
    emu_.ExpectRestored("19200");

    std::string csv = dir_ / "hangup.csv";
    pid_t pid = SpawnToFiles({TORVANCTL_PATH, "capture", emu_.Link(), "--out", csv},
                             dir_ / "cap.out", dir_ / "cap.err");
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Lines(ReadWhole(csv)).size() < 3 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    kill(pid, SIGHUP);
    auto signalled = Clock::now();
    EXPECT_EQ(WaitExit(pid), 0) << ReadWhole(dir_ / "cap.err");
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - signalled).count(), 1.0);
    std::string text = ReadWhole(csv);
    ASSERT_FALSE(text.empty());
    EXPECT_EQ(text.back(), '\n');
    emu_.ExpectRestored("19200");
}

// A device that streams text instead of the state record: the reply's deadline ends the
// command, and Ctrl-C ends it sooner. Each case has a board of its own, as the stream goes on
// after the command has given up.
TEST(TorvanctlStreamTest, StreamedReplyEndsAtItsDeadlineOrAtCtrlC) {
    for (int interrupt = 0; interrupt < 2; ++interrupt) {
        TempDir dir;
        Emulator emu(dir);
        ASSERT_TRUE(emu.Start(
            {"--kind", "controller", "--baud", "19200", "--fault", "stream 12000 on ~GLSV"}));
        auto start = Clock::now();
        pid_t pid =
            SpawnToFiles({TORVANCTL_PATH, "state", emu.Link()}, dir / "st.out", dir / "st.err");
        // Ctrl-C as soon as the request for the record has gone out.
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (interrupt) {
            std::vector<std::string> commands = emu.Commands();
            if (Clock::now() > deadline ||
                std::find(commands.begin(), commands.end(), "~GLSV") != commands.end()) {
                kill(pid, SIGINT);
                start = Clock::now();
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        int code = WaitExit(pid);
        double seconds = std::chrono::duration<double>(Clock::now() - start).count();
        printf("%s: state ended %.3f s later\n", interrupt ? "Ctrl-C" : "started", seconds);
        EXPECT_EQ(code, interrupt ? 1 : 4) << ReadWhole(dir / "st.err");
        EXPECT_LT(seconds, interrupt ? 1.0 : 6.0);
    }
}

TEST_F(TorvanctlBoardTest, SecondTorvanctlOnTheSamePortIsTurnedAway) {
    std::string csv = dir_ / "first.csv";
    pid_t first =
        SpawnToFiles({TORVANCTL_PATH, "capture", emu_.Link(), "--duration", "3", "--out", csv},
                     dir_ / "first.out", dir_ / "first.err");
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Lines(ReadWhole(csv)).size() < 3 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    for (int i = 0; i < 3; ++i) {
        CtlRun second = Run({"state", emu_.Link()});
        EXPECT_EQ(second.Code, 3);
        EXPECT_NE(second.Err.find(emu_.Link() + " is in use by process " + std::to_string(first)),
                  std::string::npos)
            << second.Err;
    }
    EXPECT_EQ(WaitExit(first), 0);
    // Not one batch lost to the second one's bytes.
    EXPECT_EQ(ReadWhole(dir_ / "first.err"), "");
    EXPECT_GE(Lines(ReadWhole(csv)).size(), 550u);
    emu_.ExpectRestored("19200");
}

TEST_F(TorvanctlBoardTest, BumpThatFailsPutsBackWhatItChanged) {
    ASSERT_EQ(Run({"set", emu_.Link(), "V1", "7"}).Code, 0);
    ASSERT_EQ(Run({"set", emu_.Link(), "V24", "2.5"}).Code, 0);
    ASSERT_EQ(Run({"setpoint", emu_.Link(), "10"}).Code, 0);
    ASSERT_TRUE(emu_.Send("mute V27"));
    CtlRun run = Run({"bump-valve", emu_.Link(), "--type", "0", "--sp1", "20", "--sp2", "30"});
    EXPECT_EQ(run.Code, 4) << run.Err;
    EXPECT_NE(run.Err.find("no reply from the board to V27"), std::string::npos) << run.Err;
    EXPECT_NE(run.Err.find("put back set point 10.0000, ~PR=2.5 (V24), V1=7"), std::string::npos)
        << run.Err;
    emu_.ExpectRestored("19200");
    std::vector<std::string> commands = emu_.Commands();
    ASSERT_GE(commands.size(), 6u);
    EXPECT_EQ(std::vector<std::string>(commands.end() - 6, commands.end() - 2),
              (std::vector<std::string>{"V27", "V5=10.000000", "~PR=2.500000", "V1=7"}));
    EXPECT_EQ(Run({"get", emu_.Link(), "V1"}).Out, "7\n");
}

// torvanctl knows a meter by its product configuration: no set point is sent to it at all.
TEST(TorvanctlMeterTest, SetPointOnAMeterIsRefusedBeforeAnythingIsSent) {
    TempDir dir;
    Emulator emu(dir);
    ASSERT_TRUE(emu.Start({"--kind", "meter", "--baud", "9600"}));
    const std::vector<std::vector<std::string>> cases = {
        {"setpoint", emu.Link(), "50"},
        {"bump-valve", emu.Link(), "--type", "0", "--sp1", "20", "--sp2", "30"},
        {"step-test", emu.Link(), "--steps", "50", "--hold", "1"},
    };
    for (const auto& args : cases) {
        CtlRun run = RunCtl(dir, args);
        EXPECT_EQ(run.Code, 1) << args[0] << ": " << run.Err;
        EXPECT_NE(run.Err.find(emu.Link() + " is a meter: it has no set point"), std::string::npos)
            << run.Err;
        for (const std::string& command : emu.Commands()) {
            EXPECT_NE(command.rfind("V5", 0), 0u) << args[0] << " sent " << command;
            EXPECT_NE(command.rfind("V1=", 0), 0u) << args[0] << " sent " << command;
        }
        emu.ExpectRestored("9600");
    }
}

// The saved registers go back only to the port they came from (however it is spelled: a link
// to it is the same port), and the state file is never read or written through a link.
TEST_F(TorvanctlBoardTest, CalStateRefusesAnotherPortAndALink) {
    TempDir otherDir;
    Emulator otherBoard(otherDir);
    ASSERT_TRUE(otherBoard.Start({"--kind", "controller", "--baud", "19200"}));
    std::string state = dir_ / "cal.txt", sameBoard = dir_ / "same-board";
    ASSERT_EQ(symlink(emu_.Link().c_str(), sameBoard.c_str()), 0);
    ASSERT_EQ(Run({"cal", "enter", sameBoard, "--state", state}).Code, 0);
    CtlRun elsewhere = Run({"cal", "exit", otherBoard.Link(), "--state", state});
    EXPECT_EQ(elsewhere.Code, 1);
    EXPECT_NE(elsewhere.Err.find("were saved from "), std::string::npos) << elsewhere.Err;
    EXPECT_TRUE(otherBoard.Commands().empty());

    std::string link = dir_ / "planted", target = dir_ / "target";
    ASSERT_EQ(symlink(target.c_str(), link.c_str()), 0);
    CtlRun enter = Run({"cal", "enter", emu_.Link(), "--state", link});
    EXPECT_EQ(enter.Code, 1);
    EXPECT_NE(enter.Err.find("is a link"), std::string::npos) << enter.Err;
    EXPECT_NE(access(target.c_str(), F_OK), 0) << "the link was followed";
    unlink(link.c_str());
    ASSERT_EQ(symlink(state.c_str(), link.c_str()), 0);
    EXPECT_EQ(Run({"cal", "exit", emu_.Link(), "--state", link}).Code, 1);
    EXPECT_EQ(Run({"cal", "exit", emu_.Link(), "--state", state}).Code, 0);
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

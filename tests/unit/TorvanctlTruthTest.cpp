// torvanctl's exit codes and messages against emulated boards that refuse, ignore or are
// interrupted: each says what happened to the board, and nothing is sent that should not be.
#include <gtest/gtest.h>

#if defined(TORVANCTL_PATH) && defined(TORVAN_EMU_PATH)

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <thread>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <nlohmann/json.hpp>

#include "TorvanctlHarness.h"

namespace {

using namespace ctltest;

class TorvanctlTruthTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(emu_.Start({"--kind", "controller", "--baud", "19200", "--name", "Bench A"}));
    }
    CtlRun Run(std::vector<std::string> args) { return RunCtl(dir_, args); }
    int Heard(const std::string& prefix) const {
        std::vector<std::string> commands = emu_.Commands();
        return (int)std::count_if(commands.begin(), commands.end(),
                                  [&](const std::string& c) { return c.rfind(prefix, 0) == 0; });
    }
    TempDir dir_;
    Emulator emu_{dir_};
};

// The board refuses a command: exit code 1 and its words, whichever command sent it.
TEST_F(TorvanctlTruthTest, ARefusedCommandExitsWithOneAndTheBoardsWords) {
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"send", emu_.Link(), "XYZ"},
          {"get", emu_.Link(), "XYZ"},
          {"set", emu_.Link(), "XYZ", "1"}}) {
        CtlRun run = Run(args);
        EXPECT_EQ(run.Code, 1) << args[0] << ": " << run.Err;
        EXPECT_NE(run.Err.find("refused XYZ"), std::string::npos) << run.Err;
        EXPECT_NE(run.Err.find("Invalid Command"), std::string::npos) << run.Err;
        emu_.ExpectRestored("19200");
    }
}

// A '>' stored in a board value would end every later reply to it early: never sent.
TEST_F(TorvanctlTruthTest, AValueWithThePromptCharacterIsNeverSent) {
    CtlRun set = Run({"set", emu_.Link(), "S54", "A>B"});
    CtlRun send = Run({"send", emu_.Link(), "S54=A>B"});
    EXPECT_EQ(set.Code, 2) << set.Err;
    EXPECT_EQ(send.Code, 2) << send.Err;
    EXPECT_EQ(Heard("S54"), 0);
    EXPECT_EQ(Run({"get", emu_.Link(), "S54"}).Out, "Bench A\n");
}

// A board that does not take the new speed is not reported as left there.
TEST_F(TorvanctlTruthTest, RestoreToASpeedTheBoardIgnoresFails) {
    ASSERT_TRUE(emu_.Send("fault refuse on ~BAUD"));
    CtlRun run = Run({"restore", emu_.Link(), "--baud", "9600"});
    EXPECT_NE(run.Code, 0) << run.Out;
    EXPECT_EQ(run.Out.find("left at"), std::string::npos) << run.Out;
    EXPECT_NE(run.Err.find("did not take the speed"), std::string::npos) << run.Err;
    ASSERT_TRUE(emu_.Send("fault none"));
    // Taken, it is checked there and reported.
    CtlRun taken = Run({"restore", emu_.Link(), "--baud", "9600", "--line-ending", "crlf"});
    EXPECT_EQ(taken.Code, 0) << taken.Err;
    EXPECT_NE(taken.Out.find("left at: 9600, line ending 0xD0A"), std::string::npos) << taken.Out;
}

// A board that refuses part of calibration mode is put back, and no state file is left for a
// later "cal exit" to trust.
TEST_F(TorvanctlTruthTest, RefusedCalibrationModeLeavesNoStateAndTheBoardAsItWas) {
    ASSERT_EQ(Run({"set", emu_.Link(), "V12", "33"}).Code, 0);
    std::string state = dir_ / "cal.txt";
    for (const char* refused : {"FLOK", "~EFSC"}) {
        ASSERT_TRUE(emu_.Send(std::string("fault refuse on ") + refused));
        CtlRun run = Run({"cal", "enter", emu_.Link(), "--state", state});
        EXPECT_EQ(run.Code, 1) << refused << ": " << run.Err;
        EXPECT_NE(run.Err.find(std::string("the board refused ") + refused), std::string::npos)
            << run.Err;
        EXPECT_EQ(run.Out.find("calibration mode on"), std::string::npos) << run.Out;
        EXPECT_NE(access(state.c_str(), F_OK), 0) << refused << ": a state file was left";
        ASSERT_TRUE(emu_.Send("fault none"));
        EXPECT_EQ(Run({"get", emu_.Link(), "V12"}).Out, "33\n") << refused;
    }
    // Refused at once, nothing after FLOK was sent.
    EXPECT_EQ(Heard("~EFSC"), 1);
}

// Ctrl-C while a reply is arriving (a byte every 100 ms, so it never times out) is an
// interruption (exit 1), not a board that timed out.
TEST_F(TorvanctlTruthTest, InterruptedWhileWaitingForAReplyExitsWithOne) {
    ASSERT_TRUE(emu_.Send("fault trickle 100 on V24"));
    std::vector<std::string> args = {TORVANCTL_PATH, "get", emu_.Link(), "V24"};
    pid_t pid = SpawnToFiles(args, dir_ / "get.out", dir_ / "get.err");
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (Heard("V24") == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGTERM);
    EXPECT_EQ(WaitExit(pid), 1);
    std::string err = ReadWhole(dir_ / "get.err");
    EXPECT_NE(err.find("interrupted"), std::string::npos) << err;
    EXPECT_EQ(err.find("no reply"), std::string::npos) << err;
    emu_.ExpectRestored("19200");
}

// One port spelled two ways is one port named twice: refused before anything is sent, rather
// than its second board turned away by the first one's lock.
TEST_F(TorvanctlTruthTest, OnePortSpelledTwiceIsRefusedBeforeAnythingIsSent) {
    std::string other = dir_ / "other-name";
    ASSERT_EQ(symlink(emu_.Link().c_str(), other.c_str()), 0);
    std::string dotted = dir_.Path() + "/./com";
    for (const std::string& second : {other, dotted}) {
        CtlRun run =
            Run({"capture", emu_.Link(), second, "--duration", "1", "--out-dir", dir_ / "out"});
        EXPECT_EQ(run.Code, 2) << second << ": " << run.Err;
        EXPECT_NE(run.Err.find("a port named twice: " + second), std::string::npos) << run.Err;
    }
    EXPECT_TRUE(emu_.Commands().empty());
}

// Two boards, each in a folder of its own, and a folder for the run's files.
class TorvanctlBenchTruthTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(emus_[0].Start({"--kind", "controller", "--baud", "9600", "--name", "Bay 1"}));
        ASSERT_TRUE(emus_[1].Start({"--kind", "controller", "--baud", "19200", "--name", "Bay 2"}));
    }
    std::vector<std::string> Ports() const { return {emus_[0].Link(), emus_[1].Link()}; }
    std::string BoardFile(int i, const char* extension) const {
        return out_.Path() + "/" + std::to_string(i + 1) + "-com-Bay_" + std::to_string(i + 1) +
               extension;
    }
    void ExpectEachRestored() const {
        emus_[0].ExpectRestored("9600");
        emus_[1].ExpectRestored("19200");
    }
    // The exit code, or -1 (the process killed) when it has not ended within seconds.
    static int WaitExitWithin(pid_t pid, double seconds) {
        auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (Clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    TempDir out_, dirs_[2];
    Emulator emus_[2] = {Emulator(dirs_[0]), Emulator(dirs_[1])};
};

// "watch A B | head -3": the reader goes away, the table cannot be written, and the run ends
// with every board put back instead of holding the ports at 230400 for ever.
TEST_F(TorvanctlBenchTruthTest, WatchEndsWhenItsReaderHasGone) {
    int out[2];
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    std::vector<std::string> args = {TORVANCTL_PATH, "watch"};
    for (const std::string& port : Ports()) {
        args.push_back(port);
    }
    pid_t pid = emutest::Spawn(args, out[1], -1);
    close(out[1]);
    // Read as "head" would, until both boards have been shown connected (so both have been
    // moved to 230400), then gone.
    int lines = 0, connected = 0;
    std::string line;
    char c = 0;
    while ((lines < 3 || connected < 2) && read(out[0], &c, 1) == 1) {
        line.push_back(c);
        if (c == '\n') {
            ++lines;
            connected += line.find(" connected ") != std::string::npos;
            line.clear();
        }
    }
    close(out[0]);
    EXPECT_GE(connected, 2);
    EXPECT_EQ(WaitExitWithin(pid, 8.0), 1);
    ExpectEachRestored();
}

// Ctrl-C in the middle of a bench's step test: every report and the summary say ABORTED,
// none says pass.
TEST_F(TorvanctlBenchTruthTest, InterruptedStepTestIsAbortedInEveryReport) {
    std::vector<std::string> args = {TORVANCTL_PATH, "step-test"};
    for (const std::string& port : Ports()) {
        args.push_back(port);
    }
    args.insert(args.end(), {"--steps", "50,60", "--hold", "3", "--out-dir", out_.Path()});
    pid_t pid = SpawnToFiles(args, out_ / "run.out", out_ / "run.err");
    auto deadline = Clock::now() + std::chrono::seconds(15);
    auto heard = [&](int i) {
        for (const std::string& command : emus_[i].Commands()) {
            if (command.rfind("V5=50", 0) == 0) {
                return true;
            }
        }
        return false;
    };
    while (!(heard(0) && heard(1)) && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    kill(pid, SIGINT);
    EXPECT_EQ(WaitExitWithin(pid, 10.0), 1);
    std::string summary = ReadWhole(out_ / "run.out");
    EXPECT_EQ(summary.find("PASS"), std::string::npos) << summary;
    EXPECT_NE(summary.find("ABORTED: aborted: " + Ports()[0] + ", " + Ports()[1]),
              std::string::npos)
        << summary;
    for (int i = 0; i < 2; ++i) {
        nlohmann::json report =
            nlohmann::json::parse(ReadWhole(BoardFile(i, ".json")), nullptr, false);
        ASSERT_TRUE(report.is_object()) << BoardFile(i, ".json");
        EXPECT_EQ(report["outcome"], "ABORTED") << report;
        EXPECT_EQ(report["pass"], false) << report;
        std::string svg = ReadWhole(BoardFile(i, ".svg"));
        EXPECT_NE(svg.find(": ABORTED</text>"), std::string::npos) << BoardFile(i, ".svg");
    }
    ExpectEachRestored();
}

// A board's CSV that cannot be made (a folder is in its place) is an error of the run, exit 1,
// not a limit the board failed.
TEST_F(TorvanctlBenchTruthTest, AFileThatCannotBeWrittenIsAnError) {
    ASSERT_EQ(mkdir(BoardFile(0, ".csv").c_str(), 0700), 0);
    std::vector<std::string> args = {"step-test"};
    for (const std::string& port : Ports()) {
        args.push_back(port);
    }
    args.insert(args.end(), {"--steps", "50", "--hold", "1", "--json", "--out-dir", out_.Path()});
    CtlRun run = RunCtl(out_, args);
    EXPECT_EQ(run.Code, 1) << run.Err;
    nlohmann::json all = nlohmann::json::parse(run.Out, nullptr, false);
    ASSERT_TRUE(all.is_object()) << run.Out;
    EXPECT_EQ(all["outcome"], "ERROR");
    EXPECT_EQ(all["version"], TORVAN_VERSION);
    EXPECT_EQ(all["boards"][0]["outcome"], "ERROR") << all;
    EXPECT_EQ(all["boards"][1]["outcome"], "PASS") << all;
    ExpectEachRestored();
}

} // namespace

#endif

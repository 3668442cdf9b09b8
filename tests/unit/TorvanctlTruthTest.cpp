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

} // namespace

#endif

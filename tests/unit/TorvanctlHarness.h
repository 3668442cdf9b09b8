// torvanctl run as its own process against emulated boards: the pieces the torvanctl tests
// share (a run's exit code and output, an emulator with its checks of what the board heard).
#pragma once

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "EmulatorProcess.h"

namespace ctltest {

using emutest::EmulatorProcess;
using emutest::ReadWhole;
using emutest::SpawnToFiles;
using emutest::WaitExit;
using TempDirBase = emutest::TempDir;
using Clock = std::chrono::steady_clock;

inline std::vector<std::string> Lines(const std::string& text) {
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

inline CtlRun RunCtl(const TempDir& dir, std::vector<std::string> args) {
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

} // namespace ctltest

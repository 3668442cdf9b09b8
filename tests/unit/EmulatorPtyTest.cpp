// The real torvan-emu binary on its pty, driven with plain termios reads and writes the way a
// serial program would.
#include <gtest/gtest.h>

#ifdef TORVAN_EMU_PATH

#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "EmulatorProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

long MsSince(Clock::time_point start) {
    return (long)std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start)
        .count();
}

void SleepMs(int ms) {
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

speed_t SpeedCode(long baud) {
    switch (baud) {
    case 19200:
        return B19200;
    case 230400:
        return B230400;
    default:
        return B9600;
    }
}

class EmulatorPty : public ::testing::Test {
  protected:
    emutest::TempDir dir{"torvan-emu-test"};
    emutest::EmulatorProcess board{dir.Path()};
    std::string link = board.Link();
    int fd = -1;

    void SetUp() override { ASSERT_TRUE(dir.Made()); }

    void TearDown() override {
        ClosePort();
        board.Stop();
    }

    // Starts the emulator and waits for its "ready" line.
    void Start(std::vector<std::string> extra = {}) {
        std::string printed;
        ASSERT_TRUE(board.Start(TORVAN_EMU_PATH, extra, &printed)) << printed;
    }

    void OpenPort(long baud) {
        ClosePort();
        fd = open(link.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(fd, 0) << strerror(errno);
        SetSpeed(baud);
    }

    void SetSpeed(long baud) {
        struct termios tio;
        ASSERT_EQ(tcgetattr(fd, &tio), 0);
        cfmakeraw(&tio);
        cfsetispeed(&tio, SpeedCode(baud));
        cfsetospeed(&tio, SpeedCode(baud));
        tio.c_cc[VMIN] = 0;
        tio.c_cc[VTIME] = 0;
        ASSERT_EQ(tcsetattr(fd, TCSANOW, &tio), 0);
        tcflush(fd, TCIOFLUSH);
    }

    void ClosePort() {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }

    void Write(const std::string& text) {
        ASSERT_EQ(write(fd, text.data(), text.size()), (ssize_t)text.size());
    }

    // The emulator reads its FIFO in the same loop as the line; give it one turn.
    void ControlLine(const std::string& line) { ASSERT_TRUE(board.Send(line, 20)); }

    // Reads until `done` says the reply is complete, or nothing arrives for quietMs.
    template <typename Done> std::string ReadReply(Done done, int quietMs = 300) {
        std::string bytes;
        while (!done(bytes)) {
            struct pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, quietMs) <= 0)
                break;
            char chunk[9000];
            ssize_t n = read(fd, chunk, sizeof chunk);
            if (n <= 0)
                break;
            bytes.append(chunk, (size_t)n);
        }
        return bytes;
    }

    std::string Ascii(const std::string& command, int quietMs = 300) {
        Write(command + "\r");
        return ReadReply([](const std::string& b) { return b.find('>') != std::string::npos; },
                         quietMs);
    }

    std::string Binary(const std::string& command, int quietMs = 300) {
        Write(command + "\r");
        return ReadReply(
            [](const std::string& b) {
                return b.size() >= 2 && b.size() >= (size_t)(((uint8_t)b[0] << 8) | (uint8_t)b[1]);
            },
            quietMs);
    }

    std::vector<std::string> RecordedCommands() { return board.Commands(); }
};

bool FrameValid(const std::string& bytes) {
    if (bytes.size() < 4)
        return false;
    size_t length = ((uint8_t)bytes[0] << 8) | (uint8_t)bytes[1];
    if (length != bytes.size())
        return false;
    unsigned sum = 0x1234;
    for (size_t i = 0; i + 2 < length; i++)
        sum += (uint8_t)bytes[i];
    sum += ((uint8_t)bytes[length - 2] << 8) | (uint8_t)bytes[length - 1];
    return (sum & 0xFFFF) == 0;
}

TEST_F(EmulatorPty, AnswersOnlyAtItsOwnSpeedAndRecordsWhatItDecoded) {
    Start({"--baud", "9600"});
    OpenPort(19200);
    EXPECT_EQ(Ascii("2"), "");
    SetSpeed(9600);
    EXPECT_EQ(Ascii("2"), "Invalid Command\r>");
    EXPECT_EQ(Ascii("S65"), "xd\r>");
    std::vector<std::string> expected = {"2", "S65"};
    EXPECT_EQ(RecordedCommands(), expected);
}

TEST_F(EmulatorPty, TakesCommandsEndedByCrLfOrATerminalsLf) {
    Start();
    OpenPort(9600);
    Write("S64\r\nS65\n2\r");
    std::string replies = ReadReply([](const std::string& b) { return b.size() >= 25; });
    EXPECT_EQ(replies, "x1\r>xd\r>Invalid Command\r>");
    std::vector<std::string> expected = {"S64", "S65", "2"};
    EXPECT_EQ(RecordedCommands(), expected);
}

TEST_F(EmulatorPty, BaudCommandMovesTheBoardToTheNewSpeed) {
    Start();
    OpenPort(9600);
    Write("~BAUD=19200\r");
    SleepMs(100);
    EXPECT_EQ(Ascii("2", 200), "");
    ClosePort();
    OpenPort(19200);
    EXPECT_EQ(Ascii("2"), "Invalid Command\r>");
    std::vector<std::string> expected = {"~BAUD=19200", "2"};
    EXPECT_EQ(RecordedCommands(), expected);
}

TEST_F(EmulatorPty, FlowSamplesArriveAboutOnePerFiveMillisecondsUpTo250) {
    Start({"--baud", "230400"});
    OpenPort(230400);
    ASSERT_TRUE(FrameValid(Binary("~GAFV")));
    Clock::time_point start = Clock::now();
    SleepMs(200);
    std::string frame = Binary("~GAFV");
    long elapsed = MsSince(start);
    ASSERT_TRUE(FrameValid(frame));
    long samples = (long)(frame.size() - 4) / 4;
    // Generous bounds: a loaded machine stretches the sleep, never the board's clock.
    EXPECT_GE(samples, 200 / 5 / 2);
    EXPECT_LE(samples, elapsed / 5 + 10);
    SleepMs(1400);
    frame = Binary("~GAFV");
    ASSERT_TRUE(FrameValid(frame));
    EXPECT_EQ(frame.size() - 4, 250u * 4u);
}

TEST_F(EmulatorPty, ControlChannelSetsFlagsGasAndResets) {
    Start();
    OpenPort(9600);
    ControlLine("flags 4081");
    ControlLine("gas 1");
    std::string frame = Binary("~GLSV");
    ASSERT_TRUE(FrameValid(frame));
    ASSERT_EQ(frame.size(), 44u);
    EXPECT_EQ((uint8_t)frame[2 + 36] | ((uint8_t)frame[2 + 37] << 8), 0x4081);
    EXPECT_EQ((uint8_t)frame[2 + 38] | ((uint8_t)frame[2 + 39] << 8), 1);
    EXPECT_EQ(Ascii("G4"), "Ar\r>");

    Ascii("~SNLC=0x0D0A");
    Write("~BAUD=230400\r");
    SleepMs(100);
    ControlLine("reset");
    EXPECT_EQ(Ascii("G4"), "N2\r>");
    EXPECT_EQ(Ascii("S65"), "xd\r>");
}

TEST_F(EmulatorPty, EachFaultShowsOnTheLine) {
    Start();
    OpenPort(9600);

    ControlLine("fault silence once");
    EXPECT_EQ(Ascii("2", 200), "");
    EXPECT_EQ(Ascii("2"), "Invalid Command\r>");

    ControlLine("fault delay 300 once");
    Clock::time_point start = Clock::now();
    EXPECT_EQ(Ascii("2", 600), "Invalid Command\r>");
    EXPECT_GE(MsSince(start), 290);

    ControlLine("fault garbage 3 once");
    std::string reply = Ascii("S64");
    ASSERT_EQ(reply.size(), 3u + 4u);
    EXPECT_EQ(reply.substr(3), "x1\r>");

    ControlLine("fault cut once");
    EXPECT_EQ(Ascii("2", 200), "Invalid ");

    ControlLine("fault badsum once");
    std::string frame = Binary("~GLSV");
    EXPECT_EQ(frame.size(), 44u);
    EXPECT_FALSE(FrameValid(frame));

    ControlLine("fault zerolen once");
    EXPECT_EQ(Binary("~GLSV", 200), std::string(2, '\0'));

    ControlLine("fault oversize once");
    frame = Binary("~GLSV", 500);
    EXPECT_GT(frame.size(), 8002u);
    EXPECT_TRUE(FrameValid(frame));

    ControlLine("fault shortstate once");
    frame = Binary("~GLSV");
    EXPECT_LT(frame.size(), 44u);
    EXPECT_TRUE(FrameValid(frame));

    EXPECT_TRUE(FrameValid(Binary("~GLSV")));
}

TEST_F(EmulatorPty, HangupRemovesThePortAndBringsItBack) {
    Start();
    ControlLine("fault hangup 300");
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    Clock::time_point start = Clock::now();
    while (lstat(link.c_str(), &st) != 0 && MsSince(start) < 2000)
        SleepMs(10);
    ASSERT_EQ(lstat(link.c_str(), &st), 0);
    EXPECT_GE(MsSince(start), 200);
    OpenPort(9600);
    EXPECT_EQ(Ascii("2"), "Invalid Command\r>");

    // Unplugged for good until the fault is cleared.
    ControlLine("fault hangup 0");
    SleepMs(300);
    EXPECT_NE(lstat(link.c_str(), &st), 0);
    ControlLine("fault none");
    EXPECT_EQ(lstat(link.c_str(), &st), 0);
}

TEST_F(EmulatorPty, SilenceFromTheCommandLineStillRecords) {
    Start({"--fault", "silence"});
    OpenPort(9600);
    EXPECT_EQ(Ascii("2", 200), "");
    std::vector<std::string> expected = {"2"};
    EXPECT_EQ(RecordedCommands(), expected);
}

TEST_F(EmulatorPty, TerminationRemovesTheLinkAndExitsCleanly) {
    Start();
    OpenPort(9600);
    int status = board.Stop();
    ASSERT_NE(status, -1);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    struct stat st;
    EXPECT_NE(lstat(link.c_str(), &st), 0);
}

} // namespace

#endif

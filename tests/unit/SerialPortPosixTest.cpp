// The termios port against a real pseudo-terminal: this test holds the master side and plays
// the board.
#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include "device/LegacyBoardUtils.h"
#include "device/SerialPort.h"

namespace {

TEST(SerialPortCodes, ParityAndStopBits) {
    const struct {
        char Parity;
        int Code;
    } parities[] = {{'N', 0}, {'n', 0}, {'O', 1}, {'o', 1}, {'E', 2}, {'e', 2},
                    {'M', 3}, {'m', 3}, {'S', 4}, {'s', 4}, {'x', 0}, {'\0', 0}};
    for (const auto& p : parities) {
        EXPECT_EQ(ParityCode(p.Parity), p.Code) << p.Parity;
    }
    const struct {
        float Bits;
        int Code;
    } stops[] = {{1.0f, 0}, {1.5f, 0}, {1.9f, 0}, {1.95f, 2}, {2.0f, 2}, {2.05f, 2}, {2.1f, 0}};
    for (const auto& s : stops) {
        EXPECT_EQ(StopBitsCode(s.Bits), s.Code) << s.Bits;
    }
}

class SerialPortPosixTest : public ::testing::Test {
  protected:
    void SetUp() override {
        Master = posix_openpt(O_RDWR | O_NOCTTY);
        ASSERT_GE(Master, 0);
        ASSERT_EQ(grantpt(Master), 0);
        ASSERT_EQ(unlockpt(Master), 0);
        SlavePath = ptsname(Master);
    }
    void TearDown() override {
        if (Port != nullptr) {
            CloseComPort(Port);
        }
        close(Master);
    }
    ComHandle OpenAt(uint32_t baud) {
        uint32_t error = 99;
        Port = OpenComPort(SlavePath.c_str(), baud, 'N', 8, 1.0f, &error);
        EXPECT_EQ(error, 0u);
        return Port;
    }
    void MasterWrite(const std::string& bytes) {
        ASSERT_EQ(write(Master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // What the port wrote, collected until `want` bytes or a second passes.
    std::string MasterRead(size_t want) {
        std::string got;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        while (got.size() < want && std::chrono::steady_clock::now() < deadline) {
            pollfd pfd = {Master, POLLIN, 0};
            if (poll(&pfd, 1, 50) == 1) {
                char buf[256];
                ssize_t n = read(Master, buf, sizeof buf);
                if (n > 0) {
                    got.append(buf, static_cast<size_t>(n));
                }
            }
        }
        return got;
    }

    int Master = -1;
    std::string SlavePath;
    ComHandle Port = nullptr;
};

TEST_F(SerialPortPosixTest, SpeedsReachTheLine) {
    const struct {
        uint32_t Baud;
        speed_t Code;
    } cases[] = {{9600, B9600}, {19200, B19200}, {230400, B230400}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Baud);
        ComHandle port = OpenAt(c.Baud);
        ASSERT_NE(port, nullptr);
        // The line settings of a pty are shared by both ends; read them through a second
        // descriptor as the emulator does.
        int peek = open(SlavePath.c_str(), O_RDWR | O_NOCTTY);
        ASSERT_GE(peek, 0);
        termios tio;
        ASSERT_EQ(tcgetattr(peek, &tio), 0);
        close(peek);
        EXPECT_EQ(cfgetospeed(&tio), c.Code);
        EXPECT_EQ(cfgetispeed(&tio), c.Code);
        EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
        EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB | CRTSCTS), 0u);
        EXPECT_EQ(tio.c_iflag & (IXON | IXOFF | ICRNL), 0u);
        EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u);
        EXPECT_EQ(CloseComPort(port), 1);
        Port = nullptr;
    }
}

TEST_F(SerialPortPosixTest, RefusesWhatItCannotOpen) {
    const struct {
        const char* Name;
        uint32_t Baud;
        uint32_t Error;
    } cases[] = {
        {"/nonexistent/ttyX", 9600, ENOENT},
        {"torvan-no-such-tty", 9600, ENOENT}, // looked up in /dev
        {nullptr, 115200, EINVAL},            // the pty at a speed the board never uses
    };
    for (const auto& c : cases) {
        const char* name = c.Name != nullptr ? c.Name : SlavePath.c_str();
        SCOPED_TRACE(name);
        uint32_t error = 0;
        EXPECT_EQ(OpenComPort(name, c.Baud, 'N', 8, 1.0f, &error), nullptr);
        EXPECT_EQ(error, c.Error);
    }
    EXPECT_EQ(GetComPortState("/nonexistent/ttyX"), static_cast<uint32_t>(ENOENT));
    EXPECT_EQ(GetComPortState(SlavePath.c_str()), 0u);
    EXPECT_EQ(CloseComPort(nullptr), 0);
}

TEST_F(SerialPortPosixTest, BytesPassUnchangedBothWays) {
    ASSERT_NE(OpenAt(230400), nullptr);
    // XON, XOFF, CR, LF, 0xFF and NUL must neither be swallowed nor translated.
    const std::string wire("\x11\x13\r\n\xff\x00\x7f"
                           "A",
                           8);
    MasterWrite(wire);
    for (unsigned char expected : wire) {
        EXPECT_EQ(GetComChar(Port), static_cast<int>(expected));
    }
    EXPECT_EQ(WriteComStr(Port, "~GLSV\r"), 0);
    EXPECT_EQ(WriteComChar(Port, 0xFF), 0);
    EXPECT_EQ(WriteComChar(Port, 0x11), 0);
    EXPECT_EQ(MasterRead(8), std::string("~GLSV\r\xff\x11", 8));
}

TEST_F(SerialPortPosixTest, ReadGivesUpAfterTheTimeout) {
    ASSERT_NE(OpenAt(9600), nullptr);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(GetComChar(Port), -1);
    double ms =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
    printf("POSIX port read time-out: %.1f ms\n", ms);
    EXPECT_GE(ms, 100.0);
    EXPECT_LE(ms, 1000.0);
}

// A peer thread answers the probe the way a board does; the framing reads its reply.
TEST_F(SerialPortPosixTest, ProbeExchangeWithAPeer) {
    ASSERT_NE(OpenAt(19200), nullptr);
    std::atomic<int> answered{0};
    std::thread peer([this, &answered] {
        std::string line;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < deadline) {
            pollfd pfd = {Master, POLLIN, 0};
            if (poll(&pfd, 1, 20) != 1) {
                continue;
            }
            char c;
            if (read(Master, &c, 1) != 1) {
                continue;
            }
            line += c;
            if (c == '\r') {
                const char* reply = line == "2\r" ? "Invalid Command\r\n>" : "?>";
                if (write(Master, reply, strlen(reply)) > 0) {
                    answered++;
                }
                line.clear();
                if (answered == 2) {
                    return;
                }
            }
        }
    });
    char* text = nullptr;
    int count = 0;
    ClearSerialPortErrors();
    EXPECT_EQ(WriteComStr(Port, "2\r"), 0);
    EXPECT_EQ(GetAsciiResponse(Port, &text, &count), 1);
    EXPECT_STREQ(text, "Invalid Command\r\n");
    EXPECT_EQ(count, 18);
    EXPECT_EQ(WriteComStr(Port, "V1\r"), 0);
    EXPECT_EQ(GetAsciiResponse(Port, &text, &count), 1);
    EXPECT_STREQ(text, "?");
    peer.join();
    EXPECT_EQ(answered, 2);
    EXPECT_EQ(GetSerialPortErrors(), 0u);
}

} // namespace

// The Win32 serial port under Wine against the emulated controller on COM5 (230400 bit/s);
// COM8 is mapped to a path where no port exists.
#include <gtest/gtest.h>

#include "DeviceWinTestUtil.h"
#include "device/LegacyBoardUtils.h"
#include "device/SerialPort.h"

using devicewin::BoardControl;
using devicewin::NowMs;

namespace {

class SerialPortWin32Test : public devicewin::BoardPortTest {
  protected:
    SerialPortWin32Test() : BoardPortTest("com5.ctl") {}
};

TEST_F(SerialPortWin32Test, ProbeExchangeOnCom5) {
    uint32_t error = 99;
    Port = OpenComPort("COM5", 230400, 'N', 8, 1.0f, &error);
    ASSERT_NE(Port, nullptr) << "error " << error;
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(WriteComStr(Port, "2\r"), 0);
    char* text = nullptr;
    int count = 0;
    ASSERT_EQ(GetAsciiResponse(Port, &text, &count), 1);
    EXPECT_EQ(strncmp(text, "Invalid Command", 15), 0) << text;
    EXPECT_EQ(count, static_cast<int>(strlen(text)) + 1);
    EXPECT_EQ(GetSerialPortErrors(), 0u);
}

// A binary frame through Wine's serial layer: the state record of a reset board.
TEST_F(SerialPortWin32Test, StateFrameOnCom5) {
    uint32_t error = 0;
    Port = OpenComPort("COM5", 230400, 'N', 8, 1.0f, &error);
    ASSERT_NE(Port, nullptr) << "error " << error;
    ASSERT_TRUE(BoardControl("com5.ctl", "flags 8041"));
    SystemStateRec state;
    memset(&state, 0, sizeof state);
    ASSERT_EQ(GetLegacyBoardStateVals(Port, &state), 1) << "errors " << GetSerialPortErrors();
    EXPECT_EQ(state.StatusFlags, 0x8041);
    EXPECT_EQ(GetSerialPortErrors(), 0u);
    BoardControl("com5.ctl", "reset");
}

TEST_F(SerialPortWin32Test, ReadTimeout) {
    uint32_t error = 0;
    Port = OpenComPort("COM5", 230400, 'N', 8, 1.0f, &error);
    ASSERT_NE(Port, nullptr) << "error " << error;
    double start = NowMs();
    EXPECT_EQ(GetComChar(Port), -1);
    double ms = NowMs() - start;
    printf("Win32 port read time-out under Wine: %.1f ms\n", ms);
    EXPECT_GE(ms, 100.0);
    EXPECT_LE(ms, 1000.0);
}

// COM8 is mapped to a path with no device: Wine lets CreateFile succeed and fails the first
// configuration call, which must still come back as null with an error code.
// (Wine does not refuse a second open of a device opened without sharing, so a port held by
// another program cannot be shown here.)
TEST_F(SerialPortWin32Test, PortThatDoesNotExist) {
    uint32_t error = 0;
    EXPECT_EQ(OpenComPort("COM8", 9600, 'N', 8, 1.0f, &error), nullptr);
    printf("COM8 (no port): error %lu\n", static_cast<unsigned long>(error));
    EXPECT_NE(error, 0u);
    error = 0;
    EXPECT_EQ(OpenComPort("COM99", 9600, 'N', 8, 1.0f, &error), nullptr);
    printf("COM99 (no such name): error %lu\n", static_cast<unsigned long>(error));
    EXPECT_EQ(error, static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetComPortState("COM99"), static_cast<uint32_t>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(GetComPortState("COM5"), 0u);
    EXPECT_EQ(CloseComPort(nullptr), 0);
}

// The settings the port is left with, read back through Win32, at each speed the connection
// uses. What Wine on a pty reports faithfully is asserted: the speed, 8N1, no flow control and
// the time-outs. The modem lines do not exist there (DTR and RTS read back enabled whatever was
// set), Wine drops fAbortOnError, and a pty's parity reads back garbled, so those are printed.
TEST_F(SerialPortWin32Test, LineSettingsAndTimeOutsReadBack) {
    for (uint32_t baud : {9600u, 19200u, 230400u}) {
        SCOPED_TRACE(baud);
        uint32_t error = 0;
        Port = OpenComPort("COM5", baud, 'N', 8, 1.0f, &error);
        ASSERT_NE(Port, nullptr) << "error " << error;
        DCB dcb = {};
        dcb.DCBlength = sizeof dcb;
        ASSERT_TRUE(GetCommState(static_cast<HANDLE>(Port), &dcb));
        EXPECT_EQ(dcb.BaudRate, baud);
        EXPECT_EQ(dcb.ByteSize, 8);
        EXPECT_EQ(dcb.Parity, NOPARITY);
        EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
        // No flow control of any kind: XON and XOFF are payload bytes in a binary frame.
        EXPECT_EQ(dcb.fOutX, 0u);
        EXPECT_EQ(dcb.fInX, 0u);
        EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
        EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
        COMMTIMEOUTS timeouts = {};
        ASSERT_TRUE(GetCommTimeouts(static_cast<HANDLE>(Port), &timeouts));
        EXPECT_EQ(timeouts.ReadIntervalTimeout, 3u);
        EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 2u);
        EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 150u);
        EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 10u);
        EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 50u);
        printf("read back at %u: fDtrControl %u fRtsControl %u fAbortOnError %u fBinary %u\n",
               static_cast<unsigned>(baud), dcb.fDtrControl, dcb.fRtsControl, dcb.fAbortOnError,
               dcb.fBinary);
        CloseComPort(Port);
        Port = nullptr;
    }
}

TEST_F(SerialPortWin32Test, OpenCloseCyclesKeepNoHandles) {
    DWORD before = 0, after = 0;
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &before));
    for (int i = 0; i < 20; i++) {
        uint32_t error = 0;
        ComHandle port = OpenComPort("COM5", i % 2 ? 9600 : 230400, 'N', 8, 1.0f, &error);
        ASSERT_NE(port, nullptr);
        EXPECT_EQ(CloseComPort(port), 1);
        EXPECT_EQ(OpenComPort("COM8", 9600, 'N', 8, 1.0f, &error), nullptr);
    }
    ASSERT_TRUE(GetProcessHandleCount(GetCurrentProcess(), &after));
    EXPECT_EQ(after, before);
}

} // namespace

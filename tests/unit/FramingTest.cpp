// Reply framing against a scripted byte source. Frames and checksums below are worked out by
// hand from the board's rule: 0x1234 + length bytes + payload bytes + checksum = 0 mod 65536.
#include "DeviceScriptedPort.h"

#include "device/DeviceClock.h"

#include <cstring>

using scripted::Port;
using scripted::Push;

namespace {

struct BinaryCase {
    const char* Name;
    std::vector<uint8_t> Wire;
    int Result;
    int Count;
    uint32_t Errors;
    std::vector<uint8_t> Payload; // checked when Result is 1
    size_t LeftOnLine;            // bytes the reader must not consume
};

class FramingTest : public ScriptedPortTest {};

TEST_F(FramingTest, BinaryFrames) {
    const BinaryCase cases[] = {
        {"abc", {0x00, 0x07, 0x61, 0x62, 0x63, 0xEC, 0x9F}, 1, 3, 0, {0x61, 0x62, 0x63}, 0},
        {"empty payload", {0x00, 0x04, 0xED, 0xC8}, 1, 0, 0, {}, 0},
        // 0x1234 + 7 + 0x11 + 0x13 + 0x0D = 0x126C -> 0xED94
        {"xon xoff cr", {0x00, 0x07, 0x11, 0x13, 0x0D, 0xED, 0x94}, 1, 3, 0, {0x11, 0x13, 0x0D}, 0},
        // 0x1234 + 5 + 0xFF = 0x1338 -> 0xECC8
        {"byte ff", {0x00, 0x05, 0xFF, 0xEC, 0xC8}, 1, 1, 0, {0xFF}, 0},
        // trailing byte must stay for the next reply
        {"zero length", {0x00, 0x00, 0x41}, 0, 0, SERIAL_ERROR_CHECKSUM, {}, 1},
        {"length 3 reads one byte", {0x00, 0x03, 0x41, 0x42}, 0, 0, SERIAL_ERROR_CHECKSUM, {}, 1},
        {"cut in payload", {0x00, 0x07, 0x61, 0x62}, 0, 0, SERIAL_ERROR_TIMEOUT, {}, 0},
        {"cut in length", {0x00}, 0, 0, SERIAL_ERROR_TIMEOUT, {}, 0},
        {"nothing", {}, 0, 0, SERIAL_ERROR_TIMEOUT, {}, 0},
        {"wrong checksum",
         {0x00, 0x07, 0x61, 0x62, 0x63, 0xEC, 0x9E},
         0,
         0,
         SERIAL_ERROR_CHECKSUM,
         {},
         0},
    };
    for (const BinaryCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Port.Bytes.clear();
        ClearSerialPortErrors();
        Push(c.Wire);
        uint8_t* data = nullptr;
        int count = -1;
        EXPECT_EQ(GetBinaryResponse(Handle(), &data, &count), c.Result);
        EXPECT_EQ(GetSerialPortErrors(), c.Errors);
        EXPECT_EQ(Port.Bytes.size(), c.LeftOnLine);
        if (c.Result == 1) {
            EXPECT_EQ(count, c.Count);
            ASSERT_NE(data, nullptr);
            EXPECT_EQ(std::vector<uint8_t>(data, data + count), c.Payload);
        }
    }
}

// The reader takes each reply's bytes in as few reads as they arrive in: a frame that comes
// in pieces (down to one byte per read) is assembled whole, and a frame already waiting is
// taken in two reads (length, then the rest), never beyond its end.
TEST_F(FramingTest, FrameSplitAcrossReadsIsAssembled) {
    const struct {
        size_t ReadLimit;
        int Reads; // 0: not checked
    } cases[] = {{1, 0}, {2, 0}, {3, 0}, {4, 0}, {0, 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.ReadLimit);
        Port.Bytes.clear();
        Port.ReadLimit = c.ReadLimit;
        Port.Reads = 0;
        ClearSerialPortErrors();
        // "abc" as in BinaryFrames, then the first byte of the next reply.
        Push(std::vector<uint8_t>{0x00, 0x07, 0x61, 0x62, 0x63, 0xEC, 0x9F, 0x3E});
        uint8_t* data = nullptr;
        int count = -1;
        ASSERT_EQ(GetBinaryResponse(Handle(), &data, &count), 1);
        EXPECT_EQ(std::vector<uint8_t>(data, data + count),
                  (std::vector<uint8_t>{0x61, 0x62, 0x63}));
        EXPECT_EQ(GetSerialPortErrors(), 0u);
        EXPECT_EQ(Port.Bytes.size(), 1u);
        if (c.Reads != 0) {
            EXPECT_EQ(Port.Reads, c.Reads);
        }
    }
}

TEST_F(FramingTest, ZeroLengthLeavesNotSetInBuffer) {
    Push(std::vector<uint8_t>{0x00, 0x00});
    uint8_t* data = nullptr;
    int count = 0;
    EXPECT_EQ(GetBinaryResponse(Handle(), &data, &count), 0);
    EXPECT_STREQ(reinterpret_cast<const char*>(data), "NOT SET");
}

// Every byte of the example frame, changed two different ways, must make the frame fail its
// check. Zero padding lets a frame whose length byte changed still be read to its end.
TEST_F(FramingTest, AnyChangedByteFailsTheChecksum) {
    const std::vector<uint8_t> good = {0x00, 0x07, 0x61, 0x62, 0x63, 0xEC, 0x9F};
    for (uint8_t flip : {0x01, 0x80}) {
        for (size_t i = 0; i < good.size(); i++) {
            SCOPED_TRACE(testing::Message() << "byte " << i << " xor " << int(flip));
            std::vector<uint8_t> wire = good;
            wire[i] ^= flip;
            wire.resize(wire.size() + 33000, 0x00);
            Port.Bytes.clear();
            ClearSerialPortErrors();
            Push(wire);
            uint8_t* data = nullptr;
            int count = 0;
            EXPECT_EQ(GetBinaryResponse(Handle(), &data, &count), 0);
            EXPECT_EQ(GetSerialPortErrors(), SERIAL_ERROR_CHECKSUM);
        }
    }
}

TEST_F(FramingTest, LargestFrameThatFitsIsAccepted) {
    std::vector<uint8_t> payload(7998);
    for (size_t i = 0; i < payload.size(); i++) {
        payload[i] = static_cast<uint8_t>(i * 7);
    }
    std::vector<uint8_t> wire = scripted::Frame(payload);
    ASSERT_EQ(wire[0], 0x1F); // 8002 = 0x1F42
    ASSERT_EQ(wire[1], 0x42);
    Push(wire);
    uint8_t* data = nullptr;
    int count = 0;
    EXPECT_EQ(GetBinaryResponse(Handle(), &data, &count), 1);
    EXPECT_EQ(count, 7998);
    EXPECT_EQ(std::vector<uint8_t>(data, data + count), payload);
}

// A frame too long for the buffer is read off the line in full and rejected, even when its
// checksum is right; the reply after it is read cleanly.
TEST_F(FramingTest, OversizeFrameIsConsumedAndRejected) {
    for (size_t payloadSize : {7999u, 8996u, 20000u}) {
        SCOPED_TRACE(payloadSize);
        Port.Bytes.clear();
        ClearSerialPortErrors();
        std::vector<uint8_t> payload(payloadSize, 0x5A);
        Push(scripted::Frame(payload));
        Push(std::vector<uint8_t>{0x00, 0x07, 0x61, 0x62, 0x63, 0xEC, 0x9F});
        uint8_t* data = nullptr;
        int count = -1;
        EXPECT_EQ(GetBinaryResponse(Handle(), &data, &count), 0);
        EXPECT_EQ(GetSerialPortErrors(), SERIAL_ERROR_CHECKSUM);
        EXPECT_EQ(count, 0);
        EXPECT_EQ(Port.Bytes.size(), 7u);

        ClearSerialPortErrors();
        EXPECT_EQ(GetBinaryResponse(Handle(), &data, &count), 1);
        EXPECT_EQ(count, 3);
        EXPECT_EQ(memcmp(data, "abc", 3), 0);
        EXPECT_EQ(GetSerialPortErrors(), 0u);
    }
}

struct AsciiCase {
    const char* Name;
    std::string Wire;
    int Result;
    std::string Text;
    int Count;
    uint32_t Errors;
    size_t LeftOnLine;
};

TEST_F(FramingTest, AsciiReplies) {
    const AsciiCase cases[] = {
        {"number", "12.5\r\n>", 1, "12.5\r\n", 7, 0, 0},
        {"prompt only", ">", 1, "", 1, 0, 0},
        {"probe reply", "Invalid Command\r\n>", 1, "Invalid Command\r\n", 18, 0, 0},
        {"ends at first prompt", "ab>cd>", 1, "ab", 3, 0, 3},
        {"binary bytes", std::string("\x11\x13\xff\r>", 5), 1, std::string("\x11\x13\xff\r", 4), 5,
         0, 0},
        {"cut short", "12.5", 0, "12.5", 0, SERIAL_ERROR_TIMEOUT, 0},
        {"nothing", "", 0, "", 0, SERIAL_ERROR_TIMEOUT, 0},
    };
    for (const AsciiCase& c : cases) {
        SCOPED_TRACE(c.Name);
        Port.Bytes.clear();
        ClearSerialPortErrors();
        Push(c.Wire);
        char* text = nullptr;
        int count = -1;
        EXPECT_EQ(GetAsciiResponse(Handle(), &text, &count), c.Result);
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(std::string(text, strlen(text)), c.Text);
        EXPECT_EQ(count, c.Count);
        EXPECT_EQ(GetSerialPortErrors(), c.Errors);
        EXPECT_EQ(Port.Bytes.size(), c.LeftOnLine);
    }
}

// A reply fits the 8000-byte buffer with its terminator: up to 7999 bytes before the prompt.
// A longer one is a device that does not answer as a board does: it fails as a time-out with
// its start kept, instead of holding the reader for as long as the device talks.
TEST_F(FramingTest, AsciiReplyOverTheBufferFails) {
    const struct {
        size_t Letters;
        int Result;
        size_t Kept;
    } cases[] = {{100, 1, 100}, {7999, 1, 7999}, {8000, 0, 7999}, {20000, 0, 7999}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Letters);
        Port.Bytes.clear();
        ClearSerialPortErrors();
        std::string wire;
        for (size_t i = 0; i < c.Letters; i++) {
            wire += static_cast<char>('a' + i % 26);
        }
        Push(wire + ">");
        char* text = nullptr;
        int count = 0;
        EXPECT_EQ(GetAsciiResponse(Handle(), &text, &count), c.Result);
        EXPECT_EQ(count, c.Result ? static_cast<int>(c.Letters + 1) : 0);
        EXPECT_EQ(GetSerialPortErrors(), c.Result ? 0u : SERIAL_ERROR_TIMEOUT);
        ASSERT_EQ(strlen(text), c.Kept);
        EXPECT_EQ(std::string(text), wire.substr(0, c.Kept));
    }
}

namespace {
// Each look at the clock moves it on 10 ms: a reply of N bytes is read over about N * 10 ms.
double FakeNow = 0.0;
double SteppingClock() {
    FakeNow += 0.010;
    return FakeNow;
}
void NoSleep(uint32_t) {}
const DeviceClockHooks SteppingHooks = {NoSleep, SteppingClock};

int AbortAfterChecks = -1;
int CountingAbort() {
    return AbortAfterChecks >= 0 && --AbortAfterChecks < 0;
}
} // namespace

// Bytes that keep coming, each within the port's time-out, still end at the reply's deadline
// (text without a prompt, a frame trickled a byte at a time), or at once when the caller is told
// to give up.
TEST_F(FramingTest, RepliesEndAtTheirDeadlineOrWhenAborted) {
    SetDeviceClockHooks(&SteppingHooks);
    std::vector<uint8_t> frame300 = {0x01, 0x30}; // 304-byte frame: payload never completes
    frame300.resize(304, 0x55);
    const struct {
        const char* Name;
        int Binary;
        std::string Wire;
        int Abort; // checks before the caller gives up; -1 never
        int Result;
    } cases[] = {
        {"ascii within its deadline", 0, std::string(150, 'x') + ">", -1, 1},
        {"ascii past its deadline", 0, std::string(250, 'x') + ">", -1, 0},
        {"ascii aborted", 0, std::string(20, 'x') + ">", 5, 0},
        {"frame past its deadline", 1, std::string(frame300.begin(), frame300.end()), -1, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Port.Bytes.clear();
        Port.ReadLimit = 1;
        ClearSerialPortErrors();
        FakeNow = 0.0;
        AbortAfterChecks = c.Abort;
        SetDeviceAbortCheck(CountingAbort);
        Push(c.Wire);
        int count = 0;
        int result;
        if (c.Binary) {
            uint8_t* data = nullptr;
            result = GetBinaryResponse(Handle(), &data, &count);
        } else {
            char* text = nullptr;
            result = GetAsciiResponse(Handle(), &text, &count);
        }
        EXPECT_EQ(result, c.Result);
        EXPECT_EQ(GetSerialPortErrors(), c.Result ? 0u : SERIAL_ERROR_TIMEOUT);
        SetDeviceAbortCheck(nullptr);
    }
    Port.ReadLimit = 0;
    SetDeviceClockHooks(nullptr);
}

TEST_F(FramingTest, ErrorBitsAccumulateUntilCleared) {
    char* text = nullptr;
    uint8_t* data = nullptr;
    int count = 0;
    GetAsciiResponse(Handle(), &text, &count);
    EXPECT_EQ(GetSerialPortErrors(), SERIAL_ERROR_TIMEOUT);
    Push(std::vector<uint8_t>{0x00, 0x00});
    GetBinaryResponse(Handle(), &data, &count);
    EXPECT_EQ(GetSerialPortErrors(), SERIAL_ERROR_TIMEOUT | SERIAL_ERROR_CHECKSUM);
    Push(">");
    EXPECT_EQ(GetAsciiResponse(Handle(), &text, &count), 1);
    EXPECT_EQ(GetSerialPortErrors(), SERIAL_ERROR_TIMEOUT | SERIAL_ERROR_CHECKSUM);
    ClearSerialPortErrors();
    EXPECT_EQ(GetSerialPortErrors(), 0u);
}

TEST_F(FramingTest, NewLineAndVerboseCommands) {
    const struct {
        const char* Reply;
        uint32_t Value;
        uint32_t Errors;
    } cases[] = {{"x0D0A\r\n>", 0x0D0A, 0}, {"xd\r>", 0xD, 0}, {"0D0A\r\n>", 0, 0}, {"", 0, 0x1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Reply);
        Port.Commands.clear();
        ClearSerialPortErrors();
        Push(c.Reply);
        EXPECT_EQ(GetNewLine(Handle()), c.Value);
        EXPECT_EQ(GetSerialPortErrors(), c.Errors);
        ASSERT_EQ(Port.Commands.size(), 1u);
        EXPECT_EQ(Port.Commands[0], "S65\r");
    }
    Port.Commands.clear();
    Push(">");
    EXPECT_EQ(DisableVerboseResponses(Handle()), 1);
    EXPECT_EQ(DisableVerboseResponses(Handle()), 0);
    EXPECT_EQ(Port.Commands, (std::vector<std::string>{"S112=0\r", "S112=0\r"}));
}

} // namespace

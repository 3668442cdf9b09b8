// A scripted stand-in for the serial port: the device code's bytes come from a queue the test
// fills (directly or from a responder that answers each command written), and every command
// and open is recorded. Also a fake clock that records sleeps instead of sleeping.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "device/DeviceClock.h"
#include "device/LegacyBoardUtils.h"
#include "device/SerialPort.h"

namespace scripted {

struct PortScript {
    std::deque<int> Bytes; // what GetComChar and reads return next; empty = time-out
    std::vector<std::string> Commands;
    std::function<void(const std::string&)> Responder;
    std::vector<uint32_t> OpenBauds; // one entry per open attempt
    int OpenFailures = 0;            // the next this many opens fail
    int Closes = 0;
    int ReadsAfterEmpty = 0; // GetComChar calls that found nothing
    size_t ReadLimit = 0;    // the most bytes one ReadComBytes hands back; 0 = all that wait
    int Reads = 0;           // ReadComBytes calls
};

inline PortScript Port;
inline std::vector<uint32_t> Sleeps;
inline double FakeNow = 0.0;

inline ComHandle ScriptOpen(const char*, uint32_t baud, char, uint8_t, float, uint32_t* errorOut) {
    Port.OpenBauds.push_back(baud);
    if (Port.OpenFailures > 0) {
        Port.OpenFailures--;
        *errorOut = 5; // access denied, as a port held by another program gives
        return nullptr;
    }
    return reinterpret_cast<ComHandle>(static_cast<intptr_t>(0x5eed));
}

inline int ScriptGetChar(ComHandle) {
    if (Port.Bytes.empty()) {
        Port.ReadsAfterEmpty++;
        return -1;
    }
    int byte = Port.Bytes.front();
    Port.Bytes.pop_front();
    return byte;
}

inline int ScriptRead(ComHandle, uint8_t* bytes, size_t count) {
    Port.Reads++;
    if (Port.Bytes.empty()) {
        return -1;
    }
    size_t limit = Port.ReadLimit != 0 && Port.ReadLimit < count ? Port.ReadLimit : count;
    size_t n = 0;
    while (n < limit && !Port.Bytes.empty()) {
        bytes[n++] = static_cast<uint8_t>(Port.Bytes.front());
        Port.Bytes.pop_front();
    }
    return static_cast<int>(n);
}

inline int ScriptWrite(ComHandle, const uint8_t* bytes, size_t count) {
    std::string text(reinterpret_cast<const char*>(bytes), count);
    Port.Commands.push_back(text);
    if (Port.Responder) {
        Port.Responder(text);
    }
    return 0;
}

inline int ScriptClose(ComHandle) {
    Port.Closes++;
    return 1;
}

inline uint32_t ScriptState(const char*) {
    return 0;
}

inline const SerialPortBackend Backend = {ScriptOpen,  ScriptGetChar, ScriptWrite,
                                          ScriptClose, ScriptState,   ScriptRead};

inline void FakeSleep(uint32_t ms) {
    Sleeps.push_back(ms);
    FakeNow += ms / 1000.0;
}

inline double FakeClockNow() {
    return FakeNow;
}

inline const DeviceClockHooks Clock = {FakeSleep, FakeClockNow};

inline void Push(const std::string& bytes) {
    for (unsigned char c : bytes) {
        Port.Bytes.push_back(c);
    }
}

inline void Push(const std::vector<uint8_t>& bytes) {
    for (uint8_t b : bytes) {
        Port.Bytes.push_back(b);
    }
}

// A binary frame around a payload: length and checksum high byte first.
inline std::vector<uint8_t> Frame(const std::vector<uint8_t>& payload) {
    uint32_t length = static_cast<uint32_t>(payload.size()) + 4;
    uint32_t sum = 0x1234 + (length >> 8) + (length & 0xFF);
    for (uint8_t b : payload) {
        sum += b;
    }
    uint32_t check = (0x10000 - (sum & 0xFFFF)) & 0xFFFF;
    std::vector<uint8_t> frame = {static_cast<uint8_t>(length >> 8),
                                  static_cast<uint8_t>(length & 0xFF)};
    frame.insert(frame.end(), payload.begin(), payload.end());
    frame.push_back(static_cast<uint8_t>(check >> 8));
    frame.push_back(static_cast<uint8_t>(check & 0xFF));
    return frame;
}

inline void AppendFloat(std::vector<uint8_t>* out, float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    for (int i = 0; i < 4; i++) {
        out->push_back(static_cast<uint8_t>(bits >> (8 * i)));
    }
}

inline std::vector<uint8_t> Floats(const std::vector<float>& values) {
    std::vector<uint8_t> out;
    for (float v : values) {
        AppendFloat(&out, v);
    }
    return out;
}

} // namespace scripted

// Installs the scripted port and the fake clock around each test.
class ScriptedPortTest : public ::testing::Test {
  protected:
    void SetUp() override {
        scripted::Port = scripted::PortScript();
        scripted::Sleeps.clear();
        scripted::FakeNow = 0.0;
        SetSerialPortBackend(&scripted::Backend);
        SetDeviceClockHooks(&scripted::Clock);
        ClearSerialPortErrors();
    }
    void TearDown() override {
        SetSerialPortBackend(nullptr);
        SetDeviceClockHooks(nullptr);
        ClearSerialPortErrors();
    }
    ComHandle Handle() const { return reinterpret_cast<ComHandle>(static_cast<intptr_t>(0x5eed)); }
};

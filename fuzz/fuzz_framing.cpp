// Feeds arbitrary byte streams, as a board might send them, through the reply readers and
// the record decoders via a scripted port.
//
// The test script runs a short pass (-runs=20000). A longer run, from the fuzz build folder:
//   mkdir -p corpus && ./fuzz/fuzz_framing corpus -max_len=20000 -max_total_time=600 -jobs=2
#include <algorithm>
#include <cassert>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "device/DeviceClock.h"
#include "device/LegacyBoardUtils.h"

namespace {

const uint8_t* Stream = nullptr;
size_t StreamLeft = 0;

ComHandle FuzzOpen(const char*, uint32_t, char, uint8_t, float, uint32_t*) {
    return reinterpret_cast<ComHandle>(static_cast<intptr_t>(1));
}

int FuzzGetChar(ComHandle) {
    if (StreamLeft == 0) {
        return -1;
    }
    StreamLeft--;
    return *Stream++;
}

// Hands out what is left, a few bytes at a time, so frames are also assembled from pieces.
int FuzzRead(ComHandle, uint8_t* bytes, size_t count) {
    if (StreamLeft == 0) {
        return -1;
    }
    size_t n = count < 3 ? count : 3;
    n = n < StreamLeft ? n : StreamLeft;
    memcpy(bytes, Stream, n);
    Stream += n;
    StreamLeft -= n;
    return static_cast<int>(n);
}

int FuzzWrite(ComHandle, const uint8_t*, size_t) {
    return 0;
}

int FuzzClose(ComHandle) {
    return 1;
}

uint32_t FuzzState(const char*) {
    return 0;
}

const SerialPortBackend Backend = {FuzzOpen,  FuzzGetChar, FuzzWrite,
                                   FuzzClose, FuzzState,   FuzzRead};

void NoSleep(uint32_t) {}
double NoTime() {
    return 0.0;
}
const DeviceClockHooks Clock = {NoSleep, NoTime};

// Checked even in builds without assertions: a broken invariant must stop the fuzzer.
void Require(bool ok, const char* what) {
    if (!ok) {
        fprintf(stderr, "invariant broken: %s\n", what);
        abort();
    }
}

int TakeByte() {
    return FuzzGetChar(nullptr);
}

// Takes up to three chunks of the input (a length byte, then that many bytes) and frames each
// as the board would, with a correct checksum: random bytes seldom make a valid frame, and the
// batch decoding behind the frame check must be reached too.
std::vector<uint8_t> FramedChunks() {
    std::vector<uint8_t> frames;
    for (int i = 0; i < 3 && StreamLeft > 0; i++) {
        size_t n = std::min<size_t>(static_cast<size_t>(TakeByte()), StreamLeft);
        uint32_t length = static_cast<uint32_t>(n) + 4;
        uint32_t sum = 0x1234 + (length >> 8) + (length & 0xFF);
        frames.push_back(static_cast<uint8_t>(length >> 8));
        frames.push_back(static_cast<uint8_t>(length & 0xFF));
        for (size_t k = 0; k < n; k++) {
            uint8_t byte = static_cast<uint8_t>(TakeByte());
            sum += byte;
            frames.push_back(byte);
        }
        uint32_t checksum = (0x10000u - (sum & 0xFFFF)) & 0xFFFF;
        frames.push_back(static_cast<uint8_t>(checksum >> 8));
        frames.push_back(static_cast<uint8_t>(checksum & 0xFF));
    }
    return frames;
}

} // namespace

// The flow reader prints its timing lines on standard output for every batch; the fuzzer's
// own reports go to standard error.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
    FILE* quiet = freopen("/dev/null", "w", stdout);
    (void)quiet;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    SetSerialPortBackend(&Backend);
    SetDeviceClockHooks(&Clock);
    ClearSerialPortErrors();
    ComHandle handle = FuzzOpen(nullptr, 0, 'N', 8, 1.0f, nullptr);

    // The decoders straight on the input, at every length it offers.
    SystemStateRec state;
    memset(&state, 0, sizeof state);
    int stateResult = DecodeBoardState(data, static_cast<int>(size), &state);
    Require(stateResult == (size >= 40 ? 1 : 0), "state decoder length check");
    NewFlowReadingsRec readings;
    int n = DecodeFlowValues(data, static_cast<int>(size), &readings);
    Require(n == readings.Count && n >= 0 && n <= MAX_FLOW_READINGS, "flow decoder count");

    // Then the stream as replies: each step's first byte picks the reader.
    Stream = data;
    StreamLeft = size;
    while (StreamLeft > 0) {
        int op = TakeByte();
        size_t before = StreamLeft;
        switch (op % 6) {
        case 0: {
            char* text = nullptr;
            int count = -1;
            int ok = GetAsciiResponse(handle, &text, &count);
            size_t length = strnlen(text, REPLY_BUFFER_SIZE);
            Require(length < REPLY_BUFFER_SIZE, "ASCII text terminated inside its buffer");
            if (ok) {
                Require(count >= 1 && static_cast<size_t>(count) == before - StreamLeft,
                        "ASCII count is the bytes taken");
                Require(length <= static_cast<size_t>(count) - 1, "ASCII text within count");
            } else {
                Require(count == 0 && StreamLeft == 0, "ASCII fails only at the end");
            }
            break;
        }
        case 1: {
            uint8_t* payload = nullptr;
            int count = -1;
            if (GetBinaryResponse(handle, &payload, &count)) {
                Require(count >= 0 && count <= REPLY_BUFFER_SIZE - 2, "payload fits");
                Require(before - StreamLeft == static_cast<size_t>(count) + 4,
                        "frame length matches bytes taken");
            } else {
                Require(count == 0, "failed frame has no count");
            }
            break;
        }
        case 2: {
            readings.Count = -5;
            Require(GetLegacyFlowVals(handle, &readings) == 1, "flow read returns 1");
            Require(readings.Count >= 0 && readings.Count <= MAX_FLOW_READINGS, "flow count");
            break;
        }
        case 4: {
            // A settle wait's batches: the next byte picks the reading and how long a run
            // it asks for.
            if (StreamLeft == 0) {
                break;
            }
            int pick = TakeByte();
            int type = pick % 3;
            int durationMs = (pick / 3) * 5;
            int wanted = durationMs / 5;
            std::vector<uint8_t> frames = FramedChunks();
            const uint8_t* rest = Stream;
            size_t restLeft = StreamLeft;
            Stream = frames.data();
            StreamLeft = frames.size();
            float* samples = nullptr;
            int count = -1;
            if (GetFlowReadings(handle, durationMs, type, &samples, &count)) {
                Require(samples != nullptr && count >= wanted && count <= FLOW_SAMPLE_LIMIT,
                        "flow readings count");
                Require(type != 2 || count == wanted, "state samples stop at the wanted count");
            } else {
                Require(count == 0, "failed flow readings have no count");
            }
            Stream = rest;
            StreamLeft = restLeft;
            break;
        }
        case 5:
            // Whatever comes back, the line ending is a plain number or 0.
            (void)GetNewLine(handle);
            break;
        default: {
            SystemStateRec fresh;
            memset(&fresh, 0x5A, sizeof fresh);
            if (!GetLegacyBoardStateVals(handle, &fresh)) {
                SystemStateRec untouched;
                memset(&untouched, 0x5A, sizeof untouched);
                Require(memcmp(&fresh, &untouched, sizeof fresh) == 0, "failed read untouched");
            }
            break;
        }
        }
    }
    SetSerialPortBackend(nullptr);
    SetDeviceClockHooks(nullptr);
    return 0;
}

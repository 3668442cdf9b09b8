// Flow and state readings. Values inside a payload are 32-bit little-endian (IEEE floats or
// integers) and 16-bit little-endian words; they are assembled byte by byte so the decoding
// does not depend on the host's byte order or on the buffer's alignment.
#include "device/LegacyBoardUtils.h"

#include "device/DeviceClock.h"

#include <cstdio>
#include <cstring>

namespace {

float FlowVals[FLOW_SAMPLE_LIMIT];

constexpr int SAMPLE_PERIOD_MS = 5;
constexpr int STATE_SAMPLE_BYTES = 12; // one "~GSV" record; its flow is the first float

uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}

float LeFloat(const uint8_t* p) {
    uint32_t bits = Le32(p);
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

const char* FlowCommand(int type) {
    switch (type) {
    case FLOW_FILTERED:
        return "~GFF\r";
    case FLOW_RAW:
        return "~GRF\r";
    case FLOW_STATE_SAMPLES:
        return "~GSV\r";
    case FLOW_ALL:
        return "~GAFV\r";
    default:
        return nullptr;
    }
}

// Appends one batch to FlowVals; returns the number of samples the payload carried.
int AppendBatch(const uint8_t* payload, int count, int type, int wanted, int* collected) {
    if (type == 2) {
        int records = count / STATE_SAMPLE_BYTES;
        for (int i = 0; i < records && *collected < wanted; i++) {
            FlowVals[(*collected)++] = LeFloat(payload + i * STATE_SAMPLE_BYTES);
        }
        return records;
    }
    int floats = count / 4;
    for (int i = 0; i < floats && *collected < FLOW_SAMPLE_LIMIT; i++) {
        FlowVals[(*collected)++] = LeFloat(payload + i * 4);
    }
    return floats;
}

void PrintBatchTiming(double elapsed, int samples, int bytes) {
    DeviceDiagnostic("Code under test took %lf sec\n", elapsed);
    DeviceDiagnostic("NumSamples: %3d", samples);
    DeviceDiagnostic(" @ %6.5f Seconds Per Sample\n", samples > 0 ? elapsed / samples : 0.0);
    DeviceDiagnostic("%lf Seconds per Byte\n", bytes > 0 ? elapsed / bytes : 0.0);
}

} // namespace

int DecodeFlowValues(const uint8_t* payload, int count, NewFlowReadingsRec* readings) {
    int n = count > 0 ? count / 4 : 0;
    if (n > MAX_FLOW_READINGS) {
        n = MAX_FLOW_READINGS;
    }
    for (int i = 0; i < n; i++) {
        readings->Values[i] = LeFloat(payload + i * 4);
    }
    readings->Count = n;
    return n;
}

int DecodeBoardState(const uint8_t* payload, int count, SystemStateRec* state) {
    // A short record would leave the tail fields holding whatever the buffer held before.
    if (count < BOARD_STATE_BYTES) {
        return 0;
    }
    state->RawFlowCounts = static_cast<int32_t>(Le32(payload + 0));
    state->Flow = LeFloat(payload + 4);
    state->SetPoint = LeFloat(payload + 8);
    state->AuxValue1 = LeFloat(payload + 12);
    state->AuxValue2 = LeFloat(payload + 16);
    state->AuxValue3 = LeFloat(payload + 20);
    state->AuxValue4 = LeFloat(payload + 24);
    state->TotalizerFlow = LeFloat(payload + 28);
    state->AuxWord1 = Le16(payload + 32);
    state->AuxWord2 = Le16(payload + 34);
    state->StatusFlags = Le16(payload + 36);
    state->ActiveGas = Le16(payload + 38);
    return 1;
}

uint32_t FlowReadingsWaitMs(int missing) {
    int ms = missing * SAMPLE_PERIOD_MS;
    if (ms < 20) {
        return 20;
    }
    if (ms < 200) {
        return static_cast<uint32_t>(ms + 20);
    }
    return 200;
}

int ReadFlowBatch(ComHandle handle, int type, NewFlowReadingsRec* readings) {
    readings->Count = 0;
    const char* command = FlowCommand(type);
    uint8_t* payload = nullptr;
    int count = 0;
    if (command == nullptr) {
        return 0;
    }
    WriteComStr(handle, command);
    if (!GetBinaryResponse(handle, &payload, &count)) {
        return 0;
    }
    if (type != FLOW_STATE_SAMPLES) {
        DecodeFlowValues(payload, count, readings);
        return 1;
    }
    int records = count / STATE_SAMPLE_BYTES;
    records = records < MAX_FLOW_READINGS ? records : MAX_FLOW_READINGS;
    for (int i = 0; i < records; i++) {
        readings->Values[i] = LeFloat(payload + i * STATE_SAMPLE_BYTES);
    }
    readings->Count = records;
    return 1;
}

// The window's graph poll: a lost frame is an empty batch, and the error bits tell the worker.
int GetLegacyFlowVals(ComHandle handle, NewFlowReadingsRec* readings) {
    ReadFlowBatch(handle, FLOW_ALL, readings);
    return 1;
}

int GetLegacyBoardStateVals(ComHandle handle, SystemStateRec* state) {
    uint8_t* payload = nullptr;
    int count = 0;
    WriteComStr(handle, "~GLSV\r");
    if (!GetBinaryResponse(handle, &payload, &count)) {
        return 0;
    }
    if (!DecodeBoardState(payload, count, state)) {
        // A whole, correctly summed frame too short for the record: the link is not giving
        // the board's answer, and only a reported error makes the program reconnect instead
        // of showing the last state for ever.
        AddSerialPortErrors(SERIAL_ERROR_CHECKSUM);
        return 0;
    }
    return 1;
}

int GetFlowReadings(ComHandle handle, int durationMs, int type, float** samplesOut, int* countOut) {
    *countOut = 0;
    int wanted = durationMs / SAMPLE_PERIOD_MS;
    if (wanted > FLOW_SAMPLE_LIMIT) {
        DeviceDiagnostic("Error in GetFlowReadings, Buffer Size Exceeded Limit of %d Samples\n",
                         FLOW_SAMPLE_LIMIT);
        return 0;
    }
    const char* command = FlowCommand(type);
    if (command == nullptr) {
        return 0;
    }
    int collected = 0;
    for (;;) {
        double start = DeviceNowSeconds();
        uint8_t* payload = nullptr;
        int count = 0;
        WriteComStr(handle, command);
        if (!GetBinaryResponse(handle, &payload, &count)) {
            return 0;
        }
        int samples = AppendBatch(payload, count, type, wanted, &collected);
        PrintBatchTiming(DeviceNowSeconds() - start, samples, count);

        if (collected >= wanted) {
            *samplesOut = FlowVals;
            *countOut = collected;
            return 1;
        }
        // The board makes one sample every 5 ms; give it time to make the ones still missing.
        DeviceSleepMs(FlowReadingsWaitMs(wanted - collected));
    }
}

// Flow and state readings: the record decoders on hand-built little-endian payloads, the
// "~GAFV" and "~GLSV" readers over a scripted port, and the pacing of the bulk reader.
#include "DeviceScriptedPort.h"

#include <cmath>
#include <cstring>

using scripted::Port;
using scripted::Push;

namespace {

class DeviceReadingsTest : public ScriptedPortTest {};

// 40 bytes, every field distinct; floats are given by their IEEE bit patterns.
const std::vector<uint8_t> StatePayload = {
    0x78, 0x56, 0x34, 0x12, // RawFlowCounts 0x12345678
    0x00, 0x00, 0x48, 0x42, // Flow 50.0 (0x42480000)
    0x00, 0x00, 0x20, 0x41, // SetPoint 10.0 (0x41200000)
    0x00, 0x00, 0x20, 0x40, // AuxValue1 2.5
    0x00, 0x00, 0xC0, 0x3F, // AuxValue2 1.5
    0x00, 0x00, 0x01, 0x42, // AuxValue3 32.25 (0x42010000)
    0x00, 0x00, 0x80, 0xBF, // AuxValue4 -1.0
    0x00, 0x00, 0xC8, 0x42, // TotalizerFlow 100.0
    0x01, 0x00,             // AuxWord1 1
    0x04, 0x00,             // AuxWord2 4
    0x41, 0x80,             // StatusFlags 0x8041
    0x03, 0x01,             // ActiveGas 0x0103
};

void ExpectDecodedState(const SystemStateRec& s) {
    EXPECT_EQ(s.RawFlowCounts, 0x12345678);
    EXPECT_EQ(s.Flow, 50.0f);
    EXPECT_EQ(s.SetPoint, 10.0f);
    EXPECT_EQ(s.AuxValue1, 2.5f);
    EXPECT_EQ(s.AuxValue2, 1.5f);
    EXPECT_EQ(s.AuxValue3, 32.25f);
    EXPECT_EQ(s.AuxValue4, -1.0f);
    EXPECT_EQ(s.TotalizerFlow, 100.0f);
    EXPECT_EQ(s.AuxWord1, 1);
    EXPECT_EQ(s.AuxWord2, 4);
    EXPECT_EQ(s.StatusFlags, 0x8041);
    EXPECT_EQ(s.ActiveGas, 0x0103);
}

SystemStateRec Marked() {
    SystemStateRec s;
    memset(&s, 0, sizeof s);
    s.RawFlowCounts = -7;
    s.Flow = 99.5f;
    s.ActiveGas = 9;
    return s;
}

TEST_F(DeviceReadingsTest, DecodesTheStateRecordFieldByField) {
    SystemStateRec s = Marked();
    EXPECT_EQ(DecodeBoardState(StatePayload.data(), 40, &s), 1);
    ExpectDecodedState(s);

    // A negative raw count keeps its sign.
    std::vector<uint8_t> negative = StatePayload;
    negative[0] = 0xFE;
    negative[1] = negative[2] = negative[3] = 0xFF;
    EXPECT_EQ(DecodeBoardState(negative.data(), 40, &s), 1);
    EXPECT_EQ(s.RawFlowCounts, -2);
}

TEST_F(DeviceReadingsTest, ShortStatePayloadLeavesTheRecordUntouched) {
    for (int count : {0, 4, 36, 39}) {
        SCOPED_TRACE(count);
        SystemStateRec s = Marked();
        EXPECT_EQ(DecodeBoardState(StatePayload.data(), count, &s), 0);
        EXPECT_EQ(s.RawFlowCounts, -7);
        EXPECT_EQ(s.Flow, 99.5f);
        EXPECT_EQ(s.ActiveGas, 9);
    }
}

TEST_F(DeviceReadingsTest, StateReaderOverThePort) {
    const struct {
        const char* Name;
        std::vector<uint8_t> Wire;
        int Result;
        uint32_t Errors;
    } cases[] = {
        {"good", scripted::Frame(StatePayload), 1, 0},
        {"longer payload uses the first 40 bytes",
         [] {
             std::vector<uint8_t> p = StatePayload;
             p.push_back(0xAA);
             p.push_back(0xBB);
             return scripted::Frame(p);
         }(),
         1, 0},
        {"short payload",
         scripted::Frame(std::vector<uint8_t>(StatePayload.begin(), StatePayload.begin() + 36)), 0,
         SERIAL_ERROR_CHECKSUM},
        {"no reply", {}, 0, SERIAL_ERROR_TIMEOUT},
        {"zero length", {0x00, 0x00}, 0, SERIAL_ERROR_CHECKSUM},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Name);
        Port.Bytes.clear();
        Port.Commands.clear();
        ClearSerialPortErrors();
        Push(c.Wire);
        SystemStateRec s = Marked();
        EXPECT_EQ(GetLegacyBoardStateVals(Handle(), &s), c.Result);
        EXPECT_EQ(GetSerialPortErrors(), c.Errors);
        EXPECT_EQ(Port.Commands, std::vector<std::string>{"~GLSV\r"});
        if (c.Result) {
            ExpectDecodedState(s);
        } else {
            EXPECT_EQ(s.RawFlowCounts, -7);
            EXPECT_EQ(s.Flow, 99.5f);
        }
    }
}

TEST_F(DeviceReadingsTest, FlowValuesFromPayloadSize) {
    const struct {
        int Bytes;
        int Count;
    } cases[] = {{0, 0}, {3, 0}, {4, 1}, {10, 2}, {1000, 250}, {1004, 250}, {4000, 250}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.Bytes);
        std::vector<float> values;
        for (int i = 0; i < c.Bytes / 4; i++) {
            values.push_back(0.5f * i - 3.0f);
        }
        std::vector<uint8_t> payload = scripted::Floats(values);
        payload.resize(c.Bytes, 0xEE);
        NewFlowReadingsRec r;
        r.Count = 77;
        Port.Bytes.clear();
        Port.Commands.clear();
        Push(scripted::Frame(payload));
        EXPECT_EQ(GetLegacyFlowVals(Handle(), &r), 1);
        EXPECT_EQ(Port.Commands, std::vector<std::string>{"~GAFV\r"});
        ASSERT_EQ(r.Count, c.Count);
        for (int i = 0; i < r.Count; i++) {
            EXPECT_EQ(r.Values[i], 0.5f * i - 3.0f) << i;
        }
        EXPECT_TRUE(Port.Bytes.empty());
    }
}

TEST_F(DeviceReadingsTest, FlowValuesHandBuiltPayload) {
    // 1.0 = 0x3F800000, -2.0 = 0xC0000000, then two stray bytes
    const uint8_t payload[] = {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x00, 0xC0, 0x12, 0x34};
    NewFlowReadingsRec r;
    EXPECT_EQ(DecodeFlowValues(payload, sizeof payload, &r), 2);
    EXPECT_EQ(r.Count, 2);
    EXPECT_EQ(r.Values[0], 1.0f);
    EXPECT_EQ(r.Values[1], -2.0f);
}

TEST_F(DeviceReadingsTest, FailedFlowReadStillReturnsOneWithNoValues) {
    NewFlowReadingsRec r;
    r.Count = 12;
    Push(std::vector<uint8_t>{0x00, 0x07, 0x61, 0x62, 0x63, 0xEC, 0x9E});
    EXPECT_EQ(GetLegacyFlowVals(Handle(), &r), 1);
    EXPECT_EQ(r.Count, 0);
    EXPECT_EQ(GetSerialPortErrors(), SERIAL_ERROR_CHECKSUM);
    r.Count = 12;
    EXPECT_EQ(GetLegacyFlowVals(Handle(), &r), 1);
    EXPECT_EQ(r.Count, 0);
    EXPECT_EQ(GetSerialPortErrors(), SERIAL_ERROR_CHECKSUM | SERIAL_ERROR_TIMEOUT);
}

TEST_F(DeviceReadingsTest, WaitBeforeTheNextBatch) {
    const struct {
        int Missing;
        uint32_t Ms;
    } cases[] = {{0, 20},   {1, 20},   {3, 20},   {4, 40},   {30, 170},
                 {39, 215}, {40, 200}, {60, 200}, {400, 200}};
    for (const auto& c : cases) {
        EXPECT_EQ(FlowReadingsWaitMs(c.Missing), c.Ms) << c.Missing;
    }
}

// The board hands out batches of flow floats; answers come from this queue in order.
std::vector<std::vector<uint8_t>> Batches;
void AnswerWithBatches(const std::string&) {
    if (!Batches.empty()) {
        Push(scripted::Frame(Batches.front()));
        Batches.erase(Batches.begin());
    }
}

std::vector<uint8_t> Ramp(float first, int n, float step = 1.0f) {
    std::vector<float> v;
    for (int i = 0; i < n; i++) {
        v.push_back(first + step * i);
    }
    return scripted::Floats(v);
}

TEST_F(DeviceReadingsTest, BulkReaderCommandsAndPacing) {
    // 200 ms asks for 40 samples: batches of 10, 25 and 20 arrive; the waits follow what is
    // still missing (30 -> 170 ms, 5 -> 45 ms) and the collected 55 are all kept.
    const struct {
        int Type;
        const char* Command;
    } types[] = {{0, "~GFF\r"}, {1, "~GRF\r"}};
    for (const auto& t : types) {
        SCOPED_TRACE(t.Command);
        Port.Commands.clear();
        scripted::Sleeps.clear();
        Batches = {Ramp(0, 10), Ramp(10, 25), Ramp(35, 20)};
        Port.Responder = AnswerWithBatches;
        float* samples = nullptr;
        int count = 0;
        EXPECT_EQ(GetFlowReadings(Handle(), 200, t.Type, &samples, &count), 1);
        EXPECT_EQ(count, 55);
        for (int i = 0; i < count; i++) {
            EXPECT_EQ(samples[i], float(i));
        }
        EXPECT_EQ(Port.Commands, std::vector<std::string>(3, t.Command));
        EXPECT_EQ(scripted::Sleeps, (std::vector<uint32_t>{170, 45}));
    }
}

TEST_F(DeviceReadingsTest, StateSamplesTakeTheFirstFloatOfEachRecord) {
    // 36 bytes = three 12-byte records; flows 1.5, 2.5, 3.5, the other floats are noise.
    std::vector<float> records = {1.5f, 99, 98, 2.5f, 97, 96, 3.5f, 95, 94};
    Batches = {scripted::Floats(records)};
    Port.Responder = AnswerWithBatches;
    float* samples = nullptr;
    int count = 0;
    EXPECT_EQ(GetFlowReadings(Handle(), 15, 2, &samples, &count), 1);
    EXPECT_EQ(Port.Commands, std::vector<std::string>{"~GSV\r"});
    ASSERT_EQ(count, 3);
    EXPECT_EQ(samples[0], 1.5f);
    EXPECT_EQ(samples[1], 2.5f);
    EXPECT_EQ(samples[2], 3.5f);

    // State samples stop at the number wanted: 10 ms wants 2 of the 3.
    Port.Commands.clear();
    Batches = {scripted::Floats(records)};
    EXPECT_EQ(GetFlowReadings(Handle(), 10, 2, &samples, &count), 1);
    EXPECT_EQ(count, 2);
}

TEST_F(DeviceReadingsTest, SampleLimit) {
    // 25000 ms is exactly 5000 samples: allowed; the last batch overfills the buffer, which
    // keeps the first 5000.
    Batches = {Ramp(0, 1250), Ramp(1250, 1250), Ramp(2500, 1250), Ramp(3750, 1300)};
    Port.Responder = AnswerWithBatches;
    float* samples = nullptr;
    int count = 0;
    EXPECT_EQ(GetFlowReadings(Handle(), 25000, 0, &samples, &count), 1);
    EXPECT_EQ(count, 5000);
    EXPECT_EQ(samples[4999], 4999.0f);
    EXPECT_EQ(Port.Commands.size(), 4u);

    Port.Commands.clear();
    count = 9;
    EXPECT_EQ(GetFlowReadings(Handle(), 25005, 0, &samples, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_TRUE(Port.Commands.empty());
}

TEST_F(DeviceReadingsTest, FailedBatchFailsTheWholeRead) {
    Batches = {Ramp(0, 10)};
    Port.Responder = AnswerWithBatches;
    float* samples = nullptr;
    int count = 0;
    EXPECT_EQ(GetFlowReadings(Handle(), 200, 1, &samples, &count), 0);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(Port.Commands.size(), 2u);
    EXPECT_EQ(GetSerialPortErrors(), SERIAL_ERROR_TIMEOUT);
}

} // namespace

// The two records the board's binary replies fill: recent flow samples ("~GAFV") and the
// 40-byte state record ("~GLSV"). Flows are in percent of the instrument's full scale.
#pragma once

#include <cstdint>

constexpr int MAX_FLOW_READINGS = 250;
constexpr int BOARD_STATE_BYTES = 40;

struct NewFlowReadingsRec {
    float Values[MAX_FLOW_READINGS]; // oldest first
    int32_t Count;                   // valid entries in Values, 0..250
};

// Field order and types are those of the board's state payload; the payload is decoded
// field by field (little-endian), never by casting the buffer.
struct SystemStateRec {
    int32_t RawFlowCounts;
    float Flow;
    float SetPoint;
    float AuxValue1;
    float AuxValue2;
    float AuxValue3;
    float AuxValue4;
    float TotalizerFlow;
    uint16_t AuxWord1;
    uint16_t AuxWord2;
    uint16_t StatusFlags;
    uint16_t ActiveGas;
};

// StatusFlags bits.
constexpr uint16_t STATUS_LOW_FLOW_ALARM = 0x0001;
constexpr uint16_t STATUS_HIGH_FLOW_ALARM = 0x0002;
constexpr uint16_t STATUS_TRACKING_ALARM = 0x0004;
constexpr uint16_t STATUS_VALVE_LATCHED_OPEN = 0x0008;
constexpr uint16_t STATUS_BAD_DOWNSTREAM_BRIDGE = 0x0040;
constexpr uint16_t STATUS_BAD_UPSTREAM_BRIDGE = 0x0080;
constexpr uint16_t STATUS_LOST_SENSOR_BOARD = 0x4000;
constexpr uint16_t STATUS_LOST_CONTROL_BOARD = 0x8000;

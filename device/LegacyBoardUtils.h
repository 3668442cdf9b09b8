// The board conversation: reply framing, flow and state readings, the connect and
// disconnect sequences and the calibration operations. Worker thread only; nothing here
// touches a window. Diagnostic lines go to standard output.
#pragma once

#include <cstdint>

#include "device/BoardRecords.h"
#include "device/SerialPort.h"

constexpr int REPLY_BUFFER_SIZE = 8000;
constexpr uint32_t SERIAL_ERROR_TIMEOUT = 0x1;
constexpr uint32_t SERIAL_ERROR_CHECKSUM = 0x2;
constexpr int FLOW_SAMPLE_LIMIT = 5000;

// Every reply has a deadline as well as the port's time-out between bytes, so a device that
// keeps talking without the prompt, or trickles a frame a byte at a time, cannot hold the
// link. The longest legitimate replies are a full 8000-byte ASCII buffer and the 8100-byte
// frame the reader still takes off the line, about 0.35 s each at 230400 bit/s (the only
// speed long replies are asked at; the probe speeds only carry the short probe answer), plus
// the board's own pause before it answers.
constexpr uint32_t ASCII_REPLY_DEADLINE_MS = 2000;
constexpr uint32_t BINARY_REPLY_DEADLINE_MS = 1500;
// The probe's answer ("Invalid Command" and the prompt) is short: a longer or slower one is
// not a board at this speed.
constexpr int PROBE_REPLY_MAX_BYTES = 256;
constexpr uint32_t PROBE_REPLY_DEADLINE_MS = 500;

// Framing. An ASCII reply ends at the prompt '>', which is not stored; the count includes it.
// It fails (a time-out in the error bits) when a byte does not come in time, when more than
// maxBytes arrive before the prompt, or past the deadline; the text that did arrive is kept.
int GetAsciiResponse(ComHandle handle, char** textOut, int* countOut);
int GetAsciiResponseWithin(ComHandle handle, char** textOut, int* countOut, int maxBytes,
                           uint32_t deadlineMs);
int GetBinaryResponse(ComHandle handle, uint8_t** dataOut, int* countOut);
uint32_t GetSerialPortErrors();
void ClearSerialPortErrors();
// For the readers that find a well-framed reply unusable.
void AddSerialPortErrors(uint32_t bits);
uint32_t GetNewLine(ComHandle handle);
int DisableVerboseResponses(ComHandle handle);

// Readings.
int GetLegacyFlowVals(ComHandle handle, NewFlowReadingsRec* readings);
int GetLegacyBoardStateVals(ComHandle handle, SystemStateRec* state);
int GetFlowReadings(ComHandle handle, int durationMs, int type, float** samplesOut, int* countOut);

// Pure decoders behind the readers (payload = bytes after the length, count = L - 4).
int DecodeFlowValues(const uint8_t* payload, int count, NewFlowReadingsRec* readings);
int DecodeBoardState(const uint8_t* payload, int count, SystemStateRec* state);
// Wait before the next GetFlowReadings batch when `missing` samples are still wanted.
uint32_t FlowReadingsWaitMs(int missing);

// Connection.
int ConnectToTorvan(const char* portName, ComHandle* handleInOut);
// Sends the board back to the speed and line ending saved at the first connection and closes
// the port; what was saved is kept for a reconnection (the board may not have heard it).
void DisconnectFromTorvan(ComHandle handle);
// The connection has ended for good (the operator closed it, chose a port, exit): the next
// connection saves the board's settings afresh. Only while no worker runs.
void ForgetBoardLineSettings();
uint32_t GetInitialBaudRate();
uint32_t GetInitialNewLine();

// Calibration and tuning.
int EnterTorvanCalMode(ComHandle handle);
int ExitTorvanCalMode(ComHandle handle);
int EnableFactoryMode(ComHandle handle);
int DisableFactoryMode(ComHandle handle);
int EnableFlowStateCollection(ComHandle handle);
int DisableFlowStateCollection(ComHandle handle);
int SetProportionalRam(ComHandle handle, float value);
int SetControlBiasRam(ComHandle handle, uint32_t value);
int SendSetPoint(ComHandle handle, float percent);
int WaitForFlowToSettleBetween(ComHandle handle, int type, float low, float high, int durationMs);
int WaitForRawFlowToSettleBetween(ComHandle handle, float low, float high, int durationMs);
int WaitForFilteredFlowToSettleBetween(ComHandle handle, float low, float high, int durationMs);
int BumpValveDrive(ComHandle handle, int type, float setPoint2, float setPoint1,
                   uint32_t* drive2Out, uint32_t* drive1Out);

// A caller that must be able to give up (the program's worker told to stop, a console tool on
// Ctrl-C) installs a check here. Once it returns non-zero, a reply being read fails at its
// next byte, the speed probe stops between rounds, a settle wait returns 0 before its next
// batch and BumpValveDrive stops at that point. Null removes it. Any thread may call the check.
void SetDeviceAbortCheck(int (*abortRequested)());
int DeviceAbortRequested();

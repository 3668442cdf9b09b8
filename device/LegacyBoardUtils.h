// The board conversation: reply framing, flow and state readings, the connect and
// disconnect sequences and the calibration operations. Worker thread only; nothing here
// touches a window. Diagnostic lines go to standard output unless the program names another
// stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "device/BoardRecords.h"
#include "device/SerialPort.h"

// The diagnostic lines of the sequences and readers below ("Get V1 Resp: ...", "Waiting for the
// flow to settle ..."): standard output by default, or the stream given here (a console tool
// sends them to standard error, so they never mix with its own output). Null: standard output.
void SetDeviceDiagnosticStream(FILE* stream);
#if defined(__GNUC__) && !defined(_WIN32)
void DeviceDiagnostic(const char* format, ...) __attribute__((format(printf, 1, 2)));
#else
void DeviceDiagnostic(const char* format, ...);
#endif

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
// Part of UseOwnBoardStateOnThisThread: this thread's error bits become its own.
void UseOwnSerialPortErrorsOnThisThread();
uint32_t GetNewLine(ComHandle handle);
int DisableVerboseResponses(ComHandle handle);

// One command line and its ASCII reply, without diagnostic lines: what the board said and
// whether it took the command. The board refuses a command it does not know, a value out of
// its range or a setting its kind does not have (a meter's set point) with "Invalid Command".
enum BoardReplyKind { REPLY_TAKEN, REPLY_REFUSED, REPLY_MISSING };
struct BoardReply {
    BoardReplyKind Kind;
    const char* Text; // the text received (all of it, also before a time-out); valid until the
                      // next reply is read
};
// 1 when the board answered and did not refuse; 0 otherwise (a missing reply also sets the
// time-out bit). reply may be null.
int BoardCommand(ComHandle handle, const char* command, BoardReply* reply);
int ReplyRefused(const char* text);
// 1 when text can go to the board as (part of) one command line: no prompt character '>'
// (the board stores it, and every later reply that holds it ends early, so the replies after
// it are read one behind), no CR or LF (which would end the line early), nothing past
// maxLength bytes.
int BoardValueSendable(const char* text, size_t maxLength);

// Command lines with a number, formatted without the locale (the board only understands a
// decimal point): "V5=%f\r" and "~PR=%f\r" as the board takes them. They return 0 when out is
// too small.
int FormatSetPointCommand(double percent, char* out, size_t outSize);
int FormatProportionalRamCommand(double value, char* out, size_t outSize);

// Readings.
// The flow kinds a batch of samples can be asked for: filtered ("~GFF"), raw ("~GRF"), the
// flow of each 12-byte state sample ("~GSV") and every flow sample ("~GAFV").
enum FlowBatchType { FLOW_FILTERED = 0, FLOW_RAW = 1, FLOW_STATE_SAMPLES = 2, FLOW_ALL = 3 };
// One batch: the samples made since the last request of the same kind, oldest first, at most
// 250. 1 with the batch in readings; 0 with Count 0 when the frame failed (the error bits say
// why) or the type is unknown.
int ReadFlowBatch(ComHandle handle, int type, NewFlowReadingsRec* readings);
int GetLegacyFlowVals(ComHandle handle, NewFlowReadingsRec* readings);
int GetLegacyBoardStateVals(ComHandle handle, SystemStateRec* state);
int GetFlowReadings(ComHandle handle, int durationMs, int type, float** samplesOut, int* countOut);

// Pure decoders behind the readers (payload = bytes after the length, count = L - 4).
int DecodeFlowValues(const uint8_t* payload, int count, NewFlowReadingsRec* readings);
int DecodeBoardState(const uint8_t* payload, int count, SystemStateRec* state);
// Wait before the next GetFlowReadings batch when `missing` samples are still wanted.
uint32_t FlowReadingsWaitMs(int missing);

// Connection. Finds the board's speed, saves its speed and line ending for the port (kept
// when the board is found again at the program's own 230400 on the same port: it did not hear
// the last restore; taken afresh when it is found at another speed) and moves it to 230400.
// A stop asked for through the abort check ends the speed search between rounds.
// Fails when the port does not open again at 230400 or the board does not answer there; once
// the switch was sent, the speed and line ending saved for the end stay set (the board may be
// at either speed) for PutBoardBack.
int ConnectToTorvan(const char* portName, ComHandle* handleInOut);
// 1 when a board answers the probe on the open port.
int BoardAnswersProbe(ComHandle handle);
// For a connection that ended without a link after the board may have been moved: sends the
// saved speed and line ending back at the board's own speed and at 230400, each through a
// port opened for it. Nothing when nothing was saved.
void PutBoardBack(const char* portName);
// Sends the board back to the speed and line ending saved for the connection's port and closes
// the port; what was saved is kept for the next connection on that port.
void DisconnectFromTorvan(ComHandle handle);
// Forgets what was saved for every port. Only while no worker runs.
void ForgetBoardLineSettings();
uint32_t GetInitialBaudRate();
uint32_t GetInitialNewLine();
// Makes the current connection's end send this speed and line ending instead of the ones the
// board was found with (a board left at 230400 by a program that could not put it back).
// The per-port table keeps what it saved.
void SetLineSettingsToRestore(uint32_t baud, uint32_t newLine);
// The device layer keeps one connection's error bits and saved speed and line ending for the
// whole process: the program's worker and its user-interface thread share them. A thread that
// serves one board of several at once (torvanctl on a bench of ports) calls this before it
// connects: from then on its error bits and the speed and line ending its disconnect sends
// back are its own. The per-port table stays shared, each port in its own entry. Reply
// buffers are always per thread.
void UseOwnBoardStateOnThisThread();

// Calibration and tuning.
int EnterTorvanCalMode(ComHandle handle);
int ExitTorvanCalMode(ComHandle handle);
int EnableFactoryMode(ComHandle handle);
int DisableFactoryMode(ComHandle handle);
int EnableFlowStateCollection(ComHandle handle);
int DisableFlowStateCollection(ComHandle handle);
int SetProportionalRam(ComHandle handle, float value);
int SetControlBiasRam(ComHandle handle, uint32_t value);
// These single commands print their error line and return 0 when the reply is missing or the
// board refused the command; 1 when it took it.
int SendSetPoint(ComHandle handle, float percent);
// As SendSetPoint without the error line, for callers that report on their own.
int SetBoardSetPoint(ComHandle handle, double percent, BoardReply* reply);

// The settle wait: the flow (type as ReadFlowBatch, FLOW_ALL excepted) must stay inside
// [low, high] for durationMs worth of consecutive samples. It reads one batch at a time and
// paces itself by the samples still missing.
enum SettleOutcome { SETTLED, SETTLE_TIMED_OUT, SETTLE_INTERRUPTED, SETTLE_NO_READINGS };
struct SettleResult {
    SettleOutcome Outcome;
    double SettleSeconds;  // from startSeconds to the first sample of the final run
    double ElapsedSeconds; // from startSeconds to the end of the wait
    float LastSample;
};
// timeoutSeconds > 0: gives up at startSeconds + timeoutSeconds, and after three failed
// batches in a row. timeoutSeconds <= 0: no limit; a failed batch prints "\nError from
// GetFlowReadings" and the wait goes on after a pause. Either way the abort check ends it.
// startSeconds is a DeviceNowSeconds() time, normally when the set point was sent.
SettleResult WaitForFlowToSettleWithin(ComHandle handle, int type, float low, float high,
                                       int durationMs, double timeoutSeconds, double startSeconds);
// 1 once settled; 0 only when the abort check ended the wait.
int WaitForFlowToSettleBetween(ComHandle handle, int type, float low, float high, int durationMs);
int WaitForRawFlowToSettleBetween(ComHandle handle, float low, float high, int durationMs);
int WaitForFilteredFlowToSettleBetween(ComHandle handle, float low, float high, int durationMs);

// What a valve bump has changed on the board so far, so that a caller can put it back.
constexpr unsigned BUMP_CHANGED_V1 = 0x1;        // V1=1, later V1=5
constexpr unsigned BUMP_CHANGED_GAIN = 0x2;      // ~PR=500
constexpr unsigned BUMP_CHANGED_SET_POINT = 0x4; // V5
constexpr unsigned BUMP_CHANGED_DRIVE = 0x8;     // ~BVD sent and taken
struct BumpValveProgress {
    unsigned Changed;           // BUMP_CHANGED_* bits
    char FailedStep[32];        // the command or wait that failed ("V27", "settle at 20"); ""
    SettleOutcome SettleFailed; // when a settle wait failed, how
};
// Every reply is checked: a missing, refused or unreadable one stops the bump before the next
// command (no "~BVD" with a drive that was never read). settleTimeoutSeconds as in
// WaitForFlowToSettleWithin (<= 0: no limit). progress may be null.
int BumpValveDriveWithin(ComHandle handle, int type, float setPoint2, float setPoint1,
                         uint32_t* drive2Out, uint32_t* drive1Out, double settleTimeoutSeconds,
                         BumpValveProgress* progress);
int BumpValveDrive(ComHandle handle, int type, float setPoint2, float setPoint1,
                   uint32_t* drive2Out, uint32_t* drive1Out);

// A caller that must be able to give up (the program's worker told to stop, a console tool on
// Ctrl-C) installs a check here. Once it returns non-zero, a reply being read fails at its
// next byte, the speed probe stops between rounds, a settle wait returns 0 before its next
// batch and BumpValveDrive stops at that point. Null removes it. Any thread may call the check.
void SetDeviceAbortCheck(int (*abortRequested)());
int DeviceAbortRequested();

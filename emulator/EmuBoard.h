// The emulated board's state and the calls its three parts make to one another: registers,
// settings and the command dispatcher (EmuRegisters.cpp), the flow model and the replies that
// carry its samples (EmuStreams.cpp), faults and the control channel (EmuFaults.cpp). Every
// call takes the board it works on; a process may hold any number of them.
// Internal to the emulator: the pty loop, the simulation and the tests use EmuModel.h and
// EmuLine.h.
#pragma once

#include <cstdint>
#include <string>

#include "emulator/EmuModel.h"
#include "emulator/EmuProtocol.h"

namespace emu {

enum { RING_SIZE = 512 };

struct Sample {
    float flow;
    float filtered;
    float raw;
    float setPoint;
    int32_t counts;
};

enum Stream { STREAM_GAFV, STREAM_GFF, STREAM_GRF, STREAM_GSV, STREAM_COUNT };

enum ReplyShape { SHAPE_ASCII, SHAPE_FRAME, SHAPE_STATE };

} // namespace emu

struct EmuBoard {
    // What the command line decided; `reset` goes back to exactly this.
    EmuSettings Start;
    // The speed and line ending the board comes back to after a power cycle.
    long OwnBaud;
    unsigned OwnLineEnding;

    // Board registers and settings.
    int Kind;
    long Baud;
    long PendingBaud;
    int64_t BaudSwitchAt;
    unsigned LineEnding;
    unsigned Verbose;
    char Name[EMU_NAME_MAX + 1];
    unsigned ActiveGas;
    unsigned StatusFlags;
    unsigned V1, V2, V12, V29;
    double SetPoint;
    double V24, V25, V26;
    double RamProportional, RamIntegral, RamDerivative;
    unsigned RamCracking;
    int FactoryMode;
    int FlowStateCollection;
    unsigned LastBump;

    // Flow model.
    int FlowFixed;
    double FixedFlow;
    double TrueFlow;
    double MeasuredFlow;
    double FilteredFlow;
    double Totalizer; // fraction of full scale x minutes
    int64_t StartMs;
    int64_t LastTickMs;
    uint32_t NoiseState;
    emu::Sample Ring[emu::RING_SIZE];
    uint64_t SampleCount;
    uint64_t Cursor[emu::STREAM_COUNT];

    // Faults and control.
    EmuFault Fault;
    int HangupRequested;
    // The next command of this name (upper case) is carried out and gets no reply; empty: none.
    char MutedCommand[EMU_COMMAND_MAX + 1];
    // The command whose reply is being made, for a fault aimed at one command ("on NAME").
    char CurrentCommand[EMU_COMMAND_MAX + 1];
};

namespace emu {

// EmuRegisters.cpp
// Back to the start-up settings: registers, flow model and faults.
void ResetBoard(EmuBoard& board, int64_t nowMs);
void Invalid(EmuBoard& board, EmuOutput* out);
unsigned ValveDrive(EmuBoard& board);

// EmuStreams.cpp
double NextNoise(EmuBoard& board);
double TargetFlow(EmuBoard& board, int64_t tickMs);
// Runs the flow model up to nowMs, one sample per 5 ms.
void Advance(EmuBoard& board, int64_t nowMs);
// The state record and the sample streams; 0 when the name is none of them.
int HandleBinary(EmuBoard& board, const char* name, const char* value, int64_t nowMs,
                 EmuOutput* out);

// EmuFaults.cpp
// 1 when the fault is aimed at another command than this one.
int FaultSpares(EmuBoard& board, const char* name);
std::string FaultedFrame(EmuBoard& board, const std::string& payload, ReplyShape shape);
void ApplyLineFault(EmuBoard& board, EmuOutput* out);

} // namespace emu

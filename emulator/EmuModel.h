// The emulated Torvan board without any I/O: it takes one command line and the time, and
// returns the bytes the board would send back. Each board is an instance of its own, so one
// process can hold several; EmuLine.h puts a board on a serial line (reply timing, the speed
// gate, unplug, the record) for the pty program and the in-process simulation alike.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "emulator/EmuProtocol.h"

enum EmuKind { EMU_KIND_METER = 0, EMU_KIND_CONTROLLER = 1 };

enum { EMU_NAME_MAX = 40, EMU_COMMAND_MAX = 200, EMU_MAX_SAMPLES = 250 };

// Everything the command line decides; `reset` goes back to exactly this.
struct EmuSettings {
    int kind;
    long baud;
    char name[EMU_NAME_MAX + 1];
    unsigned gas;
    EmuFault fault;
};

// Why a reply never reached the other side whole, or a command never reached the board.
enum EmuLoss {
    EMU_LOST_NONE = 0,
    EMU_LOST_SILENCE,  // the silence fault withheld it
    EMU_LOST_MUTE,     // a mute aimed at the command withheld it
    EMU_LOST_CUT,      // the cut fault sent only its first half
    EMU_LOST_STREAM,   // the stream fault sent reading lines instead
    EMU_LOST_DEAF,     // the command itself went unheard (deaf)
    EMU_LOST_OFF,      // bytes that reached a board switched off
    EMU_LOST_UNPLUG,   // still queued when the cable was pulled
    EMU_LOST_RESET,    // still queued at a reset or a power cycle
    EMU_LOST_OVERFLOW, // nobody read the line and the queue was full
    EMU_LOST_PURGED,   // sent while nobody held the port; its next open purged it
};

// What the board sends back for one command.
struct EmuOutput {
    int reply;    // 0: nothing goes back on the line
    EmuLoss lost; // a fault withheld or spoiled the reply (reply may still be 1: cut, stream)
    long delayMs; // wait this long before sending
    std::string bytes;
    // When gapMs > 0 the bytes go out chunkBytes at a time, gapMs apart (the first chunk
    // after delayMs).
    long gapMs;
    size_t chunkBytes;
};

struct EmuBoard;

void EmuDefaultSettings(EmuSettings* settings);

// A board as it starts at nowMs with these settings (its start-up fault included); null only
// when memory runs out. EmuBoardDestroy frees it.
EmuBoard* EmuBoardCreate(const EmuSettings* settings, int64_t nowMs);
void EmuBoardDestroy(EmuBoard* board);

// The speed the board listens and talks at; a "~BAUD=" switch takes effect a short
// while after the command.
long EmuBoardBaud(EmuBoard* board, int64_t nowMs);
// The line-ending setting as S65 reports it (0x0D: CR, 0x0D0A: CR LF).
unsigned EmuBoardLineEnding(const EmuBoard* board);
// The speed and line ending the board has after a power cycle: its start-up ones, or the
// speed the control channel's "baud" gave it.
long EmuBoardOwnBaud(const EmuBoard* board);
unsigned EmuBoardOwnLineEnding(const EmuBoard* board);

// One command line, without its carriage return.
void EmuHandleCommand(EmuBoard* board, const char* text, int64_t nowMs, EmuOutput* out);

// One line from the control channel. Returns 1 when understood; otherwise 0 with a reason.
int EmuControlCommand(EmuBoard* board, const char* line, int64_t nowMs, std::string* errorOut);

// The board is switched off and on at nowMs: it comes back at its own speed and line ending,
// with the RAM-only values (~PR, ~IR, ~DR, ~CBR) back at the stored registers, set point 0,
// verbose, factory mode and flow state collection off, and its flow model restarted. Name,
// kind, gas, stored registers and injected faults stay.
void EmuPowerCycle(EmuBoard* board, int64_t nowMs);

EmuFault EmuCurrentFault(const EmuBoard* board);

// Returns 1 when a deaf board drops the command it just decoded unheard: not recorded, not
// acted on, not answered (a cable that carries nothing towards the board). "deaf N" drops
// the next N commands, "deaf 0" all until the fault is cleared.
int EmuSwallowCommand(EmuBoard* board);

// Returns 1 once per hang-up request, with how long to stay unplugged (0: until the fault
// is cleared).
int EmuTakeHangup(EmuBoard* board, long* msOut);
// The board is plugged back in: a hang-up fault has run its course.
void EmuEndHangup(EmuBoard* board);

// The 40-byte state record as the board sends it for "~GLSV".
std::string EmuStatePayload(EmuBoard* board, int64_t nowMs);

// The measured flow, % of full scale.
double EmuCurrentFlow(EmuBoard* board, int64_t nowMs);

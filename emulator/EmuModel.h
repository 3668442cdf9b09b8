// The emulated Torvan board without any I/O: it takes one command line and the time, and
// returns the bytes the board would send back. The pty loop in EmuMain.cpp feeds it.
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

// What the board sends back for one command.
struct EmuOutput {
    int reply;    // 0: nothing goes back on the line
    long delayMs; // wait this long before sending
    std::string bytes;
    // When gapMs > 0 the bytes go out chunkBytes at a time, gapMs apart (the first chunk
    // after delayMs).
    long gapMs;
    size_t chunkBytes;
};

void EmuDefaultSettings(EmuSettings* settings);
void EmuModelStart(const EmuSettings* settings, int64_t nowMs);

// The speed the board listens and talks at; a "~BAUD=" switch takes effect a short
// while after the command.
long EmuBoardBaud(int64_t nowMs);

// One command line, without its carriage return.
void EmuHandleCommand(const char* text, int64_t nowMs, EmuOutput* out);

// One line from the control channel. Returns 1 when understood; otherwise 0 with a reason.
int EmuControlCommand(const char* line, int64_t nowMs, std::string* errorOut);

EmuFault EmuCurrentFault();

// Returns 1 when a deaf board drops the command it just decoded unheard: not recorded, not
// acted on, not answered (a cable that carries nothing towards the board). "deaf N" drops
// the next N commands, "deaf 0" all until the fault is cleared.
int EmuSwallowCommand();

// Returns 1 once per hang-up request, with how long to stay unplugged (0: until the fault
// is cleared).
int EmuTakeHangup(long* msOut);
// The board is plugged back in: a hang-up fault has run its course.
void EmuEndHangup();

// The 40-byte state record as the board sends it for "~GLSV".
std::string EmuStatePayload(int64_t nowMs);

// The measured flow, % of full scale.
double EmuCurrentFlow(int64_t nowMs);

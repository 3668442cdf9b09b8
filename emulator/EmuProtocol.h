// The board's wire format and the strict parsers of the emulator, free of any board state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

enum EmuFaultKind {
    EMU_FAULT_NONE = 0,
    EMU_FAULT_SILENCE,
    EMU_FAULT_DELAY,
    EMU_FAULT_BADSUM,
    EMU_FAULT_GARBAGE,
    EMU_FAULT_ZEROLEN,
    EMU_FAULT_OVERSIZE,
    EMU_FAULT_SHORTSTATE,
    EMU_FAULT_CUT,
    EMU_FAULT_HANGUP,
    EMU_FAULT_DEAF,
    EMU_FAULT_STREAM,
    EMU_FAULT_TRICKLE,
    EMU_FAULT_REFUSE
};

struct EmuFault {
    EmuFaultKind kind;
    long arg; // milliseconds for delay, hangup, stream and trickle, a byte count for garbage,
              // commands for deaf; refuse answers "Invalid Command" and leaves the board as it was
    int once; // applies to the next reply it alters, then clears itself
    char command[16]; // "on NAME": only replies to this command (upper case) are altered; ""
                      // for all
};

// "NAME [ARG] [once] [on COMMAND]" as taken by --fault and the control channel's fault
// command.
int EmuParseFault(const char* text, EmuFault* out);

int EmuIsSupportedBaud(long baud);

// Frame: big-endian length counting the whole frame, payload, big-endian checksum.
std::string EmuBuildFrame(const uint8_t* payload, size_t length);
uint16_t EmuFrameChecksum(uint16_t frameLength, const uint8_t* payload, size_t length);

// Payload values are little-endian, as the board's processor keeps them.
void EmuPutLe32(std::string* bytes, uint32_t value);
void EmuPutLe16(std::string* bytes, unsigned value);
void EmuPutFloat(std::string* bytes, float value);

// Numbers in commands: nothing but spaces may follow them, and they must fit under max.
const char* EmuSkipSpaces(const char* s);
int EmuParseUnsigned(const char* s, int base, unsigned long max, unsigned long* out);
// Finite values only: "nan" and "inf" are not numbers to a board.
int EmuParseFloat(const char* s, double* out);

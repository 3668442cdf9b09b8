// An emulated board on its serial line: what torvan-emu does around the board's model, kept
// free of any I/O so that the pty program and an in-process simulation share it. Bytes come
// in at a line speed and a time; replies go out when they are due (delays, chunks with gaps,
// in the order of their commands); a board at another speed than the line hears noise; the
// cable can be pulled and put back and the board switched off and on. Every call takes the
// time in milliseconds of one monotonic clock, never earlier than the call before.
//
// Each line keeps a record of what happened on it, in time order, for the tests and the
// checker of a simulated run to read: commands heard, noise, what never reached the board,
// replies lost to a fault, the board's speed and line ending over time, plug and power.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "emulator/EmuModel.h"

enum EmuRecordKind {
    EMU_REC_COMMAND,     // a whole command line the board heard (Text, without its CR), at
                         // line speed Value
    EMU_REC_NOISE,       // Value bytes at another line speed than the board's; Text the first
                         // EMU_NOISE_TEXT_MAX of them
    EMU_REC_UNHEARD,     // a command (deaf) or bytes (off) that never reached the board; Value
                         // the EmuLoss, Text what it was
    EMU_REC_REPLY_LOST,  // the reply to command Text never reached the other side whole;
                         // Value the EmuLoss
    EMU_REC_SPEED,       // the board's speed is now Value; Text what set it: "start", the
                         // command line, "control", "reset" or "power"
    EMU_REC_LINE_ENDING, // the board's line ending is now Value; Text as for the speed
    EMU_REC_UNPLUG,      // the cable is pulled; Value ms until it returns, 0: until cleared
    EMU_REC_PLUG,        // the cable is back (a new port: handles to the old one stay dead)
    EMU_REC_POWER_OFF,   // the board is switched off for Value ms
    EMU_REC_POWER_ON,    // and on again, at its own speed and line ending
    EMU_REC_CONTROL,     // a control line was taken (Text)
};

enum { EMU_NOISE_TEXT_MAX = 32, EMU_RECORD_DEFAULT = 4096 };

struct EmuRecordEntry {
    int64_t Ms;
    EmuRecordKind Kind;
    long Value;
    std::string Text;
};

struct EmuLine;

// A board started at nowMs with these settings, plugged in, on a line whose record keeps the
// last recordCapacity entries (0: counts them only). Null only when memory runs out.
EmuLine* EmuLineCreate(const EmuSettings* settings, int64_t nowMs, size_t recordCapacity);
void EmuLineDestroy(EmuLine* line);
EmuBoard* EmuLineBoard(EmuLine* line);

// Brings the line up to nowMs: a speed switch, a return of the cable or of the power that has
// come due, a hang-up the control channel asked for. Every call below does it first.
void EmuLineUpdate(EmuLine* line, int64_t nowMs);

// 1 while the cable is in. EmuLinePlugCount counts the times it went back in: a port opened
// before the last return is a port that no longer exists.
int EmuLinePlugged(EmuLine* line, int64_t nowMs);
unsigned long EmuLinePlugCount(const EmuLine* line);
// 1 while the board has power.
int EmuLinePowered(EmuLine* line, int64_t nowMs);

// Bytes the other side sent, at the line speed it set, arriving at nowMs. Nothing arrives
// while the cable is out.
void EmuLineReceive(EmuLine* line, const char* bytes, size_t count, long lineSpeed, int64_t nowMs);

// One line of the control channel: the model's commands (EmuControlCommand) and the line's
// own, "powercycle [MS]". A reset also drops the queued replies and a half-heard command.
// Returns 1 when understood; otherwise 0 with a reason.
int EmuLineControl(EmuLine* line, const char* text, int64_t nowMs, std::string* errorOut);

// The cable is pulled at nowMs and comes back after ms (0: only with EmuLineReplug). Queued
// replies and a half-heard command are lost. The control channel's "fault hangup MS" does the
// same, its MS 0 lasting until the fault is cleared ("fault none", "reset").
void EmuLineUnplug(EmuLine* line, long ms, int64_t nowMs);
void EmuLineReplug(EmuLine* line, int64_t nowMs);
// The board loses power at nowMs for offMs (0: it restarts at once): queued replies are lost,
// bytes meanwhile reach nothing, and it comes back at its own speed and line ending.
void EmuLinePowerCycle(EmuLine* line, long offMs, int64_t nowMs);

// The reply bytes at the head of the queue when they are due by nowMs: their count, with
// *bytesOut pointing at them until the next call on the line; 0 when none is due. Consumed
// with EmuLineTake (fewer than offered when the other side took fewer).
size_t EmuLineDue(EmuLine* line, int64_t nowMs, const char** bytesOut);
void EmuLineTake(EmuLine* line, size_t count);
// The line speed the board sent the bytes at the head of the queue at (0: nothing queued): a
// port listening at another speed receives them as garbage.
long EmuLineDueSpeed(const EmuLine* line);
// When the head of the queue is due (it may be already); -1 when nothing is queued.
int64_t EmuLineNextDueMs(const EmuLine* line);
// The first time after nowMs at which the line changes by itself (a reply comes due, the
// speed switches, the cable or the power returns); -1 when nothing is pending.
int64_t EmuLineNextChangeMs(const EmuLine* line, int64_t nowMs);
// Drops the bytes due by nowMs, as a port's purge at open does to what waited on the line;
// the replies they belonged to are recorded as lost. Returns how many bytes went.
size_t EmuLinePurge(EmuLine* line, int64_t nowMs);

// The record: entries are numbered from 0 in the order they were made; the oldest go when
// more than the capacity have been made. EmuRecordFirst is the number of the oldest kept, and
// so also how many have been dropped; EmuRecordAt is null outside [first, total).
uint64_t EmuRecordTotal(const EmuLine* line);
uint64_t EmuRecordFirst(const EmuLine* line);
const EmuRecordEntry* EmuRecordAt(const EmuLine* line, uint64_t index);
const char* EmuRecordKindName(EmuRecordKind kind);

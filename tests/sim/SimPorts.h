// Simulated serial ports and a virtual clock, for running the program's device code against
// emulated boards in the same process, single-threaded and deterministic: the same calls give
// the same bytes at the same virtual times, and a minute of simulated traffic takes
// milliseconds.
//
// SimInstall puts both seams in place: the device clock (DeviceClock.h), whose sleep advances
// the virtual clock, and the serial port backend (SerialPort.h), whose port names are the
// boards added with SimAddBoard. The ports behave as the platform ones do:
// - Open fails while the board's cable is out (error 2, file not found) or the port is already
//   open (error 5, access denied: the second opener is recorded with its time); it purges what
//   waited on the line, and the speed it asks for is the line's speed until the next open.
// - Read waits for the first byte up to the read time-out of 152 ms, advancing the virtual
//   clock to the time the next byte is due or to the time-out, and then takes the bytes that
//   have arrived, up to the count; GetChar is a read of one byte. A port whose board was
//   unplugged since the open (a handle to a device that is gone) fails every write and lets
//   every read time out.
// - Write hands the bytes to the board at once, at the port's speed: at another speed than
//   the board's they reach it as noise.
// - A port can be made stuck: its reads then ignore everything (the device code's stop check
//   included) and return -1 only when released, as a worker blocked in a driver would. Being
//   single-threaded, a stuck read lets the rest of the simulation run through the stuck pump,
//   called every 10 virtual ms, which may release it; without a pump, or after 10 virtual
//   minutes, the read gives up and records that it was abandoned.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "emulator/EmuLine.h"

// The virtual clock, in milliseconds from 0 at SimInstall. It only moves forward: through
// the device code's sleeps and reads, or through these calls.
int64_t SimNowMs();
void SimAdvanceTo(int64_t ms); // an earlier time is ignored
void SimAdvanceBy(int64_t ms);

// Installs the clock hooks and the port backend, with no boards and the clock at startMs.
// SimRemove restores the real clock and the platform port and frees every board.
void SimInstall(int64_t startMs = 0);
void SimRemove();

// A board behind port name (e.g. "COM5"), started now with these settings. Null when the name
// is already taken or memory runs out. The line belongs to the simulation: drive its control
// channel, cable and power with the EmuLine.h calls, at SimNowMs().
EmuLine* SimAddBoard(const char* portName, const EmuSettings* settings,
                     size_t recordCapacity = EMU_RECORD_DEFAULT);
EmuLine* SimBoard(const char* portName);

// Who the next opens and closes are recorded for ("worker", "identify", ...); "" by default.
void SimSetActor(const char* actor);

enum SimPortEventKind {
    SIM_OPENED,         // opened at Baud
    SIM_OPEN_BUSY,      // refused: the port was already open (a second opener)
    SIM_OPEN_ABSENT,    // refused: the board's cable was out
    SIM_CLOSED,         // closed
    SIM_STUCK,          // a read got stuck
    SIM_RELEASED,       // and was released
    SIM_ABANDONED,      // a stuck read gave up without a release
    SIM_CANCEL_IGNORED, // SimPortCancelIo reached a stuck read, which took no notice
};

struct SimPortEvent {
    int64_t Ms;
    SimPortEventKind Kind;
    uint32_t Baud;
    std::string Actor;
};

enum { SIM_EVENTS_MAX = 4096 };

// The events of a port, oldest first; the oldest go once there are more than SIM_EVENTS_MAX,
// counted by SimPortEventsDropped. Null for an unknown port.
size_t SimPortEventCount(const char* portName);
const SimPortEvent* SimPortEventAt(const char* portName, size_t index);
uint64_t SimPortEventsDropped(const char* portName);
const char* SimPortEventName(SimPortEventKind kind);

// 1 while the port is open.
int SimPortIsOpen(const char* portName);

// Makes the port's reads stuck (1) or releases them (0).
void SimPortSetStuck(const char* portName, int stuck);
// 1 while a read of this port is stuck.
int SimPortReadStuck(const char* portName);
// Called every 10 virtual ms while a read is stuck; null: none.
void SimSetStuckPump(void (*pump)(void* context), void* context);
// What the program's "cancel the worker's I/O" reaches: a stuck read ignores it (recorded),
// and with no read under way there is nothing to cancel.
void SimPortCancelIo(const char* portName);

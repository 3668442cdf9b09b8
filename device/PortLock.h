// One port, one program: a lock per serial port name that Torvan One windows and torvanctl take
// before they send anything on a port and hold for as long as their connection lasts (across
// the closes and reopens of the speed probe). Another holder's attempt fails with a text that
// names the port, and where the lock tells it, who holds it.
//
// Windows (the program and torvanctl.exe, also under Wine): a named kernel object per port
// name. Linux (native torvanctl): an advisory lock on a lock file per port that records the
// holder's pid, plus exclusive use of the tty while it is open.
#pragma once

#include <cstddef>

struct PortLockRec {
    void* Handle; // null while not held
};

// The one name of a port however it is spelled, for everything that must know two spellings
// are one port (the lock, torvanctl's saved state and its "named twice" check): on Linux the
// device path a name leads to ("ttyUSB0", "/dev/ttyUSB0" and a link to it are one), on Windows
// the COM name without "\\.\" in upper case ("com5", "COM5" and "\\.\COM5" are one).
// Returns 0 when out is too small (out then holds "").
int CanonicalPortName(const char* portName, char* out, size_t outSize);

// Takes the lock for portName. 1 when held (also when this record already holds it); 0 when
// another program holds it, with a line for the operator in whyOut, e.g.
// "COM7 is in use by another Torvan One window".
int AcquirePortLock(const char* portName, PortLockRec* lock, char* whyOut, size_t whySize);
// Gives the lock up; a record that holds nothing is left alone.
void ReleasePortLock(PortLockRec* lock);
// Non-zero when another program holds portName's lock now (the port dialog marks it).
int PortLockHeldElsewhere(const char* portName);

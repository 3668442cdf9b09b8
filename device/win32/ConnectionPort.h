// The serial ports this window holds against other Torvan One windows and torvanctl: a port is
// locked when the operator's choice is accepted in the port dialog, before anything is sent on
// it, and held until the connection owner says nothing of this window uses it any more (the
// connection on it has ended for good and no worker that was left to end by itself still has
// it). A reconnection on the same port keeps it; the simulation holds none.
#pragma once

#include <cstddef>

// The port dialog accepted portName: takes its lock. 1 when held (also when this window holds
// it already), 0 with the operator's line in whyOut when another program holds it.
int HoldPortForConnection(const char* portName, char* whyOut, size_t whySize);
// Gives portName's lock up (nothing when this window does not hold it).
void ReleaseConnectionPort(const char* portName);
// Non-zero when this window holds portName's lock (the dialog does not mark it "in use").
int PortHeldByThisWindow(const char* portName);

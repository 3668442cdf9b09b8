// The serial port this window's connection holds against other Torvan One windows and
// torvanctl: locked when the operator's choice is accepted in the port dialog, before anything
// is sent on it, and held until the connection ends for good. A reconnection on the same port
// keeps it; the simulation holds none.
#pragma once

#include <cstddef>

// The port dialog accepted portName. Takes its lock for the connection about to start: 1 when
// held (also when this window holds it already), 0 with the operator's line in whyOut when
// another program holds it. A lock this window holds for another port stays until
// ReleaseConnectionPort: that connection has not ended yet.
int HoldPortForConnection(const char* portName, char* whyOut, size_t whySize);
// The connection has ended for good (Close, the simulation's start, Open of a port, a failed
// connection, exit): its port is given up. A port just taken in the dialog for the next
// connection stays held and becomes the connection's.
void ReleaseConnectionPort();
// Non-zero when this window holds portName's lock (the dialog does not mark it "in use").
int PortHeldByThisWindow(const char* portName);

// The emulator's end of the serial line: a pseudo-terminal whose slave is reachable through a
// fixed link path, so that the program and Wine never see the changing /dev/pts number.
#pragma once

// Creates the pty, sets it raw at the given speed and points linkPath at its slave.
// Returns 1 on success; on failure 0 with a reason in errorOut.
int PtyOpen(const char* linkPath, long baud, char* errorOut, int errorSize);

// Removes the link and closes both ends: to the other side the cable has been pulled.
void PtyClose(const char* linkPath);

int PtyIsOpen();
int PtyMaster();
const char* PtySlaveName();

// The line speed the other side last set on the port, in bit/s; 0 when unknown.
long PtyLineSpeed();

// Drops whatever the other side has not read yet.
void PtyFlushToOtherSide();

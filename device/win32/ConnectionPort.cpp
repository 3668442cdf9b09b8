#include "device/win32/ConnectionPort.h"

#include <cstdio>
#include <cstring>

#include "device/PortLock.h"

namespace {

constexpr size_t HELD_NAME_SIZE = 256;

struct HeldPortRec {
    PortLockRec Lock;
    char Name[HELD_NAME_SIZE];
};

// The running connection's port, and the one the dialog took for the connection about to
// start: Open ends the old connection only after the dialog has accepted the new port.
HeldPortRec Current, Next;

const char* WithoutDevicePrefix(const char* name) {
    return strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
}

int SamePort(const HeldPortRec& held, const char* portName) {
    return held.Lock.Handle != nullptr &&
           _stricmp(WithoutDevicePrefix(held.Name), WithoutDevicePrefix(portName)) == 0;
}

void Release(HeldPortRec* held) {
    ReleasePortLock(&held->Lock);
    held->Name[0] = '\0';
}

} // namespace

int HoldPortForConnection(const char* portName, char* whyOut, size_t whySize) {
    if (SamePort(Next, portName))
        return 1;
    if (SamePort(Current, portName)) {
        // Chosen again for a new connection: the end of the old one must not give it up.
        Release(&Next);
        Next = Current;
        Current = HeldPortRec{};
        return 1;
    }
    HeldPortRec taken = {};
    if (!AcquirePortLock(portName, &taken.Lock, whyOut, whySize))
        return 0;
    snprintf(taken.Name, sizeof taken.Name, "%s", portName);
    Release(&Next);
    Next = taken;
    return 1;
}

void ReleaseConnectionPort() {
    Release(&Current);
    Current = Next;
    Next = HeldPortRec{};
}

int PortHeldByThisWindow(const char* portName) {
    return SamePort(Current, portName) || SamePort(Next, portName);
}

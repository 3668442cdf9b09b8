#include "device/win32/ConnectionPort.h"

#include <cstdio>
#include <cstring>

#include "device/PortLock.h"

namespace {

constexpr size_t HELD_NAME_SIZE = 256;
// The connection's port, the one the dialog took for the next connection and the one a worker
// that did not end when told still has: at most three at once, a few more to spare.
constexpr int HELD_MAX = 6;

struct HeldPortRec {
    PortLockRec Lock;
    char Name[HELD_NAME_SIZE];
};

HeldPortRec Held[HELD_MAX];

const char* WithoutDevicePrefix(const char* name) {
    return strncmp(name, "\\\\.\\", 4) == 0 ? name + 4 : name;
}

HeldPortRec* Find(const char* portName) {
    for (HeldPortRec& held : Held)
        if (held.Lock.Handle != nullptr &&
            _stricmp(WithoutDevicePrefix(held.Name), WithoutDevicePrefix(portName)) == 0)
            return &held;
    return nullptr;
}

} // namespace

int HoldPortForConnection(const char* portName, char* whyOut, size_t whySize) {
    if (Find(portName))
        return 1;
    for (HeldPortRec& held : Held) {
        if (held.Lock.Handle != nullptr)
            continue;
        if (!AcquirePortLock(portName, &held.Lock, whyOut, whySize))
            return 0;
        snprintf(held.Name, sizeof held.Name, "%s", portName);
        return 1;
    }
    snprintf(whyOut, whySize, "%s cannot be taken: this window holds too many ports.", portName);
    return 0;
}

void ReleaseConnectionPort(const char* portName) {
    HeldPortRec* held = Find(portName);
    if (!held)
        return;
    ReleasePortLock(&held->Lock);
    held->Name[0] = '\0';
}

int PortHeldByThisWindow(const char* portName) {
    return Find(portName) != nullptr;
}

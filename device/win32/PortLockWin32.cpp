// The per-port lock on Windows: a named mutex per port, in the global namespace. The kernel
// object lives while any handle to it is open, so the lock is held exactly as long as its
// holder keeps the handle, and goes with the holder's process whatever way it ends: no stale
// lock to clean up. Wine keeps named objects in its wineserver, so the program and
// torvanctl.exe under one Wine prefix see each other's locks as well.
#include "device/PortLock.h"

#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>

int CanonicalPortName(const char* portName, char* out, size_t outSize) {
    const char* name = portName;
    if (strncmp(name, "\\\\.\\", 4) == 0 || strncmp(name, "\\\\?\\", 4) == 0)
        name += 4;
    size_t length = strlen(name);
    if (length >= outSize) {
        if (outSize > 0)
            out[0] = '\0';
        return 0;
    }
    for (size_t i = 0; i <= length; i++) {
        char c = name[i];
        out[i] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
    }
    return 1;
}

namespace {

// The lock's kernel object: the port's one name after "Global\", so that Torvan One windows and
// torvanctl.exe in other sessions (another user's desktop, a service, a remote session) see it
// too. A backslash, which such a name may not hold past its namespace, becomes "_".
std::wstring LockName(const char* portName) {
    char canonical[MAX_PATH];
    CanonicalPortName(portName, canonical, sizeof canonical);
    std::wstring lockName = L"Global\\TorvanOne.Port.";
    for (const char* c = canonical; *c != '\0' && lockName.size() < MAX_PATH - 1; ++c) {
        lockName += *c == '\\' ? L'_' : (wchar_t)(unsigned char)*c;
    }
    return lockName;
}

} // namespace

int AcquirePortLock(const char* portName, PortLockRec* lock, char* whyOut, size_t whySize) {
    if (lock->Handle != nullptr)
        return 1;
    std::wstring name = LockName(portName);
    HANDLE mutex = CreateMutexW(nullptr, FALSE, name.c_str());
    DWORD error = GetLastError();
    if (mutex != nullptr && error != ERROR_ALREADY_EXISTS) {
        lock->Handle = mutex;
        return 1;
    }
    if (mutex != nullptr)
        CloseHandle(mutex);
    if (whyOut != nullptr && whySize > 0) {
        // An object of that name that we may not open (another user's) is a holder as well.
        if (mutex != nullptr || error == ERROR_ACCESS_DENIED)
            snprintf(whyOut, whySize, "%s is in use by another Torvan One window", portName);
        else
            snprintf(whyOut, whySize, "%s cannot be locked (error %lu)", portName,
                     (unsigned long)error);
    }
    return 0;
}

void ReleasePortLock(PortLockRec* lock) {
    if (lock->Handle == nullptr)
        return;
    CloseHandle((HANDLE)lock->Handle);
    lock->Handle = nullptr;
}

int PortLockHeldElsewhere(const char* portName) {
    std::wstring name = LockName(portName);
    HANDLE mutex = OpenMutexW(SYNCHRONIZE, FALSE, name.c_str());
    if (mutex != nullptr) {
        CloseHandle(mutex);
        return 1;
    }
    return GetLastError() == ERROR_ACCESS_DENIED;
}

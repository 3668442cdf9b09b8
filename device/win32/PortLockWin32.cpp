// The per-port lock on Windows: a named mutex per port, in the session's namespace. The kernel
// object lives while any handle to it is open, so the lock is held exactly as long as its
// holder keeps the handle, and goes with the holder's process whatever way it ends: no stale
// lock to clean up. Wine keeps named objects in its wineserver, so the program and
// torvanctl.exe under one Wine prefix see each other's locks as well.
#include "device/PortLock.h"

#include <windows.h>

#include <cstdio>
#include <string>

namespace {

// "COM7", "com7" and "\\.\COM7" are one port: the device prefix goes, letters are upper case,
// and a backslash (which a kernel object's name may not hold past its namespace) becomes "_".
std::wstring LockName(const char* portName) {
    const char* name = portName;
    if (strncmp(name, "\\\\.\\", 4) == 0 || strncmp(name, "\\\\?\\", 4) == 0)
        name += 4;
    std::wstring lockName = L"Local\\TorvanOne.Port.";
    for (const char* c = name; *c != '\0' && lockName.size() < MAX_PATH - 1; ++c) {
        char upper = (*c >= 'a' && *c <= 'z') ? (char)(*c - 'a' + 'A') : *c;
        lockName += upper == '\\' ? L'_' : (wchar_t)(unsigned char)upper;
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

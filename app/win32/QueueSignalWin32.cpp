// The queue's wake-up on Windows: a flag under a slim reader/writer lock with a condition
// variable. The flag stays set until a wait takes it, so a signal that comes before the worker
// waits is not lost. Both are process-local: under Wine they wait and wake on futexes, where
// an event (or mingw's std::condition_variable, which waits on one) costs two round trips to
// the server for every request the worker is woken for.
#include "app/QueueSignal.h"

#include <windows.h>

namespace {

SRWLOCK SignalLock = SRWLOCK_INIT;
CONDITION_VARIABLE SignalChanged = CONDITION_VARIABLE_INIT;
bool Signalled = false;

} // namespace

void SignalQueueWaiter() {
    AcquireSRWLockExclusive(&SignalLock);
    Signalled = true;
    ReleaseSRWLockExclusive(&SignalLock);
    WakeConditionVariable(&SignalChanged);
}

int WaitForQueueSignal(uint32_t timeoutMs) {
    ULONGLONG deadline = GetTickCount64() + timeoutMs;
    AcquireSRWLockExclusive(&SignalLock);
    // A wait may also end without a signal (a spurious wake); it goes on for what is left.
    while (!Signalled) {
        ULONGLONG now = GetTickCount64();
        if (now >= deadline || !SleepConditionVariableSRW(&SignalChanged, &SignalLock,
                                                          static_cast<DWORD>(deadline - now), 0)) {
            break;
        }
    }
    bool signalled = Signalled;
    Signalled = false;
    ReleaseSRWLockExclusive(&SignalLock);
    return signalled ? 1 : 0;
}

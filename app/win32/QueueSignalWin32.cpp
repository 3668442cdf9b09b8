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

// Milliseconds on the performance counter, which unlike the tick count does not move in
// steps of 10 to 16 ms.
static double NowMs() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

int WaitForQueueSignal(uint32_t timeoutMs) {
    double deadline = NowMs() + timeoutMs;
    AcquireSRWLockExclusive(&SignalLock);
    // A wait may also end without a signal (a spurious wake); it goes on for what is left.
    while (!Signalled) {
        double left = deadline - NowMs();
        if (left <= 0 || !SleepConditionVariableSRW(&SignalChanged, &SignalLock,
                                                    static_cast<DWORD>(left + 0.999), 0)) {
            break;
        }
    }
    bool signalled = Signalled;
    Signalled = false;
    ReleaseSRWLockExclusive(&SignalLock);
    return signalled ? 1 : 0;
}

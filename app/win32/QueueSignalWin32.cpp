// The queue's wake-up on Windows: one auto-reset event, made before WinMain and closed at exit.
// An auto-reset event stays set until a wait takes it, so a signal that comes before the
// worker waits is not lost.
#include "app/QueueSignal.h"

#include <windows.h>

namespace {

struct QueueEvent {
    HANDLE Handle = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ~QueueEvent() {
        if (Handle)
            CloseHandle(Handle);
    }
};

QueueEvent Event;

} // namespace

void SignalQueueWaiter() {
    if (Event.Handle)
        SetEvent(Event.Handle);
}

int WaitForQueueSignal(uint32_t timeoutMs) {
    if (!Event.Handle) {
        Sleep(timeoutMs);
        return 0;
    }
    return WaitForSingleObject(Event.Handle, timeoutMs) == WAIT_OBJECT_0 ? 1 : 0;
}

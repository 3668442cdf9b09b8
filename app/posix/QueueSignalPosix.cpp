// The queue's wake-up natively: a flag under a mutex with a condition variable.
#include "app/QueueSignal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

std::mutex SignalLock;
std::condition_variable SignalChanged;
bool Signalled = false;

} // namespace

void SignalQueueWaiter() {
    {
        std::lock_guard<std::mutex> hold(SignalLock);
        Signalled = true;
    }
    SignalChanged.notify_one();
}

int WaitForQueueSignal(uint32_t timeoutMs) {
    std::unique_lock<std::mutex> hold(SignalLock);
    SignalChanged.wait_for(hold, std::chrono::milliseconds(timeoutMs), [] { return Signalled; });
    bool signalled = Signalled;
    Signalled = false;
    return signalled ? 1 : 0;
}

// The real clock behind the timed device routines, and the hook that tests replace it with.
#include "device/DeviceClock.h"

#include <chrono>
#include <thread>

#ifdef _WIN32
#include <windows.h>
#endif

namespace {

const DeviceClockHooks* Hooks = nullptr;

} // namespace

void SetDeviceClockHooks(const DeviceClockHooks* hooks) {
    Hooks = hooks;
}

void DeviceSleepMs(uint32_t ms) {
    if (Hooks != nullptr && Hooks->Sleep != nullptr) {
        Hooks->Sleep(ms);
        return;
    }
#ifdef _WIN32
    // The C++ sleep of the mingw thread library waits on an event with a time-out, and under
    // Wine every such wait is a call to its server; Sleep is not.
    Sleep(ms);
#else
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
#endif
}

double DeviceNowSeconds() {
    if (Hooks != nullptr && Hooks->Now != nullptr) {
        return Hooks->Now();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

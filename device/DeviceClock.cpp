// The real clock behind the timed device routines, and the hook that tests replace it with.
#include "device/DeviceClock.h"

#include <chrono>
#include <thread>

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
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

double DeviceNowSeconds() {
    if (Hooks != nullptr && Hooks->Now != nullptr) {
        return Hooks->Now();
    }
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Sleep and clock used by the timed device routines; tests replace them so that pacing
// arithmetic is checked without real waiting.
#pragma once

#include <cstdint>

void DeviceSleepMs(uint32_t ms);
double DeviceNowSeconds(); // monotonic, high resolution

struct DeviceClockHooks {
    void (*Sleep)(uint32_t ms);
    double (*Now)();
};
void SetDeviceClockHooks(const DeviceClockHooks* hooks); // null restores the real clock

// The wake-up beside the command queue: the producer signals after it has published an entry,
// the worker waits for that signal instead of polling an empty queue. One signal for the
// program's one queue: a flag under a lock with a condition variable (a slim reader/writer lock
// on Windows, std::mutex natively).
#pragma once

#include <cstdint>

// Wakes the waiter, or makes its next wait return at once when nobody waits yet.
void SignalQueueWaiter();

// Waits until signalled or timeoutMs has passed; a signal given while nobody waited is taken
// here and cleared. Returns non-zero when signalled.
int WaitForQueueSignal(uint32_t timeoutMs);

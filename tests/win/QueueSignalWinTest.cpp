// The queue's wake-up as the program uses it on Windows: a signal given before anybody waits
// is kept for the next wait and taken by it, a wait without a signal lasts its time-out, and a
// signal from another thread ends a wait at once.
#include <windows.h>

#include <gtest/gtest.h>

#include "app/QueueSignal.h"

namespace {

double NowMs() {
    LARGE_INTEGER count, frequency;
    QueryPerformanceCounter(&count);
    QueryPerformanceFrequency(&frequency);
    return static_cast<double>(count.QuadPart) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

} // namespace

TEST(QueueSignalWinTest, KeepsAnEarlySignalTimesOutAndWakesAWaiter) {
    WaitForQueueSignal(0); // whatever earlier tests left

    SignalQueueWaiter();
    EXPECT_EQ(WaitForQueueSignal(1000), 1);
    double start = NowMs();
    EXPECT_EQ(WaitForQueueSignal(60), 0); // taken by the wait before
    EXPECT_GE(NowMs() - start, 50.0);

    HANDLE signaller = CreateThread(
        nullptr, 0,
        [](void*) -> DWORD {
            Sleep(30);
            SignalQueueWaiter();
            return 0;
        },
        nullptr, 0, nullptr);
    ASSERT_NE(signaller, nullptr);
    start = NowMs();
    EXPECT_EQ(WaitForQueueSignal(5000), 1);
    double waited = NowMs() - start;
    EXPECT_LT(waited, 1000.0);
    printf("a waiter woke %.1f ms after the wait began (the signal came after 30 ms)\n", waited);
    WaitForSingleObject(signaller, INFINITE);
    CloseHandle(signaller);
}

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/SerialCmdQ.h"
#include "app/WorkerThread.h"
#include "device/LegacyBoardUtils.h"

namespace {

// The user-interface side as the program runs it: a timer thread enqueues, the "window"
// reads a result only after its reply message came, and the set point changes meanwhile.
std::mutex RepliesLock;
long StateReplies = 0;
long FlowReplies = 0;
float LastFlowSeen = 0.0f;
int LastCountSeen = 0;
int WorkerEnds = 0;

int Deliver(void*, uint32_t message, uintptr_t, intptr_t lParam) {
    std::lock_guard<std::mutex> hold(RepliesLock);
    if (message == WM_BOARD_STATE) {
        ++StateReplies;
        LastFlowSeen = ((SystemStateRec*)lParam)->Flow;
    } else if (message == WM_WORKER_ENDED) {
        ++WorkerEnds;
    } else if (message == WM_FLOW_READINGS) {
        ++FlowReplies;
        LastCountSeen = ((NewFlowReadingsRec*)lParam)->Count;
    }
    return 1;
}

TEST(WorkerSimulationTsanTest, RequestsAndStopRaceFree) {
    ClearMsgQueue();
    ClearSerialPortErrors();
    static WorkerRunRec run;
    PrepareWorkerRun(&run, nullptr, Deliver, "FAKE", 1, 1, 0);
    std::thread worker([] { WorkerThreadFunction(&run); });

    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(800);
    int step = 0;
    while (std::chrono::steady_clock::now() < end) {
        float setPoint = (float)(step % 100);
        __atomic_store(&SystemState.SetPoint, &setPoint, __ATOMIC_RELAXED);
        if (step % 2 == 0) {
            EnqueueThreadMsg(REQUEST_BOARD_STATE, nullptr, WM_BOARD_STATE, 0, &TempSystemState);
        } else {
            SimGraphWindowExists = step % 4 == 1;
            EnqueueThreadMsg(REQUEST_FLOW_VALUES, nullptr, WM_FLOW_READINGS, 0, &NewFlowReadings);
        }
        ++step;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    StopWorkerRun(&run);
    worker.join();
    ClearMsgQueue();

    std::lock_guard<std::mutex> hold(RepliesLock);
    EXPECT_GT(StateReplies, 20);
    EXPECT_GT(FlowReplies, 20);
    EXPECT_EQ(LastCountSeen, 5);
    EXPECT_GE(LastFlowSeen, 0.0f);
    EXPECT_EQ(WorkerEnds, 1);
}

} // namespace

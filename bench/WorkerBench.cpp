// Throughput of the worker thread against the board emulator, set beside the two limits
// that bound it on a real link, and the cost of the command queue's operations.
//
//   torvan_bench [--emu PATH] [--seconds S] [Google Benchmark options]
#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/SerialCmdQ.h"
#include "app/WorkerThread.h"
#include "device/LegacyBoardUtils.h"

#include "EmulatorProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<long> StateReplies{0};
std::atomic<long> OtherReplies{0};
std::atomic<long> SerialErrors{0};
std::atomic<int> Connected{0};

int CountPost(void*, uint32_t message, uintptr_t, intptr_t) {
    if (message == WM_BOARD_STATE) {
        ++StateReplies;
    } else if (message == WM_SERIAL_ERROR) {
        ++SerialErrors;
    } else if (message == WM_CONNECTED) {
        Connected = 1;
    } else {
        ++OtherReplies;
    }
    return 1;
}

// Keeps a few state requests waiting so the worker never finds the queue empty, the way a
// fast poll would, and counts the replies.
void MeasureWorker(const char* emuPath, double seconds) {
    emutest::TempDir dir("torvan-bench");
    emutest::EmulatorProcess emu(dir.Path(), emutest::EmulatorProcess::Files::LinkOnly);
    if (!emu.Start(emuPath, {"--kind", "controller", "--baud", "230400"})) {
        printf("worker: could not start the emulator at %s\n", emuPath);
        return;
    }
    ClearMsgQueue();
    Connected = 0;
    static WorkerRunRec run;
    PrepareWorkerRun(&run, nullptr, CountPost, emu.Link().c_str(), 1, 0, 0);
    std::thread worker([] { WorkerThreadFunction(&run); });

    auto connectDeadline = Clock::now() + std::chrono::seconds(10);
    while (!Connected && Clock::now() < connectDeadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (Connected) {
        long enqueued = 0;
        long startReplies = StateReplies.load();
        auto start = Clock::now();
        auto end = start + std::chrono::duration<double>(seconds);
        while (Clock::now() < end) {
            while (enqueued - (StateReplies.load() - startReplies) < 8) {
                EnqueueThreadMsg(REQUEST_BOARD_STATE, nullptr, WM_BOARD_STATE, 0, &TempSystemState);
                ++enqueued;
            }
            std::this_thread::sleep_for(std::chrono::microseconds(500));
        }
        double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
        long done = StateReplies.load() - startReplies;
        double rate = done / elapsed;

        // On the wire: "~GLSV\r" (6 bytes) and a frame of 2 length + 40 payload + 2 checksum
        // bytes; 10 bit times per byte (start, 8 data, stop).
        const double exchangeBytes = 6 + 2 + 40 + 2;
        const double linkLimit = 230400.0 / 10.0 / exchangeBytes;
        const double passLimit = 1000.0 / 5.0;
        printf("worker: %ld state requests in %.2f s = %.1f per second (%.2f ms per request,"
               " serial errors %ld)\n",
               done, elapsed, rate, 1000.0 / rate, SerialErrors.load());
        printf("worker: pass limit of the 5 ms pause alone: %.0f per second (measured is %.0f%% "
               "of it)\n",
               passLimit, 100.0 * rate / passLimit);
        printf("worker: link limit at 230400 bit/s for a %.0f-byte exchange: %.0f per second "
               "(the emulator's pty does not pace bytes at line speed)\n",
               exchangeBytes, linkLimit);
        printf("worker: on a real link one pass takes 5 ms + %.2f ms of transfer: about %.0f "
               "per second\n",
               1000.0 / linkLimit, 1000.0 / (5.0 + 1000.0 / linkLimit));
    } else {
        printf("worker: no connection to the emulator\n");
    }
    StopWorkerRun(&run);
    worker.join();
    ClearMsgQueue();
    emu.Stop();
}

void BM_EnqueueDequeue(benchmark::State& state) {
    ClearMsgQueue();
    int kind, parse;
    char* text;
    uint32_t message;
    void* result;
    size_t resultSize;
    for (auto _ : state) {
        EnqueueThreadMsg(REQUEST_ASCII, "G18\r", WM_GAS_INFO, PARSE_FLOAT, &FullScaleFlow,
                         sizeof FullScaleFlow);
        benchmark::DoNotOptimize(
            DequeueThreadMsg(&kind, &text, &message, &parse, &result, &resultSize));
    }
    ClearMsgQueue();
}
BENCHMARK(BM_EnqueueDequeue);

// A full-length text costs the 255-character copy.
void BM_EnqueueDequeueLongText(benchmark::State& state) {
    ClearMsgQueue();
    std::string longText(300, 'S');
    static char reply[5000];
    int kind, parse;
    char* text;
    uint32_t message;
    void* result;
    for (auto _ : state) {
        EnqueueThreadMsg(REQUEST_ASCII, longText.c_str(), WM_USER_COMMAND_REPLY, PARSE_TEXT, reply,
                         sizeof reply);
        benchmark::DoNotOptimize(DequeueThreadMsg(&kind, &text, &message, &parse, &result));
    }
    ClearMsgQueue();
}
BENCHMARK(BM_EnqueueDequeueLongText);

void BM_DequeueEmpty(benchmark::State& state) {
    ClearMsgQueue();
    int kind, parse;
    char* text;
    uint32_t message;
    void* result;
    for (auto _ : state) {
        benchmark::DoNotOptimize(DequeueThreadMsg(&kind, &text, &message, &parse, &result));
    }
}
BENCHMARK(BM_DequeueEmpty);

} // namespace

int main(int argc, char** argv) {
    const char* emuPath = nullptr;
#ifdef TORVAN_EMU_PATH
    emuPath = TORVAN_EMU_PATH;
#endif
    double seconds = 3.0;
    std::vector<char*> rest = {argv[0]};
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--emu") == 0 && i + 1 < argc) {
            emuPath = argv[++i];
        } else if (strcmp(argv[i], "--seconds") == 0 && i + 1 < argc) {
            seconds = atof(argv[++i]);
        } else {
            rest.push_back(argv[i]);
        }
    }
    if (emuPath != nullptr && seconds > 0.0) {
        MeasureWorker(emuPath, seconds);
    } else {
        printf("worker: no emulator (give --emu PATH)\n");
    }
    fflush(stdout);

    int restCount = (int)rest.size();
    benchmark::Initialize(&restCount, rest.data());
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

// How fast the in-process simulation runs: a board session of 60 simulated seconds (connect,
// the state record and the flow samples every 100 ms, disconnect) through the board layer,
// the simulated port and the emulated board, in real time. Figures only.
//
//   torvan_sim_bench [Google Benchmark options]
#include <benchmark/benchmark.h>

#include "device/LegacyBoardUtils.h"
#include "tests/sim/SimPorts.h"

namespace {

const int64_t SESSION_MS = 60000;

// One session; returns the virtual milliseconds it took.
int64_t RunSession() {
    SimInstall(0);
    ForgetBoardLineSettings();
    EmuSettings settings;
    EmuDefaultSettings(&settings);
    settings.baud = 19200;
    SimAddBoard("COM1", &settings);
    ComHandle handle = nullptr;
    if (ConnectToTorvan("COM1", &handle)) {
        while (SimNowMs() < SESSION_MS) {
            SystemStateRec state;
            GetLegacyBoardStateVals(handle, &state);
            NewFlowReadingsRec flow;
            GetLegacyFlowVals(handle, &flow);
            SimAdvanceBy(100);
        }
        DisconnectFromTorvan(handle);
    }
    int64_t took = SimNowMs();
    SimRemove();
    ClearSerialPortErrors();
    return took;
}

void BM_SimulatedMinute(benchmark::State& state) {
    int64_t simulatedMs = 0;
    for (auto _ : state)
        simulatedMs += RunSession();
    state.counters["simulated_s_per_real_s"] =
        benchmark::Counter(static_cast<double>(simulatedMs) / 1000.0, benchmark::Counter::kIsRate);
    state.counters["sessions_per_s"] =
        benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_SimulatedMinute)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();

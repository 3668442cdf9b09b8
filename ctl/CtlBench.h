// Several boards at once: one thread per port, every board with its own device state, and a
// start that all boards share so that their samples have one time origin.
#pragma once

#include <atomic>
#include <string>
#include <vector>

#include "ctl/CtlCommon.h"

// The boards' threads meet here once each is ready (or has given up); the main thread then
// fixes the time origin and lets them all go at once.
struct BenchStart {
    std::atomic<int> Arrived{0};
    std::atomic<int> Go{0};
    double Origin = 0.0; // DeviceNowSeconds() when the boards were let go
};

// A board's thread: arrives and waits. Returns the shared origin, or -1 after Ctrl-C.
double WaitForBenchStart(BenchStart* start);
// Counts a board that gives up before it reached the start, so the others do not wait for it.
void ArriveAtBenchStart(BenchStart* start);

// Runs body(args[i]) on a thread of its own for each board; the main thread meanwhile lets the
// boards go once all total have arrived at start (when start is not null) and then calls
// whileRunning (when not null) until every thread has ended. A thread that cannot be started
// runs its board on the calling thread afterwards (no board is skipped).
void RunOnEveryBoard(const std::vector<void*>& args, void (*body)(void*), BenchStart* start,
                     void (*whileRunning)(void*), void* context);
int BoardThreadsRunning();

// The ports of a command on several boards: 2 (reported) when one is named twice.
int CheckDistinctPorts(const std::vector<std::string>& ports);
// A file name (no folder, no extension) for a board's output: the port's last part and the
// board's name, letters, digits, '-' and '_' only, e.g. "ttyUSB0-Bench_2", "COM5-unnamed" for
// a board without a name. index tells apart ports whose last parts are the same.
std::string BoardFileBase(const std::vector<std::string>& ports, int index, const char* boardName);
// "DIR/BASE.EXT" (a backslash on Windows).
std::string BenchFilePath(const char* folder, const std::string& base, const char* extension);
// The exit code of a run over several boards: the first board's failure that is not a failed
// limit (3 missing, 4 silent, 1 other or Ctrl-C), else 5 when a board failed a limit, else 0.
int BenchExitCode(const std::vector<int>& codes);

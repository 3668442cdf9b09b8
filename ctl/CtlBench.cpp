// The parts every command on several boards shares: the threads, the common start and the
// boards' file names.
#include "ctl/CtlBench.h"

#include <cstring>

#include "ctl/CtlArgs.h"
#include "ctl/CtlPlatform.h"
#include "device/DeviceClock.h"
#include "device/PortLock.h"

static std::atomic<int> RunningBoards{0};

void ArriveAtBenchStart(BenchStart* start) {
    start->Arrived.fetch_add(1);
}

double WaitForBenchStart(BenchStart* start) {
    ArriveAtBenchStart(start);
    while (!start->Go.load()) {
        if (Interrupted()) {
            return -1.0;
        }
        DeviceSleepMs(1);
    }
    return start->Origin;
}

namespace {
struct BoardThread {
    void (*Body)(void*);
    void* Arg;
};

void RunBoardThread(void* thread) {
    const BoardThread* board = static_cast<const BoardThread*>(thread);
    board->Body(board->Arg);
    RunningBoards.fetch_sub(1);
}
} // namespace

int BoardThreadsRunning() {
    return RunningBoards.load();
}

void RunOnEveryBoard(const std::vector<void*>& args, void (*body)(void*), BenchStart* start,
                     void (*whileRunning)(void*), void* context) {
    std::vector<BoardThread> boards(args.size());
    std::vector<CtlThread> threads(args.size(), nullptr);
    RunningBoards.store((int)args.size());
    for (size_t i = 0; i < args.size(); ++i) {
        boards[i] = BoardThread{body, args[i]};
        threads[i] = StartCtlThread(RunBoardThread, &boards[i]);
    }
    std::vector<size_t> late;
    for (size_t i = 0; i < args.size(); ++i) {
        if (threads[i] == nullptr) {
            Fail(EXIT_OTHER, "%s", "no thread for a board: it runs after the others");
            // Not waited for at the start; it gets its own origin.
            if (start != nullptr) {
                ArriveAtBenchStart(start);
            }
            late.push_back(i);
        }
    }
    if (start != nullptr) {
        while (start->Arrived.load() < (int)args.size() && !Interrupted()) {
            DeviceSleepMs(1);
        }
        start->Origin = DeviceNowSeconds();
        start->Go.store(1);
    }
    while (whileRunning != nullptr && RunningBoards.load() > (int)late.size()) {
        whileRunning(context);
    }
    for (CtlThread thread : threads) {
        if (thread != nullptr) {
            JoinCtlThread(thread);
        }
    }
    for (size_t i : late) {
        RunBoardThread(&boards[i]);
    }
}

int CheckDistinctPorts(const std::vector<std::string>& ports) {
    // One port spelled two ways ("ttyUSB0" and "/dev/ttyUSB0", "COM5" and "com5") is named twice:
    // its second board would only find the port locked by the first.
    std::vector<std::string> names;
    for (const std::string& port : ports) {
        char name[PORT_NAME_SIZE];
        if (!CanonicalPortName(port.c_str(), name, sizeof name)) {
            return UsageError("a port's name is too long: ", port.c_str());
        }
        for (size_t k = 0; k < names.size(); ++k) {
            if (names[k] == name) {
                std::string twice = port + " (the same port as " + ports[k] + ")";
                return UsageError("a port named twice: ", twice.c_str());
            }
        }
        names.push_back(name);
    }
    return 0;
}

static const char* LastPart(const char* path) {
    const char* last = path;
    for (const char* p = path; *p != '\0'; ++p) {
        if ((*p == '/' || *p == '\\') && p[1] != '\0') {
            last = p + 1;
        }
    }
    return last;
}

static void AppendSafe(std::string* out, const char* text) {
    for (const char* p = text; *p != '\0' && out->size() < 120; ++p) {
        char c = *p;
        int plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                    c == '-' || c == '_';
        if (plain) {
            out->push_back(c);
        } else if (!out->empty() && out->back() != '_') {
            out->push_back('_');
        }
    }
    while (!out->empty() && out->back() == '_') {
        out->pop_back();
    }
}

std::string BoardFileBase(const std::vector<std::string>& ports, int index, const char* boardName) {
    std::string base;
    const char* last = LastPart(ports[(size_t)index].c_str());
    for (int k = 0; k < (int)ports.size(); ++k) {
        if (k != index && strcmp(LastPart(ports[(size_t)k].c_str()), last) == 0) {
            base = std::to_string(index + 1) + "-";
            break;
        }
    }
    AppendSafe(&base, last);
    std::string name;
    AppendSafe(&name, boardName != nullptr ? boardName : "");
    // Never the bare port: on Windows "COM5.csv" opens the port itself, not a file.
    return base + "-" + (name.empty() ? "unnamed" : name);
}

std::string BenchFilePath(const char* folder, const std::string& base, const char* extension) {
#ifdef _WIN32
    const char separator = '\\';
#else
    const char separator = '/';
#endif
    std::string path = folder;
    if (!path.empty() && path.back() != '/' && path.back() != '\\') {
        path.push_back(separator);
    }
    return path + base + "." + extension;
}

int BenchExitCode(const std::vector<int>& codes) {
    int limitFailed = 0;
    for (int code : codes) {
        if (code == EXIT_LIMIT_FAILED) {
            limitFailed = 1;
        } else if (code != EXIT_DONE) {
            return code;
        }
    }
    return limitFailed ? EXIT_LIMIT_FAILED : EXIT_DONE;
}

// torvan-emu: a Torvan flow board on a pseudo-terminal, for the program's tests and for trying
// the program without hardware. One poll loop serves the line, the control FIFO and the
// timed replies.
#include "emulator/EmuModel.h"
#include "emulator/EmuPty.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

struct PendingReply {
    int64_t dueMs;
    std::string bytes;
};

// Replies the other side never reads stop piling up here.
const size_t MAX_PENDING_BYTES = 1 << 20;

const char* LinkPath;
const char* RecordPath;
const char* ControlPath;
FILE* RecordFile;
int ControlFd = -1;
volatile sig_atomic_t StopRequested;
sigset_t WaitMask;

std::string LineBuffer;
int LastWasCr;
std::string ControlBuffer;
std::deque<PendingReply> Pending;
size_t PendingBytes;
int64_t ReplugAtMs = -1; // while unplugged: when to come back, -1 = when the fault clears

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (int64_t)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

void OnStopSignal(int) {
    StopRequested = 1;
}

// Asked for, the usage goes to standard output (where help2man reads it for the man page);
// after a mistake, to standard error.
void Usage(FILE* out) {
    fprintf(out,
            "usage: torvan-emu --link PATH [--kind meter|controller] [--baud 9600|19200|230400]\n"
            "                  [--name TEXT] [--record FILE] [--control FIFO] [--gas N]\n"
            "                  [--fault FAULT]\n"
            "       torvan-emu --help | --version\n"
            "\n"
            "A Torvan flow meter or controller on a pseudo-terminal linked at PATH. It prints\n"
            "the slave device and \"ready\", then answers the board's commands until SIGTERM or\n"
            "Ctrl-C. Defaults: a controller at 9600 bit/s, no name, gas 0. --record appends\n"
            "each command received with its time; --control names a FIFO that takes fault and\n"
            "state commands while it runs; --fault starts with one.\n");
}

int ParseLong(const char* text, long min, long max, long* out) {
    char* end = nullptr;
    errno = 0;
    long value = strtol(text, &end, 10);
    if (errno || end == text || *end != '\0' || value < min || value > max)
        return 0;
    *out = value;
    return 1;
}

int ParseArgs(int argc, char** argv, EmuSettings* settings) {
    EmuDefaultSettings(settings);
    for (int i = 1; i < argc; i++) {
        const char* option = argv[i];
        if (strcmp(option, "--help") == 0 || strcmp(option, "-h") == 0) {
            Usage(stdout);
            exit(0);
        }
        if (strcmp(option, "--version") == 0) {
            printf("torvan-emu %s\n", TORVAN_VERSION);
            exit(0);
        }
        if (i + 1 >= argc) {
            fprintf(stderr, "torvan-emu: %s needs a value\n", option);
            return 0;
        }
        const char* value = argv[++i];
        long number;
        if (strcmp(option, "--link") == 0) {
            LinkPath = value;
        } else if (strcmp(option, "--record") == 0) {
            RecordPath = value;
        } else if (strcmp(option, "--control") == 0) {
            ControlPath = value;
        } else if (strcmp(option, "--kind") == 0) {
            if (strcmp(value, "meter") == 0) {
                settings->kind = EMU_KIND_METER;
            } else if (strcmp(value, "controller") == 0) {
                settings->kind = EMU_KIND_CONTROLLER;
            } else {
                fprintf(stderr, "torvan-emu: --kind is meter or controller\n");
                return 0;
            }
        } else if (strcmp(option, "--baud") == 0) {
            if (!ParseLong(value, 1, LONG_MAX, &number) || !EmuIsSupportedBaud(number)) {
                fprintf(stderr, "torvan-emu: unsupported speed %s\n", value);
                return 0;
            }
            settings->baud = number;
        } else if (strcmp(option, "--name") == 0) {
            if (strlen(value) > EMU_NAME_MAX || strchr(value, '>')) {
                fprintf(stderr, "torvan-emu: a name holds up to %d characters, no '>'\n",
                        EMU_NAME_MAX);
                return 0;
            }
            snprintf(settings->name, sizeof settings->name, "%s", value);
        } else if (strcmp(option, "--gas") == 0) {
            if (!ParseLong(value, 0, 0xFFFF, &number)) {
                fprintf(stderr, "torvan-emu: --gas needs 0..65535\n");
                return 0;
            }
            settings->gas = (unsigned)number;
        } else if (strcmp(option, "--fault") == 0) {
            if (!EmuParseFault(value, &settings->fault)) {
                fprintf(stderr, "torvan-emu: bad fault '%s'\n", value);
                return 0;
            }
        } else {
            fprintf(stderr, "torvan-emu: unknown option %s\n", option);
            return 0;
        }
    }
    if (!LinkPath) {
        Usage(stderr);
        return 0;
    }
    return 1;
}

int OpenControl() {
    struct stat st;
    if (stat(ControlPath, &st) == 0) {
        if (!S_ISFIFO(st.st_mode)) {
            fprintf(stderr, "torvan-emu: %s exists and is not a FIFO\n", ControlPath);
            return 0;
        }
    } else if (mkfifo(ControlPath, 0600) != 0) {
        fprintf(stderr, "torvan-emu: mkfifo %s: %s\n", ControlPath, strerror(errno));
        return 0;
    }
    // Opened for writing as well, so writers never block on open and the FIFO never reads
    // end-of-file when a writer goes away.
    ControlFd = open(ControlPath, O_RDWR | O_NONBLOCK);
    if (ControlFd < 0) {
        fprintf(stderr, "torvan-emu: open %s: %s\n", ControlPath, strerror(errno));
        return 0;
    }
    return 1;
}

void Record(int64_t nowMs, const std::string& command) {
    if (!RecordFile)
        return;
    fprintf(RecordFile, "%lld %s\n", (long long)nowMs, command.c_str());
    fflush(RecordFile);
}

void DropPending() {
    Pending.clear();
    PendingBytes = 0;
}

void Queue(int64_t nowMs, const EmuOutput& out) {
    if (!out.reply || out.bytes.empty())
        return;
    if (PendingBytes + out.bytes.size() > MAX_PENDING_BYTES)
        return;
    // Replies leave in the order their commands came, whatever their delays.
    int64_t due = nowMs + out.delayMs;
    if (!Pending.empty() && Pending.back().dueMs > due)
        due = Pending.back().dueMs;
    if (out.gapMs <= 0 || out.chunkBytes == 0) {
        Pending.push_back({due, out.bytes});
    } else {
        for (size_t at = 0; at < out.bytes.size(); at += out.chunkBytes) {
            Pending.push_back({due, out.bytes.substr(at, out.chunkBytes)});
            due += out.gapMs;
        }
    }
    PendingBytes += out.bytes.size();
}

int Plug(int64_t nowMs) {
    char error[256];
    if (!PtyOpen(LinkPath, EmuBoardBaud(nowMs), error, sizeof error)) {
        fprintf(stderr, "torvan-emu: %s\n", error);
        return 0;
    }
    return 1;
}

void Unplug(long ms, int64_t nowMs) {
    PtyClose(LinkPath);
    DropPending();
    LineBuffer.clear();
    ReplugAtMs = ms > 0 ? nowMs + ms : -1;
}

void CheckHangup(int64_t nowMs) {
    long ms;
    if (EmuTakeHangup(&ms))
        Unplug(ms, nowMs);
    if (PtyIsOpen())
        return;
    int due = ReplugAtMs >= 0 && nowMs >= ReplugAtMs;
    if (due || EmuCurrentFault().kind != EMU_FAULT_HANGUP) {
        EmuEndHangup();
        ReplugAtMs = -1;
        Plug(nowMs);
    }
}

void HandleControlLine(const std::string& line, int64_t nowMs) {
    if (line.empty())
        return;
    std::string error;
    int wasReset = strncmp(EmuSkipSpaces(line.c_str()), "reset", 5) == 0;
    if (!EmuControlCommand(line.c_str(), nowMs, &error)) {
        fprintf(stderr, "torvan-emu: control '%s': %s\n", line.c_str(), error.c_str());
        return;
    }
    if (wasReset) {
        DropPending();
        LineBuffer.clear();
    }
}

void ReadControl(int64_t nowMs) {
    char chunk[512];
    ssize_t n;
    while ((n = read(ControlFd, chunk, sizeof chunk)) > 0) {
        for (ssize_t i = 0; i < n; i++) {
            char c = chunk[i];
            if (c == '\n') {
                HandleControlLine(ControlBuffer, nowMs);
                ControlBuffer.clear();
            } else if (c != '\r' && ControlBuffer.size() < 4096) {
                ControlBuffer += c;
            }
        }
    }
}

void HandleCommand(int64_t nowMs) {
    if (EmuSwallowCommand()) {
        LineBuffer.clear();
        return;
    }
    Record(nowMs, LineBuffer);
    EmuOutput out;
    EmuHandleCommand(LineBuffer.c_str(), nowMs, &out);
    Queue(nowMs, out);
    LineBuffer.clear();
}

void ReadLine(int64_t nowMs) {
    char chunk[4096];
    ssize_t n = read(PtyMaster(), chunk, sizeof chunk);
    // EIO only means nobody holds the port open; EAGAIN that there was nothing after all.
    if (n <= 0)
        return;
    // A board at another speed than the line hears noise: bytes arrive but make no command.
    if (PtyLineSpeed() != EmuBoardBaud(nowMs)) {
        LineBuffer.clear();
        LastWasCr = 0;
        return;
    }
    for (ssize_t i = 0; i < n; i++) {
        char c = chunk[i];
        // Programs end a command with CR; a person at a terminal sends LF. The LF of a CR LF
        // pair ends nothing.
        if (c == '\r' || (c == '\n' && !LastWasCr))
            HandleCommand(nowMs);
        else if (c != '\n' && LineBuffer.size() <= EMU_COMMAND_MAX)
            LineBuffer += c;
        LastWasCr = c == '\r';
    }
}

void WriteDue(int64_t nowMs) {
    while (!Pending.empty() && Pending.front().dueMs <= nowMs) {
        std::string& bytes = Pending.front().bytes;
        ssize_t n = write(PtyMaster(), bytes.data(), bytes.size());
        if (n < 0)
            return;
        PendingBytes -= (size_t)n;
        bytes.erase(0, (size_t)n);
        if (!bytes.empty())
            return;
        Pending.pop_front();
    }
}

int PollTimeout(int64_t nowMs) {
    int64_t wait = 1000;
    // A reply already due waits for POLLOUT instead: when nobody reads the port the line
    // stays full, and a zero time-out would spin.
    if (!Pending.empty() && Pending.front().dueMs > nowMs)
        wait = Pending.front().dueMs - nowMs;
    if (ReplugAtMs >= 0 && ReplugAtMs - nowMs < wait)
        wait = ReplugAtMs - nowMs;
    return wait < 0 ? 0 : (int)wait;
}

void Run() {
    while (!StopRequested) {
        int64_t now = NowMs();
        CheckHangup(now);
        struct pollfd fds[2];
        int count = 0;
        int lineIndex = -1;
        int controlIndex = -1;
        int timeout = PollTimeout(now);
        if (PtyIsOpen()) {
            lineIndex = count;
            fds[count].fd = PtyMaster();
            fds[count].events = POLLIN;
            if (!Pending.empty() && Pending.front().dueMs <= now)
                fds[count].events |= POLLOUT;
            fds[count++].revents = 0;
        }
        if (ControlFd >= 0) {
            controlIndex = count;
            fds[count].fd = ControlFd;
            fds[count].events = POLLIN;
            fds[count++].revents = 0;
        }
        // The stop signals are blocked everywhere but inside the wait, so one that arrives
        // just before it still ends the wait at once.
        struct timespec wait = {timeout / 1000, (long)(timeout % 1000) * 1000000L};
        int ready = ppoll(fds, count, &wait, &WaitMask);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            perror("torvan-emu: poll");
            return;
        }
        now = NowMs();
        if (controlIndex >= 0 && (fds[controlIndex].revents & POLLIN))
            ReadControl(now);
        if (lineIndex >= 0 && PtyIsOpen()) {
            short revents = fds[lineIndex].revents;
            if (revents & POLLIN)
                ReadLine(now);
            if (revents & POLLOUT)
                WriteDue(now);
            // With our own slave open the master should never hang up; if it does, do not
            // spin on it.
            if ((revents & (POLLHUP | POLLERR)) && !(revents & POLLIN))
                usleep(10000);
        }
    }
}

} // namespace

int main(int argc, char** argv) {
    EmuSettings settings;
    if (!ParseArgs(argc, argv, &settings))
        return 2;

    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = OnStopSignal;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    sigprocmask(SIG_BLOCK, &stopSignals, &WaitMask);
    signal(SIGPIPE, SIG_IGN);

    if (RecordPath) {
        RecordFile = fopen(RecordPath, "a");
        if (!RecordFile) {
            fprintf(stderr, "torvan-emu: %s: %s\n", RecordPath, strerror(errno));
            return 1;
        }
    }
    if (ControlPath && !OpenControl())
        return 1;

    int64_t now = NowMs();
    EmuModelStart(&settings, now);
    if (!Plug(now))
        return 1;
    printf("%s\nready\n", PtySlaveName());
    fflush(stdout);

    Run();

    PtyClose(LinkPath);
    if (ControlFd >= 0)
        close(ControlFd);
    if (RecordFile)
        fclose(RecordFile);
    return 0;
}

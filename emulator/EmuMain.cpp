// torvan-emu: a Torvan flow board on a pseudo-terminal, for the program's tests and for trying
// the program without hardware. One poll loop moves bytes between the pty and the board's
// line layer (EmuLine.h, which keeps the reply timing, the speed gate and the cable) and
// serves the control FIFO.
#include "emulator/EmuLine.h"
#include "emulator/EmuModel.h"
#include "emulator/EmuPty.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

namespace {

// Enough for every command one read of the line can hold between two writes of the file.
const size_t RECORD_ENTRIES = 16384;

const char* LinkPath;
const char* RecordPath;
const char* ControlPath;
FILE* RecordFile;
int ControlFd = -1;
volatile sig_atomic_t StopRequested;
sigset_t WaitMask;

std::string ControlBuffer;
EmuLine* Line;
uint64_t RecordWritten;     // entries of the line's record already looked at for the file
unsigned long PtyPlugCount; // the line's plug count when the pty was last made

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

// The record file takes the commands the board heard, from the line's record.
void WriteRecord() {
    uint64_t total = EmuRecordTotal(Line);
    if (RecordWritten < EmuRecordFirst(Line))
        RecordWritten = EmuRecordFirst(Line);
    for (; RecordWritten < total; RecordWritten++) {
        const EmuRecordEntry* entry = EmuRecordAt(Line, RecordWritten);
        if (!RecordFile || entry->Kind != EMU_REC_COMMAND)
            continue;
        fprintf(RecordFile, "%lld %s\n", (long long)entry->Ms, entry->Text.c_str());
        fflush(RecordFile);
    }
}

int Plug(int64_t nowMs) {
    char error[256];
    PtyPlugCount = EmuLinePlugCount(Line);
    if (!PtyOpen(LinkPath, EmuBoardBaud(EmuLineBoard(Line), nowMs), error, sizeof error)) {
        fprintf(stderr, "torvan-emu: %s\n", error);
        return 0;
    }
    return 1;
}

// The pty follows the line's cable: gone while it is out, a new one each time it returns.
void FollowCable(int64_t nowMs) {
    int plugged = EmuLinePlugged(Line, nowMs);
    if (PtyIsOpen() && (!plugged || PtyPlugCount != EmuLinePlugCount(Line)))
        PtyClose(LinkPath);
    if (plugged && !PtyIsOpen())
        Plug(nowMs);
}

void HandleControlLine(const std::string& line, int64_t nowMs) {
    if (line.empty())
        return;
    std::string error;
    if (!EmuLineControl(Line, line.c_str(), nowMs, &error))
        fprintf(stderr, "torvan-emu: control '%s': %s\n", line.c_str(), error.c_str());
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

void ReadLine(int64_t nowMs) {
    char chunk[4096];
    ssize_t n = read(PtyMaster(), chunk, sizeof chunk);
    // EIO only means nobody holds the port open; EAGAIN that there was nothing after all.
    if (n <= 0)
        return;
    EmuLineReceive(Line, chunk, (size_t)n, PtyLineSpeed(), nowMs);
    WriteRecord();
}

int ReplyDue(int64_t nowMs) {
    const char* bytes;
    return EmuLineDue(Line, nowMs, &bytes) > 0;
}

void WriteDue(int64_t nowMs) {
    const char* bytes;
    size_t count;
    while ((count = EmuLineDue(Line, nowMs, &bytes)) > 0) {
        ssize_t n = write(PtyMaster(), bytes, count);
        if (n < 0)
            return;
        EmuLineTake(Line, (size_t)n);
        if ((size_t)n < count)
            return;
    }
}

int PollTimeout(int64_t nowMs) {
    int64_t wait = 1000;
    // A reply already due waits for POLLOUT instead: when nobody reads the port the line
    // stays full, and a zero time-out would spin.
    int64_t next = EmuLineNextChangeMs(Line, nowMs);
    if (next >= 0 && next - nowMs < wait)
        wait = next - nowMs;
    return wait < 0 ? 0 : (int)wait;
}

void Run() {
    while (!StopRequested) {
        int64_t now = NowMs();
        FollowCable(now);
        struct pollfd fds[2];
        int count = 0;
        int lineIndex = -1;
        int controlIndex = -1;
        int timeout = PollTimeout(now);
        if (PtyIsOpen()) {
            lineIndex = count;
            fds[count].fd = PtyMaster();
            fds[count].events = POLLIN;
            if (ReplyDue(now))
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
    Line = EmuLineCreate(&settings, now, RECORD_ENTRIES);
    if (!Line) {
        fprintf(stderr, "torvan-emu: out of memory\n");
        return 1;
    }
    // The pty is made even for a board that starts unplugged, so that its name is printed;
    // the loop takes it away at once.
    if (!Plug(now))
        return 1;
    printf("%s\nready\n", PtySlaveName());
    fflush(stdout);

    Run();

    PtyClose(LinkPath);
    EmuLineDestroy(Line);
    if (ControlFd >= 0)
        close(ControlFd);
    if (RecordFile)
        fclose(RecordFile);
    return 0;
}

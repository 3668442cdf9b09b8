#include "ctl/CtlPlatform.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <climits>
#include <string>
#include <mutex>
#include <system_error>
#include <thread>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

// Set by the signal handler, read by every board's thread: an atomic, which a lock-free int
// also makes safe to set from a handler.
static std::atomic<int> InterruptFlag{0};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free flag");

static void OnInterrupt(int) {
    InterruptFlag.store(1);
}

void InstallInterruptHandler() {
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    // No SA_RESTART: a blocking read returns early so the loops see the flag sooner.
    action.sa_flags = 0;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
    // Ctrl-\ ends a command as Ctrl-C does (its default would dump core, the board left at
    // 230400).
    sigaction(SIGQUIT, &action, nullptr);
    // "capture ... | head" closes the pipe: the next write fails with EPIPE and the command
    // ends through its error path, which puts the board back.
    signal(SIGPIPE, SIG_IGN);
}

int Interrupted() {
    return InterruptFlag.load() != 0;
}

void RunFinished() {}

LogTimestamp CurrentLocalTime() {
    timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    tm local;
    localtime_r(&now.tv_sec, &local);
    LogTimestamp stamp;
    stamp.Year = local.tm_year + 1900;
    stamp.Month = local.tm_mon + 1;
    stamp.Day = local.tm_mday;
    stamp.Hour = local.tm_hour;
    stamp.Minute = local.tm_min;
    stamp.Second = local.tm_sec;
    stamp.Milliseconds = (int)(now.tv_nsec / 1000000);
    return stamp;
}

// Makes the folder when missing (mode 0700); 1 when it is then a real folder.
static int MakeFolder(const char* path) {
    if (mkdir(path, 0700) != 0 && errno != EEXIST) {
        return 0;
    }
    struct stat info;
    return lstat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

// A folder only this user can change: no link, the user's own, no write for others.
static int PrivateFolder(const char* path) {
    struct stat info;
    return lstat(path, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
           (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

int StateFolder(char* out, size_t outSize, char* whyOut, size_t whySize) {
    const char* state = getenv("XDG_STATE_HOME");
    const char* home = getenv("HOME");
    char base[1024];
    if (state != nullptr && state[0] == '/') {
        snprintf(base, sizeof base, "%s", state);
    } else if (home != nullptr && home[0] == '/') {
        char local[1024];
        snprintf(local, sizeof local, "%s/.local", home);
        MakeFolder(local);
        snprintf(base, sizeof base, "%s/.local/state", home);
    } else {
        // No home: a folder of the user's own in the temporary folder, made private here.
        const char* temp = getenv("TMPDIR");
        snprintf(out, outSize, "%s/torvanctl-%ld",
                 temp != nullptr && temp[0] == '/' ? temp : "/tmp", (long)geteuid());
        if (MakeFolder(out) && PrivateFolder(out)) {
            return 1;
        }
        snprintf(whyOut, whySize, "%s is not a private folder of this user", out);
        return 0;
    }
    MakeFolder(base);
    snprintf(out, outSize, "%s/torvanctl", base);
    if (MakeFolder(out) && PrivateFolder(out)) {
        return 1;
    }
    snprintf(whyOut, whySize, "%s is not a private folder of this user", out);
    return 0;
}

FILE* CreateNewFile(const char* path, int* existed) {
    *existed = 0;
    int fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (fd < 0) {
        *existed = errno == EEXIST;
        return nullptr;
    }
    FILE* file = fdopen(fd, "w");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

int CloseSyncedFile(FILE* file) {
    int ok = fflush(file) == 0 && fsync(fileno(file)) == 0;
    return fclose(file) == 0 && ok;
}

FILE* OpenPlainFile(const char* path, int* isLink) {
    *isLink = 0;
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        *isLink = errno == ELOOP;
        return nullptr;
    }
    FILE* file = fdopen(fd, "r");
    if (file == nullptr) {
        close(fd);
    }
    return file;
}

// The path a file name leads to, whether or not the file is there yet: its folder resolved
// (links, "." and "..") and its own name after it. "" when the folder cannot be resolved.
static std::string ResolvedPath(const char* path) {
    char resolved[PATH_MAX];
    if (realpath(path, resolved) != nullptr) {
        return resolved;
    }
    std::string text = path;
    size_t slash = text.find_last_of('/');
    std::string folder = slash == std::string::npos ? "." : text.substr(0, slash + 1);
    std::string name = slash == std::string::npos ? text : text.substr(slash + 1);
    if (name.empty() || name == "." || name == ".." ||
        realpath(folder.c_str(), resolved) == nullptr) {
        return "";
    }
    return std::string(resolved) + (resolved[1] == '\0' ? "" : "/") + name;
}

int SamePath(const char* a, const char* b) {
    if (strcmp(a, b) == 0) {
        return 1;
    }
    struct stat first, second;
    if (stat(a, &first) == 0 && stat(b, &second) == 0) {
        return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
    }
    // Not made yet: "r.csv" and "./r.csv" will still be one file.
    std::string resolvedA = ResolvedPath(a), resolvedB = ResolvedPath(b);
    return !resolvedA.empty() && resolvedA == resolvedB;
}

void Utf8Arguments(int*, char***) {}

CtlThread StartCtlThread(void (*body)(void*), void* arg) {
    try {
        return new std::thread(body, arg);
    } catch (const std::system_error&) {
        return nullptr;
    }
}

void JoinCtlThread(CtlThread thread) {
    auto* running = static_cast<std::thread*>(thread);
    running->join();
    delete running;
}

CtlLock NewCtlLock() {
    return new std::mutex;
}

void HoldCtlLock(CtlLock lock) {
    static_cast<std::mutex*>(lock)->lock();
}

void ReleaseCtlLock(CtlLock lock) {
    static_cast<std::mutex*>(lock)->unlock();
}

void FreeCtlLock(CtlLock lock) {
    delete static_cast<std::mutex*>(lock);
}

int OutputIsTerminal() {
    return isatty(STDOUT_FILENO);
}

int MakeOutputFolder(const char* path) {
    if (mkdir(path, 0777) != 0 && errno != EEXIST) {
        return 0;
    }
    struct stat info;
    return stat(path, &info) == 0 && S_ISDIR(info.st_mode);
}

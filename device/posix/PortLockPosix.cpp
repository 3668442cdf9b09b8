// The per-port lock on Linux: an advisory flock on a lock file named after the tty, which also
// records the holder's pid so that the next program can say who has the port. The file is
// named the UUCP way ("LCK..ttyUSB0") in the system's lock folder, so terminal programs that
// honour such files see it too. The tty itself is also opened exclusively (TIOCEXCL) by the
// serial port while it is open, which keeps out programs that know nothing of lock files.
#include "device/PortLock.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <new>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

struct HeldLock {
    int Fd;
    char Path[PATH_MAX];
};

// The system's lock folder where this user may write in it (/run/lock is open to all on
// Debian), else the user's runtime folder, else the temporary folder: two programs of one
// user always meet in the same place.
void LockFolder(char* out, size_t outSize) {
    const char* candidates[] = {"/run/lock", "/var/lock", getenv("XDG_RUNTIME_DIR"),
                                getenv("TMPDIR"), "/tmp"};
    for (const char* folder : candidates) {
        struct stat info;
        if (folder != nullptr && folder[0] == '/' && stat(folder, &info) == 0 &&
            S_ISDIR(info.st_mode) && access(folder, W_OK | X_OK) == 0) {
            snprintf(out, outSize, "%s", folder);
            return;
        }
    }
    snprintf(out, outSize, "/tmp");
}

} // namespace

int CanonicalPortName(const char* portName, char* out, size_t outSize) {
    char given[PATH_MAX];
    if (strchr(portName, '/') != nullptr) {
        snprintf(given, sizeof given, "%s", portName);
    } else {
        snprintf(given, sizeof given, "/dev/%s", portName);
    }
    char resolved[PATH_MAX];
    const char* device = realpath(given, resolved) != nullptr ? resolved : given;
    if (strlen(device) >= outSize) {
        if (outSize > 0) {
            out[0] = '\0';
        }
        return 0;
    }
    snprintf(out, outSize, "%s", device);
    return 1;
}

namespace {

// "LCK..ttyUSB0" for /dev/ttyUSB0, "LCK..pts_3" for /dev/pts/3: the device the name leads to,
// so that two links to one tty share a lock.
void LockPath(const char* portName, char* out, size_t outSize) {
    char canonical[PATH_MAX];
    CanonicalPortName(portName, canonical, sizeof canonical);
    const char* device = canonical;
    if (strncmp(device, "/dev/", 5) == 0) {
        device += 5;
    } else {
        device += device[0] == '/' ? 1 : 0;
    }
    char name[PATH_MAX];
    size_t used = 0;
    for (const char* p = device; *p != '\0' && used + 1 < sizeof name; ++p) {
        name[used++] = *p == '/' ? '_' : *p;
    }
    name[used] = '\0';
    char folder[PATH_MAX];
    LockFolder(folder, sizeof folder);
    snprintf(out, outSize, "%s/LCK..%.200s", folder, name);
}

// The pid a lock file records (UUCP's ten-column ASCII), or 0.
long RecordedPid(int fd) {
    char text[32];
    ssize_t got = pread(fd, text, sizeof text - 1, 0);
    if (got <= 0) {
        return 0;
    }
    text[got] = '\0';
    long pid = strtol(text, nullptr, 10);
    return pid > 0 ? pid : 0;
}

void Describe(const char* portName, long pid, char* whyOut, size_t whySize) {
    if (whyOut == nullptr || whySize == 0) {
        return;
    }
    if (pid > 0) {
        snprintf(whyOut, whySize, "%s is in use by process %ld", portName, pid);
    } else {
        snprintf(whyOut, whySize, "%s is in use by another program", portName);
    }
}

} // namespace

// A pid recorded in a lock file names a live holder when the process exists (kill with signal
// 0 succeeds, or fails only for want of permission: another user's process).
static int Alive(long pid) {
    return pid > 0 && (kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM);
}

int AcquirePortLock(const char* portName, PortLockRec* lock, char* whyOut, size_t whySize) {
    if (lock->Handle != nullptr) {
        return 1;
    }
    if (whyOut != nullptr && whySize > 0) {
        whyOut[0] = '\0';
    }
    HeldLock* held = new (std::nothrow) HeldLock;
    if (held == nullptr) {
        Describe(portName, 0, whyOut, whySize);
        return 0;
    }
    LockPath(portName, held->Path, sizeof held->Path);
    // Whatever keeps the lock from being taken for certain counts as another holder: the port
    // is never used without it.
    long holder = 0;
    // A holder that gives the lock up removes the file: a file locked after that removal is no
    // longer the one at the path, so the attempt starts again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        // O_NONBLOCK: a FIFO planted under the lock's name must not hold the open up.
        int fd = open(held->Path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EACCES) {
            // A lock file made by another user: it can still be read and locked.
            fd = open(held->Path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        }
        if (fd < 0) {
            // A link, a folder or anything else in the lock's place, or a file that cannot be
            // opened: the port is not ours to use.
            break;
        }
        struct stat opened, named;
        if (fstat(fd, &opened) != 0 || !S_ISREG(opened.st_mode)) {
            close(fd);
            break;
        }
        if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
            holder = RecordedPid(fd);
            close(fd);
            break;
        }
        if (lstat(held->Path, &named) != 0 || opened.st_ino != named.st_ino ||
            opened.st_dev != named.st_dev) {
            close(fd);
            continue;
        }
        // A program that keeps the UUCP convention without flock (a terminal program) says it
        // holds the port by its live pid in the file; a dead pid's file is stale and taken over.
        long recorded = RecordedPid(fd);
        if (recorded != 0 && recorded != static_cast<long>(getpid()) && Alive(recorded)) {
            holder = recorded;
            close(fd);
            break;
        }
        char text[16];
        int length = snprintf(text, sizeof text, "%10ld\n", static_cast<long>(getpid()));
        if (ftruncate(fd, 0) == 0 && pwrite(fd, text, static_cast<size_t>(length), 0) < 0) {
            // Unrecorded, the lock still holds; others only cannot name this process.
        }
        held->Fd = fd;
        lock->Handle = held;
        return 1;
    }
    Describe(portName, holder, whyOut, whySize);
    delete held;
    return 0;
}

void ReleasePortLock(PortLockRec* lock) {
    HeldLock* held = static_cast<HeldLock*>(lock->Handle);
    if (held == nullptr) {
        return;
    }
    if (held->Fd >= 0) {
        // Removed while still locked, so nobody can lock the old file after it has gone.
        unlink(held->Path);
        close(held->Fd);
    }
    delete held;
    lock->Handle = nullptr;
}

int PortLockHeldElsewhere(const char* portName) {
    char path[PATH_MAX];
    LockPath(portName, path, sizeof path);
    struct stat info;
    if (lstat(path, &info) != 0) {
        return 0;
    }
    if (!S_ISREG(info.st_mode)) {
        return 1;
    }
    int fd = open(path, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return 1;
    }
    int held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    long recorded = RecordedPid(fd);
    close(fd);
    return held || (recorded != static_cast<long>(getpid()) && Alive(recorded));
}

#include "emulator/EmuPty.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace {

int MasterFd = -1;
// Held open for the emulator's whole life: with no slave open the master reads EIO, and the
// program closes and reopens the port on every connection. It also lets us read the speed
// the program set.
int SlaveFd = -1;
char SlaveName[128];

const struct {
    speed_t code;
    long baud;
} Speeds[] = {
    {B1200, 1200},   {B2400, 2400},   {B4800, 4800},     {B9600, 9600},     {B19200, 19200},
    {B38400, 38400}, {B57600, 57600}, {B115200, 115200}, {B230400, 230400},
};

speed_t SpeedCode(long baud) {
    for (const auto& s : Speeds)
        if (s.baud == baud)
            return s.code;
    return B9600;
}

void CloseFds() {
    if (SlaveFd >= 0)
        close(SlaveFd);
    if (MasterFd >= 0)
        close(MasterFd);
    SlaveFd = -1;
    MasterFd = -1;
    SlaveName[0] = '\0';
}

int Fail(const char* what, char* errorOut, int errorSize) {
    snprintf(errorOut, errorSize, "%s: %s", what, strerror(errno));
    CloseFds();
    return 0;
}

// Points linkPath at the slave in one step, so a reader never finds the path missing while
// an old link is being replaced.
int Relink(const char* linkPath, char* errorOut, int errorSize) {
    char temp[4096];
    int n = snprintf(temp, sizeof temp, "%s.tmp%ld", linkPath, (long)getpid());
    if (n < 0 || n >= (int)sizeof temp) {
        snprintf(errorOut, errorSize, "link path too long");
        CloseFds();
        return 0;
    }
    unlink(temp);
    if (symlink(SlaveName, temp) != 0)
        return Fail("symlink", errorOut, errorSize);
    if (rename(temp, linkPath) != 0) {
        unlink(temp);
        return Fail("rename link", errorOut, errorSize);
    }
    return 1;
}

} // namespace

int PtyOpen(const char* linkPath, long baud, char* errorOut, int errorSize) {
    CloseFds();
    MasterFd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (MasterFd < 0)
        return Fail("posix_openpt", errorOut, errorSize);
    if (grantpt(MasterFd) != 0 || unlockpt(MasterFd) != 0)
        return Fail("grantpt/unlockpt", errorOut, errorSize);
    if (ptsname_r(MasterFd, SlaveName, sizeof SlaveName) != 0)
        return Fail("ptsname_r", errorOut, errorSize);
    SlaveFd = open(SlaveName, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (SlaveFd < 0)
        return Fail("open slave", errorOut, errorSize);

    struct termios tio;
    if (tcgetattr(SlaveFd, &tio) != 0)
        return Fail("tcgetattr", errorOut, errorSize);
    cfmakeraw(&tio);
    cfsetispeed(&tio, SpeedCode(baud));
    cfsetospeed(&tio, SpeedCode(baud));
    if (tcsetattr(SlaveFd, TCSANOW, &tio) != 0)
        return Fail("tcsetattr", errorOut, errorSize);
    return Relink(linkPath, errorOut, errorSize);
}

void PtyClose(const char* linkPath) {
    // Remove the link only while it still points at our slave: another emulator may have
    // taken the path over.
    char target[sizeof SlaveName];
    ssize_t n = readlink(linkPath, target, sizeof target - 1);
    if (n > 0) {
        target[n] = '\0';
        if (strcmp(target, SlaveName) == 0)
            unlink(linkPath);
    }
    CloseFds();
}

int PtyIsOpen() {
    return MasterFd >= 0;
}

int PtyMaster() {
    return MasterFd;
}

const char* PtySlaveName() {
    return SlaveName;
}

long PtyLineSpeed() {
    struct termios tio;
    if (SlaveFd < 0 || tcgetattr(SlaveFd, &tio) != 0)
        return 0;
    speed_t code = cfgetospeed(&tio);
    for (const auto& s : Speeds)
        if (s.code == code)
            return s.baud;
    return 0;
}

void PtyFlushToOtherSide() {
    if (SlaveFd >= 0)
        tcflush(SlaveFd, TCIFLUSH);
}

// The serial port on Linux (termios), used natively so that the device code runs against the
// board emulator's pty. It mirrors the Win32 port: raw 8-bit bytes, no flow control, and a
// one-byte read that gives up after about 152 ms (the 150 ms constant plus 2 ms per byte).
// While open the tty is held exclusively (no second open succeeds, unless by root), and DTR
// and RTS are held low as the Win32 port holds them.
#include "device/SerialPort.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr int READ_TIMEOUT_MS = 152;

// The handle is the descriptor plus one, so that descriptor 0 is not the null handle.
ComHandle HandleFromFd(int fd) {
    return reinterpret_cast<ComHandle>(static_cast<intptr_t>(fd) + 1);
}

int FdFromHandle(ComHandle handle) {
    return static_cast<int>(reinterpret_cast<intptr_t>(handle) - 1);
}

speed_t SpeedCode(uint32_t baud) {
    switch (baud) {
    case 9600:
        return B9600;
    case 19200:
        return B19200;
    case 230400:
        return B230400;
    default:
        return B0;
    }
}

tcflag_t ByteSizeFlag(uint8_t dataBits) {
    switch (dataBits) {
    case 5:
        return CS5;
    case 6:
        return CS6;
    case 7:
        return CS7;
    default:
        return CS8;
    }
}

// A name without a slash ("ttyUSB0") is taken from /dev, as COM names are on Windows.
void DevicePath(const char* name, char* path, size_t pathSize) {
    if (strchr(name, '/') != nullptr) {
        snprintf(path, pathSize, "%s", name);
    } else {
        snprintf(path, pathSize, "/dev/%s", name);
    }
}

int OpenDevice(const char* name) {
    char path[512];
    DevicePath(name, path, sizeof path);
    // O_NONBLOCK keeps open() from waiting for a carrier on real serial lines; reads are
    // paced by poll() anyway.
    return open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
}

int Configure(int fd, uint32_t baud, char parity, uint8_t dataBits, float stopBits) {
    speed_t speed = SpeedCode(baud);
    if (speed == B0 || dataBits < 5 || dataBits > 8) {
        errno = EINVAL;
        return 0;
    }
    termios tio;
    if (tcgetattr(fd, &tio) != 0) {
        return 0;
    }
    cfmakeraw(&tio);
    tio.c_cflag &= ~(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    tio.c_cflag |= ByteSizeFlag(dataBits) | CLOCAL | CREAD;
    tio.c_iflag &= ~(IXON | IXOFF | IXANY);
    switch (ParityCode(parity)) {
    case 1:
        tio.c_cflag |= PARENB | PARODD;
        break;
    case 2:
        tio.c_cflag |= PARENB;
        break;
    case 3:
    case 4:
#ifdef CMSPAR
        tio.c_cflag |= PARENB | CMSPAR | (ParityCode(parity) == 3 ? PARODD : 0);
        break;
#else
        errno = EINVAL;
        return 0;
#endif
    default:
        break;
    }
    if (StopBitsCode(stopBits) == 2) {
        tio.c_cflag |= CSTOPB;
    }
    tio.c_cc[VMIN] = 0;
    tio.c_cc[VTIME] = 0;
    if (cfsetispeed(&tio, speed) != 0 || cfsetospeed(&tio, speed) != 0) {
        return 0;
    }
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        return 0;
    }
    // Like the purge on Windows: nothing left over from before this open reaches a reply.
    tcflush(fd, TCIOFLUSH);
    return 1;
}

long long NowMs() {
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

ComHandle PosixOpen(const char* name, uint32_t baud, char parity, uint8_t dataBits, float stopBits,
                    uint32_t* errorOut) {
    int fd = OpenDevice(name);
    if (fd < 0) {
        *errorOut = static_cast<uint32_t>(errno);
        return nullptr;
    }
    if (!Configure(fd, baud, parity, dataBits, stopBits)) {
        *errorOut = static_cast<uint32_t>(errno != 0 ? errno : EINVAL);
        close(fd);
        return nullptr;
    }
    // The kernel raises DTR and RTS at every open; the board's adapters are wired for a line
    // where both stay low. A pty has no modem lines: the call fails there and that is fine.
    int lines = TIOCM_DTR | TIOCM_RTS;
    ioctl(fd, TIOCMBIC, &lines);
    ioctl(fd, TIOCEXCL);
    return HandleFromFd(fd);
}

// Waits up to the read time-out for the first byte, then takes whatever has arrived, up to
// count bytes, without waiting for more.
int PosixRead(ComHandle handle, uint8_t* bytes, size_t count) {
    if (handle == nullptr) {
        return -1;
    }
    int fd = FdFromHandle(handle);
    long long deadline = NowMs() + READ_TIMEOUT_MS;
    for (;;) {
        long long left = deadline - NowMs();
        if (left < 0) {
            return -1;
        }
        pollfd pfd = {fd, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(left));
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        if (ready == 0) {
            return -1;
        }
        if ((pfd.revents & POLLIN) == 0) {
            // Hang-up or error without data: the peer is gone, no byte will come.
            return -1;
        }
        ssize_t got = read(fd, bytes, count);
        if (got > 0) {
            return static_cast<int>(got);
        }
        if (got < 0 && (errno == EAGAIN || errno == EINTR)) {
            continue;
        }
        return -1;
    }
}

int PosixGetChar(ComHandle handle) {
    uint8_t byte = 0;
    return PosixRead(handle, &byte, 1) == 1 ? byte : -1;
}

int PosixWrite(ComHandle handle, const uint8_t* bytes, size_t count) {
    if (handle == nullptr) {
        return -1;
    }
    int fd = FdFromHandle(handle);
    size_t done = 0;
    long long deadline = NowMs() + 50 + 10 * static_cast<long long>(count);
    while (done < count) {
        ssize_t put = write(fd, bytes + done, count - done);
        if (put > 0) {
            done += static_cast<size_t>(put);
            continue;
        }
        if (put < 0 && errno == EINTR) {
            continue;
        }
        if (put < 0 && errno == EAGAIN) {
            long long left = deadline - NowMs();
            if (left <= 0) {
                return -1;
            }
            pollfd pfd = {fd, POLLOUT, 0};
            poll(&pfd, 1, static_cast<int>(left));
            continue;
        }
        return -1;
    }
    return 0;
}

int PosixClose(ComHandle handle) {
    int fd = FdFromHandle(handle);
    // Exclusive use outlives this descriptor while another one is open (the emulator keeps
    // its own end of a pty), so it is given up explicitly.
    ioctl(fd, TIOCNXCL);
    return close(fd) == 0 ? 1 : 0;
}

uint32_t PosixState(const char* name) {
    if (name == nullptr) {
        return ENOENT;
    }
    int fd = OpenDevice(name);
    if (fd < 0) {
        return static_cast<uint32_t>(errno);
    }
    close(fd);
    return 0;
}

const SerialPortBackend PosixBackend = {PosixOpen,  PosixGetChar, PosixWrite,
                                        PosixClose, PosixState,   PosixRead};

} // namespace

const SerialPortBackend* PlatformSerialPortBackend() {
    return &PosixBackend;
}

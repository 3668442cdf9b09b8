// The serial port on Windows: a COM device opened for plain synchronous I/O, with fixed
// time-outs so that a one-byte read that sees nothing gives up after about 152 ms.
#include "device/SerialPort.h"

#include <windows.h>

#include <cstdio>

namespace {

// "\\.\COMn" reaches ports numbered above 9, which the bare name does not.
HANDLE CreatePortFile(const char* name) {
    char path[300];
    snprintf(path, sizeof path, "\\\\.\\%s", name);
    return CreateFileA(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

void ApplyTimeouts(HANDLE port) {
    COMMTIMEOUTS timeouts;
    GetCommTimeouts(port, &timeouts);
    timeouts.ReadIntervalTimeout = 3;
    timeouts.ReadTotalTimeoutMultiplier = 2;
    timeouts.ReadTotalTimeoutConstant = 150;
    timeouts.WriteTotalTimeoutMultiplier = 10;
    timeouts.WriteTotalTimeoutConstant = 50;
    if (!SetCommTimeouts(port, &timeouts)) {
        // The port still works with the driver's own time-outs, so opening goes on.
        printf("SetCommTimeouts Failed\n");
    }
}

void ApplyLineSettings(DCB* dcb, uint32_t baud, char parity, uint8_t dataBits, float stopBits) {
    dcb->BaudRate = baud;
    dcb->ByteSize = dataBits;
    dcb->Parity = static_cast<BYTE>(ParityCode(parity));
    dcb->StopBits = static_cast<BYTE>(StopBitsCode(stopBits));
    dcb->fParity = dcb->Parity != NOPARITY ? 1 : 0;
    dcb->fBinary = 1;
    dcb->fOutxCtsFlow = 0;
    dcb->fOutxDsrFlow = 0;
    dcb->fDtrControl = DTR_CONTROL_DISABLE;
    dcb->fDsrSensitivity = 0;
    dcb->fTXContinueOnXoff = 0;
    dcb->fOutX = 0;
    dcb->fInX = 0;
    dcb->fErrorChar = 0;
    dcb->fNull = 0;
    dcb->fRtsControl = RTS_CONTROL_DISABLE;
    // A line error stops reads and writes until ClearCommError, which GetChar calls after
    // every failed read, so a framing error costs one reply rather than a stuck port.
    dcb->fAbortOnError = 1;
}

// The caller only ever sees null and has nothing to close, so the handle is closed here;
// otherwise the port would stay held until the program ends. The error code goes out as for
// a failed CreateFile: under Wine a COM name mapped to a missing device opens and fails
// only here.
ComHandle FailConfiguration(HANDLE port, uint32_t* errorOut) {
    DWORD error = GetLastError();
    CloseHandle(port);
    *errorOut = error != 0 ? error : ERROR_INVALID_FUNCTION;
    return nullptr;
}

ComHandle Win32Open(const char* name, uint32_t baud, char parity, uint8_t dataBits, float stopBits,
                    uint32_t* errorOut) {
    HANDLE port = CreatePortFile(name);
    if (port == INVALID_HANDLE_VALUE) {
        *errorOut = GetLastError();
        return nullptr;
    }
    ApplyTimeouts(port);

    DCB dcb;
    ZeroMemory(&dcb, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(port, &dcb)) {
        return FailConfiguration(port, errorOut);
    }
    ApplyLineSettings(&dcb, baud, parity, dataBits, stopBits);

    // Break and errors are cleared and both queues purged before the new settings take
    // effect, so no byte received at the old speed reaches the first reply.
    if (!ClearCommBreak(port) || !ClearCommError(port, nullptr, nullptr) ||
        !PurgeComm(port, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR) ||
        !SetCommState(port, &dcb)) {
        return FailConfiguration(port, errorOut);
    }
    return port;
}

int Win32GetChar(ComHandle handle) {
    if (handle == nullptr) {
        return -1;
    }
    unsigned char byte = 0;
    DWORD got = 0;
    if (ReadFile(handle, &byte, 1, &got, nullptr) && got == 1) {
        return byte;
    }
    // Also lifts the abort state that fAbortOnError sets after a line error.
    DWORD errors = 0;
    COMSTAT status;
    ClearCommError(handle, &errors, &status);
    return -1;
}

// Asks the driver how many bytes wait in its input queue and takes them (up to count) in one
// ReadFile, which then returns at once; with nothing waiting it reads one byte under the
// port's time-outs, exactly as GetChar does. Under Wine every ReadFile is a round trip to the
// server, so a 44-byte frame costs a few calls instead of 44.
int Win32Read(ComHandle handle, uint8_t* bytes, size_t count) {
    if (handle == nullptr) {
        return -1;
    }
    DWORD errors = 0;
    COMSTAT status;
    DWORD wanted = 1;
    if (ClearCommError(handle, &errors, &status)) {
        // A line error would have failed the read (fAbortOnError); the call above has lifted
        // it, so the read fails here as it would have, and the next one goes through.
        if (errors != 0) {
            return -1;
        }
        if (status.cbInQue > 1) {
            wanted = status.cbInQue < count ? status.cbInQue : static_cast<DWORD>(count);
        }
    }
    DWORD got = 0;
    if (ReadFile(handle, bytes, wanted, &got, nullptr) && got > 0) {
        return static_cast<int>(got);
    }
    ClearCommError(handle, &errors, &status);
    return -1;
}

int Win32Write(ComHandle handle, const uint8_t* bytes, size_t count) {
    if (handle == nullptr) {
        return -1;
    }
    DWORD written = 0;
    return WriteFile(handle, bytes, static_cast<DWORD>(count), &written, nullptr) ? 0 : -1;
}

int Win32Close(ComHandle handle) {
    return CloseHandle(handle) ? 1 : 0;
}

uint32_t Win32State(const char* name) {
    if (name == nullptr) {
        return ERROR_INVALID_PARAMETER;
    }
    HANDLE port = CreatePortFile(name);
    DWORD error = port == INVALID_HANDLE_VALUE ? GetLastError() : 0;
    if (port != INVALID_HANDLE_VALUE) {
        CloseHandle(port);
    }
    return error;
}

const SerialPortBackend Win32Backend = {Win32Open,  Win32GetChar, Win32Write,
                                        Win32Close, Win32State,   Win32Read};

} // namespace

const SerialPortBackend* PlatformSerialPortBackend() {
    return &Win32Backend;
}

// The serial port operations as the device code sees them: each call goes to the active
// backend, the platform port unless a test has put a scripted byte source in its place.
#include "device/SerialPort.h"

#include <cstring>

namespace {

const SerialPortBackend* ActiveBackend = nullptr;

const SerialPortBackend* Backend() {
    return ActiveBackend != nullptr ? ActiveBackend : PlatformSerialPortBackend();
}

} // namespace

void SetSerialPortBackend(const SerialPortBackend* backend) {
    ActiveBackend = backend;
}

int ParityCode(char parity) {
    switch (parity) {
    case 'O':
    case 'o':
        return 1;
    case 'E':
    case 'e':
        return 2;
    case 'M':
    case 'm':
        return 3;
    case 'S':
    case 's':
        return 4;
    default:
        return 0;
    }
}

int StopBitsCode(float stopBits) {
    return (stopBits > 1.9f && stopBits < 2.1f) ? 2 : 0;
}

ComHandle OpenComPort(const char* name, uint32_t baud, char parity, uint8_t dataBits,
                      float stopBits, uint32_t* errorOut) {
    uint32_t ignored = 0;
    if (errorOut == nullptr) {
        errorOut = &ignored;
    }
    *errorOut = 0;
    if (name == nullptr) {
        return nullptr;
    }
    return Backend()->Open(name, baud, parity, dataBits, stopBits, errorOut);
}

int GetComChar(ComHandle handle) {
    return Backend()->GetChar(handle);
}

int ReadComBytes(ComHandle handle, uint8_t* bytes, int count) {
    if (bytes == nullptr || count <= 0) {
        return -1;
    }
    return Backend()->Read(handle, bytes, static_cast<size_t>(count));
}

int WriteComStr(ComHandle handle, const char* text) {
    if (text == nullptr) {
        return -1;
    }
    return Backend()->Write(handle, reinterpret_cast<const uint8_t*>(text), strlen(text));
}

int WriteComChar(ComHandle handle, uint8_t byte) {
    return Backend()->Write(handle, &byte, 1);
}

int CloseComPort(ComHandle handle) {
    if (handle == nullptr) {
        return 0;
    }
    return Backend()->Close(handle);
}

uint32_t GetComPortState(const char* name) {
    return Backend()->State(name);
}

// The serial port operations every layer above uses. The Win32 implementation opens
// "\\.\COMn"; the POSIX one opens a device path (a name without '/' is looked up as
// /dev/NAME) so the same device code runs natively against the emulator's pty.
#pragma once

#include <cstddef>
#include <cstdint>

typedef void* ComHandle; // null = no port open

ComHandle OpenComPort(const char* name, uint32_t baud, char parity, uint8_t dataBits,
                      float stopBits, uint32_t* errorOut);
int GetComChar(ComHandle handle); // 0..255, or -1 on time-out (about 152 ms) or error
// Reads up to count bytes: those that have already arrived, or, when none has, waits for the
// first as GetComChar does. Returns how many were read (1..count), or -1 on time-out or error.
// One call instead of one per byte where the caller knows how many bytes belong to its reply.
int ReadComBytes(ComHandle handle, uint8_t* bytes, int count);
int WriteComStr(ComHandle handle, const char* text); // 0 ok, -1 failure
int WriteComChar(ComHandle handle, uint8_t byte);    // 0 ok, -1 failure
int CloseComPort(ComHandle handle);                  // non-zero when closed
uint32_t GetComPortState(const char* name);          // 0 when it opens, else the error code

// Line-setting codes shared by both implementations (values are the DCB's).
int ParityCode(char parity);      // 'N'/other 0, 'O' 1, 'E' 2, 'M' 3, 'S' 4; case-insensitive
int StopBitsCode(float stopBits); // 2 (two stop bits) strictly between 1.9 and 2.1, else 0

// Test seam: a table of operations that replaces the platform port (for scripted byte
// sources). Passing null restores the platform implementation.
struct SerialPortBackend {
    ComHandle (*Open)(const char* name, uint32_t baud, char parity, uint8_t dataBits,
                      float stopBits, uint32_t* errorOut);
    int (*GetChar)(ComHandle handle);
    int (*Write)(ComHandle handle, const uint8_t* bytes, size_t count);
    int (*Close)(ComHandle handle);
    uint32_t (*State)(const char* name);
    int (*Read)(ComHandle handle, uint8_t* bytes, size_t count); // as ReadComBytes
};
void SetSerialPortBackend(const SerialPortBackend* backend);
const SerialPortBackend* PlatformSerialPortBackend();

// The reply side of the board conversation. The board answers a command either with ASCII
// text ended by the prompt '>' or with a binary frame:
//   length L (2 bytes, high first; counts the whole frame) | payload (L-4) | checksum (2, high
//   first)
// where 0x1234 + both length bytes + every payload byte + the checksum is 0 modulo 65536.
#include "device/LegacyBoardUtils.h"

#include "device/DeviceClock.h"

#include <atomic>
#include <cstdio>
#include <cstring>

namespace {

// Each thread that reads replies has its own buffers: a reply's text stays valid for the
// thread that asked until it reads the next one, whatever other threads read meanwhile.
thread_local char AsciiBuffer[REPLY_BUFFER_SIZE];
thread_local uint8_t BinaryBuffer[REPLY_BUFFER_SIZE];

// Only the readers add bits; they stay until ClearSerialPortErrors. The program's worker and
// its user-interface thread share one set (the window reads what the worker's link reported);
// a thread that serves a board of its own beside others keeps its own set.
uint32_t SharedSerialPortErrors = 0;
thread_local int ThreadOwnsErrors = 0;
thread_local uint32_t ThreadSerialPortErrors = 0;

uint32_t& SerialPortErrorBits() {
    return ThreadOwnsErrors ? ThreadSerialPortErrors : SharedSerialPortErrors;
}

constexpr uint32_t CHECKSUM_SEED = 0x1234;

std::atomic<int (*)()> AbortCheck{nullptr};

int AbortRequested() {
    int (*check)() = AbortCheck.load();
    return check != nullptr && check() != 0;
}

// A reader that has run past its deadline, or been told to give up, fails as a time-out:
// either way no complete reply came.
int PastDeadline(double deadline) {
    return DeviceNowSeconds() >= deadline || AbortRequested();
}

// Reads exactly count bytes of a frame whose length is known, as many per call as have
// arrived; the first capacity of them go to target, the rest are read off the line and
// dropped. 0 on time-out or past the deadline, with the bytes read so far in target.
int ReadFrameBytes(ComHandle handle, int count, uint8_t* target, int capacity, double deadline) {
    uint8_t overflow[256];
    int done = 0;
    while (done < count) {
        uint8_t* into = overflow;
        int room = count - done;
        if (done < capacity) {
            into = target + done;
            room = room < capacity - done ? room : capacity - done;
        } else if (room > static_cast<int>(sizeof overflow)) {
            room = static_cast<int>(sizeof overflow);
        }
        int got = ReadComBytes(handle, into, room);
        if (got <= 0) {
            return 0;
        }
        done += got;
        // A device that trickles a byte now and then never lets a read time out.
        if (done < count && PastDeadline(deadline)) {
            return 0;
        }
    }
    return 1;
}

// Reads the two length bytes; 0 on time-out.
int ReadFrameLength(ComHandle handle, int* lengthOut, double deadline) {
    uint8_t bytes[2];
    if (!ReadFrameBytes(handle, 2, bytes, 2, deadline)) {
        return 0;
    }
    *lengthOut = (bytes[0] << 8) | bytes[1];
    return 1;
}

} // namespace

int GetAsciiResponseWithin(ComHandle handle, char** textOut, int* countOut, int maxBytes,
                           uint32_t deadlineMs) {
    *textOut = AsciiBuffer;
    *countOut = 0;
    memset(AsciiBuffer, 0, sizeof AsciiBuffer);
    if (maxBytes <= 0 || maxBytes > REPLY_BUFFER_SIZE - 1) {
        maxBytes = REPLY_BUFFER_SIZE - 1;
    }
    const double deadline = DeviceNowSeconds() + deadlineMs / 1000.0;
    int stored = 0;
    for (;;) {
        int byte = GetComChar(handle);
        if (byte < 0) {
            // Callers print what did arrive in their error lines.
            SerialPortErrorBits() |= SERIAL_ERROR_TIMEOUT;
            return 0;
        }
        if (byte == '>') {
            break;
        }
        // A device that talks without ever giving the prompt (a board left streaming, another
        // instrument) fails here once its text outgrows a reply or its time, rather than
        // holding the link for as long as it talks.
        if (stored >= maxBytes || PastDeadline(deadline)) {
            SerialPortErrorBits() |= SERIAL_ERROR_TIMEOUT;
            return 0;
        }
        AsciiBuffer[stored++] = static_cast<char>(byte);
    }
    *countOut = stored + 1;
    return 1;
}

int GetAsciiResponse(ComHandle handle, char** textOut, int* countOut) {
    return GetAsciiResponseWithin(handle, textOut, countOut, REPLY_BUFFER_SIZE - 1,
                                  ASCII_REPLY_DEADLINE_MS);
}

int GetBinaryResponse(ComHandle handle, uint8_t** dataOut, int* countOut) {
    *dataOut = BinaryBuffer;
    *countOut = 0;
    memset(BinaryBuffer, 0, sizeof BinaryBuffer);

    const double deadline = DeviceNowSeconds() + BINARY_REPLY_DEADLINE_MS / 1000.0;
    int length = 0;
    if (!ReadFrameLength(handle, &length, deadline)) {
        SerialPortErrorBits() |= SERIAL_ERROR_TIMEOUT;
        return 0;
    }
    if (length == 0) {
        // The board sends a zero length when it has nothing set up to send; no bytes follow.
        memcpy(BinaryBuffer, "NOT SET", sizeof "NOT SET");
        SerialPortErrorBits() |= SERIAL_ERROR_CHECKSUM;
        return 0;
    }

    // Lengths 1 to 3 cannot hold a checksum; one byte is taken off the line for them. A frame
    // longer than the buffer is still read to its end, so that its tail is not taken for the
    // start of the next reply.
    int toRead = length > 3 ? length - 2 : 1;
    int stored = toRead < REPLY_BUFFER_SIZE ? toRead : REPLY_BUFFER_SIZE;
    if (!ReadFrameBytes(handle, toRead, BinaryBuffer, REPLY_BUFFER_SIZE, deadline)) {
        SerialPortErrorBits() |= SERIAL_ERROR_TIMEOUT;
        return 0;
    }
    if (stored < REPLY_BUFFER_SIZE) {
        BinaryBuffer[stored] = 0;
    }
    if (toRead > REPLY_BUFFER_SIZE) {
        // Part of it was never stored, so it cannot be checked.
        SerialPortErrorBits() |= SERIAL_ERROR_CHECKSUM;
        return 0;
    }

    int payload = length > 4 ? length - 4 : 0;
    uint32_t sum = CHECKSUM_SEED + (length & 0xFF) + ((length >> 8) & 0xFF);
    for (int i = 0; i < payload; i++) {
        sum += BinaryBuffer[i];
    }
    uint32_t checksum =
        (static_cast<uint32_t>(BinaryBuffer[payload]) << 8) | BinaryBuffer[payload + 1];
    if (((sum + checksum) & 0xFFFF) != 0) {
        SerialPortErrorBits() |= SERIAL_ERROR_CHECKSUM;
        return 0;
    }
    *countOut = payload;
    return 1;
}

uint32_t GetSerialPortErrors() {
    return SerialPortErrorBits();
}

void ClearSerialPortErrors() {
    SerialPortErrorBits() = 0;
}

void UseOwnSerialPortErrorsOnThisThread() {
    ThreadOwnsErrors = 1;
    ThreadSerialPortErrors = 0;
}

void AddSerialPortErrors(uint32_t bits) {
    SerialPortErrorBits() |= bits;
}

void SetDeviceAbortCheck(int (*abortRequested)()) {
    AbortCheck.store(abortRequested);
}

int DeviceAbortRequested() {
    return AbortRequested();
}

uint32_t GetNewLine(ComHandle handle) {
    char* text = nullptr;
    int count = 0;
    WriteComStr(handle, "S65\r");
    if (!GetAsciiResponse(handle, &text, &count)) {
        return 0;
    }
    unsigned int value = 0;
    if (sscanf(text, "x%x", &value) != 1) {
        return 0;
    }
    return value;
}

int DisableVerboseResponses(ComHandle handle) {
    char* text = nullptr;
    int count = 0;
    WriteComStr(handle, "S112=0\r");
    return GetAsciiResponse(handle, &text, &count);
}

int BoardValueSendable(const char* text, size_t maxLength) {
    for (size_t i = 0; text[i] != '\0'; i++) {
        if (i >= maxLength || text[i] == '>' || text[i] == '\r' || text[i] == '\n') {
            return 0;
        }
    }
    return 1;
}

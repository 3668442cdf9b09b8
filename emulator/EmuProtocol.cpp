// The board's wire format and the small strict parsers shared by the command set, the control
// channel and the command line.
#include "emulator/EmuProtocol.h"

#include <cmath>
#include <cstdlib>
#include <cstring>

const char* EmuSkipSpaces(const char* s) {
    while (*s == ' ' || *s == '\t')
        s++;
    return s;
}

int EmuParseUnsigned(const char* s, int base, unsigned long max, unsigned long* out) {
    s = EmuSkipSpaces(s);
    if (base == 16 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X'))
        s += 2;
    unsigned long value = 0;
    int digits = 0;
    for (; *s; s++, digits++) {
        int d;
        if (*s >= '0' && *s <= '9')
            d = *s - '0';
        else if (base == 16 && *s >= 'a' && *s <= 'f')
            d = *s - 'a' + 10;
        else if (base == 16 && *s >= 'A' && *s <= 'F')
            d = *s - 'A' + 10;
        else
            break;
        if (value > (max - d) / base)
            return 0;
        value = value * base + d;
    }
    if (digits == 0 || *EmuSkipSpaces(s) != '\0')
        return 0;
    *out = value;
    return 1;
}

int EmuParseFloat(const char* s, double* out) {
    s = EmuSkipSpaces(s);
    if (*s == '\0')
        return 0;
    char* end = nullptr;
    double value = strtod(s, &end);
    if (end == s || *EmuSkipSpaces(end) != '\0' || !std::isfinite(value))
        return 0;
    *out = value;
    return 1;
}

void EmuPutLe32(std::string* bytes, uint32_t value) {
    for (int i = 0; i < 4; i++)
        bytes->push_back((char)((value >> (8 * i)) & 0xFF));
}

void EmuPutLe16(std::string* bytes, unsigned value) {
    bytes->push_back((char)(value & 0xFF));
    bytes->push_back((char)((value >> 8) & 0xFF));
}

void EmuPutFloat(std::string* bytes, float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    EmuPutLe32(bytes, bits);
}

int EmuIsSupportedBaud(long baud) {
    const long speeds[] = {1200, 2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    for (long s : speeds)
        if (s == baud)
            return 1;
    return 0;
}

int EmuParseFault(const char* text, EmuFault* out) {
    const struct {
        const char* name;
        EmuFaultKind kind;
        int needsArg;
    } faults[] = {
        {"none", EMU_FAULT_NONE, 0},         {"silence", EMU_FAULT_SILENCE, 0},
        {"delay", EMU_FAULT_DELAY, 1},       {"badsum", EMU_FAULT_BADSUM, 0},
        {"garbage", EMU_FAULT_GARBAGE, 1},   {"zerolen", EMU_FAULT_ZEROLEN, 0},
        {"oversize", EMU_FAULT_OVERSIZE, 0}, {"shortstate", EMU_FAULT_SHORTSTATE, 0},
        {"cut", EMU_FAULT_CUT, 0},           {"hangup", EMU_FAULT_HANGUP, 1},
        {"deaf", EMU_FAULT_DEAF, 1},         {"stream", EMU_FAULT_STREAM, 1},
        {"trickle", EMU_FAULT_TRICKLE, 1},   {"refuse", EMU_FAULT_REFUSE, 0},
    };
    char words[5][32];
    int count = 0;
    const char* p = text;
    while (*(p = EmuSkipSpaces(p)) != '\0') {
        if (count == 5)
            return 0;
        size_t n = 0;
        while (*p && *p != ' ' && *p != '\t') {
            if (n + 1 >= sizeof words[0])
                return 0;
            words[count][n++] = *p++;
        }
        words[count++][n] = '\0';
    }
    if (count == 0)
        return 0;
    for (const auto& f : faults) {
        if (strcmp(words[0], f.name) != 0)
            continue;
        EmuFault fault = {f.kind, 0, 0, ""};
        int next = 1;
        if (f.needsArg) {
            unsigned long arg;
            // An hour of delay or a megabyte of junk is already far past any use.
            unsigned long max = f.kind == EMU_FAULT_GARBAGE ? 1000000ul : 3600000ul;
            if (count < 2 || !EmuParseUnsigned(words[1], 10, max, &arg))
                return 0;
            fault.arg = (long)arg;
            next = 2;
        }
        if (next < count && strcmp(words[next], "once") == 0) {
            fault.once = 1;
            next++;
        }
        if (next < count) {
            if (strcmp(words[next], "on") != 0 || next + 2 != count ||
                strlen(words[next + 1]) >= sizeof fault.command)
                return 0;
            for (size_t i = 0; i <= strlen(words[next + 1]); i++) {
                char c = words[next + 1][i];
                fault.command[i] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
            }
        }
        *out = fault;
        return 1;
    }
    return 0;
}

uint16_t EmuFrameChecksum(uint16_t frameLength, const uint8_t* payload, size_t length) {
    uint32_t sum = 0x1234 + (frameLength >> 8) + (frameLength & 0xFF);
    for (size_t i = 0; i < length; i++)
        sum += payload[i];
    return (uint16_t)(0u - sum);
}

std::string EmuBuildFrame(const uint8_t* payload, size_t length) {
    // The length field is 16 bits; no reply of this board comes near that.
    if (length > 0xFFFF - 4)
        length = 0xFFFF - 4;
    uint16_t frameLength = (uint16_t)(length + 4);
    uint16_t sum = EmuFrameChecksum(frameLength, payload, length);
    std::string bytes;
    bytes.push_back((char)(frameLength >> 8));
    bytes.push_back((char)(frameLength & 0xFF));
    bytes.append((const char*)payload, length);
    bytes.push_back((char)(sum >> 8));
    bytes.push_back((char)(sum & 0xFF));
    return bytes;
}

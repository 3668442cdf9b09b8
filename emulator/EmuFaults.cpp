// The emulated board's faults (how each shapes or withholds a reply, hang-up, deaf, mute) and
// the control channel that sets them and the rest of the board's state while it runs.
#include "emulator/EmuBoard.h"
#include "emulator/EmuModel.h"
#include "emulator/EmuProtocol.h"

#include <cstdio>
#include <cstring>

namespace emu {

namespace {

constexpr long STREAM_LINE_MS = 20;

std::string Frame(const std::string& payload) {
    return EmuBuildFrame((const uint8_t*)payload.data(), payload.size());
}

int ConsumeFault() {
    if (Board.Fault.once) {
        Board.Fault.kind = EMU_FAULT_NONE;
        Board.Fault.once = 0;
    }
    return 1;
}

} // namespace

int FaultSpares(const char* name) {
    return Board.Fault.command[0] != '\0' && strcmp(name, Board.Fault.command) != 0;
}

// Faults that change the frame itself; they only touch binary replies.
std::string FaultedFrame(const std::string& payload, ReplyShape shape) {
    if (FaultSpares(Board.CurrentCommand))
        return Frame(payload);
    switch (Board.Fault.kind) {
    case EMU_FAULT_BADSUM: {
        std::string bytes = Frame(payload);
        bytes[bytes.size() - 1] ^= 0x5A;
        ConsumeFault();
        return bytes;
    }
    case EMU_FAULT_ZEROLEN:
        ConsumeFault();
        return std::string(2, '\0');
    case EMU_FAULT_OVERSIZE: {
        // Complete and correctly summed, only longer than any reader's buffer.
        std::string padded = payload;
        padded.resize(8096, '\0');
        ConsumeFault();
        return Frame(padded);
    }
    case EMU_FAULT_SHORTSTATE:
        if (shape == SHAPE_STATE) {
            ConsumeFault();
            return Frame(payload.substr(0, 24));
        }
        break;
    default:
        break;
    }
    return Frame(payload);
}

// Faults that act on any reply: whether, when and how much of it goes out.
void ApplyLineFault(EmuOutput* out) {
    if (!out->reply)
        return;
    switch (Board.Fault.kind) {
    case EMU_FAULT_SILENCE:
        out->reply = 0;
        out->bytes.clear();
        ConsumeFault();
        break;
    case EMU_FAULT_DELAY:
        out->delayMs = Board.Fault.arg;
        ConsumeFault();
        break;
    case EMU_FAULT_GARBAGE: {
        // Junk never contains the prompt, so an ASCII reader still stops at the real one.
        std::string junk;
        for (long i = 0; i < Board.Fault.arg; i++) {
            char c = (char)(NextNoise() * 127.0 + 128.0);
            junk += (c == '>') ? '?' : c;
        }
        out->bytes = junk + out->bytes;
        ConsumeFault();
        break;
    }
    case EMU_FAULT_CUT:
        out->bytes.resize(out->bytes.size() / 2);
        ConsumeFault();
        break;
    case EMU_FAULT_STREAM: {
        // A device that talks and never gives the prompt: a reading line every 20 ms for
        // the fault's time, instead of the reply.
        static const char line[] = "  12.345 sccm N2\r\n";
        long lines = Board.Fault.arg / STREAM_LINE_MS;
        out->bytes.clear();
        for (long i = 0; i < lines; i++)
            out->bytes += line;
        out->gapMs = STREAM_LINE_MS;
        out->chunkBytes = sizeof line - 1;
        ConsumeFault();
        break;
    }
    case EMU_FAULT_TRICKLE:
        out->gapMs = Board.Fault.arg;
        out->chunkBytes = 1;
        ConsumeFault();
        break;
    default:
        break;
    }
}

} // namespace emu

using namespace emu;

EmuFault EmuCurrentFault() {
    return Board.Fault;
}

int EmuSwallowCommand() {
    if (Board.Fault.kind != EMU_FAULT_DEAF)
        return 0;
    if (Board.Fault.arg > 0 && --Board.Fault.arg == 0)
        Board.Fault.kind = EMU_FAULT_NONE;
    return 1;
}

int EmuTakeHangup(long* msOut) {
    if (!Board.HangupRequested)
        return 0;
    Board.HangupRequested = 0;
    *msOut = Board.Fault.arg;
    return 1;
}

void EmuEndHangup() {
    if (Board.Fault.kind == EMU_FAULT_HANGUP)
        Board.Fault.kind = EMU_FAULT_NONE;
    Board.HangupRequested = 0;
}

int EmuControlCommand(const char* line, int64_t nowMs, std::string* errorOut) {
    EmuBoardBaud(nowMs);
    Advance(nowMs);
    const char* p = EmuSkipSpaces(line);
    char word[16];
    size_t n = 0;
    while (*p && *p != ' ' && *p != '\t' && n + 1 < sizeof word)
        word[n++] = *p++;
    word[n] = '\0';
    const char* arg = EmuSkipSpaces(p);
    unsigned long parsed;

    if (strcmp(word, "reset") == 0 && *arg == '\0') {
        ResetBoard(nowMs);
        return 1;
    }
    if (strcmp(word, "fault") == 0) {
        EmuFault fault;
        if (!EmuParseFault(arg, &fault)) {
            *errorOut = "bad fault";
            return 0;
        }
        Board.Fault = fault;
        Board.HangupRequested = fault.kind == EMU_FAULT_HANGUP;
        return 1;
    }
    if (strcmp(word, "mute") == 0) {
        size_t length = strlen(arg);
        if (length == 0 || length > EMU_COMMAND_MAX) {
            *errorOut = "mute needs a command name";
            return 0;
        }
        for (size_t i = 0; i <= length; i++) {
            char c = arg[i];
            Board.MutedCommand[i] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
        }
        return 1;
    }
    if (strcmp(word, "flags") == 0) {
        if (!EmuParseUnsigned(arg, 16, 0xFFFF, &parsed)) {
            *errorOut = "flags needs a hex value up to FFFF";
            return 0;
        }
        Board.StatusFlags = (unsigned)parsed;
        return 1;
    }
    if (strcmp(word, "gas") == 0) {
        if (!EmuParseUnsigned(arg, 10, 0xFFFF, &parsed)) {
            *errorOut = "gas needs a number up to 65535";
            return 0;
        }
        Board.ActiveGas = (unsigned)parsed;
        return 1;
    }
    if (strcmp(word, "name") == 0) {
        if (strlen(arg) > EMU_NAME_MAX || strchr(arg, '>')) {
            *errorOut = "name too long or holds '>'";
            return 0;
        }
        snprintf(Board.Name, sizeof Board.Name, "%s", arg);
        return 1;
    }
    if (strcmp(word, "kind") == 0) {
        if (strcmp(arg, "meter") == 0) {
            Board.Kind = EMU_KIND_METER;
        } else if (strcmp(arg, "controller") == 0) {
            Board.Kind = EMU_KIND_CONTROLLER;
        } else {
            *errorOut = "kind is meter or controller";
            return 0;
        }
        return 1;
    }
    if (strcmp(word, "flow") == 0) {
        double value;
        if (strcmp(arg, "off") == 0) {
            Board.FlowFixed = 0;
            return 1;
        }
        if (!EmuParseFloat(arg, &value)) {
            *errorOut = "flow needs a number or off";
            return 0;
        }
        Board.FlowFixed = 1;
        Board.FixedFlow = value;
        return 1;
    }
    if (strcmp(word, "baud") == 0) {
        if (!EmuParseUnsigned(arg, 10, 0xFFFFFFFFul, &parsed) ||
            !EmuIsSupportedBaud((long)parsed)) {
            *errorOut = "unsupported speed";
            return 0;
        }
        Board.Baud = (long)parsed;
        Board.PendingBaud = 0;
        return 1;
    }
    *errorOut = "unknown control command";
    return 0;
}

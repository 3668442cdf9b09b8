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

int ConsumeFault(EmuBoard& board) {
    if (board.Fault.once) {
        board.Fault.kind = EMU_FAULT_NONE;
        board.Fault.once = 0;
    }
    return 1;
}

} // namespace

int FaultSpares(EmuBoard& board, const char* name) {
    return board.Fault.command[0] != '\0' && strcmp(name, board.Fault.command) != 0;
}

// Faults that change the frame itself; they only touch binary replies.
std::string FaultedFrame(EmuBoard& board, const std::string& payload, ReplyShape shape) {
    if (FaultSpares(board, board.CurrentCommand))
        return Frame(payload);
    switch (board.Fault.kind) {
    case EMU_FAULT_BADSUM: {
        std::string bytes = Frame(payload);
        bytes[bytes.size() - 1] ^= 0x5A;
        ConsumeFault(board);
        return bytes;
    }
    case EMU_FAULT_ZEROLEN:
        ConsumeFault(board);
        return std::string(2, '\0');
    case EMU_FAULT_OVERSIZE: {
        // Complete and correctly summed, only longer than any reader's buffer.
        std::string padded = payload;
        padded.resize(8096, '\0');
        ConsumeFault(board);
        return Frame(padded);
    }
    case EMU_FAULT_SHORTSTATE:
        if (shape == SHAPE_STATE) {
            ConsumeFault(board);
            return Frame(payload.substr(0, 24));
        }
        break;
    default:
        break;
    }
    return Frame(payload);
}

// Faults that act on any reply: whether, when and how much of it goes out.
void ApplyLineFault(EmuBoard& board, EmuOutput* out) {
    if (!out->reply)
        return;
    switch (board.Fault.kind) {
    case EMU_FAULT_SILENCE:
        out->lost = EMU_LOST_SILENCE;
        out->reply = 0;
        out->bytes.clear();
        ConsumeFault(board);
        break;
    case EMU_FAULT_DELAY:
        out->delayMs = board.Fault.arg;
        ConsumeFault(board);
        break;
    case EMU_FAULT_GARBAGE: {
        // Junk never contains the prompt, so an ASCII reader still stops at the real one.
        std::string junk;
        for (long i = 0; i < board.Fault.arg; i++) {
            char c = (char)(NextNoise(board) * 127.0 + 128.0);
            junk += (c == '>') ? '?' : c;
        }
        out->bytes = junk + out->bytes;
        ConsumeFault(board);
        break;
    }
    case EMU_FAULT_CUT:
        out->lost = EMU_LOST_CUT;
        out->bytes.resize(out->bytes.size() / 2);
        ConsumeFault(board);
        break;
    case EMU_FAULT_STREAM: {
        // A device that talks and never gives the prompt: a reading line every 20 ms for
        // the fault's time, instead of the reply.
        static const char line[] = "  12.345 sccm N2\r\n";
        long lines = board.Fault.arg / STREAM_LINE_MS;
        out->bytes.clear();
        for (long i = 0; i < lines; i++)
            out->bytes += line;
        out->lost = EMU_LOST_STREAM;
        out->gapMs = STREAM_LINE_MS;
        out->chunkBytes = sizeof line - 1;
        ConsumeFault(board);
        break;
    }
    case EMU_FAULT_TRICKLE:
        out->gapMs = board.Fault.arg;
        out->chunkBytes = 1;
        ConsumeFault(board);
        break;
    default:
        break;
    }
}

} // namespace emu

using namespace emu;

EmuFault EmuCurrentFault(const EmuBoard* board) {
    return board->Fault;
}

int EmuSwallowCommand(EmuBoard* board) {
    if (board->Fault.kind != EMU_FAULT_DEAF)
        return 0;
    if (board->Fault.arg > 0 && --board->Fault.arg == 0)
        board->Fault.kind = EMU_FAULT_NONE;
    return 1;
}

int EmuTakeHangup(EmuBoard* board, long* msOut) {
    if (!board->HangupRequested)
        return 0;
    board->HangupRequested = 0;
    *msOut = board->Fault.arg;
    return 1;
}

void EmuEndHangup(EmuBoard* board) {
    if (board->Fault.kind == EMU_FAULT_HANGUP)
        board->Fault.kind = EMU_FAULT_NONE;
    board->HangupRequested = 0;
}

int EmuControlCommand(EmuBoard* boardIn, const char* line, int64_t nowMs, std::string* errorOut) {
    EmuBoard& board = *boardIn;
    EmuBoardBaud(boardIn, nowMs);
    Advance(board, nowMs);
    const char* p = EmuSkipSpaces(line);
    char word[16];
    size_t n = 0;
    while (*p && *p != ' ' && *p != '\t' && n + 1 < sizeof word)
        word[n++] = *p++;
    word[n] = '\0';
    const char* arg = EmuSkipSpaces(p);
    unsigned long parsed;

    if (strcmp(word, "reset") == 0 && *arg == '\0') {
        ResetBoard(board, nowMs);
        return 1;
    }
    if (strcmp(word, "fault") == 0) {
        EmuFault fault;
        if (!EmuParseFault(arg, &fault)) {
            *errorOut = "bad fault";
            return 0;
        }
        board.Fault = fault;
        board.HangupRequested = fault.kind == EMU_FAULT_HANGUP;
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
            board.MutedCommand[i] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
        }
        return 1;
    }
    if (strcmp(word, "flags") == 0) {
        if (!EmuParseUnsigned(arg, 16, 0xFFFF, &parsed)) {
            *errorOut = "flags needs a hex value up to FFFF";
            return 0;
        }
        board.StatusFlags = (unsigned)parsed;
        return 1;
    }
    if (strcmp(word, "gas") == 0) {
        if (!EmuParseUnsigned(arg, 10, 0xFFFF, &parsed)) {
            *errorOut = "gas needs a number up to 65535";
            return 0;
        }
        board.ActiveGas = (unsigned)parsed;
        return 1;
    }
    if (strcmp(word, "name") == 0) {
        if (strlen(arg) > EMU_NAME_MAX || strchr(arg, '>')) {
            *errorOut = "name too long or holds '>'";
            return 0;
        }
        snprintf(board.Name, sizeof board.Name, "%s", arg);
        return 1;
    }
    if (strcmp(word, "kind") == 0) {
        if (strcmp(arg, "meter") == 0) {
            board.Kind = EMU_KIND_METER;
        } else if (strcmp(arg, "controller") == 0) {
            board.Kind = EMU_KIND_CONTROLLER;
        } else {
            *errorOut = "kind is meter or controller";
            return 0;
        }
        return 1;
    }
    if (strcmp(word, "flow") == 0) {
        double value;
        if (strcmp(arg, "off") == 0) {
            board.FlowFixed = 0;
            return 1;
        }
        if (!EmuParseFloat(arg, &value)) {
            *errorOut = "flow needs a number or off";
            return 0;
        }
        board.FlowFixed = 1;
        board.FixedFlow = value;
        return 1;
    }
    if (strcmp(word, "baud") == 0) {
        if (!EmuParseUnsigned(arg, 10, 0xFFFFFFFFul, &parsed) ||
            !EmuIsSupportedBaud((long)parsed)) {
            *errorOut = "unsupported speed";
            return 0;
        }
        board.Baud = (long)parsed;
        board.OwnBaud = board.Baud;
        board.PendingBaud = 0;
        return 1;
    }
    *errorOut = "unknown control command";
    return 0;
}

// Registers, settings, gases and the command dispatcher of the emulated board, and its
// start and reset.
#include "emulator/EmuBoard.h"
#include "emulator/EmuModel.h"
#include "emulator/EmuProtocol.h"

#include <cstdio>
#include <cstring>
#include <new>

namespace emu {

namespace {

enum { BAUD_SWITCH_MS = 50 };

struct Gas {
    const char* symbol;
    const char* units;
    double fullScale;
    double timeFactor;
};

// Gases beyond the table answer with empty texts, as a board whose gas slot is blank.
const Gas GasTable[] = {
    {"N2", "sccm", 500.0, 1.0},
    {"Ar", "slpm", 10.0, 1.0},
    {"He", "sccm", 200.0, 1.0},
    {"H2", "slph", 30.0, 1.0 / 60.0},
};
const Gas UnknownGas = {"", "", 100.0, 1.0};

const Gas* ActiveGasEntry(EmuBoard& board) {
    if (board.ActiveGas < sizeof GasTable / sizeof GasTable[0])
        return &GasTable[board.ActiveGas];
    return &UnknownGas;
}

} // namespace

namespace {

// What a power cycle and a reset both put back: the board's speed and line ending, the values
// it keeps only in RAM, and a flow model that starts again.
void Restart(EmuBoard& board, int64_t nowMs) {
    board.Baud = board.OwnBaud;
    board.PendingBaud = 0;
    board.BaudSwitchAt = 0;
    board.LineEnding = board.OwnLineEnding;
    board.Verbose = 0;
    board.SetPoint = 0.0;
    board.RamProportional = board.V24;
    board.RamDerivative = board.V25;
    board.RamIntegral = board.V26;
    board.RamCracking = board.V29;
    board.FactoryMode = 0;
    board.FlowStateCollection = 0;

    board.TrueFlow = 0.0;
    board.MeasuredFlow = 0.0;
    board.FilteredFlow = 0.0;
    board.StartMs = nowMs;
    board.LastTickMs = nowMs;
    board.SampleCount = 0;
    for (int i = 0; i < STREAM_COUNT; i++)
        board.Cursor[i] = 0;
    if (board.Kind == EMU_KIND_METER)
        board.TrueFlow = board.MeasuredFlow = board.FilteredFlow = TargetFlow(board, nowMs);
}

} // namespace

void ResetBoard(EmuBoard& board, int64_t nowMs) {
    board.Kind = board.Start.kind;
    board.OwnBaud = board.Start.baud;
    board.OwnLineEnding = 0x0D;
    snprintf(board.Name, sizeof board.Name, "%s", board.Start.name);
    board.ActiveGas = board.Start.gas;
    board.StatusFlags = 0;
    board.V1 = 5;
    board.V2 = 0x8D;
    board.V12 = 3;
    board.V29 = 1200;
    board.V24 = 1.5;
    board.V25 = 0.02;
    board.V26 = 0.4;
    board.LastBump = 0;
    board.FlowFixed = 0;
    board.FixedFlow = 0.0;
    board.Totalizer = 0.0;
    board.NoiseState = 0x2545F491u;
    Restart(board, nowMs);

    board.Fault.kind = EMU_FAULT_NONE;
    board.Fault.arg = 0;
    board.Fault.once = 0;
    board.Fault.command[0] = '\0';
    board.HangupRequested = 0;
    board.MutedCommand[0] = '\0';
}

namespace {

std::string LineEndingText(EmuBoard& board) {
    std::string text;
    if (board.LineEnding > 0xFF)
        text += (char)((board.LineEnding >> 8) & 0xFF);
    if (board.LineEnding & 0xFF)
        text += (char)(board.LineEnding & 0xFF);
    return text;
}

void AsciiReply(EmuBoard& board, EmuOutput* out, const std::string& text) {
    out->reply = 1;
    out->bytes = text + LineEndingText(board) + ">";
}

void Acknowledge(EmuBoard& board, EmuOutput* out) {
    AsciiReply(board, out, "");
}

std::string FormatFloat(double value) {
    // "%f" of the largest double is 316 characters.
    char text[400];
    snprintf(text, sizeof text, "%f", value);
    return text;
}

std::string FormatUnsigned(unsigned long value, const char* format) {
    char text[32];
    snprintf(text, sizeof text, format, value);
    return text;
}

} // namespace

void Invalid(EmuBoard& board, EmuOutput* out) {
    AsciiReply(board, out, "Invalid Command");
}

unsigned ValveDrive(EmuBoard& board) {
    if (board.Kind != EMU_KIND_CONTROLLER || board.SetPoint <= 0.0)
        return 0;
    // The valve is fully driven at 100 %; a set point beyond that drives it no further.
    double setPoint = board.SetPoint > 100.0 ? 100.0 : board.SetPoint;
    return board.RamCracking + (unsigned)(setPoint * 300.0);
}

namespace {

// Registers that read and write the same way.
struct FloatRegister {
    const char* name;
    double* value;
    double* ramCopy;
};

struct UnsignedRegister {
    const char* name;
    unsigned* value;
    int base; // 16: read back as "x" and hex, written in hex
    unsigned* ramCopy;
};

int HandleFloatRegister(EmuBoard& board, const char* name, const char* value, EmuOutput* out) {
    const FloatRegister registers[] = {
        {"V5", &board.SetPoint, nullptr},          {"V24", &board.V24, &board.RamProportional},
        {"V25", &board.V25, &board.RamDerivative}, {"V26", &board.V26, &board.RamIntegral},
        {"~PR", &board.RamProportional, nullptr},  {"~IR", &board.RamIntegral, nullptr},
        {"~DR", &board.RamDerivative, nullptr},
    };
    for (const FloatRegister& r : registers) {
        if (strcmp(name, r.name) != 0)
            continue;
        // A meter has no valve to control: it refuses a set point.
        if (value && board.Kind != EMU_KIND_CONTROLLER && r.value == &board.SetPoint) {
            Invalid(board, out);
            return 1;
        }
        if (!value) {
            // The RAM-only values can be written but not read back.
            if (name[0] == '~')
                Invalid(board, out);
            else
                AsciiReply(board, out, FormatFloat(*r.value));
            return 1;
        }
        double parsed;
        if (!EmuParseFloat(value, &parsed)) {
            Invalid(board, out);
            return 1;
        }
        *r.value = parsed;
        if (r.ramCopy)
            *r.ramCopy = parsed;
        Acknowledge(board, out);
        return 1;
    }
    return 0;
}

int HandleUnsignedRegister(EmuBoard& board, const char* name, const char* value, EmuOutput* out) {
    const UnsignedRegister registers[] = {
        {"V1", &board.V1, 10, nullptr},
        {"V2", &board.V2, 16, nullptr},
        {"V12", &board.V12, 10, nullptr},
        {"V29", &board.V29, 10, &board.RamCracking},
        {"~CBR", &board.RamCracking, 10, nullptr},
        {"S112", &board.Verbose, 10, nullptr},
    };
    for (const UnsignedRegister& r : registers) {
        if (strcmp(name, r.name) != 0)
            continue;
        if (!value) {
            if (name[0] == '~')
                Invalid(board, out);
            else
                AsciiReply(board, out, FormatUnsigned(*r.value, r.base == 16 ? "x%lx" : "%lu"));
            return 1;
        }
        unsigned long parsed;
        if (!EmuParseUnsigned(value, r.base, 0xFFFFFFFFul, &parsed)) {
            Invalid(board, out);
            return 1;
        }
        *r.value = (unsigned)parsed;
        if (r.ramCopy)
            *r.ramCopy = (unsigned)parsed;
        Acknowledge(board, out);
        return 1;
    }
    return 0;
}

int HandleGas(EmuBoard& board, const char* name, const char* value, EmuOutput* out) {
    const Gas* gas = ActiveGasEntry(board);
    if (strcmp(name, "G31") == 0) {
        unsigned long parsed;
        if (value && EmuParseUnsigned(value, 10, 0xFFFFFFFFul, &parsed) && parsed == 0) {
            board.Totalizer = 0.0;
            Acknowledge(board, out);
        } else {
            Invalid(board, out);
        }
        return 1;
    }
    const char* text = nullptr;
    std::string number;
    if (strcmp(name, "G4") == 0) {
        text = gas->symbol;
    } else if (strcmp(name, "G7") == 0) {
        text = gas->units;
    } else if (strcmp(name, "G18") == 0) {
        number = FormatFloat(gas->fullScale);
        text = number.c_str();
    } else if (strcmp(name, "G19") == 0) {
        number = FormatFloat(gas->timeFactor);
        text = number.c_str();
    } else {
        return 0;
    }
    if (value)
        Invalid(board, out);
    else
        AsciiReply(board, out, text);
    return 1;
}

int HandleSettings(EmuBoard& board, const char* name, const char* value, int64_t nowMs,
                   EmuOutput* out) {
    unsigned long parsed;
    if (strcmp(name, "~BAUD") == 0) {
        if (!value || !EmuParseUnsigned(value, 10, 0xFFFFFFFFul, &parsed) ||
            !EmuIsSupportedBaud((long)parsed)) {
            Invalid(board, out);
            return 1;
        }
        // The board finishes what it is doing at the old speed before it switches, and
        // says nothing: the other side is expected to follow.
        board.PendingBaud = (long)parsed;
        board.BaudSwitchAt = nowMs + BAUD_SWITCH_MS;
        out->reply = 0;
        return 1;
    }
    if (strcmp(name, "~SNLC") == 0) {
        if (!value || !EmuParseUnsigned(value, 16, 0xFFFF, &parsed)) {
            Invalid(board, out);
            return 1;
        }
        board.LineEnding = (unsigned)parsed;
        Acknowledge(board, out);
        return 1;
    }
    if (strcmp(name, "S65") == 0 || strcmp(name, "S64") == 0) {
        if (value) {
            Invalid(board, out);
            return 1;
        }
        unsigned setting =
            name[2] == '5' ? board.LineEnding : (board.Kind == EMU_KIND_CONTROLLER ? 1u : 0u);
        AsciiReply(board, out, FormatUnsigned(setting, "x%lx"));
        return 1;
    }
    if (strcmp(name, "S54") == 0) {
        if (!value) {
            AsciiReply(board, out, board.Name);
            return 1;
        }
        if (strlen(value) > EMU_NAME_MAX || strchr(value, '>')) {
            Invalid(board, out);
            return 1;
        }
        snprintf(board.Name, sizeof board.Name, "%s", value);
        Acknowledge(board, out);
        return 1;
    }
    if (strcmp(name, "V27") == 0) {
        if (value)
            Invalid(board, out);
        else
            AsciiReply(board, out, FormatUnsigned(ValveDrive(board), "%lu"));
        return 1;
    }
    if (strcmp(name, "FLOK") == 0) {
        if (!value) {
            board.FactoryMode = 0;
            Acknowledge(board, out);
        } else if (EmuParseUnsigned(value, 10, 0xFFFFFFFFul, &parsed) && parsed == 5807) {
            board.FactoryMode = 1;
            Acknowledge(board, out);
        } else {
            Invalid(board, out);
        }
        return 1;
    }
    if (strcmp(name, "~EFSC") == 0 || strcmp(name, "~DFSC") == 0) {
        if (value) {
            Invalid(board, out);
            return 1;
        }
        board.FlowStateCollection = name[1] == 'E';
        Acknowledge(board, out);
        return 1;
    }
    if (strcmp(name, "~BVD") == 0) {
        if (!value || !EmuParseUnsigned(value, 10, 0xFFFFFFFFul, &parsed)) {
            Invalid(board, out);
            return 1;
        }
        board.LastBump = (unsigned)parsed;
        Acknowledge(board, out);
        return 1;
    }
    return 0;
}

} // namespace

} // namespace emu

using namespace emu;

void EmuDefaultSettings(EmuSettings* settings) {
    memset(settings, 0, sizeof *settings);
    settings->kind = EMU_KIND_CONTROLLER;
    settings->baud = 9600;
    settings->gas = 0;
    settings->fault.kind = EMU_FAULT_NONE;
}

EmuBoard* EmuBoardCreate(const EmuSettings* settings, int64_t nowMs) {
    EmuBoard* board = new (std::nothrow) EmuBoard();
    if (!board)
        return nullptr;
    board->Start = *settings;
    board->Start.name[EMU_NAME_MAX] = '\0';
    ResetBoard(*board, nowMs);
    board->Fault = board->Start.fault;
    board->HangupRequested = board->Fault.kind == EMU_FAULT_HANGUP;
    return board;
}

void EmuBoardDestroy(EmuBoard* board) {
    delete board;
}

long EmuBoardBaud(EmuBoard* board, int64_t nowMs) {
    if (board->PendingBaud && nowMs >= board->BaudSwitchAt) {
        board->Baud = board->PendingBaud;
        board->PendingBaud = 0;
    }
    return board->Baud;
}

unsigned EmuBoardLineEnding(const EmuBoard* board) {
    return board->LineEnding;
}

long EmuBoardOwnBaud(const EmuBoard* board) {
    return board->OwnBaud;
}

unsigned EmuBoardOwnLineEnding(const EmuBoard* board) {
    return board->OwnLineEnding;
}

void EmuPowerCycle(EmuBoard* board, int64_t nowMs) {
    Advance(*board, nowMs);
    Restart(*board, nowMs);
}

void EmuHandleCommand(EmuBoard* boardIn, const char* text, int64_t nowMs, EmuOutput* out) {
    EmuBoard& board = *boardIn;
    out->reply = 0;
    out->delayMs = 0;
    out->bytes.clear();
    out->gapMs = 0;
    out->chunkBytes = 0;
    out->lost = EMU_LOST_NONE;
    EmuBoardBaud(boardIn, nowMs);
    Advance(board, nowMs);

    // Command names are matched without regard to case; a value after '=' is kept as sent.
    char name[EMU_COMMAND_MAX + 1];
    const char* value = nullptr;
    size_t n = 0;
    const char* p = EmuSkipSpaces(text);
    for (; *p && *p != '=' && n < EMU_COMMAND_MAX; p++) {
        char c = *p;
        if (c >= 'a' && c <= 'z')
            c = (char)(c - 'a' + 'A');
        name[n++] = c;
    }
    while (n > 0 && (name[n - 1] == ' ' || name[n - 1] == '\t'))
        n--;
    name[n] = '\0';
    snprintf(board.CurrentCommand, sizeof board.CurrentCommand, "%s", name);
    if (*p == '=')
        value = p + 1;
    else if (*p != '\0')
        name[0] = '\0'; // longer than any command: falls through to "Invalid Command"

    // A board that does not take this command (another firmware, a locked board) refuses it
    // and changes nothing.
    if (board.Fault.kind == EMU_FAULT_REFUSE && !FaultSpares(board, name)) {
        Invalid(board, out);
        if (board.Fault.once)
            board.Fault.kind = EMU_FAULT_NONE;
        return;
    }
    if (!HandleSettings(board, name, value, nowMs, out) &&
        !HandleBinary(board, name, value, nowMs, out) && !HandleGas(board, name, value, out) &&
        !HandleFloatRegister(board, name, value, out) &&
        !HandleUnsignedRegister(board, name, value, out))
        Invalid(board, out);
    if (board.MutedCommand[0] != '\0' && strcmp(name, board.MutedCommand) == 0) {
        board.MutedCommand[0] = '\0';
        if (out->reply)
            out->lost = EMU_LOST_MUTE;
        out->reply = 0;
        out->bytes.clear();
        return;
    }
    if (FaultSpares(board, name))
        return;
    ApplyLineFault(board, out);
}

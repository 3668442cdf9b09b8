// Registers, settings, gases and the command dispatcher of the emulated board, and its
// start and reset.
#include "emulator/EmuBoard.h"
#include "emulator/EmuModel.h"
#include "emulator/EmuProtocol.h"

#include <cstdio>
#include <cstring>

namespace emu {

EmuBoard Board;

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

EmuSettings StartSettings;

const Gas* ActiveGasEntry() {
    if (Board.ActiveGas < sizeof GasTable / sizeof GasTable[0])
        return &GasTable[Board.ActiveGas];
    return &UnknownGas;
}

} // namespace

void ResetBoard(int64_t nowMs) {
    Board.Kind = StartSettings.kind;
    Board.Baud = StartSettings.baud;
    Board.PendingBaud = 0;
    Board.BaudSwitchAt = 0;
    Board.LineEnding = 0x0D;
    Board.Verbose = 0;
    snprintf(Board.Name, sizeof Board.Name, "%s", StartSettings.name);
    Board.ActiveGas = StartSettings.gas;
    Board.StatusFlags = 0;
    Board.V1 = 5;
    Board.V2 = 0x8D;
    Board.V12 = 3;
    Board.V29 = 1200;
    Board.SetPoint = 0.0;
    Board.V24 = 1.5;
    Board.V25 = 0.02;
    Board.V26 = 0.4;
    Board.RamProportional = Board.V24;
    Board.RamDerivative = Board.V25;
    Board.RamIntegral = Board.V26;
    Board.RamCracking = Board.V29;
    Board.FactoryMode = 0;
    Board.FlowStateCollection = 0;
    Board.LastBump = 0;

    Board.FlowFixed = 0;
    Board.FixedFlow = 0.0;
    Board.TrueFlow = 0.0;
    Board.MeasuredFlow = 0.0;
    Board.FilteredFlow = 0.0;
    Board.Totalizer = 0.0;
    Board.StartMs = nowMs;
    Board.LastTickMs = nowMs;
    Board.NoiseState = 0x2545F491u;
    Board.SampleCount = 0;
    for (int i = 0; i < STREAM_COUNT; i++)
        Board.Cursor[i] = 0;
    if (Board.Kind == EMU_KIND_METER)
        Board.TrueFlow = Board.MeasuredFlow = Board.FilteredFlow = TargetFlow(nowMs);

    Board.Fault.kind = EMU_FAULT_NONE;
    Board.Fault.arg = 0;
    Board.Fault.once = 0;
    Board.Fault.command[0] = '\0';
    Board.HangupRequested = 0;
    Board.MutedCommand[0] = '\0';
}

namespace {

std::string LineEndingText() {
    std::string text;
    if (Board.LineEnding > 0xFF)
        text += (char)((Board.LineEnding >> 8) & 0xFF);
    if (Board.LineEnding & 0xFF)
        text += (char)(Board.LineEnding & 0xFF);
    return text;
}

void AsciiReply(EmuOutput* out, const std::string& text) {
    out->reply = 1;
    out->bytes = text + LineEndingText() + ">";
}

void Acknowledge(EmuOutput* out) {
    AsciiReply(out, "");
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

void Invalid(EmuOutput* out) {
    AsciiReply(out, "Invalid Command");
}

unsigned ValveDrive() {
    if (Board.Kind != EMU_KIND_CONTROLLER || Board.SetPoint <= 0.0)
        return 0;
    // The valve is fully driven at 100 %; a set point beyond that drives it no further.
    double setPoint = Board.SetPoint > 100.0 ? 100.0 : Board.SetPoint;
    return Board.RamCracking + (unsigned)(setPoint * 300.0);
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

int HandleFloatRegister(const char* name, const char* value, EmuOutput* out) {
    const FloatRegister registers[] = {
        {"V5", &Board.SetPoint, nullptr},          {"V24", &Board.V24, &Board.RamProportional},
        {"V25", &Board.V25, &Board.RamDerivative}, {"V26", &Board.V26, &Board.RamIntegral},
        {"~PR", &Board.RamProportional, nullptr},  {"~IR", &Board.RamIntegral, nullptr},
        {"~DR", &Board.RamDerivative, nullptr},
    };
    for (const FloatRegister& r : registers) {
        if (strcmp(name, r.name) != 0)
            continue;
        // A meter has no valve to control: it refuses a set point.
        if (value && Board.Kind != EMU_KIND_CONTROLLER && r.value == &Board.SetPoint) {
            Invalid(out);
            return 1;
        }
        if (!value) {
            // The RAM-only values can be written but not read back.
            if (name[0] == '~')
                Invalid(out);
            else
                AsciiReply(out, FormatFloat(*r.value));
            return 1;
        }
        double parsed;
        if (!EmuParseFloat(value, &parsed)) {
            Invalid(out);
            return 1;
        }
        *r.value = parsed;
        if (r.ramCopy)
            *r.ramCopy = parsed;
        Acknowledge(out);
        return 1;
    }
    return 0;
}

int HandleUnsignedRegister(const char* name, const char* value, EmuOutput* out) {
    const UnsignedRegister registers[] = {
        {"V1", &Board.V1, 10, nullptr},
        {"V2", &Board.V2, 16, nullptr},
        {"V12", &Board.V12, 10, nullptr},
        {"V29", &Board.V29, 10, &Board.RamCracking},
        {"~CBR", &Board.RamCracking, 10, nullptr},
        {"S112", &Board.Verbose, 10, nullptr},
    };
    for (const UnsignedRegister& r : registers) {
        if (strcmp(name, r.name) != 0)
            continue;
        if (!value) {
            if (name[0] == '~')
                Invalid(out);
            else
                AsciiReply(out, FormatUnsigned(*r.value, r.base == 16 ? "x%lx" : "%lu"));
            return 1;
        }
        unsigned long parsed;
        if (!EmuParseUnsigned(value, r.base, 0xFFFFFFFFul, &parsed)) {
            Invalid(out);
            return 1;
        }
        *r.value = (unsigned)parsed;
        if (r.ramCopy)
            *r.ramCopy = (unsigned)parsed;
        Acknowledge(out);
        return 1;
    }
    return 0;
}

int HandleGas(const char* name, const char* value, EmuOutput* out) {
    const Gas* gas = ActiveGasEntry();
    if (strcmp(name, "G31") == 0) {
        unsigned long parsed;
        if (value && EmuParseUnsigned(value, 10, 0xFFFFFFFFul, &parsed) && parsed == 0) {
            Board.Totalizer = 0.0;
            Acknowledge(out);
        } else {
            Invalid(out);
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
        Invalid(out);
    else
        AsciiReply(out, text);
    return 1;
}

int HandleSettings(const char* name, const char* value, int64_t nowMs, EmuOutput* out) {
    unsigned long parsed;
    if (strcmp(name, "~BAUD") == 0) {
        if (!value || !EmuParseUnsigned(value, 10, 0xFFFFFFFFul, &parsed) ||
            !EmuIsSupportedBaud((long)parsed)) {
            Invalid(out);
            return 1;
        }
        // The board finishes what it is doing at the old speed before it switches, and
        // says nothing: the other side is expected to follow.
        Board.PendingBaud = (long)parsed;
        Board.BaudSwitchAt = nowMs + BAUD_SWITCH_MS;
        out->reply = 0;
        return 1;
    }
    if (strcmp(name, "~SNLC") == 0) {
        if (!value || !EmuParseUnsigned(value, 16, 0xFFFF, &parsed)) {
            Invalid(out);
            return 1;
        }
        Board.LineEnding = (unsigned)parsed;
        Acknowledge(out);
        return 1;
    }
    if (strcmp(name, "S65") == 0 || strcmp(name, "S64") == 0) {
        if (value) {
            Invalid(out);
            return 1;
        }
        unsigned setting =
            name[2] == '5' ? Board.LineEnding : (Board.Kind == EMU_KIND_CONTROLLER ? 1u : 0u);
        AsciiReply(out, FormatUnsigned(setting, "x%lx"));
        return 1;
    }
    if (strcmp(name, "S54") == 0) {
        if (!value) {
            AsciiReply(out, Board.Name);
            return 1;
        }
        if (strlen(value) > EMU_NAME_MAX || strchr(value, '>')) {
            Invalid(out);
            return 1;
        }
        snprintf(Board.Name, sizeof Board.Name, "%s", value);
        Acknowledge(out);
        return 1;
    }
    if (strcmp(name, "V27") == 0) {
        if (value)
            Invalid(out);
        else
            AsciiReply(out, FormatUnsigned(ValveDrive(), "%lu"));
        return 1;
    }
    if (strcmp(name, "FLOK") == 0) {
        if (!value) {
            Board.FactoryMode = 0;
            Acknowledge(out);
        } else if (EmuParseUnsigned(value, 10, 0xFFFFFFFFul, &parsed) && parsed == 5807) {
            Board.FactoryMode = 1;
            Acknowledge(out);
        } else {
            Invalid(out);
        }
        return 1;
    }
    if (strcmp(name, "~EFSC") == 0 || strcmp(name, "~DFSC") == 0) {
        if (value) {
            Invalid(out);
            return 1;
        }
        Board.FlowStateCollection = name[1] == 'E';
        Acknowledge(out);
        return 1;
    }
    if (strcmp(name, "~BVD") == 0) {
        if (!value || !EmuParseUnsigned(value, 10, 0xFFFFFFFFul, &parsed)) {
            Invalid(out);
            return 1;
        }
        Board.LastBump = (unsigned)parsed;
        Acknowledge(out);
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

void EmuModelStart(const EmuSettings* settings, int64_t nowMs) {
    StartSettings = *settings;
    StartSettings.name[EMU_NAME_MAX] = '\0';
    ResetBoard(nowMs);
    Board.Fault = StartSettings.fault;
    Board.HangupRequested = Board.Fault.kind == EMU_FAULT_HANGUP;
}

long EmuBoardBaud(int64_t nowMs) {
    if (Board.PendingBaud && nowMs >= Board.BaudSwitchAt) {
        Board.Baud = Board.PendingBaud;
        Board.PendingBaud = 0;
    }
    return Board.Baud;
}

void EmuHandleCommand(const char* text, int64_t nowMs, EmuOutput* out) {
    out->reply = 0;
    out->delayMs = 0;
    out->bytes.clear();
    out->gapMs = 0;
    out->chunkBytes = 0;
    EmuBoardBaud(nowMs);
    Advance(nowMs);

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
    snprintf(Board.CurrentCommand, sizeof Board.CurrentCommand, "%s", name);
    if (*p == '=')
        value = p + 1;
    else if (*p != '\0')
        name[0] = '\0'; // longer than any command: falls through to "Invalid Command"

    // A board that does not take this command (another firmware, a locked board) refuses it
    // and changes nothing.
    if (Board.Fault.kind == EMU_FAULT_REFUSE && !FaultSpares(name)) {
        Invalid(out);
        if (Board.Fault.once)
            Board.Fault.kind = EMU_FAULT_NONE;
        return;
    }
    if (!HandleSettings(name, value, nowMs, out) && !HandleBinary(name, value, nowMs, out) &&
        !HandleGas(name, value, out) && !HandleFloatRegister(name, value, out) &&
        !HandleUnsignedRegister(name, value, out))
        Invalid(out);
    if (Board.MutedCommand[0] != '\0' && strcmp(name, Board.MutedCommand) == 0) {
        Board.MutedCommand[0] = '\0';
        out->reply = 0;
        out->bytes.clear();
        return;
    }
    if (FaultSpares(name))
        return;
    ApplyLineFault(out);
}

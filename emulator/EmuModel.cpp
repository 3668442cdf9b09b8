// Board state, the live flow model and the command set of the emulated Torvan board.
#include "emulator/EmuModel.h"
#include "emulator/EmuProtocol.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

enum { SAMPLE_MS = 5, RING_SIZE = 512, BAUD_SWITCH_MS = 50 };

// Time constant of a controller's flow behind its set point, and the sensor noise in %.
const double LAG_MS = 300.0;
const double NOISE = 0.05;
// A catch-up longer than this is integrated in one step instead of tick by tick.
const int64_t MAX_CATCH_UP_MS = 60000;

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

struct Sample {
    float flow;
    float filtered;
    float raw;
    float setPoint;
    int32_t counts;
};

enum Stream { STREAM_GAFV, STREAM_GFF, STREAM_GRF, STREAM_GSV, STREAM_COUNT };

enum ReplyShape { SHAPE_ASCII, SHAPE_FRAME, SHAPE_STATE };

EmuSettings StartSettings;

// Board registers and settings.
int Kind;
long Baud;
long PendingBaud;
int64_t BaudSwitchAt;
unsigned LineEnding;
unsigned Verbose;
char Name[EMU_NAME_MAX + 1];
// The next command of this name (upper case) is carried out and gets no reply; empty: none.
char MutedCommand[EMU_COMMAND_MAX + 1];
unsigned ActiveGas;
unsigned StatusFlags;
unsigned V1, V2, V12, V29;
double SetPoint;
double V24, V25, V26;
double RamProportional, RamIntegral, RamDerivative;
unsigned RamCracking;
int FactoryMode;
int FlowStateCollection;
unsigned LastBump;

// Flow model.
int FlowFixed;
double FixedFlow;
double TrueFlow;
double MeasuredFlow;
double FilteredFlow;
double Totalizer; // fraction of full scale x minutes
int64_t StartMs;
int64_t LastTickMs;
uint32_t NoiseState;
Sample Ring[RING_SIZE];
uint64_t SampleCount;
uint64_t Cursor[STREAM_COUNT];

EmuFault Fault;
int HangupRequested;

const Gas* ActiveGasEntry() {
    if (ActiveGas < sizeof GasTable / sizeof GasTable[0])
        return &GasTable[ActiveGas];
    return &UnknownGas;
}

// Uniform in [-1, 1]; xorshift so that a run is reproducible.
double NextNoise() {
    NoiseState ^= NoiseState << 13;
    NoiseState ^= NoiseState >> 17;
    NoiseState ^= NoiseState << 5;
    return (NoiseState / 4294967295.0) * 2.0 - 1.0;
}

double TargetFlow(int64_t tickMs) {
    if (FlowFixed)
        return FixedFlow;
    if (Kind == EMU_KIND_CONTROLLER) {
        if (SetPoint < 0.0)
            return 0.0;
        return SetPoint > 100.0 ? 100.0 : SetPoint;
    }
    // A meter sees whatever the line carries: a slow swing around 40 %.
    double seconds = (tickMs - StartMs) / 1000.0;
    return 40.0 + 5.0 * std::sin(2.0 * M_PI * seconds / 10.0);
}

// The sensor's counts for a flow; a flow held far outside the sensor's range saturates
// instead of overflowing the 32-bit field.
int32_t RawCounts(double flow) {
    double counts = flow * 23145.3 + 3400000.0;
    if (counts >= 2147483647.0)
        return INT32_MAX;
    if (counts <= -2147483648.0)
        return INT32_MIN;
    return (int32_t)counts;
}

void Tick(int64_t tickMs) {
    double target = TargetFlow(tickMs);
    if (Kind == EMU_KIND_CONTROLLER && !FlowFixed)
        TrueFlow += (target - TrueFlow) * (1.0 - std::exp(-SAMPLE_MS / LAG_MS));
    else
        TrueFlow = target;
    // A held flow is exact, so that a test can predict every digit the program shows.
    double noise = FlowFixed ? 0.0 : NextNoise() * NOISE;
    MeasuredFlow = TrueFlow + noise;
    FilteredFlow += (MeasuredFlow - FilteredFlow) * 0.2;
    Totalizer += MeasuredFlow / 100.0 * (SAMPLE_MS / 60000.0);

    Sample* s = &Ring[SampleCount % RING_SIZE];
    s->flow = (float)MeasuredFlow;
    s->filtered = (float)FilteredFlow;
    s->raw = (float)(TrueFlow + noise * 4.0);
    s->setPoint = (float)(Kind == EMU_KIND_CONTROLLER ? SetPoint : 0.0);
    s->counts = RawCounts(MeasuredFlow);
    SampleCount++;
}

void Advance(int64_t nowMs) {
    if (nowMs - LastTickMs > MAX_CATCH_UP_MS) {
        int64_t skipped = nowMs - MAX_CATCH_UP_MS - LastTickMs;
        skipped -= skipped % SAMPLE_MS;
        Totalizer += MeasuredFlow / 100.0 * (skipped / 60000.0);
        LastTickMs += skipped;
    }
    while (nowMs - LastTickMs >= SAMPLE_MS) {
        LastTickMs += SAMPLE_MS;
        Tick(LastTickMs);
    }
}

void ResetBoard(int64_t nowMs) {
    Kind = StartSettings.kind;
    Baud = StartSettings.baud;
    PendingBaud = 0;
    BaudSwitchAt = 0;
    LineEnding = 0x0D;
    Verbose = 0;
    snprintf(Name, sizeof Name, "%s", StartSettings.name);
    ActiveGas = StartSettings.gas;
    StatusFlags = 0;
    V1 = 5;
    V2 = 0x8D;
    V12 = 3;
    V29 = 1200;
    SetPoint = 0.0;
    V24 = 1.5;
    V25 = 0.02;
    V26 = 0.4;
    RamProportional = V24;
    RamDerivative = V25;
    RamIntegral = V26;
    RamCracking = V29;
    FactoryMode = 0;
    FlowStateCollection = 0;
    LastBump = 0;

    FlowFixed = 0;
    FixedFlow = 0.0;
    TrueFlow = 0.0;
    MeasuredFlow = 0.0;
    FilteredFlow = 0.0;
    Totalizer = 0.0;
    StartMs = nowMs;
    LastTickMs = nowMs;
    NoiseState = 0x2545F491u;
    SampleCount = 0;
    for (int i = 0; i < STREAM_COUNT; i++)
        Cursor[i] = 0;
    if (Kind == EMU_KIND_METER)
        TrueFlow = MeasuredFlow = FilteredFlow = TargetFlow(nowMs);

    Fault.kind = EMU_FAULT_NONE;
    Fault.arg = 0;
    Fault.once = 0;
    HangupRequested = 0;
    MutedCommand[0] = '\0';
}

// ---- Replies ----

std::string LineEndingText() {
    std::string text;
    if (LineEnding > 0xFF)
        text += (char)((LineEnding >> 8) & 0xFF);
    if (LineEnding & 0xFF)
        text += (char)(LineEnding & 0xFF);
    return text;
}

void AsciiReply(EmuOutput* out, const std::string& text) {
    out->reply = 1;
    out->bytes = text + LineEndingText() + ">";
}

void Acknowledge(EmuOutput* out) {
    AsciiReply(out, "");
}

void Invalid(EmuOutput* out) {
    AsciiReply(out, "Invalid Command");
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

std::string Frame(const std::string& payload) {
    return EmuBuildFrame((const uint8_t*)payload.data(), payload.size());
}

constexpr long STREAM_LINE_MS = 20;

int ConsumeFault() {
    if (Fault.once) {
        Fault.kind = EMU_FAULT_NONE;
        Fault.once = 0;
    }
    return 1;
}

// Faults that change the frame itself; they only touch binary replies.
std::string FaultedFrame(const std::string& payload, ReplyShape shape) {
    switch (Fault.kind) {
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

void BinaryReply(EmuOutput* out, const std::string& payload, ReplyShape shape) {
    out->reply = 1;
    out->bytes = FaultedFrame(payload, shape);
}

// Faults that act on any reply: whether, when and how much of it goes out.
void ApplyLineFault(EmuOutput* out) {
    if (!out->reply)
        return;
    switch (Fault.kind) {
    case EMU_FAULT_SILENCE:
        out->reply = 0;
        out->bytes.clear();
        ConsumeFault();
        break;
    case EMU_FAULT_DELAY:
        out->delayMs = Fault.arg;
        ConsumeFault();
        break;
    case EMU_FAULT_GARBAGE: {
        // Junk never contains the prompt, so an ASCII reader still stops at the real one.
        std::string junk;
        for (long i = 0; i < Fault.arg; i++) {
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
        long lines = Fault.arg / STREAM_LINE_MS;
        out->bytes.clear();
        for (long i = 0; i < lines; i++)
            out->bytes += line;
        out->gapMs = STREAM_LINE_MS;
        out->chunkBytes = sizeof line - 1;
        ConsumeFault();
        break;
    }
    case EMU_FAULT_TRICKLE:
        out->gapMs = Fault.arg;
        out->chunkBytes = 1;
        ConsumeFault();
        break;
    default:
        break;
    }
}

std::string SamplesPayload(Stream stream) {
    uint64_t first = Cursor[stream];
    if (SampleCount - first > EMU_MAX_SAMPLES)
        first = SampleCount - EMU_MAX_SAMPLES;
    std::string payload;
    for (uint64_t i = first; i < SampleCount; i++) {
        const Sample& s = Ring[i % RING_SIZE];
        switch (stream) {
        case STREAM_GAFV:
            EmuPutFloat(&payload, s.flow);
            break;
        case STREAM_GFF:
            EmuPutFloat(&payload, s.filtered);
            break;
        case STREAM_GRF:
            EmuPutFloat(&payload, s.raw);
            break;
        default:
            EmuPutFloat(&payload, s.flow);
            EmuPutFloat(&payload, s.setPoint);
            EmuPutLe32(&payload, (uint32_t)s.counts);
            break;
        }
    }
    Cursor[stream] = SampleCount;
    return payload;
}

unsigned ValveDrive() {
    if (Kind != EMU_KIND_CONTROLLER || SetPoint <= 0.0)
        return 0;
    // The valve is fully driven at 100 %; a set point beyond that drives it no further.
    double setPoint = SetPoint > 100.0 ? 100.0 : SetPoint;
    return RamCracking + (unsigned)(setPoint * 300.0);
}

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
        {"V5", &SetPoint, nullptr},         {"V24", &V24, &RamProportional},
        {"V25", &V25, &RamDerivative},      {"V26", &V26, &RamIntegral},
        {"~PR", &RamProportional, nullptr}, {"~IR", &RamIntegral, nullptr},
        {"~DR", &RamDerivative, nullptr},
    };
    for (const FloatRegister& r : registers) {
        if (strcmp(name, r.name) != 0)
            continue;
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
        {"V1", &V1, 10, nullptr},
        {"V2", &V2, 16, nullptr},
        {"V12", &V12, 10, nullptr},
        {"V29", &V29, 10, &RamCracking},
        {"~CBR", &RamCracking, 10, nullptr},
        {"S112", &Verbose, 10, nullptr},
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

int HandleBinary(const char* name, const char* value, int64_t nowMs, EmuOutput* out) {
    const struct {
        const char* name;
        Stream stream;
    } streams[] = {
        {"~GAFV", STREAM_GAFV},
        {"~GFF", STREAM_GFF},
        {"~GRF", STREAM_GRF},
        {"~GSV", STREAM_GSV},
    };
    if (strcmp(name, "~GLSV") == 0) {
        if (value)
            Invalid(out);
        else
            BinaryReply(out, EmuStatePayload(nowMs), SHAPE_STATE);
        return 1;
    }
    for (const auto& s : streams) {
        if (strcmp(name, s.name) != 0)
            continue;
        if (value)
            Invalid(out);
        else
            BinaryReply(out, SamplesPayload(s.stream), SHAPE_FRAME);
        return 1;
    }
    return 0;
}

int HandleGas(const char* name, const char* value, EmuOutput* out) {
    const Gas* gas = ActiveGasEntry();
    if (strcmp(name, "G31") == 0) {
        unsigned long parsed;
        if (value && EmuParseUnsigned(value, 10, 0xFFFFFFFFul, &parsed) && parsed == 0) {
            Totalizer = 0.0;
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
        PendingBaud = (long)parsed;
        BaudSwitchAt = nowMs + BAUD_SWITCH_MS;
        out->reply = 0;
        return 1;
    }
    if (strcmp(name, "~SNLC") == 0) {
        if (!value || !EmuParseUnsigned(value, 16, 0xFFFF, &parsed)) {
            Invalid(out);
            return 1;
        }
        LineEnding = (unsigned)parsed;
        Acknowledge(out);
        return 1;
    }
    if (strcmp(name, "S65") == 0 || strcmp(name, "S64") == 0) {
        if (value) {
            Invalid(out);
            return 1;
        }
        unsigned setting = name[2] == '5' ? LineEnding : (Kind == EMU_KIND_CONTROLLER ? 1u : 0u);
        AsciiReply(out, FormatUnsigned(setting, "x%lx"));
        return 1;
    }
    if (strcmp(name, "S54") == 0) {
        if (!value) {
            AsciiReply(out, Name);
            return 1;
        }
        if (strlen(value) > EMU_NAME_MAX || strchr(value, '>')) {
            Invalid(out);
            return 1;
        }
        snprintf(Name, sizeof Name, "%s", value);
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
            FactoryMode = 0;
            Acknowledge(out);
        } else if (EmuParseUnsigned(value, 10, 0xFFFFFFFFul, &parsed) && parsed == 5807) {
            FactoryMode = 1;
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
        FlowStateCollection = name[1] == 'E';
        Acknowledge(out);
        return 1;
    }
    if (strcmp(name, "~BVD") == 0) {
        if (!value || !EmuParseUnsigned(value, 10, 0xFFFFFFFFul, &parsed)) {
            Invalid(out);
            return 1;
        }
        LastBump = (unsigned)parsed;
        Acknowledge(out);
        return 1;
    }
    return 0;
}

} // namespace

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
    Fault = StartSettings.fault;
    HangupRequested = Fault.kind == EMU_FAULT_HANGUP;
}

long EmuBoardBaud(int64_t nowMs) {
    if (PendingBaud && nowMs >= BaudSwitchAt) {
        Baud = PendingBaud;
        PendingBaud = 0;
    }
    return Baud;
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
    if (*p == '=')
        value = p + 1;
    else if (*p != '\0')
        name[0] = '\0'; // longer than any command: falls through to "Invalid Command"

    if (!HandleSettings(name, value, nowMs, out) && !HandleBinary(name, value, nowMs, out) &&
        !HandleGas(name, value, out) && !HandleFloatRegister(name, value, out) &&
        !HandleUnsignedRegister(name, value, out))
        Invalid(out);
    if (MutedCommand[0] != '\0' && strcmp(name, MutedCommand) == 0) {
        MutedCommand[0] = '\0';
        out->reply = 0;
        out->bytes.clear();
        return;
    }
    ApplyLineFault(out);
}

EmuFault EmuCurrentFault() {
    return Fault;
}

int EmuSwallowCommand() {
    if (Fault.kind != EMU_FAULT_DEAF)
        return 0;
    if (Fault.arg > 0 && --Fault.arg == 0)
        Fault.kind = EMU_FAULT_NONE;
    return 1;
}

int EmuTakeHangup(long* msOut) {
    if (!HangupRequested)
        return 0;
    HangupRequested = 0;
    *msOut = Fault.arg;
    return 1;
}

void EmuEndHangup() {
    if (Fault.kind == EMU_FAULT_HANGUP)
        Fault.kind = EMU_FAULT_NONE;
    HangupRequested = 0;
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
        Fault = fault;
        HangupRequested = fault.kind == EMU_FAULT_HANGUP;
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
            MutedCommand[i] = (c >= 'a' && c <= 'z') ? (char)(c - 'a' + 'A') : c;
        }
        return 1;
    }
    if (strcmp(word, "flags") == 0) {
        if (!EmuParseUnsigned(arg, 16, 0xFFFF, &parsed)) {
            *errorOut = "flags needs a hex value up to FFFF";
            return 0;
        }
        StatusFlags = (unsigned)parsed;
        return 1;
    }
    if (strcmp(word, "gas") == 0) {
        if (!EmuParseUnsigned(arg, 10, 0xFFFF, &parsed)) {
            *errorOut = "gas needs a number up to 65535";
            return 0;
        }
        ActiveGas = (unsigned)parsed;
        return 1;
    }
    if (strcmp(word, "name") == 0) {
        if (strlen(arg) > EMU_NAME_MAX || strchr(arg, '>')) {
            *errorOut = "name too long or holds '>'";
            return 0;
        }
        snprintf(Name, sizeof Name, "%s", arg);
        return 1;
    }
    if (strcmp(word, "kind") == 0) {
        if (strcmp(arg, "meter") == 0) {
            Kind = EMU_KIND_METER;
        } else if (strcmp(arg, "controller") == 0) {
            Kind = EMU_KIND_CONTROLLER;
        } else {
            *errorOut = "kind is meter or controller";
            return 0;
        }
        return 1;
    }
    if (strcmp(word, "flow") == 0) {
        double value;
        if (strcmp(arg, "off") == 0) {
            FlowFixed = 0;
            return 1;
        }
        if (!EmuParseFloat(arg, &value)) {
            *errorOut = "flow needs a number or off";
            return 0;
        }
        FlowFixed = 1;
        FixedFlow = value;
        return 1;
    }
    if (strcmp(word, "baud") == 0) {
        if (!EmuParseUnsigned(arg, 10, 0xFFFFFFFFul, &parsed) ||
            !EmuIsSupportedBaud((long)parsed)) {
            *errorOut = "unsupported speed";
            return 0;
        }
        Baud = (long)parsed;
        PendingBaud = 0;
        return 1;
    }
    *errorOut = "unknown control command";
    return 0;
}

std::string EmuStatePayload(int64_t nowMs) {
    Advance(nowMs);
    std::string payload;
    EmuPutLe32(&payload, (uint32_t)RawCounts(MeasuredFlow));
    EmuPutFloat(&payload, (float)MeasuredFlow);
    EmuPutFloat(&payload, (float)(Kind == EMU_KIND_CONTROLLER ? SetPoint : 0.0));
    EmuPutFloat(&payload, 24.5f); // sensor temperature, degrees C
    EmuPutFloat(&payload, 14.7f); // line pressure, psia
    EmuPutFloat(&payload, (float)ValveDrive());
    EmuPutFloat(&payload, (float)FilteredFlow);
    EmuPutFloat(&payload, (float)Totalizer);
    EmuPutLe16(&payload, V1);
    EmuPutLe16(&payload, V12);
    EmuPutLe16(&payload, StatusFlags);
    EmuPutLe16(&payload, ActiveGas);
    return payload;
}

double EmuCurrentFlow(int64_t nowMs) {
    Advance(nowMs);
    return MeasuredFlow;
}

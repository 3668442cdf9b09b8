// The line layer around one emulated board: the command assembler and the speed gate on the
// way in, the reply queue with its delays and chunks on the way out, the cable and the power,
// and the record of all of it.
#include "emulator/EmuLine.h"

#include "emulator/EmuBoard.h"
#include "emulator/EmuModel.h"

#include <cstring>
#include <deque>
#include <new>
#include <vector>

namespace {

// Replies the other side never reads stop piling up here.
const size_t MAX_PENDING_BYTES = 1 << 20;

struct PendingChunk {
    int64_t dueMs;
    std::string bytes;
    uint64_t reply;      // chunks of one reply share the number
    std::string command; // the command it answers, for the record when it is lost
    long speed;          // the line speed the board sent it at
};

} // namespace

struct EmuLine {
    EmuBoard* Board;

    std::string LineBuffer;
    int LastWasCr;
    std::deque<PendingChunk> Pending;
    size_t PendingBytes;
    uint64_t NextReply;

    int Plugged;
    int64_t ReplugAtMs;   // while unplugged: when to come back, -1 = not by itself
    int UnpluggedByFault; // and then, when the hang-up fault clears
    unsigned long PlugCount;
    int Powered;
    int64_t PowerOnAtMs;

    // The speed and line ending last written to the record.
    long RecordedBaud;
    unsigned RecordedLineEnding;

    std::vector<EmuRecordEntry> Ring;
    uint64_t Total;
};

namespace {

void Record(EmuLine* line, int64_t ms, EmuRecordKind kind, long value, const std::string& text) {
    if (!line->Ring.empty()) {
        EmuRecordEntry& entry = line->Ring[line->Total % line->Ring.size()];
        entry.Ms = ms;
        entry.Kind = kind;
        entry.Value = value;
        entry.Text = text;
    }
    line->Total++;
}

// Writes a change of the board's speed or line ending to the record, naming its cause.
// Reads the speed without applying a pending switch: that one is recorded when it is due.
void NoteSettings(EmuLine* line, int64_t ms, const std::string& cause) {
    if (line->Board->Baud != line->RecordedBaud) {
        line->RecordedBaud = line->Board->Baud;
        Record(line, ms, EMU_REC_SPEED, line->RecordedBaud, cause);
    }
    unsigned ending = EmuBoardLineEnding(line->Board);
    if (ending != line->RecordedLineEnding) {
        line->RecordedLineEnding = ending;
        Record(line, ms, EMU_REC_LINE_ENDING, (long)ending, cause);
    }
}

// Drops the queued chunks for which keep() is false, recording each reply that loses any.
template <typename Keep> void DropPending(EmuLine* line, int64_t ms, EmuLoss why, Keep keep) {
    uint64_t lastLost = 0;
    int anyLost = 0;
    std::deque<PendingChunk> kept;
    for (PendingChunk& chunk : line->Pending) {
        if (keep(chunk)) {
            kept.push_back(std::move(chunk));
            continue;
        }
        line->PendingBytes -= chunk.bytes.size();
        if (!anyLost || chunk.reply != lastLost)
            Record(line, ms, EMU_REC_REPLY_LOST, why, chunk.command);
        anyLost = 1;
        lastLost = chunk.reply;
    }
    line->Pending.swap(kept);
}

void DropAllPending(EmuLine* line, int64_t ms, EmuLoss why) {
    DropPending(line, ms, why, [](const PendingChunk&) { return false; });
    line->PendingBytes = 0;
}

void Queue(EmuLine* line, int64_t nowMs, const EmuOutput& out, const std::string& command) {
    if (!out.reply || out.bytes.empty())
        return;
    if (line->PendingBytes + out.bytes.size() > MAX_PENDING_BYTES) {
        Record(line, nowMs, EMU_REC_REPLY_LOST, EMU_LOST_OVERFLOW, command);
        return;
    }
    uint64_t reply = line->NextReply++;
    long speed = EmuBoardBaud(line->Board, nowMs);
    // Replies leave in the order their commands came, whatever their delays.
    int64_t due = nowMs + out.delayMs;
    if (!line->Pending.empty() && line->Pending.back().dueMs > due)
        due = line->Pending.back().dueMs;
    if (out.gapMs <= 0 || out.chunkBytes == 0) {
        line->Pending.push_back({due, out.bytes, reply, command, speed});
    } else {
        for (size_t at = 0; at < out.bytes.size(); at += out.chunkBytes) {
            line->Pending.push_back(
                {due, out.bytes.substr(at, out.chunkBytes), reply, command, speed});
            due += out.gapMs;
        }
    }
    line->PendingBytes += out.bytes.size();
}

void HandleCommand(EmuLine* line, long lineSpeed, int64_t nowMs) {
    std::string command = line->LineBuffer;
    line->LineBuffer.clear();
    if (EmuSwallowCommand(line->Board)) {
        Record(line, nowMs, EMU_REC_UNHEARD, EMU_LOST_DEAF, command);
        return;
    }
    Record(line, nowMs, EMU_REC_COMMAND, lineSpeed, command);
    EmuOutput out;
    EmuHandleCommand(line->Board, command.c_str(), nowMs, &out);
    NoteSettings(line, nowMs, command);
    if (out.lost != EMU_LOST_NONE)
        Record(line, nowMs, EMU_REC_REPLY_LOST, out.lost, command);
    Queue(line, nowMs, out, command);
}

std::string FirstBytes(const char* bytes, size_t count) {
    return std::string(bytes,
                       count < (size_t)EMU_NOISE_TEXT_MAX ? count : (size_t)EMU_NOISE_TEXT_MAX);
}

void PowerOn(EmuLine* line, int64_t ms) {
    line->Powered = 1;
    line->PowerOnAtMs = -1;
    EmuPowerCycle(line->Board, ms);
    Record(line, ms, EMU_REC_POWER_ON, 0, "");
    NoteSettings(line, ms, "power");
}

void Replug(EmuLine* line, int64_t ms) {
    EmuEndHangup(line->Board);
    line->Plugged = 1;
    line->ReplugAtMs = -1;
    line->PlugCount++;
    Record(line, ms, EMU_REC_PLUG, 0, "");
}

} // namespace

EmuLine* EmuLineCreate(const EmuSettings* settings, int64_t nowMs, size_t recordCapacity) {
    EmuLine* line = new (std::nothrow) EmuLine();
    if (!line)
        return nullptr;
    line->Board = EmuBoardCreate(settings, nowMs);
    if (!line->Board) {
        delete line;
        return nullptr;
    }
    line->Ring.resize(recordCapacity);
    line->Plugged = 1;
    line->ReplugAtMs = -1;
    line->Powered = 1;
    line->PowerOnAtMs = -1;
    line->RecordedBaud = 0;
    line->RecordedLineEnding = 0;
    NoteSettings(line, nowMs, "start");
    EmuLineUpdate(line, nowMs);
    return line;
}

void EmuLineDestroy(EmuLine* line) {
    if (!line)
        return;
    EmuBoardDestroy(line->Board);
    delete line;
}

EmuBoard* EmuLineBoard(EmuLine* line) {
    return line->Board;
}

void EmuLineUpdate(EmuLine* line, int64_t nowMs) {
    // Whatever came due since the last call happens in the order of its own times, so that
    // the record stays in time order.
    for (;;) {
        int64_t powerAt = !line->Powered ? line->PowerOnAtMs : -1;
        int64_t switchAt = line->Board->PendingBaud ? line->Board->BaudSwitchAt : -1;
        int64_t replugAt = !line->Plugged ? line->ReplugAtMs : -1;
        int64_t first = -1;
        for (int64_t at : {powerAt, switchAt, replugAt})
            if (at >= 0 && at <= nowMs && (first < 0 || at < first))
                first = at;
        if (first < 0)
            break;
        if (first == powerAt) {
            PowerOn(line, first);
        } else if (first == switchAt) {
            EmuBoardBaud(line->Board, first);
            NoteSettings(line, first, "~BAUD");
        } else {
            Replug(line, first);
        }
    }
    long ms;
    if (EmuTakeHangup(line->Board, &ms)) {
        EmuLineUnplug(line, ms, nowMs);
        line->UnpluggedByFault = 1;
    }
    if (!line->Plugged && line->UnpluggedByFault && line->ReplugAtMs < 0 &&
        EmuCurrentFault(line->Board).kind != EMU_FAULT_HANGUP)
        Replug(line, nowMs);
}

int EmuLinePlugged(EmuLine* line, int64_t nowMs) {
    EmuLineUpdate(line, nowMs);
    return line->Plugged;
}

unsigned long EmuLinePlugCount(const EmuLine* line) {
    return line->PlugCount;
}

int EmuLinePowered(EmuLine* line, int64_t nowMs) {
    EmuLineUpdate(line, nowMs);
    return line->Powered;
}

void EmuLineReceive(EmuLine* line, const char* bytes, size_t count, long lineSpeed, int64_t nowMs) {
    EmuLineUpdate(line, nowMs);
    if (!line->Plugged || count == 0)
        return;
    if (!line->Powered) {
        line->LineBuffer.clear();
        Record(line, nowMs, EMU_REC_UNHEARD, EMU_LOST_OFF, FirstBytes(bytes, count));
        return;
    }
    // A board at another speed than the line hears noise: bytes arrive but make no command.
    if (lineSpeed != EmuBoardBaud(line->Board, nowMs)) {
        line->LineBuffer.clear();
        line->LastWasCr = 0;
        Record(line, nowMs, EMU_REC_NOISE, (long)count, FirstBytes(bytes, count));
        return;
    }
    for (size_t i = 0; i < count; i++) {
        char c = bytes[i];
        // Programs end a command with CR; a person at a terminal sends LF. The LF of a CR LF
        // pair ends nothing.
        if (c == '\r' || (c == '\n' && !line->LastWasCr))
            HandleCommand(line, lineSpeed, nowMs);
        else if (c != '\n' && line->LineBuffer.size() <= EMU_COMMAND_MAX)
            line->LineBuffer += c;
        line->LastWasCr = c == '\r';
    }
}

int EmuLineControl(EmuLine* line, const char* text, int64_t nowMs, std::string* errorOut) {
    EmuLineUpdate(line, nowMs);
    const char* p = EmuSkipSpaces(text);
    if (strncmp(p, "powercycle", 10) == 0 && (p[10] == '\0' || p[10] == ' ' || p[10] == '\t')) {
        unsigned long ms = 0;
        const char* arg = EmuSkipSpaces(p + 10);
        if (*arg != '\0' && !EmuParseUnsigned(arg, 10, 3600000ul, &ms)) {
            *errorOut = "powercycle takes a time off in ms";
            return 0;
        }
        Record(line, nowMs, EMU_REC_CONTROL, 0, text);
        EmuLinePowerCycle(line, (long)ms, nowMs);
        return 1;
    }
    int isReset = strncmp(p, "reset", 5) == 0;
    if (!EmuControlCommand(line->Board, text, nowMs, errorOut))
        return 0;
    Record(line, nowMs, EMU_REC_CONTROL, 0, text);
    if (isReset) {
        DropAllPending(line, nowMs, EMU_LOST_RESET);
        line->LineBuffer.clear();
    }
    NoteSettings(line, nowMs, isReset ? "reset" : "control");
    EmuLineUpdate(line, nowMs);
    return 1;
}

void EmuLineUnplug(EmuLine* line, long ms, int64_t nowMs) {
    Record(line, nowMs, EMU_REC_UNPLUG, ms, "");
    DropAllPending(line, nowMs, EMU_LOST_UNPLUG);
    line->LineBuffer.clear();
    line->Plugged = 0;
    line->ReplugAtMs = ms > 0 ? nowMs + ms : -1;
    line->UnpluggedByFault = 0;
}

void EmuLineReplug(EmuLine* line, int64_t nowMs) {
    EmuLineUpdate(line, nowMs);
    if (!line->Plugged)
        Replug(line, nowMs);
}

void EmuLinePowerCycle(EmuLine* line, long offMs, int64_t nowMs) {
    EmuLineUpdate(line, nowMs);
    Record(line, nowMs, EMU_REC_POWER_OFF, offMs, "");
    DropAllPending(line, nowMs, EMU_LOST_RESET);
    line->LineBuffer.clear();
    line->LastWasCr = 0;
    // A switch to another speed that was still to come dies with the power.
    line->Board->PendingBaud = 0;
    line->Powered = 0;
    line->PowerOnAtMs = nowMs + (offMs > 0 ? offMs : 0);
    EmuLineUpdate(line, nowMs);
}

size_t EmuLineDue(EmuLine* line, int64_t nowMs, const char** bytesOut) {
    EmuLineUpdate(line, nowMs);
    if (line->Pending.empty() || line->Pending.front().dueMs > nowMs)
        return 0;
    *bytesOut = line->Pending.front().bytes.data();
    return line->Pending.front().bytes.size();
}

long EmuLineDueSpeed(const EmuLine* line) {
    return line->Pending.empty() ? 0 : line->Pending.front().speed;
}

void EmuLineTake(EmuLine* line, size_t count) {
    while (count > 0 && !line->Pending.empty()) {
        std::string& bytes = line->Pending.front().bytes;
        size_t n = count < bytes.size() ? count : bytes.size();
        bytes.erase(0, n);
        line->PendingBytes -= n;
        count -= n;
        if (bytes.empty())
            line->Pending.pop_front();
    }
}

int64_t EmuLineNextDueMs(const EmuLine* line) {
    return line->Pending.empty() ? -1 : line->Pending.front().dueMs;
}

int64_t EmuLineNextChangeMs(const EmuLine* line, int64_t nowMs) {
    int64_t candidates[] = {
        line->Pending.empty() ? -1 : line->Pending.front().dueMs,
        line->Board->PendingBaud ? line->Board->BaudSwitchAt : -1,
        !line->Plugged ? line->ReplugAtMs : -1,
        !line->Powered ? line->PowerOnAtMs : -1,
    };
    int64_t first = -1;
    for (int64_t at : candidates)
        if (at > nowMs && (first < 0 || at < first))
            first = at;
    return first;
}

size_t EmuLinePurge(EmuLine* line, int64_t nowMs) {
    EmuLineUpdate(line, nowMs);
    size_t before = line->PendingBytes;
    DropPending(line, nowMs, EMU_LOST_PURGED,
                [nowMs](const PendingChunk& chunk) { return chunk.dueMs > nowMs; });
    return before - line->PendingBytes;
}

uint64_t EmuRecordTotal(const EmuLine* line) {
    return line->Total;
}

uint64_t EmuRecordFirst(const EmuLine* line) {
    size_t capacity = line->Ring.size();
    return line->Total > capacity ? line->Total - capacity : 0;
}

const EmuRecordEntry* EmuRecordAt(const EmuLine* line, uint64_t index) {
    if (index < EmuRecordFirst(line) || index >= line->Total)
        return nullptr;
    return &line->Ring[index % line->Ring.size()];
}

const char* EmuRecordKindName(EmuRecordKind kind) {
    switch (kind) {
    case EMU_REC_COMMAND:
        return "command";
    case EMU_REC_NOISE:
        return "noise";
    case EMU_REC_UNHEARD:
        return "unheard";
    case EMU_REC_REPLY_LOST:
        return "reply-lost";
    case EMU_REC_SPEED:
        return "speed";
    case EMU_REC_LINE_ENDING:
        return "line-ending";
    case EMU_REC_UNPLUG:
        return "unplug";
    case EMU_REC_PLUG:
        return "plug";
    case EMU_REC_POWER_OFF:
        return "power-off";
    case EMU_REC_POWER_ON:
        return "power-on";
    case EMU_REC_CONTROL:
        return "control";
    }
    return "?";
}

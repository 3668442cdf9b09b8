// The simulated ports and the virtual clock: each port is an emulated board's line
// (emulator/EmuLine.h) in this process, reached through the device code's serial port seam.
#include "tests/sim/SimPorts.h"

#include "device/DeviceClock.h"
#include "device/SerialPort.h"

#include <deque>
#include <memory>
#include <vector>

namespace {

constexpr int64_t READ_TIMEOUT_MS = 152;
constexpr int64_t STUCK_SLICE_MS = 10;
constexpr int64_t STUCK_LIMIT_MS = 600000;
// The Win32 codes, which the program shows: no such device, and a port held by another.
constexpr uint32_t ERROR_ABSENT = 2;
constexpr uint32_t ERROR_BUSY = 5;

struct Slot {
    std::string Name;
    EmuLine* Line = nullptr;
    uintptr_t OpenHandle = 0; // 0 while closed
    uint32_t Baud = 0;        // the line speed the last open set
    unsigned long PlugCountAtOpen = 0;
    int Stuck = 0;
    int ReadStuck = 0;
    std::deque<SimPortEvent> Events;
    uint64_t EventsDropped = 0;
};

int64_t NowMs = 0;
uintptr_t NextHandle = 1;
std::string Actor;
std::vector<std::unique_ptr<Slot>> Slots;
void (*StuckPump)(void*) = nullptr;
void* StuckPumpContext = nullptr;

Slot* Find(const char* name) {
    if (name == nullptr)
        return nullptr;
    for (auto& slot : Slots)
        if (slot->Name == name)
            return slot.get();
    return nullptr;
}

Slot* FromHandle(ComHandle handle) {
    uintptr_t id = reinterpret_cast<uintptr_t>(handle);
    if (id == 0)
        return nullptr;
    for (auto& slot : Slots)
        if (slot->OpenHandle == id)
            return slot.get();
    return nullptr;
}

void AddEvent(Slot* slot, SimPortEventKind kind, uint32_t baud) {
    if (slot->Events.size() >= SIM_EVENTS_MAX) {
        slot->Events.pop_front();
        slot->EventsDropped++;
    }
    slot->Events.push_back({NowMs, kind, baud, Actor});
}

// The handle is open but its device is gone: the cable went out after the open (a replug
// makes a new port, which this handle is not).
int Dead(Slot* slot) {
    return !EmuLinePlugged(slot->Line, NowMs) ||
           EmuLinePlugCount(slot->Line) != slot->PlugCountAtOpen;
}

int StuckRead(Slot* slot) {
    slot->ReadStuck = 1;
    AddEvent(slot, SIM_STUCK, slot->Baud);
    int64_t start = NowMs;
    while (slot->Stuck) {
        if (NowMs - start >= STUCK_LIMIT_MS) {
            AddEvent(slot, SIM_ABANDONED, slot->Baud);
            break;
        }
        SimAdvanceBy(STUCK_SLICE_MS);
        if (StuckPump != nullptr)
            StuckPump(StuckPumpContext);
    }
    if (!slot->Stuck)
        AddEvent(slot, SIM_RELEASED, slot->Baud);
    slot->ReadStuck = 0;
    return -1;
}

ComHandle SimOpen(const char* name, uint32_t baud, char, uint8_t, float, uint32_t* errorOut) {
    Slot* slot = Find(name);
    if (slot == nullptr || !EmuLinePlugged(slot->Line, NowMs)) {
        if (slot != nullptr)
            AddEvent(slot, SIM_OPEN_ABSENT, baud);
        *errorOut = ERROR_ABSENT;
        return nullptr;
    }
    if (slot->OpenHandle != 0) {
        AddEvent(slot, SIM_OPEN_BUSY, baud);
        *errorOut = ERROR_BUSY;
        return nullptr;
    }
    // As the platform ports purge at open: nothing that waited on the line reaches a reply.
    EmuLinePurge(slot->Line, NowMs);
    slot->OpenHandle = NextHandle++;
    slot->Baud = baud;
    slot->PlugCountAtOpen = EmuLinePlugCount(slot->Line);
    AddEvent(slot, SIM_OPENED, baud);
    return reinterpret_cast<ComHandle>(slot->OpenHandle);
}

int SimRead(ComHandle handle, uint8_t* bytes, size_t count) {
    Slot* slot = FromHandle(handle);
    if (slot == nullptr || count == 0)
        return -1;
    if (slot->Stuck)
        return StuckRead(slot);
    int64_t deadline = NowMs + READ_TIMEOUT_MS;
    for (;;) {
        // The real port fails at once on a device that is gone; taking the time-out instead
        // keeps a caller that retries until a deadline from spinning in virtual time.
        if (Dead(slot)) {
            SimAdvanceTo(deadline);
            return -1;
        }
        size_t got = 0;
        const char* due;
        size_t n;
        while (got < count && (n = EmuLineDue(slot->Line, NowMs, &due)) > 0) {
            size_t take = n < count - got ? n : count - got;
            // Sent at another speed than the port listens at, the bytes are garbage.
            int garbled = EmuLineDueSpeed(slot->Line) != static_cast<long>(slot->Baud);
            for (size_t i = 0; i < take; i++)
                bytes[got + i] = garbled ? 0xFF : static_cast<uint8_t>(due[i]);
            EmuLineTake(slot->Line, take);
            got += take;
        }
        if (got > 0)
            return static_cast<int>(got);
        int64_t next = EmuLineNextDueMs(slot->Line);
        if (next < 0 || next > deadline) {
            SimAdvanceTo(deadline);
            return -1;
        }
        SimAdvanceTo(next);
    }
}

int SimGetChar(ComHandle handle) {
    uint8_t byte = 0;
    return SimRead(handle, &byte, 1) == 1 ? byte : -1;
}

int SimWrite(ComHandle handle, const uint8_t* bytes, size_t count) {
    Slot* slot = FromHandle(handle);
    if (slot == nullptr || Dead(slot))
        return -1;
    EmuLineReceive(slot->Line, reinterpret_cast<const char*>(bytes), count, slot->Baud, NowMs);
    return 0;
}

int SimClose(ComHandle handle) {
    Slot* slot = FromHandle(handle);
    if (slot == nullptr)
        return 0;
    slot->OpenHandle = 0;
    AddEvent(slot, SIM_CLOSED, slot->Baud);
    return 1;
}

uint32_t SimState(const char* name) {
    Slot* slot = Find(name);
    if (slot == nullptr || !EmuLinePlugged(slot->Line, NowMs))
        return ERROR_ABSENT;
    return slot->OpenHandle != 0 ? ERROR_BUSY : 0;
}

const SerialPortBackend SimBackend = {SimOpen, SimGetChar, SimWrite, SimClose, SimState, SimRead};

void SimSleep(uint32_t ms) {
    SimAdvanceBy(ms);
}

double SimNowSeconds() {
    return static_cast<double>(NowMs) / 1000.0;
}

const DeviceClockHooks SimClock = {SimSleep, SimNowSeconds};

void FreeBoards() {
    for (auto& slot : Slots)
        EmuLineDestroy(slot->Line);
    Slots.clear();
}

} // namespace

int64_t SimNowMs() {
    return NowMs;
}

void SimAdvanceTo(int64_t ms) {
    if (ms > NowMs)
        NowMs = ms;
}

void SimAdvanceBy(int64_t ms) {
    if (ms > 0)
        NowMs += ms;
}

void SimInstall(int64_t startMs) {
    FreeBoards();
    NowMs = startMs;
    NextHandle = 1;
    Actor.clear();
    StuckPump = nullptr;
    StuckPumpContext = nullptr;
    SetDeviceClockHooks(&SimClock);
    SetSerialPortBackend(&SimBackend);
}

void SimRemove() {
    SetSerialPortBackend(nullptr);
    SetDeviceClockHooks(nullptr);
    FreeBoards();
    StuckPump = nullptr;
    StuckPumpContext = nullptr;
}

EmuLine* SimAddBoard(const char* portName, const EmuSettings* settings, size_t recordCapacity) {
    if (portName == nullptr || Find(portName) != nullptr)
        return nullptr;
    EmuLine* line = EmuLineCreate(settings, NowMs, recordCapacity);
    if (line == nullptr)
        return nullptr;
    auto slot = std::make_unique<Slot>();
    slot->Name = portName;
    slot->Line = line;
    Slots.push_back(std::move(slot));
    return line;
}

EmuLine* SimBoard(const char* portName) {
    Slot* slot = Find(portName);
    return slot != nullptr ? slot->Line : nullptr;
}

void SimSetActor(const char* actor) {
    Actor = actor != nullptr ? actor : "";
}

size_t SimPortEventCount(const char* portName) {
    Slot* slot = Find(portName);
    return slot != nullptr ? slot->Events.size() : 0;
}

const SimPortEvent* SimPortEventAt(const char* portName, size_t index) {
    Slot* slot = Find(portName);
    if (slot == nullptr || index >= slot->Events.size())
        return nullptr;
    return &slot->Events[index];
}

uint64_t SimPortEventsDropped(const char* portName) {
    Slot* slot = Find(portName);
    return slot != nullptr ? slot->EventsDropped : 0;
}

const char* SimPortEventName(SimPortEventKind kind) {
    switch (kind) {
    case SIM_OPENED:
        return "opened";
    case SIM_OPEN_BUSY:
        return "open-busy";
    case SIM_OPEN_ABSENT:
        return "open-absent";
    case SIM_CLOSED:
        return "closed";
    case SIM_STUCK:
        return "stuck";
    case SIM_RELEASED:
        return "released";
    case SIM_ABANDONED:
        return "abandoned";
    case SIM_CANCEL_IGNORED:
        return "cancel-ignored";
    }
    return "?";
}

int SimPortIsOpen(const char* portName) {
    Slot* slot = Find(portName);
    return slot != nullptr && slot->OpenHandle != 0;
}

void SimPortSetStuck(const char* portName, int stuck) {
    Slot* slot = Find(portName);
    if (slot != nullptr)
        slot->Stuck = stuck != 0;
}

int SimPortReadStuck(const char* portName) {
    Slot* slot = Find(portName);
    return slot != nullptr && slot->ReadStuck;
}

void SimSetStuckPump(void (*pump)(void* context), void* context) {
    StuckPump = pump;
    StuckPumpContext = context;
}

void SimPortCancelIo(const char* portName) {
    Slot* slot = Find(portName);
    if (slot != nullptr && slot->ReadStuck)
        AddEvent(slot, SIM_CANCEL_IGNORED, slot->Baud);
}

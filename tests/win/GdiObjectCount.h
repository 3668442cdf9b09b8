// The number of GDI objects this process holds, for leak checks across open/close cycles.
#pragma once

#include <cstring>
#include <windows.h>
#include <winternl.h>

// Windows answers GetGuiResources; Wine returns 0 there, but keeps its GDI handle table in the
// process, pointed to by the PEB (GdiSharedHandleTable, offset 0xF8 on x64): 24-byte entries
// whose first 8 bytes are non-zero while the object lives.
inline unsigned long GdiObjectCount() {
    DWORD count = GetGuiResources(GetCurrentProcess(), GR_GDIOBJECTS);
    if (count != 0) {
        return count;
    }
    const unsigned char* peb =
        reinterpret_cast<const unsigned char*>(NtCurrentTeb()->ProcessEnvironmentBlock);
    const unsigned char* table = *reinterpret_cast<const unsigned char* const*>(peb + 0xF8);
    if (table == nullptr) {
        return 0;
    }
    unsigned long live = 0;
    for (int i = 0; i < 0x10000; i++) {
        const unsigned char* entry = table + 24 * i;
        unsigned long long object;
        memcpy(&object, entry, sizeof object);
        if (object != 0) {
            live++;
        }
    }
    return live;
}

struct GdiCounts {
    unsigned long Before, After;
};

// The count after one warm-up round of cycle (the first use fills the caches of fonts and
// stock objects) and after `times` more rounds.
template <typename Cycle> GdiCounts GdiObjectsAcrossCycles(int times, Cycle cycle) {
    cycle();
    GdiCounts counts;
    counts.Before = GdiObjectCount();
    for (int i = 0; i < times; i++) {
        cycle();
    }
    counts.After = GdiObjectCount();
    return counts;
}

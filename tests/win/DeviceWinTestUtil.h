// Helpers of the Windows device tests: the emulated boards' record files and control FIFOs
// live in the Unix folder TORVAN_WINTEST_DIR, which Wine reaches through drive Z:. The files
// are named com5.ctl, com6.rec ...: without the \\?\ prefix Windows takes such a name for
// the device COM5 or COM6 whatever its folder or extension, and the text would go down the
// serial line instead.
#pragma once

#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace devicewin {

inline std::string BoardFilePath(const char* file) {
    const char* dir = getenv("TORVAN_WINTEST_DIR");
    if (dir == nullptr || *dir == '\0') {
        return "";
    }
    std::string path = "\\\\?\\Z:";
    for (const char* p = dir; *p != '\0'; p++) {
        path += *p == '/' ? '\\' : *p;
    }
    return path + "\\" + file;
}

// One line to an emulator's control FIFO ("reset", "fault silence" ...).
inline bool BoardControl(const char* fifo, const char* line) {
    std::string path = BoardFilePath(fifo);
    FILE* f = path.empty() ? nullptr : fopen(path.c_str(), "w");
    if (f == nullptr) {
        return false;
    }
    fprintf(f, "%s\n", line);
    fclose(f);
    Sleep(50); // the emulator reads its FIFO between replies
    return true;
}

// The commands an emulator received, oldest first, without time stamps.
inline std::vector<std::string> BoardRecord(const char* file) {
    std::vector<std::string> lines;
    std::string path = BoardFilePath(file);
    FILE* f = path.empty() ? nullptr : fopen(path.c_str(), "r");
    if (f == nullptr) {
        return lines;
    }
    char line[512];
    while (fgets(line, sizeof line, f) != nullptr) {
        const char* text = strchr(line, ' ');
        if (text == nullptr) {
            continue;
        }
        std::string s(text + 1);
        while (!s.empty() && (s.back() == '\n' || s.back() == '\r')) {
            s.pop_back();
        }
        lines.push_back(s);
    }
    fclose(f);
    return lines;
}

inline double NowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

} // namespace devicewin

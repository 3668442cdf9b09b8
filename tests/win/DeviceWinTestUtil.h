// Helpers of the Windows device tests: the emulated boards' record files and control FIFOs
// live in the Unix folder TORVAN_WINTEST_DIR, which Wine reaches through drive Z:. The files
// are named com5.ctl, com6.rec ...: without the \\?\ prefix Windows takes such a name for
// the device COM5 or COM6 whatever its folder or extension, and the text would go down the
// serial line instead.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "device/LegacyBoardUtils.h"

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

// A test on one emulated board's port: the board is reset before it (and the test skipped
// when the boards are not running), the port is closed after it.
class BoardPortTest : public ::testing::Test {
  protected:
    explicit BoardPortTest(const char* controlFifo) : controlFifo_(controlFifo) {}
    void SetUp() override {
        if (!BoardControl(controlFifo_, "reset")) {
            GTEST_SKIP() << "no emulated boards (TORVAN_WINTEST_DIR unset)";
        }
        ClearSerialPortErrors();
        ForgetBoardLineSettings();
    }
    void TearDown() override {
        if (Port != nullptr) {
            CloseComPort(Port);
        }
    }
    ComHandle Port = nullptr;

  private:
    const char* controlFifo_;
};

inline double NowMs() {
    LARGE_INTEGER frequency, counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return 1000.0 * static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

} // namespace devicewin

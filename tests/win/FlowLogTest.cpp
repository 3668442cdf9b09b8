#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/WorkerThread.h"
#include "app/win32/Connection.h"
#include "app/win32/FlowLog.h"
#include "app/win32/LegacyApp.h"

#include "ToolWindowHarness.h"

namespace {

struct LogBox {
    std::string Text, Caption;
};
std::vector<LogBox> LogBoxes;

int WINAPI RecordLogBox(HWND, LPCSTR text, LPCSTR caption, UINT) {
    LogBoxes.push_back({text, caption});
    return IDOK;
}

LRESULT CALLBACK LogTestMainProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcA(window, message, wParam, lParam);
}

std::string ReadFileText(const std::string& path) {
    std::string text;
    FILE* file = fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return text;
    }
    char chunk[4096];
    size_t got;
    while ((got = fread(chunk, 1, sizeof chunk, file)) > 0) {
        text.append(chunk, got);
    }
    fclose(file);
    return text;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

// True when nobody else holds the file open: an exclusive open succeeds only then.
bool FileIsClosed(const std::string& path) {
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return false;
    }
    CloseHandle(handle);
    return true;
}

int CountIntervalWindows() {
    int count = 0;
    HWND found = nullptr;
    while ((found = FindWindowExA(nullptr, found, "LogIntervalWin", nullptr)) != nullptr) {
        count++;
    }
    return count;
}

class FlowLogTest : public ::testing::Test {
  protected:
    HWND Main = nullptr;
    HMENU Menu = nullptr;
    std::string Dir;

    void SetUp() override {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_UPDOWN_CLASS};
        InitCommonControlsEx(&controls);
        toolharness::RegisterTestClass("FlowLogTestMain", LogTestMainProc);
        Menu = CreateMenu();
        AppendMenuA(Menu, MF_STRING, CMD_START_LOG, "&Start Log");
        AppendMenuA(Menu, MF_STRING, CMD_STOP_LOG, "Sto&p Log");
        Main = CreateWindowA("FlowLogTestMain", "main", WS_OVERLAPPEDWINDOW, 50, 50, 400, 300,
                             nullptr, Menu, GetModuleHandleA(nullptr), nullptr);
        ASSERT_NE(Main, nullptr);
        ScreenWidth = 1920;
        ScreenHeight = 1080;
        LogMessageBox = RecordLogBox;
        LogBoxes.clear();
        char temp[MAX_PATH];
        GetTempPathA(sizeof temp, temp);
        Dir = std::string(temp) + "torvan-flowlog-" + std::to_string(GetCurrentProcessId());
        CreateDirectoryA(Dir.c_str(), nullptr);
        SystemState.Flow = 37.5f;
        // Connected, with a fresh state report of this run: the log may write.
        ActAsWorkerForTests(CONN_CONNECTED);
        ResumeLogWithLink();
    }
    void TearDown() override {
        StopLog(Main);
        if (LogIntervalWin && IsWindow(LogIntervalWin)) {
            DestroyWindow(LogIntervalWin);
        }
        LogIntervalWin = nullptr;
        DestroyWindow(Main);
        LogMessageBox = MessageBoxA;
        HoldLogForLink();
        InitConnection();
    }
    std::string PathOf(const char* name) { return Dir + "\\" + name; }
    bool TimerRunning() { return KillTimer(Main, TIMER_LOG_SAMPLE) != 0; }
    UINT MenuState(UINT id) { return GetMenuState(Menu, id, MF_BYCOMMAND) & (MF_GRAYED); }
};

} // namespace

TEST_F(FlowLogTest, CancelLeavesAnEmptyClosedFile) {
    std::string path = PathOf("cancel.csv");
    ASSERT_EQ(StartLogToPath(Main, path.c_str()), 1);
    EXPECT_NE(LogFile, nullptr);
    EXPECT_EQ(LoggingActive, 0);
    ASSERT_NE(LogIntervalWin, nullptr);
    EXPECT_TRUE(IsWindow(LogIntervalWin));
    OnLogIntervalCancel(Main);
    EXPECT_EQ(LogFile, nullptr);
    EXPECT_EQ(LoggingActive, 0);
    EXPECT_EQ(CountIntervalWindows(), 0);
    EXPECT_TRUE(FileIsClosed(path));
    EXPECT_EQ(ReadFileText(path), "");
    EXPECT_TRUE(LogBoxes.empty());
}

TEST_F(FlowLogTest, IntervalWritesTheHeaderAndStartsTheTimer) {
    struct {
        UINT Interval;
        const char* Header;
        int WithMs;
    } const cases[] = {
        {60000, "Date, Time, Flow Rate, Log Interval: 1 Minute", 0},
        {61001, "Date, Time, Flow Rate, Log Interval: 1 Minute1 Second1 Msec", 1},
        {250, "Date, Time, Flow Rate, Log Interval: 250 Msec", 1},
    };
    for (const auto& c : cases) {
        std::string path = PathOf("header.csv");
        ASSERT_EQ(StartLogToPath(Main, path.c_str()), 1);
        OnLogIntervalSet(Main, c.Interval);
        EXPECT_EQ(LoggingActive, 1);
        EXPECT_EQ(LoggingIntervalInMsec, c.WithMs);
        EXPECT_EQ(CountIntervalWindows(), 0);
        LogSampleTick(Main);
        // Each line is flushed: the file holds it while logging goes on.
        std::vector<std::string> lines = Lines(ReadFileText(path));
        ASSERT_EQ(lines.size(), 2u) << c.Interval;
        EXPECT_EQ(lines[0], c.Header);
        int month, day, year, hour, minute, second, ms = -1;
        char rest[32] = {};
        int fields = c.WithMs ? sscanf(lines[1].c_str(), "%2d/%2d/%4d,%2d:%2d:%2d.%3d,%31s", &month,
                                       &day, &year, &hour, &minute, &second, &ms, rest)
                              : sscanf(lines[1].c_str(), "%2d/%2d/%4d,%2d:%2d:%2d,%31s", &month,
                                       &day, &year, &hour, &minute, &second, rest);
        EXPECT_EQ(fields, c.WithMs ? 8 : 7) << lines[1];
        EXPECT_STREQ(rest, "37.500000");
        EXPECT_GE(year, 2000);
        EXPECT_EQ(lines[1][10], ',');
        EXPECT_TRUE(TimerRunning()) << c.Interval;
        StopLog(Main);
    }
}

TEST_F(FlowLogTest, TheSampleLimitLeavesHeaderPlus4096Lines) {
    std::string path = PathOf("limit.csv");
    ASSERT_EQ(StartLogToPath(Main, path.c_str()), 1);
    OnLogIntervalSet(Main, 3600000); // an hour: the timer itself never fires here
    for (int tick = 0; tick < 4100; tick++) {
        LogSampleTick(Main);
        if (tick == 4094) {
            EXPECT_NE(LogFile, nullptr);
            EXPECT_TRUE(LogBoxes.empty());
        }
    }
    EXPECT_EQ(LogFile, nullptr);
    EXPECT_EQ(LoggingActive, 0);
    EXPECT_EQ(NumLogFileSamples, 0);
    EXPECT_FALSE(TimerRunning());
    ASSERT_EQ(LogBoxes.size(), 1u);
    EXPECT_EQ(LogBoxes[0].Text, "Flow Sample Limit Reached, Closing File");
    EXPECT_EQ(LogBoxes[0].Caption, "Logging Terminated");
    std::vector<std::string> lines = Lines(ReadFileText(path));
    EXPECT_EQ(lines.size(), 4097u);
    EXPECT_EQ(lines.back().substr(lines.back().size() - 10), ",37.500000");
}

TEST_F(FlowLogTest, AWriteFailureStopsLoggingAndSaysSo) {
    std::string path = PathOf("readonly.csv");
    ASSERT_EQ(StartLogToPath(Main, path.c_str()), 1);
    OnLogIntervalSet(Main, 60000);
    ASSERT_EQ(LoggingActive, 1);
    // The disk goes away under the stream: swap in one that refuses writes.
    fclose(LogFile);
    LogFile = fopen(path.c_str(), "r");
    ASSERT_NE(LogFile, nullptr);
    LogSampleTick(Main);
    EXPECT_EQ(LogFile, nullptr);
    EXPECT_EQ(LoggingActive, 0);
    EXPECT_FALSE(TimerRunning());
    EXPECT_TRUE(FileIsClosed(path));
    ASSERT_EQ(LogBoxes.size(), 1u);
    EXPECT_EQ(LogBoxes[0].Caption, "FILE ERROR");

    // The header's write is checked as well: no timer starts on a failed header.
    LogBoxes.clear();
    ASSERT_EQ(StartLogToPath(Main, path.c_str()), 1);
    fclose(LogFile);
    LogFile = fopen(path.c_str(), "r");
    ASSERT_NE(LogFile, nullptr);
    OnLogIntervalSet(Main, 2000);
    EXPECT_EQ(LogFile, nullptr);
    EXPECT_EQ(LoggingActive, 0);
    EXPECT_FALSE(TimerRunning());
    EXPECT_EQ(LogBoxes.size(), 1u);
}

TEST_F(FlowLogTest, StartingAgainClosesTheFirstFile) {
    struct {
        const char* Name;
        int LogFirst; // 1: the first file was logging, 0: still awaiting its interval
    } const cases[] = {{"awaiting.csv", 0}, {"logging.csv", 1}};
    for (const auto& c : cases) {
        std::string first = PathOf(c.Name);
        std::string second = PathOf("second.csv");
        ASSERT_EQ(StartLogToPath(Main, first.c_str()), 1);
        if (c.LogFirst) {
            OnLogIntervalSet(Main, 60000);
            LogSampleTick(Main);
        }
        ASSERT_EQ(StartLogToPath(Main, second.c_str()), 1);
        EXPECT_TRUE(FileIsClosed(first)) << c.Name;
        EXPECT_FALSE(TimerRunning()) << c.Name;
        EXPECT_EQ(LoggingActive, 0);
        EXPECT_EQ(CountIntervalWindows(), 1) << c.Name;
        EXPECT_EQ(Lines(ReadFileText(first)).size(), c.LogFirst ? 2u : 0u);
        OnLogIntervalSet(Main, 1000);
        LogSampleTick(Main);
        StopLog(Main);
        EXPECT_EQ(Lines(ReadFileText(second)).size(), 2u);
        EXPECT_EQ(Lines(ReadFileText(first)).size(), c.LogFirst ? 2u : 0u);
    }
}

TEST_F(FlowLogTest, OpenFailureShowsTheBoxAndChangesNothing) {
    std::string path = PathOf("no-such-folder\\x.csv");
    EXPECT_EQ(StartLogToPath(Main, path.c_str()), 0);
    EXPECT_EQ(LogFile, nullptr);
    EXPECT_EQ(LoggingActive, 0);
    EXPECT_EQ(CountIntervalWindows(), 0);
    ASSERT_EQ(LogBoxes.size(), 1u);
    EXPECT_EQ(LogBoxes[0].Text, "Error Opening File: " + path);
    EXPECT_EQ(LogBoxes[0].Caption, "FILE ERROR");
}

TEST_F(FlowLogTest, MenuFollowsTheLoggingState) {
    std::string path = PathOf("menu.csv");
    UpdateLoggingMenu(Menu);
    EXPECT_EQ(MenuState(CMD_START_LOG), 0u);
    EXPECT_EQ(MenuState(CMD_STOP_LOG), UINT(MF_GRAYED));
    ASSERT_EQ(StartLogToPath(Main, path.c_str()), 1);
    UpdateLoggingMenu(Menu); // awaiting the interval: not active yet
    EXPECT_EQ(MenuState(CMD_START_LOG), 0u);
    EXPECT_EQ(MenuState(CMD_STOP_LOG), UINT(MF_GRAYED));
    OnLogIntervalSet(Main, 60000);
    UpdateLoggingMenu(Menu);
    EXPECT_EQ(MenuState(CMD_START_LOG), UINT(MF_GRAYED));
    EXPECT_EQ(MenuState(CMD_STOP_LOG), 0u);
    StopLog(Main);
    EXPECT_EQ(MenuState(CMD_START_LOG), 0u);
    EXPECT_EQ(MenuState(CMD_STOP_LOG), UINT(MF_GRAYED));
    EXPECT_EQ(LogFile, nullptr);
    EXPECT_FALSE(TimerRunning());
    EXPECT_TRUE(FileIsClosed(path));
}

#include "app/win32/Companions.h"

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/WorkerThread.h"
#include "app/win32/Connection.h"
#include "app/win32/FlowLog.h"
#include "app/win32/LegacyApp.h"
#include "app/win32/MainMenu.h"
#include "app/win32/MainReplies.h"
#include "display/win32/TotalizerWin.h"
#include "tools/win32/CmdWin.h"
#include "tools/win32/LogIntervalWin.h"
#include "tools/win32/PidAdjust.h"
#include "tools/win32/SetPointEntry.h"

namespace {

typedef void (*HookFn)(HWND mainWindow);

struct CompanionRow {
    const char* Name;
    UINT OpenCommand; // 0: opened otherwise
    HookFn Open;
    BOOL (*Filter)(MSG* message);
    UINT CloseMessage; // 0: none
    void (*Closed)(HWND mainWindow, LPARAM lParam);
    HookFn Hooks[OWNER_HOOK_COUNT]; // link up, link down, ended, exit; null: nothing
};

void DestroyIfOpen(HWND* window) {
    if (*window && IsWindow(*window))
        DestroyWindow(*window);
    *window = nullptr;
}

const CompanionRow Rows[] = {
    {"settings",
     0,
     nullptr,
     nullptr,
     0,
     nullptr,
     {[](HWND window) { SendWaitingSettings(window); }, [](HWND) { SettingsLinkDown(); },
      [](HWND window) { EndSettingSends(window, "the connection ended"); },
      [](HWND window) { SettingsAtExit(window); }}},
    {"set point",
     CMD_SETPOINT,
     OnSetPointCommand,
     SetPointDialogBoxMsg,
     WM_SETPOINT_DLG_CLOSED,
     [](HWND, LPARAM) { SetPointDlgActive = 0; },
     {nullptr, nullptr, nullptr, [](HWND) { CloseSetPointDlg(); }}},
    {"PID",
     CMD_PID_ADJUST,
     OnPidAdjustCommand,
     PidAdjDlgBoxMsg,
     WM_PID_DLG_CLOSED,
     [](HWND, LPARAM) { PidAdjDlgActive = 0; },
     {nullptr, nullptr, nullptr, [](HWND) { ClosePidAdjDlg(); }}},
    {"command window",
     CMD_COMMAND_WINDOW,
     OnCommandWindowCommand,
     CmdWinDialogBoxMsg,
     0,
     nullptr,
     {[](HWND) { CmdWinLinkUp(); }, [](HWND) { CmdWinLinkDown(); },
      [](HWND) { CmdWinConnectionEnded(); }, [](HWND) { DestroyIfOpen(&CmdWin); }}},
    {"graph",
     CMD_GRAPH,
     OnGraphCommand,
     nullptr,
     WM_GRAPH_CLOSED,
     OnGraphClosed,
     {nullptr, nullptr, nullptr,
      [](HWND) {
          DestroyIfOpen(&GraphWin1);
          SimGraphWindowExists.store(0);
      }}},
    {"totalizer",
     CMD_TOTALIZER,
     OnTotalizerCommand,
     TotalizerWinDialogBoxMsg,
     WM_TOTALIZER_CLOSED,
     [](HWND, LPARAM lParam) {
         // The closed window comes along: a report read after a new one opened is stale.
         if (lParam == 0 || (HWND)lParam == TotalizerWin)
             TotalizerWin = nullptr;
     },
     {nullptr, nullptr, nullptr, [](HWND) { DestroyIfOpen(&TotalizerWin); }}},
    {"log interval",
     0,
     nullptr,
     LogIntervalWinDialogBoxMsg,
     0,
     nullptr,
     {nullptr, nullptr, nullptr, [](HWND) { DestroyIfOpen(&LogIntervalWin); }}},
    // Last: its box after a connection's end comes once everything else has followed.
    {"log",
     0,
     nullptr,
     nullptr,
     0,
     nullptr,
     {nullptr, [](HWND) { HoldLogForLink(); }, [](HWND window) { EndLogWithNotice(window); },
      [](HWND) { CloseLogFileAtExit(); }}},
    // The next run's state report names its gas afresh.
    {"readout",
     0,
     nullptr,
     nullptr,
     0,
     nullptr,
     {nullptr, [](HWND) { CurrentActiveGas = -1; }, nullptr, nullptr}},
};

} // namespace

void CompanionHook(HWND mainWindow, OwnerHook hook) {
    if (hook < 0 || hook >= OWNER_HOOK_COUNT)
        return;
    for (const CompanionRow& row : Rows)
        if (row.Hooks[hook])
            row.Hooks[hook](mainWindow);
}

int CompanionCommand(HWND mainWindow, UINT command) {
    for (const CompanionRow& row : Rows)
        if (row.OpenCommand != 0 && row.OpenCommand == command && row.Open) {
            row.Open(mainWindow);
            return 1;
        }
    return 0;
}

int CompanionClosed(HWND mainWindow, UINT message, LPARAM lParam) {
    for (const CompanionRow& row : Rows)
        if (row.CloseMessage != 0 && row.CloseMessage == message) {
            if (row.Closed)
                row.Closed(mainWindow, lParam);
            return 1;
        }
    return 0;
}

int CompanionFilterMessage(MSG* message) {
    for (const CompanionRow& row : Rows)
        if (row.Filter && row.Filter(message))
            return 1;
    return 0;
}

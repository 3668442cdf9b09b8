// The main window's handling of the worker's replies, the tool windows' messages and its
// own application messages.
#include <cstdio>
#include <cstring>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/DeferredSend.h"
#include "app/GasText.h"
#include "app/SerialCmdQ.h"
#include "app/WorkerThread.h"
#include "app/win32/Companions.h"
#include "app/win32/Connection.h"
#include "app/win32/FlowLog.h"
#include "app/win32/LegacyApp.h"
#include "app/win32/MainReplies.h"
#include "app/win32/MainMenu.h"
#include "app/win32/MainReadout.h"
#include "device/LegacyBoardUtils.h"
#include "display/FormatInfo.h"
#include "display/win32/Graph.h"
#include "display/win32/TotalizerWin.h"
#include "tools/SliderScales.h"
#include "tools/win32/CmdWin.h"
#include "tools/win32/PidAdjust.h"
#include "tools/win32/SetPointEntry.h"

// A line of the command window goes to the board in one queue slot, as typed.
static_assert(CMD_TEXT_SIZE == MSGQ_TEXT_SIZE, "a command window line must fit a queue slot");

// The command being queued is formatted here; the queue copies it.
static char OutString[MSGQ_TEXT_SIZE];

static float FloatFromBits(LPARAM lParam) {
    uint32_t bits = (uint32_t)lParam;
    float value;
    memcpy(&value, &bits, sizeof value);
    return value;
}

// What the operator chose for the board, one per settling timer (set point, then the PID
// values in the order of their timers). Each send's reply lands in the setting's own buffer,
// so WM_SETTING_SENT names the setting it carried out.
constexpr int SETTING_COUNT = TIMER_SEND_CRACKING - TIMER_SEND_SETPOINT + 1;
static DeferredValueRec SettingSends[SETTING_COUNT];
static char SettingReplies[SETTING_COUNT][IGNORE_RESULT_SIZE];
// Set while the box about a send the full queue refused is up: its modal loop runs the timers.
static int QueueFullBoxShowing;

static const char* const SETTING_NAMES[SETTING_COUNT] = {
    "set point", "proportional gain", "integral gain", "derivative gain", "valve cracking value"};

// The PID values read after a connection land here first, so a slider the operator has
// already moved is not overwritten by the board's older value.
static float ReadProportional, ReadIntegral, ReadDerivative;
static uint32_t ReadCracking;

static DeferredValueRec* SettingFor(UINT timerId) {
    return &SettingSends[timerId - TIMER_SEND_SETPOINT];
}

// The run now going said controller in its "S64"; the operator's settings go to no other.
static int ControllerIdentified() {
    return ConnectionControllerIdentified();
}

static void KillSettingTimers(HWND window) {
    for (UINT id = TIMER_SEND_SETPOINT; id <= TIMER_SEND_CRACKING; id++)
        KillTimer(window, id);
}

void ResetSettingSends() {
    for (DeferredValueRec& value : SettingSends)
        DeferredReset(&value);
    if (MainWindowHandle)
        KillSettingTimers(MainWindowHandle);
}

// Values chosen that did not reach the board, and values the board refused: said in one box
// once the handler that found them has returned (a connection's end runs every companion's
// hook first, and a box's modal loop would run the others' in between).
static unsigned UnsentMask, UnconfirmedMask, RefusedMask;
static const char* UnsentWhy = "";
static const char* SaveFailure = nullptr; // why the last SAVE TO FLASH did not all land
static int SettingsReportPosted;

// SAVE TO FLASH's four writes, each answered into its own buffer; a write refused, unanswered
// or gone with the link makes the save one to report.
constexpr int SAVE_WRITES = 4;
static char SaveReplies[SAVE_WRITES][IGNORE_RESULT_SIZE];
static int SaveInFlight;

// Notes what the operator chose and the board has not confirmed; 1 when there is any.
static int NoteUnsentSettings(const char* why) {
    unsigned unsent = 0, unconfirmed = 0;
    for (int i = 0; i < SETTING_COUNT; i++) {
        if (DeferredUnsent(&SettingSends[i]))
            unsent |= 1u << i;
        else if (DeferredUnconfirmed(&SettingSends[i]))
            unconfirmed |= 1u << i;
    }
    if (unsent == 0 && unconfirmed == 0)
        return 0;
    UnsentMask |= unsent;
    UnconfirmedMask |= unconfirmed;
    UnsentWhy = why;
    return 1;
}

static void PostSettingsReport(HWND window) {
    if (!SettingsReportPosted && window)
        SettingsReportPosted = PostMessageA(window, WM_SETTINGS_NOT_SENT, 0, 0) ? 1 : 0;
}

static void ShowSettingsReport(HWND window) {
    SettingsReportPosted = 0;
    // At a log-off nobody is left to read it.
    if (ConnectionSessionEnded()) {
        UnsentMask = UnconfirmedMask = RefusedMask = 0;
        SaveFailure = nullptr;
        return;
    }
    char unsent[200], unconfirmed[200], refused[200], saved[120] = "", what[80];
    snprintf(what, sizeof what, "not sent to the board: %s", UnsentWhy);
    SettingsReportText(SETTING_NAMES, SETTING_COUNT, UnsentMask, what, unsent, sizeof unsent);
    snprintf(what, sizeof what, "sent, but may not have reached the board: %s", UnsentWhy);
    SettingsReportText(SETTING_NAMES, SETTING_COUNT, UnconfirmedMask, what, unconfirmed,
                       sizeof unconfirmed);
    SettingsReportText(SETTING_NAMES, SETTING_COUNT, RefusedMask,
                       "refused by the board, which keeps the value it had", refused,
                       sizeof refused);
    if (SaveFailure)
        snprintf(saved, sizeof saved,
                 "The PID tuning may not be saved to the flash: %s. Save it again.", SaveFailure);
    UnsentMask = UnconfirmedMask = RefusedMask = 0;
    SaveFailure = nullptr;
    char text[760] = "";
    const char* parts[] = {unsent, unconfirmed, refused, saved};
    for (const char* part : parts) {
        if (!part[0])
            continue;
        size_t used = strlen(text);
        snprintf(text + used, sizeof text - used, "%s%s", used ? "\r" : "", part);
    }
    if (text[0])
        MainMessageBox(window, text, AppName, MB_OK | MB_ICONWARNING);
}

// A save whose writes are still on their way when the run stops has not all landed.
static int NoteSaveCut(const char* why) {
    if (SaveInFlight <= 0)
        return 0;
    SaveInFlight = 0;
    SaveFailure = why;
    return 1;
}

void EndSettingSends(HWND window, const char* why) {
    int unsent = NoteUnsentSettings(why);
    if (NoteSaveCut(why) || unsent)
        PostSettingsReport(window);
    ResetSettingSends();
}

void SettingsAtExit(HWND window) {
    // The window goes right after: a posted report would never be read.
    NoteUnsentSettings("the program ends");
    NoteSaveCut("the program ends");
    ShowSettingsReport(window);
}

void SettingsLinkDown() {
    for (DeferredValueRec& value : SettingSends)
        DeferredLinkDown(&value);
    if (MainWindowHandle) {
        KillSettingTimers(MainWindowHandle);
        // Unlike a set point, a save is not made again by itself after the reconnection.
        if (NoteSaveCut("the link failed"))
            PostSettingsReport(MainWindowHandle);
    }
}

// The operator chose value for the setting of timerId: start its settling timer, or stop it
// when the board already holds (or will hold) the value.
static void ChangeSetting(HWND window, UINT timerId, double value) {
    switch (DeferredChange(SettingFor(timerId), value)) {
    case DEFERRED_START:
        SetTimer(window, timerId, 50, TimerProc);
        break;
    case DEFERRED_CANCEL:
        KillTimer(window, timerId);
        break;
    default:
        break;
    }
}

static void FormatSetting(UINT timerId, double value) {
    switch (timerId) {
    case TIMER_SEND_SETPOINT:
        snprintf(OutString, sizeof OutString, "V5=%f\r", value);
        break;
    case TIMER_SEND_PROPORTIONAL:
        snprintf(OutString, sizeof OutString, "~PR=%f\r", value);
        break;
    case TIMER_SEND_INTEGRAL:
        snprintf(OutString, sizeof OutString, "~IR=%f\r", value);
        break;
    case TIMER_SEND_DERIVATIVE:
        snprintf(OutString, sizeof OutString, "~DR=%f\r", value);
        break;
    default:
        snprintf(OutString, sizeof OutString, "~CBR=%lu\r", (unsigned long)value);
        break;
    }
}

static void ReportQueueFull(HWND window, const char* what) {
    if (QueueFullBoxShowing)
        return;
    char text[160];
    snprintf(text, sizeof text,
             "The command queue is full: the %s was not sent to the board.\rChoose it again "
             "once the board answers.",
             what);
    QueueFullBoxShowing = 1;
    MainMessageBox(window, text, AppName, MB_OK | MB_ICONWARNING);
    QueueFullBoxShowing = 0;
}

void SendSetting(HWND window, UINT timerId) {
    KillTimer(window, timerId);
    if (timerId < TIMER_SEND_SETPOINT || timerId > TIMER_SEND_CRACKING)
        return;
    DeferredValueRec* setting = SettingFor(timerId);
    // Before this run's "S64" has said controller the value could reach a meter, or a board
    // whose link is not yet set up: it waits for the identification.
    if (!ControllerIdentified()) {
        DeferredHold(setting);
        return;
    }
    DeferredValueRec before = *setting;
    FormatSetting(timerId, DeferredSent(setting));
    int index = (int)(timerId - TIMER_SEND_SETPOINT);
    if (!EnqueueThreadMsg(REQUEST_ASCII, OutString, WM_SETTING_SENT, PARSE_TEXT,
                          SettingReplies[index], sizeof SettingReplies[index])) {
        // Not counted as sent: the board keeps its value, and the same choice made again
        // goes out.
        *setting = before;
        setting->Pending = 0;
        setting->Waiting = 0;
        ReportQueueFull(window, SETTING_NAMES[index]);
    }
}

// The run has identified a controller: what the operator chose and the board has not
// carried out goes now, in the order of the timers.
void SendWaitingSettings(HWND window) {
    if (!ControllerIdentified())
        return;
    for (UINT id = TIMER_SEND_SETPOINT; id <= TIMER_SEND_CRACKING; id++)
        if (SettingFor(id)->Waiting)
            SendSetting(window, id);
}

static void OnSettingSent(HWND window, LPARAM lParam) {
    for (int i = 0; i < SETTING_COUNT; i++) {
        if ((const void*)lParam != SettingReplies[i])
            continue;
        // A value out of the board's range is answered "Invalid Command": not carried out.
        if (ReplyRefused(SettingReplies[i])) {
            DeferredRefused(&SettingSends[i]);
            RefusedMask |= 1u << i;
            PostSettingsReport(window);
        } else {
            DeferredCarriedOut(&SettingSends[i]);
        }
    }
}

static void OnPidRead(LPARAM lParam) {
    const void* result = (const void*)lParam;
    UINT valueMessage = 0;
    double shown = 0.0;
    if (result == &ReadProportional) {
        if (DeferredBoardRead(SettingFor(TIMER_SEND_PROPORTIONAL), ReadProportional)) {
            Proportional = ReadProportional;
            valueMessage = WM_PID_PROPORTIONAL;
            shown = Proportional;
        }
    } else if (result == &ReadIntegral) {
        if (DeferredBoardRead(SettingFor(TIMER_SEND_INTEGRAL), ReadIntegral)) {
            Integral = ReadIntegral;
            valueMessage = WM_PID_INTEGRAL;
            shown = Integral;
        }
    } else if (result == &ReadDerivative) {
        if (DeferredBoardRead(SettingFor(TIMER_SEND_DERIVATIVE), ReadDerivative)) {
            Derivative = ReadDerivative;
            valueMessage = WM_PID_DERIVATIVE;
            shown = Derivative;
        }
    } else if (result == &ReadCracking) {
        if (DeferredBoardRead(SettingFor(TIMER_SEND_CRACKING), ReadCracking)) {
            ValveCracking = ReadCracking;
            valueMessage = WM_PID_CRACKING;
            shown = ValveCracking;
        }
    }
    // An open dialog shows what SAVE TO FLASH would write.
    if (valueMessage != 0)
        PidAdjDlgShowBoardValue(valueMessage, shown);
}

static int EnqueueIgnored(const char* command) {
    return EnqueueThreadMsg(REQUEST_ASCII, command, WM_REPLY_IGNORED, PARSE_TEXT, IgnoreResult,
                            sizeof IgnoreResult);
}

void IdentifyBoard(HWND, int simulation, int newLineKnown) {
    if (simulation) {
        EnqueueThreadMsg(REQUEST_ASCII, "S64\r", WM_PRODUCT_CONFIG, PARSE_HEX, &ProductConfig);
        return;
    }
    // Replies end in CR LF while the program runs, but only once the board's own line ending
    // has been read: the end of the connection puts that back, and a board whose "S65" never
    // answered keeps its own ending rather than be left with the program's.
    if (newLineKnown)
        EnqueueIgnored("~SNLC=0x0D0A\r");
    EnqueueThreadMsg(REQUEST_ASCII, "S64\r", WM_PRODUCT_CONFIG, PARSE_HEX, &ProductConfig);
    EnqueueThreadMsg(REQUEST_ASCII, "S54\r", WM_WINDOW_NAME, PARSE_TEXT, CommentField,
                     sizeof CommentField);
}

static void OnProductConfig(HWND window, WPARAM token, LPARAM lParam) {
    // A failed "S64" says nothing of this board: the kind read from the one before stays
    // unused, and the link error that follows asks again. Only the identification the owner
    // waits for is taken.
    if (lParam == 0 || !ConnectionWantsIdentification(token))
        return;
    ThisIsController = (int)(ProductConfig & 1);
    AdjustMainWindowSize(window);
    if (ThisIsController) {
        snprintf(WindowTitle, sizeof WindowTitle, "Torvan Controller On %s", ConnectionPortName());
        EnqueueThreadMsg(REQUEST_ASCII, "V24\r", WM_PID_READ, PARSE_FLOAT, &ReadProportional);
        EnqueueThreadMsg(REQUEST_ASCII, "V25\r", WM_PID_READ, PARSE_FLOAT, &ReadDerivative);
        EnqueueThreadMsg(REQUEST_ASCII, "V26\r", WM_PID_READ, PARSE_FLOAT, &ReadIntegral);
        EnqueueThreadMsg(REQUEST_ASCII, "V29\r", WM_PID_READ, PARSE_INT, &ReadCracking);
    } else {
        snprintf(WindowTitle, sizeof WindowTitle, "Torvan Meter On %s", ConnectionPortName());
        // A reconnection may find a meter where a controller was: it has no set point or
        // PID loop to send to, and what the operator chose for the controller is dropped.
        EndSettingSends(window, "the board is a meter");
        HMENU menu = GetMenu(window);
        if (SetPointDlgActive) {
            CloseSetPointDlg();
            SetPointDlgActive = 0;
            CheckMenuItem(menu, CMD_SETPOINT, MF_BYCOMMAND | MF_UNCHECKED);
        }
        if (PidAdjDlgActive) {
            ClosePidAdjDlg();
            PidAdjDlgActive = 0;
            CheckMenuItem(menu, CMD_PID_ADJUST, MF_BYCOMMAND | MF_UNCHECKED);
        }
    }
    SetWindowTextA(window, WindowTitle);
    // Identified: what waited for the board (the settings, the command lines) goes now.
    ConnectionIdentified(window, token, ThisIsController);
}

static void OnWindowName(HWND window, LPARAM lParam) {
    // A failed reply leaves the buffer as the previous board named it; a board without a name
    // answers with an empty line.
    if (lParam == 0 || CommentField[0] == '\r' || CommentField[0] == '\0')
        return;
    snprintf(WindowTitle, sizeof WindowTitle, "%s", CommentField);
    // The reply keeps the board's line end, which has no place in a caption.
    size_t length = strlen(WindowTitle);
    while (length > 0 && (WindowTitle[length - 1] == '\r' || WindowTitle[length - 1] == '\n'))
        WindowTitle[--length] = '\0';
    SetWindowTextA(window, WindowTitle);
}

static void UpdateGraphData(HWND window, WPARAM token, NewFlowReadingsRec* readings) {
    // Only the answer to the request in flight: a stopped run's, or one nobody asked for, could
    // be read while the worker writes the record.
    if (!ConnectionPollAnswered(window, token, POLL_FLOW))
        return;
    // A batch that could not be read comes without its record.
    if (readings == nullptr)
        return;
    int count = readings->Count;
    if (count < 0)
        count = 0;
    if (count > MAX_FLOW_READINGS)
        count = MAX_FLOW_READINGS;
    for (int i = 0; i < count && GraphWin1 && IsWindow(GraphWin1); i++) {
        float sample[MAX_GRAPH_LINES] = {};
        sample[AvgFlowGraphLine] = readings->Values[i];
        if (ThisIsController && AvgFlowGraphLine != 0)
            sample[0] = SystemState.SetPoint;
        StoreGraphLineVals(GraphWin1, sample);
    }
    readings->Count = 0;
    if (MainWindowHandle && !IsIconic(MainWindowHandle) && GraphWin1 && IsWindow(GraphWin1))
        UpdateGraph(GraphWin1);
}

static void OnBoardState(HWND window, WPARAM run, const SystemStateRec* state) {
    if (!ConnectionPollAnswered(window, run, POLL_STATE))
        return;
    // A state that could not be read comes without its record: nothing is shown or logged
    // that the board did not just report.
    if (state == nullptr)
        return;
    SystemState = *state;
    DeferredBoardRead(SettingFor(TIMER_SEND_SETPOINT), SystemState.SetPoint);
    ResumeLogWithLink();
    UpdateDisplay(MainWinDC);
    // The gas queries belong to this run too: a run stopped before they go out must not send
    // them to the next one.
    if ((int)SystemState.ActiveGas != CurrentActiveGas)
        PostMessageA(window, WM_GAS_CHANGED, run, (LPARAM)SystemState.ActiveGas);
}

static void UpdateActiveGasInfo(int gas) {
    CurrentActiveGas = gas;
    EnqueueThreadMsg(REQUEST_ASCII, "G4\r", WM_REPLY_IGNORED, PARSE_TEXT, GasSymbol,
                     sizeof GasSymbol);
    EnqueueThreadMsg(REQUEST_ASCII, "G7\r", WM_REPLY_IGNORED, PARSE_TEXT, GasUnits,
                     sizeof GasUnits);
    EnqueueThreadMsg(REQUEST_ASCII, "G19\r", WM_REPLY_IGNORED, PARSE_FLOAT, &GasTimeFactor);
    EnqueueThreadMsg(REQUEST_ASCII, "G18\r", WM_GAS_INFO, PARSE_FLOAT, &FullScaleFlow);
}

static void OnGasInfo(HWND window, LPARAM lParam) {
    // "G18" failed: the link error that follows asks again on the next run.
    if (lParam == 0)
        return;
    BuildGasInfo(GasUnits, sizeof GasUnits, GasSymbol, sizeof GasSymbol, FullScaleFlow, GasInfo,
                 sizeof GasInfo);
    GetFormatInfo(FullScaleFlow, 1, FlowFormatBuff, sizeof FlowFormatBuff, &NumFlowDecimalPlaces);
    GetFormatInfo(FullScaleFlow, 4, TotalizerFormatBuff, sizeof TotalizerFormatBuff,
                  &NumTotalizerDecimalPlaces);
    SetTotalizerFormat(TotalizerFormatBuff, NumTotalizerDecimalPlaces);
    // In units the digits are sized by the gas's full scale, which has just changed.
    if (ShowFlowDisplayInUnits)
        RelayoutReadout(window);
}

static void OnNewSetPoint(HWND window, LPARAM lParam) {
    float value = FloatFromBits(lParam);
    if (!SetPointAccepted(value))
        return;
    if (ConnectionSimulating())
        SystemState.SetPoint = value;
    ChangeSetting(window, TIMER_SEND_SETPOINT, value);
}

static void OnPidSave(HWND window) {
    if (!ControllerIdentified()) {
        MainMessageBox(window, "No controller is connected: the PID tuning was not saved.", AppName,
                       MB_OK | MB_ICONWARNING);
        return;
    }
    int queued = 1;
    for (int k = 0; k < SAVE_WRITES; k++) {
        if (k == 0)
            snprintf(OutString, sizeof OutString, "V24=%f\r", (double)Proportional);
        else if (k == 1)
            snprintf(OutString, sizeof OutString, "V25=%f\r", (double)Derivative);
        else if (k == 2)
            snprintf(OutString, sizeof OutString, "V26=%f\r", (double)Integral);
        else
            snprintf(OutString, sizeof OutString, "V29=%lu\r", (unsigned long)ValveCracking);
        if (EnqueueThreadMsg(REQUEST_ASCII, OutString, WM_PID_SAVED, PARSE_TEXT, SaveReplies[k],
                             sizeof SaveReplies[k]))
            SaveInFlight++;
        else
            queued = 0;
    }
    if (!queued)
        ReportQueueFull(window, "PID tuning for the flash");
}

// One of SAVE TO FLASH's writes was answered (lParam: its buffer), or could not be read (0:
// the link error that follows stops the run).
static void OnPidSaved(HWND window, LPARAM lParam) {
    int k = 0;
    while (k < SAVE_WRITES && (const void*)lParam != SaveReplies[k])
        k++;
    if (lParam != 0 && k == SAVE_WRITES)
        return;
    if (SaveInFlight > 0)
        SaveInFlight--;
    const char* failure = lParam == 0                    ? "the board did not answer"
                          : ReplyRefused(SaveReplies[k]) ? "the board refused it"
                                                         : nullptr;
    if (failure) {
        SaveFailure = failure;
        PostSettingsReport(window);
    }
}

// The PID dialog's values: only what its sliders can stand for goes on to the board.
static void OnPidValue(HWND window, UINT message, LPARAM lParam) {
    float value = FloatFromBits(lParam);
    switch (message) {
    case WM_PID_PROPORTIONAL:
        if (!ProportionalAccepted(value, PROPORTIONAL_DEFAULT_MAX))
            return;
        Proportional = value;
        ChangeSetting(window, TIMER_SEND_PROPORTIONAL, Proportional);
        break;
    case WM_PID_INTEGRAL:
        if (!IntegralAccepted(value))
            return;
        Integral = value;
        ChangeSetting(window, TIMER_SEND_INTEGRAL, Integral);
        break;
    case WM_PID_DERIVATIVE:
        if (!DerivativeAccepted(value))
            return;
        Derivative = value;
        ChangeSetting(window, TIMER_SEND_DERIVATIVE, Derivative);
        break;
    default:
        if (!CrackingAccepted((long long)lParam, ValveCrackingValMax))
            return;
        ValveCracking = (uint32_t)lParam;
        ChangeSetting(window, TIMER_SEND_CRACKING, ValveCracking);
        break;
    }
}

static void OnUserCommand(LPARAM lParam) {
    // Only the command window's own slots: each command's answer goes to the slot it came
    // from, never to a buffer another command in flight shares.
    const char* text = (const char*)lParam;
    size_t resultSize = 0;
    char* result = CmdWinResultSlot(text, &resultSize);
    if (!result)
        return;
    CmdWinLineQueued(text, EnqueueThreadMsg(REQUEST_ASCII, text, WM_USER_COMMAND_REPLY, PARSE_TEXT,
                                            result, resultSize));
}

// The replies of a worker run (and the gas queries that follow its state report); each carries
// its run's token in wParam. The state, flow and identification replies are checked closer by
// the owner.
static int IsWorkerReply(UINT message) {
    switch (message) {
    case WM_WINDOW_NAME:
    case WM_GAS_CHANGED:
    case WM_GAS_INFO:
    case WM_USER_COMMAND_REPLY:
    case WM_PID_READ:
    case WM_SETTING_SENT:
    case WM_PID_SAVED:
    case WM_BAD_REQUEST:
    case WM_FAKE_BAD_REQUEST:
        return 1;
    default:
        return 0;
    }
}

int OnAppMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    // A stopped run's reports change nothing: a late state report would otherwise start gas
    // queries on the next connection, a late failure reopen the port dialog.
    if (IsWorkerReply(message) && !ConnectionTakesReplies(wParam))
        return 1;
    if (CompanionClosed(window, message, lParam))
        return 1;
    switch (message) {
    case WM_CONNECTED:
    case WM_CONNECT_FAILED:
    case WM_SERIAL_ERROR:
    case WM_WORKER_ENDED:
        ConnectionWorkerReport(window, message, wParam, lParam);
        return 1;
    case WM_PRODUCT_CONFIG:
        OnProductConfig(window, wParam, lParam);
        return 1;
    case WM_WINDOW_NAME:
        OnWindowName(window, lParam);
        return 1;
    case WM_FLOW_READINGS:
        UpdateGraphData(window, wParam, lParam ? &NewFlowReadings : nullptr);
        return 1;
    case WM_BOARD_STATE:
        OnBoardState(window, wParam, lParam ? &TempSystemState : nullptr);
        return 1;
    case WM_REFRESH_INFO:
        StepInformationWindow(MainWinDC);
        return 1;
    case WM_GAS_CHANGED:
        UpdateActiveGasInfo((int)lParam);
        return 1;
    case WM_GAS_INFO:
        OnGasInfo(window, lParam);
        return 1;
    case WM_NEW_SETPOINT:
        OnNewSetPoint(window, lParam);
        return 1;
    case WM_PID_PROPORTIONAL:
    case WM_PID_INTEGRAL:
    case WM_PID_DERIVATIVE:
    case WM_PID_CRACKING:
        OnPidValue(window, message, lParam);
        return 1;
    case WM_PID_READ:
        OnPidRead(lParam);
        return 1;
    case WM_SETTING_SENT:
        OnSettingSent(window, lParam);
        return 1;
    case WM_SETTINGS_NOT_SENT:
        ShowSettingsReport(window);
        return 1;
    case WM_PID_SAVE:
        OnPidSave(window);
        return 1;
    case WM_PID_SAVED:
        OnPidSaved(window, lParam);
        return 1;
    case WM_USER_COMMAND:
        OnUserCommand(lParam);
        return 1;
    case WM_USER_COMMAND_REPLY:
        CmdWinReply((const void*)lParam);
        return 1;
    case WM_TOTALIZER_RESET:
        EnqueueIgnored("G31=0\r");
        return 1;
    case WM_LOG_INTERVAL_SET:
        OnLogIntervalSet(window, (UINT)lParam);
        return 1;
    case WM_LOG_INTERVAL_CANCEL:
        OnLogIntervalCancel(window);
        return 1;
    case WM_BAD_REQUEST:
        MessageBoxA(nullptr, "Received Invalid Command ID", "THREAD ERROR", MB_OK);
        return 1;
    case WM_FAKE_BAD_REQUEST:
        MessageBoxA(nullptr, "Received Invalid Command ID", "FAKE THREAD ERROR", MB_OK);
        return 1;
    case WM_REPLY_IGNORED:
    case WM_APP_RESERVED_32775:
    case WM_APP_RESERVED_32776:
        return 1;
    default:
        return 0;
    }
}

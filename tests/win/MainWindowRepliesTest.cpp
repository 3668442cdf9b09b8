#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "MainWindowHarness.h"
#include "app/win32/Companions.h"
#include "app/win32/Connection.h"
#include "resources/AppMessages.h"
#include "app/SerialCmdQ.h"
#include "app/win32/MainReplies.h"
#include "device/LegacyBoardUtils.h"
#include "tools/win32/CmdWin.h"

using namespace harness;

namespace {

struct Request {
    int kind;
    std::string text;
    uint32_t message;
    int parse;
    void* result;
    size_t resultSize;
};

// Takes everything the window queued, as the worker would, leaving the state-poll requests
// of timer 265 out when asked to.
std::vector<Request> TakeRequests(bool asciiOnly = true) {
    std::vector<Request> requests;
    int kind, parse;
    char* text;
    uint32_t message;
    void* result;
    size_t size;
    while (DequeueThreadMsg(&kind, &text, &message, &parse, &result, &size)) {
        if (asciiOnly && kind != REQUEST_ASCII)
            continue;
        requests.push_back({kind, text ? text : "", message, parse, result, size});
    }
    return requests;
}

LPARAM Bits(float value) {
    uint32_t bits;
    memcpy(&bits, &value, sizeof bits);
    return (LPARAM)bits;
}

struct Expected {
    const char* text;
    uint32_t message;
    int parse;
    void* result;
    size_t resultSize;
};

void ExpectRequests(const std::vector<Request>& got, const std::vector<Expected>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < want.size(); i++) {
        EXPECT_EQ(got[i].kind, REQUEST_ASCII) << i;
        EXPECT_EQ(got[i].text, want[i].text) << i;
        EXPECT_EQ(got[i].message, want[i].message) << want[i].text;
        EXPECT_EQ(got[i].parse, want[i].parse) << want[i].text;
        EXPECT_EQ(got[i].result, want[i].result) << want[i].text;
        EXPECT_EQ(got[i].resultSize, want[i].resultSize) << want[i].text;
    }
}

// The boxes the main window shows, answered without a modal loop.
std::vector<std::string> Boxes;
int WINAPI RecordBox(HWND, LPCSTR text, LPCSTR, UINT) {
    Boxes.push_back(text);
    return IDOK;
}

// No worker runs here: the test takes the requests from the queue itself. One window serves
// the whole suite (destroying a window costs two seconds under Wine without a window manager).
struct RepliesTest : testing::Test {
    static HWND window;
    static void SetUpTestSuite() { window = OpenMainWindow(); }
    static void TearDownTestSuite() { CloseMainWindow(window); }
    void SetUp() override {
        ASSERT_NE(window, nullptr);
        ClearMsgQueue();
        ResetSettingSends();
        ActAsWorkerRun(CONN_CONNECTED);
        Boxes.clear();
        MainMessageBox = RecordBox;
    }
    // The run's "S64" says controller; its PID reads are taken off the queue.
    void IdentifyController() {
        ProductConfig = 1;
        SendMessageA(window, WM_PRODUCT_CONFIG, TEST_RUN, (LPARAM)&ProductConfig);
        ClearMsgQueue();
    }
    void TearDown() override {
        for (UINT id = TIMER_FLOW_READINGS; id <= TIMER_SEND_CRACKING; id++)
            KillTimer(window, id);
        Pump();
        ClearMsgQueue();
        InitConnection();
        MainMessageBox = MessageBoxA;
    }
};
HWND RepliesTest::window = nullptr;

} // namespace

TEST_F(RepliesTest, SetPointBurstSendsOnceWithTheLastValue) {
    IdentifyController();
    SystemState.SetPoint = 0.0f;
    for (int i = 1; i <= 10; i++)
        PostMessageA(window, WM_NEW_SETPOINT, 0, Bits(2.5f * (float)i));
    PumpFor(200);
    std::vector<Request> sent = TakeRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text, "V5=25.000000\r");
    EXPECT_EQ(sent[0].message, WM_SETTING_SENT);
    // Outside simulation the readout waits for the board to report the new value.
    EXPECT_FLOAT_EQ(SystemState.SetPoint, 0.0f);
}

// A send the board answers "Invalid Command" is not carried out, and a value still waiting when
// the connection ends is not dropped in silence: each is named in a box once the handler
// returns.
TEST_F(RepliesTest, RefusedAndUnsentSettingsAreReported) {
    IdentifyController();
    SystemState.SetPoint = 0.0f;
    PostMessageA(window, WM_NEW_SETPOINT, 0, Bits(25.0f));
    PumpFor(200);
    std::vector<Request> sent = TakeRequests();
    ASSERT_EQ(sent.size(), 1u);
    snprintf((char*)sent[0].result, sent[0].resultSize, "Invalid Command\r\n");
    SendMessageA(window, WM_SETTING_SENT, TEST_RUN, (LPARAM)sent[0].result);
    EXPECT_TRUE(Boxes.empty()); // not from inside the reply's handler
    Pump();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0], "The set point was refused by the board, which keeps the value it had.");

    // Chosen, its timer still running, when the connection ends.
    SendMessageA(window, WM_PID_PROPORTIONAL, 0, Bits(2.0f));
    CompanionHook(window, HOOK_ENDED);
    Pump();
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_EQ(Boxes[1], "The proportional gain was not sent to the board: the connection ended.");
    // Reported once: a later end has nothing left to say.
    CompanionHook(window, HOOK_ENDED);
    Pump();
    EXPECT_EQ(Boxes.size(), 2u);

    // Sent, its answer not yet read: the board may hold it or not.
    SendMessageA(window, WM_PID_PROPORTIONAL, 0, Bits(3.0f));
    PumpFor(200);
    ASSERT_EQ(TakeRequests().size(), 1u);
    CompanionHook(window, HOOK_ENDED);
    Pump();
    ASSERT_EQ(Boxes.size(), 3u);
    EXPECT_EQ(Boxes[2], "The proportional gain was sent, but may not have reached the board: the "
                        "connection ended.");
}

TEST_F(RepliesTest, UnchangedSetPointSendsNothing) {
    CurrentActiveGas = 0;
    TempSystemState = SystemStateRec{};
    TempSystemState.SetPoint = 40.0f;
    SendState(window, &TempSystemState);
    SendMessageA(window, WM_NEW_SETPOINT, 0, Bits(40.0f));
    PumpFor(150);
    EXPECT_TRUE(TakeRequests().empty());
}

TEST_F(RepliesTest, PidChangesAreSentAfterTheirOwnPauses) {
    IdentifyController();
    PostMessageA(window, WM_PID_PROPORTIONAL, 0, Bits(1.0f));
    PostMessageA(window, WM_PID_PROPORTIONAL, 0, Bits(1.5f));
    PostMessageA(window, WM_PID_INTEGRAL, 0, Bits(0.25f));
    PostMessageA(window, WM_PID_DERIVATIVE, 0, Bits(0.0625f));
    PostMessageA(window, WM_PID_CRACKING, 0, (LPARAM)8388480u);
    PumpFor(200);
    std::vector<Request> got = TakeRequests();
    std::vector<std::string> texts;
    for (const Request& r : got)
        texts.push_back(r.text);
    std::sort(texts.begin(), texts.end());
    std::vector<std::string> want = {"~CBR=8388480\r", "~DR=0.062500\r", "~IR=0.250000\r",
                                     "~PR=1.500000\r"};
    EXPECT_EQ(texts, want);
    EXPECT_FLOAT_EQ(Proportional, 1.5f);
    EXPECT_EQ(ValveCracking, 8388480u);
}

// SAVE TO FLASH writes the four registers, each answered into its own buffer; a write the board
// refuses, or writes cut off by a link error, are said in a box.
TEST_F(RepliesTest, PidSaveWritesTheFourRegistersAndReportsAFailedOne) {
    IdentifyController();
    Proportional = 0.5f;
    Derivative = 0.125f;
    Integral = 3.0f;
    ValveCracking = 1234567;
    SendMessageA(window, WM_PID_SAVE, 0, 0);
    std::vector<Request> got = TakeRequests();
    const char* texts[] = {"V24=0.500000\r", "V25=0.125000\r", "V26=3.000000\r", "V29=1234567\r"};
    ASSERT_EQ(got.size(), 4u);
    for (size_t i = 0; i < got.size(); i++) {
        EXPECT_EQ(got[i].text, texts[i]);
        EXPECT_EQ(got[i].message, WM_PID_SAVED);
        EXPECT_EQ(got[i].parse, PARSE_TEXT);
        ASSERT_NE(got[i].result, nullptr);
        if (i > 0) {
            EXPECT_NE(got[i].result, got[i - 1].result);
        }
    }
    for (size_t i = 0; i < got.size(); i++) {
        snprintf((char*)got[i].result, got[i].resultSize, "%s", i == 2 ? "Invalid Command\r" : "");
        SendMessageA(window, WM_PID_SAVED, TEST_RUN, (LPARAM)got[i].result);
    }
    Pump();
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0],
              "The PID tuning may not be saved to the flash: the board refused it. Save it again.");

    // All answered: a later link error has nothing to say; one with writes on their way does.
    CompanionHook(window, HOOK_LINK_DOWN);
    Pump();
    EXPECT_EQ(Boxes.size(), 1u);
    SendMessageA(window, WM_PID_SAVE, 0, 0);
    ClearMsgQueue();
    CompanionHook(window, HOOK_LINK_DOWN);
    Pump();
    ASSERT_EQ(Boxes.size(), 2u);
    EXPECT_EQ(Boxes[1],
              "The PID tuning may not be saved to the flash: the link failed. Save it again.");
}

TEST_F(RepliesTest, ConnectedAsksForLineEndKindAndName) {
    // A board whose own line ending could not be read keeps it: the end of the connection
    // could not put it back.
    ActAsWorkerRun(CONN_CONNECTING);
    SendMessageA(window, WM_CONNECTED, TEST_RUN, 0);
    ExpectRequests(TakeRequests(),
                   {{"S64\r", WM_PRODUCT_CONFIG, PARSE_HEX, &ProductConfig, 0},
                    {"S54\r", WM_WINDOW_NAME, PARSE_TEXT, CommentField, sizeof CommentField}});
    KillTimer(window, TIMER_STATE_POLL);
    ActAsWorkerRun(CONN_CONNECTING);
    SendMessageA(window, WM_CONNECTED, TEST_RUN, 1);
    ExpectRequests(
        TakeRequests(),
        {{"~SNLC=0x0D0A\r", WM_REPLY_IGNORED, PARSE_TEXT, IgnoreResult, sizeof IgnoreResult},
         {"S64\r", WM_PRODUCT_CONFIG, PARSE_HEX, &ProductConfig, 0},
         {"S54\r", WM_WINDOW_NAME, PARSE_TEXT, CommentField, sizeof CommentField}});
    // The state poll follows every 100 ms, one request at a time: while the board has not
    // answered the last one (nobody takes it here), no second one is queued.
    PumpFor(350);
    int kind, parse;
    char* text;
    uint32_t message;
    void* result;
    int polls = 0;
    while (DequeueThreadMsg(&kind, &text, &message, &parse, &result))
        polls +=
            kind == REQUEST_BOARD_STATE && message == WM_BOARD_STATE && result == &TempSystemState;
    EXPECT_EQ(polls, 1);
    SendState(window, &TempSystemState);
    PumpFor(250);
    polls = 0;
    while (DequeueThreadMsg(&kind, &text, &message, &parse, &result))
        polls += kind == REQUEST_BOARD_STATE;
    EXPECT_EQ(polls, 1);
}

// A reply that failed comes with lParam 0; the buffers still hold what the board before said
// (a controller named "Old Board" on gas 0): none of it is taken as this board's answer.
TEST_F(RepliesTest, FailedRepliesAreNotTakenAsAnswers) {
    ProductConfig = 1;
    ThisIsController = 0;
    snprintf(CommentField, sizeof CommentField, "Old Board\r\n");
    snprintf(GasInfo, sizeof GasInfo, "%s", "unchanged");
    SetWindowTextA(window, "Torvan Control Board Test");
    for (UINT message : {WM_PRODUCT_CONFIG, WM_WINDOW_NAME, WM_GAS_INFO}) {
        SCOPED_TRACE(message);
        SendMessageA(window, message, TEST_RUN, 0);
        EXPECT_EQ(Title(window), "Torvan Control Board Test");
        EXPECT_EQ(ThisIsController, 0);
        EXPECT_STREQ(GasInfo, "unchanged");
        ExpectRequests(TakeRequests(false), {});
    }
}

TEST_F(RepliesTest, ReportsOfAStoppedRunChangeNothing) {
    // What a stopped run left in the window's queue arrives after the next run has started
    // (the simulation right after a board on gas 2): none of it may act on the new run.
    SetWindowTextA(window, "Torvan Controller On FAKE");
    SystemState = SystemStateRec{};
    CurrentActiveGas = 0;
    TempSystemState = SystemStateRec{};
    TempSystemState.ActiveGas = 2;
    TempSystemState.Flow = 33.0f;
    ProductConfig = 0;
    snprintf(CommentField, sizeof CommentField, "Old Board\r\n");
    const WPARAM stale = TEST_RUN - 1;
    const UINT reports[] = {WM_CONNECTED,      WM_CONNECT_FAILED, WM_SERIAL_ERROR, WM_BOARD_STATE,
                            WM_PRODUCT_CONFIG, WM_WINDOW_NAME,    WM_GAS_CHANGED};
    for (UINT message : reports)
        PostMessageA(window, message, stale, 2);
    PumpFor(250);
    ExpectRequests(TakeRequests(false), {});
    EXPECT_EQ(SystemState.Flow, 0.0f);
    EXPECT_EQ(CurrentActiveGas, 0);
    EXPECT_EQ(Title(window), "Torvan Controller On FAKE");
    EXPECT_EQ(LiveWorkerThreads(), 0);
    EXPECT_EQ(FindWindowA("#32770", "Select Serial Port"), nullptr);
}

TEST_F(RepliesTest, ControllerReadsItsPidRegistersWithoutUndoingTheOperator) {
    ProductConfig = 0x3;
    SendMessageA(window, WM_PRODUCT_CONFIG, ActAsWorkerRun(CONN_CONNECTED, "COM5"),
                 (LPARAM)&ProductConfig);
    EXPECT_EQ(Title(window), "Torvan Controller On COM5");
    std::vector<Request> reads = TakeRequests();
    ASSERT_EQ(reads.size(), 4u);
    const char* texts[] = {"V24\r", "V25\r", "V26\r", "V29\r"};
    const int parses[] = {PARSE_FLOAT, PARSE_FLOAT, PARSE_FLOAT, PARSE_INT};
    for (size_t i = 0; i < 4; i++) {
        EXPECT_EQ(reads[i].text, texts[i]);
        EXPECT_EQ(reads[i].message, WM_PID_READ) << texts[i];
        EXPECT_EQ(reads[i].parse, parses[i]) << texts[i];
    }
    // The operator moves the proportional slider before the board's answers are read.
    SendMessageA(window, WM_PID_PROPORTIONAL, 0, Bits(700.0f));
    // The worker stores each answer and reports it.
    *(float*)reads[0].result = 150.0f; // V24, proportional
    *(float*)reads[1].result = 0.02f;  // V25, derivative
    *(float*)reads[2].result = 2.5f;   // V26, integral
    *(uint32_t*)reads[3].result = 9000;
    for (const Request& r : reads)
        SendMessageA(window, WM_PID_READ, TEST_RUN, (LPARAM)r.result);
    EXPECT_FLOAT_EQ(Proportional, 700.0f) << "the operator's value wins";
    EXPECT_FLOAT_EQ(Derivative, 0.02f);
    EXPECT_FLOAT_EQ(Integral, 2.5f);
    EXPECT_EQ(ValveCracking, 9000u);
    PumpFor(150);
    std::vector<Request> sent = TakeRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text, "~PR=700.000000\r");
}

// Values no slider can post (another program's message, a corrupted one) never reach the board.
TEST_F(RepliesTest, ValuesOutsideTheSlidersSendNothing) {
    IdentifyController();
    SystemState.SetPoint = 10.0f;
    for (float wild : {NAN, INFINITY, -INFINITY, 100.5f, -1.0f})
        PostMessageA(window, WM_NEW_SETPOINT, 0, Bits(wild));
    PostMessageA(window, WM_PID_DERIVATIVE, 0, Bits(NAN));
    PostMessageA(window, WM_PID_INTEGRAL, 0, Bits(11.0f));
    PostMessageA(window, WM_PID_PROPORTIONAL, 0, Bits(INFINITY));
    PostMessageA(window, WM_PID_CRACKING, 0, (LPARAM)4000000000u);
    PumpFor(150);
    EXPECT_TRUE(TakeRequests().empty());
}

// A send the full queue refused is not counted as made: the operator is told, and the same
// value chosen again goes out.
TEST_F(RepliesTest, ASendTheFullQueueRefusedIsReportedAndCanBeMadeAgain) {
    IdentifyController();
    for (int i = 0; i < MSGQ_SLOTS - 1; i++)
        ASSERT_TRUE(EnqueueThreadMsg(REQUEST_ASCII, "V1\r", WM_REPLY_IGNORED, PARSE_TEXT, nullptr));
    SendMessageA(window, WM_NEW_SETPOINT, 0, Bits(60.0f));
    PumpFor(150);
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_NE(Boxes[0].find("set point was not sent"), std::string::npos) << Boxes[0];
    ClearMsgQueue();
    SendMessageA(window, WM_NEW_SETPOINT, 0, Bits(60.0f));
    PumpFor(150);
    std::vector<Request> sent = TakeRequests();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].text, "V5=60.000000\r");
}

TEST_F(RepliesTest, NewGasAsksForItsFourTexts) {
    SendMessageA(window, WM_GAS_CHANGED, TEST_RUN, 3);
    EXPECT_EQ(CurrentActiveGas, 3);
    ExpectRequests(TakeRequests(),
                   {{"G4\r", WM_REPLY_IGNORED, PARSE_TEXT, GasSymbol, sizeof GasSymbol},
                    {"G7\r", WM_REPLY_IGNORED, PARSE_TEXT, GasUnits, sizeof GasUnits},
                    {"G19\r", WM_REPLY_IGNORED, PARSE_FLOAT, &GasTimeFactor, 0},
                    {"G18\r", WM_GAS_INFO, PARSE_FLOAT, &FullScaleFlow, 0}});
}

TEST_F(RepliesTest, StateWithAnotherGasAsksOnce) {
    CurrentActiveGas = 1;
    TempSystemState = SystemStateRec{};
    TempSystemState.ActiveGas = 1;
    SendState(window, &TempSystemState);
    Pump();
    EXPECT_TRUE(TakeRequests().empty());
    TempSystemState.ActiveGas = 2;
    SendState(window, &TempSystemState);
    Pump();
    EXPECT_EQ(CurrentActiveGas, 2);
    EXPECT_EQ(TakeRequests().size(), 4u);
}

TEST_F(RepliesTest, GasInfoCleansTheRepliesAndSetsTheFormats) {
    snprintf(GasUnits, sizeof GasUnits, "  slpm\r\n");
    snprintf(GasSymbol, sizeof GasSymbol, " \r\n");
    FullScaleFlow = 2000.0f;
    SendMessageA(window, WM_GAS_INFO, TEST_RUN, (LPARAM)&FullScaleFlow);
    EXPECT_STREQ(GasUnits, "slpm");
    EXPECT_STREQ(GasSymbol, "G4 Not Set");
    EXPECT_STREQ(GasInfo, "2000.0000 slpm of G4 Not Set");
    EXPECT_EQ(NumFlowDecimalPlaces, 0);
    EXPECT_STREQ(FlowFormatBuff, "88888");
    EXPECT_STREQ(TotalizerFormatBuff, "88888888");
}

TEST_F(RepliesTest, ToolWindowRequests) {
    // Only the command window's own lines are sent; text from elsewhere is not.
    char command[] = "S54=Bench Rig\r";
    SendMessageA(window, WM_USER_COMMAND, 0, (LPARAM)command);
    SendMessageA(window, WM_TOTALIZER_RESET, 0, 0);
    ExpectRequests(TakeRequests(),
                   {{"G31=0\r", WM_REPLY_IGNORED, PARSE_TEXT, IgnoreResult, sizeof IgnoreResult}});
}

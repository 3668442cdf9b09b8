#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include <string>
#include <vector>

#include "resources/AppMessages.h"
#include "app/win32/FlowLog.h"
#include "tools/win32/LogIntervalWin.h"

#include "ToolWindowHarness.h"

namespace {

using toolharness::ParentInbox;
using toolharness::PumpRounds;

struct BoxCall {
    HWND Owner;
    std::string Text, Caption;
};
std::vector<BoxCall> Boxes;

int WINAPI RecordBox(HWND owner, LPCSTR text, LPCSTR caption, UINT) {
    Boxes.push_back({owner, text, caption});
    return IDOK;
}

class LogIntervalWinTest : public ::testing::Test {
  protected:
    HWND Parent = nullptr;
    HWND Window = nullptr;

    void SetUp() override {
        INITCOMMONCONTROLSEX controls = {sizeof controls, ICC_UPDOWN_CLASS};
        InitCommonControlsEx(&controls);
        Parent = toolharness::CreateInboxParent(100, 100, 400, 300);
        ASSERT_NE(Parent, nullptr);
        Boxes.clear();
        Window = CreateLogIntervalWin(Parent, 0, "Select Log Interval", 96, 54, 640, 270,
                                      GetModuleHandleA(nullptr), RecordBox);
        ASSERT_NE(Window, nullptr);
        PumpRounds();
    }
    void TearDown() override {
        if (IsWindow(Window)) {
            DestroyWindow(Window);
        }
        DestroyWindow(Parent);
        PumpRounds();
    }
    HWND Item(int id) { return GetDlgItem(Window, id); }
    void SetSpins(int minutes, int seconds, int msec) {
        SendMessageA(Item(IDC_MIN_UPDOWN), UDM_SETPOS32, 0, minutes);
        SendMessageA(Item(IDC_SEC_UPDOWN), UDM_SETPOS32, 0, seconds);
        SendMessageA(Item(IDC_MSEC_UPDOWN), UDM_SETPOS32, 0, msec);
    }
    void Click(int id) {
        SendMessageA(Item(id), BM_CLICK, 0, 0);
        PumpRounds();
    }
    std::string FieldText(int id) {
        char text[32] = {};
        GetWindowTextA(Item(id), text, sizeof text);
        return text;
    }
    // Presses and releases the mouse on the upper (up) or lower (down) half of a spin.
    void ClickSpin(int id, int up) {
        HWND spin = Item(id);
        RECT r;
        GetClientRect(spin, &r);
        int x = r.right / 2;
        int y = up ? r.bottom / 4 : r.bottom * 3 / 4;
        SendMessageA(spin, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        SendMessageA(spin, WM_LBUTTONUP, 0, MAKELPARAM(x, y));
        PumpRounds();
    }
};

} // namespace

TEST_F(LogIntervalWinTest, ControlsHaveTheirIdsStylesAndRanges) {
    struct {
        int Field, Spin, Maximum;
    } const pairs[] = {
        {IDC_MSEC_FIELD, IDC_MSEC_UPDOWN, 1000},
        {IDC_SEC_FIELD, IDC_SEC_UPDOWN, 60},
        {IDC_MIN_FIELD, IDC_MIN_UPDOWN, 60},
    };
    for (const auto& p : pairs) {
        HWND field = Item(p.Field);
        HWND spin = Item(p.Spin);
        ASSERT_NE(field, nullptr) << p.Field;
        ASSERT_NE(spin, nullptr) << p.Spin;
        LONG fieldStyle = GetWindowLongA(field, GWL_STYLE);
        EXPECT_EQ(fieldStyle & (ES_READONLY | ES_NUMBER | ES_CENTER),
                  ES_READONLY | ES_NUMBER | ES_CENTER);
        LONG spinStyle = GetWindowLongA(spin, GWL_STYLE);
        EXPECT_EQ(spinStyle & (UDS_ALIGNRIGHT | UDS_SETBUDDYINT | UDS_ARROWKEYS),
                  UDS_ALIGNRIGHT | UDS_SETBUDDYINT | UDS_ARROWKEYS);
        int low = -1, high = -1;
        SendMessageA(spin, UDM_GETRANGE32, reinterpret_cast<WPARAM>(&low),
                     reinterpret_cast<LPARAM>(&high));
        EXPECT_EQ(low, 0);
        EXPECT_EQ(high, p.Maximum);
        EXPECT_EQ(reinterpret_cast<HWND>(SendMessageA(spin, UDM_GETBUDDY, 0, 0)), field);
        EXPECT_EQ(FieldText(p.Field), "0");
    }
    char text[64];
    GetWindowTextA(Item(IDC_LOG_OK), text, sizeof text);
    EXPECT_STREQ(text, "OK");
    GetWindowTextA(Item(IDC_LOG_CANCEL), text, sizeof text);
    EXPECT_STREQ(text, "CANCEL");
    GetWindowTextA(Window, text, sizeof text);
    EXPECT_STREQ(text, "Select Log Interval");
}

TEST_F(LogIntervalWinTest, PlacesItselfBesideTheParent) {
    RECT parent, window, field;
    GetWindowRect(Parent, &parent);
    GetWindowRect(Window, &window);
    EXPECT_EQ(window.left, parent.right - 40);
    EXPECT_EQ(window.top, parent.top + 20);
    GetWindowRect(Item(IDC_MIN_FIELD), &field);
    MapWindowPoints(nullptr, Window, reinterpret_cast<POINT*>(&field), 2);
    EXPECT_EQ(field.left, 50);
    EXPECT_EQ(field.top, 20);
    // The CANCEL button lies wholly inside the client area.
    RECT client, cancel;
    GetClientRect(Window, &client);
    GetWindowRect(Item(IDC_LOG_CANCEL), &cancel);
    MapWindowPoints(nullptr, Window, reinterpret_cast<POINT*>(&cancel), 2);
    EXPECT_LE(cancel.right, client.right);
    EXPECT_LE(cancel.bottom, client.bottom);
}

TEST_F(LogIntervalWinTest, StaysOnScreenBesideAParentAtTheRightEdge) {
    RECT work;
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &work, 0);
    MoveWindow(Parent, work.right - 300, work.bottom - 100, 300, 100, FALSE);
    RECT client;
    GetClientRect(Window, &client);
    SendMessageA(Window, WM_SIZE, SIZE_RESTORED, MAKELPARAM(client.right, client.bottom));
    RECT window;
    GetWindowRect(Window, &window);
    EXPECT_LE(window.right, work.right);
    EXPECT_LE(window.bottom, work.bottom);
    EXPECT_GE(window.left, work.left);
}

TEST_F(LogIntervalWinTest, OkPostsTheIntervalInMilliseconds) {
    struct {
        int Minutes, Seconds, Msec;
        LPARAM Expected;
    } const cases[] = {
        {1, 30, 500, 90500},
        {60, 60, 1000, 3661000},
        {0, 0, 100, 100},
        {0, 2, 0, 2000},
    };
    for (const auto& c : cases) {
        ParentInbox().clear();
        SetSpins(c.Minutes, c.Seconds, c.Msec);
        Click(IDC_LOG_OK);
        ASSERT_EQ(ParentInbox().size(), 1u);
        EXPECT_EQ(ParentInbox()[0].Message, WM_LOG_INTERVAL_SET);
        EXPECT_EQ(ParentInbox()[0].LParam, c.Expected);
    }
    EXPECT_TRUE(Boxes.empty());
    EXPECT_TRUE(IsWindow(Window)); // the parent destroys it, not the window itself
}

TEST_F(LogIntervalWinTest, OkWithZeroWarnsAndPostsNothing) {
    SetSpins(0, 0, 0);
    Click(IDC_LOG_OK);
    EXPECT_TRUE(ParentInbox().empty());
    ASSERT_EQ(Boxes.size(), 1u);
    EXPECT_EQ(Boxes[0].Text, "Log Interval Not Set");
    EXPECT_EQ(Boxes[0].Caption, "Log Setup Error");
    EXPECT_EQ(Boxes[0].Owner, Window);
    EXPECT_TRUE(IsWindow(Window));
}

TEST_F(LogIntervalWinTest, CancelAndTheCloseBoxBothCancel) {
    Click(IDC_LOG_CANCEL);
    ASSERT_EQ(ParentInbox().size(), 1u);
    EXPECT_EQ(ParentInbox()[0].Message, WM_LOG_INTERVAL_CANCEL);
    ParentInbox().clear();
    SendMessageA(Window, WM_CLOSE, 0, 0);
    PumpRounds();
    ASSERT_EQ(ParentInbox().size(), 1u);
    EXPECT_EQ(ParentInbox()[0].Message, WM_LOG_INTERVAL_CANCEL);
    EXPECT_FALSE(IsWindow(Window));
    MSG message = {};
    message.hwnd = Window;
    message.message = WM_KEYDOWN;
    EXPECT_FALSE(LogIntervalWinDialogBoxMsg(&message));
}

// The steps themselves are MsecSpinStep's (tested natively); here only that a click on the
// milliseconds spin goes through it and the seconds spin does not.
TEST_F(LogIntervalWinTest, MillisecondsSpinStepsByAHundred) {
    ClickSpin(IDC_MSEC_UPDOWN, 1);
    EXPECT_EQ(FieldText(IDC_MSEC_FIELD), "100");
    // The seconds spin keeps its own step of one.
    ClickSpin(IDC_SEC_UPDOWN, 1);
    EXPECT_EQ(FieldText(IDC_SEC_FIELD), "1");
}

TEST_F(LogIntervalWinTest, ActivationFocusesTheMillisecondsSpin) {
    SetFocus(Item(IDC_LOG_OK));
    SendMessageA(Window, WM_ACTIVATE, WA_ACTIVE, 0);
    EXPECT_EQ(GetFocus(), Item(IDC_MSEC_UPDOWN));
}

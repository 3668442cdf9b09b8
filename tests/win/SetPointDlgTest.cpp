// The set point dialog driven through its own messages under a hidden parent that records
// what the dialog posts.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include "ToolWindowHarness.h"
#include "tools/win32/SetPointEntry.h"

namespace {

using namespace toolharness;

void Pump() {
    toolharness::Pump(SetPointDialogBoxMsg);
}

std::string LabelText(HWND dialog) {
    return ItemText(dialog, IDC_SETPOINT_LABEL);
}

class SetPointDlg : public TrackbarDialogTest<SetPointDialogBoxMsg, CloseSetPointDlg> {
  protected:
    HWND Open(float setPoint) {
        ShowSetPointDlg(GetModuleHandleA(nullptr), parent, setPoint, 100.0f);
        Pump();
        dialog = FindOwnedWindow(parent, "Set Point");
        trackbar = dialog ? GetDlgItem(dialog, IDC_SETPOINT_TRACKBAR) : nullptr;
        return dialog;
    }
    int Position() { return static_cast<int>(SendMessageA(trackbar, TBM_GETPOS, 0, 0)); }
    void Scroll(int code, int position) {
        SendMessageA(trackbar, TBM_SETPOS, TRUE, position);
        SendMessageA(dialog, WM_VSCROLL, MAKEWPARAM(code, position),
                     reinterpret_cast<LPARAM>(trackbar));
        Pump();
    }
    void Click(int id) {
        SendMessageA(GetDlgItem(dialog, id), BM_CLICK, 0, 0);
        Pump();
    }

    HWND trackbar = nullptr;
};

TEST_F(SetPointDlg, OpensAtTheCurrentSetPoint) {
    struct {
        float setPoint;
        int position;
        const char* label;
    } cases[] = {
        {50.0f, 500, "50.00"}, {33.33f, 667, "33.33"}, {5.0f, 950, " 5.00"},
        {100.0f, 0, "100.00"}, {0.0f, 1000, " 0.00"},
    };
    for (const auto& c : cases) {
        ASSERT_NE(Open(c.setPoint), nullptr) << c.setPoint;
        EXPECT_EQ(Position(), c.position) << c.setPoint;
        EXPECT_EQ(LabelText(dialog), c.label);
        EXPECT_EQ(SendMessageA(trackbar, TBM_GETRANGEMAX, 0, 0), 1000);
        EXPECT_EQ(SendMessageA(trackbar, TBM_GETRANGEMIN, 0, 0), 0);
        EXPECT_EQ(GetFocus(), trackbar);
        EXPECT_EQ(GetWindowLongA(trackbar, GWL_STYLE) & (TBS_VERT | TBS_NOTICKS),
                  TBS_VERT | TBS_NOTICKS);
        CloseSetPointDlg();
        EXPECT_FALSE(IsWindow(dialog));
    }
    Pump();
    EXPECT_TRUE(PostedToParent().empty()) << "opening and closing posts nothing";
}

TEST_F(SetPointDlg, PercentButtonsShowPostAndMoveTheThumb) {
    struct {
        int id;
        float percent;
        const char* label;
        int position;
    } cases[] = {
        {2050, 50.0f, "50.00", 500}, {2000, 0.0f, " 0.00", 1000}, {2100, 100.0f, "100.00", 0},
        {2010, 10.0f, "10.00", 900}, {2070, 70.0f, "70.00", 300},
    };
    ASSERT_NE(Open(25.0f), nullptr);
    for (const auto& c : cases) {
        PostedToParent().clear();
        Click(c.id);
        EXPECT_EQ(LabelText(dialog), c.label) << c.id;
        EXPECT_EQ(Position(), c.position) << c.id;
        ASSERT_EQ(PostedToParent().size(), 1u) << c.id;
        EXPECT_EQ(PostedToParent()[0].message, WM_NEW_SETPOINT);
        EXPECT_EQ(PostedToParent()[0].wParam, 0u);
        EXPECT_EQ(PostedToParent()[0].lParam, BitsOf(c.percent)) << c.id;
    }
}

TEST_F(SetPointDlg, DraggingPostsThePercentOfEachPosition) {
    struct {
        int code;
        int position;
        float percent;
        const char* label;
    } cases[] = {
        {TB_THUMBTRACK, 0, 100.0f, "100.00"},    {TB_THUMBTRACK, 1000, 0.0f, " 0.00"},
        {TB_THUMBPOSITION, 667, 33.3f, "33.30"}, {TB_LINEDOWN, 501, 49.9f, "49.90"},
        {TB_LINEUP, 500, 50.0f, "50.00"},        {TB_ENDTRACK, 500, 50.0f, "50.00"},
    };
    ASSERT_NE(Open(20.0f), nullptr);
    for (const auto& c : cases) {
        PostedToParent().clear();
        Scroll(c.code, c.position);
        EXPECT_EQ(LabelText(dialog), c.label) << c.code << "/" << c.position;
        ASSERT_EQ(PostedToParent().size(), 1u);
        EXPECT_EQ(PostedToParent()[0].message, WM_NEW_SETPOINT);
        EXPECT_FLOAT_EQ(FloatFromBits(PostedToParent()[0].lParam), c.percent);
    }
}

TEST_F(SetPointDlg, PageHomeAndEndMoveTheThumbOnly) {
    ASSERT_NE(Open(50.0f), nullptr);
    for (int code : {TB_PAGEUP, TB_PAGEDOWN, TB_TOP, TB_BOTTOM}) {
        Scroll(code, 200);
        EXPECT_EQ(LabelText(dialog), "50.00") << code;
    }
    EXPECT_TRUE(PostedToParent().empty());
    // The next line step reports the position the thumb was left at.
    Scroll(TB_LINEUP, 199);
    ASSERT_EQ(PostedToParent().size(), 1u);
    EXPECT_FLOAT_EQ(FloatFromBits(PostedToParent()[0].lParam), 80.1f);
}

TEST_F(SetPointDlg, KeysReachTheTrackbarThroughTheFilter) {
    ASSERT_NE(Open(50.0f), nullptr);
    ASSERT_EQ(GetFocus(), trackbar);
    PostMessageA(trackbar, WM_KEYDOWN, VK_UP, 0);
    PostMessageA(trackbar, WM_KEYUP, VK_UP, 0);
    Pump();
    EXPECT_EQ(Position(), 499);
    EXPECT_EQ(LabelText(dialog), "50.10");
    bool posted = false;
    for (const auto& p : PostedToParent())
        posted |= p.message == WM_NEW_SETPOINT && FloatFromBits(p.lParam) == 50.1f;
    EXPECT_TRUE(posted);
    PostedToParent().clear();
    PostMessageA(trackbar, WM_KEYDOWN, VK_HOME, 0);
    Pump();
    EXPECT_EQ(Position(), 0);
    EXPECT_EQ(LabelText(dialog), "50.10");
    for (const auto& p : PostedToParent())
        EXPECT_NE(p.message, WM_NEW_SETPOINT);
    // Releasing the key ends the tracking, and the end of tracking reports where the thumb is.
    PostMessageA(trackbar, WM_KEYUP, VK_HOME, 0);
    Pump();
    EXPECT_EQ(LabelText(dialog), "100.00");
    ASSERT_EQ(PostedToParent().size(), 1u);
    EXPECT_EQ(PostedToParent()[0].lParam, BitsOf(100.0f));
}

TEST_F(SetPointDlg, OpeningAgainNeitherRecreatesNorRefreshes) {
    HWND first = Open(50.0f);
    ASSERT_NE(first, nullptr);
    Click(2090);
    HWND second = Open(20.0f);
    EXPECT_EQ(second, first);
    EXPECT_EQ(LabelText(dialog), "90.00");
    EXPECT_EQ(Position(), 100);
}

TEST_F(SetPointDlg, CloseCommandDestroysAndReportsButCloseCallDoesNotReport) {
    ASSERT_NE(Open(50.0f), nullptr);
    SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    Pump();
    EXPECT_FALSE(IsWindow(dialog));
    ASSERT_EQ(PostedToParent().size(), 1u);
    EXPECT_EQ(PostedToParent()[0].message, WM_SETPOINT_DLG_CLOSED);
    EXPECT_EQ(PostedToParent()[0].lParam, 0);
    // Reopened, it is a new dialog showing the value given this time.
    ASSERT_NE(Open(20.0f), nullptr);
    EXPECT_EQ(LabelText(dialog), "20.00");
    EXPECT_EQ(Position(), 800);
    PostedToParent().clear();
    CloseSetPointDlg();
    Pump();
    EXPECT_FALSE(IsWindow(dialog));
    EXPECT_TRUE(PostedToParent().empty());
    MSG message = {};
    EXPECT_FALSE(SetPointDialogBoxMsg(&message));
}

TEST_F(SetPointDlg, DestroyingTheOwnerForgetsTheDialog) {
    ASSERT_NE(Open(50.0f), nullptr);
    DestroyWindow(parent);
    Pump();
    EXPECT_FALSE(IsWindow(dialog));
    parent = CreateRecordingParent();
    ASSERT_NE(Open(30.0f), nullptr) << "a new dialog is created for the new owner";
    EXPECT_EQ(LabelText(dialog), "30.00");
}

} // namespace

// The PID adjust dialog driven through its own messages under a hidden parent that records
// what the dialog posts.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>

#include "ToolWindowHarness.h"
#include "app/AppState.h"
#include "tools/win32/PidAdjust.h"

namespace {

using namespace toolharness;

void Pump() {
    toolharness::Pump(PidAdjDlgBoxMsg);
}

class PidAdjDlg : public TrackbarDialogTest<PidAdjDlgBoxMsg, ClosePidAdjDlg> {
  protected:
    HWND Open(float proportional, float integral, float derivative, float proportionalMax,
              DWORD cracking, DWORD crackingMax = 8388480) {
        ShowPidAdjDlg(GetModuleHandleA(nullptr), parent, proportional, integral, derivative,
                      proportionalMax, cracking, crackingMax);
        Pump();
        dialog = FindOwnedWindow(parent, "PID Adjust");
        return dialog;
    }
    int Position(int id) {
        return static_cast<int>(SendDlgItemMessageA(dialog, id, TBM_GETPOS, 0, 0));
    }
    std::string Label(int id) { return ItemText(dialog, id); }
    void Scroll(int trackbarId, int code, int position) {
        HWND trackbar = GetDlgItem(dialog, trackbarId);
        SendMessageA(trackbar, TBM_SETPOS, TRUE, position);
        SendMessageA(dialog, WM_VSCROLL, MAKEWPARAM(code, position),
                     reinterpret_cast<LPARAM>(trackbar));
        Pump();
    }
};

TEST_F(PidAdjDlg, OpensWithEachSliderAtItsValue) {
    ASSERT_NE(Open(0.0f, 2.5f, 0.1f, 0.0f, 8388480u), nullptr);
    struct {
        int trackbar;
        int label;
        int position;
        const char* text;
    } cases[] = {
        {IDC_PROP_TRACKBAR, IDC_PROP_LABEL, 65000, "0"},
        {IDC_INTEG_TRACKBAR, IDC_INTEG_LABEL, 48750, "2.5000"},
        {IDC_DERIV_TRACKBAR, IDC_DERIV_LABEL, 0, "0.1000"},
        {IDC_CRACK_TRACKBAR, IDC_CRACK_LABEL, 0, "8388480"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Position(c.trackbar), c.position) << c.trackbar;
        EXPECT_EQ(Label(c.label), c.text) << c.label;
        HWND trackbar = GetDlgItem(dialog, c.trackbar);
        EXPECT_EQ(SendMessageA(trackbar, TBM_GETRANGEMIN, 0, 0), 0);
        EXPECT_EQ(SendMessageA(trackbar, TBM_GETRANGEMAX, 0, 0), 65000);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongA(trackbar, GWL_STYLE)), 0x5002001Au);
    }
    EXPECT_TRUE(PostedToParent().empty());
}

TEST_F(PidAdjDlg, ProportionalMaximumScalesItsSlider) {
    // The main window passes 0, which stands for 30000; any other maximum is used as given.
    struct {
        float proportional;
        float maximum;
        int position;
    } cases[] = {{30000.0f, 0.0f, 0}, {15000.0f, 0.0f, 32500}, {50.0f, 100.0f, 32500}};
    for (const auto& c : cases) {
        ASSERT_NE(Open(c.proportional, 0.0f, 0.0f, c.maximum, 0u), nullptr);
        EXPECT_EQ(Position(IDC_PROP_TRACKBAR), c.position) << c.proportional;
        ClosePidAdjDlg();
    }
}

TEST_F(PidAdjDlg, EverySliderPostsItsValueAndShowsIt) {
    ASSERT_NE(Open(100.0f, 1.0f, 0.01f, 0.0f, 1000u), nullptr);
    struct {
        int trackbar;
        int code;
        int position;
        UINT message;
        LPARAM lParam;
        int label;
        const char* text;
    } cases[] = {
        {IDC_PROP_TRACKBAR, TB_THUMBTRACK, 32500, WM_PID_PROPORTIONAL, BitsOf(15000.0f),
         IDC_PROP_LABEL, "15000"},
        // 65000 - 64999 = 1 step of 30000 / 65000 = 0.46: raised to the floor of 1.
        {IDC_PROP_TRACKBAR, TB_LINEUP, 64999, WM_PID_PROPORTIONAL, BitsOf(1.0f), IDC_PROP_LABEL,
         "1"},
        {IDC_INTEG_TRACKBAR, TB_THUMBTRACK, 48750, WM_PID_INTEGRAL, BitsOf(2.5f), IDC_INTEG_LABEL,
         "2.5000"},
        {IDC_INTEG_TRACKBAR, TB_ENDTRACK, 0, WM_PID_INTEGRAL, BitsOf(10.0f), IDC_INTEG_LABEL,
         "10.0000"},
        {IDC_DERIV_TRACKBAR, TB_THUMBPOSITION, 32500, WM_PID_DERIVATIVE, BitsOf(0.05f),
         IDC_DERIV_LABEL, "0.0500"},
        {IDC_CRACK_TRACKBAR, TB_THUMBTRACK, 0, WM_PID_CRACKING, 8388480, IDC_CRACK_LABEL,
         "8388480"},
        {IDC_CRACK_TRACKBAR, TB_LINEDOWN, 65000, WM_PID_CRACKING, 0, IDC_CRACK_LABEL, "0"},
        // 8388480 * 1000 / 65000 = 129053.5, truncated.
        {IDC_CRACK_TRACKBAR, TB_THUMBTRACK, 64000, WM_PID_CRACKING, 129053, IDC_CRACK_LABEL,
         "129053"},
    };
    for (const auto& c : cases) {
        PostedToParent().clear();
        Scroll(c.trackbar, c.code, c.position);
        ASSERT_EQ(PostedToParent().size(), 1u) << c.trackbar << "/" << c.position;
        EXPECT_EQ(PostedToParent()[0].message, c.message);
        EXPECT_EQ(PostedToParent()[0].wParam, 0u);
        EXPECT_EQ(PostedToParent()[0].lParam, c.lParam) << c.trackbar << "/" << c.position;
        EXPECT_EQ(Label(c.label), c.text);
    }
}

TEST_F(PidAdjDlg, PageHomeAndEndChangeNothing) {
    ASSERT_NE(Open(100.0f, 1.0f, 0.01f, 0.0f, 1000u), nullptr);
    for (int trackbar :
         {IDC_PROP_TRACKBAR, IDC_INTEG_TRACKBAR, IDC_DERIV_TRACKBAR, IDC_CRACK_TRACKBAR})
        for (int code : {TB_PAGEUP, TB_PAGEDOWN, TB_TOP, TB_BOTTOM})
            Scroll(trackbar, code, 13000);
    EXPECT_TRUE(PostedToParent().empty());
    EXPECT_EQ(Label(IDC_PROP_LABEL), "100");
    EXPECT_EQ(Label(IDC_INTEG_LABEL), "1.0000");
    EXPECT_EQ(Label(IDC_DERIV_LABEL), "0.0100");
    EXPECT_EQ(Label(IDC_CRACK_LABEL), "1000");
    // The next line step reports where the page step left the thumb: 52000 / 65000 * 10.
    Scroll(IDC_INTEG_TRACKBAR, TB_LINEDOWN, 13000);
    ASSERT_EQ(PostedToParent().size(), 1u);
    EXPECT_EQ(PostedToParent()[0].lParam, BitsOf(8.0f));
}

TEST_F(PidAdjDlg, SaveToFlashAndCloseReportToTheParent) {
    ASSERT_NE(Open(100.0f, 1.0f, 0.01f, 0.0f, 1000u), nullptr);
    SendMessageA(GetDlgItem(dialog, IDC_SAVE_TO_FLASH), BM_CLICK, 0, 0);
    Pump();
    ASSERT_EQ(PostedToParent().size(), 1u);
    EXPECT_EQ(PostedToParent()[0].message, WM_PID_SAVE);
    EXPECT_EQ(PostedToParent()[0].lParam, 0);
    PostedToParent().clear();
    SendMessageA(dialog, WM_COMMAND, IDCANCEL, 0);
    Pump();
    EXPECT_FALSE(IsWindow(dialog));
    ASSERT_EQ(PostedToParent().size(), 1u);
    EXPECT_EQ(PostedToParent()[0].message, WM_PID_DLG_CLOSED);
    EXPECT_FALSE(ClosePidAdjDlg()) << "nothing left to close";
}

TEST_F(PidAdjDlg, OpeningAgainKeepsTheDialogButTheNextOpeningShowsTheNewValues) {
    HWND first = Open(100.0f, 1.0f, 0.01f, 0.0f, 1000u);
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(Open(200.0f, 2.5f, 0.05f, 0.0f, 2000u), first);
    EXPECT_EQ(Label(IDC_INTEG_LABEL), "1.0000");
    EXPECT_TRUE(ClosePidAdjDlg());
    EXPECT_FALSE(IsWindow(first));
    Pump();
    EXPECT_TRUE(PostedToParent().empty()) << "closing from the main window posts nothing";
    ASSERT_NE(Open(0.0f, 2.5f, 0.05f, 0.0f, 2000u), nullptr);
    EXPECT_EQ(Position(IDC_INTEG_TRACKBAR), 48750);
    EXPECT_EQ(Label(IDC_DERIV_LABEL), "0.0500");
    EXPECT_EQ(Label(IDC_CRACK_LABEL), "2000");
}

TEST_F(PidAdjDlg, CrackingSliderFollowsTheApplicationMaximum) {
    ASSERT_NE(Open(0.0f, 0.0f, 0.0f, 0.0f, 16250u, 65000u), nullptr);
    EXPECT_EQ(Position(IDC_CRACK_TRACKBAR), 48750);
    Scroll(IDC_CRACK_TRACKBAR, TB_THUMBTRACK, 100);
    ASSERT_EQ(PostedToParent().size(), 1u);
    EXPECT_EQ(PostedToParent()[0].lParam, 64900);
}

} // namespace

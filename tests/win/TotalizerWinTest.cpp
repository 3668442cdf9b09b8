#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <vector>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "display/FormatInfo.h"
#include "display/win32/TotalizerWin.h"
#include "GdiObjectCount.h"
#include "ToolWindowHarness.h"

namespace {

using toolharness::ParentInbox;
using toolharness::PumpRounds;

constexpr COLORREF DIGIT_RED = RGB(255, 0, 0);
constexpr COLORREF BUTTON_GREY = RGB(155, 155, 155);

// What the client area shows: the bounding box of a colour's pixels.
struct ColourBox {
    int Left = 1 << 30, Top = 1 << 30, Right = -1, Bottom = -1, Count = 0;
};

ColourBox FindColour(HWND window, COLORREF colour) {
    RECT client;
    GetClientRect(window, &client);
    HDC dc = GetDC(window);
    HDC memory = CreateCompatibleDC(dc);
    HBITMAP bitmap = CreateCompatibleBitmap(dc, client.right, client.bottom);
    HBITMAP previous = static_cast<HBITMAP>(SelectObject(memory, bitmap));
    BitBlt(memory, 0, 0, client.right, client.bottom, dc, 0, 0, SRCCOPY);
    ReleaseDC(window, dc);
    ColourBox box;
    for (int y = 0; y < client.bottom; y++) {
        for (int x = 0; x < client.right; x++) {
            if (GetPixel(memory, x, y) == colour) {
                box.Count++;
                box.Left = x < box.Left ? x : box.Left;
                box.Right = x > box.Right ? x : box.Right;
                box.Top = y < box.Top ? y : box.Top;
                box.Bottom = y > box.Bottom ? y : box.Bottom;
            }
        }
    }
    SelectObject(memory, previous);
    DeleteObject(bitmap);
    DeleteDC(memory);
    return box;
}

void ShowTotal(HWND window, float total) {
    uint32_t bits;
    memcpy(&bits, &total, sizeof bits);
    PostMessageA(window, WM_TOTALIZER_FLOW, 0, static_cast<LPARAM>(bits));
    PumpRounds();
}

class TotalizerWinTest : public toolharness::InboxParentTest {
  protected:
    void SetUp() override {
        InboxParentTest::SetUp();
        // As the gas information reply leaves them for a full scale of 100.
        SetFormatForFullScale(100.0f);
    }
    void SetFormatForFullScale(float fullScale) {
        GetFormatInfo(fullScale, 4, Format, sizeof Format, &Decimals);
        SetTotalizerFormat(Format, Decimals);
    }
    void SetDecimals(int decimals) {
        Decimals = decimals;
        SetTotalizerFormat(Format, Decimals);
    }
    char Format[100];
    int Decimals;
    HWND Open(int asChild = 0) {
        Window = CreateTotalizerWin(Parent, asChild, "Bench 7 Total Flow", 100, 100, 700, 160,
                                    GetModuleHandleA(nullptr));
        PumpRounds();
        UpdateWindow(Window);
        return Window;
    }
    void Click(int x, int y) {
        SendMessageA(Window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(x, y));
        PumpRounds();
    }
};

} // namespace

TEST_F(TotalizerWinTest, FitsItsWidthToTheDigits) {
    ASSERT_NE(Open(), nullptr);
    char text[64];
    GetWindowTextA(Window, text, sizeof text);
    EXPECT_STREQ(text, "Bench 7 Total Flow");
    // The client is as wide as nine '8's in the digit font, far less than the 700 asked for.
    RECT client;
    GetClientRect(Window, &client);
    EXPECT_LT(client.right, 700);
    EXPECT_GT(client.right, 9 * 20);
}

TEST_F(TotalizerWinTest, DrawsTheTotalInRedWithTheFormatDecimals) {
    ASSERT_EQ(Decimals, 1);
    ASSERT_NE(Open(), nullptr);
    EXPECT_EQ(FindColour(Window, DIGIT_RED).Count, 0);
    ShowTotal(Window, 12.0f); // "12.0"
    ColourBox one = FindColour(Window, DIGIT_RED);
    ASSERT_GT(one.Count, 0);
    ColourBox button = FindColour(Window, BUTTON_GREY);
    EXPECT_LT(one.Bottom, button.Bottom); // digits above the button
    // Right-aligned: more decimals reach further left, at the same right edge.
    SetDecimals(3); // "12.000"
    ShowTotal(Window, 12.0f);
    ColourBox three = FindColour(Window, DIGIT_RED);
    EXPECT_LT(three.Left, one.Left);
    EXPECT_NEAR(three.Right, one.Right, 2);
}

TEST_F(TotalizerWinTest, ATotalIsShownWholeInABoxMeasuredBeforeTheGasWasKnown) {
    SetTotalizerFormat("", 0);
    ASSERT_NE(Open(), nullptr);
    RECT before;
    GetClientRect(Window, &before);
    // The gas information arrives (full scale 100), then a total of nine digits.
    SetFormatForFullScale(100.0f);
    ShowTotal(Window, 123456789.0f);
    RECT after;
    GetClientRect(Window, &after);
    // Seven 8s at first, nine now: the box and the window have grown to the whole number.
    EXPECT_GT(after.right, before.right * 8 / 7);
    ColourBox digits = FindColour(Window, DIGIT_RED);
    ASSERT_GT(digits.Count, 0);
    EXPECT_GT(digits.Left, 0) << "cut on the left";
    EXPECT_LT(digits.Right, after.right);
}

TEST_F(TotalizerWinTest, PaintBringsBackTheLastTotal) {
    ASSERT_NE(Open(), nullptr);
    ShowTotal(Window, 45.5f);
    ColourBox shown = FindColour(Window, DIGIT_RED);
    ASSERT_GT(shown.Count, 0);
    // Erase and repaint the whole window, as uncovering it does.
    RedrawWindow(Window, nullptr, nullptr, RDW_INVALIDATE | RDW_ERASE | RDW_UPDATENOW);
    PumpRounds();
    ColourBox repainted = FindColour(Window, DIGIT_RED);
    EXPECT_EQ(repainted.Count, shown.Count);
    EXPECT_GT(FindColour(Window, BUTTON_GREY).Count, 0);
}

TEST_F(TotalizerWinTest, OnlyTheButtonTextTakesTheResetClick) {
    ASSERT_NE(Open(), nullptr);
    ColourBox grey = FindColour(Window, BUTTON_GREY);
    ASSERT_GT(grey.Count, 0);
    int centreX = (grey.Left + grey.Right) / 2;
    int centreY = (grey.Top + grey.Bottom) / 2;
    // The grey face ends inside the 3-pixel outline; the pixel just beyond it is border.
    struct {
        int X, Y;
    } const border[] = {
        {grey.Left - 1, centreY},
        {grey.Right + 1, centreY},
        {centreX, grey.Bottom + 1},
        {grey.Left, centreY}, // grey, but on the outline, outside the text
    };
    for (const auto& point : border) {
        Click(point.X, point.Y);
        EXPECT_TRUE(ParentInbox().empty()) << point.X << "," << point.Y;
    }
    Click(centreX, centreY);
    ASSERT_EQ(ParentInbox().size(), 1u);
    EXPECT_EQ(ParentInbox()[0].Message, WM_TOTALIZER_RESET);
    ParentInbox().clear();
    Click(centreX, 2); // on the digits
    EXPECT_TRUE(ParentInbox().empty());
}

TEST_F(TotalizerWinTest, CloseTellsTheParent) {
    ASSERT_NE(Open(), nullptr);
    SendMessageA(Window, WM_CLOSE, 0, 0);
    PumpRounds();
    EXPECT_FALSE(IsWindow(Window));
    ASSERT_EQ(ParentInbox().size(), 1u);
    EXPECT_EQ(ParentInbox()[0].Message, WM_TOTALIZER_CLOSED);
    MSG message = {};
    EXPECT_FALSE(TotalizerWinDialogBoxMsg(&message));
}

TEST_F(TotalizerWinTest, GdiObjectsStayFlatAcrossOpenAndClose) {
    // Child windows in a shown parent: without a window manager Wine waits two seconds for
    // every top-level window it unmaps, and the GDI work is the same either way.
    MoveWindow(Parent, 0, 0, 900, 400, FALSE);
    ShowWindow(Parent, SW_SHOWNOACTIVATE);
    int round = 0;
    auto cycle = [this, &round]() {
        ASSERT_NE(Open(1), nullptr);
        ShowTotal(Window, 1234.5f);
        MoveWindow(Window, 10, 10, 500, 120, TRUE);
        PumpRounds();
        toolharness::CloseByTurns(Window, &round);
    };
    GdiCounts counts = GdiObjectsAcrossCycles(20, cycle);
    EXPECT_EQ(counts.After, counts.Before);
    EXPECT_GT(counts.Before, 0ul);
}

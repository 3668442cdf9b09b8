#include <gtest/gtest.h>
#include <windows.h>

#include <cmath>
#include <vector>

#include "resources/AppMessages.h"
#include "display/win32/Graph.h"
#include "GdiObjectCount.h"
#include "ToolWindowHarness.h"

namespace {

using toolharness::ParentInbox;
using toolharness::PumpRounds;

// A copy of the client area as it is on screen.
struct ClientImage {
    HDC Memory = nullptr;
    HBITMAP Bitmap = nullptr, Previous = nullptr;
    int Width = 0, Height = 0;
    explicit ClientImage(HWND window) {
        RECT client;
        GetClientRect(window, &client);
        Width = client.right;
        Height = client.bottom;
        HDC dc = GetDC(window);
        Memory = CreateCompatibleDC(dc);
        Bitmap = CreateCompatibleBitmap(dc, Width, Height);
        Previous = static_cast<HBITMAP>(SelectObject(Memory, Bitmap));
        BitBlt(Memory, 0, 0, Width, Height, dc, 0, 0, SRCCOPY);
        ReleaseDC(window, dc);
    }
    ~ClientImage() {
        SelectObject(Memory, Previous);
        DeleteObject(Bitmap);
        DeleteDC(Memory);
    }
    COLORREF At(int x, int y) const { return GetPixel(Memory, x, y); }
    // The rows of column x that hold the colour.
    std::vector<int> RowsOf(int x, COLORREF colour) const {
        std::vector<int> rows;
        for (int y = 0; y < Height; y++) {
            if (At(x, y) == colour) {
                rows.push_back(y);
            }
        }
        return rows;
    }
};

constexpr COLORREF FLOW_PEN = RGB(255, 0, 0);
constexpr COLORREF SETPOINT_PEN = RGB(0, 150, 255);
constexpr COLORREF GRATICULE = RGB(100, 100, 100);

// The row of a value between -5.5 and 120 in a plot of the given height, worked out in double
// precision: the bottom row holds the minimum, the top row the maximum.
int ExpectedRow(float value, int height) {
    double t = (value + 5.5) * (height - 1) / 125.5;
    return height - 1 - static_cast<int>(std::floor(t + 1e-4));
}

class GraphWinTest : public toolharness::InboxParentTest {
  protected:
    // Opens the graph as the main window does for a controller: set point on line 0, flow on 1.
    HWND OpenControllerGraph(int asChild = 0) {
        HWND graph = CreateGraph(Parent, asChild, "Bench 7 (500 msec/div)", 60, 60, 640, 270,
                                 GetModuleHandleA(nullptr));
        if (graph == nullptr) {
            return nullptr;
        }
        SetGraphGraticluleSpacing(50);
        SetGraphBackgroundBrush(RGB(0, 0, 0));
        SetGraphGraticulePen(GRATICULE);
        SetNumGraphLines(graph, 2);
        SetGraphLinePen(0, SETPOINT_PEN);
        SetGraphLineMin(graph, 0, -5.5f);
        SetGraphLineMax(graph, 0, 120.0f);
        SetGraphLinePen(1, FLOW_PEN);
        SetGraphLineMin(graph, 1, -5.5f);
        SetGraphLineMax(graph, 1, 120.0f);
        PumpRounds(); // the self-posted size event sizes the rings
        return graph;
    }
    void Store(int count, float setPoint, float flow) {
        float values[2] = {setPoint, flow};
        for (int i = 0; i < count; i++) {
            StoreGraphLineVals(Window, values);
        }
    }
    void Repaint() {
        UpdateGraph(Window);
        UpdateWindow(Window);
    }
    std::string Title() {
        char text[200] = {};
        GetWindowTextA(Window, text, sizeof text);
        return text;
    }
};

} // namespace

TEST_F(GraphWinTest, OpensWithItsTitleAndSize) {
    Window = OpenControllerGraph();
    ASSERT_NE(Window, nullptr);
    EXPECT_EQ(Title(), "Bench 7 (500 msec/div)");
    RECT outer;
    GetWindowRect(Window, &outer);
    EXPECT_EQ(outer.right - outer.left, 640);
    EXPECT_EQ(outer.bottom - outer.top, 270);
    char className[32];
    GetClassNameA(Window, className, sizeof className);
    EXPECT_STREQ(className, "GraphWin");
}

TEST_F(GraphWinTest, PlotsEachLineAtItsRowOverTheGraticule) {
    Window = OpenControllerGraph();
    ASSERT_NE(Window, nullptr);
    Store(100, 50.0f, 100.0f);
    Repaint();
    ClientImage image(Window);
    ASSERT_GT(image.Height, 10);
    int flowRow = ExpectedRow(100.0f, image.Height);
    int setRow = ExpectedRow(50.0f, image.Height);
    // Columns 1..99 hold samples; 30 has no graticule line.
    for (int x : {1, 30, 98}) {
        std::vector<int> red = image.RowsOf(x, FLOW_PEN);
        ASSERT_EQ(red.size(), 1u) << x;
        EXPECT_NEAR(red[0], flowRow, 1) << x;
        std::vector<int> blue = image.RowsOf(x, SETPOINT_PEN);
        ASSERT_EQ(blue.size(), 1u) << x;
        EXPECT_NEAR(blue[0], setRow, 1) << x;
    }
    // No samples to the right of the newest; the graticule stands every 50 pixels.
    EXPECT_TRUE(image.RowsOf(120, FLOW_PEN).empty());
    EXPECT_EQ(image.At(150, 5), GRATICULE);
    EXPECT_EQ(image.At(100, image.Height - 2), GRATICULE);
    EXPECT_EQ(image.At(149, 5), RGB(0, 0, 0));
    EXPECT_EQ(image.At(151, 5), RGB(0, 0, 0));
}

TEST_F(GraphWinTest, MinimumAndMaximumLandOnTheEdgeRows) {
    Window = OpenControllerGraph();
    ASSERT_NE(Window, nullptr);
    Store(20, 120.0f, -5.5f);
    Repaint();
    ClientImage image(Window);
    EXPECT_EQ(image.RowsOf(10, FLOW_PEN), std::vector<int>{image.Height - 1});
    EXPECT_EQ(image.RowsOf(10, SETPOINT_PEN), std::vector<int>{0});
}

// A repaint paints the last lines over instead of clearing the image: nothing of them may stay,
// and the graticule they crossed comes back. The result equals one drawing of the same samples.
TEST_F(GraphWinTest, ARepaintLeavesNothingOfTheLinesBefore) {
    Window = OpenControllerGraph();
    ASSERT_NE(Window, nullptr);
    // More samples than columns, so the lines move left at each repaint.
    Store(700, 50.0f, 100.0f);
    Repaint();
    Store(60, 20.0f, 10.0f);
    Repaint();
    Store(30, 90.0f, 30.0f);
    Repaint();
    ClientImage repainted(Window);

    HWND once = Window;
    Window = OpenControllerGraph();
    ASSERT_NE(Window, nullptr);
    Store(700, 50.0f, 100.0f);
    Store(60, 20.0f, 10.0f);
    Store(30, 90.0f, 30.0f);
    Repaint();
    ClientImage drawnOnce(Window);
    DestroyWindow(Window);
    Window = once;

    ASSERT_EQ(repainted.Width, drawnOnce.Width);
    int differ = 0;
    for (int y = 0; y < repainted.Height; y++)
        for (int x = 0; x < repainted.Width; x++)
            differ += repainted.At(x, y) != drawnOnce.At(x, y);
    EXPECT_EQ(differ, 0);
    EXPECT_FALSE(repainted.RowsOf(10, FLOW_PEN).empty());
}

TEST_F(GraphWinTest, ALeftClickPausesAndResumes) {
    Window = OpenControllerGraph();
    ASSERT_NE(Window, nullptr);
    Store(40, 50.0f, 20.0f);
    SendMessageA(Window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    EXPECT_EQ(Title(), "Bench 7 (500 msec/div) PAUSED");
    Store(40, 50.0f, 80.0f); // dropped while paused
    SendMessageA(Window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(10, 10));
    EXPECT_EQ(Title(), "Bench 7 (500 msec/div)");
    Store(10, 50.0f, 60.0f);
    Repaint();
    ClientImage image(Window);
    // 40 samples at 20 then 10 at 60 with no gap: 80 never appears.
    std::vector<int> before = image.RowsOf(20, FLOW_PEN);
    ASSERT_EQ(before.size(), 1u);
    EXPECT_NEAR(before[0], ExpectedRow(20.0f, image.Height), 1);
    std::vector<int> after = image.RowsOf(45, FLOW_PEN);
    ASSERT_EQ(after.size(), 1u);
    EXPECT_NEAR(after[0], ExpectedRow(60.0f, image.Height), 1);
    EXPECT_TRUE(image.RowsOf(55, FLOW_PEN).empty());
    int row80 = ExpectedRow(80.0f, image.Height);
    for (int x = 0; x < 60; x++) {
        EXPECT_NE(image.At(x, row80), FLOW_PEN) << x;
    }
}

TEST_F(GraphWinTest, TooManyLinesAreRefused) {
    Window = OpenControllerGraph();
    ASSERT_NE(Window, nullptr);
    Store(30, 50.0f, 100.0f);
    SetNumGraphLines(Window, 5);
    SetGraphLinePen(4, RGB(0, 255, 0));
    SetGraphLineMin(Window, 4, 0.0f);
    SetGraphLineMax(Window, 9, 0.0f);
    Repaint();
    ClientImage image(Window);
    // The refused call left the two lines and their samples as they were.
    EXPECT_EQ(image.RowsOf(10, FLOW_PEN).size(), 1u);
    EXPECT_EQ(image.RowsOf(10, SETPOINT_PEN).size(), 1u);
}

TEST_F(GraphWinTest, TheCloseBoxTellsTheParent) {
    Window = OpenControllerGraph();
    ASSERT_NE(Window, nullptr);
    SendMessageA(Window, WM_CLOSE, 0, 0);
    PumpRounds();
    EXPECT_FALSE(IsWindow(Window));
    ASSERT_EQ(ParentInbox().size(), 1u);
    EXPECT_EQ(ParentInbox()[0].Message, WM_GRAPH_CLOSED);
}

TEST_F(GraphWinTest, GdiObjectsStayFlatAcrossOpenAndClose) {
    // Child graphs in a shown parent: without a window manager Wine waits two seconds for
    // every top-level window it unmaps, and the GDI work is the same either way.
    MoveWindow(Parent, 0, 0, 800, 400, FALSE);
    ShowWindow(Parent, SW_SHOWNOACTIVATE);
    int round = 0;
    auto cycle = [this, &round]() {
        Window = OpenControllerGraph(1);
        ASSERT_NE(Window, nullptr);
        Store(700, 50.0f, 90.0f); // wraps the ring
        Repaint();
        MoveWindow(Window, 10, 10, 300, 200, TRUE); // narrower: the ring is cut
        PumpRounds();
        toolharness::CloseByTurns(Window, &round);
    };
    GdiCounts counts = GdiObjectsAcrossCycles(20, cycle);
    EXPECT_EQ(counts.After, counts.Before);
    EXPECT_GT(counts.Before, 0ul);
}

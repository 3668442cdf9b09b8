#include <gtest/gtest.h>

#include <string>

#include "app/win32/LegacyApp.h"
#include "display/win32/WindowUtils.h"

namespace {

// A memory context with a bitmap, filled with one colour, and a 40-pixel "tahoma" font.
struct Canvas {
    HDC dc = nullptr;
    HBITMAP bitmap = nullptr;
    HGDIOBJ oldBitmap = nullptr;
    HFONT font = nullptr;
    HGDIOBJ oldFont = nullptr;
    int width, height;
    Canvas(int w, int h, COLORREF fill) : width(w), height(h) {
        HDC screen = GetDC(nullptr);
        dc = CreateCompatibleDC(screen);
        bitmap = CreateCompatibleBitmap(screen, w, h);
        ReleaseDC(nullptr, screen);
        oldBitmap = SelectObject(dc, bitmap);
        HBRUSH brush = CreateSolidBrush(fill);
        RECT all = {0, 0, w, h};
        FillRect(dc, &all, brush);
        DeleteObject(brush);
        font = CreateFontA(40, 0, 0, 0, FW_DONTCARE, FALSE, FALSE, FALSE, ANSI_CHARSET,
                           OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH,
                           "tahoma");
        oldFont = SelectObject(dc, font);
    }
    ~Canvas() {
        SelectClipRgn(dc, nullptr);
        SelectObject(dc, oldFont);
        SelectObject(dc, oldBitmap);
        DeleteObject(font);
        DeleteObject(bitmap);
        DeleteDC(dc);
    }
    std::string Pixels() const {
        std::string all;
        for (int y = 0; y < height; y++)
            for (int x = 0; x < width; x++) {
                COLORREF c = GetPixel(dc, x, y);
                all.append((const char*)&c, sizeof c);
            }
        return all;
    }
    int Count(COLORREF colour, const RECT& r) const {
        int n = 0;
        for (int y = r.top; y < r.bottom; y++)
            for (int x = r.left; x < r.right; x++)
                n += GetPixel(dc, x, y) == colour;
        return n;
    }
};

struct DrawingTest : testing::Test {
    HBRUSH DigitsBrush, TextBrush;
    void SetUp() override {
        DigitsBrush = CreateSolidBrush(RGB(0, 0, 0));
        TextBrush = CreateSolidBrush(RGB(200, 200, 200));
    }
    void TearDown() override {
        DeleteObject(DigitsBrush);
        DeleteObject(TextBrush);
    }
};

} // namespace

TEST_F(DrawingTest, LongNumbersKeepTheirFirstSevenCharacters) {
    RECT r = {10, 10, 290, 70};
    Canvas seven(300, 80, RGB(0, 0, 255)), nine(300, 80, RGB(0, 0, 255));
    ShowWinFloatText(seven.dc, &r, RGB(255, 0, 0), DigitsBrush, "1234567", 7);
    ShowWinFloatText(nine.dc, &r, RGB(255, 0, 0), DigitsBrush, "123456789", 9);
    EXPECT_GT(seven.Count(RGB(255, 0, 0), r), 50);
    EXPECT_EQ(seven.Pixels(), nine.Pixels());
    // The fill stays inside the rectangle.
    EXPECT_EQ(seven.Count(RGB(0, 0, 255), RECT{0, 0, 300, 10}), 300 * 10);
}

TEST_F(DrawingTest, EmptyTextLeavesTheRectangleAlone) {
    RECT r = {5, 5, 195, 45};
    Canvas canvas(200, 50, RGB(12, 34, 56));
    std::string before = canvas.Pixels();
    ShowWinText(canvas.dc, &r, canvas.font, RGB(0, 0, 0), RGB(255, 255, 255), nullptr, "", 0);
    EXPECT_EQ(canvas.Pixels(), before);
    ShowWinText(canvas.dc, &r, canvas.font, RGB(0, 0, 0), RGB(255, 255, 255), nullptr, "Flow", 4);
    EXPECT_NE(canvas.Pixels(), before);
    // Only the character cells take the background colour; the rest of the rectangle keeps
    // what was there.
    EXPECT_GT(canvas.Count(RGB(12, 34, 56), r), 0);
}

TEST_F(DrawingTest, ClearRectFillsOnlyItsRectangle) {
    RECT r = {10, 10, 30, 20};
    Canvas canvas(40, 30, RGB(1, 2, 3));
    ClearRect(canvas.dc, &r, TextBrush);
    EXPECT_EQ(canvas.Count(RGB(200, 200, 200), r), 20 * 10);
    EXPECT_EQ(canvas.Count(RGB(200, 200, 200), RECT{0, 0, 40, 30}), 20 * 10);
}

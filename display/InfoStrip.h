// The information strip at the top of the main window: which text it shows (error, alarm or
// range) on which colour, and the ticker that scrolls a text wider than the strip.
#pragma once

#include <cstdint>

constexpr int INFO_TEXT_SIZE = 100; // each piece: the range, the alarm and the error text
// The text shown joins the range and an alarm or error (" %s ... %s ..."); it holds both pieces
// whole, so a long range text never pushes the failure reason off the strip.
constexpr int INFO_SHOWN_SIZE = 2 * INFO_TEXT_SIZE + 16;

// Colours as 0x00BBGGRR, the layout of a Win32 COLORREF.
constexpr uint32_t InfoRgb(unsigned r, unsigned g, unsigned b) {
    return (uint32_t)r | ((uint32_t)g << 8) | ((uint32_t)b << 16);
}
constexpr uint32_t INFO_ERROR_COLOUR = InfoRgb(255, 0, 0);
constexpr uint32_t INFO_WARNING_COLOUR = InfoRgb(255, 255, 0);
constexpr uint32_t INFO_NORMAL_COLOUR = InfoRgb(190, 200, 190);

constexpr int INFO_SELECT_ERROR = 0;
constexpr int INFO_SELECT_ALARM = 1;
constexpr int INFO_SELECT_RANGE = 2;

struct InfoStripInput {
    int Simulation;
    int Connected;
    uint32_t SerialErrors; // 0x1 time-out, 0x2 checksum
    int LoggingActive;
    uint16_t StatusFlags;
    const char* GasInfo;
    int WaitingForPrevious; // not connected: an Open waits for the last worker to end
};

struct InfoStripChoice {
    char Text[INFO_SHOWN_SIZE];
    int BufferSelect;
    uint32_t Background;
};

void ChooseInformationText(const InfoStripInput* in, InfoStripChoice* out);

struct TickerState {
    int InfoWinX;
    int TextWinX;
    int HoldTime;
};

// The copies that make one ticker frame: the text image from SourceX (Width pixels) to the
// strip's origin, and, when Wrap is set, the text's beginning again (WrapWidth pixels from
// offset 0) at WrapX, so the start of the text follows its end.
struct TickerFrame {
    int SourceX;
    int Width;
    int Wrap;
    int WrapX;
    int WrapWidth;
};

// Computes one frame for a text textWidth wide in a strip stripWidth wide and advances the
// state by one step (a text that fits stands still; a longer one holds, then moves 1 px).
void TickerStep(TickerState* state, int textWidth, int stripWidth, TickerFrame* frame);

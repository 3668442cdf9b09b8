#include "display/InfoStrip.h"

#include <cstdio>
#include <cstring>

static void SetText(char* target, const char* text) {
    snprintf(target, INFO_TEXT_SIZE, "%s", text);
}

void ChooseInformationText(const InfoStripInput* in, InfoStripChoice* out) {
    char error[INFO_TEXT_SIZE] = "";
    char alarm[INFO_TEXT_SIZE] = "";
    char range[INFO_TEXT_SIZE] = "";
    const char* gasInfo = in->GasInfo ? in->GasInfo : "";
    // The choice's own buffer holds a range and an error joined whole.
    char* shown = out->Text;
    const size_t shownSize = sizeof out->Text;

    if (in->Simulation) {
        SetText(range, "500 sccm of N2");
    } else if (!in->Connected) {
        if (in->WaitingForPrevious)
            SetText(error, "Waiting for the previous connection to end");
        else if (in->SerialErrors & 0x1)
            SetText(error, "Serial Timeout Error");
        else if (in->SerialErrors & 0x2)
            SetText(error, "Serial Checksum Error");
        else
            SetText(error, "ERROR -- Not Connected");
    } else {
        if (in->LoggingActive)
            snprintf(range, sizeof range, "Range %s ... Logging Active", gasInfo);
        else
            snprintf(range, sizeof range, "Range %s", gasInfo);

        // Later bits in each list win: the most severe failure is tested last.
        uint16_t flags = in->StatusFlags;
        if (flags & 0x0080)
            SetText(error, "Invalid Upstream Bridge Current");
        if (flags & 0x0040)
            SetText(error, "Invalid Downstream Bridge Current");
        if (flags & 0x4000)
            SetText(error, "System Failure, Lost Communication with Sensor Board");
        if (flags & 0x8000)
            SetText(error, "System Failure, Lost Communication with Control Board");
        if (flags & 0x0004)
            SetText(alarm, "Tracking Alarm");
        if (flags & 0x0001)
            SetText(alarm, "Low Flow Alarm");
        if (flags & 0x0002)
            SetText(alarm, "High Flow Alarm");
        if (flags & 0x0008)
            SetText(alarm, "Valve Latched Open");

        if (error[0]) {
            snprintf(shown, shownSize, " %s ... %s ...", range, error);
            out->BufferSelect = INFO_SELECT_ERROR;
            out->Background = INFO_ERROR_COLOUR;
            return;
        }
        if (alarm[0]) {
            snprintf(shown, shownSize, " %s ... %s ...", range, alarm);
            out->BufferSelect = INFO_SELECT_ALARM;
            out->Background = INFO_WARNING_COLOUR;
            return;
        }
        if (in->LoggingActive) {
            snprintf(shown, shownSize, " %s ... ", range);
            out->BufferSelect = INFO_SELECT_RANGE;
            out->Background = INFO_NORMAL_COLOUR;
            return;
        }
    }

    if (error[0]) {
        snprintf(shown, shownSize, "%s", error);
        out->BufferSelect = INFO_SELECT_ERROR;
        out->Background = INFO_ERROR_COLOUR;
    } else {
        snprintf(shown, shownSize, "%s", range);
        out->BufferSelect = INFO_SELECT_RANGE;
        out->Background = INFO_NORMAL_COLOUR;
    }
}

void TickerStep(TickerState* s, int textWidth, int stripWidth, TickerFrame* frame) {
    // The offset survives a change of text; a new text shorter than the old offset starts
    // over rather than being copied from beyond its own end.
    if (s->TextWinX < 0 || s->TextWinX >= textWidth)
        s->TextWinX = 0;

    frame->SourceX = s->TextWinX;
    frame->Width = textWidth - s->TextWinX;
    frame->Wrap = 0;
    frame->WrapX = 0;
    frame->WrapWidth = 0;

    if (textWidth > stripWidth) {
        s->HoldTime += 21;
        if (s->HoldTime > 1000) {
            s->InfoWinX = textWidth - s->TextWinX;
            if (s->InfoWinX < stripWidth) {
                frame->Wrap = 1;
                frame->WrapX = s->InfoWinX;
                frame->WrapWidth = stripWidth - s->InfoWinX;
            }
            s->TextWinX += 1;
            if (s->TextWinX >= textWidth) {
                s->TextWinX = 0;
                s->HoldTime = 0;
            }
        }
    } else {
        s->TextWinX = 0;
    }
}

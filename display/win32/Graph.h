// A reusable strip-chart window: up to four lines of float samples, one pixel column per
// sample, over vertical graticule lines; a left click pauses and resumes it.
#pragma once

#include <windows.h>

constexpr int MAX_GRAPH_LINES = 4;

HWND CreateGraph(HWND parent, int asChild, const char* title, int x, int y, int width, int height,
                 HINSTANCE instance);
void SetNumGraphLines(HWND graph, int numLines);
void SetGraphLineMin(HWND graph, int line, float value);
void SetGraphLineMax(HWND graph, int line, float value);
void SetGraphLinePen(int line, COLORREF colour);
void SetGraphGraticluleSpacing(int pixels);
void SetGraphGraticulePen(COLORREF colour);
void SetGraphBackgroundBrush(COLORREF colour);
void ResetGraph(HWND graph);
void StoreGraphLineVals(HWND graph, const float* values);
void UpdateGraph(HWND graph);

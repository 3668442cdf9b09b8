// Placeholder until the strip-chart window lands.
#include "display/win32/Graph.h"

HWND CreateGraph(HWND, int, const char*, int, int, int, int, HINSTANCE) {
    return nullptr;
}
void SetNumGraphLines(HWND, int) {}
void SetGraphLineMin(HWND, int, float) {}
void SetGraphLineMax(HWND, int, float) {}
void SetGraphLinePen(int, COLORREF) {}
void SetGraphGraticluleSpacing(int) {}
void SetGraphGraticulePen(COLORREF) {}
void SetGraphBackgroundBrush(COLORREF) {}
void ResetGraph(HWND) {}
void StoreGraphLineVals(HWND, const float*) {}
void UpdateGraph(HWND) {}

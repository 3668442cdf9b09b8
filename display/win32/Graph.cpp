#include "display/win32/Graph.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "resources/AppMessages.h"
#include "display/GraphRing.h"
#include "display/win32/WindowUtils.h"

static_assert(MAX_GRAPH_LINES == GRAPH_RING_LINES, "the window and its ring agree on the lines");

namespace {

constexpr int GRAPH_NAME_SIZE = 128;
constexpr int MAX_GRATICULE_LINES = 1024;
const char* const CLASS_NAME = "GraphWin";

HPEN GraphPen[MAX_GRAPH_LINES];
HPEN GraticulePen;
int GraticluleSpacing = 10;
HBRUSH GraphBackgroundBrush;
int NumGraphWindows;
char GraphName[GRAPH_NAME_SIZE];
HWND ParentWindow;
int Registered;

// The per-window record lives in the window's extra word.
struct GraphData {
    GraphRing Ring;
    int WindowNumber;
    // The off-screen image, kept between repaints (twenty a second while the flow is polled)
    // and made anew only when the client size changes: a fresh bitmap each time had to be
    // allocated and cleared, a good part of what an open graph cost.
    OffscreenImage Image;
    int HasImage;
    // What the image holds besides black and the graticule: the points of each line as last
    // drawn (DrawnCapacity per line). The next repaint paints them over in black rather than
    // clearing the whole image, which was most of the pixels a repaint touched.
    POINT* DrawnPoints;
    int DrawnCapacity;
    int DrawnCount[MAX_GRAPH_LINES];
    int DrawnSpacing;
    int ImageDrawn;
};

GraphData* DataOf(HWND graph) {
    if (graph == nullptr || !IsWindow(graph)) {
        return nullptr;
    }
    return reinterpret_cast<GraphData*>(GetWindowLongPtrA(graph, 0));
}

void ReplacePen(HPEN* slot, COLORREF colour) {
    HPEN pen = CreatePen(PS_SOLID, 1, colour);
    if (pen == nullptr) {
        return;
    }
    if (*slot != nullptr) {
        DeleteObject(*slot);
    }
    *slot = pen;
}

void ReleaseModuleObjects() {
    for (HPEN& pen : GraphPen) {
        if (pen != nullptr) {
            DeleteObject(pen);
            pen = nullptr;
        }
    }
    if (GraticulePen != nullptr) {
        DeleteObject(GraticulePen);
        GraticulePen = nullptr;
    }
    if (GraphBackgroundBrush != nullptr) {
        DeleteObject(GraphBackgroundBrush);
        GraphBackgroundBrush = nullptr;
    }
}

void DrawGraticule(HDC dc, int width, int height) {
    if (GraticulePen == nullptr) {
        return;
    }
    static int xs[MAX_GRATICULE_LINES];
    int count = GraphGraticuleXs(GraticluleSpacing, width, xs, MAX_GRATICULE_LINES);
    HPEN previous = static_cast<HPEN>(SelectObject(dc, GraticulePen));
    for (int i = 0; i < count; i++) {
        MoveToEx(dc, xs[i], 0, nullptr);
        LineTo(dc, xs[i], height);
    }
    SelectObject(dc, previous);
}

// One Polyline per line (per run of POLYLINE_POINTS columns) rather than a LineTo per column:
// the same segments and pixels, with one call into GDI instead of hundreds on every repaint.
constexpr int POLYLINE_POINTS = 1024;

// Draws points as Polyline runs, each next run starting where the last ended, as the next
// LineTo would. The same points draw the same pixels, so the runs also paint a line over.
void PolylineRuns(HDC dc, const POINT* points, int count) {
    int start = 0;
    while (count - start > 1) {
        int run = count - start < POLYLINE_POINTS ? count - start : POLYLINE_POINTS;
        Polyline(dc, points + start, run);
        start += run - 1;
    }
}

// Paints the lines of the last repaint over in black.
void EraseLines(HDC dc, GraphData* data) {
    HGDIOBJ previous = SelectObject(dc, GetStockObject(BLACK_PEN));
    for (int line = 0; line < MAX_GRAPH_LINES; line++) {
        PolylineRuns(dc, data->DrawnPoints + (size_t)line * data->DrawnCapacity,
                     data->DrawnCount[line]);
    }
    SelectObject(dc, previous);
}

void DrawLines(HDC dc, const GraphRing& ring, const RECT& client, GraphData* data) {
    int width = client.right - client.left;
    int height = client.bottom - client.top;
    int first = GraphRingFirstSlot(&ring, width);
    int columns = GraphRingColumns(&ring, width);
    if (columns > data->DrawnCapacity) {
        columns = data->DrawnCapacity;
    }
    for (int line = 0; line < ring.NumLines; line++) {
        if (GraphPen[line] == nullptr) {
            continue;
        }
        POINT* points = data->DrawnPoints + (size_t)line * data->DrawnCapacity;
        for (int j = 0; j < columns; j++) {
            float v = ring.LineVals[line][GraphRingSlotOfColumn(&ring, first, j)];
            points[j].x = client.left + j;
            points[j].y =
                GraphSampleY(v, ring.LineMin[line], ring.LineMax[line], client.bottom, height);
        }
        data->DrawnCount[line] = columns;
        HPEN previous = static_cast<HPEN>(SelectObject(dc, GraphPen[line]));
        PolylineRuns(dc, points, columns);
        SelectObject(dc, previous);
    }
}

void ReleaseImage(GraphData* data) {
    if (data->HasImage) {
        EndOffscreenImage(&data->Image);
        data->HasImage = 0;
    }
    free(data->DrawnPoints);
    data->DrawnPoints = nullptr;
    data->DrawnCapacity = 0;
    memset(data->DrawnCount, 0, sizeof data->DrawnCount);
    data->ImageDrawn = 0;
}

// The window's kept image, made for the current client size.
OffscreenImage* ImageFor(HWND window, HDC target, GraphData* data) {
    RECT client;
    GetClientRect(window, &client);
    if (data->HasImage && data->Image.Width == client.right - client.left &&
        data->Image.Height == client.bottom - client.top) {
        return &data->Image;
    }
    ReleaseImage(data);
    data->HasImage = BeginOffscreenImage(window, target, &data->Image);
    if (data->HasImage) {
        data->DrawnPoints = static_cast<POINT*>(
            calloc((size_t)MAX_GRAPH_LINES * (size_t)data->Image.Width, sizeof(POINT)));
        if (data->DrawnPoints == nullptr) {
            ReleaseImage(data);
            return nullptr;
        }
        data->DrawnCapacity = data->Image.Width;
    }
    return data->HasImage ? &data->Image : nullptr;
}

// Draws the whole picture off-screen and copies it in one step, so the trace never flickers.
void DrawGraph(HWND window, HDC target) {
    GraphData* data = DataOf(window);
    if (data == nullptr) {
        return;
    }
    OffscreenImage* kept = ImageFor(window, target, data);
    if (kept == nullptr) {
        return;
    }
    const OffscreenImage& image = *kept;
    HDC memory = image.Memory;
    HRGN clip = CreateRectRgnIndirect(&image.Client);
    SelectClipRgn(memory, clip);
    if (data->ImageDrawn && data->DrawnSpacing == GraticluleSpacing) {
        EraseLines(memory, data);
    } else {
        PatBlt(memory, 0, 0, image.Width, image.Height, BLACKNESS);
    }
    memset(data->DrawnCount, 0, sizeof data->DrawnCount);
    DrawGraticule(memory, image.Width, image.Height);
    data->DrawnSpacing = GraticluleSpacing;
    data->ImageDrawn = 1;
    if (data->Ring.BuffersReady) {
        DrawLines(memory, data->Ring, image.Client, data);
    }
    SelectClipRgn(target, clip);
    BitBlt(target, image.Client.left, image.Client.top, image.Width, image.Height, memory, 0, 0,
           SRCCOPY);
    SelectClipRgn(target, nullptr);
    SelectClipRgn(memory, nullptr);
    DeleteObject(clip);
}

LRESULT OnCreate(HWND window) {
    GraphData* data = static_cast<GraphData*>(calloc(1, sizeof(GraphData)));
    if (data == nullptr) {
        return -1;
    }
    GraphRingClear(&data->Ring);
    NumGraphWindows++;
    data->WindowNumber = NumGraphWindows;
    SetWindowLongPtrA(window, 0, reinterpret_cast<LONG_PTR>(data));
    return 0;
}

void OnSize(HWND window, LPARAM lParam) {
    GraphData* data = DataOf(window);
    if (data != nullptr) {
        GraphRingResize(&data->Ring, LOWORD(lParam));
    }
}

void OnPaint(HWND window) {
    PAINTSTRUCT paint;
    HDC dc = BeginPaint(window, &paint);
    if (dc != nullptr) {
        DrawGraph(window, dc);
    }
    EndPaint(window, &paint);
}

void OnLeftButtonDown(HWND window) {
    GraphData* data = DataOf(window);
    if (data == nullptr) {
        return;
    }
    char title[GRAPH_NAME_SIZE + 16];
    if (GraphRingTogglePause(&data->Ring)) {
        snprintf(title, sizeof title, "%s PAUSED", GraphName);
        SetWindowTextA(window, title);
    } else {
        SetWindowTextA(window, GraphName);
    }
}

void OnClose(HWND window) {
    if (ParentWindow != nullptr) {
        PostMessageA(ParentWindow, WM_GRAPH_CLOSED, 0, (LPARAM)window);
    }
    DestroyWindow(window);
}

void OnDestroy(HWND window) {
    GraphData* data = reinterpret_cast<GraphData*>(GetWindowLongPtrA(window, 0));
    if (data == nullptr) {
        return;
    }
    SetWindowLongPtrA(window, 0, 0);
    ReleaseImage(data);
    GraphRingFree(&data->Ring);
    free(data);
    NumGraphWindows--;
    if (NumGraphWindows <= 0) {
        NumGraphWindows = 0;
        ReleaseModuleObjects();
    }
}

LRESULT CALLBACK GraphWinProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
    case WM_CREATE:
        return OnCreate(window);
    case WM_DPICHANGED:
        TakeSuggestedDpiRect(window, lParam);
        return 0;
    case WM_SIZE:
        OnSize(window, lParam);
        return 0;
    case WM_PAINT:
        OnPaint(window);
        return 0;
    case WM_LBUTTONDOWN:
        OnLeftButtonDown(window);
        return 0;
    case WM_CLOSE:
        OnClose(window);
        return 0;
    case WM_DESTROY:
        OnDestroy(window);
        return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
}

void ShowCreateError() {
    char text[64];
    ShowCreateErrorBox(text, sizeof text);
}

} // namespace

HWND CreateGraph(HWND parent, int asChild, const char* title, int x, int y, int width, int height,
                 HINSTANCE instance) {
    snprintf(GraphName, sizeof GraphName, "%s", title != nullptr ? title : "");
    ParentWindow = parent;
    if (!Registered) {
        if (!RegisterRedrawnClass(instance, CLASS_NAME, GraphWinProc, sizeof(LONG_PTR),
                                  BLACK_BRUSH)) {
            ShowCreateError();
            return nullptr;
        }
        Registered = 1;
    }
    DWORD style = asChild ? (WS_CHILD | WS_VISIBLE | WS_DLGFRAME)
                          : (WS_POPUP | WS_VISIBLE | WS_CAPTION | WS_SYSMENU | WS_THICKFRAME);
    HWND graph = CreateWindowExA(0, CLASS_NAME, GraphName, style, x, y, width, height, parent,
                                 nullptr, instance, nullptr);
    if (graph == nullptr) {
        ShowCreateError();
    } else if (!asChild) {
        // Placed beside the main window, which may sit at the screen's edge.
        KeepWindowOnScreen(graph);
    }
    return graph;
}

void SetNumGraphLines(HWND graph, int numLines) {
    GraphData* data = DataOf(graph);
    if (data == nullptr) {
        return;
    }
    int firstCall = 0;
    if (!GraphRingSetNumLines(&data->Ring, numLines, &firstCall)) {
        return;
    }
    if (firstCall) {
        // The rings are sized by a size event; the window's own size is the first one.
        RECT outer;
        GetWindowRect(graph, &outer);
        PostMessageA(graph, WM_SIZE, SIZE_RESTORED,
                     MAKELPARAM(outer.right - outer.left, outer.bottom - outer.top));
    }
}

void SetGraphLineMin(HWND graph, int line, float value) {
    GraphData* data = DataOf(graph);
    if (data == nullptr || line < 0 || line >= MAX_GRAPH_LINES) {
        return;
    }
    GraphRingSetLimits(&data->Ring, line, value, data->Ring.LineMax[line]);
}

void SetGraphLineMax(HWND graph, int line, float value) {
    GraphData* data = DataOf(graph);
    if (data == nullptr || line < 0 || line >= MAX_GRAPH_LINES) {
        return;
    }
    GraphRingSetLimits(&data->Ring, line, data->Ring.LineMin[line], value);
}

void SetGraphLinePen(int line, COLORREF colour) {
    if (line < 0 || line >= MAX_GRAPH_LINES) {
        return;
    }
    ReplacePen(&GraphPen[line], colour);
}

void SetGraphGraticluleSpacing(int pixels) {
    GraticluleSpacing = pixels;
}

void SetGraphGraticulePen(COLORREF colour) {
    ReplacePen(&GraticulePen, colour);
}

void SetGraphBackgroundBrush(COLORREF colour) {
    HBRUSH brush = CreateSolidBrush(colour);
    if (brush == nullptr) {
        return;
    }
    if (GraphBackgroundBrush != nullptr) {
        DeleteObject(GraphBackgroundBrush);
    }
    GraphBackgroundBrush = brush;
}

void ResetGraph(HWND graph) {
    GraphData* data = DataOf(graph);
    if (data != nullptr) {
        GraphRingReset(&data->Ring);
    }
}

void StoreGraphLineVals(HWND graph, const float* values) {
    GraphData* data = DataOf(graph);
    if (data != nullptr && values != nullptr) {
        GraphRingStore(&data->Ring, values);
    }
}

// Draws the new samples at once through the window's own context. Going through the paint
// queue instead (invalidate, then WM_PAINT) draws the same pixels a moment later, and under
// Wine its paint cycle is seven round trips to the server twenty times a second; a system
// repaint (the window uncovered or resized) still comes through WM_PAINT.
void UpdateGraph(HWND graph) {
    GraphData* data = DataOf(graph);
    if (data == nullptr || data->Ring.Paused) {
        return;
    }
    HDC dc = GetDC(graph);
    if (dc != nullptr) {
        DrawGraph(graph, dc);
        ReleaseDC(graph, dc);
    }
}

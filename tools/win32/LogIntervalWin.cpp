// Placeholder until the log interval window lands.
#include "tools/win32/LogIntervalWin.h"

HWND CreateLogIntervalWin(HWND, int, const char*, int, int, int, int, HINSTANCE) {
    return nullptr;
}
BOOL LogIntervalWinDialogBoxMsg(MSG*) {
    return FALSE;
}

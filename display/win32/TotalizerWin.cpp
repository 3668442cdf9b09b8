// Placeholder until the totalizer window lands.
#include "display/win32/TotalizerWin.h"

HWND CreateTotalizerWin(HWND, int, const char*, int, int, int, int, HINSTANCE) {
    return nullptr;
}
BOOL TotalizerWinDialogBoxMsg(MSG*) {
    return FALSE;
}

// Placeholder until the set point dialog lands.
#include "tools/win32/SetPointEntry.h"

void ShowSetPointDlg(HINSTANCE, HWND, float, float) {}
void CloseSetPointDlg() {}
BOOL SetPointDialogBoxMsg(MSG*) {
    return FALSE;
}

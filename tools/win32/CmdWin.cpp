// Placeholder until the command window lands.
#include "tools/win32/CmdWin.h"

HWND CreateCmdWin(HWND, int, const char*, int, int, int, int, HINSTANCE) {
    return nullptr;
}
BOOL CmdWinDialogBoxMsg(MSG*) {
    return FALSE;
}
void AppendTextToOutputWindow(const char*) {}

// Placeholder until the main window lands.
#include "app/win32/LegacyApp.h"

HWND CreateMainWindow(HINSTANCE, int) {
    return nullptr;
}
int RunMessageLoop() {
    return 0;
}

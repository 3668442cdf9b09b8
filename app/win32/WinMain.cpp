#include <windows.h>

#include "app/win32/LegacyApp.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int showMode) {
    if (!CreateMainWindow(instance, showMode))
        return -1;
    return RunMessageLoop();
}

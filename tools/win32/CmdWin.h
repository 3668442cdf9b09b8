// The command window: raw device commands typed, the board's replies shown.
#pragma once

#include <cstddef>
#include <windows.h>

HWND CreateCmdWin(HWND parent, int asChild, const char* title, int x, int y, int width, int height,
                  HINSTANCE instance);
BOOL CmdWinDialogBoxMsg(MSG* message);
void AppendTextToOutputWindow(const char* text);

// Whether text is one of the slots the window hands its lines to the main window in
// (WM_USER_COMMAND's lParam).
int IsCmdWinTextSlot(const void* text);
// The answer buffer of the slot whose text is text, while its command is on its way; null
// for anything else. size receives the buffer's size.
char* CmdWinResultSlot(const void* text, size_t* size);
// The worker's answer to a command arrived in result (WM_USER_COMMAND_REPLY's lParam): shown
// under its echo, then the next waiting line goes out. Answers to commands given up on are
// dropped.
void CmdWinReply(const void* result);
// The queue was emptied (the worker stopped): the command on its way and the lines waiting
// will get no answer.
void AbandonUserCommands();

// The command window: raw device commands typed, the board's replies shown.
#pragma once

#include <cstddef>
#include <windows.h>

// A line's slot: the command as typed with CR LF (as long as a board queue slot's text, which
// the main window checks) and the board's answer, up to 5000 characters.
constexpr size_t CMD_TEXT_SIZE = 256;
constexpr size_t CMD_RESULT_SIZE = 5000;

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
// The main window queued the line of text's slot for the board (queued non-zero): it is
// echoed now. A full queue refused it: it and the lines waiting behind it are not sent, and
// the window says how many.
void CmdWinLineQueued(const void* text, int queued);
// The worker's answer to a command arrived in result (WM_USER_COMMAND_REPLY's lParam): shown
// under its echo, then the next waiting line goes out. Answers to commands given up on are
// dropped, and so is a null result (the request failed; the link error that follows puts the
// line back).
void CmdWinReply(const void* result);

// The connection's transitions, as the main window sees them. Lines typed while a connection
// runs or is being re-established wait and go out one at a time while the link is up; while
// there is no connection at all a line is refused with a notice.
//
// The board is connected and identified: the waiting lines go out in order, each once.
void CmdWinLinkUp();
// The worker stopped (a link error; also on the way to an end): the queue is gone, so the
// line on its way goes again, first, once the link is up; the waiting lines stay.
void CmdWinLinkDown();
// The connection ended (Close, Open of a port, the simulation's start, a failed
// reconnection): the lines not sent are dropped and the window says how many.
void CmdWinConnectionEnded();

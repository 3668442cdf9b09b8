// The main window's companion windows and parts that follow the connection, in one table:
// the set point and PID dialogs, the settings they send, the command window, the graph, the
// totalizer, the log interval window, the log and the readout's gas. Each row says which menu
// command opens it, which filter its dialog messages need in the message loop, which message
// says it closed, and what it does when the link comes up, goes down, the connection ends and
// the program ends. The owner's actions name the hook; the rows carry it out, in table order.
// A new window is one row.
#pragma once

#include <windows.h>

#include "app/ConnectionOwner.h"

// Every row's hook, in the table's order.
void CompanionHook(HWND mainWindow, OwnerHook hook);
// A menu command that opens or closes a companion: 1 when a row took it.
int CompanionCommand(HWND mainWindow, UINT command);
// A companion's "closed" message: 1 when a row took it.
int CompanionClosed(HWND mainWindow, UINT message, LPARAM lParam);
// The message loop's filters: 1 when a companion's dialog took the message.
int CompanionFilterMessage(MSG* message);

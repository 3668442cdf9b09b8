// What torvanctl needs from the operating system beyond the serial port: the signals and
// console events that end it, local time, and its small files.
#pragma once

#include <cstddef>
#include <cstdio>

#include "app/LogFormat.h"

// Whatever ends torvanctl from outside only raises a flag, so that every command still puts
// the board back and completes its files before the program ends: Ctrl-C and SIGTERM, SIGHUP
// (the terminal or ssh session went away), and on Windows Ctrl-Break and the console's close,
// logoff and shutdown events. A write to a closed pipe fails as a write error instead of
// killing the program (SIGPIPE is ignored).
void InstallInterruptHandler();
int Interrupted();
// The run is over: files closed, board put back. The Windows console-close handler waits for
// this (Windows ends the process as soon as the handler returns).
void RunFinished();

LogTimestamp CurrentLocalTime();

// The user's own folder for torvanctl's state files (no trailing separator), made if missing:
// $XDG_STATE_HOME/torvanctl or ~/.local/state/torvanctl on Linux, else a private folder in the
// temporary folder; torvanctl in the user's temporary folder on Windows. 0 (reported in
// whyOut) when no such folder can be had safely.
int StateFolder(char* out, size_t outSize, char* whyOut, size_t whySize);
// Makes a new file for writing; nothing that is already at the path, a link above all, is
// followed or overwritten. Null when it cannot; *existed says whether something was there.
FILE* CreateNewFile(const char* path, int* existed);
// Opens a file for reading; a link is refused (null, *isLink set).
FILE* OpenPlainFile(const char* path, int* isLink);
// Non-zero when the two names lead to one file (or are the same name).
int SamePath(const char* a, const char* b);

// The command line as UTF-8 (file names included, whatever the Windows code page); on Linux
// the arguments are left as they are.
void Utf8Arguments(int* argc, char*** argv);

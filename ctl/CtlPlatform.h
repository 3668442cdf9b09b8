// What torvanctl needs from the operating system beyond the serial port: the signals and
// console events that end it, local time, and its small files.
#pragma once

#include <cstddef>
#include <cstdio>

#include "app/LogFormat.h"

// Whatever ends torvanctl from outside only raises a flag, so that every command still puts
// the board back and completes its files before the program ends: Ctrl-C and SIGTERM, SIGHUP
// (the terminal or ssh session went away), SIGQUIT (Ctrl-\), and on Windows Ctrl-Break and the
// console's close, logoff and shutdown events. A write to a closed pipe fails as a write error
// instead of killing the program (SIGPIPE is ignored).
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
// Flushes the file to the disk itself, then closes it: 1 when all of it was written.
int CloseSyncedFile(FILE* file);
// Opens a file for reading; a link is refused (null, *isLink set).
FILE* OpenPlainFile(const char* path, int* isLink);
// Non-zero when the two names lead to one file (or are the same name).
int SamePath(const char* a, const char* b);

// The command line as UTF-8 (file names included, whatever the Windows code page); on Linux
// the arguments are left as they are.
void Utf8Arguments(int* argc, char*** argv);

// A command on several ports runs one thread per board. On Windows these are plain Win32
// threads (the cross compiler's thread model has no std::thread).
typedef void* CtlThread;
// Null when the thread could not be started.
CtlThread StartCtlThread(void (*body)(void*), void* arg);
void JoinCtlThread(CtlThread thread);
// A lock for what the boards' threads share with the main thread (the watch table).
typedef void* CtlLock;
CtlLock NewCtlLock();
void HoldCtlLock(CtlLock lock);
void ReleaseCtlLock(CtlLock lock);
void FreeCtlLock(CtlLock lock);

// Non-zero when standard output is a terminal that takes colour and cursor sequences (on
// Windows the console is switched to take them); 0 for a file or a pipe.
int OutputIsTerminal();
// Makes an output folder when missing (its parent must exist). 1 when it is then a folder.
int MakeOutputFolder(const char* path);

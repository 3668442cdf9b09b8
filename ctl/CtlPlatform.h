// What torvanctl needs from the operating system beyond the serial port: Ctrl-C, local time
// and a folder for its small state files.
#pragma once

#include <cstddef>

#include "app/LogFormat.h"

// Ctrl-C (and, on Windows, closing the console) only raises a flag; the command loops check
// it so that every command still restores the board before the program ends.
void InstallInterruptHandler();
int Interrupted();

LogTimestamp CurrentLocalTime();

// Writes the folder for temporary state (no trailing separator, UTF-8) into out.
void TempFolder(char* out, size_t outSize);

// The command line as UTF-8 (file names included, whatever the Windows code page); on Linux
// the arguments are left as they are.
void Utf8Arguments(int* argc, char*** argv);

// File names travel through the program as UTF-8 text: a name typed in the Save-As dialog or
// given on torvanctl's command line keeps every character whatever the system's code page,
// and a path may be longer than the 260 characters of the old Windows limit.
#pragma once

#include <cstdio>

// fopen for a UTF-8 path. On Windows the name is opened through the wide calls, and a path too
// long for the classic limit gets the "\\?\" form; elsewhere it is fopen itself. Null, with
// errno set, when the file cannot be opened (also for a name that is not valid UTF-8).
FILE* OpenFileUtf8(const char* path, const char* mode);
// remove for a UTF-8 path: 0 when the file was removed.
int RemoveFileUtf8(const char* path);

#include "app/Utf8File.h"

// Linux keeps file names as bytes, and our names are UTF-8 already.
FILE* OpenFileUtf8(const char* path, const char* mode) {
    return fopen(path, mode);
}

int RemoveFileUtf8(const char* path) {
    return remove(path);
}

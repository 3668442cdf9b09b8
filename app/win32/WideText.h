// UTF-8 and UTF-16 text on Windows: the portable code keeps names as UTF-8, the wide ("W")
// calls take UTF-16, so a name outside the system's code page is never narrowed to "?".
#pragma once

#include <windows.h>

#include <string>

// Empty for invalid input (a lone surrogate, bytes that are not UTF-8).
std::wstring WideFromUtf8(const char* text);
std::string Utf8FromWide(const wchar_t* text);

// The path as the wide file calls take it: made absolute and given the "\\?\" form when it is
// too long for the classic 260-character limit; as it is otherwise.
std::wstring WideFilePath(const char* utf8Path);

// MessageBoxW for UTF-8 text and caption.
int WINAPI MessageBoxUtf8(HWND owner, LPCSTR text, LPCSTR caption, UINT type);

#include "app/Utf8File.h"
#include "app/win32/WideText.h"

#include <cerrno>
#include <cwchar>

std::wstring WideFromUtf8(const char* text) {
    if (text == nullptr || text[0] == '\0')
        return std::wstring();
    int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (length <= 0)
        return std::wstring();
    std::wstring wide((size_t)length, L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, &wide[0], length);
    wide.resize((size_t)length - 1);
    return wide;
}

std::string Utf8FromWide(const wchar_t* text) {
    if (text == nullptr || text[0] == L'\0')
        return std::string();
    int length =
        WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, nullptr, 0, nullptr, nullptr);
    if (length <= 0)
        return std::string();
    std::string utf8((size_t)length, '\0');
    WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, &utf8[0], length, nullptr,
                        nullptr);
    utf8.resize((size_t)length - 1);
    return utf8;
}

std::wstring WideFilePath(const char* utf8Path) {
    std::wstring path = WideFromUtf8(utf8Path);
    // Without the long-path setting (a registry switch and a manifest entry, on Windows 10
    // 1607 and later only) the file calls refuse a path of MAX_PATH characters or more; the
    // "\\?\" form lifts the limit on every version, but only for a full path with
    // backslashes, which GetFullPathNameW makes (it is plain text work, free of the limit).
    if (path.size() < MAX_PATH - 12 || path.compare(0, 4, L"\\\\?\\") == 0)
        return path;
    DWORD length = GetFullPathNameW(path.c_str(), 0, nullptr, nullptr);
    if (length == 0)
        return path;
    std::wstring full((size_t)length, L'\0');
    length = GetFullPathNameW(path.c_str(), length, &full[0], nullptr);
    if (length == 0 || length >= full.size())
        return path;
    full.resize(length);
    if (full.compare(0, 2, L"\\\\") == 0)
        return L"\\\\?\\UNC\\" + full.substr(2); // \\server\share\...
    return L"\\\\?\\" + full;
}

FILE* OpenFileUtf8(const char* path, const char* mode) {
    std::wstring widePath = WideFilePath(path);
    std::wstring wideMode = WideFromUtf8(mode);
    if (widePath.empty() || wideMode.empty()) {
        errno = EINVAL;
        return nullptr;
    }
    return _wfopen(widePath.c_str(), wideMode.c_str());
}

int RemoveFileUtf8(const char* path) {
    std::wstring widePath = WideFilePath(path);
    if (widePath.empty()) {
        errno = EINVAL;
        return -1;
    }
    return _wremove(widePath.c_str());
}

int WINAPI MessageBoxUtf8(HWND owner, LPCSTR text, LPCSTR caption, UINT type) {
    std::wstring wideText = WideFromUtf8(text);
    std::wstring wideCaption = WideFromUtf8(caption);
    return MessageBoxW(owner, wideText.c_str(), caption ? wideCaption.c_str() : nullptr, type);
}

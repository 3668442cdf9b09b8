#include <gtest/gtest.h>
#include <windows.h>

#include <string>

#include "app/win32/WideText.h"

// Wine opens paths of any length, so only the form handed to the file calls can show that a
// long path would also open on Windows, where 260 characters is the limit without "\\?\".
TEST(WideText, LongPathsTakeTheExtendedFormAndShortOnesStayAsTyped) {
    std::string deep = "C:\\Logs";
    for (int level = 0; level < 5; level++)
        deep += "\\" + std::string(60, (char)('a' + level));
    deep += "\\flow.csv";
    std::string share = "\\\\bench-pc\\logs" + deep.substr(2);
    wchar_t current[MAX_PATH];
    ASSERT_GT(GetCurrentDirectoryW(MAX_PATH, current), 0u);
    std::wstring currentDir = current;
    if (currentDir.back() != L'\\')
        currentDir += L'\\';
    std::string relative = deep.substr(3);

    struct Case {
        std::string In;
        std::wstring Out;
    } cases[] = {
        {"C:\\Logs\\M\xC4\x9B\xC5\x99\x65n\xC3\xAD\\\xE6\xB5\x81\xE9\x87\x8F.csv",
         L"C:\\Logs\\M\u011b\u0159en\u00ed\\\u6d41\u91cf.csv"},
        {"TorvanOneLog.csv", L"TorvanOneLog.csv"},
        {deep, L"\\\\?\\" + WideFromUtf8(deep.c_str())},
        {"C:/Logs" + deep.substr(7), L"\\\\?\\" + WideFromUtf8(deep.c_str())},
        {share, L"\\\\?\\UNC\\" + WideFromUtf8(share.c_str() + 2)},
        {relative, L"\\\\?\\" + currentDir + WideFromUtf8(relative.c_str())},
        {"\\\\?\\" + deep, L"\\\\?\\" + WideFromUtf8(deep.c_str())},
    };
    for (const Case& c : cases)
        EXPECT_EQ(WideFilePath(c.In.c_str()), c.Out) << c.In;
}

#include <gtest/gtest.h>
#include <windows.h>

TEST(WinSmoke, RunsUnderWine) {
    EXPECT_NE(GetCurrentProcessId(), 0u);
}

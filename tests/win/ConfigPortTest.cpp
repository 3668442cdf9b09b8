#include <gtest/gtest.h>

#include <algorithm>

#include "MainWindowHarness.h"
#include "device/win32/ConfigComPort.h"

using namespace harness;

static bool Contains(const std::vector<std::string>& list, const char* text) {
    return std::find(list.begin(), list.end(), text) != list.end();
}

static std::string Listed(const std::vector<std::string>& list) {
    std::string all;
    for (const std::string& entry : list)
        all += "[" + entry + "]";
    return all;
}

TEST(ConfigPort, ListsThePortsSortedAndReturnsTheChosenOne) {
    DialogDriver driver;
    driver.select = "COM6";
    StartDialogDriver(&driver);
    int portsAvailable = -1;
    char name[PORT_NAME_BUFFER_MIN] = "unchanged";
    DWORD baud = 1234;
    int result =
        GetSerialPortConfig(GetModuleHandleA(nullptr), nullptr, &portsAvailable, name, &baud);
    JoinDialogDriver(&driver);

    ASSERT_TRUE(driver.found);
    ASSERT_TRUE(Contains(driver.entries, "COM5")) << Listed(driver.entries);
    ASSERT_TRUE(Contains(driver.entries, "COM6")) << Listed(driver.entries);
    EXPECT_TRUE(std::is_sorted(driver.entries.begin(), driver.entries.end()));
    EXPECT_EQ(driver.selectedIndex, 0);
    EXPECT_EQ(result, 1);
    EXPECT_EQ(portsAvailable, 1);
    EXPECT_STREQ(name, "COM6");
    // The template has no speed buttons, so the speed stays as the caller set it.
    EXPECT_EQ(baud, 1234u);
}

TEST(ConfigPort, OkWithoutChangingTheSelectionGivesTheFirstEntry) {
    DialogDriver driver;
    StartDialogDriver(&driver);
    int portsAvailable = 0;
    char name[PORT_NAME_BUFFER_MIN] = "";
    DWORD baud = 9600;
    int result =
        GetSerialPortConfig(GetModuleHandleA(nullptr), nullptr, &portsAvailable, name, &baud);
    JoinDialogDriver(&driver);
    ASSERT_TRUE(driver.found);
    ASSERT_FALSE(driver.entries.empty());
    EXPECT_EQ(result, 1);
    EXPECT_EQ(std::string(name), driver.entries[0]);
}

TEST(ConfigPort, CancelReturnsZeroAndLeavesTheOutputsAlone) {
    DialogDriver driver;
    driver.select = "COM5";
    driver.pressOk = false;
    StartDialogDriver(&driver);
    int portsAvailable = -7;
    char name[PORT_NAME_BUFFER_MIN] = "COM99";
    DWORD baud = 19200;
    int result =
        GetSerialPortConfig(GetModuleHandleA(nullptr), nullptr, &portsAvailable, name, &baud);
    JoinDialogDriver(&driver);
    ASSERT_TRUE(driver.found);
    EXPECT_EQ(result, 0);
    EXPECT_EQ(portsAvailable, -7);
    EXPECT_STREQ(name, "COM99");
    EXPECT_EQ(baud, 19200u);
}

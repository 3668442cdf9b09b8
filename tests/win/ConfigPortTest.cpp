#include <gtest/gtest.h>

#include <algorithm>

#include "MainWindowHarness.h"
#include "device/win32/ConfigComPort.h"
#include "resources/resource.h"

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

namespace {

INT_PTR CALLBACK EmptyPortDialog(HWND, UINT message, WPARAM, LPARAM) {
    return message == WM_INITDIALOG;
}

// The list LoadPortNames makes from a key of the test's own, in a port dialog that has not
// read the system's ports.
std::vector<std::string>
ListedFromKey(const std::vector<std::pair<const char*, const char*>>& values) {
    const char* keyPath = "Software\\TorvanOneTest\\SerialComm";
    RegDeleteKeyA(HKEY_CURRENT_USER, keyPath);
    HKEY key = nullptr;
    std::vector<std::string> entries;
    if (RegCreateKeyExA(HKEY_CURRENT_USER, keyPath, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key,
                        nullptr) != ERROR_SUCCESS) {
        ADD_FAILURE() << "cannot make the test key";
        return entries;
    }
    for (const auto& v : values)
        RegSetValueExA(key, v.first, 0, REG_SZ, (const BYTE*)v.second, (DWORD)strlen(v.second) + 1);
    HWND dialog =
        CreateDialogParamA(GetModuleHandleA(nullptr), "CONFIGPORT", nullptr, EmptyPortDialog, 0);
    if (dialog == nullptr) {
        ADD_FAILURE() << "no dialog";
    } else {
        LoadPortNames(dialog, key);
        HWND list = GetDlgItem(dialog, IDC_PORT_LIST);
        int count = (int)SendMessageA(list, LB_GETCOUNT, 0, 0);
        for (int i = 0; i < count; i++) {
            char text[256] = "";
            if (SendMessageA(list, LB_GETTEXTLEN, i, 0) < (LRESULT)sizeof text)
                SendMessageA(list, LB_GETTEXT, i, (LPARAM)text);
            entries.push_back(text);
        }
        DestroyWindow(dialog);
    }
    RegCloseKey(key);
    RegDeleteKeyA(HKEY_CURRENT_USER, keyPath);
    return entries;
}

} // namespace

TEST(ConfigPort, LoadPortNamesListsTheValuesDataSortedOrSaysNoneFound) {
    // Listed in registry order COM3, COM10, COM1: the list box sorts them as text.
    EXPECT_EQ(ListedFromKey({{"\\Device\\Serial2", "COM3"},
                             {"\\Device\\Serial9", "COM10"},
                             {"\\Device\\Serial0", "COM1"}}),
              (std::vector<std::string>{"COM1", "COM10", "COM3"}));
    EXPECT_EQ(ListedFromKey({}), (std::vector<std::string>{"<No Ports Found>"}));
    // Value names and port names past the classic 40 bytes (a USB adapter's driver names
    // them so) are listed whole; the list box sorts "_" before the digits.
    const char* longName = "\\Device\\VCP_UsbSerialAdapter_FTDI_FT232R_Port_0000000001";
    const char* longPort = "COM_USB_Serial_Adapter_On_Bench_Rack_Number_Four";
    ASSERT_GT(strlen(longName), 40u);
    ASSERT_GT(strlen(longPort), 40u);
    EXPECT_EQ(ListedFromKey({{"\\Device\\Serial0", "COM1"}, {longName, longPort}}),
              (std::vector<std::string>{longPort, "COM1"}));
}

// The modal "Select Serial Port" dialog: the serial ports the system lists in the registry,
// sorted by the list box, and the one the operator picks.
#include "device/win32/ConfigComPort.h"

#include <cstdio>

#include "resources/resource.h"

static int PortsAvailable;
static char* ComPort;
static DWORD* BaudSelect;

static const char NO_PORTS[] = "<No Ports Found>";
constexpr DWORD REG_TEXT_SIZE = 40;

void LoadPortNames(HWND dialog, HKEY key) {
    DWORD valueCount = 0;
    LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &valueCount, nullptr, nullptr, nullptr, nullptr);
    if (status != ERROR_SUCCESS || valueCount == 0) {
        SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_ADDSTRING, 0, (LPARAM)NO_PORTS);
        return;
    }
    PortsAvailable = 1;
    for (DWORD index = 0; index < valueCount; index++) {
        char name[REG_TEXT_SIZE];
        BYTE data[REG_TEXT_SIZE + 1];
        DWORD nameSize = REG_TEXT_SIZE;
        DWORD dataSize = REG_TEXT_SIZE;
        DWORD type = 0;
        if (RegEnumValueA(key, index, name, &nameSize, nullptr, &type, data, &dataSize) !=
            ERROR_SUCCESS)
            continue;
        if (type != REG_SZ || dataSize == 0)
            continue;
        // Registry strings need not carry their terminator.
        data[dataSize < REG_TEXT_SIZE ? dataSize : REG_TEXT_SIZE] = '\0';
        SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_ADDSTRING, 0, (LPARAM)data);
    }
}

static INT_PTR OnInitDialog(HWND dialog) {
    PortsAvailable = 0;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_QUERY_VALUE,
                      &key) != ERROR_SUCCESS) {
        SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_ADDSTRING, 0, (LPARAM)NO_PORTS);
    } else {
        LoadPortNames(dialog, key);
        RegCloseKey(key);
    }
    SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_SETCURSEL, 0, 0);
    CheckRadioButton(dialog, IDC_BAUD_9600, IDC_BAUD_230400, IDC_BAUD_230400);
    return TRUE;
}

static void OnOk(HWND dialog) {
    LRESULT selected = SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_GETCURSEL, 0, 0);
    if (selected != LB_ERR && ComPort) {
        LRESULT length = SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_GETTEXTLEN, selected, 0);
        // Entries come from 40-byte registry values, so they fit the caller's buffer;
        // check all the same rather than trust LB_GETTEXT with an unsized buffer.
        if (length != LB_ERR && length < PORT_NAME_BUFFER_MIN)
            SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_GETTEXT, selected, (LPARAM)ComPort);
    }
    if (BaudSelect) {
        if (IsDlgButtonChecked(dialog, IDC_BAUD_9600) == BST_CHECKED)
            *BaudSelect = 9600;
        else if (IsDlgButtonChecked(dialog, IDC_BAUD_19200) == BST_CHECKED)
            *BaudSelect = 19200;
        else if (IsDlgButtonChecked(dialog, IDC_BAUD_230400) == BST_CHECKED)
            *BaudSelect = 230400;
    }
    EndDialog(dialog, 1);
}

INT_PTR CALLBACK ConfigPortDlgProc(HWND dialog, UINT message, WPARAM wParam, LPARAM) {
    switch (message) {
    case WM_INITDIALOG:
        return OnInitDialog(dialog);
    case WM_COMMAND:
        switch (LOWORD(wParam)) {
        case IDOK:
            OnOk(dialog);
            return TRUE;
        case IDCANCEL:
            EndDialog(dialog, 0);
            return TRUE;
        case IDC_BAUD_9600:
        case IDC_BAUD_19200:
        case IDC_BAUD_230400:
            CheckRadioButton(dialog, IDC_BAUD_9600, IDC_BAUD_230400, LOWORD(wParam));
            return TRUE;
        default:
            return FALSE;
        }
    default:
        return FALSE;
    }
}

int GetSerialPortConfig(HINSTANCE instance, HWND parent, int* portsAvailableOut,
                        char* portNameBuffer, DWORD* baudInOut) {
    ComPort = portNameBuffer;
    BaudSelect = baudInOut;
    INT_PTR result = DialogBoxParamA(instance, "CONFIGPORT", parent, ConfigPortDlgProc, 0);
    ComPort = nullptr;
    BaudSelect = nullptr;
    if (result != 1)
        return 0;
    if (portsAvailableOut)
        *portsAvailableOut = PortsAvailable;
    return 1;
}

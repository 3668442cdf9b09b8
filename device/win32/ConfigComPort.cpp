// The modal "Select Serial Port" dialog: the serial ports the system lists in the registry,
// sorted by the list box, and the one the operator picks.
#include "device/win32/ConfigComPort.h"

#include <cstdio>
#include <string>
#include <vector>

#include "device/PortLock.h"
#include "device/win32/ConnectionPort.h"
#include "resources/resource.h"

static int PortsAvailable;
static char* ComPort;
static DWORD* BaudSelect;
static std::string NextNote;
static std::string Note;

static const char NO_PORTS[] = "<No Ports Found>";
// Added to the entry of a port that another Torvan One window (or torvanctl) holds; the entry's
// item data says so, and OK takes the name without it.
static const char IN_USE_MARK[] = " (in use)";

static void AddPortEntry(HWND dialog, const char* portName) {
    int inUse = PortLockHeldElsewhere(portName) && !PortHeldByThisWindow(portName);
    std::string entry = portName;
    if (inUse)
        entry += IN_USE_MARK;
    LRESULT index =
        SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_ADDSTRING, 0, (LPARAM)entry.c_str());
    if (index >= 0)
        SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_SETITEMDATA, index, inUse);
}

void LoadPortNames(HWND dialog, HKEY key) {
    DWORD valueCount = 0, longestName = 0, longestData = 0;
    LONG status = RegQueryInfoKeyA(key, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                                   &valueCount, &longestName, &longestData, nullptr, nullptr);
    if (status != ERROR_SUCCESS || valueCount == 0) {
        SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_ADDSTRING, 0, (LPARAM)NO_PORTS);
        return;
    }
    PortsAvailable = 1;
    // Sized from the key itself, so no port is left out for a long name; the name's size comes
    // without its terminator, and a string's data need not carry one.
    std::vector<char> name(longestName + 1);
    std::vector<BYTE> data(longestData + 1);
    for (DWORD index = 0; index < valueCount; index++) {
        DWORD nameSize = (DWORD)name.size();
        DWORD dataSize = longestData;
        DWORD type = 0;
        if (RegEnumValueA(key, index, name.data(), &nameSize, nullptr, &type, data.data(),
                          &dataSize) != ERROR_SUCCESS)
            continue;
        if (type != REG_SZ || dataSize == 0)
            continue;
        data[dataSize < longestData ? dataSize : longestData] = '\0';
        AddPortEntry(dialog, (const char*)data.data());
    }
}

void SetPortDialogNote(const char* text) {
    NextNote = text ? text : "";
}

// The note goes under the buttons, as wide as the dialog, and the dialog grows by its height.
static void ShowNote(HWND dialog) {
    RECT client;
    GetClientRect(dialog, &client);
    RECT units = {4, 4, 0, 0};
    MapDialogRect(dialog, &units);
    const int margin = units.left;
    RECT text = {0, 0, client.right - 2 * margin, 0};
    HFONT font = (HFONT)SendMessageA(dialog, WM_GETFONT, 0, 0);
    HDC dc = GetDC(dialog);
    HGDIOBJ previous = font ? SelectObject(dc, font) : nullptr;
    DrawTextA(dc, Note.c_str(), -1, &text, DT_CALCRECT | DT_WORDBREAK | DT_NOPREFIX);
    if (previous)
        SelectObject(dc, previous);
    ReleaseDC(dialog, dc);
    HWND note = CreateWindowExA(0, "STATIC", Note.c_str(), WS_CHILD | WS_VISIBLE | SS_NOPREFIX,
                                margin, client.bottom, client.right - 2 * margin, text.bottom,
                                dialog, (HMENU)(INT_PTR)IDC_PORT_NOTE, nullptr, nullptr);
    if (note && font)
        SendMessageA(note, WM_SETFONT, (WPARAM)font, FALSE);
    RECT frame;
    GetWindowRect(dialog, &frame);
    SetWindowPos(dialog, nullptr, 0, 0, frame.right - frame.left,
                 frame.bottom - frame.top + text.bottom + margin,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
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
    if (!Note.empty())
        ShowNote(dialog);
    return TRUE;
}

// The chosen entry's port name, without the "in use" mark; empty when nothing is selected.
static std::string SelectedPort(HWND dialog) {
    LRESULT selected = SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_GETCURSEL, 0, 0);
    if (selected == LB_ERR)
        return std::string();
    LRESULT length = SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_GETTEXTLEN, selected, 0);
    if (length == LB_ERR)
        return std::string();
    std::vector<char> text((size_t)length + 1);
    SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_GETTEXT, selected, (LPARAM)text.data());
    std::string name = text.data();
    const size_t markLength = sizeof IN_USE_MARK - 1;
    if (SendDlgItemMessageA(dialog, IDC_PORT_LIST, LB_GETITEMDATA, selected, 0) == 1 &&
        name.size() > markLength)
        name.resize(name.size() - markLength);
    return name;
}

// 0 keeps the dialog open: the port cannot be taken, and the operator is told why, before
// anything is sent on it.
static int AcceptPort(HWND dialog, const std::string& name) {
    char why[320] = "";
    if (name.size() >= (size_t)PORT_NAME_BUFFER_MIN)
        snprintf(why, sizeof why, "The port name is too long (%u characters; at most %d).",
                 (unsigned)name.size(), PORT_NAME_BUFFER_MIN - 1);
    else if (HoldPortForConnection(name.c_str(), why, sizeof why))
        return 1;
    MessageBoxA(dialog, why, "Port Not Available", MB_OK | MB_ICONWARNING);
    return 0;
}

static void OnOk(HWND dialog) {
    std::string name = SelectedPort(dialog);
    // "<No Ports Found>" is no port: it is handed back as it always was, and nothing connects.
    if (PortsAvailable && !name.empty() && !AcceptPort(dialog, name))
        return;
    if (ComPort && !name.empty() && name.size() < (size_t)PORT_NAME_BUFFER_MIN)
        snprintf(ComPort, PORT_NAME_BUFFER_MIN, "%s", name.c_str());
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
    Note.swap(NextNote);
    NextNote.clear();
    INT_PTR result = DialogBoxParamA(instance, "CONFIGPORT", parent, ConfigPortDlgProc, 0);
    ComPort = nullptr;
    BaudSelect = nullptr;
    Note.clear();
    if (result != 1)
        return 0;
    if (portsAvailableOut)
        *portsAvailableOut = PortsAvailable;
    return 1;
}

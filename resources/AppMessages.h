// Application messages (WM_APP = 32768 upward) that the worker, the timers and the tool
// windows post to the main window, and the main window's timer identifiers.
#pragma once

constexpr unsigned TORVAN_WM_APP = 32768;

constexpr unsigned WM_APP_QUIT = 32769;
constexpr unsigned WM_TOTALIZER_FLOW = 32770;
constexpr unsigned WM_SERIAL_ERROR = 32771;
constexpr unsigned WM_NEW_SETPOINT = 32772;
constexpr unsigned WM_SETPOINT_DLG_CLOSED = 32773;
constexpr unsigned WM_GRAPH_CLOSED = 32774;
constexpr unsigned WM_APP_RESERVED_32775 = 32775; // accepted, does nothing
constexpr unsigned WM_APP_RESERVED_32776 = 32776; // accepted, does nothing
constexpr unsigned WM_PID_DLG_CLOSED = 32781;
constexpr unsigned WM_PID_PROPORTIONAL = 32782;
constexpr unsigned WM_PID_CRACKING = 32783;
constexpr unsigned WM_PID_INTEGRAL = 32784;
constexpr unsigned WM_PID_DERIVATIVE = 32785;
constexpr unsigned WM_PID_SAVE = 32786;
constexpr unsigned WM_START_WORKER = 32787;
constexpr unsigned WM_USER_COMMAND = 32788;
constexpr unsigned WM_USER_COMMAND_REPLY = 32789;
constexpr unsigned WM_BAD_REQUEST = 32790;
constexpr unsigned WM_FLOW_READINGS = 32791;
constexpr unsigned WM_PRODUCT_CONFIG = 32792;
constexpr unsigned WM_FAKE_BAD_REQUEST = 32793;
constexpr unsigned WM_REPLY_IGNORED = 32794;
constexpr unsigned WM_BOARD_STATE = 32795;
constexpr unsigned WM_LOG_INTERVAL_SET = 32796;
constexpr unsigned WM_LOG_INTERVAL_CANCEL = 32797;
constexpr unsigned WM_TOTALIZER_CLOSED = 32802;
constexpr unsigned WM_TOTALIZER_RESET = 32803;
constexpr unsigned WM_REFRESH_INFO = 32804;
constexpr unsigned WM_GAS_CHANGED = 32805;
constexpr unsigned WM_GAS_INFO = 32806;
constexpr unsigned WM_CONNECTED = 32807;
constexpr unsigned WM_CONNECT_FAILED = 32808;
constexpr unsigned WM_WINDOW_NAME = 32809;
// A set point or PID value the timers sent has been carried out by the worker.
constexpr unsigned WM_SETTING_SENT = 32815;
// A PID value read after the connection (lParam: where it was stored).
constexpr unsigned WM_PID_READ = 32816;
// A worker run's last message: it has put the board back and closed its port (wParam: its
// token).
constexpr unsigned WM_WORKER_ENDED = 32817;
// Posted to the main window to show, in one box, the set point and PID values that did not
// reach the board or that it refused.
constexpr unsigned WM_SETTINGS_NOT_SENT = 32818;
// One of SAVE TO FLASH's writes has been answered (lParam: its reply buffer; 0: it failed).
constexpr unsigned WM_PID_SAVED = 32819;

// Main window timers (all on TimerProc).
constexpr unsigned TIMER_FLOW_READINGS = 264; // 50 ms while the graph is open
constexpr unsigned TIMER_STATE_POLL = 265;    // 100 ms while connected
constexpr unsigned TIMER_LOG_SAMPLE = 266;    // the log interval
constexpr unsigned TIMER_SEND_SETPOINT = 267; // one-shot 50 ms
constexpr unsigned TIMER_SEND_PROPORTIONAL = 268;
constexpr unsigned TIMER_SEND_INTEGRAL = 269;
constexpr unsigned TIMER_SEND_DERIVATIVE = 270;
constexpr unsigned TIMER_SEND_CRACKING = 271;
constexpr unsigned TIMER_INFO_REFRESH = 272; // ticker: 20 ms while the text moves, else 1 s
constexpr unsigned TIMER_OWNER_CLOCK = 273;  // 100 ms while a stop or a wait has a deadline

// Menu command and control identifiers are macros shared with the resource script.
#include "resources/resource.h"

// torvanctl watch: a live table of a bench of boards, one row per board, each board read on its
// own thread, lost boards looked for again by themselves.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ctl/CtlArgs.h"
#include "ctl/CtlBench.h"
#include "ctl/CtlCommands.h"
#include "ctl/CtlCommon.h"
#include "ctl/CtlPlatform.h"
#include "device/DeviceClock.h"
#include "display/InfoStrip.h"

namespace {
struct WatchOptions {
    std::vector<std::string> Ports;
    bool Once = false, Json = false;
    double DurationS = -1.0;
};
WatchOptions Options;
} // namespace

// How often a board's state is read and the table drawn (about five times a second).
constexpr double WATCH_PERIOD_SECONDS = 0.2;
// How long a board that is gone or not answering waits before it is looked for again.
constexpr double WATCH_RETRY_SECONDS = 1.0;
// State records lost in a row before the link is taken to have failed.
constexpr int WATCH_FAILED_READS = 2;

enum LinkState { LINK_CONNECTING, LINK_CONNECTED, LINK_RECONNECTING, LINK_GONE };
static const char* const LinkTexts[] = {"connecting", "connected", "reconnecting", "gone"};

// What the table shows of one board; written by the board's thread under Lock.
struct WatchRow {
    LinkState Link;
    int HaveInfo, HaveState;
    BoardInfo Info;
    SystemStateRec State;
    char Problem[200]; // why the board is not connected, when known
};

struct WatchBoard {
    const char* Port;
    CtlLock Lock;
    WatchRow Row;
};

static void SetRow(WatchBoard* board, const WatchRow& row) {
    HoldCtlLock(board->Lock);
    board->Row = row;
    ReleaseCtlLock(board->Lock);
}

static WatchRow GetRow(WatchBoard* board) {
    HoldCtlLock(board->Lock);
    WatchRow row = board->Row;
    ReleaseCtlLock(board->Lock);
    return row;
}

// Waits until the given time, or until the run stops.
static void PauseUntil(double until) {
    while (!StopWanted()) {
        double left = until - DeviceNowSeconds();
        if (left <= 0.0) {
            return;
        }
        DeviceSleepMs(left > 0.02 ? 20u : (uint32_t)(left * 1000.0) + 1u);
    }
}

// Finds the board (again): 1 once it answers and has said what it is.
static int ConnectWatchedBoard(WatchBoard* board, WatchRow* row) {
    uint32_t portError = GetComPortState(board->Port);
    if (portError != 0) {
        row->Link = LINK_GONE;
        snprintf(row->Problem, sizeof row->Problem, "cannot open the port (error %u)",
                 (unsigned)portError);
        return 0;
    }
    if (row->Link == LINK_GONE) {
        row->Link = LINK_RECONNECTING;
        SetRow(board, *row);
    }
    if (!ReconnectBoard(board->Port)) {
        row->Link = row->Link == LINK_CONNECTING ? LINK_GONE : LINK_RECONNECTING;
        snprintf(row->Problem, sizeof row->Problem, "%s", "no board answered");
        return 0;
    }
    BoardInfo info;
    if (!ReadBoardInfo(&info)) {
        ClearSerialPortErrors();
        DropBoardLink();
        row->Link = LINK_RECONNECTING;
        snprintf(row->Problem, sizeof row->Problem, "%s", "the board stopped answering");
        return 0;
    }
    row->Info = info;
    row->HaveInfo = 1;
    row->HaveState = 0;
    row->Link = LINK_CONNECTED;
    row->Problem[0] = '\0';
    return 1;
}

static void WatchOneBoard(void* arg) {
    WatchBoard* board = static_cast<WatchBoard*>(arg);
    BeginBenchBoard(board->Port);
    WatchRow row = {};
    row.Link = LINK_CONNECTING;
    if (LockBoardPort(board->Port) != EXIT_DONE) {
        row.Link = LINK_GONE;
        snprintf(row.Problem, sizeof row.Problem, "%s", LastFailure);
        SetRow(board, row);
        return;
    }
    int failedInRow = 0;
    double next = DeviceNowSeconds();
    while (!StopWanted()) {
        if (Board == nullptr) {
            ConnectWatchedBoard(board, &row);
            SetRow(board, row);
            if (Board == nullptr) {
                PauseUntil(DeviceNowSeconds() + WATCH_RETRY_SECONDS);
                continue;
            }
            failedInRow = 0;
            next = DeviceNowSeconds();
        }
        SystemStateRec state = {};
        if (GetLegacyBoardStateVals(Board, &state)) {
            failedInRow = 0;
            row.State = state;
            row.HaveState = 1;
            SetRow(board, row);
        } else {
            ClearSerialPortErrors();
            if (++failedInRow >= WATCH_FAILED_READS && !StopWanted()) {
                // Its restoring words go out too, in case the board is only slow.
                DropBoardLink();
                row.Link = LINK_RECONNECTING;
                snprintf(row.Problem, sizeof row.Problem, "%s", "the board stopped answering");
                SetRow(board, row);
                continue;
            }
        }
        next += WATCH_PERIOD_SECONDS;
        double now = DeviceNowSeconds();
        if (next < now) {
            next = now;
        }
        PauseUntil(next);
    }
    CloseBoard();
}

// ---------------------------------------------------------------------------------------
// The table

static std::string StatusWords(uint16_t flags) {
    std::string words;
    for (const StatusText& status : StatusTexts) {
        if (flags & status.Bit) {
            words += (words.empty() ? "" : ", ") + std::string(status.Text);
        }
    }
    return words.empty() ? "ok" : words;
}

static const char* RowName(const WatchRow& row) {
    if (!row.HaveInfo) {
        return "";
    }
    if (row.Info.Name[0] != '\0') {
        return row.Info.Name;
    }
    return row.Info.IsController ? "unnamed controller" : "meter";
}

// The row's colour, as the program's strip would show the board: red for a failure or a lost
// link, yellow for an alarm, none otherwise.
static const char* RowColour(const WatchRow& row) {
    if (row.Link != LINK_CONNECTED) {
        return row.Link == LINK_CONNECTING ? "" : "\x1b[31m";
    }
    InfoStripInput in = {0, 1, 0, 0, row.HaveState ? row.State.StatusFlags : (uint16_t)0, "", 0};
    InfoStripChoice choice;
    ChooseInformationText(&in, &choice);
    if (choice.Background == INFO_ERROR_COLOUR) {
        return "\x1b[31m";
    }
    return choice.Background == INFO_WARNING_COLOUR ? "\x1b[33m" : "";
}

static std::string InUnits(const WatchRow& row, float percent) {
    char text[96] = "";
    if (row.HaveInfo && row.Info.FullScale > 0.0f && row.Info.Units[0] != '\0') {
        snprintf(text, sizeof text, "%.4g %s", percent * row.Info.FullScale / 100.0,
                 row.Info.Units);
    }
    return text;
}

static std::string FormatRow(const WatchBoard& board, const WatchRow& row, int portWidth) {
    char flow[16] = "", setPoint[16] = "";
    std::string flowUnits, setPointUnits, status;
    if (row.Link == LINK_CONNECTED && row.HaveState) {
        snprintf(flow, sizeof flow, "%.2f", row.State.Flow);
        flowUnits = InUnits(row, row.State.Flow);
        if (row.Info.IsController) {
            snprintf(setPoint, sizeof setPoint, "%.2f", row.State.SetPoint);
            setPointUnits = InUnits(row, row.State.SetPoint);
        }
        status = StatusWords(row.State.StatusFlags);
    } else if (row.Link != LINK_CONNECTED) {
        status = row.Problem;
    }
    char line[600];
    snprintf(line, sizeof line, "%-*.*s %-20.20s %8s %-14.14s %8s %-14.14s %-6.6s %-12s %s",
             portWidth, portWidth, board.Port, RowName(row), flow, flowUnits.c_str(), setPoint,
             setPointUnits.c_str(), row.HaveInfo ? row.Info.GasSymbol : "", LinkTexts[row.Link],
             status.c_str());
    return line;
}

static std::string TableHeader(int portWidth) {
    char line[300];
    snprintf(line, sizeof line, "%-*s %-20s %8s %-14s %8s %-14s %-6s %-12s %s", portWidth, "port",
             "name", "flow %FS", "flow", "sp %FS", "set point", "gas", "link", "status");
    return line;
}

struct WatchScreen {
    std::vector<WatchBoard>* Boards;
    int Terminal, Colour;
    int PortWidth;   // the longest port name, within reason
    int Drawn;       // table lines on screen, to move back over
    double NextDraw; // DeviceNowSeconds()
    double Period;
    double EndAt; // < 0: until Ctrl-C
    int Once;
    int WriteFailed; // the table could not be written (a closed pipe): the run ends
};

static void DrawTable(WatchScreen* screen) {
    std::string out;
    if (screen->Terminal && screen->Drawn > 0) {
        out += "\x1b[" + std::to_string(screen->Drawn) + "A";
    }
    const char* clear = screen->Terminal ? "\x1b[2K" : "";
    out += std::string(clear) + TableHeader(screen->PortWidth) + "\n";
    for (WatchBoard& board : *screen->Boards) {
        WatchRow row = GetRow(&board);
        const char* colour = screen->Colour ? RowColour(row) : "";
        out += std::string(clear) + colour + FormatRow(board, row, screen->PortWidth) +
               (colour[0] ? "\x1b[0m" : "") + "\n";
    }
    if (!screen->Terminal) {
        out += "\n";
    }
    // "watch ... | head -3": once the reader has gone, nothing will ever read the table again,
    // so the run ends and every board is put back.
    if (fputs(out.c_str(), stdout) < 0 || fflush(stdout) != 0) {
        screen->WriteFailed = 1;
        StopEveryBoard();
    }
    screen->Drawn = (int)screen->Boards->size() + 1;
}

// A snapshot is ready once no board is still on its first attempt and every connected one has
// sent a state record.
static int SnapshotReady(std::vector<WatchBoard>* boards) {
    for (WatchBoard& board : *boards) {
        WatchRow row = GetRow(&board);
        if (row.Link == LINK_CONNECTING || (row.Link == LINK_CONNECTED && !row.HaveState)) {
            return 0;
        }
    }
    return 1;
}

static void WhileWatching(void* context) {
    WatchScreen* screen = static_cast<WatchScreen*>(context);
    DeviceSleepMs(10);
    if (StopWanted()) {
        return;
    }
    double now = DeviceNowSeconds();
    const int over = screen->EndAt >= 0.0 && now >= screen->EndAt;
    if (screen->Once) {
        if (over || (screen->EndAt < 0.0 && SnapshotReady(screen->Boards))) {
            StopEveryBoard();
        }
        return;
    }
    if (over) {
        StopEveryBoard();
        return;
    }
    if (now >= screen->NextDraw) {
        DrawTable(screen);
        screen->NextDraw = now + screen->Period;
    }
}

static std::string SnapshotJson(const std::vector<WatchRow>& rows,
                                const std::vector<WatchBoard>& boards) {
    using Json = nlohmann::ordered_json;
    Json all = Json::array();
    for (size_t i = 0; i < rows.size(); ++i) {
        const WatchRow& row = rows[i];
        Json entry = {{"port", boards[i].Port}, {"link", LinkTexts[row.Link]}};
        if (row.HaveInfo) {
            entry["kind"] = row.Info.IsController ? "controller" : "meter";
            entry["name"] = row.Info.Name;
            entry["gas"] = row.Info.GasSymbol;
            entry["units"] = row.Info.Units;
            entry["full_scale"] = row.Info.FullScale;
        }
        if (row.Link == LINK_CONNECTED && row.HaveState) {
            entry["flow"] = std::isfinite(row.State.Flow) ? Json(row.State.Flow) : Json(nullptr);
            entry["set_point"] =
                std::isfinite(row.State.SetPoint) ? Json(row.State.SetPoint) : Json(nullptr);
            entry["status_flags"] = row.State.StatusFlags;
            Json alarms = Json::array();
            for (const StatusText& status : StatusTexts) {
                if (row.State.StatusFlags & status.Bit) {
                    alarms.push_back(status.Text);
                }
            }
            entry["alarms"] = alarms;
            entry["active_gas"] = row.State.ActiveGas;
        }
        if (row.Problem[0] != '\0' && row.Link != LINK_CONNECTED) {
            entry["problem"] = row.Problem;
        }
        all.push_back(entry);
    }
    return Json({{"version", TORVAN_VERSION}, {"boards", all}})
        .dump(-1, ' ', false, Json::error_handler_t::replace);
}

static int RunWatch() {
    const std::vector<std::string>& ports = Options.Ports;
    int code = CheckDistinctPorts(ports);
    if (code != 0) {
        return code;
    }
    const double durationS = Options.DurationS;
    std::vector<WatchBoard> boards(ports.size());
    std::vector<void*> pointers;
    for (size_t i = 0; i < ports.size(); ++i) {
        boards[i].Port = ports[i].c_str();
        boards[i].Lock = NewCtlLock();
        boards[i].Row = WatchRow{};
        boards[i].Row.Link = LINK_CONNECTING;
        pointers.push_back(&boards[i]);
    }
    WatchScreen screen = {};
    screen.Boards = &boards;
    screen.Terminal = OutputIsTerminal();
    screen.Period = WATCH_PERIOD_SECONDS;
    screen.EndAt = -1.0;
    screen.Once = Options.Once;
    screen.PortWidth = 8;
    for (const WatchBoard& board : boards) {
        int length = (int)strlen(board.Port);
        if (length > screen.PortWidth) {
            screen.PortWidth = length < 40 ? length : 40;
        }
    }
    const char* noColour = getenv("NO_COLOR");
    screen.Colour = screen.Terminal && (noColour == nullptr || noColour[0] == '\0');
    // Piped or to a file, a table a second is plenty to read.
    if (!screen.Terminal) {
        screen.Period = 1.0;
    }
    if (durationS > 0.0) {
        screen.EndAt = DeviceNowSeconds() + durationS;
    }
    // The rows as they stood when the run was told to stop: the last table, the snapshot.
    RunOnEveryBoard(pointers, WatchOneBoard, nullptr, WhileWatching, &screen);
    std::vector<WatchRow> rows;
    for (WatchBoard& board : boards) {
        rows.push_back(GetRow(&board));
    }
    if (screen.Once) {
        if (Options.Json) {
            printf("%s\n", SnapshotJson(rows, boards).c_str());
        } else {
            screen.Drawn = 0;
            DrawTable(&screen);
        }
    }
    code = EXIT_DONE;
    if (screen.WriteFailed) {
        code = Fail(EXIT_OTHER, "%s", "cannot write standard output");
    }
    for (size_t i = 0; i < boards.size(); ++i) {
        FreeCtlLock(boards[i].Lock);
        if (rows[i].Link != LINK_CONNECTED && screen.Once && code == EXIT_DONE) {
            code = EXIT_NO_BOARD;
        }
    }
    return code;
}

void DefineWatchCommand(CLI::App* root) {
    CLI::App* command = AddCommand(
        root, "watch",
        "Shows a bench of boards as a live table, one row per board, redrawn about five\n"
        "times a second: port, name (or \"unnamed controller\" or \"meter\"), flow and set\n"
        "point in %FS and in the active gas's units, the gas, the link (connecting,\n"
        "connected, reconnecting, gone) and the status flags in words. Rows with an alarm are\n"
        "yellow, failures and lost links red (no colour when NO_COLOR is set; to a file or a\n"
        "pipe, a plain table a second). A board that falls silent or is unplugged is looked\n"
        "for again every second while the others carry on. Ctrl-C (or S seconds) ends it,\n"
        "every board put back, the last table left on screen. --once prints one snapshot as\n"
        "soon as every board has answered or failed its first attempt (after S seconds with\n"
        "--duration), as a table or with --json as {\"boards\": [...]}; its exit code is 3\n"
        "when a board is not connected then.",
        RunWatch);
    AddPorts(command, &Options.Ports, MAX_PORTS);
    CLI::Option* once = AddFlag(command, "--once", &Options.Once, "prints one snapshot and ends");
    AddFlag(command, "--json", &Options.Json, "the snapshot as one JSON object")->needs(once);
    AddPositive(command, "--duration", &Options.DurationS, "S", "ends after S seconds");
}

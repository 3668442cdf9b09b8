// The owner with real worker runs over two scripted boards: a worker whose read ignores the
// stop and the cancel, and what the next connection's port hears meanwhile; and the worker's
// three steps driven from one thread, as a single-threaded simulation drives them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "resources/AppMessages.h"
#include "app/ConnectionOwner.h"
#include "app/SerialCmdQ.h"
#include "app/WorkerThread.h"
#include "device/LegacyBoardUtils.h"
#include "device/SerialPort.h"

namespace {

using Lines = std::vector<std::string>;

// A board behind a named port: found at its own speed, it answers the probe, S65 and S54, and
// moves to 230400 when told. While Hang is set it is silent and a read blocks until Hang is
// cleared, whatever the reader was told: a driver that ignores the time-outs and the cancel.
struct ScriptBoard {
    uint32_t Baud = 0;
    uint32_t OpenBaud = 0;
    int Open = 0;
    int Opens = 0;
    std::deque<uint8_t> Bytes;
    Lines Heard;
    bool Hang = false;
    bool Blocked = false;
};

std::mutex BoardsLock;
std::condition_variable BoardsChanged;
std::map<std::string, ScriptBoard> Boards;

void Answer(ScriptBoard* board, const std::string& command) {
    if (board->Hang || board->OpenBaud != board->Baud)
        return;
    const char* reply = ">";
    if (command == "2\r")
        reply = "Invalid Command\r\n>";
    else if (command == "S65\r")
        reply = "x0D0A\r\n>";
    else if (command == "S54\r")
        reply = "bench\r\n>";
    else if (command.compare(0, 6, "~BAUD=") == 0 || command.compare(0, 6, "~SNLC=") == 0) {
        if (command == "~BAUD=230400\r")
            board->Baud = 230400;
        return;
    }
    for (const char* c = reply; *c; c++)
        board->Bytes.push_back((uint8_t)*c);
}

ComHandle BoardOpen(const char* name, uint32_t baud, char, uint8_t, float, uint32_t* errorOut) {
    std::lock_guard<std::mutex> hold(BoardsLock);
    auto found = Boards.find(name);
    if (found == Boards.end() || found->second.Open) {
        *errorOut = 5;
        return nullptr;
    }
    found->second.Open = 1;
    found->second.Opens++;
    found->second.OpenBaud = baud;
    found->second.Bytes.clear();
    return &found->second;
}

int BoardRead(ComHandle handle, uint8_t* bytes, size_t count) {
    ScriptBoard* board = static_cast<ScriptBoard*>(handle);
    std::unique_lock<std::mutex> hold(BoardsLock);
    if (board->Bytes.empty() && board->Hang) {
        board->Blocked = true;
        BoardsChanged.notify_all();
        BoardsChanged.wait(hold, [board] { return !board->Hang; });
        board->Blocked = false;
    }
    if (board->Bytes.empty()) {
        hold.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        return -1;
    }
    size_t n = 0;
    while (n < count && !board->Bytes.empty()) {
        bytes[n++] = board->Bytes.front();
        board->Bytes.pop_front();
    }
    return (int)n;
}

int BoardGetChar(ComHandle handle) {
    uint8_t byte;
    return BoardRead(handle, &byte, 1) == 1 ? byte : -1;
}

int BoardWrite(ComHandle handle, const uint8_t* bytes, size_t count) {
    ScriptBoard* board = static_cast<ScriptBoard*>(handle);
    std::lock_guard<std::mutex> hold(BoardsLock);
    std::string command((const char*)bytes, count);
    board->Heard.push_back(command);
    Answer(board, command);
    return 0;
}

int BoardClose(ComHandle handle) {
    std::lock_guard<std::mutex> hold(BoardsLock);
    static_cast<ScriptBoard*>(handle)->Open = 0;
    return 1;
}

uint32_t BoardState(const char*) {
    return 0;
}

const SerialPortBackend BoardBackend = {BoardOpen,  BoardGetChar, BoardWrite,
                                        BoardClose, BoardState,   BoardRead};

struct Posted {
    uint32_t Message;
    uint64_t Token;
    intptr_t LParam;
};
std::mutex PostsLock;
std::deque<Posted> Posts;

int RecordPost(void*, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> hold(PostsLock);
    Posts.push_back({message, (uint64_t)wParam, lParam});
    return 1;
}

uint64_t SeededTokens(void* context) {
    uint64_t* state = static_cast<uint64_t*>(context);
    *state = *state * 6364136223846793005ull + 1442695040888963407ull;
    return *state;
}

// Plays the window's part: carries the owner's actions out with real worker threads and keeps
// the set of ports this window holds.
class Window {
  public:
    Window() { InitConnectionOwner(&owner, SeededTokens, &seed); }
    ~Window() {
        for (auto& worker : workers) {
            StopWorkerRun(worker.second.run.get());
            if (worker.second.thread.joinable())
                worker.second.thread.join();
        }
    }
    void Fire(OwnerEvent event) {
        event.Now = now;
        OwnerActionList actions;
        OwnerHandleEvent(&owner, &event, &actions);
        for (int i = 0; i < actions.Count; i++)
            Carry(actions.Items[i]);
    }
    void Fire(OwnerEventKind kind, const char* port = "") {
        OwnerEvent event = MakeOwnerEvent(kind, now);
        snprintf(event.Port, sizeof event.Port, "%s", port);
        Fire(event);
    }
    // Takes the posted messages until one of message from token came (5 s at most).
    bool PumpUntil(uint32_t message, uint64_t token, Posted* out = nullptr) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(5);
        while (std::chrono::steady_clock::now() < deadline) {
            Posted p;
            {
                std::lock_guard<std::mutex> hold(PostsLock);
                if (Posts.empty()) {
                    p.Message = 0;
                } else {
                    p = Posts.front();
                    Posts.pop_front();
                }
            }
            if (p.Message == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            Dispatch(p);
            if (p.Message == message && p.Token == token) {
                if (out)
                    *out = p;
                return true;
            }
        }
        return false;
    }
    bool Holds(const char* port) const { return held.count(port) != 0; }

    ConnectionOwnerRec owner;
    uint64_t seed = 42;
    double now = 0.0;
    std::set<std::string> held;

  private:
    struct Worker {
        std::unique_ptr<WorkerRunRec> run;
        std::thread thread;
    };
    std::map<uint64_t, Worker> workers;

    void Dispatch(const Posted& p) {
        OwnerEvent event = MakeOwnerEvent(OWNER_CLOCK_TICK, now);
        event.Token = p.Token;
        switch (p.Message) {
        case WM_CONNECTED:
            event.Kind = OWNER_WORKER_CONNECTED;
            event.NewLineKnown = (int)p.LParam;
            break;
        case WM_CONNECT_FAILED:
            event.Kind = OWNER_WORKER_CONNECT_FAILED;
            break;
        case WM_SERIAL_ERROR:
            event.Kind = OWNER_WORKER_LINK_ERROR;
            event.ErrorBits = (uint32_t)p.LParam;
            break;
        case WM_WORKER_ENDED: {
            auto found = workers.find(p.Token);
            if (found != workers.end()) {
                found->second.thread.join();
                workers.erase(found);
            }
            event.Kind = OWNER_WORKER_ENDED;
            break;
        }
        default:
            return;
        }
        Fire(event);
    }

    void Carry(const OwnerAction& a) {
        switch (a.Kind) {
        case ACT_START_WORKER: {
            Worker& worker = workers[a.Token];
            worker.run.reset(new WorkerRunRec);
            PrepareWorkerRun(worker.run.get(), nullptr, RecordPost, a.Port, a.Token, a.Simulation,
                             a.RideThrough);
            WorkerRunRec* run = worker.run.get();
            worker.thread = std::thread([run] { WorkerThreadFunction(run); });
            break;
        }
        case ACT_POST_START: {
            OwnerEvent start = MakeOwnerEvent(OWNER_START_WORKER, now);
            start.Token = a.Token;
            Fire(start);
            break;
        }
        case ACT_STOP_WORKER: {
            auto found = workers.find(a.Token);
            if (found != workers.end())
                StopWorkerRun(found->second.run.get());
            break;
        }
        case ACT_CLEAR_QUEUE:
            ClearMsgQueue();
            break;
        case ACT_HOLD_PORT:
            held.insert(a.Port);
            break;
        case ACT_RELEASE_PORT:
            held.erase(a.Port);
            break;
        default:
            // The cancel reaches a read that ignores it; the rest is the window's own.
            break;
        }
    }
};

Lines Heard(const char* port) {
    std::lock_guard<std::mutex> hold(BoardsLock);
    return Boards[port].Heard;
}

bool HeardAny(const char* port, const std::string& command) {
    Lines heard = Heard(port);
    return std::find(heard.begin(), heard.end(), command) != heard.end();
}

class OwnerWorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ClearMsgQueue();
        ForgetBoardLineSettings();
        {
            std::lock_guard<std::mutex> hold(BoardsLock);
            Boards.clear();
            Boards["SIMA"].Baud = 9600;
            Boards["SIMB"].Baud = 19200;
        }
        {
            std::lock_guard<std::mutex> hold(PostsLock);
            Posts.clear();
        }
        SetSerialPortBackend(&BoardBackend);
    }
    void TearDown() override {
        {
            std::lock_guard<std::mutex> hold(BoardsLock);
            for (auto& board : Boards)
                board.second.Hang = false;
        }
        BoardsChanged.notify_all();
        ClearMsgQueue();
        SetSerialPortBackend(nullptr);
    }
};

char Name[64];

TEST_F(OwnerWorkerTest, AStuckWorkersPortStaysLockedAndTheNextPortHearsNothingMeantForIt) {
    Window window;
    window.Fire(OWNER_PORT_CHOSEN, "SIMA");
    uint64_t first = window.owner.Run.Token;
    ASSERT_NE(first, 0u);
    ASSERT_TRUE(window.PumpUntil(WM_CONNECTED, first));
    ASSERT_EQ(window.owner.State, CONN_CONNECTED);

    // The board stops answering and the driver lets the read hang past every stop.
    {
        std::lock_guard<std::mutex> hold(BoardsLock);
        Boards["SIMA"].Hang = true;
    }
    ASSERT_TRUE(
        EnqueueThreadMsg(REQUEST_ASCII, "S54\r", WM_WINDOW_NAME, PARSE_TEXT, Name, sizeof Name));
    {
        std::unique_lock<std::mutex> hold(BoardsLock);
        ASSERT_TRUE(BoardsChanged.wait_for(hold, std::chrono::seconds(5),
                                           [] { return Boards["SIMA"].Blocked; }));
    }
    window.now = 10.0;
    window.Fire(OWNER_CLOSE_COMMAND);
    window.now = 10.0 + STOP_CANCEL_SECONDS;
    window.Fire(OWNER_CLOCK_TICK);
    window.now = 10.0 + STOP_GIVE_UP_SECONDS;
    window.Fire(OWNER_CLOCK_TICK);
    EXPECT_EQ(window.owner.State, CONN_IDLE);
    EXPECT_TRUE(window.Holds("SIMA"));

    window.Fire(OWNER_PORT_CHOSEN, "SIMB");
    EXPECT_EQ(window.owner.State, CONN_WAITING);
    window.now = 15.0;
    window.Fire(OWNER_CLOCK_TICK);
    EXPECT_EQ(window.owner.State, CONN_WAITING);
    EXPECT_TRUE(window.Holds("SIMA"));
    EXPECT_TRUE(Heard("SIMB").empty());

    // The driver lets go: the stuck worker puts its own board back and ends; only then is its
    // port given up and the Open goes on.
    {
        std::lock_guard<std::mutex> hold(BoardsLock);
        Boards["SIMA"].Hang = false;
    }
    BoardsChanged.notify_all();
    ASSERT_TRUE(window.PumpUntil(WM_WORKER_ENDED, first));
    EXPECT_FALSE(window.Holds("SIMA"));
    EXPECT_TRUE(window.Holds("SIMB"));
    uint64_t second = window.owner.Run.Token;
    ASSERT_NE(second, 0u);
    ASSERT_NE(second, first);
    Posted connected;
    ASSERT_TRUE(window.PumpUntil(WM_CONNECTED, second, &connected));
    EXPECT_EQ(connected.LParam, 1); // its line ending was read

    // A reply on the second port comes with its record: the first run's time-out is its own.
    Name[0] = '\0';
    ASSERT_TRUE(
        EnqueueThreadMsg(REQUEST_ASCII, "S54\r", WM_WINDOW_NAME, PARSE_TEXT, Name, sizeof Name));
    Posted reply;
    ASSERT_TRUE(window.PumpUntil(WM_WINDOW_NAME, second, &reply));
    EXPECT_NE(reply.LParam, 0);
    EXPECT_STREQ(Name, "bench\r\n");

    window.Fire(OWNER_CLOSE_COMMAND);
    ASSERT_TRUE(window.PumpUntil(WM_WORKER_ENDED, second));

    // Each board heard its own restore, and the second nothing of the first's.
    EXPECT_TRUE(HeardAny("SIMA", "~BAUD=9600\r"));
    EXPECT_TRUE(HeardAny("SIMB", "~BAUD=19200\r"));
    EXPECT_FALSE(HeardAny("SIMB", "~BAUD=9600\r"));
    EXPECT_FALSE(HeardAny("SIMA", "~BAUD=19200\r"));
    Lines b = Heard("SIMB");
    EXPECT_EQ(std::count(b.begin(), b.end(), std::string("S54\r")), 1);
    EXPECT_FALSE(window.Holds("SIMB"));
}

// The same three steps a thread runs, called from one thread for two runs in turn: each run's
// error bits and restore are its own, whichever ran last. (On a thread of its own: a run makes
// the device layer's state per thread on the thread that serves it.)
void TwoRunsOnOneThread() {
    WorkerRunRec a, b;
    PrepareWorkerRun(&a, nullptr, RecordPost, "SIMA", 0xA1, 0, 0);
    PrepareWorkerRun(&b, nullptr, RecordPost, "SIMB", 0xB2, 0, 0);
    ASSERT_EQ(WorkerRunConnect(&a), 1);
    ASSERT_EQ(WorkerRunConnect(&b), 1);
    EXPECT_EQ(WorkerRunStep(&a), 0); // nothing queued

    // A's board stops answering: its request fails, it reports the error once, takes no more.
    {
        std::lock_guard<std::mutex> hold(BoardsLock);
        Boards["SIMA"].Baud = 1; // deaf at the link's speed
    }
    EnqueueThreadMsg(REQUEST_ASCII, "S54\r", WM_WINDOW_NAME, PARSE_TEXT, Name, sizeof Name);
    EXPECT_EQ(WorkerRunStep(&a), 1);
    EXPECT_NE(a.ErrorBits, 0u);
    EnqueueThreadMsg(REQUEST_ASCII, "S54\r", WM_WINDOW_NAME, PARSE_TEXT, Name, sizeof Name);
    EXPECT_EQ(WorkerRunStep(&a), 0);
    EXPECT_EQ(WorkerRunStep(&b), 1);
    EXPECT_EQ(b.ErrorBits, 0u);

    StopWorkerRun(&a);
    EXPECT_EQ(WorkerRunStep(&a), 0);
    WorkerRunFinish(&b);
    WorkerRunFinish(&a);
    EXPECT_TRUE(HeardAny("SIMA", "~BAUD=9600\r"));
    EXPECT_TRUE(HeardAny("SIMB", "~BAUD=19200\r"));
    EXPECT_FALSE(HeardAny("SIMA", "~BAUD=19200\r"));

    std::vector<Posted> posted(Posts.begin(), Posts.end());
    Lines seen;
    for (const Posted& p : posted) {
        char line[64];
        snprintf(line, sizeof line, "%llx:%u:%d", (unsigned long long)p.Token, p.Message,
                 p.Message == WM_SERIAL_ERROR ? (int)p.LParam : p.LParam != 0);
        seen.push_back(line);
    }
    char expected[6][64];
    snprintf(expected[0], 64, "a1:%u:1", WM_CONNECTED);
    snprintf(expected[1], 64, "b2:%u:1", WM_CONNECTED);
    snprintf(expected[2], 64, "a1:%u:0", WM_WINDOW_NAME);
    snprintf(expected[3], 64, "a1:%u:%d", WM_SERIAL_ERROR, (int)SERIAL_ERROR_TIMEOUT);
    snprintf(expected[4], 64, "b2:%u:1", WM_WINDOW_NAME);
    snprintf(expected[5], 64, "b2:%u:0", WM_WORKER_ENDED);
    ASSERT_EQ(seen.size(), 7u);
    for (int i = 0; i < 6; i++)
        EXPECT_EQ(seen[i], expected[i]) << i;
    EXPECT_EQ(seen[6], "a1:" + std::to_string(WM_WORKER_ENDED) + ":0");
}

TEST_F(OwnerWorkerTest, RunsDrivenFromOneThreadKeepTheirOwnStateAndReportWithTheirToken) {
    std::thread serving(TwoRunsOnOneThread);
    serving.join();
}

} // namespace

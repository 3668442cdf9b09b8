#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include <stdlib.h>
#include <unistd.h>

#include "resources/AppMessages.h"
#include "app/AppState.h"
#include "app/SerialCmdQ.h"
#include "app/WorkerThread.h"
#include "device/LegacyBoardUtils.h"

#include "EmulatorProcess.h"

namespace {

using Clock = std::chrono::steady_clock;

struct Posted {
    uint32_t message;
    intptr_t lParam;
    void* window;
    uintptr_t wParam;
};

std::mutex PostedLock;
std::vector<Posted> PostedMessages;

int RecordPost(void* window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    std::lock_guard<std::mutex> hold(PostedLock);
    PostedMessages.push_back({message, lParam, window, wParam});
    return 1;
}

std::vector<Posted> AllPosted() {
    std::lock_guard<std::mutex> hold(PostedLock);
    return PostedMessages;
}

// What a run posted before its end report.
std::vector<Posted> PostedSoFar() {
    std::vector<Posted> posted;
    for (const Posted& p : AllPosted())
        if (p.message != WM_WORKER_ENDED)
            posted.push_back(p);
    return posted;
}

int CountPosted(uint32_t message) {
    int count = 0;
    for (const Posted& p : AllPosted()) {
        count += p.message == message;
    }
    return count;
}

// Waits until `count` messages other than the connection reports have been posted.
bool WaitForPosts(size_t count, int timeoutMs) {
    auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    while (Clock::now() < deadline) {
        if (PostedSoFar().size() >= count) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return false;
}

void* const FakeWindow = (void*)(uintptr_t)0x5150;

// Runs WorkerThreadFunction on a std::thread the way the main window runs it on a Win32 one.
class WorkerRun {
  public:
    void Start(const char* port, int simulation) {
        PrepareWorkerRun(&rec_, FakeWindow, RecordPost, port, ++LastRun, simulation, 0);
        thread_ = std::thread([this] { WorkerThreadFunction(&rec_); });
    }
    const WorkerRunRec& Rec() const { return rec_; }
    static uint64_t LastRun;
    // Returns the seconds between asking for the stop and the worker's end.
    double Stop() {
        if (!thread_.joinable()) {
            return 0.0;
        }
        auto start = Clock::now();
        StopWorkerRun(&rec_);
        thread_.join();
        return std::chrono::duration<double>(Clock::now() - start).count();
    }
    ~WorkerRun() { Stop(); }

  private:
    WorkerRunRec rec_;
    std::thread thread_;
};
uint64_t WorkerRun::LastRun = 0x7000;

class WorkerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ClearMsgQueue();
        ClearSerialPortErrors();
        {
            std::lock_guard<std::mutex> hold(PostedLock);
            PostedMessages.clear();
        }
        SimGraphWindowExists = 0;
        SystemState = SystemStateRec{};
        srand(12345);
    }
    void TearDown() override {
        run_.Stop();
        // Whatever a run posts carries its run number, by which the main window tells the
        // reports of a stopped run from those of the current one.
        for (const Posted& p : AllPosted()) {
            EXPECT_EQ(p.wParam, (uintptr_t)WorkerRun::LastRun) << p.message;
        }
        ClearMsgQueue();
        ClearSerialPortErrors();
    }
    WorkerRun run_;
};

// ---------------------------------------------------------------------------------------
// Simulation

TEST(SimulatedRawFlowCountsTest, Table) {
    // flow x 23145.3 + 3400000, truncated toward zero, worked out by hand.
    struct Case {
        float setPoint, flow;
        int32_t expected;
    } cases[] = {
        {0.0f, 0.75f, 0},           // no set point: no counts at all
        {0.0f, 0.0f, 0},            //
        {50.0f, 50.25f, 4563051},   // 1163051.325 + 3400000
        {1.0f, 1.0f, 3423145},      // 3423145.3
        {100.0f, 100.5f, 5726102},  // 2326102.65 + 3400000
        {10.0f, -5.0f, 3284273},    // 3400000 - 115726.5
        {1.0f, 1.0e6f, INT32_MAX},  // far beyond a 32-bit count: held at the limit
        {1.0f, -1.0e6f, INT32_MIN}, //
    };
    for (const Case& c : cases) {
        EXPECT_EQ(SimulatedRawFlowCounts(c.setPoint, c.flow), c.expected)
            << c.setPoint << " " << c.flow;
    }
}

bool IsJitterStep(float value, float base) {
    double steps = (value - base) / 0.01;
    return steps > -0.01 && steps < 99.01 && std::fabs(steps - std::round(steps)) < 0.01;
}

TEST_F(WorkerTest, SimulationAtSetPointZeroGivesSmallFlowsAndNoCounts) {
    NewFlowReadingsRec readings{};
    SystemStateRec state{};
    run_.Start("FAKE", 1);
    for (int i = 0; i < 10; ++i) {
        EnqueueThreadMsg(REQUEST_FLOW_VALUES, nullptr, WM_FLOW_READINGS, 0, &readings);
        EnqueueThreadMsg(REQUEST_BOARD_STATE, nullptr, WM_BOARD_STATE, 0, &state);
    }
    ASSERT_TRUE(WaitForPosts(20, 5000));
    run_.Stop();

    EXPECT_EQ(readings.Count, 5);
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(IsJitterStep(readings.Values[i], 0.0f)) << readings.Values[i];
    }
    EXPECT_EQ(state.RawFlowCounts, 0);
    EXPECT_TRUE(IsJitterStep(state.Flow, 0.0f)) << state.Flow;
    EXPECT_EQ(state.TotalizerFlow, state.Flow);
    for (const Posted& p : PostedSoFar()) {
        EXPECT_EQ(p.window, FakeWindow);
        if (p.message == WM_FLOW_READINGS) {
            EXPECT_EQ(p.lParam, (intptr_t)&readings);
        } else {
            EXPECT_EQ(p.message, WM_BOARD_STATE);
            EXPECT_EQ(p.lParam, (intptr_t)&state);
        }
    }
    // Simulation never connects and never reports link errors.
    EXPECT_EQ(CountPosted(WM_CONNECTED) + CountPosted(WM_CONNECT_FAILED), 0);
}

TEST_F(WorkerTest, SimulatedStateAtFiftyCarriesTheCountsOfItsFlow) {
    SystemState.SetPoint = 50.0f;
    SystemStateRec state{};
    state.SetPoint = -1.0f;
    run_.Start("FAKE", 1);
    EnqueueThreadMsg(REQUEST_BOARD_STATE, nullptr, WM_BOARD_STATE, 0, &state);
    ASSERT_TRUE(WaitForPosts(1, 5000));
    run_.Stop();

    EXPECT_TRUE(IsJitterStep(state.Flow, 50.0f)) << state.Flow;
    // The counts are those of the flow reported, as the hand-worked table above pins them.
    EXPECT_EQ(state.RawFlowCounts, SimulatedRawFlowCounts(50.0f, state.Flow));
    EXPECT_GE(state.RawFlowCounts, 4557265); // 50.00 x 23145.3 + 3400000
    EXPECT_LE(state.RawFlowCounts, 4580178); // 50.99 x 23145.3 + 3400000
    EXPECT_EQ(state.SetPoint, 50.0f);
    EXPECT_EQ(state.TotalizerFlow, state.Flow);
    EXPECT_EQ(state.AuxValue1, 2.5f);
    EXPECT_EQ(state.AuxValue2, 1.5f);
    EXPECT_EQ(state.AuxValue3, 32.25f);
    EXPECT_EQ(state.AuxValue4, 123.45f);
    EXPECT_EQ(state.AuxWord1, 1);
    EXPECT_EQ(state.AuxWord2, 4);
    EXPECT_EQ(state.StatusFlags, 0);
    EXPECT_EQ(state.ActiveGas, 0);
}

TEST_F(WorkerTest, SimulatedStateReusesTheGraphsLastFlow) {
    SystemState.SetPoint = 20.0f;
    SimGraphWindowExists = 1;
    NewFlowReadingsRec readings{};
    SystemStateRec state{};
    run_.Start("FAKE", 1);
    for (int i = 0; i < 5; ++i) {
        EnqueueThreadMsg(REQUEST_FLOW_VALUES, nullptr, WM_FLOW_READINGS, 0, &readings);
        EnqueueThreadMsg(REQUEST_BOARD_STATE, nullptr, WM_BOARD_STATE, 0, &state);
    }
    ASSERT_TRUE(WaitForPosts(10, 5000));
    run_.Stop();
    EXPECT_EQ(state.Flow, readings.Values[4]);
    EXPECT_EQ(state.RawFlowCounts, SimulatedRawFlowCounts(20.0f, readings.Values[4]));
}

TEST_F(WorkerTest, SimulatedAsciiRepliesByParseKind) {
    struct Case {
        const char* name;
        int parse;
        size_t bufferSize; // capacity handed to the queue
        const char* expectedText;
        uint32_t expectedBits;
        bool textTarget;
    };
    // The prefill shows whether the target was written.
    const uint32_t prefill = 0x40F00000; // 7.5f
    const Case cases[] = {
        {"text", PARSE_TEXT, 64, "NOT CONNECTED TO DEVICE >\r\n", 0, true},
        {"text cut to ten", PARSE_TEXT, 10, "NOT CONNE", 0, true},
        {"text with no capacity", PARSE_TEXT, 0, nullptr, prefill, false},
        {"integer", PARSE_INT, 0, nullptr, 1, false},
        {"float", PARSE_FLOAT, 0, nullptr, 0, false},
        {"hex", PARSE_HEX, 0, nullptr, 1, false},
        {"unknown parse kind", 9, 0, nullptr, prefill, false},
    };
    union Target {
        char text[64];
        uint32_t bits;
    } targets[sizeof cases / sizeof cases[0]];

    run_.Start("FAKE", 1);
    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        memset(targets[i].text, '#', sizeof targets[i].text);
        targets[i].bits = prefill;
        EnqueueThreadMsg(REQUEST_ASCII, "S54\r", WM_REPLY_IGNORED, cases[i].parse, &targets[i],
                         cases[i].bufferSize);
    }
    ASSERT_TRUE(WaitForPosts(sizeof cases / sizeof cases[0], 5000));
    run_.Stop();

    for (size_t i = 0; i < sizeof cases / sizeof cases[0]; ++i) {
        const Case& c = cases[i];
        if (c.textTarget) {
            EXPECT_STREQ(targets[i].text, c.expectedText) << c.name;
            size_t used = strlen(c.expectedText) + 1;
            for (size_t k = used; k < sizeof targets[i].text; ++k) {
                ASSERT_EQ(targets[i].text[k], '#') << c.name << " byte " << k;
            }
        } else {
            EXPECT_EQ(targets[i].bits, c.expectedBits) << c.name;
        }
    }
}

TEST_F(WorkerTest, SimulationAnswersAnUnknownKindWithFakeBadRequest) {
    int target = 0;
    run_.Start("FAKE", 1);
    EnqueueThreadMsg(7, "S64\r", WM_PRODUCT_CONFIG, PARSE_HEX, &target);
    ASSERT_TRUE(WaitForPosts(1, 5000));
    run_.Stop();
    std::vector<Posted> posted = PostedSoFar();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted[0].message, WM_FAKE_BAD_REQUEST);
    EXPECT_EQ(posted[0].lParam, (intptr_t)&target);
    EXPECT_EQ(target, 0);
}

TEST_F(WorkerTest, TheRunsLastPostIsItsEnd) {
    run_.Start("FAKE", 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_EQ(CountPosted(WM_WORKER_ENDED), 0);
    double seconds = run_.Stop();
    printf("simulated worker stopped while idle in %.1f ms\n", seconds * 1000.0);
    std::vector<Posted> posted = AllPosted();
    ASSERT_EQ(posted.size(), 1u);
    EXPECT_EQ(posted.back().message, WM_WORKER_ENDED);
    EXPECT_EQ(run_.Rec().Device, nullptr);
}

// Between requests the worker waits for the queue's signal: a request enqueued while it waits
// is taken at once, and a stop ends the wait at once. Each wait starts some 20 ms before the
// enqueue or the stop, so a worker that only woke up after its idle bound would answer some
// 200 ms late.
TEST_F(WorkerTest, IdleWorkerWakesForARequestAndForAStop) {
    SystemStateRec state{};
    run_.Start("FAKE", 1);
    std::vector<double> latencies;
    for (int i = 0; i < 5; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
        size_t before = PostedSoFar().size();
        auto start = Clock::now();
        EnqueueThreadMsg(REQUEST_BOARD_STATE, nullptr, WM_BOARD_STATE, 0, &state);
        ASSERT_TRUE(WaitForPosts(before + 1, 2000));
        latencies.push_back(std::chrono::duration<double>(Clock::now() - start).count());
    }
    std::sort(latencies.begin(), latencies.end());
    printf("idle worker took a request after %.2f ms (median of 5)\n", latencies[2] * 1000.0);
    EXPECT_LT(latencies[2], 0.1);

    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    double seconds = run_.Stop();
    printf("idle worker stopped in %.2f ms\n", seconds * 1000.0);
    EXPECT_LT(seconds, 0.1);
}

TEST(PrepareWorkerRunTest, LongPortNameIsCut) {
    WorkerRunRec run;
    std::string longName(PORT_NAME_SIZE + 60, 'p');
    PrepareWorkerRun(&run, FakeWindow, RecordPost, longName.c_str(), 1, 0, 0);
    EXPECT_EQ(strlen(run.PortName), (size_t)PORT_NAME_SIZE - 1);
    PrepareWorkerRun(&run, FakeWindow, RecordPost, nullptr, 1, 0, 0);
    EXPECT_STREQ(run.PortName, "");
}

TEST_F(WorkerTest, ConnectFailurePostsOnceAndLeavesTheQueue) {
    char path[] = "/tmp/torvan-worker-nothing-XXXXXX";
    ASSERT_NE(mkdtemp(path), nullptr);
    std::string port = std::string(path) + "/com";
    int32_t target = 0;
    EnqueueThreadMsg(REQUEST_ASCII, "S64\r", WM_PRODUCT_CONFIG, PARSE_HEX, &target);
    run_.Start(port.c_str(), 0);
    auto deadline = Clock::now() + std::chrono::seconds(10);
    while (CountPosted(WM_CONNECT_FAILED) == 0 && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    EXPECT_EQ(CountPosted(WM_CONNECT_FAILED), 1);
    // A run that found no board ends by itself, and says so last.
    ASSERT_EQ(AllPosted().size(), 2u);
    EXPECT_EQ(AllPosted()[1].message, WM_WORKER_ENDED);
    EXPECT_EQ(MsgQ.head.load(), 0);
    EXPECT_EQ(MsgQ.tail.load(), 1);
    EXPECT_EQ(run_.Rec().Connected, 0);
    run_.Stop();
    rmdir(path);
}

// ---------------------------------------------------------------------------------------
// Against the board emulator

#ifdef TORVAN_EMU_PATH

// One emulated board in its own temporary folder: link, record file and control FIFO.
class Emulator {
  public:
    bool Start(const std::vector<std::string>& extra) {
        return dir_.Made() && process_.Start(TORVAN_EMU_PATH, extra);
    }
    void Stop() { process_.Stop(); }
    void Control(const char* line) { ASSERT_TRUE(process_.Send(line)) << "control FIFO"; }
    std::vector<std::string> RecordedCommands() const { return process_.Commands(); }
    std::vector<std::string> RecordedCommandsEndingWith(const char* prefix) const {
        return process_.CommandsEndingWith(prefix, 3000);
    }
    std::string Link() const { return process_.Link(); }

  private:
    emutest::TempDir dir_{"torvan-worker"};
    emutest::EmulatorProcess process_{dir_.Path()};
};

bool StartsWith(const std::string& text, const char* prefix) {
    return text.compare(0, strlen(prefix), prefix) == 0;
}

class WorkerDeviceTest : public WorkerTest {
  protected:
    void SetUp() override {
        WorkerTest::SetUp();
        // A new board: what an earlier test's connection saved does not belong to it.
        ForgetBoardLineSettings();
        ASSERT_TRUE(emu_.Start({"--kind", "controller", "--baud", "19200", "--name",
                                "Bench Controller Number Seven"}));
    }
    void TearDown() override {
        WorkerTest::TearDown();
        emu_.Stop();
    }
    // Starts the worker on the emulator and waits for its connection report.
    void Connect() {
        run_.Start(emu_.Link().c_str(), 0);
        auto deadline = Clock::now() + std::chrono::seconds(10);
        while (CountPosted(WM_CONNECTED) + CountPosted(WM_CONNECT_FAILED) == 0 &&
               Clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ASSERT_EQ(CountPosted(WM_CONNECTED), 1);
        ASSERT_EQ(run_.Rec().Connected, 1);
        ASSERT_NE(run_.Rec().Device, nullptr);
    }
    Emulator emu_;
};

TEST_F(WorkerDeviceTest, RequestsAreAnsweredAndParsedByKind) {
    Connect();
    // Values stored first through the same path, so the expected results are our own.
    int32_t ignored = 0;
    EnqueueThreadMsg(REQUEST_ASCII, "V29=4096\r", WM_REPLY_IGNORED, 99, &ignored);
    EnqueueThreadMsg(REQUEST_ASCII, "V24=12.5\r", WM_REPLY_IGNORED, 99, &ignored);

    uint32_t productConfig = 0xDEAD;
    int32_t cracking = -1;
    float proportional = -1.0f;
    char name[TITLE_SIZE];
    memset(name, '#', sizeof name);
    NewFlowReadingsRec readings{};
    readings.Count = -1;
    SystemStateRec state{};
    state.ActiveGas = 0xFFFF;
    EnqueueThreadMsg(REQUEST_ASCII, "S64\r", WM_PRODUCT_CONFIG, PARSE_HEX, &productConfig);
    EnqueueThreadMsg(REQUEST_ASCII, "V29\r", WM_REPLY_IGNORED, PARSE_INT, &cracking);
    EnqueueThreadMsg(REQUEST_ASCII, "V24\r", WM_REPLY_IGNORED, PARSE_FLOAT, &proportional);
    EnqueueThreadMsg(REQUEST_ASCII, "S54\r", WM_WINDOW_NAME, PARSE_TEXT, name, sizeof name);
    EnqueueThreadMsg(REQUEST_FLOW_VALUES, nullptr, WM_FLOW_READINGS, 0, &readings);
    EnqueueThreadMsg(REQUEST_BOARD_STATE, nullptr, WM_BOARD_STATE, 0, &state);
    ASSERT_TRUE(WaitForPosts(1 + 8, 10000));

    std::vector<Posted> posted = PostedSoFar();
    const struct {
        uint32_t message;
        void* result;
    } expected[] = {
        {WM_CONNECTED, (void*)1},      {WM_REPLY_IGNORED, &ignored},
        {WM_REPLY_IGNORED, &ignored},  {WM_PRODUCT_CONFIG, &productConfig},
        {WM_REPLY_IGNORED, &cracking}, {WM_REPLY_IGNORED, &proportional},
        {WM_WINDOW_NAME, name},        {WM_FLOW_READINGS, &readings},
        {WM_BOARD_STATE, &state},
    };
    ASSERT_EQ(posted.size(), sizeof expected / sizeof expected[0]);
    for (size_t i = 0; i < posted.size(); ++i) {
        EXPECT_EQ(posted[i].message, expected[i].message) << i;
        EXPECT_EQ(posted[i].lParam, (intptr_t)expected[i].result) << i;
        EXPECT_EQ(posted[i].window, FakeWindow) << i;
    }
    EXPECT_EQ(productConfig & 1u, 1u); // a controller
    EXPECT_EQ(cracking, 4096);
    EXPECT_FLOAT_EQ(proportional, 12.5f);
    EXPECT_EQ(std::string(name).find("Bench Controller Number Seven"), 0u) << name;
    EXPECT_GE(readings.Count, 0);
    EXPECT_LE(readings.Count, MAX_FLOW_READINGS);
    EXPECT_NE(state.ActiveGas, 0xFFFF);
    EXPECT_EQ(ignored, 0); // an unknown parse kind stores nothing
    EXPECT_EQ(CountPosted(WM_SERIAL_ERROR), 0);
}

TEST_F(WorkerDeviceTest, LongReplyIsCutToASmallTarget) {
    Connect();
    struct {
        char text[6];
        char guard[10];
    } target;
    memset(&target, '#', sizeof target);
    EnqueueThreadMsg(REQUEST_ASCII, "S54\r", WM_WINDOW_NAME, PARSE_TEXT, target.text,
                     sizeof target.text);
    ASSERT_TRUE(WaitForPosts(2, 5000));
    EXPECT_STREQ(target.text, "Bench");
    for (char c : target.guard) {
        ASSERT_EQ(c, '#');
    }
}

TEST_F(WorkerDeviceTest, UnknownKindPostsBadRequest) {
    Connect();
    int target = 0;
    EnqueueThreadMsg(7, "S64\r", WM_PRODUCT_CONFIG, PARSE_HEX, &target);
    ASSERT_TRUE(WaitForPosts(2, 5000));
    std::vector<Posted> posted = PostedSoFar();
    EXPECT_EQ(posted[1].message, WM_BAD_REQUEST);
    EXPECT_EQ(posted[1].lParam, (intptr_t)&target);
    // Nothing was sent for it.
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    for (const std::string& c : emu_.RecordedCommands()) {
        EXPECT_NE(c, "S64");
    }
}

TEST_F(WorkerDeviceTest, SilentBoardGivesExactlyOneSerialError) {
    Connect();
    emu_.Control("fault silence");
    SystemStateRec state{};
    // Keep the timers' traffic coming while the board stays silent.
    auto end = Clock::now() + std::chrono::milliseconds(1500);
    int enqueued = 0;
    while (Clock::now() < end) {
        EnqueueThreadMsg(REQUEST_BOARD_STATE, nullptr, WM_BOARD_STATE, 0, &state);
        ++enqueued;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_EQ(CountPosted(WM_SERIAL_ERROR), 1);
    // After the report no further request is taken: at most the one in progress got an answer.
    EXPECT_LE(CountPosted(WM_BOARD_STATE), 2);
    EXPECT_GT(enqueued, 10);
    EXPECT_EQ(CountPosted(WM_WORKER_ENDED), 0);
    emu_.Control("reset");
}

TEST_F(WorkerDeviceTest, StopWhileIdleIsPromptAndRestoresTheBoard) {
    Connect();
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    double seconds = run_.Stop();
    printf("worker stopped while idle in %.1f ms (includes the disconnect's two writes)\n",
           seconds * 1000.0);
    EXPECT_LT(seconds, 1.0);
    EXPECT_EQ(run_.Rec().Connected, 0);
    EXPECT_EQ(run_.Rec().Device, nullptr);

    // The emulator may not have read the last bytes off the pty yet; the connection's own
    // "~BAUD=230400" must not pass for the restore.
    std::vector<std::string> commands = emu_.RecordedCommandsEndingWith("~BAUD=19200");
    ASSERT_GE(commands.size(), 2u);
    EXPECT_TRUE(StartsWith(commands[commands.size() - 2], "~SNLC=")) << commands.end()[-2];
    EXPECT_EQ(commands.back(), "~BAUD=19200");
}

#endif

} // namespace

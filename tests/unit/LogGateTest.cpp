#include <gtest/gtest.h>

#include <vector>

#include "app/LogGate.h"

namespace {

// What happens to the connection, as the main window sees it, and whether a log tick right
// after may write a line.
enum StepKind {
    START,  // a worker run starts (connecting): Run is its number, the link not yet up
    UP,     // that run connected
    REPORT, // a state report of run Run reached the readout
    DOWN,   // the worker stopped (link error, Close): no run
    SIMULATE,
};
struct Step {
    StepKind Kind;
    uint32_t Run;
    int MayWrite;
};
struct Case {
    const char* Name;
    std::vector<Step> Steps;
};

} // namespace

TEST(LogGate, NoLineWhileTheLinkIsDownAndTheFirstAfterAFreshReport) {
    const Case cases[] = {
        {"idle: never", {{DOWN, 0, 0}}},
        {"a connection writes from its first state report on",
         {{START, 1, 0}, {UP, 1, 0}, {REPORT, 1, 1}, {REPORT, 1, 1}}},
        {"a link error stops the lines at once",
         {{START, 1, 0}, {UP, 1, 0}, {REPORT, 1, 1}, {DOWN, 0, 0}}},
        {"the reconnection's run writes only after its own report",
         {{START, 1, 0},
          {UP, 1, 0},
          {REPORT, 1, 1},
          {DOWN, 0, 0},
          {START, 2, 0},
          {UP, 2, 0},
          {REPORT, 2, 1}}},
        {"a log started during the outage waits for the new run's report like any other",
         {{START, 1, 0}, {UP, 1, 0}, {REPORT, 1, 1}, {DOWN, 0, 0}, {START, 2, 0}, {UP, 2, 0}}},
        {"a late report of a stopped run does not open the gate",
         {{START, 1, 0}, {UP, 1, 0}, {DOWN, 0, 0}, {START, 2, 0}, {UP, 2, 0}, {REPORT, 1, 0}}},
        {"a report while the next run still connects does not count for it",
         {{START, 1, 0}, {UP, 1, 0}, {REPORT, 1, 1}, {DOWN, 0, 0}, {START, 2, 0}, {REPORT, 1, 0}}},
        {"the simulation writes after its first report",
         {{SIMULATE, 7, 0}, {REPORT, 7, 1}, {DOWN, 0, 0}}},
    };
    for (const Case& c : cases) {
        LogGateRec gate = {};
        uint32_t run = 0;
        int linkUp = 0;
        for (size_t i = 0; i < c.Steps.size(); i++) {
            const Step& s = c.Steps[i];
            switch (s.Kind) {
            case START:
                run = s.Run;
                linkUp = 0;
                break;
            case UP:
                linkUp = 1;
                break;
            case SIMULATE:
                run = s.Run;
                linkUp = 1;
                break;
            case REPORT:
                LogGateStateReport(&gate, s.Run);
                break;
            case DOWN:
                run = 0;
                linkUp = 0;
                LogGateLinkDown(&gate);
                break;
            }
            EXPECT_EQ(LogGateMayWrite(&gate, run, linkUp), s.MayWrite) << c.Name << ", step " << i;
        }
    }
}

// Until the portable owner and the simulated ports exist there is nothing to drive: the
// program says so instead of running schedules.
#include "tests/chaos/ChaosSim.h"

int ChaosSimulationReady() {
    return 0;
}

ChaosTrace ChaosSimulate(const ChaosSchedule&) {
    return ChaosTrace{};
}

// What torvanctl step-test found on each board, for whatever keeps a record of the run: each
// report carries its steps' figures and its outcome (PASS, FAIL, ERROR, ABORTED) with the
// reason.
#pragma once

#include <vector>

#include "ctl/CtlReport.h"

// One per board of this run's step test, in the order the ports were named.
const std::vector<StepReport>& StepTestReports();

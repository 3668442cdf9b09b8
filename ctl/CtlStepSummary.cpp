// The step test's summary of a bench of boards, as a table and as JSON.
#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "ctl/CtlStepBench.h"

namespace {
// The worst figure over the steps: the largest, NaN (never settled) counting as the worst.
double Worst(const StepReport& report, double StepMetrics::*figure, int absolute) {
    double worst = 0.0;
    for (const StepRecord& step : report.Steps) {
        double value = step.Metrics.*figure;
        if (std::isnan(value)) {
            return value;
        }
        worst = std::fmax(worst, absolute ? std::fabs(value) : value);
    }
    return worst;
}

void PrintFigure(double value, int tested, int width, int decimals) {
    if (!tested) {
        printf("%*s", width, "-");
    } else if (std::isnan(value)) {
        printf("%*s", width, "never");
    } else {
        printf("%*.*f", width, decimals, value);
    }
}

const char* BoardLabelText(const StepBoard& board) {
    if (!board.Connected) {
        return "-";
    }
    if (board.Report.Board.Name[0] != '\0') {
        return board.Report.Board.Name;
    }
    return board.Report.Board.IsController ? "unnamed controller" : "meter";
}

} // namespace

TestOutcome BenchOutcome(const std::vector<StepBoard>& boards) {
    TestOutcome outcome = OUTCOME_PASS;
    for (const StepBoard& board : boards) {
        outcome = WorstOutcome(outcome, board.Report.Outcome);
    }
    return outcome;
}

void PrintStepSummary(const std::vector<StepBoard>& boards) {
    printf("%-24s %-24s %10s %10s %10s  result\n", "port", "board", "settle ms", "overshoot",
           "error");
    // The boards by outcome, for the last line.
    std::string lists[4];
    for (const StepBoard& board : boards) {
        const char* port = (*board.Ports)[(size_t)board.Index].c_str();
        int tested = board.Connected && !board.Report.Steps.empty();
        printf("%-24s %-24.24s", port, BoardLabelText(board));
        PrintFigure(Worst(board.Report, &StepMetrics::SettleMs, 0), tested, 11, 1);
        PrintFigure(Worst(board.Report, &StepMetrics::OvershootPct, 0), tested, 11, 4);
        PrintFigure(Worst(board.Report, &StepMetrics::MeanErrorPct, 1), tested, 11, 4);
        const TestOutcome outcome = board.Report.Outcome;
        if (outcome == OUTCOME_PASS) {
            printf("  PASS\n");
        } else {
            printf("  %s: %s\n", OutcomeName(outcome), board.Why.c_str());
        }
        std::string& list = lists[outcome];
        list += (list.empty() ? "" : ", ") + std::string(port);
    }
    const TestOutcome outcome = BenchOutcome(boards);
    if (outcome == OUTCOME_PASS) {
        printf("PASS: %zu boards within every limit given\n", boards.size());
        return;
    }
    printf("%s:", OutcomeName(outcome));
    const char* names[4] = {"", "failed", "errors", "aborted"};
    const char* separator = " ";
    for (int k = OUTCOME_FAIL; k <= OUTCOME_ABORTED; ++k) {
        if (!lists[k].empty()) {
            printf("%s%s: %s", separator, names[k], lists[k].c_str());
            separator = "; ";
        }
    }
    printf("\n");
}

std::string StepBenchJson(const std::vector<StepBoard>& boards) {
    using Json = nlohmann::ordered_json;
    const TestOutcome outcome = BenchOutcome(boards);
    Json all = {{"version", TORVAN_VERSION},
                {"outcome", OutcomeName(outcome)},
                {"pass", outcome == OUTCOME_PASS},
                {"boards", Json::array()}};
    for (const StepBoard& board : boards) {
        Json entry = {{"port", (*board.Ports)[(size_t)board.Index].c_str()}};
        if (board.Connected) {
            Json one = Json::parse(StepReportJson(board.Report), nullptr, false);
            for (auto item = one.begin(); item != one.end(); ++item) {
                if (item.key() != "version") {
                    entry[item.key()] = item.value();
                }
            }
        } else {
            entry["outcome"] = OutcomeName(board.Report.Outcome);
            entry["pass"] = false;
            entry["reason"] = CleanUtf8(board.Why.c_str());
        }
        if (board.Code != EXIT_DONE) {
            entry["error"] = CleanUtf8(board.Why.c_str());
            entry["exit_code"] = board.Code;
        }
        all["boards"].push_back(entry);
    }
    return all.dump(-1, ' ', false, Json::error_handler_t::replace);
}

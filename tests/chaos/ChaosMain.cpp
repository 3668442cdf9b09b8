// torvan-chaos: runs random operator and fault schedules through the simulated program and
// checks each run's promises; checks the checker; replays a schedule from its text form.
//
//   torvan-chaos --schedules N [--seed S] [--from I] [--trace] [--all]
//   torvan-chaos --replay FILE [--trace]
//   torvan-chaos --self-check [--verbose]
//   torvan-chaos --print SEED
//
// --from I starts the campaign at its schedule I (to look at one schedule again), --all prints
// every violation of every schedule, --trace the trace of the first failure (or the replay),
// --known FILE counts the violations of the faults listed there apart (they fail nothing).
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/chaos/ChaosCheck.h"
#include "tests/chaos/ChaosSchedule.h"
#include "tests/chaos/ChaosSelfCheck.h"
#include "tests/chaos/ChaosShrink.h"
#include "tests/chaos/ChaosSim.h"

namespace {

// Known faults: a violation of Invariant whose message holds Text is counted under Name.
struct KnownFault {
    int Invariant;
    std::string Text;
    std::string Name;
    unsigned long long Seen = 0;
};

std::vector<KnownFault> Known;

int LoadKnown(const char* path) {
    std::ifstream file(path);
    if (!file) {
        fprintf(stderr, "torvan-chaos: cannot read %s\n", path);
        return 0;
    }
    std::string line;
    int number = 0;
    while (std::getline(file, line)) {
        number++;
        if (line.empty() || line[0] == '#')
            continue;
        size_t a = line.find('\t'), b = line.find('\t', a + 1);
        int invariant = atoi(line.c_str());
        if (a == std::string::npos || b == std::string::npos || invariant < 1 ||
            invariant >= INV_COUNT || b == a + 1) {
            fprintf(stderr,
                    "torvan-chaos: %s: line %d: expected INVARIANT<tab>TEXT<tab>NAME: ...\n", path,
                    number);
            return 0;
        }
        std::string rest = line.substr(b + 1);
        Known.push_back(
            KnownFault{invariant, line.substr(a + 1, b - a - 1), rest.substr(0, rest.find(':'))});
    }
    return 1;
}

// The known fault a violation belongs to, or null.
KnownFault* KnownFor(const ChaosViolation& v) {
    for (KnownFault& k : Known) {
        if (k.Invariant == (int)v.Invariant && v.Message.find(k.Text) != std::string::npos)
            return &k;
    }
    return nullptr;
}

// The violations that are no known fault; the known ones are counted.
std::vector<ChaosViolation> Unknown(const std::vector<ChaosViolation>& all, int count) {
    std::vector<ChaosViolation> left;
    for (const ChaosViolation& v : all) {
        KnownFault* k = KnownFor(v);
        if (!k)
            left.push_back(v);
        else if (count)
            k->Seen++;
    }
    return left;
}

void PrintKnown() {
    unsigned long long total = 0;
    std::string parts;
    for (const KnownFault& k : Known) {
        total += k.Seen;
        if (k.Seen)
            parts += (parts.empty() ? "" : ", ") + std::to_string(k.Seen) + " " + k.Name;
    }
    if (total)
        printf("chaos: %llu more violations are known faults: %s\n", total, parts.c_str());
}

int Usage() {
    fprintf(stderr, "usage: torvan-chaos --schedules N [--seed S] [--from I] [--trace] [--all]\n"
                    "                    [--known FILE]\n"
                    "       torvan-chaos --replay FILE [--trace] [--known FILE]\n"
                    "       torvan-chaos --self-check [--verbose]\n"
                    "       torvan-chaos --print SEED\n");
    return 2;
}

int ParseCount(const char* s, unsigned long long* out) {
    char* end;
    if (!*s || *s == '-')
        return 0;
    *out = strtoull(s, &end, 10);
    return *end == '\0';
}

// The first broken promise of a run, or 0.
int FirstInvariant(const std::vector<ChaosViolation>& v) {
    return v.empty() ? 0 : (int)v[0].Invariant;
}

void PrintViolations(const std::vector<ChaosViolation>& violations) {
    for (const ChaosViolation& v : violations)
        printf("%s\n", ChaosFormatViolation(v).c_str());
}

// Shrinks a failing schedule to one that breaks the same promise and prints it as a replay
// list.
void PrintShrunk(const ChaosSchedule& failing, int invariant) {
    ChaosShrinkResult shrunk = ChaosShrink(failing, [&](const ChaosSchedule& candidate) {
        std::vector<ChaosViolation> v = Unknown(ChaosCheckTrace(ChaosSimulate(candidate)), 0);
        for (const ChaosViolation& x : v) {
            if ((int)x.Invariant == invariant)
                return 1;
        }
        return 0;
    });
    std::vector<ChaosViolation> v = Unknown(ChaosCheckTrace(ChaosSimulate(shrunk.Schedule)), 0);
    printf("# first failure: seed %llu, invariant %d (%s); shrunk from %zu to %zu events in %d "
           "runs\n",
           (unsigned long long)failing.Seed, invariant,
           ChaosInvariantName((ChaosInvariant)invariant), failing.Events.size(),
           shrunk.Schedule.Events.size(), shrunk.Runs);
    for (const ChaosViolation& x : v) {
        if ((int)x.Invariant == invariant) {
            printf("# %s\n", ChaosFormatViolation(x).c_str());
            break;
        }
    }
    printf("%s", ChaosFormatSchedule(shrunk.Schedule).c_str());
}

int RunCampaign(unsigned long long first, unsigned long long count, unsigned long long seed,
                int trace, int all) {
    unsigned long long events = 0, violations = 0;
    int shown = 0;
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    for (unsigned long long i = first; i < first + count; i++) {
        ChaosSchedule schedule = ChaosDrawSchedule(ChaosScheduleSeed(seed, i));
        ChaosTrace run = ChaosSimulate(schedule);
        std::vector<ChaosViolation> v = Unknown(ChaosCheckTrace(run), 1);
        events += schedule.Events.size();
        violations += v.size();
        if (all) {
            for (const ChaosViolation& x : ChaosCheckTrace(run))
                printf("schedule %llu: %s\n", i, ChaosFormatViolation(x).c_str());
        }
        if (!v.empty() && !shown) {
            shown = 1;
            printf("schedule %llu of seed %llu broke a promise:\n", i, seed);
            PrintViolations(v);
            if (trace)
                printf("%s", ChaosFormatTrace(run).c_str());
            PrintShrunk(schedule, FirstInvariant(v));
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    fprintf(stderr, "torvan-chaos: %.2f s, %.0f schedules/s\n", seconds,
            seconds > 0 ? count / seconds : 0.0);
    PrintKnown();
    printf("chaos: %llu schedules, %llu events, %llu violations\n", count, events, violations);
    return violations > 0 ? 1 : 0;
}

int Replay(const char* path, int trace) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        fprintf(stderr, "torvan-chaos: cannot read %s\n", path);
        return 2;
    }
    std::stringstream text;
    text << file.rdbuf();
    ChaosSchedule schedule;
    std::string error;
    if (!ChaosParseSchedule(text.str(), &schedule, &error)) {
        fprintf(stderr, "torvan-chaos: %s: %s\n", path, error.c_str());
        return 2;
    }
    ChaosTrace run = ChaosSimulate(schedule);
    std::vector<ChaosViolation> all = ChaosCheckTrace(run);
    std::vector<ChaosViolation> v = Unknown(all, 1);
    if (trace)
        printf("%s", ChaosFormatTrace(run).c_str());
    PrintViolations(all);
    PrintKnown();
    printf("chaos: 1 schedules, %zu events, %zu violations\n", schedule.Events.size(), v.size());
    return v.empty() ? 0 : 1;
}

int SelfCheck(int verbose) {
    std::vector<ChaosTrace> bases = {ChaosSampleTrace()};
    // Recorded runs of the simulation: the first clean ones with lines, values and a log.
    for (uint64_t seed = 1; seed < 400 && bases.size() < 4; seed++) {
        ChaosTrace run = ChaosSimulate(ChaosDrawSchedule(seed));
        int lines = 0, logs = 0, values = 0;
        for (const ChaosTraceEntry& e : run.Entries) {
            lines += e.Kind == TR_LINE_SENT;
            logs += e.Kind == TR_LOG_LINE;
            values += e.Kind == TR_VALUE_SENT;
        }
        if (lines && logs > 1 && values && ChaosCheckTrace(run).empty())
            bases.push_back(run);
    }
    ChaosSelfCheckResult result = ChaosRunSelfCheck(bases);
    for (const std::string& line : result.Lines) {
        if (verbose || line.find("MISSED") != std::string::npos ||
            line.find("not clean") != std::string::npos)
            printf("%s\n", line.c_str());
    }
    printf("self-check: %zu base traces, %d clean\n", bases.size(), result.CleanBases);
    printf("self-check: %d of %d planted faults caught\n", result.Caught, result.Total);
    return result.Caught == result.Total && result.CleanBases == (int)bases.size() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    unsigned long long schedules = 0, seed = 1, first = 0;
    const char* replay = nullptr;
    int selfCheck = 0, trace = 0, verbose = 0, haveSchedules = 0, all = 0;
    long long print = -1;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (a == "--schedules" && i + 1 < argc) {
            if (!ParseCount(argv[++i], &schedules))
                return Usage();
            haveSchedules = 1;
        } else if (a == "--seed" && i + 1 < argc) {
            if (!ParseCount(argv[++i], &seed))
                return Usage();
        } else if (a == "--replay" && i + 1 < argc) {
            replay = argv[++i];
        } else if (a == "--print" && i + 1 < argc) {
            unsigned long long s;
            if (!ParseCount(argv[++i], &s))
                return Usage();
            print = (long long)s;
        } else if (a == "--self-check") {
            selfCheck = 1;
        } else if (a == "--trace") {
            trace = 1;
        } else if (a == "--verbose") {
            verbose = 1;
        } else if (a == "--from" && i + 1 < argc) {
            if (!ParseCount(argv[++i], &first))
                return Usage();
        } else if (a == "--known" && i + 1 < argc) {
            if (!LoadKnown(argv[++i]))
                return 2;
        } else if (a == "--all") {
            all = 1;
        } else {
            return Usage();
        }
    }
    if (selfCheck + haveSchedules + (replay != nullptr) + (print >= 0) != 1)
        return Usage();
    if (selfCheck)
        return SelfCheck(verbose);
    if (print >= 0) {
        printf("%s", ChaosFormatSchedule(ChaosDrawSchedule((uint64_t)print)).c_str());
        return 0;
    }
    if (replay)
        return Replay(replay, trace);
    return RunCampaign(first, schedules, seed, trace, all);
}

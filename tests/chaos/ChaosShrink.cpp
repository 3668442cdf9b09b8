// Delta debugging: first drop chunks of events (halves, then quarters, ...), keeping any drop
// that still fails, then single events until no single event can go.
#include "tests/chaos/ChaosShrink.h"

#include <algorithm>

namespace {

ChaosSchedule Without(const ChaosSchedule& s, size_t from, size_t count) {
    ChaosSchedule out;
    out.Seed = s.Seed;
    for (size_t i = 0; i < s.Events.size(); i++) {
        if (i < from || i >= from + count)
            out.Events.push_back(s.Events[i]);
    }
    return out;
}

} // namespace

ChaosShrinkResult ChaosShrink(const ChaosSchedule& failing,
                              const std::function<int(const ChaosSchedule&)>& stillFails,
                              int maxRuns) {
    ChaosShrinkResult result{failing, 0};
    ChaosSchedule& best = result.Schedule;
    auto tryIt = [&](const ChaosSchedule& candidate) {
        if (result.Runs >= maxRuns)
            return 0;
        result.Runs++;
        if (stillFails(candidate)) {
            best = candidate;
            return 1;
        }
        return 0;
    };

    size_t chunks = 2;
    while (best.Events.size() >= 2 && result.Runs < maxRuns) {
        size_t size = best.Events.size();
        size_t chunk = (size + chunks - 1) / chunks;
        int dropped = 0;
        size_t from = 0;
        while (from < best.Events.size() && result.Runs < maxRuns) {
            // After a drop the next chunk has moved into this place.
            if (tryIt(Without(best, from, chunk)))
                dropped = 1;
            else
                from += chunk;
        }
        if (dropped) {
            chunks = std::max<size_t>(chunks - 1, 2);
        } else {
            if (chunk <= 1)
                break;
            chunks = std::min(chunks * 2, best.Events.size());
        }
    }
    // Single events, until a whole pass drops nothing.
    int changed = 1;
    while (changed && result.Runs < maxRuns) {
        changed = 0;
        for (size_t i = best.Events.size(); i-- > 0;) {
            if (tryIt(Without(best, i, 1)))
                changed = 1;
        }
    }
    return result;
}

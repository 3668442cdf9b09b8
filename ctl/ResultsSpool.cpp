// A server's runs kept on the bench PC while the server cannot be reached: a test never waits
// for the database nor fails for it. A server that does not answer when the run starts sends
// the whole run to the spool, a SQLite results file in the user's state folder; one lost
// during the run sends what comes after, and what the server already had is written to the
// spool again (a run's records are few; its samples are not repeated), so the spool holds the
// run whole. SyncResultsSpool later sends each spooled run: every row has the key torvanctl
// made, and the server stores a row it already has once.
//
// A torvanctl writing a run into a spool holds a shared lock on the spool's ".lock" file for
// as long as it runs; a sync that cannot take it exclusively leaves the runs without an end
// alone, as they are still being written.
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "ctl/ResultsStore.h"

namespace {

// Samples move from the spool to the server in batches of this many.
constexpr size_t SYNC_BATCH_ROWS = 20000;

// What a run has sent to its store, but its samples.
struct SentRun {
    ResultsRun Run;
    std::map<int, ResultsBoard> Boards;
    std::vector<ResultsStep> Steps;
    std::vector<ResultsCapture> Captures;
    std::vector<ResultsBump> Bumps;
    int Ended = 0;
    std::string EndedAt, Outcome;
    int ExitCode = -1;
};

int OpenLock(const std::string& spoolPath) {
    return open((spoolPath + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
}

class SpoolingResults : public ResultsStore {
  public:
    SpoolingResults(const char* target, const ResultsSpool& spool)
        : target_(target), spool_(spool) {}
    ~SpoolingResults() override {
        spoolStore_.reset();
        if (lock_ >= 0) {
            close(lock_);
        }
    }

    int Open(std::string* why) {
        int unreachable = 0;
        server_ = OpenPostgresResults(target_.c_str(), 1, why, &unreachable);
        return server_ || (unreachable && ToSpool(why));
    }

    int BeginRun(const ResultsRun& run) override {
        std::lock_guard<std::mutex> hold(turn_);
        runs_[run.RunId].Run = run;
        return Forward([&](ResultsStore* to) { return to->BeginRun(run); }, 0);
    }
    int AddBoard(const std::string& runId, const ResultsBoard& board) override {
        std::lock_guard<std::mutex> hold(turn_);
        runs_[runId].Boards[board.Index] = board;
        return Forward([&](ResultsStore* to) { return to->AddBoard(runId, board); }, 0);
    }
    int AddSteps(const std::string& runId, const std::vector<ResultsStep>& steps) override {
        std::lock_guard<std::mutex> hold(turn_);
        std::vector<ResultsStep>& kept = runs_[runId].Steps;
        kept.insert(kept.end(), steps.begin(), steps.end());
        return Forward([&](ResultsStore* to) { return to->AddSteps(runId, steps); }, 0);
    }
    int AddCapture(const std::string& runId, const ResultsCapture& capture) override {
        std::lock_guard<std::mutex> hold(turn_);
        runs_[runId].Captures.push_back(capture);
        return Forward([&](ResultsStore* to) { return to->AddCapture(runId, capture); }, 0);
    }
    int AddBump(const std::string& runId, const ResultsBump& bump) override {
        std::lock_guard<std::mutex> hold(turn_);
        runs_[runId].Bumps.push_back(bump);
        return Forward([&](ResultsStore* to) { return to->AddBump(runId, bump); }, 0);
    }
    int AddSamples(const std::string& runId, const ResultsSample* samples, size_t count) override {
        std::lock_guard<std::mutex> hold(turn_);
        return Forward([&](ResultsStore* to) { return to->AddSamples(runId, samples, count); }, 1);
    }
    int EndRun(const std::string& runId, const std::string& endedAt, const std::string& outcome,
               int exitCode) override {
        std::lock_guard<std::mutex> hold(turn_);
        SentRun& sent = runs_[runId];
        sent.Ended = 1;
        sent.EndedAt = endedAt;
        sent.Outcome = outcome;
        sent.ExitCode = exitCode;
        return Forward(
            [&](ResultsStore* to) { return to->EndRun(runId, endedAt, outcome, exitCode); }, 0);
    }
    int DiscardRun(const std::string& runId) override {
        std::lock_guard<std::mutex> hold(turn_);
        runs_.erase(runId);
        return Forward([&](ResultsStore* to) { return to->DiscardRun(runId); }, 1);
    }
    int ListRuns(const ResultsFilter& filter, std::vector<ResultsListedRun>* out) override {
        std::lock_guard<std::mutex> hold(turn_);
        return Forward([&](ResultsStore* to) { return to->ListRuns(filter, out); }, 1);
    }
    int LoadRun(const std::string& idOrPrefix, ResultsRunDetail* out) override {
        std::lock_guard<std::mutex> hold(turn_);
        return Forward([&](ResultsStore* to) { return to->LoadRun(idOrPrefix, out); }, 1);
    }
    int RunIds(std::vector<std::string>* out) override {
        std::lock_guard<std::mutex> hold(turn_);
        return Forward([&](ResultsStore* to) { return to->RunIds(out); }, 1);
    }
    int LoadSamples(const std::string& runId, const ResultsSample& after, size_t limit,
                    std::vector<ResultsSample>* out) override {
        std::lock_guard<std::mutex> hold(turn_);
        return Forward([&](ResultsStore* to) { return to->LoadSamples(runId, after, limit, out); },
                       1);
    }
    // The run goes on into the spool: to the caller the server never is unreachable.
    const std::string& Why() const override { return why_; }

  private:
    // The operation on the server, or once it is gone on the spool. The spool, when it is
    // opened, already holds what the run sent but its samples (`again` 0: not done twice).
    template <class Operation> int Forward(Operation operation, int again) {
        if (server_) {
            if (operation(server_.get())) {
                return 1;
            }
            if (!server_->Unreachable()) {
                why_ = server_->Why();
                return 0;
            }
            if (!ToSpool(&why_)) {
                return 0;
            }
            if (!again) {
                return 1;
            }
        }
        if (!spoolStore_) {
            return 0;
        }
        if (operation(spoolStore_.get())) {
            return 1;
        }
        why_ = "the spool " + spoolPath_ + ": " + spoolStore_->Why();
        return 0;
    }

    int ToSpool(std::string* why) {
        server_.reset();
        if (spool_.Folder.empty()) {
            *why = "the database at " + ResultsTargetHost(target_.c_str()) +
                   " is not reachable, and there is no folder for a spool";
            return 0;
        }
        spoolPath_ = SpoolPath(spool_.Folder, target_.c_str());
        lock_ = OpenLock(spoolPath_);
        if (lock_ < 0 || flock(lock_, LOCK_SH) != 0) {
            *why = "the database at " + ResultsTargetHost(target_.c_str()) +
                   " is not reachable, and the spool " + spoolPath_ +
                   " cannot be locked: " + strerror(errno);
            return 0;
        }
        std::string spoolWhy;
        spoolStore_ = OpenSqliteResults(spoolPath_.c_str(), 1, &spoolWhy);
        if (!spoolStore_) {
            *why = "the database at " + ResultsTargetHost(target_.c_str()) +
                   " is not reachable, and the spool cannot be written: " + spoolWhy;
            return 0;
        }
        for (const auto& entry : runs_) {
            const std::string& id = entry.first;
            const SentRun& sent = entry.second;
            ResultsStore* to = spoolStore_.get();
            int written = to->BeginRun(sent.Run);
            for (const auto& board : sent.Boards) {
                written = written && to->AddBoard(id, board.second);
            }
            written = written && (sent.Steps.empty() || to->AddSteps(id, sent.Steps));
            for (const ResultsCapture& capture : sent.Captures) {
                written = written && to->AddCapture(id, capture);
            }
            for (const ResultsBump& bump : sent.Bumps) {
                written = written && to->AddBump(id, bump);
            }
            written = written &&
                      (!sent.Ended || to->EndRun(id, sent.EndedAt, sent.Outcome, sent.ExitCode));
            if (!written) {
                *why = "the spool " + spoolPath_ + ": " + to->Why();
                spoolStore_.reset();
                return 0;
            }
        }
        if (spool_.Spooled != nullptr) {
            spool_.Spooled(ResultsTargetHost(target_.c_str()));
        }
        return 1;
    }

    std::string target_;
    ResultsSpool spool_;
    std::unique_ptr<ResultsStore> server_, spoolStore_;
    std::string spoolPath_;
    int lock_ = -1;
    std::map<std::string, SentRun> runs_;
    std::mutex turn_;
    std::string why_;
};

// One spooled run onto the server, samples in batches. 0 with the reason in *why.
int SendRun(ResultsStore* spool, ResultsStore* server, const ResultsRunDetail& run,
            long long* samples, std::string* why) {
    const std::string& id = run.Run.RunId;
    int sent = server->BeginRun(run.Run);
    for (const ResultsBoard& board : run.Boards) {
        sent = sent && server->AddBoard(id, board);
    }
    sent = sent && (run.Steps.empty() || server->AddSteps(id, run.Steps));
    for (const ResultsCapture& capture : run.Captures) {
        sent = sent && server->AddCapture(id, capture);
    }
    for (const ResultsBump& bump : run.Bumps) {
        sent = sent && server->AddBump(id, bump);
    }
    ResultsSample after{-1, -1, 0.0, 0.0, 0.0};
    std::vector<ResultsSample> batch;
    while (sent) {
        batch.clear();
        if (!spool->LoadSamples(id, after, SYNC_BATCH_ROWS, &batch)) {
            *why = "the spool: " + spool->Why();
            return 0;
        }
        if (batch.empty()) {
            break;
        }
        sent = server->AddSamples(id, batch.data(), batch.size());
        *samples += sent ? (long long)batch.size() : 0;
        after = batch.back();
    }
    // A run without an end (killed) stays without one: it reads ABORTED there as here.
    sent = sent && (run.Run.EndedAt.empty() ||
                    server->EndRun(id, run.Run.EndedAt, run.Run.Outcome, run.Run.ExitCode));
    if (!sent) {
        *why = server->Why();
    }
    return sent;
}

} // namespace

std::unique_ptr<ResultsStore> OpenSpoolingResults(const char* target, const ResultsSpool& spool,
                                                  std::string* why) {
    std::unique_ptr<SpoolingResults> store(new SpoolingResults(target, spool));
    if (!store->Open(why)) {
        return nullptr;
    }
    return store;
}

int SyncResultsSpool(const char* target, const std::string& folder, SpoolSync* out,
                     std::string* why) {
    *out = SpoolSync();
    int unreachable = 0;
    std::unique_ptr<ResultsStore> server = OpenPostgresResults(target, 1, why, &unreachable);
    if (!server) {
        if (unreachable) {
            *why = "the database at " + ResultsTargetHost(target) + " is not reachable";
        }
        return 0;
    }
    const std::string path = SpoolPath(folder, target);
    struct stat info;
    if (folder.empty() || stat(path.c_str(), &info) != 0) {
        return 1;
    }
    int lock = OpenLock(path);
    if (lock < 0) {
        *why = "cannot lock the spool " + path + ": " + strerror(errno);
        return 0;
    }
    // No other torvanctl writes into the spool: a run without an end was killed, and is sent
    // as it is. New runs that come into the spool meanwhile wait for the next sync.
    const int idle = flock(lock, LOCK_EX | LOCK_NB) == 0;
    std::unique_ptr<ResultsStore> spool = OpenSqliteResults(path.c_str(), 1, why);
    std::vector<std::string> ids;
    int synced = spool && spool->RunIds(&ids);
    if (spool && !synced) {
        *why = path + ": " + spool->Why();
    }
    if (idle) {
        flock(lock, LOCK_SH);
    }
    for (size_t i = 0; synced && i < ids.size(); ++i) {
        ResultsRunDetail run;
        if (!spool->LoadRun(ids[i], &run)) {
            *why = path + ": " + spool->Why();
            synced = 0;
            break;
        }
        if (!idle && run.Run.EndedAt.empty()) {
            ++out->Waiting;
            continue;
        }
        long long samples = 0;
        std::string failure;
        if (!SendRun(spool.get(), server.get(), run, &samples, &failure)) {
            *why = server->Unreachable()
                       ? "the database at " + ResultsTargetHost(target) + " is not reachable"
                       : ShownResultsTarget(target) + ": " + failure;
            synced = 0;
            break;
        }
        // Out of the spool only once the server has taken the whole run.
        if (!spool->DiscardRun(run.Run.RunId)) {
            *why = path + ": " + spool->Why();
            synced = 0;
            break;
        }
        ++out->Sent;
        out->Samples += samples;
    }
    // An empty spool that no one writes to goes.
    ids.clear();
    if (synced && flock(lock, LOCK_EX | LOCK_NB) == 0 && spool->RunIds(&ids) && ids.empty()) {
        spool.reset();
        for (const char* suffix : {"", "-wal", "-shm"}) {
            unlink((path + suffix).c_str());
        }
    }
    spool.reset();
    close(lock);
    return synced;
}

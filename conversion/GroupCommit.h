// Making a run's outputs durable in groups: each output is written to its hidden temporary
// as by a one-file save, but the file system is synced once for a group of temporaries (by
// count and by time) and then the group is renamed. After a crash or power loss an output
// is the old file, absent, or complete, as with a sync per file, at a fraction of the cost.
// Also what a killed run leaves: its temporaries, removed by the next run.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ConvertJob.h"
#include "ConvertPlan.h"
#include "LfPendingSave.h"

namespace convert {

// The system calls a commit makes; tests stand in failing file systems for them.
struct SyncCalls {
    int (*syncFileSystem)(int fd);  // syncfs(2)
    int (*syncFile)(int fd);        // fsync(2)
};
SyncCalls SystemSyncCalls();

struct GroupLimits {
    size_t files = 64;                              // a group is committed at this many files
    std::chrono::milliseconds wait{500};            // or when its first file waited this long
};

// Collects the saves of a run's jobs and commits them in groups on a thread of its own, so
// the workers go on converting while a group syncs. A job's result is handed on (to
// `finished`) once every save of it is committed; a save that could not be made durable or
// renamed fails its job with the reason, and its temporary is removed.
class GroupCommit {
public:
    using Finished = std::function<void(size_t index, const JobResult& result)>;
    // notice: told once when the file system cannot be synced as a whole.
    GroupCommit(Finished finished, std::function<void(const std::string&)> notice,
                GroupLimits limits = {}, SyncCalls calls = SystemSyncCalls());
    // Commits what is still waiting.
    ~GroupCommit();
    GroupCommit(const GroupCommit&) = delete;
    GroupCommit& operator=(const GroupCommit&) = delete;

    // A save of job `index`; waits while a full group is already waiting, so that the number
    // of open temporaries stays bounded.
    void Add(size_t index, LfPendingSave save);
    // The job made its last save; its result is handed on once those saves are committed.
    void Done(size_t index, JobResult result);
    // Commits everything waiting and returns when every result has been handed on.
    void Close();

private:
    struct Waiting {
        size_t index;
        LfPendingSave save;
    };
    struct Account {
        size_t outstanding = 0;
        bool done = false;
        JobResult result;
        std::string failure;  // the first save that could not be committed
    };

    void Run();
    // Syncs and renames one group; returns the failure reason per save ("" when committed).
    std::vector<std::string> Commit(std::vector<Waiting>& group);
    bool SyncPerFileSystem(std::vector<Waiting>& group);
    void Settle(std::vector<Waiting>& group, const std::vector<std::string>& reasons);
    void HandOn(size_t index, Account& account);

    Finished finished_;
    std::function<void(const std::string&)> notice_;
    GroupLimits limits_;
    SyncCalls calls_;
    bool perFile_ = false;  // the file system cannot be synced as a whole

    std::mutex lock_;
    std::condition_variable changed_;
    std::deque<Waiting> waiting_;
    std::chrono::steady_clock::time_point firstAdded_;
    std::map<size_t, Account> accounts_;
    bool closing_ = false;
    std::thread thread_;
};

// Whether an output exists in full: a format with an end marker (PNG, JPEG, ...) counts only
// when the file ends with it. Outputs of other formats count when they exist.
bool OutputIsComplete(const std::string& output);

// Removes, in the folders the plan writes to, the temporaries that an earlier run killed
// before its renames left beside the plan's outputs, and its writability probe. Other files
// are not touched.
void RemoveStaleTemporaries(const Plan& plan);

}  // namespace convert

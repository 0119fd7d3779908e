// Committing a run's saves in groups, over file systems that sync as a whole, cannot, or
// fail while syncing. The sync calls are stand-ins; the files, renames and removals are real.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Conversion.h"
#include "GroupCommit.h"
#include "LfFormatRegistry.h"
#include "LfImage.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using convert::GroupCommit;
using convert::JobResult;

namespace {

// The stand-in file system: what its syncs answer, and what they were asked.
struct FakeSyncs {
    int wholeError = 0;               // errno of syncfs, 0 for success
    std::vector<int> fileErrors;      // errno of the n-th fsync (missing: success)
    std::atomic<int> wholeCalls{0};
    std::atomic<int> fileCalls{0};
};
FakeSyncs* fake = nullptr;

int FakeSyncFileSystem(int) {
    ++fake->wholeCalls;
    if (fake->wholeError == 0) return 0;
    errno = fake->wholeError;
    return -1;
}

int FakeSyncFile(int) {
    const size_t n = static_cast<size_t>(fake->fileCalls++);
    if (n >= fake->fileErrors.size() || fake->fileErrors[n] == 0) return 0;
    errno = fake->fileErrors[n];
    return -1;
}

LfPendingSave Written(const fs::path& target, const std::string& text) {
    LfPendingSave save;
    std::string error;
    const int fd = save.Create(target.string(), error);
    EXPECT_GE(fd, 0) << error;
    EXPECT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    return save;
}

std::string Text(const fs::path& path) {
    const auto bytes = testsupport::ReadFile(path);
    return std::string(bytes.begin(), bytes.end());
}

// Runs jobs 0..n-1, each saving "new i" over a target holding "old i", through one committer.
struct Outcome {
    std::map<size_t, JobResult> results;
    std::vector<std::string> notices;
};
Outcome CommitJobs(const fs::path& folder, size_t jobs, FakeSyncs& syncs, convert::GroupLimits limits) {
    fake = &syncs;
    Outcome outcome;
    std::mutex lock;
    {
        GroupCommit commit(
            [&](size_t index, const JobResult& r) {
                std::lock_guard<std::mutex> hold(lock);
                outcome.results[index] = r;
            },
            [&](const std::string& notice) { outcome.notices.push_back(notice); }, limits,
            {&FakeSyncFileSystem, &FakeSyncFile});
        for (size_t i = 0; i < jobs; ++i) {
            const fs::path target = folder / ("f" + std::to_string(i));
            testsupport::WriteFile(target, {'o', 'l', 'd'});
            commit.Add(i, Written(target, "new " + std::to_string(i)));
            commit.Done(i, {true, ""});
        }
    }
    fake = nullptr;
    return outcome;
}

}  // namespace

// Catches a group renamed before (or without) its sync, a failed sync reported as success,
// a target replaced by a file whose data never reached the disk, temporaries left behind,
// and the fallback to per-file syncs either missing or announced more than once.
TEST(GroupCommitFileSystems, EachOutputIsSyncedBeforeItReplacesItsTarget) {
    struct Case {
        const char* name;
        int wholeError;
        std::vector<int> fileErrors;
        std::vector<bool> committed;  // per job
        size_t notices;
    };
    const std::vector<Case> cases = {
        {"whole file system synced once", 0, {}, {true, true, true, true}, 0},
        {"no whole-system sync: per file, said once", ENOSYS, {}, {true, true, true, true}, 1},
        {"sync fails: each file learns its own fate", EIO, {0, ENOSPC, 0, 0}, {true, false, true, true}, 0},
        {"disk full for the whole group", ENOSPC, {ENOSPC, ENOSPC, ENOSPC, ENOSPC}, {false, false, false, false}, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        testsupport::TempDir dir;
        FakeSyncs syncs;
        syncs.wholeError = c.wholeError;
        syncs.fileErrors = c.fileErrors;
        // Two groups of two: the fallback is announced once per run, not once per group.
        const Outcome outcome = CommitJobs(dir.path(), 4, syncs, {.files = 2, .wait = std::chrono::seconds(5)});
        ASSERT_EQ(outcome.results.size(), 4u);
        for (size_t i = 0; i < 4; ++i) {
            SCOPED_TRACE(i);
            const fs::path target = dir / ("f" + std::to_string(i));
            EXPECT_EQ(outcome.results.at(i).ok, c.committed[i]) << outcome.results.at(i).text;
            EXPECT_EQ(Text(target), c.committed[i] ? "new " + std::to_string(i) : "old");
            if (!c.committed[i]) {
                EXPECT_NE(outcome.results.at(i).text.find("No space left on device"), std::string::npos);
            }
        }
        EXPECT_EQ(outcome.notices.size(), c.notices);
        if (c.wholeError == 0) {
            EXPECT_EQ(syncs.fileCalls.load(), 0);
        }
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 4) << "temporaries left";
    }
}

// Catches a lone save waiting for a full group (a slow input would hold back every output
// before it) and a folder that vanished under a waiting save crashing or passing as done.
TEST(GroupCommitTiming, ALoneSaveIsCommittedAfterTheWaitAndAVanishedFolderFailsItsJob) {
    testsupport::TempDir dir;
    FakeSyncs syncs;
    fake = &syncs;
    std::mutex lock;
    std::condition_variable arrived;
    std::map<size_t, JobResult> results;
    GroupCommit commit(
        [&](size_t index, const JobResult& r) {
            std::lock_guard<std::mutex> hold(lock);
            results[index] = r;
            arrived.notify_all();
        },
        nullptr, {.files = 64, .wait = std::chrono::milliseconds(20)}, {&FakeSyncFileSystem, &FakeSyncFile});
    commit.Add(0, Written(dir / "a", "a"));
    commit.Done(0, {true, ""});
    {
        std::unique_lock<std::mutex> hold(lock);
        EXPECT_TRUE(arrived.wait_for(hold, std::chrono::seconds(10), [&] { return results.count(0) == 1; }));
    }
    EXPECT_TRUE(results[0].ok);
    EXPECT_EQ(Text(dir / "a"), "a");

    fs::create_directories(dir / "gone");
    LfPendingSave save = Written(dir / "gone" / "b", "b");
    fs::remove_all(dir / "gone");
    commit.Add(1, std::move(save));
    commit.Done(1, {true, ""});
    commit.Close();
    EXPECT_FALSE(results[1].ok);
    EXPECT_NE(results[1].text.find("No such file or directory"), std::string::npos) << results[1].text;
    fake = nullptr;
}

// Catches an end marker that the format's own writer does not end with (every resumed run
// would redo those outputs) and a cut file of a format with a marker passing as complete.
TEST(OutputCompleteness, EveryWrittenFormatIsCompleteAndACutOneIsNotWhenItHasAMarker) {
    testsupport::TempDir dir;
    LfImage picture;
    ASSERT_NE(picture.Create(12, 9, 24, LF_FORMAT_BMP), nullptr);
    for (uint32_t y = 0; y < 9; ++y)
        for (uint32_t x = 0; x < 36; ++x) picture.Row(y)[x] = static_cast<uint8_t>(x * 7 + y * 13);
    for (const LfFormatInfo& row : LfFormats()) {
        if (!row.writes || row.saveExtensions.empty()) continue;
        const fs::path path = dir / ("x." + row.saveExtensions.front().ext);
        SCOPED_TRACE(path.filename().string());
        LfImage copy;
        copy.Copy(picture);
        if (!SaveResultImage(path.string(), copy)) continue;  // formats refusing 24-bit pictures
        EXPECT_TRUE(convert::OutputIsComplete(path.string()));
        auto bytes = testsupport::ReadFile(path);
        bytes.pop_back();
        testsupport::WriteFile(path, bytes);
        EXPECT_EQ(convert::OutputIsComplete(path.string()), row.endMarker.empty());
    }
    EXPECT_FALSE(convert::OutputIsComplete((dir / "absent.png").string()));
}

#include "GroupCommit.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <string_view>
#include <system_error>

#include "Conversion.h"
#include "LfFormatRegistry.h"

namespace convert {

namespace fs = std::filesystem;

namespace {

std::string ErrnoText(const char* what, int error) {
    return std::string(what) + " (" + std::strerror(error) + ")";
}

// Errors that say the file system has no whole-system sync, as opposed to a sync that failed.
bool SyncUnsupported(int error) {
    return error == ENOSYS || error == EINVAL || error == ENOTSUP || error == EOPNOTSUPP;
}

int SyncFileSystem(int fd) {
#ifdef __linux__
    return ::syncfs(fd);
#else
    (void)fd;
    errno = ENOSYS;
    return -1;
#endif
}

}  // namespace

SyncCalls SystemSyncCalls() { return {&SyncFileSystem, &::fsync}; }

GroupCommit::GroupCommit(Finished finished, std::function<void(const std::string&)> notice,
                         GroupLimits limits, SyncCalls calls)
    : finished_(std::move(finished)),
      notice_(std::move(notice)),
      limits_(limits),
      calls_(calls),
      thread_([this] { Run(); }) {}

GroupCommit::~GroupCommit() { Close(); }

void GroupCommit::Add(size_t index, LfPendingSave save) {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return waiting_.size() < limits_.files || closing_; });
    if (waiting_.empty()) firstAdded_ = std::chrono::steady_clock::now();
    ++accounts_[index].outstanding;
    waiting_.push_back({index, std::move(save)});
    changed_.notify_all();
}

void GroupCommit::Done(size_t index, JobResult result) {
    std::unique_lock<std::mutex> hold(lock_);
    Account& account = accounts_[index];
    account.done = true;
    account.result = std::move(result);
    if (account.outstanding > 0) return;
    Account finished = std::move(account);
    accounts_.erase(index);
    hold.unlock();
    HandOn(index, finished);
}

void GroupCommit::Close() {
    {
        std::lock_guard<std::mutex> hold(lock_);
        if (closing_ && !thread_.joinable()) return;
        closing_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

// A save that could not be committed fails a job that had succeeded.
void GroupCommit::HandOn(size_t index, Account& account) {
    if (!account.failure.empty() && account.result.ok) account.result = {false, account.failure};
    if (finished_) finished_(index, account.result);
}

// Waits until a group is full, its first file has waited long enough, or the run ends;
// commits it outside the lock, so that workers keep adding meanwhile.
void GroupCommit::Run() {
    std::unique_lock<std::mutex> hold(lock_);
    for (;;) {
        changed_.wait(hold, [this] { return !waiting_.empty() || closing_; });
        if (waiting_.empty()) return;  // closing, nothing left
        changed_.wait_until(hold, firstAdded_ + limits_.wait,
                            [this] { return waiting_.size() >= limits_.files || closing_; });
        std::vector<Waiting> group(std::make_move_iterator(waiting_.begin()),
                                   std::make_move_iterator(waiting_.end()));
        waiting_.clear();
        changed_.notify_all();
        hold.unlock();
        const std::vector<std::string> reasons = Commit(group);
        Settle(group, reasons);
        hold.lock();
    }
}

std::vector<std::string> GroupCommit::Commit(std::vector<Waiting>& group) {
    std::vector<std::string> reasons(group.size());
    // A lone file is synced by itself: a whole-system sync would also write out whatever
    // other programs left pending on that file system.
    const bool synced = group.size() > 1 && !perFile_ && SyncPerFileSystem(group);
    for (size_t i = 0; i < group.size(); ++i) {
        LfPendingSave& save = group[i].save;
        if (!synced && calls_.syncFile(save.Descriptor()) != 0) {
            reasons[i] = ErrnoText("Save: write error", errno);
            save.Discard();
            continue;
        }
        // Only now, with the data durable, may the temporary replace the target.
        save.Replace(reasons[i]);
    }
    return reasons;
}

// One sync for each file system the group writes to. False when any of them failed: the
// files are then synced one by one, so that each learns whether its own data is safe.
bool GroupCommit::SyncPerFileSystem(std::vector<Waiting>& group) {
    std::set<dev_t> done;
    for (Waiting& w : group) {
        struct stat st;
        if (::fstat(w.save.Descriptor(), &st) != 0) return false;
        if (!done.insert(st.st_dev).second) continue;
        if (calls_.syncFileSystem(w.save.Descriptor()) == 0) continue;
        if (SyncUnsupported(errno)) {
            perFile_ = true;
            if (notice_)
                notice_("this file system cannot be synced as a whole; each output is synced on its own, which is slower");
        }
        return false;
    }
    return true;
}

void GroupCommit::Settle(std::vector<Waiting>& group, const std::vector<std::string>& reasons) {
    std::vector<std::pair<size_t, Account>> ready;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (size_t i = 0; i < group.size(); ++i) {
            Account& account = accounts_[group[i].index];
            --account.outstanding;
            if (account.failure.empty()) account.failure = reasons[i];
            if (account.done && account.outstanding == 0) {
                ready.emplace_back(group[i].index, std::move(account));
                accounts_.erase(group[i].index);
            }
        }
    }
    for (auto& [index, account] : ready) HandOn(index, account);
}

bool OutputIsComplete(const std::string& output) {
    const LfFormatInfo* row = LfFindFormat(FindType(output));
    std::error_code ec;
    const auto size = fs::file_size(output, ec);
    if (ec) return false;
    if (!row || row->endMarker.empty()) return true;
    const std::string_view marker = row->endMarker;
    if (size < marker.size()) return false;
    std::ifstream file(output, std::ios::binary);
    file.seekg(static_cast<std::streamoff>(size - marker.size()));
    std::string tail(marker.size(), '\0');
    return file.read(tail.data(), static_cast<std::streamsize>(tail.size())) && tail == marker;
}

namespace {

// "NAME_0012.EXT" -> "NAME.EXT": the numbered outputs of --all-frames belong to the job's name.
std::string WithoutFrameNumber(const std::string& name) {
    const size_t dot = name.rfind('.');
    const size_t end = dot == std::string::npos ? name.size() : dot;
    size_t digits = 0;
    while (digits < end && std::isdigit(static_cast<unsigned char>(name[end - 1 - digits]))) ++digits;
    if (digits < 4 || digits >= end || name[end - 1 - digits] != '_') return name;
    return name.substr(0, end - 1 - digits) + name.substr(end);
}

// The writability probe of a run killed before it removed it.
bool IsWritableProbe(const std::string& entry) {
    const std::string_view prefix = kWritableProbePrefix;
    return entry.size() == prefix.size() + 6 && entry.compare(0, prefix.size(), prefix) == 0 &&
           std::all_of(entry.begin() + static_cast<std::ptrdiff_t>(prefix.size()), entry.end(),
                       [](char c) { return std::isalnum(static_cast<unsigned char>(c)) != 0; });
}

}  // namespace

void RemoveStaleTemporaries(const Plan& plan) {
    std::map<fs::path, std::set<std::string>> outputs;  // folder -> output names
    std::set<fs::path> inputs;  // a strangely named input is never taken for a temporary
    for (const Job& job : plan.jobs) {
        std::error_code ec;
        inputs.insert(fs::weakly_canonical(job.input, ec));
        if (job.output.empty()) continue;
        const fs::path path(job.output);
        outputs[path.parent_path()].insert(path.filename().string().substr(0, LfPendingSave::kNameKept));
    }
    for (const auto& [folder, names] : outputs) {
        std::error_code ec;
        fs::directory_iterator it(folder.empty() ? fs::path(".") : folder, ec), end;
        for (; !ec && it != end; it.increment(ec)) {
            const std::string entry = it->path().filename().string();
            std::error_code removeError;
            if (IsWritableProbe(entry)) {
                fs::remove(it->path(), removeError);
                continue;
            }
            if (entry.size() < 9 || entry[0] != '.') continue;
            const std::string named = entry.substr(1, entry.size() - 8);  // cut "." and ".XXXXXX"
            if (!LfPendingSave::IsTemporaryOf(entry, named)) continue;
            if (names.count(named) == 0 && names.count(WithoutFrameNumber(named)) == 0) continue;
            if (inputs.count(fs::weakly_canonical(it->path(), removeError)) != 0) continue;
            fs::remove(it->path(), removeError);
        }
    }
}

}  // namespace convert

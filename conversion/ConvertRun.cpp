#include "ConvertRun.h"

#include <atomic>
#include <cmath>
#include <cstdio>
#include <exception>
#include <iostream>
#include <mutex>

#include <malloc.h>
#include <thread>

#include "GroupCommit.h"

namespace convert {

namespace {

// One job; whatever it throws (an allocation failure, say) fails that job alone instead of
// ending the process from a worker thread.
JobResult RunJob(const Job& job, const Options& options, bool keep, const SaveSink& sink, int threads) {
    if (keep) {
        JobResult kept{true, ""};
        kept.skipped = true;
        return kept;
    }
    try {
        return options.info ? DescribeOne(job, options) : ConvertOne(job, options, sink, threads);
    } catch (const std::exception& e) {
        return {false, std::string("internal error: ") + e.what()};
    } catch (...) {
        return {false, "internal error"};
    }
}

// --skip-existing keeps a group only when every output of it is newer than its input: inputs
// sharing an output rerun together, so the one converted last still wins. The numbered
// outputs of --all-frames are checked frame by frame while converting.
bool KeepGroup(const Plan& plan, const std::vector<size_t>& group, const Options& options) {
    if (!options.skipExisting || options.info || options.allFrames) return false;
    for (size_t index : group) {
        const Job& job = plan.jobs[index];
        if (!job.error.empty() || !OutputIsUpToDate(job.input, job.output)) return false;
    }
    return true;
}

// Every file of a run needs buffers of about the last file's sizes. Kept in the heap once
// freed, their pages serve the next file instead of being given back and faulted in again,
// which on a virtual machine costs more than converting a CT slice (200 slices to BMP: 0.96 s
// with the defaults, 0.19 s so).
void KeepFreedPagesForTheNextFile() {
    mallopt(M_MMAP_THRESHOLD, 32 << 20);  // the largest threshold glibc takes
    mallopt(M_TRIM_THRESHOLD, 256 << 20);
}

}  // namespace

std::vector<bool> RunPlan(const Plan& plan, const Options& options, int threads,
                          const JobFinished& finished, const std::atomic<bool>* stop) {
    KeepFreedPagesForTheNextFile();
    std::vector<bool> ran(plan.jobs.size(), false);
    std::atomic<size_t> nextGroup{0};
    std::mutex reportLock;
    auto report = [&](size_t index, const JobResult& result) {
        std::lock_guard<std::mutex> lock(reportLock);
        if (finished) finished(index, result);
    };
    // A run killed before its renames left temporaries; they are removed before this run
    // writes its own.
    if (!options.info) RemoveStaleTemporaries(plan);
    GroupCommit commit(report, [](const std::string& notice) { std::cerr << notice << '\n'; });
    auto stopped = [stop] { return stop != nullptr && stop->load(); };
    const size_t workers = std::min<size_t>(std::max(threads, 1), std::max<size_t>(plan.groups.size(), 1));
    // With fewer files than threads the spare ones work inside the files.
    const int inside = std::max(1, std::max(threads, 1) / static_cast<int>(workers));
    auto work = [&] {
        for (;;) {
            if (stopped()) return;
            const size_t group = nextGroup.fetch_add(1);
            if (group >= plan.groups.size()) return;
            const bool keep = KeepGroup(plan, plan.groups[group], options);
            for (size_t index : plan.groups[group]) {
                if (stopped()) return;
                const SaveSink sink = [&commit, index](LfPendingSave save) { commit.Add(index, std::move(save)); };
                JobResult result = RunJob(plan.jobs[index], options, keep, sink, inside);
                {
                    std::lock_guard<std::mutex> lock(reportLock);
                    ran[index] = true;
                }
                commit.Done(index, std::move(result));
            }
        }
    };
    if (workers == 1) {
        work();
    } else {
        std::vector<std::thread> pool;
        pool.reserve(workers);
        for (size_t i = 0; i < workers; ++i) pool.emplace_back(work);
        for (std::thread& t : pool) t.join();
    }
    commit.Close();
    return ran;
}

std::string ProgressLine(size_t done, size_t total, double seconds, int columns) {
    std::string counts = " " + std::to_string(done) + "/" + std::to_string(total);
    char text[64];
    if (seconds > 0.0 && done > 0) {
        const double rate = done / seconds;
        const long left = std::lround((total - done) / rate);
        std::snprintf(text, sizeof text, "  %.1f files/s  %ld:%02ld left", rate, left / 60,
                      left % 60);
    } else {
        std::snprintf(text, sizeof text, "  -- files/s");
    }
    counts += text;
    const int room = std::max(columns - 1, 1);  // the last column would wrap on some terminals
    const int width = std::min(30, room - static_cast<int>(counts.size()) - 2);
    if (width < 5) return counts.substr(1, static_cast<size_t>(room));
    const double fraction = total == 0 ? 1.0 : static_cast<double>(done) / total;
    const int filled = static_cast<int>(fraction * width);
    return "[" + std::string(filled, '#') + std::string(width - filled, '.') + "]" + counts;
}

Reporter::Reporter(const Plan& plan, std::ostream& out, std::ostream& err, bool progressBar,
                   bool info, int columns)
    : plan_(plan),
      out_(out),
      err_(err),
      progressBar_(progressBar),
      info_(info),
      columns_(columns),
      results_(plan.jobs.size()),
      start_(std::chrono::steady_clock::now()),
      lastDraw_(start_) {
    DrawBar(true);
}

void Reporter::Finished(size_t index, const JobResult& result) {
    results_[index] = result;
    ++done_;
    if (!result.ok) ++failed_;
    if (result.skipped) ++skipped_;
    bool cleared = false;
    for (; nextToPrint_ < results_.size() && results_[nextToPrint_]; ++nextToPrint_) {
        if (results_[nextToPrint_]->ok && !info_) continue;
        if (!cleared) {
            ClearBar();
            cleared = true;
        }
        PrintLine(nextToPrint_);
    }
    if (cleared) out_.flush();
    DrawBar(cleared);
}

void Reporter::PrintLine(size_t index) {
    JobResult& r = *results_[index];
    const std::string& path = plan_.jobs[index].display;
    if (r.ok)
        out_ << path << ": " << r.text << '\n';
    else
        err_ << path << ": " << r.text << '\n';
    r.text.clear();  // printed; keep only the outcome
}

void Reporter::Summary() {
    ClearBar();
    // After an interrupted run, lines that waited for a job that never ran.
    for (; nextToPrint_ < results_.size(); ++nextToPrint_)
        if (results_[nextToPrint_] && (info_ || !results_[nextToPrint_]->ok)) PrintLine(nextToPrint_);
    out_.flush();
    err_ << (done_ - failed_ - skipped_) << (info_ ? " described, " : " converted, ");
    if (skipped_ > 0) err_ << skipped_ << " skipped, ";
    err_ << failed_ << " failed";
    if (done_ < results_.size()) err_ << ", " << (results_.size() - done_) << " not started (interrupted)";
    err_ << '\n';
    err_.flush();
}

void Reporter::ClearBar() {
    if (!barShown_) return;
    err_ << "\r\033[K";
    barShown_ = false;
}

void Reporter::DrawBar(bool force) {
    if (!progressBar_) return;
    const auto now = std::chrono::steady_clock::now();
    // Redrawing more often than ten times a second only costs terminal time.
    if (!force && barShown_ && done_ != results_.size() &&
        now - lastDraw_ < std::chrono::milliseconds(100))
        return;
    lastDraw_ = now;
    const double seconds = std::chrono::duration<double>(now - start_).count();
    err_ << '\r' << ProgressLine(done_, results_.size(), seconds, columns_) << "\033[K";
    err_.flush();
    barShown_ = true;
}

}  // namespace convert

// Running the jobs of a plan on worker threads, and reporting their outcome.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <optional>
#include <ostream>
#include <vector>

#include "ConvertJob.h"
#include "ConvertOptions.h"
#include "ConvertPlan.h"

namespace convert {

// Called once per job as it ends (once its outputs are committed to disk), from a worker or
// the run's committing thread, never by two threads at once.
using JobFinished = std::function<void(size_t index, const JobResult& result)>;

// Runs every group of the plan on `threads` workers (at least one). Workers take the next
// group from a shared counter; the jobs of one group run in order. With options.info the
// jobs describe their input instead of converting it. Once *stop is set no further job
// starts (the running ones end normally, so no output is left half-written); the jobs that
// never ran have no result. Outputs are synced to disk in groups (see GroupCommit); a job
// is reported once its outputs are. Returns whether each job ran.
std::vector<bool> RunPlan(const Plan& plan, const Options& options, int threads,
                          const JobFinished& finished = nullptr,
                          const std::atomic<bool>* stop = nullptr);

// Prints the outcome of a run: failure lines and --info descriptions in input order (a line
// waits until every earlier job has ended, so output does not depend on the thread count),
// a progress bar on a terminal, and the closing summary.
class Reporter {
public:
    // columns: the terminal's width, which the progress bar must not exceed.
    Reporter(const Plan& plan, std::ostream& out, std::ostream& err, bool progressBar,
             bool info, int columns = 80);
    void Finished(size_t index, const JobResult& result);
    // Clears the progress bar, prints the failure lines still waiting (after an interrupted
    // run) and "N converted, M failed" ("N converted, S skipped, M failed" when outputs
    // were kept), plus the count of jobs that never ran.
    void Summary();
    // True when every job of the plan ended and none failed.
    bool AllSucceeded() const { return failed_ == 0 && done_ == results_.size(); }
    size_t Failed() const { return failed_; }

private:
    void ClearBar();
    void PrintLine(size_t index);
    void DrawBar(bool force);

    const Plan& plan_;
    std::ostream& out_;
    std::ostream& err_;
    bool progressBar_;
    bool info_;
    int columns_;
    std::vector<std::optional<JobResult>> results_;
    size_t nextToPrint_ = 0;
    size_t done_ = 0;
    size_t failed_ = 0;
    size_t skipped_ = 0;
    bool barShown_ = false;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point lastDraw_;
};

// The progress bar for `done` of `total` files after `seconds`, shorter than `columns` so
// that a carriage return can redraw it: the bar shrinks first, then the counts are cut.
std::string ProgressLine(size_t done, size_t total, double seconds, int columns = 80);

}  // namespace convert

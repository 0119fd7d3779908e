#include "ConvertTool.h"

#include <atomic>
#include <iostream>
#include <thread>

#include "CommandLine.h"
#include "ConvertPlan.h"
#include "ConvertRun.h"

namespace convert {

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop runs in signal handlers");

int UsageError(std::ostream& err, const std::string& message) {
    // One line, so a script's log shows the whole reason where it failed.
    err << "glintwise-convert: " << message << " (try --help)\n";
    return kExitUsage;
}

}  // namespace

int RunTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool progressBar, int columns, std::istream* standardInput) {
    ParseResult parsed = ParseCommandLine(args);
    if (!parsed.ok) return UsageError(err, parsed.error);
    Options& options = parsed.options;
    if (options.help) {
        out << HelpText();
        return kExitOk;
    }
    if (options.version) {
        out << "glintwise-convert " << GLINTWISE_VERSION << "\n";
        return kExitOk;
    }

    for (const std::string& list : options.filesFrom) {
        std::string error;
        if (!ReadInputList(list, standardInput ? *standardInput : std::cin, options.inputs, error))
            return UsageError(err, error);
    }
    if (options.inputs.empty()) return UsageError(err, "no input files or folders given");

    Plan plan = MakePlan(options);
    if (!plan.usageError.empty()) return UsageError(err, plan.usageError);
    if (options.shardCount > 1) plan = TakeShard(plan, options.shardIndex, options.shardCount);
    for (const std::string& warning : plan.warnings) err << warning << '\n';

    int threads = options.jobs;
    if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    Reporter reporter(plan, out, err, progressBar && !options.info, options.info, columns);
    RunPlan(plan, options, threads,
            [&](size_t index, const JobResult& result) { reporter.Finished(index, result); },
            &stopRequested);
    reporter.Summary();
    return reporter.AllSucceeded() ? kExitOk : kExitFailures;
}

void RequestStop() { stopRequested.store(true); }

}  // namespace convert

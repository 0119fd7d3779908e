#include "ConvertTool.h"

#include <atomic>
#include <thread>

#include "CommandLine.h"
#include "ConvertPlan.h"
#include "ConvertRun.h"

namespace convert {

namespace {

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "RequestStop runs in signal handlers");

int UsageError(std::ostream& err, const std::string& message) {
    err << "glintwise-convert: " << message << "\n"
        << "Try 'glintwise-convert --help' for more information.\n";
    return kExitUsage;
}

}  // namespace

int RunTool(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
            bool progressBar, int columns) {
    const ParseResult parsed = ParseCommandLine(args);
    if (!parsed.ok) return UsageError(err, parsed.error);
    const Options& options = parsed.options;
    if (options.help) {
        out << HelpText();
        return kExitOk;
    }
    if (options.version) {
        out << "glintwise-convert " << GLINTWISE_VERSION << "\n";
        return kExitOk;
    }

    const Plan plan = MakePlan(options);
    if (!plan.usageError.empty()) return UsageError(err, plan.usageError);
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

#include "FolderBatch.h"

#include <algorithm>
#include <filesystem>

#include "ConvertPlan.h"
#include "ConvertRun.h"

namespace fs = std::filesystem;

BatchSummary RunFolderBatch(const std::string& sourceDir, const std::string& resultDir, const std::string& format,
                            int threads, const BatchProgress& progress, const std::atomic<bool>* stop,
                            const BatchChoices& choices) {
    BatchSummary summary;
    std::error_code ec;
    if (sourceDir.empty() || !fs::is_directory(sourceDir, ec)) {
        if (progress) progress(0, 0);
        return summary;
    }
    convert::Options options;
    options.inputs = {sourceDir};
    options.output = resultDir.empty() ? "." : resultDir + "/";
    options.format = format;
    options.dicomOnly = true;
    options.namePattern = choices.namePattern;
    options.recursive = choices.recursive;
    options.allFrames = choices.allFrames;
    options.series = choices.series;
    options.rendering = choices.rendering;
    options.quality = choices.quality;
    // The list is complete before the first output is written, so outputs written into the
    // source folder are not converted again by this run.
    const convert::Plan plan = convert::MakePlan(options);
    const int count = static_cast<int>(plan.jobs.size());
    summary.files = count;
    if (progress) progress(0, count);
    if (!plan.usageError.empty()) {
        summary.failures.push_back({sourceDir, plan.usageError});
        return summary;
    }
    std::vector<convert::JobResult> results(plan.jobs.size());
    int done = 0;
    const std::vector<bool> ran = convert::RunPlan(
        plan, options, std::max(threads, 1),
        [&](size_t index, const convert::JobResult& result) {
            results[index] = result;
            if (progress) progress(++done, count);
        },
        stop);
    for (size_t i = 0; i < plan.jobs.size(); ++i) {
        if (!ran[i]) {
            summary.stopped = true;
            continue;
        }
        ++summary.tried;
        summary.converted += results[i].pictureMade;
        if (results[i].ok) ++summary.written;
        else summary.failures.push_back({plan.jobs[i].input, results[i].text});
    }
    return summary;
}

#include "ConvertPlan.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <system_error>

#include "Conversion.h"

namespace convert {

namespace fs = std::filesystem;

namespace {

// One file to convert and the sub-folder (relative to its input folder) it came from, or an
// input that fails before it starts (error set).
struct Found {
    std::string path;
    std::string display;
    fs::path subFolder;
    std::string error;
};

// Sub-folders of a folder, sorted by name; symbolic links to folders are not followed, so
// a link back up the tree cannot make the walk endless.
std::vector<fs::path> SubFolders(const fs::path& folder) {
    std::vector<fs::path> folders;
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (it->is_directory(typeError) && !it->is_symlink(typeError))
            folders.push_back(it->path());
    }
    std::sort(folders.begin(), folders.end());
    return folders;
}

void CollectFolder(const fs::path& folder, const fs::path& shownFolder, const fs::path& sub,
                   bool recursive, std::vector<Found>& found) {
    // An unreadable folder lists as empty; it must fail, not pass as a folder with no files.
    std::error_code ec;
    fs::directory_iterator probe(folder, ec);
    if (ec) {
        found.push_back({folder.string(), shownFolder.string(), sub,
                         "cannot list the folder: " + ec.message()});
        return;
    }
    for (const std::string& file : ListBatchFiles(folder.string())) {
        const std::string name = fs::path(file).filename().string();
        found.push_back({file, (shownFolder / name).string(), sub, ""});
    }
    if (!recursive) return;
    for (const fs::path& child : SubFolders(folder)) {
        const fs::path name = child.filename();
        CollectFolder(child, shownFolder / name, sub / name, true, found);
    }
}

// A path in one spelling for comparisons: symbolic links and "..", "." resolved as far as
// the path exists.
std::string Canonical(const std::string& path) {
    std::error_code ec;
    fs::path canonical = fs::weakly_canonical(fs::absolute(path, ec), ec);
    if (ec) return fs::absolute(path, ec).lexically_normal().string();
    return canonical.string();
}

bool HasExtension(const std::string& path) {
    const fs::path p(path);
    return !path.empty() && path.back() != '/' && p.has_extension() &&
           p.filename() != "." && p.filename() != "..";
}

}  // namespace

Plan MakePlan(const Options& options) {
    Plan plan;

    // Inputs: files as given, folders expanded. A missing input becomes a failed job.
    std::vector<Found> found;
    bool anyFolder = false;
    for (const std::string& input : options.inputs) {
        std::error_code ec;
        const fs::file_status status = fs::status(input, ec);
        if (fs::is_directory(status)) {
            anyFolder = true;
            CollectFolder(input, input, fs::path(), options.recursive, found);
        } else if (!fs::exists(status)) {
            const bool hidden = ec && ec != std::errc::no_such_file_or_directory;
            found.push_back({input, input, fs::path(),
                             hidden ? "cannot reach the file: " + ec.message()
                                    : "no such file or folder"});
        } else {
            found.push_back({input, input, fs::path(), ""});
        }
    }

    // Where the outputs go: a file named by -o (one input file, -o with an extension that
    // is not an existing folder) or a folder.
    std::error_code ec;
    const bool singleFile = options.inputs.size() == 1 && !anyFolder;
    const bool outputIsFile = singleFile && HasExtension(options.output) &&
                              !fs::is_directory(options.output, ec);
    const std::string outputFolder = options.output.empty() ? "." : options.output;
    if (outputIsFile) {
        std::string ext = fs::path(options.output).extension().string().substr(1);
        for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        if (FindType(options.output) == LF_FORMAT_UNKNOWN && !IsAcceptedFormat(ext)) {
            plan.usageError = "--output " + options.output +
                              ": the extension names no image format (end a folder name with /)";
            return plan;
        }
    }
    if (outputIsFile && options.formatGiven &&
        FindType(options.output) != FindType("x." + options.format)) {
        plan.usageError = "--output names a " + fs::path(options.output).extension().string() +
                          " file but --format is " + options.format;
        return plan;
    }
    if (!outputIsFile && fs::exists(outputFolder, ec) && !fs::is_directory(outputFolder, ec)) {
        plan.usageError = "the output folder " + outputFolder + " is not a folder";
        return plan;
    }

    for (size_t i = 0; i < found.size(); ++i) {
        Job job;
        job.input = found[i].path;
        job.display = found[i].display;
        job.error = found[i].error;
        if (!options.info) {
            job.output = outputIsFile
                             ? fs::absolute(options.output, ec).lexically_normal().string()
                             : BatchOutputPath((fs::path(outputFolder) / found[i].subFolder).string(),
                                               job.input, options.format);
        }
        plan.jobs.push_back(std::move(job));
    }
    if (options.info) {
        for (size_t i = 0; i < plan.jobs.size(); ++i) plan.groups.push_back({i});
        return plan;
    }

    // An output that is an input of this run would destroy that input: those jobs fail.
    std::set<std::string> inputs;
    for (const Job& job : plan.jobs)
        if (job.error.empty()) inputs.insert(Canonical(job.input));
    std::vector<std::string> outputs;
    std::map<std::string, std::vector<size_t>> byOutput;
    for (size_t i = 0; i < plan.jobs.size(); ++i) {
        Job& job = plan.jobs[i];
        outputs.push_back(Canonical(job.output));
        if (job.error.empty() && inputs.count(outputs[i]) != 0)
            job.error = "output " + job.output + " is an input file; not overwritten";
        if (job.error.empty()) byOutput[outputs[i]].push_back(i);
    }

    // Jobs sharing an output run in input order in one group; groups are ordered by their
    // first job so that work starts in input order. Jobs that fail before they start write
    // nothing and stand alone.
    std::vector<bool> grouped(plan.jobs.size(), false);
    for (size_t i = 0; i < plan.jobs.size(); ++i) {
        if (grouped[i]) continue;
        if (!plan.jobs[i].error.empty()) {
            plan.groups.push_back({i});
            continue;
        }
        const std::vector<size_t>& same = byOutput[outputs[i]];
        for (size_t j : same) grouped[j] = true;
        plan.groups.push_back(same);
        if (same.size() > 1) {
            std::string names;
            for (size_t j : same) names += (names.empty() ? "" : ", ") + plan.jobs[j].display;
            plan.warnings.push_back("warning: " + names + " all write " + plan.jobs[i].output +
                                    "; the last one converted is kept");
        }
    }
    return plan;
}

}  // namespace convert

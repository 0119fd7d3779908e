#include "ConvertPlan.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>
#include <set>
#include <cerrno>
#include <cstring>
#include <numeric>
#include <system_error>

#include <fcntl.h>
#include <unistd.h>

#include "Conversion.h"
#include "DicomDirInput.h"
#include "DicomReader.h"
#include "LfFormatRegistry.h"
#include "OutputNames.h"
#include "SeriesPlan.h"

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
    bool fromDicomDir = false;  // named by the DICOMDIR's tree unless --name says otherwise
    std::map<uint32_t, std::string> attributes = {};  // the DICOMDIR records' values above the file
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
    const std::vector<std::string> files = ListBatchFiles(folder.string());
    for (const std::string& file : files) {
        const std::string name = fs::path(file).filename().string();
        found.push_back({file, (shownFolder / name).string(), sub, ""});
    }
    if (!recursive) {
        // A folder of series folders run without -r would otherwise "succeed" with nothing.
        if (files.empty() && !SubFolders(folder).empty())
            found.push_back({folder.string(), shownFolder.string(), sub, "no files; use -r for sub-folders"});
        return;
    }
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

// The files a DICOMDIR references, or the DICOMDIR itself when it is to be described or
// cannot be used (the job then fails with the reason).
void ExpandDicomDir(const std::string& dicomdir, const std::string& shownFolder, bool info, std::vector<Found>& found) {
    std::vector<DicomDirFile> files;
    std::string error;
    if (info || !ListDicomDirFiles(dicomdir, shownFolder, files, error)) {
        found.push_back({dicomdir, dicomdir, fs::path(), error});
        return;
    }
    for (DicomDirFile& file : files)
        found.push_back({file.path, file.display, fs::path(file.rel), file.error, true, std::move(file.attributes)});
}

// Files as given, folders expanded; a DICOMDIR, or a folder with one at its top, stands for
// the files it references. A missing input becomes a job that fails.
std::vector<Found> ExpandInputs(const Options& options, bool& anyFolder) {
    std::vector<Found> found;
    anyFolder = false;
    for (const std::string& input : options.inputs) {
        std::error_code ec;
        const fs::file_status status = fs::status(input, ec);
        const std::string dicomdir = fs::is_directory(status) ? DicomDirInFolder(input) : "";
        if (!dicomdir.empty() || (fs::is_regular_file(status) && LooksLikeDicomDir(input))) {
            anyFolder = true;
            const std::string parent = fs::path(input).parent_path().string();
            ExpandDicomDir(dicomdir.empty() ? input : dicomdir, dicomdir.empty() ? parent : input, options.info, found);
        } else if (fs::is_directory(status)) {
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
    return found;
}

std::string LowerExtension(const std::string& path) {
    std::string ext = fs::path(path).extension().string();
    if (!ext.empty()) ext.erase(0, 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

// Creates the folder (and its parents) and proves that files can be made in it by making
// and removing one; the reason when that fails, else empty. Permission bits alone say
// nothing for root, nor for a read-only file system.
std::string MakeWritableFolder(const std::string& folder) {
    std::error_code ec;
    const fs::path path = fs::absolute(folder, ec).lexically_normal();
    if (ec) return ec.message();
    fs::create_directories(path, ec);
    if (ec) return ec.message();
    if (!fs::is_directory(path, ec)) return path.string() + " is not a folder";
    // An unnamed file where the file system has them, so that a run killed here leaves
    // nothing; else a hidden one, removed at once (or, after a kill, by the next run).
    int fd = ::open(path.c_str(), O_TMPFILE | O_WRONLY, 0600);
    if (fd < 0) {
        std::string probe = (path / (std::string(kWritableProbePrefix) + "XXXXXX")).string();
        fd = ::mkstemp(probe.data());
        if (fd < 0) return std::strerror(errno);
        ::unlink(probe.c_str());
    }
    ::close(fd);
    return "";
}

// Why -o cannot be used as it stands; empty when it can.
std::string CheckOutput(const Options& options, bool outputIsFile, bool severalInputs,
                        const std::string& folder) {
    std::error_code ec;
    if (!outputIsFile) {
        if (fs::exists(folder, ec) && !fs::is_directory(folder, ec))
            return "the output folder " + folder + " is not a folder";
        // out.png with a folder or several inputs is almost surely meant as one file.
        const std::string ext = LowerExtension(options.output);
        if (severalInputs && HasExtension(options.output) && !fs::is_directory(options.output, ec) &&
            (LfFormatForExtension(ext) != LF_FORMAT_UNKNOWN || IsAcceptedFormat(ext)))
            return "--output " + options.output +
                   " names one image file but the inputs are several files or a folder"
                   " (end a folder name with /)";
        return "";
    }
    if (options.allFrames && !options.info)
        return "--all-frames writes a file per frame: --output must name a folder, not the file " +
               options.output;
    if (!options.namePattern.empty() && !options.info)
        return "--name names files inside the output folder: --output must name a folder, not the file " +
               options.output;
    const std::string dotted = fs::path(options.output).extension().string();
    const std::string ext = LowerExtension(options.output);
    if (FindType(options.output) == LF_FORMAT_UNKNOWN && !IsAcceptedFormat(ext))
        return "--output " + options.output +
               ": the extension names no image format (end a folder name with /)";
    if (options.formatGiven && FindType(options.output) != FindType("x." + options.format))
        return "--output names a " + dotted + " file but --format is " + options.format;
    if (!IsAcceptedFormat(ext))
        return "--output names a " + dotted + " file, a format that cannot be written";
    return "";
}

// Fails the jobs whose output is an input of this run, then groups the others by output:
// jobs sharing an output run in input order in one group, so the later input is the one
// left on disk. Groups are ordered by their first job, so work starts in input order; jobs
// that fail before they start write nothing and stand alone.
void GroupByOutput(Plan& plan) {
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
}

// What the fields of a name pattern are for one input: the DICOMDIR's values, covered by the
// file's own (its header is read only when the pattern asks for attributes or frames).
NameValues ValuesOf(const Found& f, const NamePattern& pattern, bool allFrames, int& frames) {
    NameValues values;
    values.attributes = f.attributes;
    values.stem = fs::path(f.path).stem().string();
    values.rel = f.subFolder.generic_string();
    frames = 1;
    const bool wantFrames = allFrames && pattern.uses("frame");
    if (!f.error.empty() || (!pattern.usesAttributes() && !wantFrames)) return values;
    DicomReader reader;
    const bool header = reader.parseHeader(f.path.c_str()) == 0;
    if (header && wantFrames) frames = std::max(reader.frameCount(), 1);
    TakeNameAttributes(reader.textAttributes(), values.attributes);
    return values;
}

// Output paths from name patterns (--name, or the DICOMDIR tree for a DICOMDIR's files).
// Collisions are settled on the whole plan in input order before any shard is taken, so
// every shard gives each input the same name; inputs that fail before they start take none.
void NameFromPatterns(const Options& options, const std::vector<Found>& found, const std::string& folder,
                      const NamePattern* given, Plan& plan) {
    NamePattern tree;
    std::string unused;
    ParseNamePattern(kDicomDirPattern, tree, unused);
    const auto outputOf = [&](const std::string& name) {
        return fs::absolute(fs::path(folder) / (name + "." + options.format)).lexically_normal().string();
    };
    std::vector<size_t> named;
    std::vector<std::string> names;
    std::vector<std::vector<std::string>> frameNames;
    for (size_t i = 0; i < found.size(); ++i) {
        const NamePattern* pattern = given != nullptr ? given : found[i].fromDicomDir ? &tree : nullptr;
        if (pattern == nullptr) continue;
        int frames = 1;
        NameValues values = ValuesOf(found[i], *pattern, options.allFrames, frames);
        values.frame = options.allFrames ? 0 : options.frame;
        const std::string name = ApplyNamePattern(*pattern, values);
        if (!found[i].error.empty()) {
            plan.jobs[i].output = outputOf(name);
            continue;
        }
        named.push_back(i);
        names.push_back(name);
        frameNames.emplace_back();
        if (options.allFrames && pattern->uses("frame"))
            for (values.frame = 0; values.frame < frames; ++values.frame)
                frameNames.back().push_back(ApplyNamePattern(*pattern, values));
    }
    const std::vector<std::string> unique = UniqueNames(names);
    for (size_t k = 0; k < named.size(); ++k) {
        Job& job = plan.jobs[named[k]];
        job.output = outputOf(unique[k]);
        const std::string suffix = unique[k].substr(names[k].size());
        for (const std::string& frameName : frameNames[k]) job.frameOutputs.push_back(outputOf(frameName + suffix));
    }
}

}  // namespace

Plan MakePlan(const Options& options) {
    Plan plan;
    bool anyFolder = false;
    const std::vector<Found> found = ExpandInputs(options, anyFolder);
    if (options.info) {
        for (size_t i = 0; i < found.size(); ++i) {
            plan.jobs.push_back({found[i].path, found[i].display, "", found[i].error, {}});
            plan.groups.push_back({i});
        }
        return plan;
    }

    // Where the outputs go: a file named by -o (one input file, -o with an extension that
    // is not an existing folder) or a folder.
    std::error_code ec;
    const bool outputIsFile = options.inputs.size() == 1 && !anyFolder &&
                              HasExtension(options.output) && !fs::is_directory(options.output, ec);
    const std::string folder = options.output.empty() ? "." : options.output;
    const bool severalInputs = options.inputs.size() > 1 || anyFolder;
    plan.usageError = CheckOutput(options, outputIsFile, severalInputs, folder);
    if (plan.usageError.empty() && options.rendering.depth == 16) {
        const std::string target = outputIsFile ? options.output : "x." + options.format;
        const LfFormatInfo* row = LfFindFormat(FindType(target));
        if (row == nullptr || !row->writesGrey16)
            plan.usageError = "--depth 16 writes PNG or TIFF, not " + LowerExtension(target);
    }
    if (plan.usageError.empty())
        plan.usageError = CheckMovieOptions(options, outputIsFile ? options.output : "x." + options.format, anyFolder);
    if (!plan.usageError.empty()) return plan;
    // The outputs' folder exists before any input is read: one usage error instead of a
    // failure for every file.
    const std::string parent = fs::path(options.output).parent_path().string();
    const std::string problem = MakeWritableFolder(outputIsFile ? (parent.empty() ? "." : parent) : folder);
    if (!problem.empty()) {
        plan.usageError = outputIsFile ? "cannot create the folder of --output " + options.output + ": " + problem
                                       : "cannot create the output folder " + folder + ": " + problem;
        return plan;
    }

    for (const Found& f : found) {
        const std::string output =
            outputIsFile ? fs::absolute(options.output, ec).lexically_normal().string()
                         : BatchOutputPath((fs::path(folder) / f.subFolder).string(), f.path,
                                           options.format);
        plan.jobs.push_back({f.path, f.display, output, f.error, {}});
    }
    NamePattern given;
    if (!options.namePattern.empty() && !ParseNamePattern(options.namePattern, given, plan.usageError)) return plan;
    if (!outputIsFile) NameFromPatterns(options, found, folder, options.namePattern.empty() ? nullptr : &given, plan);
    if (options.series) GroupSeries(plan, options.format);
    GroupByOutput(plan);
    return plan;
}

Plan TakeShard(const Plan& plan, int index, int count) {
    if (count <= 1) return plan;
    // Groups in the name order of their first input, dealt out like cards.
    std::vector<size_t> order(plan.groups.size());
    std::iota(order.begin(), order.end(), size_t{0});
    std::stable_sort(order.begin(), order.end(), [&](size_t a, size_t b) {
        return plan.jobs[plan.groups[a].front()].input < plan.jobs[plan.groups[b].front()].input;
    });
    std::vector<bool> kept(plan.jobs.size(), false);
    for (size_t rank = static_cast<size_t>(index - 1); rank < order.size(); rank += static_cast<size_t>(count))
        for (size_t job : plan.groups[order[rank]]) kept[job] = true;

    Plan part;
    for (size_t i = 0; i < plan.jobs.size(); ++i)
        if (kept[i]) part.jobs.push_back(plan.jobs[i]);
    if (plan.jobs.empty() || plan.jobs.front().output.empty()) {  // --info: one job a group
        for (size_t i = 0; i < part.jobs.size(); ++i) part.groups.push_back({i});
        return part;
    }
    // Input-overwrite refusals are already on the jobs; regrouping gives each kept group
    // back whole, with its warning.
    GroupByOutput(part);
    return part;
}

}  // namespace convert

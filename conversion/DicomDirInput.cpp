#include "DicomDirInput.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "OutputNames.h"

namespace convert {

namespace fs = std::filesystem;

namespace {

// A name as CDs spell it in any case: ISO 9660 adds ";1" versions and may end names in '.'.
std::string CdName(const std::string& name) {
    std::string text = name;
    const size_t semicolon = text.rfind(';');
    if (semicolon != std::string::npos && semicolon + 1 < text.size() &&
        std::all_of(text.begin() + static_cast<long>(semicolon) + 1, text.end(), [](char c) { return c >= '0' && c <= '9'; }))
        text.erase(semicolon);
    while (!text.empty() && text.back() == '.') text.pop_back();
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Finds file IDs in a folder tree without regard to letter case; each folder is listed once.
class CaseBlindFinder {
public:
    explicit CaseBlindFinder(fs::path root) : root_(std::move(root)) {
        std::error_code ec;
        canonicalRoot_ = fs::weakly_canonical(root_, ec);
    }

    // The entry's path, or empty with the reason set.
    fs::path find(const std::vector<std::string>& components, std::string& error) {
        fs::path at = root_;
        for (size_t i = 0; i < components.size(); ++i) {
            const fs::path next = entry(at, components[i]);
            if (next.empty()) {
                error = "missing: the DICOMDIR lists it, but " +
                        (i + 1 < components.size() ? "there is no folder " + components[i] : std::string("the folder holds no such file"));
                return {};
            }
            at = next;
        }
        // Links inside a CD's folder must not lead out of it.
        std::error_code ec;
        const fs::path real = fs::weakly_canonical(at, ec);
        const auto [rootEnd, realAt] = std::mismatch(canonicalRoot_.begin(), canonicalRoot_.end(), real.begin(), real.end());
        if (ec || rootEnd != canonicalRoot_.end()) {
            error = "refused: a link leads out of the DICOMDIR's folder";
            return {};
        }
        if (!fs::is_regular_file(at, ec)) {
            error = "missing: the DICOMDIR lists it, but it is not a file";
            return {};
        }
        return at;
    }

private:
    fs::path entry(const fs::path& folder, const std::string& name) {
        std::error_code ec;
        if (fs::exists(folder / name, ec)) return folder / name;
        auto listed = listings_.find(folder.string());
        if (listed == listings_.end()) {
            std::vector<std::pair<std::string, fs::path>> entries;
            fs::directory_iterator it(folder, ec), end;
            for (; !ec && it != end; it.increment(ec)) entries.push_back({CdName(it->path().filename().string()), it->path()});
            std::sort(entries.begin(), entries.end());
            listed = listings_.emplace(folder.string(), std::move(entries)).first;
        }
        const std::string wanted = CdName(name);
        const auto& entries = listed->second;
        const auto found = std::lower_bound(entries.begin(), entries.end(), std::make_pair(wanted, fs::path()));
        return found != entries.end() && found->first == wanted ? found->second : fs::path();
    }

    fs::path root_, canonicalRoot_;
    std::map<std::string, std::vector<std::pair<std::string, fs::path>>> listings_;
};

// Depth-first over the tree: each record's values cover those of the records above it.
void Collect(const DicomDir& dir, size_t index, std::map<uint32_t, std::string> inherited,
             std::vector<std::pair<size_t, std::map<uint32_t, std::string>>>& out) {
    const DicomDirRecord& record = dir.records[index];
    TakeNameAttributes(record.text, inherited);
    if (!record.fileId.empty()) out.push_back({index, inherited});
    for (size_t child : record.children) Collect(dir, child, inherited, out);
}

std::string Plural(size_t n, const std::string& type) {
    std::string word = type;
    for (char& c : word) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (word == "study") word = n == 1 ? "study" : "studies";
    else if (word == "patient" || word == "image") word += n == 1 ? "" : "s";
    else if (word != "series") word += n == 1 ? " record" : " records";
    return std::to_string(n) + " " + word;
}

// Records of each type below a record (itself excluded), in the order types first appear.
void CountBelow(const DicomDir& dir, const std::vector<size_t>& records,
                std::vector<std::pair<std::string, size_t>>& counts) {
    for (size_t index : records) {
        const DicomDirRecord& record = dir.records[index];
        const std::string type = record.type.empty() ? "untyped" : record.type;
        auto found = std::find_if(counts.begin(), counts.end(), [&](const auto& c) { return c.first == type; });
        if (found == counts.end()) counts.push_back({type, 1});
        else ++found->second;
        CountBelow(dir, record.children, counts);
    }
}

std::string Counts(const DicomDir& dir, const std::vector<size_t>& records) {
    std::vector<std::pair<std::string, size_t>> counts;
    CountBelow(dir, records, counts);
    std::string text;
    for (const auto& [type, n] : counts) text += (text.empty() ? "" : ", ") + Plural(n, type);
    return text.empty() ? "no records" : text;
}

std::string Label(const DicomDirRecord& record) {
    std::vector<uint32_t> shown;
    if (record.type == "PATIENT") shown = {tags::PatientId, tags::PatientName};
    else if (record.type == "STUDY") shown = {tags::StudyDate, tags::StudyDescription};
    else if (record.type == "SERIES") shown = {tags::SeriesNumber, tags::Modality, tags::SeriesDescription};
    std::string text = record.type.empty() ? "untyped" : record.type;
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    for (uint32_t tag : shown) {
        const std::string value = record.text.value(tag);
        if (!value.empty()) text += " " + value;
    }
    return text;
}

// A line for each record that holds others; the records of files are only counted.
void DescribeLevel(const DicomDir& dir, const std::vector<size_t>& records, int depth, std::string& text) {
    for (size_t index : records) {
        const DicomDirRecord& record = dir.records[index];
        if (record.children.empty() && !record.fileId.empty()) continue;
        text += "\n" + std::string(static_cast<size_t>(2 * depth), ' ') + Label(record) + ": " + Counts(dir, record.children);
        DescribeLevel(dir, record.children, depth + 1, text);
    }
}

}  // namespace

std::string DicomDirInFolder(const std::string& folder) {
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec))
        if (CdName(it->path().filename().string()) == "dicomdir" && it->is_regular_file(ec)) return it->path().string();
    return "";
}

bool ListDicomDirFiles(const std::string& dicomdir, const std::string& shownFolder, std::vector<DicomDirFile>& files,
                       std::string& error) {
    files.clear();
    DicomDir dir;
    if (!ReadDicomDirFile(dicomdir, dir, error)) return false;
    std::vector<std::pair<size_t, std::map<uint32_t, std::string>>> referenced;
    for (size_t root : dir.roots) Collect(dir, root, {}, referenced);

    const fs::path folder = fs::path(dicomdir).parent_path().empty() ? fs::path(".") : fs::path(dicomdir).parent_path();
    CaseBlindFinder finder(folder);
    for (auto& [index, attributes] : referenced) {
        const std::vector<std::string>& id = dir.records[index].fileId;
        DicomDirFile file;
        file.display = (shownFolder.empty() ? "" : shownFolder + (shownFolder.back() == '/' ? "" : "/")) + FileIdText(id);
        file.rel = FileIdText(std::vector<std::string>(id.begin(), id.end() - 1));
        file.stem = fs::path(id.back()).stem().string();
        file.attributes = std::move(attributes);
        const fs::path found = finder.find(id, file.error);
        file.path = found.empty() ? (folder / FileIdText(id)).string() : found.string();
        files.push_back(std::move(file));
    }
    return true;
}

std::string DescribeDicomDir(const DicomDir& dir) {
    std::string text = "DICOMDIR, " + Counts(dir, dir.roots);
    DescribeLevel(dir, dir.roots, 1, text);
    return text;
}

}  // namespace convert

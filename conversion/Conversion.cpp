#include "Conversion.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <system_error>

#include "LfFormatRegistry.h"

namespace fs = std::filesystem;

namespace {

// The last path component: everything after the last '/'.
std::string LastComponent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

std::string SaveExtension(const std::string& path) {
    const std::string name = LastComponent(path);
    const size_t dot = name.find_last_of('.');
    if (dot == std::string::npos) return "";
    std::string ext = name.substr(dot + 1);
    for (char& c : ext) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return ext;
}

uint32_t FindType(const std::string& path) {
    const std::string ext = SaveExtension(path);
    return ext.empty() ? LF_FORMAT_UNKNOWN : LfFormatForExtension(ext);
}

bool SaveResultImage(const std::string& path, LfImage& image) {
    return image.Save(path.c_str(), FindType(path));
}

void UseDicomPictureOptions(LfImage& image) {
    for (const LfFormatInfo& row : LfFormats())
        if (row.dicomOption != 0) image.SetCodecOption(row.dicomOption, row.id);
}

std::string FormatDir(const std::string& dir) {
    if (dir.empty()) return dir;
    std::error_code ec;
    fs::path full = fs::absolute(fs::path(dir), ec);
    if (ec) return dir;
    std::string text = full.lexically_normal().string();
    if (text.empty()) return dir;
    if (text.back() != '/') text += '/';
    return text;
}

std::vector<std::string> ListBatchFiles(const std::string& sourceDir) {
    std::vector<std::string> files;
    const std::string folder = FormatDir(sourceDir);
    if (folder.empty()) return files;
    std::error_code ec;
    fs::directory_iterator it(folder, ec), end;
    for (; !ec && it != end; it.increment(ec)) {
        std::error_code typeError;
        if (!it->is_regular_file(typeError) || typeError) continue;
        files.push_back(folder + it->path().filename().string());
    }
    if (ec) return {};
    std::sort(files.begin(), files.end());
    return files;
}

std::string BatchOutputPath(const std::string& resultDir, const std::string& sourceFile,
                            const std::string& ext) {
    const std::string name = LastComponent(sourceFile);
    const size_t dot = name.find_last_of('.');
    const std::string base = dot == std::string::npos ? name : name.substr(0, dot);
    return FormatDir(resultDir) + base + "." + ext;
}

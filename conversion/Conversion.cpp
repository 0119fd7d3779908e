#include "Conversion.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <filesystem>
#include <system_error>

#include "GreyConversion.h"
#include "LfFormatRegistry.h"

namespace fs = std::filesystem;

namespace {

// The last path component: everything after the last '/'.
std::string LastComponent(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

// A frame the readers could have made: pixels present and rows laid out by the frame's
// own stride rule, so no copy below reads past its buffer.
bool IsWellFormed(const GreyFrame& frame) {
    return frame.pixels != nullptr && frame.width > 0 && frame.height > 0 &&
           frame.stride == FrameStride(frame.width);
}

bool FrameToImage(const GreyFrame& frame, LfImage& image) {
    if (image.IsValid()) image.Destroy();
    if (!IsWellFormed(frame)) return false;
    const int64_t stride = frame.stride;
    if (image.Create(static_cast<uint32_t>(frame.width), static_cast<uint32_t>(frame.height),
                     24, LF_FORMAT_BMP) == nullptr)
        return false;
    // Both sides use the same 4-byte row padding, so the rows move in one block.
    if (image.EffectiveWidth() != static_cast<uint32_t>(stride) || image.Row(0) == nullptr) {
        image.Destroy();
        return false;
    }
    std::memcpy(image.Row(0), frame.pixels, static_cast<size_t>(stride) * frame.height);
    // The frame lists its rows from the top, the image stores them from the bottom.
    image.Flip(false, true);
    return image.IsValid();
}

bool FrameToGreyImage(const GreyFrame& frame, LfImage& image) {
    // A colour picture has no grey form: it stays 24-bit.
    if (frame.colour) return FrameToImage(frame, image);
    if (image.IsValid()) image.Destroy();
    if (!IsWellFormed(frame)) return false;
    if (image.Create(static_cast<uint32_t>(frame.width), static_cast<uint32_t>(frame.height), 8,
                     LF_FORMAT_BMP) == nullptr)
        return false;
    image.SetGreyPalette();
    for (int32_t y = 0; y < frame.height; ++y) {
        const uint8_t* source = frame.pixels + static_cast<size_t>(y) * frame.stride;
        uint8_t* row = image.Row(static_cast<uint32_t>(frame.height - 1 - y));
        for (int32_t x = 0; x < frame.width; ++x) row[x] = source[3 * x];
    }
    return true;
}

bool DeepFrameToImage(const GreyFrame& frame, LfImage& image) {
    if (image.IsValid()) image.Destroy();
    if (frame.deep == nullptr || frame.colour || !IsWellFormed(frame)) return false;
    if (image.CreateGrey16(static_cast<uint32_t>(frame.width), static_cast<uint32_t>(frame.height), LF_FORMAT_PNG) == nullptr)
        return false;
    const size_t width = static_cast<size_t>(frame.width);
    for (int32_t y = 0; y < frame.height; ++y)
        std::memcpy(image.Row(static_cast<uint32_t>(frame.height - 1 - y)), frame.deep + static_cast<size_t>(y) * width,
                    width * sizeof(uint16_t));
    return true;
}

bool WritesGrey16(uint32_t type) {
    const LfFormatInfo* row = LfFindFormat(type);
    return row != nullptr && row->writesGrey16;
}

bool FrameToImageFor(const GreyFrame& frame, const std::string& path, LfImage& image) {
    if (frame.deep != nullptr) return DeepFrameToImage(frame, image);
    const LfSaveName* name = LfFindSaveName(SaveExtension(path));
    const bool holdsGrey = name != nullptr && name->holdsGrey;
    return holdsGrey ? FrameToGreyImage(frame, image) : FrameToImage(frame, image);
}

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

#include "ConvertOptions.h"

#include <algorithm>
#include <charconv>
#include <cmath>

#include "LfFormatRegistry.h"

namespace convert {

namespace {

// A name the registry maps to a format it can write; "raw" and the metafiles are not.
bool Writable(const std::string& ext) {
    const LfFormatInfo* row = LfFindFormat(LfFormatForExtension(ext));
    return row != nullptr && row->writes;
}

}  // namespace

std::vector<std::string> AcceptedFormats() {
    // The window's list in its order, then the formats the window does not offer at all.
    std::vector<std::string> names;
    for (const std::string& ext : LfWindowTargets())
        if (Writable(ext)) names.push_back(ext);
    const auto offered = [](const LfSaveName& name) { return name.windowPosition > 0; };
    for (const LfFormatInfo& row : LfFormats()) {
        if (!row.writes || std::any_of(row.saveExtensions.begin(), row.saveExtensions.end(), offered))
            continue;
        for (const LfSaveName& name : row.saveExtensions) names.push_back(name.ext);
    }
    return names;
}

bool IsAcceptedFormat(const std::string& ext) {
    const std::vector<std::string> names = AcceptedFormats();
    return std::find(names.begin(), names.end(), ext) != names.end();
}

uint32_t TiffCompressionCode(const std::string& name) {
    // libtiff's compression codes: none 1, LZW 5, JPEG 7, Adobe deflate 8.
    if (name == "none") return 1;
    if (name == "lzw") return 5;
    if (name == "jpeg") return 7;
    if (name == "deflate") return 8;
    return 0;
}

bool ParseVoiMode(const std::string& text, GreyRendering& rendering) {
    static const struct {
        const char* name;
        VoiMode mode;
    } kModes[] = {{"file", VoiMode::File}, {"standard", VoiMode::Standard}, {"minmax", VoiMode::MinMax},
                  {"none", VoiMode::None}};
    for (const auto& m : kModes)
        if (text == m.name) {
            rendering.mode = m.mode;
            return true;
        }
    const size_t comma = text.find(',');
    if (comma == std::string::npos) return false;
    double centre = 0.0, width = 0.0;
    const char* end = text.data() + text.size();
    const auto c = std::from_chars(text.data(), text.data() + comma, centre);
    const auto w = std::from_chars(text.data() + comma + 1, end, width);
    if (c.ec != std::errc() || c.ptr != text.data() + comma || w.ec != std::errc() || w.ptr != end) return false;
    if (!std::isfinite(centre) || !std::isfinite(width) || width < 1.0) return false;
    rendering.mode = VoiMode::Window;
    rendering.centre = centre;
    rendering.width = width;
    return true;
}

bool ParseOverlayChoice(const std::string& text, int& overlays) {
    if (text == "all" || text == "none") {
        overlays = text == "all" ? kAllOverlays : kNoOverlays;
        return true;
    }
    int number = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, number);
    if (text.empty() || parsed.ec != std::errc() || parsed.ptr != end || number < 1 || number > kMaxOverlayNumber)
        return false;
    overlays = number;
    return true;
}

}  // namespace convert

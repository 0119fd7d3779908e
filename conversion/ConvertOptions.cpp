#include "ConvertOptions.h"

#include <algorithm>

#include "Conversion.h"
#include "LfFormatRegistry.h"

namespace convert {

std::vector<std::string> AcceptedFormats() {
    // The window's list in its order, then the formats the window does not offer at all.
    std::vector<std::string> names(kTargetFormats, kTargetFormats + kTargetFormatCount);
    const auto offered = [&](const std::string& ext) {
        return std::find(names.begin(), names.begin() + kTargetFormatCount, ext) != names.begin() + kTargetFormatCount;
    };
    for (uint32_t id = 1; id <= LF_FORMAT_RAW; ++id) {
        const LfFormatInfo* row = LfFindFormat(id);
        if (row && std::none_of(row->saveExtensions.begin(), row->saveExtensions.end(), offered))
            names.insert(names.end(), row->saveExtensions.begin(), row->saveExtensions.end());
    }
    return names;
}

bool IsAcceptedFormat(const std::string& ext) {
    const std::vector<std::string> names = AcceptedFormats();
    return std::find(names.begin(), names.end(), ext) != names.end();
}

}  // namespace convert

#include "FileDetails.h"

#include <cctype>

#include "ConvertJob.h"
#include "DicomReader.h"
#include "LfImage.h"

namespace {

std::string Trim(const std::string& text) {
    const size_t first = text.find_first_not_of(' ');
    if (first == std::string::npos) return {};
    return text.substr(first, text.find_last_not_of(' ') - first + 1);
}

}  // namespace

FileDetails ReadFileDetails(const std::string& path) {
    FileDetails details;
    DicomReader reader;
    const bool header = reader.parseHeader(path.c_str()) == 0;
    // A picture the reader cannot show yet is still described, as --info does.
    details.described = header || (reader.refusal() == DicomRefusal::TransferSyntax && !reader.pixelEncoding().empty());
    if (details.described) details.summary = convert::DescribeDicomHeader(reader, header);
    details.text = reader.textAttributes();
    details.frames = header ? reader.frameCount() : 0;
    details.colour = reader.samplesPerPixel() != 1 || reader.photometricInterpretation() == "PALETTE COLOR";
    details.windows = reader.greyAttributes().windows;
    return details;
}

std::string PictureFormatOf(const std::string& path) {
    LfImage probe;
    probe.SetEscape(-1);  // the format is all we need: no pixels are decoded
    if (!probe.Load(path.c_str(), LF_FORMAT_UNKNOWN)) return {};
    return convert::FormatName(probe.Type());
}

std::string PersonNameForDisplay(const std::string& name) {
    std::string shown;
    size_t start = 0;
    for (;;) {
        const size_t end = name.find('=', start);
        std::string group = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
        std::string words;
        size_t from = 0;
        for (;;) {
            const size_t caret = group.find('^', from);
            const std::string part = Trim(group.substr(from, caret == std::string::npos ? std::string::npos : caret - from));
            if (!part.empty()) words += (words.empty() ? "" : " ") + part;
            if (caret == std::string::npos) break;
            from = caret + 1;
        }
        if (!words.empty()) shown += (shown.empty() ? "" : " = ") + words;
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return shown;
}

std::string DateForDisplay(const std::string& date) {
    if (date.size() != 8) return date;
    for (char c : date)
        if (!std::isdigit(static_cast<unsigned char>(c))) return date;
    return date.substr(0, 4) + "-" + date.substr(4, 2) + "-" + date.substr(6, 2);
}

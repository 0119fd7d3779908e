#include "TextAttributes.h"

#include <iconv.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdlib>

namespace {

constexpr size_t kMaxDescriptiveText = 4096;
// Frame Time Vector holds one number of up to 16 bytes per frame.
constexpr size_t kMaxFrameTimeVector = 16 * 65536;

std::string_view Trimmed(std::string_view text) {
    const auto isPadding = [](char c) { return c == ' ' || c == '\0' || c == '\t' || c == '\r' || c == '\n'; };
    while (!text.empty() && isPadding(text.front())) text.remove_prefix(1);
    while (!text.empty() && isPadding(text.back())) text.remove_suffix(1);
    return text;
}

// The iconv name of a defined term, empty when it has none we know. ISO 2022 terms share
// the single-byte sets of their plain names.
std::string IconvName(std::string_view term) {
    static const std::pair<std::string_view, const char*> kSets[] = {
        {"ISO_IR 100", "ISO-8859-1"}, {"ISO_IR 101", "ISO-8859-2"}, {"ISO_IR 109", "ISO-8859-3"},
        {"ISO_IR 110", "ISO-8859-4"}, {"ISO_IR 144", "ISO-8859-5"}, {"ISO_IR 127", "ISO-8859-6"},
        {"ISO_IR 126", "ISO-8859-7"}, {"ISO_IR 138", "ISO-8859-8"}, {"ISO_IR 148", "ISO-8859-9"},
        {"ISO_IR 203", "ISO-8859-15"}, {"ISO_IR 166", "TIS-620"},   {"ISO_IR 13", "CP932"},
        {"ISO_IR 192", "UTF-8"},      {"GB18030", "GB18030"},       {"GBK", "GBK"},
    };
    std::string plain(term);
    if (plain.rfind("ISO 2022 IR ", 0) == 0) plain = "ISO_IR " + plain.substr(12);
    for (const auto& [name, iconvName] : kSets)
        if (plain == name) return iconvName;
    return {};
}

// The terms of a Specific Character Set value; the first names the set used before any
// escape sequence.
std::vector<std::string_view> Terms(std::string_view value) {
    std::vector<std::string_view> terms;
    size_t start = 0;
    for (size_t i = 0; i <= value.size(); ++i)
        if (i == value.size() || value[i] == '\\') {
            terms.push_back(Trimmed(value.substr(start, i - start)));
            start = i + 1;
        }
    return terms;
}

// A code extension's escape sequence: its length and how to decode what follows it (an iconv
// name; keepEscape when that decoder reads the escape itself, as the 7-bit JIS sets need).
struct Designation {
    std::string_view escape;
    const char* set;
    bool keepEscape;
};
constexpr Designation kDesignations[] = {
    {"\x1b$B", "ISO-2022-JP", true},     {"\x1b$@", "ISO-2022-JP", true},
    {"\x1b$(D", "ISO-2022-JP-2", true},  {"\x1b$)C", "EUC-KR", false},
    {"\x1b$)A", "GB2312", false},         {"\x1b(B", nullptr, false},
    {"\x1b(J", nullptr, false},           {"\x1b)I", "CP932", false},
    {"\x1b-A", "ISO-8859-1", false},      {"\x1b-B", "ISO-8859-2", false},
    {"\x1b-C", "ISO-8859-3", false},      {"\x1b-D", "ISO-8859-4", false},
    {"\x1b-L", "ISO-8859-5", false},      {"\x1b-G", "ISO-8859-6", false},
    {"\x1b-F", "ISO-8859-7", false},      {"\x1b-H", "ISO-8859-8", false},
    {"\x1b-M", "ISO-8859-9", false},      {"\x1b-T", "TIS-620", false},
    {"\x1b-b", "ISO-8859-15", false},
};

void AppendUtf8(std::string& out, uint32_t code) {
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

std::string Latin1ToUtf8(std::string_view raw) {
    std::string out;
    for (unsigned char c : raw) AppendUtf8(out, c);
    return out;
}

// Converts through iconv, putting U+FFFD for each byte it cannot take and going on.
bool ConvertWithIconv(std::string_view raw, const std::string& from, std::string& out) {
    iconv_t cd = iconv_open("UTF-8", from.c_str());
    if (cd == reinterpret_cast<iconv_t>(-1)) return false;
    std::string input(raw);
    char* in = input.data();
    size_t inLeft = input.size();
    std::string buffer(4 * input.size() + 16, '\0');
    for (;;) {
        char* outPtr = buffer.data();
        size_t outLeft = buffer.size();
        const size_t r = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
        out.append(buffer.data(), buffer.size() - outLeft);
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) continue;
        // EILSEQ or EINVAL: one byte the set cannot map (or a cut sequence at the end).
        AppendUtf8(out, 0xFFFD);
        ++in;
        --inLeft;
        if (inLeft == 0) break;
    }
    char* outPtr = buffer.data();
    size_t outLeft = buffer.size();
    iconv(cd, nullptr, nullptr, &outPtr, &outLeft);  // the shift back to the initial state
    out.append(buffer.data(), buffer.size() - outLeft);
    iconv_close(cd);
    return true;
}

}  // namespace

size_t TextAttributes::keptLength(uint32_t tag) {
    switch (tag) {
    case tags::SpecificCharacterSet: case tags::StudyDate: case tags::StudyTime:
    case tags::AccessionNumber: case tags::Modality: case tags::SopInstanceUid:
    case tags::StudyDescription: case tags::SeriesDescription: case tags::StartTrim:
    case tags::StopTrim: case tags::RecommendedDisplayFrameRate: case tags::PatientName:
    case tags::PatientId: case tags::BodyPartExamined: case tags::CineRate: case tags::FrameTime:
    case tags::StudyInstanceUid: case tags::SeriesInstanceUid: case tags::SeriesNumber:
    case tags::InstanceNumber: case tags::ImagePositionPatient: case tags::ImageOrientationPatient:
        return kMaxDescriptiveText;
    case tags::FrameTimeVector: return kMaxFrameTimeVector;
    default: return 0;
    }
}

std::string TextAttributes::value(uint32_t tag) const {
    const auto found = raw_.find(tag);
    if (found == raw_.end()) return {};
    const auto set = raw_.find(tags::SpecificCharacterSet);
    const std::string_view characterSet = set == raw_.end() ? std::string_view{} : std::string_view{set->second};
    // The character set itself and UIDs are plain ASCII.
    if (tag == tags::SpecificCharacterSet) return std::string(Trimmed(found->second));
    return std::string(Trimmed(DecodeDicomText(found->second, characterSet)));
}

std::vector<double> TextAttributes::numbers(uint32_t tag) const {
    std::vector<double> values;
    const auto found = raw_.find(tag);
    if (found == raw_.end()) return values;
    const std::string& text = found->second;
    size_t start = 0;
    for (size_t i = 0; i <= text.size(); ++i) {
        if (i < text.size() && text[i] != '\\') continue;
        const std::string item(Trimmed(std::string_view(text).substr(start, i - start)));
        start = i + 1;
        if (item.empty()) continue;
        char* end = nullptr;
        const double number = std::strtod(item.c_str(), &end);
        if (end == item.c_str() + item.size()) values.push_back(number);
    }
    return values;
}

namespace {

std::string DecodeRun(std::string_view raw, const std::string& set) {
    std::string out;
    if (!set.empty() && ConvertWithIconv(raw, set, out)) return out;
    return Latin1ToUtf8(raw);
}

}  // namespace

std::string DecodeDicomText(std::string_view raw, std::string_view characterSet) {
    const bool ascii = std::all_of(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80 && c != 0x1B; });
    if (ascii) return std::string(raw);
    const std::vector<std::string_view> terms = Terms(characterSet);
    const std::string initial = terms.empty() ? std::string() : IconvName(terms.front());
    // Runs between escape sequences, each in the set its escape designates; the text before
    // the first escape (and after ASCII designations) in the first term's set.
    std::string out;
    std::string set = initial;
    size_t runStart = 0;
    for (size_t i = 0; i <= raw.size(); ++i) {
        if (i < raw.size() && raw[i] != 0x1B) continue;
        out += DecodeRun(raw.substr(runStart, i - runStart), set);
        if (i == raw.size()) break;
        const Designation* found = nullptr;
        for (const Designation& d : kDesignations)
            if (raw.substr(i).substr(0, d.escape.size()) == d.escape) found = &d;
        if (!found) {  // an escape we do not know: shown as a replacement, the rest as before
            out += "\xEF\xBF\xBD";
            runStart = i + 1;
            continue;
        }
        set = found->set ? found->set : initial;
        runStart = found->keepEscape ? i : i + found->escape.size();
        i = runStart == i ? i : runStart - 1;
    }
    return out;
}

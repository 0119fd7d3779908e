#include "GreyAttributeReading.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace {

// Texts of these elements hold a few numbers or names; lookup tables at most 65536 words.
constexpr size_t kMaxText = 4096;
constexpr size_t kMaxTableBytes = 65536 * 2;
constexpr size_t kMaxVoiLuts = 64;
constexpr size_t kMaxFrameItems = 65536;

bool Is(const ElementHeader& h, uint16_t group, uint16_t element) { return h.is(group, element); }

std::string Trimmed(const std::string& text) {
    const char* blanks = " \t\r\n";
    const size_t first = text.find_first_not_of(blanks);
    if (first == std::string::npos) return "";
    return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// The values of a backslash-separated text; a value that is no number becomes NaN.
std::vector<std::string> Values(const std::string& text) {
    std::vector<std::string> values;
    size_t start = 0;
    for (;;) {
        const size_t end = text.find('\\', start);
        values.push_back(Trimmed(text.substr(start, end == std::string::npos ? std::string::npos : end - start)));
        if (end == std::string::npos) return values;
        start = end + 1;
    }
}

double Number(const std::string& value) {
    const char* begin = value.data();
    if (!value.empty() && value[0] == '+') ++begin;
    double parsed = 0.0;
    const auto result = std::from_chars(begin, value.data() + value.size(), parsed);
    if (result.ec != std::errc() || result.ptr != value.data() + value.size())
        return std::numeric_limits<double>::quiet_NaN();
    return parsed;
}

std::vector<double> Numbers(const std::string& text) {
    std::vector<double> numbers;
    if (Trimmed(text).empty()) return numbers;
    for (const std::string& value : Values(text)) numbers.push_back(Number(value));
    return numbers;
}

// The first value of a number text, or the fallback when the text is empty.
double FirstNumber(const std::string& text, double fallback) {
    const std::vector<double> numbers = Numbers(text);
    return numbers.empty() ? fallback : numbers.front();
}

}  // namespace

bool GreyAttributeReader::wants(const ElementHeader& h) {
    if (h.group == 0x0028)
        return (h.element >= 0x1050 && h.element <= 0x1053) || h.element == 0x1055 || h.element == 0x1056 ||
               h.element == 0x3000 || h.element == 0x3010;
    return Is(h, 0x2050, 0x0020) || Is(h, 0x5200, 0x9229) || Is(h, 0x5200, 0x9230);
}

bool GreyAttributeReader::fail(const ElementReader& reader) {
    error_ = reader.error();
    return false;
}

bool GreyAttributeReader::readText(ElementReader& reader, const ElementHeader& h, std::string& text) {
    std::vector<uint8_t> value;
    text.clear();
    if (h.length > kMaxText) return reader.skipValue(h) || fail(reader);
    if (!reader.readValue(h, value, kMaxText)) return fail(reader);
    text.assign(value.begin(), value.end());
    const size_t end = text.find_last_not_of(std::string(" \t\0", 3));
    text.erase(end == std::string::npos ? 0 : end + 1);
    return true;
}

bool GreyAttributeReader::read(ElementReader& reader, const ElementHeader& h, std::string& text) {
    text.clear();
    if (h.group == 0x0028) {
        switch (h.element) {
        case 0x1050: return readText(reader, h, text) && (windows_.centres = text, true);
        case 0x1051: return readText(reader, h, text) && (windows_.widths = text, true);
        case 0x1052: return readText(reader, h, text) && (intercept_ = text, true);
        case 0x1053: return readText(reader, h, text) && (slope_ = text, true);
        case 0x1055: return readText(reader, h, windows_.explanations);
        case 0x1056: return readText(reader, h, windows_.function);
        case 0x3000: return readTable(reader, h, modalityLuts_, 1);
        case 0x3010: return readTable(reader, h, voiLuts_, kMaxVoiLuts);
        default: break;
        }
    }
    if (Is(h, 0x2050, 0x0020)) return readText(reader, h, shape_);
    if (Is(h, 0x5200, 0x9229)) return readGroups(reader, h, shared_, 1);
    if (Is(h, 0x5200, 0x9230)) return readGroups(reader, h, perFrame_, kMaxFrameItems);
    return reader.skipValue(h) || fail(reader);
}

// The items of a Modality or VOI LUT Sequence, up to limit of them.
bool GreyAttributeReader::readTable(ElementReader& reader, const ElementHeader& h, std::vector<RawTable>& tables,
                                    size_t limit) {
    tables.clear();
    const bool ok = reader.forEachItemElement(h, [&](int item, const ElementHeader& e) {
        if (static_cast<size_t>(item) >= limit) return reader.skipValue(e);
        if (tables.size() <= static_cast<size_t>(item)) tables.resize(static_cast<size_t>(item) + 1);
        RawTable& table = tables[static_cast<size_t>(item)];
        std::vector<uint8_t> value;
        if (Is(e, 0x0028, 0x3002)) {
            if (!reader.readValue(e, value, kMaxText)) return false;
            if (value.size() < 6) return true;  // no usable descriptor: the table is refused when used
            for (int i = 0; i < 3; ++i) table.descriptor[i] = reader.u16(&value[2 * i]);
            table.signedFirst = e.hasVr("SS");
            table.hasDescriptor = true;
            return true;
        }
        if (Is(e, 0x0028, 0x3006)) {
            if (!reader.readValue(e, table.data, kMaxTableBytes)) return false;
            if (reader.encoding().bigEndian)
                for (size_t i = 0; i + 1 < table.data.size(); i += 2) std::swap(table.data[i], table.data[i + 1]);
            return true;
        }
        if (Is(e, 0x0028, 0x3003)) return readText(reader, e, table.explanation);
        return reader.skipValue(e);
    });
    return ok || fail(reader);
}

// The items of the shared or per-frame functional groups: each one's Pixel Value
// Transformation (rescale) and Frame VOI LUT (windows) items.
bool GreyAttributeReader::readGroups(ElementReader& reader, const ElementHeader& h, std::vector<RawGroups>& groups,
                                     size_t limit) {
    groups.clear();
    const bool ok = reader.forEachItemElement(h, [&](int item, const ElementHeader& e) {
        if (static_cast<size_t>(item) >= limit) return reader.skipValue(e);
        if (groups.size() <= static_cast<size_t>(item)) groups.resize(static_cast<size_t>(item) + 1);
        RawGroups& group = groups[static_cast<size_t>(item)];
        if (Is(e, 0x0028, 0x9145))
            return reader.forEachItemElement(e, [&](int, const ElementHeader& f) {
                if (Is(f, 0x0028, 0x1052)) return (group.hasRescale = true) && readText(reader, f, group.intercept);
                if (Is(f, 0x0028, 0x1053)) return (group.hasRescale = true) && readText(reader, f, group.slope);
                return reader.skipValue(f);
            }, 1);
        if (Is(e, 0x0028, 0x9132))
            return reader.forEachItemElement(e, [&](int, const ElementHeader& f) {
                if (Is(f, 0x0028, 0x1050)) return readText(reader, f, group.windows.centres);
                if (Is(f, 0x0028, 0x1051)) return readText(reader, f, group.windows.widths);
                if (Is(f, 0x0028, 0x1055)) return readText(reader, f, group.windows.explanations);
                if (Is(f, 0x0028, 0x1056)) return readText(reader, f, group.windows.function);
                return reader.skipValue(f);
            }, 1);
        return reader.skipValue(e);
    });
    return ok || fail(reader);
}

namespace {

std::vector<VoiWindow> Windows(const std::string& centreText, const std::string& widthText,
                               const std::string& explanationText) {
    const std::vector<double> centres = Numbers(centreText), widths = Numbers(widthText);
    const std::vector<std::string> explanations = Values(explanationText);
    std::vector<VoiWindow> windows;
    for (size_t i = 0; i < std::min(centres.size(), widths.size()); ++i)
        windows.push_back({centres[i], widths[i], i < explanations.size() ? explanations[i] : ""});
    return windows;
}

}  // namespace

GreyAttributes GreyAttributeReader::finish(uint16_t pixelRepresentation) const {
    GreyAttributes grey;
    grey.slope = FirstNumber(slope_, 1.0);
    grey.intercept = FirstNumber(intercept_, 0.0);
    grey.windows = Windows(windows_.centres, windows_.widths, windows_.explanations);
    grey.function = Trimmed(windows_.function);
    grey.presentationShape = Trimmed(shape_);
    auto table = [&](const RawTable& raw, const std::string& what) {
        LookupTable t;
        t.explanation = Trimmed(raw.explanation);
        if (!raw.hasDescriptor) {
            t.problem = what + " has no usable LUT Descriptor";
            return t;
        }
        t.entries = raw.descriptor[0] == 0 ? 65536u : raw.descriptor[0];
        const bool isSigned = raw.signedFirst || pixelRepresentation != 0;
        t.firstMapped = isSigned ? static_cast<int16_t>(raw.descriptor[1]) : raw.descriptor[1];
        t.bits = raw.descriptor[2];
        for (size_t i = 0; i + 1 < raw.data.size(); i += 2)
            t.data.push_back(static_cast<uint16_t>(raw.data[i] | (raw.data[i + 1] << 8)));
        CheckLookupTable(t, what, t.problem);
        return t;
    };
    if (!modalityLuts_.empty()) {
        grey.hasModalityLut = true;
        grey.modalityLut = table(modalityLuts_.front(), "the Modality LUT");
    }
    for (size_t i = 0; i < voiLuts_.size(); ++i)
        grey.voiLuts.push_back(table(voiLuts_[i], "VOI LUT " + std::to_string(i + 1)));
    auto groups = [&](const RawGroups& raw) {
        FrameGroups g;
        g.hasRescale = raw.hasRescale;
        g.slope = FirstNumber(raw.slope, 1.0);
        g.intercept = FirstNumber(raw.intercept, 0.0);
        g.hasWindows = raw.windows.any();
        g.windows = Windows(raw.windows.centres, raw.windows.widths, raw.windows.explanations);
        g.function = Trimmed(raw.windows.function);
        return g;
    };
    if (!shared_.empty()) {
        grey.hasShared = true;
        grey.shared = groups(shared_.front());
    }
    for (const RawGroups& raw : perFrame_) grey.perFrame.push_back(groups(raw));
    return grey;
}

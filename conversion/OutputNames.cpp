#include "OutputNames.h"

#include <algorithm>
#include <cctype>
#include <set>

#include "TextAttributes.h"

namespace convert {

namespace {

struct Field {
    const char* name;
    uint32_t tag;  // 0 for the fields that do not come from the data set
};

constexpr Field kFields[] = {
    {"PatientID", tags::PatientId},
    {"PatientName", tags::PatientName},
    {"StudyDate", tags::StudyDate},
    {"StudyTime", tags::StudyTime},
    {"StudyDescription", tags::StudyDescription},
    {"AccessionNumber", tags::AccessionNumber},
    {"Modality", tags::Modality},
    {"SeriesNumber", tags::SeriesNumber},
    {"SeriesDescription", tags::SeriesDescription},
    {"InstanceNumber", tags::InstanceNumber},
    {"SOPInstanceUID", tags::SopInstanceUid},
    {"StudyInstanceUID", tags::StudyInstanceUid},
    {"SeriesInstanceUID", tags::SeriesInstanceUid},
    {"frame", 0},
    {"stem", 0},
    {"rel", 0},
};

const Field* FindField(const std::string& name) {
    for (const Field& field : kFields)
        if (name == field.name) return &field;
    return nullptr;
}

std::string KnownFields() {
    std::string text;
    for (const Field& field : kFields) text += std::string(text.empty() ? "" : " ") + "{" + field.name + "}";
    return text;
}

// "{Name}" or "{Name:0N}" starting at text[open]; the piece and the index after '}'.
bool ParseField(const std::string& text, size_t open, NamePattern::Piece& piece, size_t& after, std::string& error) {
    const size_t close = text.find_first_of("{}", open + 1);
    if (close == std::string::npos || text[close] != '}') {
        error = "--name: unbalanced '{' in '" + text + "'";
        return false;
    }
    const std::string inside = text.substr(open + 1, close - open - 1);
    const size_t colon = inside.find(':');
    piece.field = inside.substr(0, colon);
    if (FindField(piece.field) == nullptr) {
        error = "--name: unknown field {" + piece.field + "}; the fields are " + KnownFields();
        return false;
    }
    if (colon != std::string::npos) {
        const std::string spec = inside.substr(colon + 1);
        const bool digits = spec.size() >= 2 && spec.size() <= 3 && spec[0] == '0' &&
                            std::all_of(spec.begin() + 1, spec.end(), [](char c) { return c >= '0' && c <= '9'; });
        piece.width = digits ? std::stoi(spec.substr(1)) : 0;
        if (piece.width < 1) {
            error = "--name: padding is written :0N with N from 1 to 99, as in {InstanceNumber:04}, not {" + inside + "}";
            return false;
        }
    }
    after = close + 1;
    return true;
}

bool IsWindowsDevice(const std::string& component) {
    std::string base = component.substr(0, component.find('.'));
    while (!base.empty() && base.back() == ' ') base.pop_back();
    for (char& c : base) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    if (base == "CON" || base == "PRN" || base == "AUX" || base == "NUL" || base == "CONIN$" || base == "CONOUT$")
        return true;
    return base.size() == 4 && (base.rfind("COM", 0) == 0 || base.rfind("LPT", 0) == 0) && base[3] >= '0' &&
           base[3] <= '9';
}

void TrimEnds(std::string& text) {
    const auto trimmed = [](char c) { return c == ' ' || c == '.'; };
    size_t first = 0;
    while (first < text.size() && text[first] == ' ') ++first;
    text.erase(0, first);
    while (!text.empty() && trimmed(text.back())) text.pop_back();
}

std::string Padded(std::string value, int width) {
    const bool number = !value.empty() && std::all_of(value.begin(), value.end(), [](char c) { return c >= '0' && c <= '9'; });
    if (number && static_cast<int>(value.size()) < width) value.insert(0, static_cast<size_t>(width) - value.size(), '0');
    return value;
}

std::string FieldValue(const NamePattern::Piece& piece, const NameValues& values) {
    if (piece.field == "frame") return std::to_string(values.frame);
    if (piece.field == "stem") return values.stem;
    const auto found = values.attributes.find(FindField(piece.field)->tag);
    return found == values.attributes.end() ? "" : found->second;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

}  // namespace

bool NamePattern::uses(const std::string& field) const {
    for (const auto& component : components)
        for (const Piece& piece : component)
            if (piece.field == field) return true;
    return false;
}

bool NamePattern::usesAttributes() const {
    for (const auto& component : components)
        for (const Piece& piece : component)
            if (!piece.field.empty() && FindField(piece.field)->tag != 0) return true;
    return false;
}

bool ParseNamePattern(const std::string& text, NamePattern& pattern, std::string& error) {
    pattern = NamePattern{};
    if (text.empty()) {
        error = "--name needs a pattern, e.g. " + std::string(kDicomDirPattern);
        return false;
    }
    std::vector<NamePattern::Piece> component;
    std::string literal;
    const auto endComponent = [&]() {
        if (!literal.empty()) component.push_back({literal, "", 0});
        literal.clear();
        const bool dots = component.size() == 1 && component[0].field.empty() &&
                          (component[0].literal == ".." || component[0].literal == ".");
        if (component.empty() || dots) {
            error = "--name: '" + text + "' has an empty, '.' or '..' folder name; folders are separated by single '/'";
            return false;
        }
        pattern.components.push_back(std::move(component));
        component.clear();
        return true;
    };
    for (size_t i = 0; i < text.size();) {
        const char c = text[i];
        if (c == '}') {
            error = "--name: unbalanced '}' in '" + text + "'";
            return false;
        }
        if (c == '/') {
            if (!endComponent()) return false;
            ++i;
            continue;
        }
        if (c != '{') {
            literal += c;
            ++i;
            continue;
        }
        if (!literal.empty()) component.push_back({literal, "", 0});
        literal.clear();
        NamePattern::Piece piece;
        if (!ParseField(text, i, piece, i, error)) return false;
        component.push_back(piece);
    }
    return endComponent();
}

void TakeNameAttributes(const TextAttributes& text, std::map<uint32_t, std::string>& attributes) {
    for (const Field& field : kFields) {
        if (field.tag == 0) continue;
        std::string value = text.value(field.tag);
        if (!value.empty()) attributes[field.tag] = std::move(value);
    }
}

void CutUtf8(std::string& text, size_t limit) {
    if (text.size() <= limit) return;
    size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
    text.resize(end);
}

std::string SafeComponent(const std::string& text) {
    std::string safe = text;
    for (char& c : safe) {
        const unsigned char u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || std::string_view("/\\<>:\"|?*").find(c) != std::string_view::npos) c = '_';
    }
    TrimEnds(safe);
    if (IsWindowsDevice(safe)) safe.insert(0, "_");
    CutUtf8(safe, kMaxComponentBytes);
    TrimEnds(safe);
    return safe.empty() ? "unknown" : safe;
}

std::string ApplyNamePattern(const NamePattern& pattern, const NameValues& values) {
    std::string path;
    for (const auto& component : pattern.components) {
        // {rel} stands for folders of its own: "{rel}" alone keeps the input's sub-folders.
        if (component.size() == 1 && component[0].field == "rel") {
            if (values.rel.empty()) continue;
            size_t start = 0;
            for (size_t i = 0; i <= values.rel.size(); ++i) {
                if (i < values.rel.size() && values.rel[i] != '/') continue;
                if (i > start) path += (path.empty() ? "" : "/") + SafeComponent(values.rel.substr(start, i - start));
                start = i + 1;
            }
            continue;
        }
        std::string text;
        for (const NamePattern::Piece& piece : component) {
            if (piece.field.empty()) {
                text += piece.literal;
                continue;
            }
            std::string value = piece.field == "rel" ? values.rel : FieldValue(piece, values);
            // Each value is made safe by itself, so an empty one shows as "unknown" in place.
            value = SafeComponent(value);
            text += Padded(value, piece.width);
        }
        path += (path.empty() ? "" : "/") + SafeComponent(text);
    }
    return path.empty() ? "unknown" : path;
}

std::vector<std::string> UniqueNames(const std::vector<std::string>& names) {
    std::set<std::string> taken;
    std::vector<std::string> unique;
    unique.reserve(names.size());
    for (const std::string& name : names) {
        std::string candidate = name;
        for (int n = 2; !taken.insert(Lower(candidate)).second; ++n) candidate = name + "_" + std::to_string(n);
        unique.push_back(candidate);
    }
    return unique;
}

}  // namespace convert

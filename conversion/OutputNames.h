// Output names built from a data set's attributes (--name, the window's naming choice and
// DICOMDIR inputs): the pattern, the values made safe for every file system, and the
// suffixes that keep two inputs from writing one file.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

class TextAttributes;

namespace convert {

// A parsed pattern: literal text and fields, with '/' separating folders.
struct NamePattern {
    struct Piece {
        std::string literal;  // text as written, when field is empty
        std::string field;    // "PatientID", "frame", "stem", ...
        int width = 0;        // zero padding of {Field:0N}
    };
    std::vector<std::vector<Piece>> components;  // one list of pieces per path component

    bool empty() const { return components.empty(); }
    bool uses(const std::string& field) const;
    // Whether any field comes from the data set (so every input's header must be read).
    bool usesAttributes() const;
};

// The naming of DICOMDIR inputs when no pattern is given.
inline constexpr const char* kDicomDirPattern =
    "{PatientID}/{StudyDate}_{StudyDescription}/{SeriesNumber}_{SeriesDescription}/{InstanceNumber}";
// The window's batch presets: names from the file name (no pattern), and this tree.
inline constexpr const char* kPatientStudySeriesPattern = kDicomDirPattern;

// Parses --name's text; false with the reason when a field is unknown, a brace is unbalanced,
// the padding is not written :0N, or a component is empty or "..".
bool ParseNamePattern(const std::string& text, NamePattern& pattern, std::string& error);

// The values one input gives the fields: attributes by tag (UTF-8), the input's name without
// extension, its folder relative to its input folder, and the frame number.
struct NameValues {
    std::map<uint32_t, std::string> attributes;
    std::string stem;
    std::string rel;  // '/'-separated, may be empty
    int frame = 0;
};

// Copies the non-empty values of the attributes the fields name, covering those there.
void TakeNameAttributes(const TextAttributes& text, std::map<uint32_t, std::string>& attributes);

// The output path relative to the output folder, without extension: every value made safe
// (SafeComponent), an empty value as "unknown".
std::string ApplyNamePattern(const NamePattern& pattern, const NameValues& values);

// A path component any file system takes: no '/', '\', control characters or characters
// Windows refuses (<>:"|?*) — each becomes '_'; spaces and dots trimmed from the ends; a
// Windows device name (CON, NUL, COM1, ...) prefixed with '_'; cut to 100 bytes on a UTF-8
// boundary; "unknown" when nothing is left.
std::string SafeComponent(const std::string& text);
// Cuts to at most `limit` bytes without splitting a UTF-8 sequence.
void CutUtf8(std::string& text, size_t limit);
constexpr size_t kMaxComponentBytes = 100;

// Gives the names in list order a "_2", "_3", ... suffix when an earlier one (or one made
// so) is the same, ignoring letter case so that case-insensitive file systems agree too.
// Names are relative paths without extension; the suffix goes on the last component.
std::vector<std::string> UniqueNames(const std::vector<std::string>& names);

}  // namespace convert

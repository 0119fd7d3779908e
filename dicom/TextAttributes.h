#pragma once
// The descriptive attributes of a data set's top level (patient, study, series, instance,
// cine timing), kept as text by every parse, the header step included, and given out as
// UTF-8 after the Specific Character Set. No Qt.

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

constexpr uint32_t Tag(uint16_t group, uint16_t element) { return (uint32_t{group} << 16) | element; }

namespace tags {
constexpr uint32_t SpecificCharacterSet = Tag(0x0008, 0x0005);
constexpr uint32_t StudyDate = Tag(0x0008, 0x0020);
constexpr uint32_t StudyTime = Tag(0x0008, 0x0030);
constexpr uint32_t AccessionNumber = Tag(0x0008, 0x0050);
constexpr uint32_t Modality = Tag(0x0008, 0x0060);
constexpr uint32_t SopInstanceUid = Tag(0x0008, 0x0018);
constexpr uint32_t StudyDescription = Tag(0x0008, 0x1030);
constexpr uint32_t SeriesDescription = Tag(0x0008, 0x103E);
constexpr uint32_t StartTrim = Tag(0x0008, 0x2142);
constexpr uint32_t StopTrim = Tag(0x0008, 0x2143);
constexpr uint32_t RecommendedDisplayFrameRate = Tag(0x0008, 0x2144);
constexpr uint32_t PatientName = Tag(0x0010, 0x0010);
constexpr uint32_t PatientId = Tag(0x0010, 0x0020);
constexpr uint32_t BodyPartExamined = Tag(0x0018, 0x0015);
constexpr uint32_t CineRate = Tag(0x0018, 0x0040);
constexpr uint32_t FrameTime = Tag(0x0018, 0x1063);
constexpr uint32_t FrameTimeVector = Tag(0x0018, 0x1065);
constexpr uint32_t StudyInstanceUid = Tag(0x0020, 0x000D);
constexpr uint32_t SeriesInstanceUid = Tag(0x0020, 0x000E);
constexpr uint32_t SeriesNumber = Tag(0x0020, 0x0011);
constexpr uint32_t InstanceNumber = Tag(0x0020, 0x0013);
constexpr uint32_t ImagePositionPatient = Tag(0x0020, 0x0032);
constexpr uint32_t ImageOrientationPatient = Tag(0x0020, 0x0037);
}  // namespace tags

class TextAttributes {
public:
    // Whether the parse keeps this top-level element, and at most how many bytes of it
    // (0: not kept). A longer value is skipped and reads as absent.
    static size_t keptLength(uint32_t tag);

    void clear() { raw_.clear(); }
    void keep(uint32_t tag, std::string raw) { raw_[tag] = std::move(raw); }

    bool has(uint32_t tag) const { return raw_.count(tag) != 0; }
    // The value as UTF-8, padding and surrounding spaces removed (multiple values keep their
    // backslashes); empty when absent. Bytes the character set cannot map become U+FFFD.
    std::string value(uint32_t tag) const;
    // The value's numbers separated by backslashes (DS, IS); those that do not parse are left out.
    std::vector<double> numbers(uint32_t tag) const;

private:
    std::map<uint32_t, std::string> raw_;
};

// Text in the given Specific Character Set value (e.g. "ISO_IR 100", "ISO_IR 192", "GB18030",
// "\ISO 2022 IR 87") as UTF-8. No value means the default repertoire; bytes above 0x7F are
// then taken as Latin-1, which is what files without the attribute mostly hold.
std::string DecodeDicomText(std::string_view raw, std::string_view characterSet);

#pragma once
// Reading the elements that take part in the grey rendering while the data set is walked:
// windows and their explanations and function, rescale, the Modality and VOI LUT Sequences,
// the Presentation LUT Shape, and the windows and rescales of enhanced images' shared and
// per-frame functional groups.

#include <string>
#include <vector>

#include "ElementReader.h"
#include "GreyRendering.h"

class GreyAttributeReader {
public:
    // Whether the element is one this reader takes.
    static bool wants(const ElementHeader& header);
    // Reads the element's value. For the window and rescale elements the value's text
    // (trailing blanks cut) goes to text; it is empty for the others. False with the reason
    // in error() when the value cannot be read.
    bool read(ElementReader& reader, const ElementHeader& header, std::string& text);
    const std::string& error() const { return error_; }
    // The attributes gathered, with the tables checked; signed LUT first values when the
    // descriptor says SS or the pixels are signed.
    GreyAttributes finish(uint16_t pixelRepresentation) const;

private:
    // Window values as they arrive: several texts, combined once the data set is read.
    struct WindowTexts {
        std::string centres, widths, explanations, function;
        bool any() const { return !centres.empty() || !widths.empty(); }
    };
    struct RawTable {
        uint16_t descriptor[3] = {0, 0, 0};
        bool signedFirst = false;
        bool hasDescriptor = false;
        std::vector<uint8_t> data;  // little-endian words
        std::string explanation;
    };
    struct RawGroups {
        bool hasRescale = false;
        std::string slope, intercept;
        WindowTexts windows;
    };

    bool readTable(ElementReader& reader, const ElementHeader& header, std::vector<RawTable>& tables, size_t limit);
    bool readGroups(ElementReader& reader, const ElementHeader& header, std::vector<RawGroups>& groups, size_t limit);
    bool readText(ElementReader& reader, const ElementHeader& header, std::string& text);
    bool fail(const ElementReader& reader);

    WindowTexts windows_;
    std::string slope_, intercept_, shape_;
    std::vector<RawTable> modalityLuts_, voiLuts_;
    std::vector<RawGroups> shared_, perFrame_;
    std::string error_;
};

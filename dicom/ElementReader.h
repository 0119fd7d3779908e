#pragma once
// One element-header reader for the meta group and the data set alike: explicit or implicit
// VR, little or big endian, as the transfer syntax says. Values are read or skipped by their
// lengths; sequences of undefined length are walked item by item to their delimiter.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "DicomSource.h"

struct DataSetEncoding {
    bool explicitVr = true;
    bool bigEndian = false;
};

struct ElementHeader {
    uint16_t group = 0;
    uint16_t element = 0;
    char vr[2] = {'U', 'N'};
    uint16_t reserved = 0;  // the two bytes before a long-form length
    uint32_t length = 0;
    bool undefinedLength() const { return length == 0xFFFFFFFFu; }
    bool is(uint16_t g, uint16_t e) const { return group == g && element == e; }
    bool hasVr(const char* text) const { return vr[0] == text[0] && vr[1] == text[1]; }
};

// Sequences nest far less deeply in real files; the limit keeps hostile files off the stack.
constexpr int kMaxNesting = 64;

class ElementReader {
public:
    ElementReader(DicomSource& source, DataSetEncoding encoding) : source_(source), encoding_(encoding) {}

    enum class Next { Element, End, Error };
    // Reads the next element's tag, VR and length. End when the source ends before a tag.
    Next next(ElementHeader& header);
    // The rest of a header whose group and element were read already: VR and length.
    bool readHeaderAfterTag(ElementHeader& header);
    // Reads the value of a header of defined length, at most limit bytes (a longer value is
    // refused). Numbers in it stay in the file's byte order.
    bool readValue(const ElementHeader& header, std::vector<uint8_t>& value, size_t limit);
    // Skips the value, walking a sequence of undefined length to its delimiter.
    bool skipValue(const ElementHeader& header);
    // Walks the items of a sequence (defined or undefined length, items likewise) and calls
    // visit(item index from 0, header) for each element directly inside an item; visit
    // reads or skips the value (a nested sequence through this call with depth + 1).
    // Items of a UN value are read as implicit VR little endian.
    using ItemVisitor = std::function<bool(int item, const ElementHeader& header)>;
    bool forEachItemElement(const ElementHeader& sequence, const ItemVisitor& visit, int depth = 0);
    // Reads an item tag (FFFE,xxxx) and its 32-bit length.
    bool readItemHeader(uint16_t& element, uint32_t& length);

    uint16_t u16(const uint8_t* b) const;
    uint32_t u32(const uint8_t* b) const;
    bool read16(uint16_t& value);
    bool read32(uint32_t& value);

    DicomSource& source() { return source_; }
    const DataSetEncoding& encoding() const { return encoding_; }
    const std::string& error() const { return error_; }
    bool fail(std::string text);

private:
    bool skipItems(bool implicitVr, int depth);
    bool walkItems(const ElementHeader& sequence, const ItemVisitor& visit);
    bool walkItemElements(int item, uint32_t length, const ItemVisitor& visit);
    bool skipItemElements(bool implicitVr, int depth);
    bool skipElement(const ElementHeader& header, int depth);

    DicomSource& source_;
    DataSetEncoding encoding_;
    std::string error_;
};

// Value representations written with 2 reserved bytes and a 32-bit length.
bool IsLongFormVr(const char vr[2]);
// The two VR characters, with unprintable bytes as \xNN.
std::string VrText(const char vr[2]);

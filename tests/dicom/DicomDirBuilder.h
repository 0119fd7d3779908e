// Builds DICOMDIRs byte by byte: records as items of (0004,1220) with their links written as
// the byte offsets of the records they name, or as any offset a test wants to lie with.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "DicomFileBuilder.h"

namespace dicomtest {

struct DirRecord {
    std::string type;
    std::string fileId;     // backslash-separated; empty: none
    int next = -1;          // index of the next record of the entity, -1: none
    int lower = -1;         // index of the first record of the entity below, -1: none
    long long nextRaw = -1; // written instead of the link when >= 0
    long long lowerRaw = -1;
    std::vector<std::pair<uint32_t, std::string>> attributes;  // tag -> value
};

class DicomDirBuilder {
public:
    std::vector<uint8_t> build(const std::vector<DirRecord>& records, int root = 0, long long rootRaw = -1) const {
        // Item sizes do not depend on the offsets written in them: lay out, then write.
        std::vector<std::vector<uint8_t>> items;
        for (const DirRecord& r : records) items.push_back(item(r, {}));
        DicomFileBuilder head;
        const size_t start = head.bytes().size() + 12 + 12;  // (0004,1200) UL, then the SQ header
        std::vector<uint32_t> offsets;
        size_t at = start;
        for (const auto& i : items) {
            offsets.push_back(static_cast<uint32_t>(at));
            at += i.size();
        }
        std::vector<uint8_t> sequence;
        for (const DirRecord& r : records) {
            const std::vector<uint8_t> built = item(r, offsets);
            sequence.insert(sequence.end(), built.begin(), built.end());
        }
        const uint32_t rootOffset = rootRaw >= 0 ? static_cast<uint32_t>(rootRaw) : root < 0 ? 0 : offsets.at(root);
        head.shortElement(0x0004, 0x1200, "UL", le32(rootOffset));
        head.longElement(0x0004, 0x1220, "SQ", sequence);
        return head.bytes();
    }

    static std::vector<uint8_t> le32(uint32_t v) {
        return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8), static_cast<uint8_t>(v >> 16),
                static_cast<uint8_t>(v >> 24)};
    }

private:
    static uint32_t link(int index, long long raw, const std::vector<uint32_t>& offsets) {
        if (raw >= 0) return static_cast<uint32_t>(raw);
        if (index < 0 || offsets.empty()) return 0;
        return offsets.at(static_cast<size_t>(index));
    }

    static void element(std::vector<uint8_t>& out, uint32_t tag, const char* vr, std::vector<uint8_t> value) {
        DicomFileBuilder::putTag(out, static_cast<uint16_t>(tag >> 16), static_cast<uint16_t>(tag));
        out.insert(out.end(), {static_cast<uint8_t>(vr[0]), static_cast<uint8_t>(vr[1])});
        DicomFileBuilder::put16(out, static_cast<uint16_t>(value.size()));
        out.insert(out.end(), value.begin(), value.end());
    }

    static std::vector<uint8_t> textValue(std::string text) {
        if (text.size() % 2) text += ' ';
        return std::vector<uint8_t>(text.begin(), text.end());
    }

    static std::vector<uint8_t> item(const DirRecord& r, const std::vector<uint32_t>& offsets) {
        std::vector<uint8_t> body;
        element(body, 0x00041400, "UL", le32(link(r.next, r.nextRaw, offsets)));
        element(body, 0x00041420, "UL", le32(link(r.lower, r.lowerRaw, offsets)));
        element(body, 0x00041430, "CS", textValue(r.type));
        if (!r.fileId.empty()) element(body, 0x00041500, "CS", textValue(r.fileId));
        for (const auto& [tag, value] : r.attributes) element(body, tag, "LO", textValue(value));
        std::vector<uint8_t> out;
        DicomFileBuilder::putTag(out, 0xFFFE, 0xE000);
        DicomFileBuilder::put32(out, static_cast<uint32_t>(body.size()));
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
};

}  // namespace dicomtest

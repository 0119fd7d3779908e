// Builds small DICOM files (preamble, "DICM", file meta group, then the data set) byte by
// byte for the tests of every layer.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace dicomtest {

constexpr const char* kExplicitLittle = "1.2.840.10008.1.2.1";

class DicomFileBuilder {
public:
    // Preamble, "DICM" and a file meta group naming the transfer syntax; the UID value is
    // padded to an even length with padByte (a zero byte by default).
    explicit DicomFileBuilder(const std::string& transferSyntax = kExplicitLittle, char padByte = '\0') {
        bytes_.assign(128, 0);
        append("DICM");
        std::vector<uint8_t> meta;
        DicomFileBuilder::putTag(meta, 0x0002, 0x0001);
        meta.insert(meta.end(), {'O', 'B', 0, 0, 2, 0, 0, 0, 0, 1});
        std::string uid = transferSyntax;
        if (uid.size() % 2) uid += padByte;
        DicomFileBuilder::putTag(meta, 0x0002, 0x0010);
        meta.insert(meta.end(), {'U', 'I'});
        put16(meta, static_cast<uint16_t>(uid.size()));
        meta.insert(meta.end(), uid.begin(), uid.end());
        putTag(bytes_, 0x0002, 0x0000);
        bytes_.insert(bytes_.end(), {'U', 'L', 4, 0});
        put32(bytes_, static_cast<uint32_t>(meta.size()));
        bytes_.insert(bytes_.end(), meta.begin(), meta.end());
    }

    // A short-form element (16-bit length) with the given value bytes.
    DicomFileBuilder& shortElement(uint16_t group, uint16_t element, const char* vr,
                                   const std::vector<uint8_t>& value) {
        putTag(bytes_, group, element);
        bytes_.insert(bytes_.end(), {static_cast<uint8_t>(vr[0]), static_cast<uint8_t>(vr[1])});
        put16(bytes_, static_cast<uint16_t>(value.size()));
        bytes_.insert(bytes_.end(), value.begin(), value.end());
        return *this;
    }
    DicomFileBuilder& us(uint16_t group, uint16_t element, uint16_t value) {
        return shortElement(group, element, "US", {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8)});
    }
    // A text element, padded with a blank to an even length.
    DicomFileBuilder& text(uint16_t group, uint16_t element, const char* vr, std::string value) {
        if (value.size() % 2) value += ' ';
        return shortElement(group, element, vr, std::vector<uint8_t>(value.begin(), value.end()));
    }
    // A long-form element (2 reserved bytes, 32-bit length). With undefinedLength the length
    // is 0xFFFFFFFF and the value bytes are written as they are (they carry their delimiter).
    DicomFileBuilder& longElement(uint16_t group, uint16_t element, const char* vr,
                                  const std::vector<uint8_t>& value, bool undefinedLength = false,
                                  uint16_t reserved = 0) {
        putTag(bytes_, group, element);
        bytes_.insert(bytes_.end(), {static_cast<uint8_t>(vr[0]), static_cast<uint8_t>(vr[1])});
        put16(bytes_, reserved);
        put32(bytes_, undefinedLength ? 0xFFFFFFFFu : static_cast<uint32_t>(value.size()));
        bytes_.insert(bytes_.end(), value.begin(), value.end());
        return *this;
    }
    // Rows, columns and the usual 16-bit unsigned layout; the photometric interpretation is
    // written only when one is given.
    DicomFileBuilder& picture(uint16_t rows, uint16_t columns, uint16_t bitsAllocated = 16,
                              uint16_t highBit = 15, uint16_t pixelRepresentation = 0,
                              const char* photometric = nullptr) {
        us(0x0028, 0x0002, 1);
        if (photometric) text(0x0028, 0x0004, "CS", photometric);
        us(0x0028, 0x0010, rows);
        us(0x0028, 0x0011, columns);
        us(0x0028, 0x0100, bitsAllocated);
        us(0x0028, 0x0101, static_cast<uint16_t>(highBit + 1));
        us(0x0028, 0x0102, highBit);
        return us(0x0028, 0x0103, pixelRepresentation);
    }
    DicomFileBuilder& pixels16(const std::vector<uint16_t>& samples, const char* vr = "OW") {
        std::vector<uint8_t> value;
        for (uint16_t s : samples) put16(value, s);
        return longElement(0x7FE0, 0x0010, vr, value);
    }
    DicomFileBuilder& pixels8(const std::vector<uint8_t>& samples) {
        std::vector<uint8_t> value = samples;
        if (value.size() % 2) value.push_back(0);
        return longElement(0x7FE0, 0x0010, "OB", value);
    }
    DicomFileBuilder& raw(const std::vector<uint8_t>& extra) {
        bytes_.insert(bytes_.end(), extra.begin(), extra.end());
        return *this;
    }

    const std::vector<uint8_t>& bytes() const { return bytes_; }

    static void put16(std::vector<uint8_t>& out, uint16_t v) {
        out.push_back(static_cast<uint8_t>(v));
        out.push_back(static_cast<uint8_t>(v >> 8));
    }
    static void put32(std::vector<uint8_t>& out, uint32_t v) {
        put16(out, static_cast<uint16_t>(v));
        put16(out, static_cast<uint16_t>(v >> 16));
    }
    static void putTag(std::vector<uint8_t>& out, uint16_t group, uint16_t element) {
        put16(out, group);
        put16(out, element);
    }
    // An item or delimiter tag (FFFE,xxxx) with its 32-bit length.
    static std::vector<uint8_t> itemTag(uint16_t element, uint32_t length) {
        std::vector<uint8_t> out;
        putTag(out, 0xFFFE, element);
        put32(out, length);
        return out;
    }

private:
    void append(const char* s) {
        for (; *s; ++s) bytes_.push_back(static_cast<uint8_t>(*s));
    }
    std::vector<uint8_t> bytes_;
};

}  // namespace dicomtest

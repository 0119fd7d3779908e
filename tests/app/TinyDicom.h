// Writes small, valid DICOM files (preamble, "DICM", file meta group; Explicit VR Little Endian,
// 16 bits allocated, one sample per pixel) for the application tests.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace tinydicom {

class Bytes {
public:
    void U16(uint16_t v) { out.push_back(v & 0xFF); out.push_back(v >> 8); }
    void U32(uint32_t v) { U16(v & 0xFFFF); U16(v >> 16); }
    void Text(const std::string& s) { out.insert(out.end(), s.begin(), s.end()); }
    void Tag(uint16_t group, uint16_t element, const char* vr) {
        U16(group);
        U16(element);
        Text(vr);
    }
    // Short-form element with a 16-bit length; text values are padded to an even length.
    void ShortText(uint16_t group, uint16_t element, const char* vr, std::string value,
                   char pad = ' ') {
        if (value.size() % 2) value += pad;
        Tag(group, element, vr);
        U16(static_cast<uint16_t>(value.size()));
        Text(value);
    }
    void US(uint16_t group, uint16_t element, uint16_t value) {
        Tag(group, element, "US");
        U16(2);
        U16(value);
    }
    std::vector<uint8_t> out;
};

// A picture of width x height 16-bit samples, row by row from the top.
inline std::vector<uint8_t> Make(uint16_t width, uint16_t height,
                                 const std::vector<uint16_t>& samples,
                                 const char* transferSyntax = "1.2.840.10008.1.2.1") {
    Bytes meta;
    meta.ShortText(0x0002, 0x0010, "UI", transferSyntax, '\0');
    Bytes file;
    file.out.assign(128, 0);
    file.Text("DICM");
    file.Tag(0x0002, 0x0000, "UL");
    file.U16(4);
    file.U32(static_cast<uint32_t>(meta.out.size()));
    file.out.insert(file.out.end(), meta.out.begin(), meta.out.end());
    file.US(0x0028, 0x0002, 1);
    file.ShortText(0x0028, 0x0004, "CS", "MONOCHROME2");
    file.US(0x0028, 0x0010, height);
    file.US(0x0028, 0x0011, width);
    file.US(0x0028, 0x0100, 16);
    file.US(0x0028, 0x0101, 16);
    file.US(0x0028, 0x0102, 15);
    file.US(0x0028, 0x0103, 0);
    file.Tag(0x7FE0, 0x0010, "OW");
    file.U16(0);
    file.U32(static_cast<uint32_t>(samples.size() * 2));
    for (uint16_t s : samples) file.U16(s);
    return file.out;
}

// A picture whose samples rise along each row (left dark, right bright), distinct per seed
// so two files never convert to the same picture.
inline std::vector<uint8_t> MakeRamp(uint16_t width, uint16_t height, uint16_t seed = 0) {
    std::vector<uint16_t> samples(static_cast<size_t>(width) * height);
    for (size_t y = 0; y < height; ++y)
        for (size_t x = 0; x < width; ++x)
            samples[y * width + x] = static_cast<uint16_t>(x * 100 + y * (7 + seed) + seed * 13);
    return Make(width, height, samples);
}

inline void Write(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary);
    f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

}  // namespace tinydicom

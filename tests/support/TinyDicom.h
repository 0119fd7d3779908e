// Small, valid DICOM files for the application tests (Explicit VR Little Endian, 16 bits
// allocated, one sample per pixel, MONOCHROME2), written with the shared DicomFileBuilder.
#pragma once

#include <cstdint>
#include <vector>

#include "DicomFileBuilder.h"

namespace tinydicom {

// A picture of width x height 16-bit samples, row by row from the top.
inline std::vector<uint8_t> Make(uint16_t width, uint16_t height,
                                 const std::vector<uint16_t>& samples,
                                 const char* transferSyntax = dicomtest::kExplicitLittle) {
    dicomtest::DicomFileBuilder b(transferSyntax);
    b.picture(height, width, 16, 15, 0, "MONOCHROME2").pixels16(samples);
    return b.bytes();
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

}  // namespace tinydicom

#include "PixelLayout.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "GreyConversion.h"

size_t PixelLayout::frameSamples() const {
    if (photometric == Photometric::YbrFull422) return pixels() * 2;
    return pixels() * samplesPerPixel;
}

bool ParsePhotometric(const std::string& text, uint16_t samplesPerPixel, Photometric& photometric) {
    if (samplesPerPixel == 1) {
        if (text == "PALETTE COLOR") photometric = Photometric::Palette;
        else if (text == "MONOCHROME1") photometric = Photometric::Monochrome1;
        else photometric = Photometric::Monochrome2;
        return true;
    }
    if (samplesPerPixel != 3) return false;
    // JPEG 2000's component transforms are undone by its decoder, which gives RGB.
    if (text == "RGB" || text.empty() || text == "YBR_RCT" || text == "YBR_ICT") photometric = Photometric::Rgb;
    else if (text == "YBR_FULL") photometric = Photometric::YbrFull;
    else if (text == "YBR_FULL_422") photometric = Photometric::YbrFull422;
    else return false;
    return true;
}

namespace {

bool Refuse(std::string& error, std::string text) {
    error = std::move(text);
    return false;
}

}  // namespace

bool CheckLayout(const PixelLayout& given, const std::string& photometricText, std::string& error) {
    PixelLayout l = given;
    const uint16_t bits = l.bitsAllocated;
    if (bits != 1 && bits != 8 && bits != 16 && bits != 32)
        return Refuse(error, std::to_string(bits) + " bits allocated");
    if (l.samplesPerPixel != 1 && l.samplesPerPixel != 3)
        return Refuse(error, std::to_string(l.samplesPerPixel) + " samples per pixel");
    if (!ParsePhotometric(photometricText, l.samplesPerPixel, l.photometric))
        return Refuse(error, "photometric interpretation " + photometricText + " with " +
                                 std::to_string(l.samplesPerPixel) + " samples per pixel");
    if (l.rows == 0 || l.columns == 0)
        return Refuse(error, std::to_string(l.rows) + " rows and " + std::to_string(l.columns) + " columns");
    if (l.isColour() && bits == 1) return Refuse(error, "colour pictures of 1 bit allocated");
    if (l.photometric == Photometric::Palette && bits == 32)
        return Refuse(error, "palette pictures of 32 bits allocated");
    if (l.photometric == Photometric::YbrFull422) {
        if (l.columns % 2) return Refuse(error, "YBR_FULL_422 with an odd width (" + std::to_string(l.columns) + " columns)");
        if (l.planarConfiguration != 0) return Refuse(error, "YBR_FULL_422 stored plane by plane");
    }
    constexpr int64_t kMaxFrameBytes = std::numeric_limits<int32_t>::max();
    const int64_t stride = FrameStride(l.columns);
    if (stride * l.rows > kMaxFrameBytes || int64_t(l.frameSamples()) * l.sampleBytes() > kMaxFrameBytes)
        return Refuse(error, "a picture of " + std::to_string(l.columns) + " x " + std::to_string(l.rows) +
                                 " pixels is too large");
    return true;
}

void SwapToLittleEndian(uint8_t* data, size_t bytes, int unitBytes) {
    if (unitBytes == 2) {
        for (size_t i = 0; i + 1 < bytes; i += 2) std::swap(data[i], data[i + 1]);
    } else if (unitBytes == 4) {
        for (size_t i = 0; i + 3 < bytes; i += 4) {
            std::swap(data[i], data[i + 3]);
            std::swap(data[i + 1], data[i + 2]);
        }
    }
}

void CopyNativeFrame(const uint8_t* value, const PixelLayout& layout, size_t index, uint8_t* out) {
    const size_t samples = layout.frameSamples();
    if (layout.bitsAllocated != 1) {
        const size_t bytes = samples * static_cast<size_t>(layout.sampleBytes());
        std::memcpy(out, value + index * bytes, bytes);
        return;
    }
    // Packed bits, the first sample in the lowest bit of each byte.
    const uint64_t first = uint64_t{index} * samples;
    for (size_t i = 0; i < samples; ++i) {
        const uint64_t bit = first + i;
        out[i] = static_cast<uint8_t>((value[bit >> 3] >> (bit & 7)) & 1);
    }
}

#include "LfImageSKA.h"

#include <cstring>
#include <memory>
#include <new>

namespace {

constexpr uint32_t kHeaderSize = 9;
constexpr uint32_t kTableEntries = 256;
constexpr uint8_t kExponent = 3;          // 2 to the power 3: 8 bits per pixel
constexpr uint32_t kMarker = 0x01000000;  // bytes 00 00 00 01
constexpr uint32_t kSideLimit = 32768;    // width and height stay below this

const char* const kWriteError = "Write Error in SKA file";

}  // namespace

bool LfImageSKA::Fail(const char* message) {
    SetLastError(message);
    return false;
}

bool LfImageSKA::Encode(LfFile* stream) {
    if (EncodeSafeCheck(stream)) return false;
    if (BitCount() > 8) return Fail("SKA Images must be 8 bit or less");
    // Wider sides would be cut to 16 bits in the header and give a file whose header no
    // longer describes its pixels; the reader refuses them anyway.
    if (Width() >= kSideLimit || Height() >= kSideLimit) return Fail("SKA image too large");

    uint8_t header[kHeaderSize];
    const uint16_t width = SwapWord(static_cast<uint16_t>(Width()));
    const uint16_t height = SwapWord(static_cast<uint16_t>(Height()));
    const uint32_t marker = SwapDword(kMarker);
    std::memcpy(header, &width, 2);
    std::memcpy(header + 2, &height, 2);
    header[4] = kExponent;
    std::memcpy(header + 5, &marker, 4);

    // Entries beyond the image's palette (1- and 4-bit images) are written black.
    uint8_t table[kTableEntries * 3] = {};
    const LfRgbQuad* palette = Palette();
    for (uint32_t i = 0; palette && i < NumColors() && i < kTableEntries; ++i) {
        table[3 * i] = palette[i].red;
        table[3 * i + 1] = palette[i].green;
        table[3 * i + 2] = palette[i].blue;
    }
    if (stream->Write(header, 1, kHeaderSize) != kHeaderSize ||
        stream->Write(table, 1, sizeof table) != sizeof table)
        return Fail(kWriteError);

    // One byte per pixel: 8-bit rows go out as they are, 1- and 4-bit rows are widened.
    std::unique_ptr<uint8_t[]> line(new (std::nothrow) uint8_t[Width()]);
    if (!line) return Fail("can't allocate memory");
    for (uint32_t k = 0; k < Height(); ++k) {
        const uint32_t y = Height() - 1 - k;
        const uint8_t* row = Row(y);
        if (BitCount() != 8) {
            for (uint32_t x = 0; x < Width(); ++x)
                line[x] = PixelIndexUnchecked(static_cast<int32_t>(x), static_cast<int32_t>(y));
            row = line.get();
        }
        if (stream->Write(row, 1, Width()) != Width()) return Fail(kWriteError);
    }
    if (!stream->Flush()) return Fail(kWriteError);
    return true;
}

bool LfImageSKA::Decode(LfFile* stream) {
    if (stream == nullptr) return Fail("null file handler");
    uint8_t header[kHeaderSize] = {};
    stream->Read(header, 1, kHeaderSize);  // a short header fails the marker test below
    uint16_t width, height;
    uint32_t marker;
    std::memcpy(&width, header, 2);
    std::memcpy(&height, header + 2, 2);
    std::memcpy(&marker, header + 5, 4);
    width = SwapWord(width);
    height = SwapWord(height);
    marker = SwapDword(marker);
    if (marker != kMarker || header[4] != kExponent || width >= kSideLimit ||
        height >= kSideLimit || width == 0 || height == 0)
        return Fail("Not a SKA file");

    if (info.escape == -1) {
        head.width = width;
        head.height = height;
        info.type = LF_FORMAT_SKA;
        return true;
    }
    if (Create(width, height, 8, LF_FORMAT_SKA) == nullptr) return false;

    uint8_t table[kTableEntries * 3] = {};
    stream->Read(table, 1, sizeof table);
    SetPaletteTriples(table, kTableEntries);

    // The file's rows are unpadded and start with the top row; each goes straight to its
    // padded place in the buffer. Short reads are not errors: what is missing stays 0.
    for (uint32_t k = 0; k < height; ++k) {
        if (stream->Read(Row(height - 1 - k), 1, width) != width) break;
    }
    return true;
}

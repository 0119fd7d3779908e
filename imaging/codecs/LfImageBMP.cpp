#include "LfImageBMP.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <new>

#include "LfLittleEndian.h"

namespace {

constexpr uint16_t kSignature = 0x4D42;  // "BM"
constexpr uint32_t kFileHeaderSize = 14;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint32_t kCoreHeaderSize = 12;
constexpr uint32_t kOs2HeaderSize = 64;

enum Compression : uint32_t { kRgb = 0, kRle8 = 1, kRle4 = 2, kBitFields = 3 };

const char* const kWriteError = "Write Error in BMP file";

bool HasPixelReader(uint16_t bitCount) {
    return bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 16 || bitCount == 24 ||
           bitCount == 32;
}

uint64_t RowStride(uint64_t width, uint64_t bitCount) { return (width * bitCount + 31) / 32 * 4; }

uint64_t AbsHeight(int32_t height) {
    return height < 0 ? static_cast<uint64_t>(-static_cast<int64_t>(height))
                      : static_cast<uint64_t>(height);
}

LfBitmapInfoHeader ParseInfoHeader(const uint8_t* b) {
    LfBitmapInfoHeader h;
    h.size = Get32(b);
    h.width = static_cast<int32_t>(Get32(b + 4));
    h.height = static_cast<int32_t>(Get32(b + 8));
    h.planes = Get16(b + 12);
    h.bitCount = Get16(b + 14);
    h.compression = Get32(b + 16);
    h.imageSize = Get32(b + 20);
    h.xPelsPerMeter = static_cast<int32_t>(Get32(b + 24));
    h.yPelsPerMeter = static_cast<int32_t>(Get32(b + 28));
    h.colorsUsed = Get32(b + 32);
    h.colorsImportant = Get32(b + 36);
    return h;
}

void SerializeInfoHeader(const LfBitmapInfoHeader& h, uint8_t* b) {
    Put32(b, h.size);
    Put32(b + 4, static_cast<uint32_t>(h.width));
    Put32(b + 8, static_cast<uint32_t>(h.height));
    Put16(b + 12, h.planes);
    Put16(b + 14, h.bitCount);
    Put32(b + 16, h.compression);
    Put32(b + 20, h.imageSize);
    Put32(b + 24, static_cast<uint32_t>(h.xPelsPerMeter));
    Put32(b + 28, static_cast<uint32_t>(h.yPelsPerMeter));
    Put32(b + 32, h.colorsUsed);
    Put32(b + 36, h.colorsImportant);
}

void SerializeFileHeader(uint32_t fileSize, uint32_t pixelOffset, uint8_t* b) {
    Put16(b, kSignature);
    Put32(b + 2, fileSize);
    Put16(b + 6, 0);
    Put16(b + 8, 0);
    Put32(b + 10, pixelOffset);
}

int32_t DpiFromPelsPerMeter(int32_t ppm) {
    return static_cast<int32_t>(std::floor(static_cast<double>(ppm) * 254.0 / 10000.0 + 0.5));
}

// One colour field of a bit-field pixel. The field's top eight bits become the 8-bit
// sample; narrower fields are shifted up (5 bits 0x1F give 0xF8), as 5-5-5 and 5-6-5
// files have always been expanded here.
struct Channel {
    uint32_t mask = 0;
    int shift = 0;
    int bits = 0;

    explicit Channel(uint32_t m) : mask(m) {
        if (mask == 0) return;
        shift = std::countr_zero(mask);
        bits = 32 - std::countl_zero(mask >> shift);
    }
    uint8_t Sample(uint32_t pixel) const {
        if (mask == 0) return 0;
        const uint32_t v = (pixel & mask) >> shift;
        return static_cast<uint8_t>(bits >= 8 ? v >> (bits - 8) : v << (8 - bits));
    }
};

bool WriteAll(LfFile* stream, const void* data, size_t length) {
    return length == 0 || stream->Write(data, 1, length) == length;
}

}  // namespace

bool LfImageBMP::Fail(const char* message) {
    SetLastError(message);
    return false;
}

// ---------------------------------------------------------------------------------------
// Writing

bool LfImageBMP::Encode(LfFile* stream) {
    if (EncodeSafeCheck(stream)) return false;
    if (!IsIndexed() && AlphaIsValid()) return EncodeWithAlpha(stream);

    uint8_t fileHeader[kFileHeaderSize];
    SerializeFileHeader(kFileHeaderSize + BlockSize(),
                        kFileHeaderSize + kInfoHeaderSize + PaletteSize(), fileHeader);
    uint8_t infoHeader[kInfoHeaderSize];
    SerializeInfoHeader(head, infoHeader);
    // Palette and rows are written exactly as the block holds them.
    const size_t rest = BlockSize() - kInfoHeaderSize;
    if (!WriteAll(stream, fileHeader, sizeof fileHeader) ||
        !WriteAll(stream, infoHeader, sizeof infoHeader) ||
        !WriteAll(stream, Block() + kInfoHeaderSize, rest) || !stream->Flush())
        return Fail(kWriteError);
    return true;
}

// A 24-bit image with an alpha plane is written as 32-bit blue, green, red, alpha pixels;
// 4-byte pixels need no row padding.
bool LfImageBMP::EncodeWithAlpha(LfFile* stream) {
    const uint32_t width = Width();
    const uint32_t height = Height();
    const uint64_t pixelBytes = static_cast<uint64_t>(width) * 4 * height;
    const uint64_t fileSize = kFileHeaderSize + kInfoHeaderSize + pixelBytes;
    if (fileSize > std::numeric_limits<uint32_t>::max()) return Fail(kWriteError);

    LfBitmapInfoHeader h = head;
    h.bitCount = 32;
    h.compression = kRgb;
    h.imageSize = static_cast<uint32_t>(pixelBytes);
    uint8_t fileHeader[kFileHeaderSize];
    SerializeFileHeader(static_cast<uint32_t>(fileSize), kFileHeaderSize + kInfoHeaderSize,
                        fileHeader);
    uint8_t infoHeader[kInfoHeaderSize];
    SerializeInfoHeader(h, infoHeader);
    if (!WriteAll(stream, fileHeader, sizeof fileHeader) ||
        !WriteAll(stream, infoHeader, sizeof infoHeader))
        return Fail(kWriteError);

    std::unique_ptr<uint8_t[]> line(new (std::nothrow) uint8_t[static_cast<size_t>(width) * 4]);
    if (!line) return Fail("can't allocate memory");
    const uint8_t* alpha = AlphaPlane();
    for (uint32_t y = 0; y < height; ++y) {
        const uint8_t* src = Row(y);
        for (uint32_t x = 0; x < width; ++x) {
            uint8_t* dst = line.get() + static_cast<size_t>(x) * 4;
            dst[0] = src[3 * x];
            dst[1] = src[3 * x + 1];
            dst[2] = src[3 * x + 2];
            dst[3] = alpha[static_cast<size_t>(y) * width + x];
        }
        if (!WriteAll(stream, line.get(), static_cast<size_t>(width) * 4)) return Fail(kWriteError);
    }
    if (!stream->Flush()) return Fail(kWriteError);
    return true;
}

// ---------------------------------------------------------------------------------------
// Reading

bool LfImageBMP::ReadInfoHeader(LfFile* stream, LfBitmapInfoHeader& header) {
    const int64_t infoStart = stream->Tell();
    uint8_t b[kInfoHeaderSize] = {};
    if (stream->Read(b, 1, 4) != 4) return false;
    const uint32_t size = Get32(b);

    if (size == kCoreHeaderSize) {
        // The old core header: 16-bit width, height, planes and bit count.
        if (stream->Read(b + 4, 1, 8) != 8) return false;
        header = LfBitmapInfoHeader{};
        header.size = kCoreHeaderSize;
        header.width = Get16(b + 4);
        header.height = Get16(b + 6);
        header.planes = Get16(b + 8);
        header.bitCount = Get16(b + 10);
    } else {
        if (size < kInfoHeaderSize) return false;
        if (stream->Read(b + 4, 1, kInfoHeaderSize - 4) != kInfoHeaderSize - 4) return false;
        header = ParseInfoHeader(b);
        const uint64_t rowBytes = RowStride(static_cast<uint32_t>(header.width), header.bitCount) *
                                  AbsHeight(header.height);
        switch (size) {
        case kInfoHeaderSize:
        case kOs2HeaderSize:
            break;
        case 52:   // V2: red, green, blue masks
        case 56:   // V3: and alpha
        case 108:  // V4: and colour space
        case 124:  // V5: and ICC profile
            if (header.planes != 1) return false;
            break;
        default:
            // Headers of unknown length are taken only when they look like a plain
            // uncompressed-size bitmap.
            if (header.imageSize < rowBytes || header.planes != 1 || header.colorsUsed != 0)
                return false;
            break;
        }
        // Whatever follows the first 40 bytes (masks, colour space) is read by Decode
        // from its known place; step over it here.
        const int64_t end = infoStart + size;
        if (end > std::numeric_limits<int32_t>::max()) return false;
        if (size != kInfoHeaderSize && !stream->Seek(static_cast<int32_t>(end), SEEK_SET))
            return false;
    }

    // Sizes the rest of the decoder relies on: a negative width or a height that cannot be
    // negated makes no picture, and the rows must fit the 32-bit image size field.
    if (header.width < 0 || header.height == std::numeric_limits<int32_t>::min()) return false;
    const uint64_t imageBytes =
        RowStride(static_cast<uint32_t>(header.width), header.bitCount) * AbsHeight(header.height);
    if (imageBytes > std::numeric_limits<uint32_t>::max()) return false;
    if (header.bitCount <= 8 && header.colorsUsed > 256) return false;

    if (header.imageSize == 0) header.imageSize = static_cast<uint32_t>(imageBytes);
    if (header.colorsUsed == 0 && header.bitCount <= 8) header.colorsUsed = 1u << header.bitCount;
    return true;
}

// Reads colours-used entries (3 bytes each after a core header, else 4) into the palette;
// entries beyond the image's palette are consumed and dropped. A short read leaves the
// remaining entries black.
void LfImageBMP::ReadPalette(LfFile* stream, const LfBitmapInfoHeader& header) {
    const uint32_t entrySize = header.size == kCoreHeaderSize ? 3 : 4;
    uint8_t raw[256 * 4];
    const size_t got = stream->Read(raw, entrySize, header.colorsUsed);  // at most 256
    LfRgbQuad* palette = Palette();
    const uint32_t capacity = NumColors();
    for (uint32_t i = 0; i < capacity && i < got; ++i) {
        palette[i].blue = raw[i * entrySize];
        palette[i].green = raw[i * entrySize + 1];
        palette[i].red = raw[i * entrySize + 2];
        palette[i].alpha = 0;
    }
}

// Bit-field masks sit right after a 40-byte or OS/2 header, and inside the longer headers
// at offset 40. Files without them use 5-5-5 (16-bit) or 8-8-8 (32-bit).
bool LfImageBMP::ReadMasks(LfFile* stream, const LfBitmapInfoHeader& header, int64_t infoStart,
                           uint32_t masks[3]) {
    if (header.compression != kBitFields) {
        if (header.bitCount == 16) {
            masks[0] = 0x7C00; masks[1] = 0x03E0; masks[2] = 0x001F;
        } else {
            masks[0] = 0x00FF0000; masks[1] = 0x0000FF00; masks[2] = 0x000000FF;
        }
        return true;
    }
    const int64_t maskStart = infoStart + (header.size == kOs2HeaderSize ? kOs2HeaderSize : 40);
    uint8_t b[12];
    if (!stream->Seek(static_cast<int32_t>(maskStart), SEEK_SET) || stream->Read(b, 1, 12) != 12)
        return false;
    for (int i = 0; i < 3; ++i) masks[i] = Get32(b + 4 * i);
    if (header.bitCount == 16)
        for (int i = 0; i < 3; ++i) masks[i] &= 0xFFFF;
    // Pixels of a file without file header follow the whole header.
    const int64_t after = std::max(maskStart + 12, infoStart + header.size);
    return stream->Seek(static_cast<int32_t>(after), SEEK_SET);
}

// Reads 16- or 32-bit pixels (from the stream's position) row by row and expands them into
// the 24-bit rows; a short file leaves the remaining rows black. Uncompressed 32-bit files
// keep their fourth bytes as the alpha plane unless every one of them is 0.
bool LfImageBMP::ReadBitFields(LfFile* stream, const LfBitmapInfoHeader& header,
                               const uint32_t masks[3]) {
    const uint32_t width = Width();
    const uint32_t height = Height();
    const bool sixteen = header.bitCount == 16;
    const size_t srcStride = sixteen ? (static_cast<size_t>(width) + 1) / 2 * 4
                                     : static_cast<size_t>(width) * 4;
    std::unique_ptr<uint8_t[]> line(new (std::nothrow) uint8_t[srcStride]);
    if (!line) return Fail("can't allocate memory");

    uint8_t* alpha = !sixteen && header.compression == kRgb && AlphaCreate() ? AlphaPlane() : nullptr;
    bool anyAlpha = false;
    const Channel red(masks[0]), green(masks[1]), blue(masks[2]);
    for (uint32_t y = 0; y < height; ++y) {
        const size_t got = stream->Read(line.get(), 1, srcStride);
        const uint32_t pixels = static_cast<uint32_t>(
            std::min<size_t>(width, got / (sixteen ? 2 : 4)));
        uint8_t* dst = Row(y);
        for (uint32_t x = 0; x < pixels; ++x) {
            const uint8_t* src = line.get() + static_cast<size_t>(x) * (sixteen ? 2 : 4);
            const uint32_t pixel = sixteen ? Get16(src) : Get32(src);
            dst[3 * static_cast<size_t>(x)] = blue.Sample(pixel);
            dst[3 * static_cast<size_t>(x) + 1] = green.Sample(pixel);
            dst[3 * static_cast<size_t>(x) + 2] = red.Sample(pixel);
            if (alpha) {
                alpha[static_cast<size_t>(y) * width + x] = src[3];
                anyAlpha |= src[3] != 0;
            }
        }
        if (got < srcStride) break;
    }
    if (alpha && !anyAlpha) AlphaDelete();
    return true;
}

// RLE8 and RLE4 packets. Positions count pixels; a pixel is written only inside its row's
// stride and inside the image, so runs are cut at the row end and deltas or end-of-line
// codes that leave the picture write nothing. Rows run bottom-up like the pixel buffer.
void LfImageBMP::DecodeRle(LfFile* stream, bool fourBit) {
    const uint64_t rows = Height();
    const uint64_t rowPixels = static_cast<uint64_t>(EffectiveWidth()) * (fourBit ? 2 : 1);
    uint64_t row = 0;
    uint64_t x = 0;
    uint8_t* line = Row(0);

    auto put = [&](uint64_t at, uint8_t value) {
        if (line == nullptr || at >= rowPixels) return;
        if (!fourBit) {
            line[at] = value;
        } else if ((at & 1) == 0) {
            line[at / 2] = static_cast<uint8_t>(value << 4);  // the high nibble starts a byte
        } else {
            line[at / 2] |= value & 0x0F;
        }
    };
    auto moveTo = [&](uint64_t newRow) {
        row = newRow;
        line = row < rows ? Row(static_cast<uint32_t>(row)) : nullptr;
    };

    uint8_t data[256];
    while (row < rows) {
        const int32_t count = stream->GetC();
        const int32_t value = count < 0 ? -1 : stream->GetC();
        if (value < 0) return;
        if (count > 0) {
            const uint8_t v = static_cast<uint8_t>(value);
            for (int32_t i = 0; i < count; ++i)
                put(x + i, fourBit ? ((i & 1) ? (v & 0x0F) : (v >> 4)) : v);
            x += count;
            continue;
        }
        switch (value) {
        case 0:  // end of line
            x = 0;
            moveTo(row + 1);
            break;
        case 1:  // end of bitmap
            return;
        case 2: {  // delta: right dx pixels, up dy rows
            const int32_t dx = stream->GetC();
            const int32_t dy = dx < 0 ? -1 : stream->GetC();
            if (dy < 0) return;
            x += dx;
            if (dy != 0) moveTo(row + dy);
            break;
        }
        default: {  // absolute run of value pixels, padded to a 16-bit boundary
            const size_t bytes = fourBit ? (value + 1) / 2 : value;
            const size_t got = stream->Read(data, 1, bytes);
            const size_t pixels = fourBit ? std::min<size_t>(value, got * 2) : got;
            for (size_t i = 0; i < pixels; ++i)
                put(x + i, fourBit ? ((i & 1) ? (data[i / 2] & 0x0F) : (data[i / 2] >> 4))
                                   : data[i]);
            if (got < bytes) return;
            x += value;
            if (bytes & 1) stream->GetC();
            break;
        }
        }
    }
}

bool LfImageBMP::Decode(LfFile* stream) {
    if (stream == nullptr) return Fail("null file handler");
    const int64_t start = stream->Tell();
    uint8_t fileHeader[kFileHeaderSize];
    if (stream->Read(fileHeader, 1, kFileHeaderSize) != kFileHeaderSize) return Fail("Not a BMP");
    uint32_t pixelOffset = 0;
    if (Get16(fileHeader) == kSignature) {
        pixelOffset = Get32(fileHeader + 10);
    } else if (!stream->Seek(static_cast<int32_t>(start), SEEK_SET)) {
        return Fail("Not a BMP");  // a bare info header; pixels follow the palette
    }

    const int64_t infoStart = stream->Tell();
    LfBitmapInfoHeader h;
    if (!ReadInfoHeader(stream, h)) return Fail("Error reading BMP info");
    // Depths without a reader (2 bits, or 0 for an embedded JPEG or PNG) would come out as a
    // blank picture reported as decoded.
    if (!HasPixelReader(h.bitCount)) return Fail("unsupported BMP bit count");
    // Pixel data placed beyond the end of the stream cannot belong to this file.
    const int64_t streamSize = stream->Size();
    if (pixelOffset != 0 && streamSize >= 0 && start + pixelOffset > streamSize)
        return Fail("Error reading BMP info");

    const bool topDown = h.height < 0;
    const uint32_t width = static_cast<uint32_t>(h.width);
    const uint32_t height = static_cast<uint32_t>(AbsHeight(h.height));

    if (info.escape == -1) {
        head.width = h.width;
        head.height = static_cast<int32_t>(height);
        info.type = LF_FORMAT_BMP;
        SetLastError("output dimensions returned");
        return true;
    }

    if (Create(width, height, h.bitCount, LF_FORMAT_BMP) == nullptr) return false;
    // Creation hands out zeroed pixels: whatever a short file does not supply stays black
    // (index 0).
    SetXDpi(DpiFromPelsPerMeter(h.xPelsPerMeter));
    SetYDpi(DpiFromPelsPerMeter(h.yPelsPerMeter));
    if (info.escape != 0) return Fail("Cancelled");

    if (IsIndexed()) ReadPalette(stream, h);
    if (info.escape != 0) return Fail("Cancelled");

    auto seekToPixels = [&]() {
        if (pixelOffset != 0) stream->Seek(static_cast<int32_t>(start + pixelOffset), SEEK_SET);
    };
    const size_t imageBytes = static_cast<size_t>(EffectiveWidth()) * Height();
    switch (h.bitCount) {
    case 1:
    case 4:
    case 8:
        seekToPixels();
        if (h.compression == kRgb) stream->Read(info.pixels, 1, imageBytes);
        else if (h.compression == kRle8) DecodeRle(stream, false);
        else if (h.compression == kRle4) DecodeRle(stream, true);
        else return Fail("compression type not supported");
        break;
    case 16:
    case 32: {
        uint32_t masks[3];
        if (!ReadMasks(stream, h, infoStart, masks)) return Fail("Error reading BMP info");
        seekToPixels();
        if (h.bitCount == 32 && h.compression != kRgb && h.compression != kBitFields)
            return Fail("unknown compression");
        if (!ReadBitFields(stream, h, masks)) return false;
        break;
    }
    case 24:
        seekToPixels();
        if (h.compression != kRgb) return Fail("unknown compression");
        stream->Read(info.pixels, 1, imageBytes);
        break;
    }

    if (topDown) Flip(false, true);
    return true;
}

#include "LfImageICO.h"

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "LfImagePNG.h"
#include "LfLittleEndian.h"

namespace {

constexpr uint32_t kIconHeaderSize = 6;
constexpr uint32_t kEntrySize = 16;
constexpr uint32_t kInfoHeaderSize = 40;
constexpr uint16_t kTypeIcon = 1;
constexpr uint16_t kTypeCursor = 2;
constexpr uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

const char* const kWriteError = "Write Error in ICO file";
const char* const kBadInfo = "Error reading ICO info";

uint32_t MaskRowBytes(uint32_t width) { return (width + 31) / 32 * 4; }

bool IsReadableDepth(uint32_t bitCount) {
    return bitCount == 1 || bitCount == 4 || bitCount == 8 || bitCount == 24 || bitCount == 32;
}

bool SameRgb(LfRgbQuad a, LfRgbQuad b) {
    return a.blue == b.blue && a.green == b.green && a.red == b.red;
}

bool WriteAll(LfFile* stream, const void* data, size_t length) {
    return length == 0 || stream->Write(data, 1, length) == length;
}

}  // namespace

bool LfImageICO::Fail(const char* message) {
    SetLastError(message);
    return false;
}

// ---------------------------------------------------------------------------------------
// Writing

bool LfImageICO::Encode(LfFile* stream, bool append, int32_t pageCount) {
    if (EncodeSafeCheck(stream)) return false;
    if (BitCount() <= 8 && Palette() == nullptr) return Fail("ICO image without palette");

    const uint32_t width = Width();
    const uint32_t height = Height();
    const uint32_t maskRow = MaskRowBytes(width);
    const uint64_t maskSize = static_cast<uint64_t>(maskRow) * height;
    // A 24-bit image with an alpha plane is stored as 32-bit blue, green, red, alpha.
    const bool withAlpha = BitCount() == 24 && AlphaIsValid();
    const uint32_t storedBits = withAlpha ? 32 : BitCount();
    const uint64_t pixelSize = withAlpha ? uint64_t{4} * width * height
                                         : static_cast<uint64_t>(EffectiveWidth()) * height;
    const int32_t pages = std::max(pageCount, 1);
    if (!append) imageOffset_ = kIconHeaderSize + kEntrySize * static_cast<uint32_t>(pages);

    const bool writeHeader = !append;
    const bool writeEntry = append ? pageCount == NumFrames() : pageCount == 0;
    const bool writeImage = append ? NumFrames() < pageCount : pageCount == 0;

    // The entry's byte fields hold at most 255: larger pictures go in as PNG.
    const bool asPng = width > 255 || height > 255;
    LfMemFile png;
    uint64_t byteCount = kInfoHeaderSize + uint64_t{4} * (storedBits <= 8 ? NumColors() : 0) +
                         pixelSize + maskSize;
    if (asPng && (writeEntry || writeImage)) {
        LfImagePNG writer;
        writer.Ghost(this);  // the whole picture, alpha plane included, without a copy
        if (!png.Open()) return Fail("can't allocate memory");
        if (!writer.Encode(&png)) return Fail(writer.LastError());
        byteCount = static_cast<uint32_t>(png.Size());
    }
    if (byteCount > UINT32_MAX) return Fail(kWriteError);

    if (writeHeader) {
        uint8_t header[kIconHeaderSize];
        Put16(header, 0);
        Put16(header + 2, kTypeIcon);
        Put16(header + 4, static_cast<uint32_t>(pages));
        if (!WriteAll(stream, header, sizeof header)) return Fail(kWriteError);
    }
    if (writeEntry) {
        uint8_t entry[kEntrySize] = {};
        entry[0] = asPng ? 0 : static_cast<uint8_t>(width);
        entry[1] = asPng ? 0 : static_cast<uint8_t>(height);
        entry[2] = static_cast<uint8_t>(storedBits <= 8 ? NumColors() : 0);
        Put16(entry + 4, 0);  // planes
        Put16(entry + 6, storedBits);
        Put32(entry + 8, static_cast<uint32_t>(byteCount));
        Put32(entry + 12, imageOffset_);
        imageOffset_ += static_cast<uint32_t>(byteCount);
        if (!WriteAll(stream, entry, sizeof entry)) return Fail(kWriteError);
    }
    if (writeImage) {
        if (asPng) {
            if (!WriteAll(stream, png.GetBuffer(false), static_cast<size_t>(png.Size())))
                return Fail(kWriteError);
        } else if (!WriteBitmap(stream, withAlpha, maskRow, maskSize)) {
            return false;
        }
    }
    if (!stream->Flush()) return Fail(kWriteError);
    return true;
}

bool LfImageICO::WriteBitmap(LfFile* stream, bool withAlpha, uint32_t maskRow, uint64_t maskSize) {
    const uint32_t width = Width();
    const uint32_t height = Height();
    const uint32_t storedBits = withAlpha ? 32 : BitCount();
    const uint64_t pixelSize = withAlpha ? uint64_t{4} * width * height
                                         : static_cast<uint64_t>(EffectiveWidth()) * height;

    uint8_t info40[kInfoHeaderSize] = {};
    Put32(info40, kInfoHeaderSize);
    Put32(info40 + 4, width);
    Put32(info40 + 8, 2 * height);  // the colour rows and the mask rows
    Put16(info40 + 12, 1);
    Put16(info40 + 14, storedBits);
    Put32(info40 + 20, static_cast<uint32_t>(pixelSize));
    if (!WriteAll(stream, info40, sizeof info40)) return Fail(kWriteError);

    if (storedBits <= 8) {
        // The transparent entry goes out black: where the mask is set, the screen shows
        // its own pixel XOR this colour. The image's palette stays as it is.
        std::vector<LfRgbQuad> palette(Palette(), Palette() + NumColors());
        if (IsTransparent() && static_cast<uint32_t>(TransparentIndex()) < palette.size())
            palette[TransparentIndex()] = LfRgbQuad{0, 0, 0, 0};
        if (!WriteAll(stream, palette.data(), palette.size() * sizeof(LfRgbQuad)))
            return Fail(kWriteError);
    }

    if (withAlpha) {
        std::unique_ptr<uint8_t[]> line(new (std::nothrow) uint8_t[size_t{4} * width]);
        if (!line) return Fail("can't allocate memory");
        for (uint32_t y = 0; y < height; ++y) {
            const uint8_t* src = Row(y);
            const uint8_t* alpha = AlphaPlane() + static_cast<size_t>(y) * width;
            for (uint32_t x = 0; x < width; ++x) {
                std::memcpy(&line[size_t{4} * x], src + size_t{3} * x, 3);
                line[size_t{4} * x + 3] = alpha[x];
            }
            if (!WriteAll(stream, line.get(), size_t{4} * width)) return Fail(kWriteError);
        }
    } else if (!WriteAll(stream, info.pixels, static_cast<size_t>(pixelSize))) {
        return Fail(kWriteError);
    }

    std::unique_ptr<uint8_t[]> mask(new (std::nothrow) uint8_t[maskSize]());
    if (!mask) return Fail("can't allocate memory");
    BuildMask(mask.get(), maskRow);
    if (!WriteAll(stream, mask.get(), static_cast<size_t>(maskSize))) return Fail(kWriteError);
    return true;
}

// A pixel is masked when its alpha is 0 (alpha plane, or a palette carrying alpha) or when
// its colour is the transparent one. Rows run bottom-up like the pixel rows.
void LfImageICO::BuildMask(uint8_t* mask, uint32_t maskRow) const {
    const bool indexed = BitCount() <= 8;
    LfRgbQuad key{0, 0, 0, 0};
    if (IsTransparent()) key = indexed ? PaletteColor(static_cast<uint8_t>(TransparentIndex()))
                                       : TransparentColor();
    for (uint32_t y = 0; y < Height(); ++y) {
        for (uint32_t x = 0; x < Width(); ++x) {
            const auto px = static_cast<int32_t>(x);
            const auto py = static_cast<int32_t>(y);
            const LfRgbQuad colour = PixelColor(px, py, false);
            const bool masked = (AlphaIsValid() && AlphaGet(px, py) == 0) ||
                                (indexed && info.alphaPalette && colour.alpha == 0) ||
                                (IsTransparent() && SameRgb(colour, key));
            if (masked) mask[static_cast<size_t>(y) * maskRow + x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
        }
    }
}

// ---------------------------------------------------------------------------------------
// Reading

bool LfImageICO::Decode(LfFile* stream) {
    if (stream == nullptr) return Fail("null file handler");
    const int64_t start = stream->Tell();
    uint8_t header[kIconHeaderSize];
    if (stream->Read(header, 1, sizeof header) != sizeof header) return Fail("Not an ICO");
    const uint16_t type = Get16(header + 2);
    if (Get16(header) != 0 || (type != kTypeIcon && type != kTypeCursor)) return Fail("Not an ICO");
    const uint16_t count = Get16(header + 4);
    info.numFrames = count;
    if (info.currentFrame < 0 || info.currentFrame >= count) return Fail("ICO frame out of range");

    // The whole directory must lie inside the stream: a count the file cannot hold is a
    // foreign or damaged file, and nothing is sized by it.
    const int64_t streamSize = stream->Size();
    if (streamSize >= 0 && start + kIconHeaderSize + int64_t{kEntrySize} * count > streamSize)
        return Fail("ICO directory exceeds the file");
    Entry entry;
    if (!ReadEntry(stream, start, entry)) return Fail("ICO directory exceeds the file");
    const int64_t imageStart = start + entry.offset;
    if ((streamSize >= 0 && imageStart + 8 > streamSize) || imageStart + 8 > INT32_MAX)
        return Fail("ICO image outside the file");

    // The embedded PNG is recognised by its signature: writers store it for every size, not
    // only for those whose directory width and height read 0.
    uint8_t signature[8];
    if (!stream->Seek(static_cast<int32_t>(imageStart), SEEK_SET) ||
        stream->Read(signature, 1, sizeof signature) != sizeof signature ||
        !stream->Seek(static_cast<int32_t>(imageStart), SEEK_SET))
        return Fail("ICO image outside the file");
    const bool headerOnly = info.escape == -1;
    if (std::memcmp(signature, kPngSignature, sizeof kPngSignature) == 0)
        return DecodePng(stream, headerOnly);
    return DecodeBitmap(stream, entry, imageStart, headerOnly);
}

bool LfImageICO::ReadEntry(LfFile* stream, int64_t start, Entry& entry) {
    const int64_t at = start + kIconHeaderSize + int64_t{kEntrySize} * info.currentFrame;
    uint8_t e[kEntrySize];
    if (!stream->Seek(static_cast<int32_t>(at), SEEK_SET) || stream->Read(e, 1, sizeof e) != sizeof e)
        return false;
    entry.width = e[0] ? e[0] : 256;
    entry.height = e[1] ? e[1] : 256;
    entry.bytes = Get32(e + 8);
    entry.offset = Get32(e + 12);
    return true;
}

bool LfImageICO::DecodePng(LfFile* stream, bool headerOnly) {
    LfImagePNG png;
    png.CopyInfo(*this);
    png.info.type = LF_FORMAT_PNG;
    if (!png.Decode(stream)) return Fail(png.LastError());
    const int32_t frames = info.numFrames;
    if (headerOnly) {
        head.width = png.head.width;
        head.height = png.head.height;
    } else if (!Transfer(png, false)) {
        return Fail("ICO: the image shares another image's pixels");
    }
    info.numFrames = frames;
    info.type = LF_FORMAT_ICO;
    return true;
}

bool LfImageICO::DecodeBitmap(LfFile* stream, const Entry& entry, int64_t imageStart, bool headerOnly) {
    uint8_t b[kInfoHeaderSize];
    if (stream->Read(b, 1, sizeof b) != sizeof b) return Fail(kBadInfo);
    const uint32_t headerSize = Get32(b);
    const uint16_t bitCount = Get16(b + 14);
    const uint32_t colorsUsed = Get32(b + 32);
    if (headerSize < kInfoHeaderSize) return Fail(kBadInfo);
    // Depths without a reader would come out as a picture of the wrong layout.
    if (!IsReadableDepth(bitCount)) return Fail("unsupported ICO bit count");
    if (colorsUsed > 256) return Fail(kBadInfo);

    if (headerOnly) {
        head.width = static_cast<int32_t>(entry.width);
        head.height = static_cast<int32_t>(entry.height);
        info.type = LF_FORMAT_ICO;
        return true;
    }
    if (headerSize != kInfoHeaderSize &&
        !stream->Seek(static_cast<int32_t>(imageStart + headerSize), SEEK_SET))
        return Fail(kBadInfo);

    // The directory's size, not the header's, decides the picture; every read below is
    // sized by the created image, so a header that disagrees cannot overrun it.
    if (Create(entry.width, entry.height, bitCount, LF_FORMAT_ICO) == nullptr) return false;

    const uint32_t paletteEntries = colorsUsed ? colorsUsed : NumColors();
    uint8_t raw[256 * 4] = {};
    const size_t got = stream->Read(raw, 4, paletteEntries);
    for (size_t i = 0; i < got && i < NumColors(); ++i) {
        SetPaletteColor(static_cast<uint8_t>(i), LfRgbQuad{raw[4 * i], raw[4 * i + 1], raw[4 * i + 2], 0});
    }

    if (bitCount == 32) {
        if (!ReadPixels32(stream)) return true;  // short file: no mask to read
    } else {
        const size_t pixelBytes = static_cast<size_t>(EffectiveWidth()) * Height();
        if (stream->Read(info.pixels, 1, pixelBytes) != pixelBytes) return true;
    }

    // Alpha values from the file say what is transparent, with the soft edges the mask
    // cannot express; the mask only repeats them for programs that ignore alpha.
    if (AlphaIsValid()) return true;

    // A file that ends before its mask finishes without one.
    const uint32_t maskRow = MaskRowBytes(Width());
    const size_t maskSize = static_cast<size_t>(maskRow) * Height();
    std::unique_ptr<uint8_t[]> mask(new (std::nothrow) uint8_t[maskSize]);
    if (!mask) return Fail("can't allocate memory");
    if (stream->Read(mask.get(), 1, maskSize) != maskSize) return true;
    ApplyMask(mask.get(), maskRow);
    return true;
}

// Blue, green, red, alpha pixels. Files whose fourth bytes are all 0 carry no alpha (their
// mask says what is transparent), so the plane is dropped then. False when the file ends.
bool LfImageICO::ReadPixels32(LfFile* stream) {
    const uint32_t width = Width();
    std::unique_ptr<uint8_t[]> line(new (std::nothrow) uint8_t[size_t{4} * width]);
    if (!line || !AlphaCreate()) return false;
    bool anyAlpha = false;
    bool complete = true;
    for (uint32_t y = 0; y < Height() && complete; ++y) {
        const size_t got = stream->Read(line.get(), 4, width);
        complete = got == width;
        uint8_t* dst = Row(y);
        uint8_t* alpha = AlphaPlane() + static_cast<size_t>(y) * width;
        for (size_t x = 0; x < got; ++x) {
            std::memcpy(dst + 3 * x, &line[4 * x], 3);
            alpha[x] = line[4 * x + 3];
            anyAlpha |= alpha[x] != 0;
        }
    }
    if (!anyAlpha) AlphaDelete();
    return complete;
}

// Turns the mask of a picture without alpha values into transparency. A mask of all ones
// marks an inverted icon: it becomes transparent index 0 with negated colours. Otherwise
// masked pixels get alpha 0; a key colour or an unused palette index then replaces the plane
// wherever that loses nothing.
void LfImageICO::ApplyMask(const uint8_t* mask, uint32_t maskRow) {
    const uint32_t width = Width();
    const uint32_t height = Height();
    const size_t maskSize = static_cast<size_t>(maskRow) * height;
    if (std::all_of(mask, mask + maskSize, [](uint8_t b) { return b == 255; })) {
        SetTransparentIndex(0);
        Negative();
        return;
    }
    auto isMasked = [&](uint32_t x, uint32_t y) {
        return (mask[static_cast<size_t>(y) * maskRow + x / 8] & (0x80 >> (x % 8))) != 0;
    };

    if (!AlphaCreate()) return;
    uint8_t* alpha = AlphaPlane();
    size_t masked = 0;
    int32_t firstX = -1, firstY = -1;
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) {
            if (!isMasked(x, y)) continue;
            alpha[static_cast<size_t>(y) * width + x] = 0;
            if (masked++ == 0) { firstX = static_cast<int32_t>(x); firstY = static_cast<int32_t>(y); }
        }
    if (masked == 0) {
        AlphaDelete();
        return;
    }

    // One colour under the whole mask, found nowhere else, becomes the transparent colour
    // (palette pictures: one index, since transparency goes by index there).
    const bool indexed = BitCount() <= 8;
    const LfRgbQuad key = PixelColor(firstX, firstY, false);
    const uint8_t keyIndex = PixelIndex(firstX, firstY);
    bool keyWorks = true;
    for (uint32_t y = 0; y < height && keyWorks; ++y)
        for (uint32_t x = 0; x < width && keyWorks; ++x) {
            const auto px = static_cast<int32_t>(x);
            const auto py = static_cast<int32_t>(y);
            const bool isKey = indexed ? PixelIndexUnchecked(px, py) == keyIndex
                                       : SameRgb(PixelColor(px, py, false), key);
            keyWorks = isKey == isMasked(x, y);
        }
    if (keyWorks) {
        SetTransparentColor(key);
        SetTransparentIndex(keyIndex);
        AlphaDelete();
    }

    // Palette pictures: the highest index no pixel uses takes every masked pixel.
    if (!indexed) return;
    bool used[256] = {};
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            used[PixelIndexUnchecked(static_cast<int32_t>(x), static_cast<int32_t>(y))] = true;
    for (int32_t index = static_cast<int32_t>(NumColors()) - 1; index >= 0; --index) {
        if (used[index]) continue;
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x)
                if (isMasked(x, y))
                    SetPixelIndexUnchecked(static_cast<int32_t>(x), static_cast<int32_t>(y), static_cast<uint8_t>(index));
        SetTransparentIndex(index);
        AlphaDelete();
        return;
    }
}

#include "LfImageTGA.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "LfLittleEndian.h"

namespace {

constexpr size_t kHeaderSize = 18;
constexpr uint32_t kMaxSide = 0xFFFF;  // width and height are 16-bit fields
const char* const kWriteError = "Write Error in TGA file";

enum ImageType : uint8_t {
    kColourMapped = 1,
    kTrueColour = 2,
    kGrey = 3,
    kRleColourMapped = 9,
    kRleTrueColour = 10,
    kRleGrey = 11,
};

enum Descriptor : uint8_t { kRightToLeft = 0x10, kTopToBottom = 0x20 };

struct TgaHeader {
    uint8_t idLength = 0;
    uint8_t mapType = 0;
    uint8_t imageType = 0;
    uint16_t mapFirst = 0;
    uint16_t mapLength = 0;
    uint8_t mapEntryBits = 0;
    uint16_t width = 0;
    uint16_t height = 0;
    uint8_t depth = 0;
    uint8_t descriptor = 0;
};

TgaHeader ParseHeader(const uint8_t* b) {
    TgaHeader h;
    h.idLength = b[0];
    h.mapType = b[1];
    h.imageType = b[2];
    h.mapFirst = Get16(b + 3);
    h.mapLength = Get16(b + 5);
    h.mapEntryBits = b[7];
    h.width = Get16(b + 12);
    h.height = Get16(b + 14);
    h.depth = b[16];
    h.descriptor = b[17];
    return h;
}

bool IsCompressed(uint8_t type) { return type >= kRleColourMapped; }
bool IsGreyType(uint8_t type) { return type == kGrey || type == kRleGrey; }
bool IsKnownType(uint8_t type) { return (type >= 1 && type <= 3) || (type >= 9 && type <= 11); }
bool IsKnownDepth(uint8_t depth) {
    return depth == 8 || depth == 15 || depth == 16 || depth == 24 || depth == 32;
}

// How one file pixel becomes one image pixel.
enum class PixelKind {
    kByte,        // index or grey level, into an 8-bit image
    kRgb555,      // 15/16-bit word: blue bits 0-4, green 5-9, red 10-14
    kBgr,         // 24-bit
    kBgra,        // 32-bit, the fourth byte to the alpha plane
    kGreyAlpha,   // 16-bit grey: level, then alpha
};

PixelKind KindOf(const TgaHeader& h) {
    switch (h.depth) {
    case 8: return PixelKind::kByte;
    case 24: return PixelKind::kBgr;
    case 32: return PixelKind::kBgra;
    default: return IsGreyType(h.imageType) && h.depth == 16 ? PixelKind::kGreyAlpha : PixelKind::kRgb555;
    }
}

uint32_t FileBytesPerPixel(uint8_t depth) { return (depth + 7u) / 8u; }

// Converts count file pixels; dst receives 1 (kByte) or 3 bytes per pixel, alpha (when not
// null) one byte per pixel.
void ConvertPixels(PixelKind kind, const uint8_t* src, uint32_t count, uint8_t* dst, uint8_t* alpha) {
    switch (kind) {
    case PixelKind::kByte:
        std::memcpy(dst, src, count);
        break;
    case PixelKind::kBgr:
        std::memcpy(dst, src, static_cast<size_t>(count) * 3);
        break;
    case PixelKind::kRgb555:
        for (uint32_t i = 0; i < count; ++i, src += 2, dst += 3) {
            const uint32_t w = Get16(src);
            dst[0] = static_cast<uint8_t>((w & 0x1F) << 3);
            dst[1] = static_cast<uint8_t>((w >> 2) & 0xF8);
            dst[2] = static_cast<uint8_t>((w >> 7) & 0xF8);
        }
        break;
    case PixelKind::kBgra:
        for (uint32_t i = 0; i < count; ++i, src += 4, dst += 3) {
            dst[0] = src[0];
            dst[1] = src[1];
            dst[2] = src[2];
            if (alpha) alpha[i] = src[3];
        }
        break;
    case PixelKind::kGreyAlpha:
        for (uint32_t i = 0; i < count; ++i, src += 2, dst += 3) {
            dst[0] = dst[1] = dst[2] = src[0];
            if (alpha) alpha[i] = src[1];
        }
        break;
    }
}

// Reads the stream through a 64 KiB buffer, so that the packet decoder does not make a call
// into the stream for every byte.
class ByteSource {
public:
    explicit ByteSource(LfFile* stream) : stream_(stream), buffer_(new (std::nothrow) uint8_t[kSize]) {}
    bool Ready() const { return buffer_ != nullptr; }

    int Get() {
        if (pos_ == end_ && !Fill()) return -1;
        return buffer_[pos_++];
    }
    // Copies up to n bytes; returns how many there were.
    size_t Read(uint8_t* dst, size_t n) {
        size_t done = std::min(n, end_ - pos_);
        std::memcpy(dst, buffer_.get() + pos_, done);
        pos_ += done;
        if (done == n) return n;
        if (n - done >= kSize) return done + stream_->Read(dst + done, 1, n - done);
        while (done < n && Fill()) {
            const size_t part = std::min(n - done, end_);
            std::memcpy(dst + done, buffer_.get(), part);
            pos_ = part;
            done += part;
        }
        return done;
    }
    bool AtEnd() { return pos_ == end_ && !Fill(); }

private:
    static constexpr size_t kSize = 65536;
    bool Fill() {
        pos_ = 0;
        end_ = stream_->Read(buffer_.get(), 1, kSize);
        return end_ > 0;
    }
    LfFile* stream_;
    std::unique_ptr<uint8_t[]> buffer_;
    size_t pos_ = 0;
    size_t end_ = 0;
};

// A packet that did not fit into its row: the rest continues in the next row.
struct Leftover {
    uint32_t pixels = 0;  // 0: none
    bool run = false;
    uint8_t value[4] = {};  // the run's pixel, as in the file
};

// One row of packets. Runs and raw packets that pass the row end are cut there and carried
// into the next row. A short read ends the row early; what it did not reach stays as created.
void ExpandCompressedRow(ByteSource& src, PixelKind kind, uint32_t fileBpp, uint32_t dstBpp,
                         uint32_t width, uint8_t* dst, uint8_t* alpha, Leftover& left, uint8_t* scratch) {
    uint32_t x = 0;
    while (x < width) {
        if (left.pixels == 0) {
            const int c = src.Get();
            if (c < 0) return;
            left.run = (c & 0x80) != 0;
            left.pixels = left.run ? static_cast<uint32_t>(c) - 127 : static_cast<uint32_t>(c) + 1;
            if (left.run && src.Read(left.value, fileBpp) != fileBpp) {
                left.pixels = 0;
                return;
            }
        }
        const uint32_t n = std::min(left.pixels, width - x);
        uint8_t* out = dst + static_cast<size_t>(x) * dstBpp;
        uint8_t* outAlpha = alpha ? alpha + x : nullptr;
        if (left.run) {
            uint8_t one[3];
            uint8_t oneAlpha = 255;
            ConvertPixels(kind, left.value, 1, one, &oneAlpha);
            for (uint32_t i = 0; i < n; ++i) std::memcpy(out + static_cast<size_t>(i) * dstBpp, one, dstBpp);
            if (outAlpha) std::memset(outAlpha, oneAlpha, n);
        } else {
            const size_t want = static_cast<size_t>(n) * fileBpp;
            const size_t got = src.Read(scratch, want);
            ConvertPixels(kind, scratch, static_cast<uint32_t>(got / fileBpp), out, outAlpha);
            if (got < want) {
                left.pixels = 0;
                return;
            }
        }
        left.pixels -= n;
        x += n;
    }
}

void ExpandRawRow(ByteSource& src, PixelKind kind, uint32_t fileBpp, uint32_t width, uint8_t* dst,
                  uint8_t* alpha, uint8_t* scratch) {
    const size_t want = static_cast<size_t>(width) * fileBpp;
    if (kind == PixelKind::kByte || kind == PixelKind::kBgr) {
        src.Read(dst, want);  // file and image pixels are the same bytes
        return;
    }
    const size_t got = src.Read(scratch, want);
    ConvertPixels(kind, scratch, static_cast<uint32_t>(got / fileBpp), dst, alpha);
}

// Reverses the pixels of a row (files whose columns run right to left).
void ReverseRow(uint8_t* row, uint8_t* alpha, uint32_t width, uint32_t dstBpp) {
    for (uint32_t a = 0, b = width - 1; a < b; ++a, --b) {
        for (uint32_t k = 0; k < dstBpp; ++k) std::swap(row[a * dstBpp + k], row[b * dstBpp + k]);
        if (alpha) std::swap(alpha[a], alpha[b]);
    }
}

bool WriteAll(LfFile* stream, const void* data, size_t length) {
    return length == 0 || stream->Write(data, 1, length) == length;
}

}  // namespace

bool LfImageTGA::Fail(const char* message) {
    SetLastError(message);
    return false;
}

// ---------------------------------------------------------------------------------------
// Writing

bool LfImageTGA::Encode(LfFile* stream) {
    if (EncodeSafeCheck(stream)) return false;
    if (BitCount() < 8) return Fail("Bit depth must be 8 or 24");
    // Larger sides would be cut to their low 16 bits and the file would not match its header.
    if (Width() > kMaxSide || Height() > kMaxSide) return Fail("TGA width and height must be at most 65535");

    const bool paletted = BitCount() == 8;
    const bool withAlpha = !paletted && AlphaIsValid();
    uint8_t header[kHeaderSize] = {};
    header[1] = IsIndexed() ? 1 : 0;
    header[2] = paletted ? kColourMapped : kTrueColour;
    Put16(header + 5, paletted ? 256 : 0);
    header[7] = paletted ? 24 : 0;
    Put16(header + 12, Width());
    Put16(header + 14, Height());
    header[16] = static_cast<uint8_t>(withAlpha ? 32 : BitCount());
    if (!WriteAll(stream, header, sizeof header)) return Fail(kWriteError);

    if (paletted) {
        uint8_t map[256 * 3];
        const LfRgbQuad* palette = Palette();
        for (int i = 0; i < 256; ++i) {
            map[3 * i] = palette[i].blue;
            map[3 * i + 1] = palette[i].green;
            map[3 * i + 2] = palette[i].red;
        }
        if (!WriteAll(stream, map, sizeof map)) return Fail(kWriteError);
    }

    // Rows bottom-up and left to right, as descriptor 0 says; no padding.
    const uint32_t width = Width();
    if (!withAlpha) {
        const size_t rowBytes = static_cast<size_t>(width) * (BitCount() / 8);
        for (uint32_t y = 0; y < Height(); ++y)
            if (!WriteAll(stream, Row(y), rowBytes)) return Fail(kWriteError);
    } else {
        std::unique_ptr<uint8_t[]> line(new (std::nothrow) uint8_t[static_cast<size_t>(width) * 4]);
        if (!line) return Fail("can't allocate memory");
        for (uint32_t y = 0; y < Height(); ++y) {
            const uint8_t* src = Row(y);
            const uint8_t* alpha = AlphaPlane() + static_cast<size_t>(y) * width;
            for (uint32_t x = 0; x < width; ++x) {
                uint8_t* p = line.get() + static_cast<size_t>(x) * 4;
                p[0] = src[3 * x];
                p[1] = src[3 * x + 1];
                p[2] = src[3 * x + 2];
                p[3] = alpha[x];
            }
            if (!WriteAll(stream, line.get(), static_cast<size_t>(width) * 4)) return Fail(kWriteError);
        }
    }
    if (!stream->Flush()) return Fail(kWriteError);
    return true;
}

// ---------------------------------------------------------------------------------------
// Reading

bool LfImageTGA::Decode(LfFile* stream) {
    if (stream == nullptr) return Fail("null file handler");
    uint8_t raw[kHeaderSize];
    if (stream->Read(raw, 1, kHeaderSize) != kHeaderSize) return Fail("Not a TGA");
    const TgaHeader h = ParseHeader(raw);
    if (!IsKnownType(h.imageType)) return Fail("Unknown TGA image type");
    if (h.width == 0 || h.height == 0 || h.mapLength > 256 || !IsKnownDepth(h.depth))
        return Fail("bad TGA header");

    if (info.escape == -1) {
        head.width = h.width;
        head.height = h.height;
        info.type = LF_FORMAT_TGA;
        return true;
    }

    if (h.idLength != 0 && !stream->Seek(h.idLength, SEEK_CUR)) return Fail("corrupted TGA");

    // Colour-map entries of 15/16 and 32 bits take 2 and 4 bytes; all others are read as
    // 3-byte entries. Reading the true size keeps the pixels that follow in place.
    const uint32_t entryBytes = h.mapType == 0          ? 0
                                : h.mapEntryBits == 32  ? 4
                                : (h.mapEntryBits == 15 || h.mapEntryBits == 16) ? 2
                                                                                 : 3;
    const uint32_t mapBytes = entryBytes * h.mapLength;

    // The pixels a file of this size can hold, before allocating what the header claims: a
    // row that starts at the end of the data fails the decode anyway. Uncompressed rows take
    // width x bytes per pixel; a packet gives at most 128 pixels.
    const uint32_t fileBpp = FileBytesPerPixel(h.depth);
    const int32_t size = stream->Size();
    const int32_t at = stream->Tell();
    if (size >= 0 && at >= 0) {
        const int64_t rest = static_cast<int64_t>(size) - at - mapBytes;
        const uint64_t rowsBefore = static_cast<uint64_t>(h.width) * (h.height - 1u);
        const bool enough = IsCompressed(h.imageType)
                                ? rest >= 1 && rowsBefore <= static_cast<uint64_t>(rest) * 128
                                : rest >= 1 && rowsBefore * fileBpp < static_cast<uint64_t>(rest);
        if (!enough) return Fail("corrupted TGA");
    }

    if (Create(h.width, h.height, h.depth, LF_FORMAT_TGA) == nullptr || !IsValid())
        return Fail("TGA Create failed");
    const PixelKind kind = KindOf(h);
    const bool withAlpha = kind == PixelKind::kBgra || kind == PixelKind::kGreyAlpha;
    if (withAlpha && !AlphaCreate()) return Fail("TGA Create failed");
    if (info.escape != 0) return Fail("Cancelled");

    ByteSource src(stream);
    if (!src.Ready()) return Fail("TGA Create failed");

    if (h.mapType != 0) {
        uint8_t map[256 * 4] = {};
        src.Read(map, mapBytes);
        bool mapAlpha = false;
        for (uint32_t i = 0; i < h.mapLength; ++i) {
            const uint32_t index = h.mapFirst + i;  // pixel values count from the first entry
            if (index > 255) break;
            const uint8_t* e = map + i * entryBytes;
            uint8_t bgr[3] = {e[0], e[1], e[2]};
            if (entryBytes == 2) ConvertPixels(PixelKind::kRgb555, e, 1, bgr, nullptr);
            LfRgbQuad c{bgr[0], bgr[1], bgr[2], 0};
            if (entryBytes == 4) {
                c.alpha = e[3];
                mapAlpha |= e[3] != 0;
            }
            SetPaletteColor(static_cast<uint8_t>(index), c);
        }
        // A 32-bit map with alpha values keeps them (grey files get the grey palette instead);
        // all zero means no transparency.
        if (mapAlpha && IsIndexed() && !IsGreyType(h.imageType)) info.alphaPalette = true;
    }
    if (IsGreyType(h.imageType)) SetGreyPalette();

    const uint32_t width = Width();
    const uint32_t height = Height();
    const uint32_t dstBpp = BitCount() / 8;
    const bool topDown = (h.descriptor & kTopToBottom) != 0;
    const bool rightToLeft = (h.descriptor & kRightToLeft) != 0;
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[static_cast<size_t>(width) * fileBpp]);
    if (!scratch) return Fail("TGA Create failed");

    Leftover left;
    for (uint32_t i = 0; i < height; ++i) {
        if (info.escape != 0) return Fail("Cancelled");
        // A run carried over from the row above needs no more bytes.
        if (!(left.pixels > 0 && left.run) && src.AtEnd()) return Fail("corrupted TGA");
        const uint32_t y = topDown ? height - 1 - i : i;
        uint8_t* row = Row(y);
        uint8_t* alpha = withAlpha ? AlphaPlane() + static_cast<size_t>(y) * width : nullptr;
        if (IsCompressed(h.imageType))
            ExpandCompressedRow(src, kind, fileBpp, dstBpp, width, row, alpha, left, scratch.get());
        else
            ExpandRawRow(src, kind, fileBpp, width, row, alpha, scratch.get());
        if (rightToLeft) ReverseRow(row, alpha, width, dstBpp);
    }

    // Many 32-bit files leave the fourth byte 0 throughout: that is no transparency, not an
    // invisible picture.
    if (withAlpha) {
        const uint8_t* plane = AlphaPlane();
        const size_t count = static_cast<size_t>(width) * height;
        if (std::all_of(plane, plane + count, [](uint8_t a) { return a == 0; })) AlphaDelete();
    }
    return true;
}

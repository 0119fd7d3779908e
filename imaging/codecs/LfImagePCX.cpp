#include "LfImagePCX.h"

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

#include "LfLittleEndian.h"

namespace {

constexpr size_t kHeaderSize = 128;
constexpr uint8_t kManufacturer = 10;
constexpr uint8_t kRunLength = 1;
constexpr uint8_t kPaletteSignature = 12;
constexpr uint32_t kMaxField = 0xFFFF;
constexpr size_t kChunk = 1 << 20;  // coded bytes handed to the target stream at a time
const char* const kWriteError = "Write Error in PCX file";

struct PcxHeader {
    uint8_t manufacturer = 0;
    uint8_t encoding = 0;
    uint8_t bitsPerPixel = 0;
    uint16_t xMin = 0, yMin = 0, xMax = 0, yMax = 0;
    uint16_t xDpi = 0, yDpi = 0;
    uint8_t colourMap[48] = {};
    uint8_t planes = 0;
    uint16_t bytesPerLine = 0;
};

PcxHeader ParseHeader(const uint8_t* b) {
    PcxHeader h;
    h.manufacturer = b[0];
    h.encoding = b[2];
    h.bitsPerPixel = b[3];
    h.xMin = Get16(b + 4);
    h.yMin = Get16(b + 6);
    h.xMax = Get16(b + 8);
    h.yMax = Get16(b + 10);
    h.xDpi = Get16(b + 12);
    h.yDpi = Get16(b + 14);
    std::memcpy(h.colourMap, b + 16, 48);
    h.planes = b[65];
    h.bytesPerLine = Get16(b + 66);
    return h;
}

// Reads the stream through a 64 KiB buffer, so that the run-length decoder does not make a
// call into the stream for every byte.
class ByteSource {
public:
    explicit ByteSource(LfFile* stream) : stream_(stream), buffer_(new (std::nothrow) uint8_t[kSize]) {}
    bool Ready() const { return buffer_ != nullptr; }
    int Get() {
        if (pos_ == end_ && !Fill()) return -1;
        return buffer_[pos_++];
    }
    size_t Read(uint8_t* dst, size_t n) {
        size_t done = 0;
        while (done < n && (pos_ < end_ || Fill())) {
            const size_t part = std::min(n - done, end_ - pos_);
            std::memcpy(dst + done, buffer_.get() + pos_, part);
            pos_ += part;
            done += part;
        }
        return done;
    }
    // Fills dst with run-length decoded bytes: kShort when the stream ends first, kSpans
    // when a run passes `remaining`, the bytes the whole image has left (runs may cross
    // lines and planes, so a pending run carries over to the next call).
    enum class Status { kOk, kShort, kSpans };
    Status Unpack(uint8_t* dst, size_t n, uint64_t& remaining) {
        size_t done = 0;
        while (done < n) {
            if (run_ > 0) {
                const size_t part = std::min<size_t>(run_, n - done);
                std::memset(dst + done, runValue_, part);
                run_ -= static_cast<uint32_t>(part);
                done += part;
                continue;
            }
            if (pos_ == end_ && !Fill()) return Status::kShort;
            const uint8_t b = buffer_[pos_++];
            if (b < 0xC0) {
                dst[done++] = b;
                --remaining;
                continue;
            }
            const uint32_t count = b & 0x3F;
            const int value = Get();
            if (value < 0) return Status::kShort;
            if (count > remaining) return Status::kSpans;
            remaining -= count;
            run_ = count;
            runValue_ = static_cast<uint8_t>(value);
        }
        return Status::kOk;
    }

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
    uint32_t run_ = 0;
    uint8_t runValue_ = 0;
};

// Sets indices (one per byte) into an image row of 1, 4 or 8 bits.
void PackIndices(const uint8_t* indices, uint32_t count, uint32_t bitCount, uint8_t* row) {
    if (bitCount == 8) {
        std::memcpy(row, indices, count);
    } else if (bitCount == 4) {
        for (uint32_t x = 0; x < count; ++x) {
            if (x & 1) row[x / 2] |= indices[x] & 0x0F;
            else row[x / 2] = static_cast<uint8_t>(indices[x] << 4);
        }
    } else {
        for (uint32_t x = 0; x < count; ++x) {
            if ((x & 7) == 0) row[x / 8] = 0;
            if (indices[x] & 1) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x & 7));
        }
    }
}

// Codes one line of count samples, taken step bytes apart, and returns the end of the code.
// Equal samples form runs of at most 63; a run of one sample below 192 is the sample alone,
// anything else is the count byte (192 + length) and the sample, so that a lone sample of 192
// or more is not read as a count. pad appends one literal 0: the byte that brings an odd
// width to the even line length.
uint8_t* CodeLine(const uint8_t* samples, size_t step, uint32_t count, bool pad, uint8_t* out) {
    uint32_t x = 0;
    while (x < count) {
        const uint8_t c = samples[x * step];
        uint32_t n = 1;
        while (x + n < count && n < 63 && samples[(x + n) * step] == c) ++n;
        if (n > 1 || c >= 0xC0) *out++ = static_cast<uint8_t>(0xC0 + n);
        *out++ = c;
        x += n;
    }
    if (pad) *out++ = 0;
    return out;
}

bool WriteAll(LfFile* stream, const void* data, size_t length) {
    return length == 0 || stream->Write(data, 1, length) == length;
}

}  // namespace

bool LfImagePCX::Fail(const char* message) {
    SetLastError(message);
    return false;
}

// ---------------------------------------------------------------------------------------
// Pixel conversion

bool LfImagePCX::PCX_UnpackPixels(const uint8_t* line, uint32_t lineBytes, uint32_t bitsPerPixel,
                                  uint32_t planes, uint8_t* indices, uint32_t count) {
    if (planes != 1 || (bitsPerPixel != 1 && bitsPerPixel != 2 && bitsPerPixel != 4 && bitsPerPixel != 8))
        return Fail("PCX_UnpackPixels: Can't handle packed pixels with more than 1 plane");
    const uint32_t perByte = 8 / bitsPerPixel;
    const uint32_t mask = (1u << bitsPerPixel) - 1;
    count = static_cast<uint32_t>(std::min<uint64_t>(count, static_cast<uint64_t>(lineBytes) * perByte));
    if (bitsPerPixel == 8) {
        std::memcpy(indices, line, count);
        return true;
    }
    for (uint32_t x = 0; x < count; ++x) {
        const uint32_t shift = 8 - bitsPerPixel * (x % perByte + 1);
        indices[x] = static_cast<uint8_t>((line[x / perByte] >> shift) & mask);
    }
    return true;
}

bool LfImagePCX::PCX_PlanesToPixels(const uint8_t* lines, uint32_t lineBytes, uint32_t bitsPerPixel,
                                    uint32_t planes, uint8_t* indices, uint32_t count) {
    if (planes > 4 || bitsPerPixel != 1)
        return Fail("PCX_PlanesToPixels: more than 4 planes or more than 1 bit per pixel");
    count = static_cast<uint32_t>(std::min<uint64_t>(count, static_cast<uint64_t>(lineBytes) * 8));
    std::memset(indices, 0, count);
    for (uint32_t p = 0; p < planes; ++p) {
        const uint8_t* plane = lines + static_cast<size_t>(p) * lineBytes;
        for (uint32_t x = 0; x < count; ++x)
            if (plane[x / 8] & (0x80 >> (x % 8))) indices[x] |= static_cast<uint8_t>(1u << p);
    }
    return true;
}

// ---------------------------------------------------------------------------------------
// Writing

bool LfImagePCX::Encode(LfFile* stream) {
    if (EncodeSafeCheck(stream)) return false;

    const uint32_t width = Width();
    const uint32_t height = Height();
    const uint32_t bits = BitCount();
    const bool wide = bits >= 8;
    const uint32_t planes = bits == 24 ? (AlphaIsValid() ? 4 : 3) : NumColors() == 16 ? 4 : 1;
    const uint64_t needed = wide ? width : (static_cast<uint64_t>(width) + 7) / 8;
    const uint64_t bytesPerLine = (needed + 1) & ~uint64_t{1};
    // x max, y max and the line length are 16-bit fields.
    if (width - 1 > kMaxField || height - 1 > kMaxField || bytesPerLine > kMaxField)
        return Fail("image too large for PCX");

    uint8_t header[kHeaderSize] = {};
    header[0] = kManufacturer;
    header[1] = 5;
    header[2] = kRunLength;
    header[3] = wide ? 8 : 1;
    Put16(header + 8, width - 1);
    Put16(header + 10, height - 1);
    Put16(header + 12, static_cast<uint32_t>(std::clamp<int32_t>(XDpi(), 0, kMaxField)));
    Put16(header + 14, static_cast<uint32_t>(std::clamp<int32_t>(YDpi(), 0, kMaxField)));
    if (bits == 1) {
        std::memset(header + 19, 255, 3);  // entry 0 black, entry 1 white
    } else if (bits == 4) {
        for (uint32_t i = 0; i < 16; ++i) {
            const LfRgbQuad c = PaletteColor(static_cast<uint8_t>(i));
            header[16 + 3 * i] = c.red;
            header[17 + 3 * i] = c.green;
            header[18 + 3 * i] = c.blue;
        }
    }
    header[65] = static_cast<uint8_t>(planes);
    Put16(header + 66, static_cast<uint32_t>(bytesPerLine));
    Put16(header + 68, IsIndexed() ? 0 : 1);
    if (!WriteAll(stream, header, sizeof header)) return Fail("cannot write PCX header");

    // A scan line codes to at most twice its bytes (plus the padding byte per plane). The
    // code is handed to the stream in pieces of about a megabyte.
    const uint64_t scanWorst = planes * (2 * bytesPerLine + 1);
    std::vector<uint8_t> coded(static_cast<size_t>(std::min<uint64_t>(kChunk, scanWorst * height) + scanWorst));
    uint8_t* out = coded.data();
    auto handOver = [&](bool last) {
        const size_t used = static_cast<size_t>(out - coded.data());
        if (!last && used < kChunk) return true;
        out = coded.data();
        return WriteAll(stream, coded.data(), used);
    };
    const bool odd = wide && (width & 1) != 0;

    if (bits == 8 || bits == 24) {
        const uint32_t step = bits / 8;
        for (uint32_t r = 0; r < height; ++r) {
            const uint32_t y = height - 1 - r;  // the file lists rows from the top
            const uint8_t* row = Row(y);
            // Planes run red, green, blue (and alpha); the row stores blue, green, red.
            for (uint32_t p = 0; p < planes; ++p) {
                if (p == 3) out = CodeLine(AlphaPlane() + static_cast<size_t>(y) * width, 1, width, odd, out);
                else out = CodeLine(row + (bits == 24 ? 2 - p : 0), step, width, odd, out);
            }
            if (!handOver(false)) return Fail(kWriteError);
        }
    } else {
        // 1-bit files keep 0 as the darker colour: the decoder reads them as black and white.
        const bool invert = bits == 1 && LuminanceDifference(0, 1) > 0;
        std::vector<uint8_t> indices(width);
        std::vector<uint8_t> line(bytesPerLine);
        for (uint32_t r = 0; r < height; ++r) {
            const uint32_t y = height - 1 - r;
            for (uint32_t x = 0; x < width; ++x) {
                const uint8_t index = PixelIndexUnchecked(static_cast<int32_t>(x), static_cast<int32_t>(y));
                indices[x] = invert ? static_cast<uint8_t>(1 - index) : index;
            }
            for (uint32_t p = 0; p < planes; ++p) {
                std::fill(line.begin(), line.end(), 0);
                for (uint32_t x = 0; x < width; ++x)
                    if ((indices[x] >> p) & 1) line[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
                out = CodeLine(line.data(), 1, static_cast<uint32_t>(bytesPerLine), false, out);
            }
            if (!handOver(false)) return Fail(kWriteError);
        }
    }
    if (!handOver(true)) return Fail(kWriteError);

    if (bits == 8) {
        uint8_t table[1 + 256 * 3];
        table[0] = kPaletteSignature;
        for (uint32_t i = 0; i < 256; ++i) {
            const LfRgbQuad c = PaletteColor(static_cast<uint8_t>(i));
            table[1 + 3 * i] = c.red;
            table[2 + 3 * i] = c.green;
            table[3 + 3 * i] = c.blue;
        }
        if (!WriteAll(stream, table, sizeof table)) return Fail(kWriteError);
    }
    if (!stream->Flush()) return Fail(kWriteError);
    return true;
}

// ---------------------------------------------------------------------------------------
// Reading

bool LfImagePCX::Decode(LfFile* stream) {
    if (stream == nullptr) return Fail("null file handler");
    uint8_t raw[kHeaderSize];
    if (stream->Read(raw, 1, kHeaderSize) != kHeaderSize) return Fail("Can't read PCX image");
    const PcxHeader h = ParseHeader(raw);
    if (h.manufacturer != kManufacturer) return Fail("Error: Not a PCX file");
    if (h.encoding != kRunLength) return Fail("PCX file has unknown encoding scheme");
    // A window whose far edge lies before its near edge has no pixels.
    if (h.xMax < h.xMin || h.yMax < h.yMin) return Fail("bad PCX image size");
    const uint32_t width = h.xMax - h.xMin + 1u;
    const uint32_t height = h.yMax - h.yMin + 1u;
    SetXDpi(h.xDpi);
    SetYDpi(h.yDpi);

    if (info.escape == -1) {
        head.width = static_cast<int32_t>(width);
        head.height = static_cast<int32_t>(height);
        info.type = LF_FORMAT_PCX;
        return true;
    }

    const uint32_t planes = h.planes;
    const uint32_t bpp = h.bitsPerPixel;
    if (planes > 4) return Fail("Can't handle image with more than 4 planes");
    if (planes == 0) return Fail("PCX image has no planes");
    // Which layouts the row conversion can read, decided before anything is allocated.
    const bool trueColour = planes >= 3 && bpp == 8;
    if (planes == 1 && bpp != 1 && bpp != 2 && bpp != 4 && bpp != 8)
        return Fail("PCX_UnpackPixels: Can't handle packed pixels with more than 1 plane");
    if (planes > 1 && !trueColour && bpp != 1)
        return Fail("PCX_PlanesToPixels: more than 4 planes or more than 1 bit per pixel");

    // Lines shorter than the width needs would leave most of a picture that the header alone
    // sized empty; no writer makes them.
    const uint32_t lineBytes = h.bytesPerLine;
    const uint64_t lineBits = static_cast<uint64_t>(lineBytes) * 8;
    if (lineBits < static_cast<uint64_t>(width) * (trueColour ? 8 : planes == 1 ? bpp : 1))
        return Fail("PCX bytes per line too small for the width");
    // The coded data must be able to fill every line: a run gives at most 63 bytes for 2.
    const uint64_t scanBytes = static_cast<uint64_t>(lineBytes) * planes;
    uint64_t remaining = scanBytes * height;
    const int32_t size = stream->Size();
    const int32_t at = stream->Tell();
    if (size >= 0 && at >= 0 && remaining > (static_cast<uint64_t>(std::max(size - at, 0)) * 32))
        return Fail("corrupted PCX");

    // 2 and 3 planes of 1 bit combine to indices up to 3 and 7: they are held in 4 bits.
    const uint32_t depth = trueColour ? 24 : planes > 1 ? 4 : bpp;
    if (Create(width, height, depth, LF_FORMAT_PCX) == nullptr) return false;
    if (planes == 4 && trueColour && !AlphaCreate()) return Fail("PCX can't allocate memory");
    if (info.escape != 0) return Fail("Cancelled");

    ByteSource src(stream);
    std::unique_ptr<uint8_t[]> scan(new (std::nothrow) uint8_t[scanBytes + 1]);
    std::unique_ptr<uint8_t[]> indices(new (std::nothrow) uint8_t[width]);
    if (!src.Ready() || !scan || !indices) return Fail("PCX can't allocate memory");

    for (uint32_t r = 0; r < height; ++r) {
        if (info.escape != 0) return Fail("Cancelled");
        switch (src.Unpack(scan.get(), scanBytes, remaining)) {
        case ByteSource::Status::kShort: return Fail("corrupted PCX");
        case ByteSource::Status::kSpans: return Fail("repeat count spans end of image");
        case ByteSource::Status::kOk: break;
        }
        const uint32_t y = height - 1 - r;  // the file lists rows from the top
        uint8_t* row = Row(y);
        if (trueColour) {
            const uint8_t* red = scan.get();
            for (uint32_t x = 0; x < width; ++x) {
                row[3 * x] = red[2 * lineBytes + x];
                row[3 * x + 1] = red[lineBytes + x];
                row[3 * x + 2] = red[x];
            }
            if (planes == 4) {
                uint8_t* alpha = AlphaPlane() + static_cast<size_t>(y) * width;
                std::memcpy(alpha, red + 3 * static_cast<size_t>(lineBytes), width);
            }
        } else {
            const bool ok = planes == 1
                                ? PCX_UnpackPixels(scan.get(), lineBytes, bpp, planes, indices.get(), width)
                                : PCX_PlanesToPixels(scan.get(), lineBytes, bpp, planes, indices.get(), width);
            if (!ok) return false;
            PackIndices(indices.get(), width, BitCount(), row);
        }
    }

    // Palette: the header's 16 entries, the 256-colour table after the data of 8-bit files,
    // or black and white for 1-bit files.
    if (!IsIndexed()) return true;
    uint8_t colours[256 * 3] = {};
    std::memcpy(colours, h.colourMap, sizeof h.colourMap);
    if (bpp == 8 && planes == 1) {
        if (src.Get() != kPaletteSignature) return Fail("bad color map signature");
        src.Read(colours, sizeof colours);  // a short table leaves the rest black
    } else if (bpp == 1 && planes == 1) {
        std::memset(colours, 0, 3);
        std::memset(colours + 3, 255, 3);
    }
    for (uint32_t i = 0; i < NumColors(); ++i)
        SetPaletteColor(static_cast<uint8_t>(i), LfRgbQuad{colours[3 * i + 2], colours[3 * i + 1], colours[3 * i], 0});
    return true;
}

#include "LfImageWMF.h"

#include <cairo.h>

#include <algorithm>
#include <limits>
#include <new>

#include "LfLittleEndian.h"

namespace {

constexpr uint32_t kPlaceableKey = 0x9AC6CDD7;
constexpr uint32_t kEmfSignature = 0x464D4520;  // " EMF"
constexpr size_t kPlaceableSize = 22;
constexpr size_t kWmfHeaderSize = 18;
constexpr size_t kEmfHeaderSize = 108;
constexpr int64_t kScreenDpi = 96;

// Reads exactly `size` bytes into a new buffer; false on a short read or without memory.
bool ReadExactly(LfFile* stream, size_t size, std::vector<uint8_t>& out) {
    try {
        out.resize(size);
    } catch (const std::bad_alloc&) {
        return false;
    }
    return size == 0 || stream->Read(out.data(), 1, size) == size;
}

int64_t AbsDiff(int64_t a, int64_t b) { return a > b ? a - b : b - a; }

}  // namespace

bool LfImageWMF::Fail(const char* message) {
    SetLastError(message);
    return false;
}

bool LfImageWMF::Encode(LfFile* stream) {
    if (stream == nullptr) return false;
    return Fail("Save WMF not supported");
}

// A placeable header with a valid key, checksum and units per inch, then an old-style
// metafile header of type 1 or 2 whose size fits in what the stream still holds.
bool LfImageWMF::ReadPlaceable(LfFile* stream, int64_t start, int64_t total, Metafile& mf) {
    uint8_t p[kPlaceableSize];
    if (stream->Read(p, 1, kPlaceableSize) != kPlaceableSize) return false;
    if (Get32(p) != kPlaceableKey) return false;
    uint16_t checksum = 0;
    for (size_t i = 0; i < 20; i += 2) checksum ^= Get16(p + i);
    if (checksum != Get16(p + 20)) return false;
    const int64_t unitsPerInch = Get16(p + 14);
    if (unitsPerInch < 1 || unitsPerInch > 2540) return false;

    uint8_t h[kWmfHeaderSize];
    if (stream->Read(h, 1, kWmfHeaderSize) != kWmfHeaderSize) return false;
    const uint16_t type = Get16(h);
    if (type != 1 && type != 2) return false;
    // The size counts 16-bit words, header included, and must not exceed the stream. Some
    // writers count the placeable header too, so the metafile is what follows that header
    // (at the metafile's own start, not the stream's offset 22), up to the size given.
    const uint64_t bytes = static_cast<uint64_t>(Get32(h + 6)) * 2;
    const int64_t available = total - start - static_cast<int64_t>(kPlaceableSize);
    if (bytes < kWmfHeaderSize || bytes > static_cast<uint64_t>(total - start) ||
        available < static_cast<int64_t>(kWmfHeaderSize))
        return false;
    const size_t take = static_cast<size_t>(std::min<uint64_t>(bytes, static_cast<uint64_t>(available)));
    if (!stream->Seek(static_cast<int32_t>(start + kPlaceableSize), SEEK_SET)) return false;
    if (!ReadExactly(stream, take, mf.bytes)) return false;

    mf.enhanced = false;
    mf.box = {static_cast<int16_t>(Get16(p + 6)), static_cast<int16_t>(Get16(p + 8)),
              static_cast<int16_t>(Get16(p + 10)), static_cast<int16_t>(Get16(p + 12))};
    // Box units to screen pixels, rounded to nearest. A box drawn right to left or bottom
    // to top still has its size; the player maps it as it stands.
    mf.width = (AbsDiff(mf.box.right, mf.box.left) * kScreenDpi + unitsPerInch / 2) / unitsPerInch;
    mf.height = (AbsDiff(mf.box.bottom, mf.box.top) * kScreenDpi + unitsPerInch / 2) / unitsPerInch;
    return true;
}

// An enhanced metafile: header record type 1 with the " EMF" signature; the whole rest of
// the stream is the metafile. Its size is the bounds rectangle in device pixels.
bool LfImageWMF::ReadEnhanced(LfFile* stream, int64_t start, int64_t total, Metafile& mf) {
    uint8_t h[kEmfHeaderSize];
    if (stream->Read(h, 1, kEmfHeaderSize) != kEmfHeaderSize) return false;
    if (Get32(h) != 1 || Get32(h + 40) != kEmfSignature) return false;
    const uint32_t headerBytes = Get32(h + 4);
    if (!stream->Seek(static_cast<int32_t>(start), SEEK_SET)) return false;
    const int64_t available = total - start;
    if (available < static_cast<int64_t>(kEmfHeaderSize)) return false;
    if (!ReadExactly(stream, static_cast<size_t>(available), mf.bytes)) return false;
    // A header record that is shorter than its fixed part or longer than the file makes no
    // metafile; bytes after the size the header declares are not part of it.
    if (headerBytes < 88 || headerBytes > mf.bytes.size()) return false;
    const uint32_t declared = Get32(h + 48);
    if (declared >= headerBytes && declared < mf.bytes.size()) mf.bytes.resize(declared);

    mf.enhanced = true;
    const auto bound = [&](size_t at) { return static_cast<int64_t>(static_cast<int32_t>(Get32(h + at))); };
    mf.width = bound(16) - bound(8);
    mf.height = bound(20) - bound(12);
    return true;
}

// Plays the metafile into a white surface of the given size and copies it, top row last,
// into a 24-bit image.
bool LfImageWMF::Render(const Metafile& mf, int width, int height) {
    cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
    if (cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
        cairo_surface_destroy(surface);
        return false;
    }
    cairo_t* cr = cairo_create(surface);
    cairo_set_source_rgb(cr, 1, 1, 1);  // areas the metafile does not paint stay white
    cairo_paint(cr);
    {
        LfMetafilePlayer player(cr, width, height);
        if (mf.enhanced) player.PlayEmf(mf.bytes.data(), mf.bytes.size());
        else player.PlayWmf(mf.bytes.data(), mf.bytes.size(), mf.box);
    }
    cairo_destroy(cr);
    cairo_surface_flush(surface);

    bool ok = false;
    if (info.escape != 0) {
        SetLastError("Cancelled");
    } else if (Create(static_cast<uint32_t>(width), static_cast<uint32_t>(height), 24, LF_FORMAT_WMF)) {
        const uint8_t* data = cairo_image_surface_get_data(surface);
        const int stride = cairo_image_surface_get_stride(surface);
        for (int y = 0; y < height; ++y) {
            const auto* src = reinterpret_cast<const uint32_t*>(data + static_cast<size_t>(y) * stride);
            uint8_t* dst = Row(static_cast<uint32_t>(height - 1 - y));
            for (int x = 0; x < width; ++x) {
                dst[3 * x] = static_cast<uint8_t>(src[x]);            // blue
                dst[3 * x + 1] = static_cast<uint8_t>(src[x] >> 8);   // green
                dst[3 * x + 2] = static_cast<uint8_t>(src[x] >> 16);  // red
            }
        }
        ok = true;
    }
    cairo_surface_destroy(surface);
    return ok;
}

bool LfImageWMF::Decode(LfFile* stream) { return Decode(stream, 0, 0); }

bool LfImageWMF::Decode(LfFile* stream, uint32_t forcedWidth, uint32_t forcedHeight) {
    if (stream == nullptr) return Fail("null file handler");
    const int64_t start = stream->Tell();
    const int64_t total = stream->Size();
    Metafile mf;
    if (start < 0 || total < start || !ReadPlaceable(stream, start, total, mf)) {
        mf = Metafile{};
        if (start < 0 || total < start || !stream->Seek(static_cast<int32_t>(start), SEEK_SET) ||
            !ReadEnhanced(stream, start, total, mf))
            return Fail("corrupted WMF");
    }

    if (info.escape == -1) {
        constexpr int64_t kIntMax = std::numeric_limits<int32_t>::max();
        head.width = static_cast<int32_t>(std::clamp<int64_t>(mf.width, -kIntMax, kIntMax));
        head.height = static_cast<int32_t>(std::clamp<int64_t>(mf.height, -kIntMax, kIntMax));
        info.type = LF_FORMAT_WMF;
        SetLastError("output dimensions returned");
        return true;
    }
    // A bounds rectangle drawn backwards gives a negative size: nothing to render either.
    if (mf.width <= 0 || mf.height <= 0) return Fail("empty WMF");

    int64_t width = forcedWidth ? forcedWidth : mf.width;
    int64_t height = forcedHeight ? forcedHeight : mf.height;
    if (width > kMaxSide) {
        height = height * kMaxSide / width;
        width = kMaxSide;
    }
    if (height > kMaxSide) {
        width = width * kMaxSide / height;
        height = kMaxSide;
    }
    // A very long thin strip keeps at least one pixel across.
    width = std::max<int64_t>(width, 1);
    height = std::max<int64_t>(height, 1);
    return Render(mf, static_cast<int>(width), static_cast<int>(height));
}

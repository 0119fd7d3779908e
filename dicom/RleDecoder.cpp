#include "RleDecoder.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace {

constexpr size_t kHeaderBytes = 64;
constexpr uint32_t kMaxSegments = 15;

uint32_t ReadU32(const uint8_t* p) {
    return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// Unpacks one PackBits segment into exactly `out.size()` bytes. Encoders pad segments to an
// even length, so bytes left after the plane is full are ignored, and a run crossing the
// plane's end is cut there; a segment that ends before the plane is full is damaged.
bool UnpackSegment(const uint8_t* in, size_t size, std::vector<uint8_t>& out) {
    size_t at = 0, written = 0;
    const size_t want = out.size();
    while (written < want && at < size) {
        const int8_t n = static_cast<int8_t>(in[at++]);
        if (n >= 0) {
            const size_t count = size_t(n) + 1;
            if (count > size - at) return false;
            const size_t kept = std::min(count, want - written);
            std::memcpy(out.data() + written, in + at, kept);
            at += count;
            written += kept;
        } else if (n != -128) {
            if (at >= size) return false;
            const size_t kept = std::min(size_t(1 - n), want - written);
            std::memset(out.data() + written, in[at++], kept);
            written += kept;
        }
    }
    return written == want;
}

}  // namespace

bool DecodeRleFrame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                    std::string& error) {
    if (layout.photometric == Photometric::YbrFull422)
        return error = "RLE pixel data cannot hold YBR_FULL_422 pictures", false;
    if (size < kHeaderBytes) return error = "RLE frame shorter than its header", false;
    const bool packedBits = layout.bitsAllocated == 1;
    const size_t byteSamples = packedBits ? 1 : size_t(layout.bitsAllocated / 8);
    const size_t planes = layout.samplesPerPixel;
    const uint32_t count = ReadU32(data);
    if (count == 0 || count > kMaxSegments) return error = "RLE header lists " + std::to_string(count) + " segments", false;
    if (count != planes * byteSamples)
        return error = "RLE frame has " + std::to_string(count) + " segments, the picture needs " +
                       std::to_string(planes * byteSamples), false;
    uint32_t offsets[kMaxSegments + 1];
    for (uint32_t s = 0; s < count; ++s) offsets[s] = ReadU32(data + 4 + 4 * s);
    offsets[count] = static_cast<uint32_t>(std::min<size_t>(size, UINT32_MAX));
    for (uint32_t s = 0; s < count; ++s)
        if (offsets[s] < kHeaderBytes || offsets[s] >= offsets[s + 1] || offsets[s] >= size)
            return error = "RLE segment " + std::to_string(s + 1) + " offset outside the frame", false;

    const size_t pixels = layout.pixels();
    // A 1-bit plane holds packed bytes, the first pixel in the lowest bit.
    std::vector<uint8_t> plane(packedBits ? (pixels + 7) / 8 : pixels);
    const bool planar = layout.planarConfiguration == 1;
    for (uint32_t s = 0; s < count; ++s) {
        if (!UnpackSegment(data + offsets[s], offsets[s + 1] - offsets[s], plane))
            return error = "RLE segment " + std::to_string(s + 1) + " is damaged or short", false;
        const size_t component = s / byteSamples;
        if (packedBits) {
            for (size_t p = 0; p < pixels; ++p) samples[p] = (plane[p >> 3] >> (p & 7)) & 1;
            continue;
        }
        // Segments run from the most significant byte down; samples are kept little-endian.
        const size_t byteInSample = byteSamples - 1 - s % byteSamples;
        const size_t step = planar ? byteSamples : byteSamples * planes;
        uint8_t* out = samples + byteInSample + (planar ? component * pixels * byteSamples : component * byteSamples);
        for (size_t p = 0; p < pixels; ++p) out[p * step] = plane[p];
    }
    return true;
}

#include "ColourConversion.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

uint32_t RawSample(const uint8_t* samples, size_t i, int bytes) {
    const uint8_t* p = samples + i * static_cast<size_t>(bytes);
    switch (bytes) {
    case 1: return p[0];
    case 2: return static_cast<uint32_t>(p[0] | (p[1] << 8));
    default: return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
    }
}

// Turns a stored sample into 8 bits: the bits stored below the high bit, then the top 8 of
// those when there are more.
class SampleScale {
public:
    explicit SampleScale(const PixelLayout& l) {
        const int allocated = l.bitsAllocated;
        stored_ = std::clamp<int>(l.bitsStored, 1, allocated);
        const int high = std::clamp<int>(l.highBit, stored_ - 1, allocated - 1);
        shift_ = high + 1 - stored_;
        mask_ = stored_ >= 32 ? 0xFFFFFFFFu : (1u << stored_) - 1;
        narrow_ = stored_ > 8 ? stored_ - 8 : 0;
    }
    uint32_t stored(uint32_t raw) const { return (raw >> shift_) & mask_; }
    uint8_t level(uint32_t raw) const { return static_cast<uint8_t>(stored(raw) >> narrow_); }

private:
    int stored_ = 8, shift_ = 0, narrow_ = 0;
    uint32_t mask_ = 0xFF;
};

uint8_t Clamp8(double v) { return static_cast<uint8_t>(std::clamp(std::lround(v), 0L, 255L)); }

// Full-range YCbCr to RGB.
void YbrToBgr(int y, int cb, int cr, uint8_t* out) {
    out[2] = Clamp8(y + 1.402 * (cr - 128));
    out[1] = Clamp8(y - 0.344136 * (cb - 128) - 0.714136 * (cr - 128));
    out[0] = Clamp8(y + 1.772 * (cb - 128));
}

}  // namespace

void RenderColourFrame(const uint8_t* samples, const PixelLayout& l, const PaletteTables* palette,
                       uint8_t* pixels, int64_t stride) {
    const int bytes = l.sampleBytes();
    const SampleScale scale(l);
    const size_t n = l.pixels();
    // Index of sample c of pixel p, pixel by pixel or plane by plane.
    auto at = [&](size_t p, int c) {
        return l.planarConfiguration == 1 ? c * n + p : p * 3 + static_cast<size_t>(c);
    };
    for (size_t y = 0; y < l.rows; ++y) {
        uint8_t* row = pixels + static_cast<int64_t>(y) * stride;
        for (size_t x = 0; x < l.columns; ++x) {
            const size_t p = y * l.columns + x;
            uint8_t* out = row + 3 * x;
            switch (l.photometric) {
            case Photometric::Rgb:
                for (int c = 0; c < 3; ++c) out[2 - c] = scale.level(RawSample(samples, at(p, c), bytes));
                break;
            case Photometric::YbrFull:
                YbrToBgr(scale.level(RawSample(samples, at(p, 0), bytes)),
                         scale.level(RawSample(samples, at(p, 1), bytes)),
                         scale.level(RawSample(samples, at(p, 2), bytes)), out);
                break;
            case Photometric::YbrFull422: {
                // Pairs of pixels stored as Y1 Y2 Cb Cr.
                const size_t pair = (p / 2) * 4;
                YbrToBgr(scale.level(RawSample(samples, pair + (p % 2), bytes)),
                         scale.level(RawSample(samples, pair + 2, bytes)),
                         scale.level(RawSample(samples, pair + 3, bytes)), out);
                break;
            }
            case Photometric::Palette: {
                const uint32_t stored = scale.stored(RawSample(samples, p, bytes));
                // Signed indices count from their sign bit.
                int32_t index = static_cast<int32_t>(stored);
                if (l.pixelRepresentation && l.bitsStored > 0 && l.bitsStored < 32 &&
                    (stored >> (l.bitsStored - 1)) & 1)
                    index -= int32_t{1} << l.bitsStored;
                uint8_t rgb[3];
                palette->entry(index, rgb);
                out[0] = rgb[2];
                out[1] = rgb[1];
                out[2] = rgb[0];
                break;
            }
            default: out[0] = out[1] = out[2] = 0; break;
            }
        }
        std::memset(row + 3 * l.columns, 0, static_cast<size_t>(stride - 3 * int64_t{l.columns}));
    }
}

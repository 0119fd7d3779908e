// LfImage::Resample: nearest pixel, cubic B-spline, bilinear, and an area-averaging shrink for
// 24-bit pictures. Every mode builds a new image of the requested size and hands it over by
// Transfer, so a failure leaves this image untouched.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <utility>
#include <vector>

#include "LfImage.h"
#include "LfResampleKernels.h"

namespace lfresample {

float BicubicKernel(float t) {
    if (t > 2.0f) return 0.0f;
    auto cube = [](float u) { return u > 0.0f ? u * u * u : 0.0f; };
    return (cube(t + 2.0f) - 4.0f * cube(t + 1.0f) + 6.0f * cube(t) - 4.0f * cube(t - 1.0f)) *
           0.16666667f;
}

float Scale(uint32_t sourceSize, uint32_t newSize) {
    return static_cast<float>(sourceSize) / static_cast<float>(newSize);
}

uint32_t NearestSource(uint32_t destination, float scale, uint32_t sourceSize) {
    const float position = static_cast<float>(destination) * scale;
    // Float rounding of extreme enlargements can land exactly on the size; stay inside.
    const uint64_t index = static_cast<uint64_t>(position);
    return static_cast<uint32_t>(std::min<uint64_t>(index, sourceSize - 1));
}

int64_t AreaScaleTotal(float horizontalScale, float verticalScale) {
    return static_cast<int64_t>(horizontalScale * 1000.0f * verticalScale);
}

}  // namespace lfresample

namespace {

using namespace lfresample;

// Sets the progress of the source before each row; false when the caller asked to stop.
bool StartRow(LfImage& source, uint32_t row, uint32_t rows) {
    source.SetProgress(static_cast<int32_t>(100 * static_cast<uint64_t>(row) / rows));
    return source.Escape() == 0;
}

uint8_t* PixelRow(const LfImage& image, uint32_t row) {
    return image.info.pixels + static_cast<size_t>(row) * image.EffectiveWidth();
}

// Colour of a pixel known to be inside the picture: 24-bit pictures straight from the row,
// palette pictures through their palette.
LfRgbQuad SourceColor(const LfImage& image, uint32_t x, uint32_t y) {
    if (image.BitCount() == 24) {
        const uint8_t* p = PixelRow(image, y) + static_cast<size_t>(x) * 3;
        return LfRgbQuad{p[0], p[1], p[2], 0};
    }
    return image.PixelColor(static_cast<int32_t>(x), static_cast<int32_t>(y), false);
}

// 24-bit pictures take the bytes; palette pictures store the nearest palette index.
void StoreColor(LfImage& image, uint32_t x, uint32_t y, LfRgbQuad color) {
    if (image.BitCount() == 24) {
        uint8_t* p = PixelRow(image, y) + static_cast<size_t>(x) * 3;
        p[0] = color.blue;
        p[1] = color.green;
        p[2] = color.red;
        return;
    }
    image.SetPixelColor(static_cast<int32_t>(x), static_cast<int32_t>(y), color, false);
}

uint8_t TruncateToByte(float value) {
    if (!(value > 0.0f)) return 0;
    return value >= 255.0f ? 255 : static_cast<uint8_t>(value);
}

uint32_t ClampIndex(int64_t index, uint32_t size) {
    return static_cast<uint32_t>(std::clamp<int64_t>(index, 0, static_cast<int64_t>(size) - 1));
}

std::vector<uint32_t> NearestColumns(uint32_t newWidth, float scale, uint32_t sourceWidth) {
    std::vector<uint32_t> columns(newWidth);
    for (uint32_t x = 0; x < newWidth; ++x) columns[x] = NearestSource(x, scale, sourceWidth);
    return columns;
}

void ResampleNearest(LfImage& source, LfImage& result, float xScale, float yScale) {
    const uint32_t newWidth = result.Width(), newHeight = result.Height();
    const std::vector<uint32_t> columns = NearestColumns(newWidth, xScale, source.Width());
    for (uint32_t y = 0; y < newHeight; ++y) {
        if (!StartRow(source, y, newHeight)) break;
        const uint32_t sy = NearestSource(y, yScale, source.Height());
        if (source.BitCount() == 24) {
            const uint8_t* from = PixelRow(source, sy);
            uint8_t* to = PixelRow(result, y);
            for (uint32_t x = 0; x < newWidth; ++x, to += 3)
                std::memcpy(to, from + static_cast<size_t>(columns[x]) * 3, 3);
            continue;
        }
        // Palette pictures go colour to colour, so the nearest palette index decides.
        for (uint32_t x = 0; x < newWidth; ++x) {
            const LfRgbQuad color = source.PixelColor(static_cast<int32_t>(columns[x]),
                                                      static_cast<int32_t>(sy), true);
            result.SetPixelColor(static_cast<int32_t>(x), static_cast<int32_t>(y), color, false);
        }
    }
}

// The four source lines and their B-spline weights for one destination coordinate.
struct CubicTaps {
    uint32_t index[4];
    float weight[4];
};

// Columns weigh K(d - n) and rows K(m - d); the kernel is even, but the rounding follows
// the argument as written, so both forms are kept.
CubicTaps CubicTapsFor(uint32_t destination, float scale, uint32_t sourceSize, bool isRow) {
    const float position = static_cast<float>(destination) * scale - 0.5f;
    const float whole = std::floor(position);
    const float fraction = position - whole;
    CubicTaps taps{};
    for (int n = -1; n <= 2; ++n) {
        const float offset = static_cast<float>(n);
        taps.index[n + 1] = ClampIndex(static_cast<int64_t>(whole) + n, sourceSize);
        taps.weight[n + 1] = isRow ? BicubicKernel(offset - fraction)
                                   : BicubicKernel(fraction - offset);
    }
    return taps;
}

void ResampleBicubic(LfImage& source, LfImage& result, float xScale, float yScale) {
    const uint32_t newWidth = result.Width(), newHeight = result.Height();
    std::vector<CubicTaps> columns(newWidth);
    for (uint32_t x = 0; x < newWidth; ++x)
        columns[x] = CubicTapsFor(x, xScale, source.Width(), false);
    for (uint32_t y = 0; y < newHeight; ++y) {
        if (!StartRow(source, y, newHeight)) break;
        const CubicTaps row = CubicTapsFor(y, yScale, source.Height(), true);
        for (uint32_t x = 0; x < newWidth; ++x) {
            const CubicTaps& column = columns[x];
            float blue = 0.0f, green = 0.0f, red = 0.0f;
            for (int m = 0; m < 4; ++m) {
                for (int n = 0; n < 4; ++n) {
                    const float w = column.weight[n] * row.weight[m];
                    const LfRgbQuad c = SourceColor(source, column.index[n], row.index[m]);
                    blue += static_cast<float>(c.blue) * w;
                    green += static_cast<float>(c.green) * w;
                    red += static_cast<float>(c.red) * w;
                }
            }
            StoreColor(result, x, y,
                       LfRgbQuad{TruncateToByte(blue), TruncateToByte(green), TruncateToByte(red), 0});
        }
    }
}

// Left (or lower) source line, its neighbour and the fraction between them.
struct LinearTap {
    uint32_t first;
    uint32_t second;
    float fraction;
};

LinearTap LinearTapFor(uint32_t destination, float scale, uint32_t sourceSize) {
    const float position = static_cast<float>(destination) * scale;
    const int64_t whole = static_cast<int64_t>(position);
    LinearTap tap;
    tap.fraction = position - static_cast<float>(whole);
    tap.first = ClampIndex(whole, sourceSize);
    tap.second = ClampIndex(static_cast<int64_t>(tap.first) + 1, sourceSize);
    return tap;
}

uint8_t Interpolate(uint8_t c1, uint8_t c2, uint8_t c3, uint8_t c4, float dx, float dy) {
    const float a = static_cast<float>(c1) + static_cast<float>(c3 - c1) * dy;
    const float b = static_cast<float>(c2) + static_cast<float>(c4 - c2) * dy;
    return TruncateToByte(a + (b - a) * dx);
}

void ResampleBilinear(LfImage& source, LfImage& result, float xScale, float yScale) {
    const uint32_t newWidth = result.Width(), newHeight = result.Height();
    std::vector<LinearTap> columns(newWidth);
    for (uint32_t x = 0; x < newWidth; ++x) columns[x] = LinearTapFor(x, xScale, source.Width());
    for (uint32_t y = 0; y < newHeight; ++y) {
        if (!StartRow(source, y, newHeight)) break;
        const LinearTap row = LinearTapFor(y, yScale, source.Height());
        for (uint32_t x = 0; x < newWidth; ++x) {
            const LinearTap& col = columns[x];
            const LfRgbQuad c1 = SourceColor(source, col.first, row.first);
            const LfRgbQuad c2 = SourceColor(source, col.second, row.first);
            const LfRgbQuad c3 = SourceColor(source, col.first, row.second);
            const LfRgbQuad c4 = SourceColor(source, col.second, row.second);
            const float dx = col.fraction, dy = row.fraction;
            StoreColor(result, x, y,
                       LfRgbQuad{Interpolate(c1.blue, c2.blue, c3.blue, c4.blue, dx, dy),
                                 Interpolate(c1.green, c2.green, c3.green, c4.green, dx, dy),
                                 Interpolate(c1.red, c2.red, c3.red, c4.red, dx, dy), 0});
        }
    }
}

uint8_t AreaAverage(int64_t sum, int64_t total) {
    return static_cast<uint8_t>(std::clamp<int64_t>(sum / total, 0, 255));
}

// Shrinks a 24-bit picture in one pass over its rows. Each source pixel adds its bytes, in
// thousandths of its area, to the destination pixel it falls in; a pixel that straddles a
// column or row boundary is split between the neighbours. Two accumulator rows suffice: the
// destination row being built and the next one, which receives the lower share of a
// straddling source row. Each row has three spare entries for the share beyond the right edge.
// Sums are 64-bit: 255 x 1000 x the area of a heavy shrink does not fit 32 bits.
void ShrinkByArea(LfImage& source, LfImage& result, float xScale, float yScale) {
    const uint32_t width = source.Width(), height = source.Height();
    const uint32_t newWidth = result.Width(), newHeight = result.Height();
    const size_t rowEntries = 3 * static_cast<size_t>(newWidth);
    const int64_t total = AreaScaleTotal(xScale, yScale);
    std::vector<int64_t> rowA(rowEntries + 3, 0), rowB(rowEntries + 3, 0);
    int64_t* current = rowA.data();
    int64_t* carry = rowB.data();

    float rowEnd = yScale - 1.0f;
    uint32_t destinationRow = 0;
    for (uint32_t ys = 0; ys < height; ++ys) {
        if (!StartRow(source, ys, height)) break;
        const uint8_t* s = PixelRow(source, ys);
        float columnEnd = xScale - 1.0f;
        size_t i = 0;
        // Once every destination column is passed (float drift on long rows can add one more
        // boundary), the rest of the row goes to the spare entries, which are never output.
        if (static_cast<float>(ys) < rowEnd) {
            for (uint32_t xs = 0; xs < width; ++xs, s += 3) {
                if (static_cast<float>(xs) < columnEnd || i == rowEntries) {
                    for (int k = 0; k < 3; ++k) current[i + k] += s[k] * 1000;
                    continue;
                }
                const int64_t wx = static_cast<int64_t>((static_cast<float>(xs) - columnEnd) * 1000.0f);
                for (int k = 0; k < 3; ++k) {
                    current[i + k] += s[k] * (1000 - wx);
                    current[i + 3 + k] += s[k] * wx;
                }
                columnEnd += xScale;
                i += 3;
            }
            continue;
        }

        // This source row straddles the boundary: finish the current destination row.
        uint8_t* out = destinationRow < newHeight ? PixelRow(result, destinationRow) : nullptr;
        const int64_t wy = static_cast<int64_t>((static_cast<float>(ys) - rowEnd) * 1000.0f);
        for (uint32_t xs = 0; xs < width; ++xs, s += 3) {
            if (static_cast<float>(xs) < columnEnd || i == rowEntries) {
                for (int k = 0; k < 3; ++k) {
                    current[i + k] += s[k] * (1000 - wy);
                    carry[i + k] += s[k] * wy;
                }
                continue;
            }
            const int64_t wx = static_cast<int64_t>((static_cast<float>(xs) - columnEnd) * 1000.0f);
            for (int k = 0; k < 3; ++k) {
                const int64_t sk = s[k];
                current[i + k] += sk * (1000 - wy) * (1000 - wx) / 1000;
                if (out) out[i + k] = AreaAverage(current[i + k], total);
                carry[i + k] += sk * wy * (1000 - wx) / 1000;
                current[i + 3 + k] += sk * (1000 - wy) * wx / 1000;
                // Assigned: this resets the entry left over from two rows ago.
                carry[i + 3 + k] = sk * wy * wx / 1000;
            }
            columnEnd += xScale;
            i += 3;
        }
        // The last column boundary may fall just past the row end.
        if (out && i < rowEntries)
            for (int k = 0; k < 3; ++k) out[i + k] = AreaAverage(current[i + k], total);

        rowEnd += yScale;
        std::swap(current, carry);
        carry[0] = carry[1] = carry[2] = 0;
        ++destinationRow;
    }
    if (destinationRow < newHeight) {
        uint8_t* out = PixelRow(result, destinationRow);
        for (size_t k = 0; k < rowEntries; ++k) out[k] = AreaAverage(current[k], total);
    }
}

// The alpha plane follows the nearest-pixel rule whatever the colour mode.
void ResampleAlpha(const LfImage& source, LfImage& result, float xScale, float yScale) {
    if (!result.AlphaCreate()) return;
    const uint32_t width = source.Width(), height = source.Height();
    const uint32_t newWidth = result.Width(), newHeight = result.Height();
    const std::vector<uint32_t> columns = NearestColumns(newWidth, xScale, width);
    const uint8_t* from = source.AlphaPlane();
    uint8_t* to = result.AlphaPlane();
    for (uint32_t y = 0; y < newHeight; ++y) {
        const uint8_t* sourceRow = from + static_cast<size_t>(NearestSource(y, yScale, height)) * width;
        for (uint32_t x = 0; x < newWidth; ++x) *to++ = sourceRow[columns[x]];
    }
}

}  // namespace

bool LfImage::Resample(int32_t newWidth, int32_t newHeight, int mode, LfImage* destination) {
    if (newWidth <= 0 || newHeight <= 0) return false;
    if (destination == this) destination = nullptr;
    if (!IsValid()) {
        SetLastError("null image!!!");
        return false;
    }
    const uint32_t width = static_cast<uint32_t>(newWidth);
    const uint32_t height = static_cast<uint32_t>(newHeight);
    if (width == Width() && height == Height()) {
        if (destination) destination->Copy(*this, true, true, true);
        return true;
    }
    if (IsGrey16()) {
        // The kernels work on colours and palette indices of 8-bit channels.
        SetLastError("Resample: 16-bit grey pictures are not resampled");
        return false;
    }

    const float xScale = Scale(Width(), width);
    const float yScale = Scale(Height(), height);

    LfImage result;
    result.CopyInfo(*this);
    if (!result.Create(width, height, BitCount(), Type()) || !result.IsValid()) {
        SetLastError(result.LastError());
        return false;
    }
    if (NumColors() != 0) result.SetPalette(Palette(), std::min<uint32_t>(NumColors(), 256));
    // A cancelled run leaves rows unwritten; they read as zero rather than stale memory.
    std::memset(result.info.pixels, 0, result.head.imageSize);

    if (mode == 1)
        ResampleNearest(*this, result, xScale, yScale);
    else if (mode == 2)
        ResampleBicubic(*this, result, xScale, yScale);
    else if (BitCount() == 24 && width < Width() && height < Height())
        ShrinkByArea(*this, result, xScale, yScale);
    else
        ResampleBilinear(*this, result, xScale, yScale);

    if (AlphaIsValid()) ResampleAlpha(*this, result, xScale, yScale);

    LfImage& target = destination ? *destination : *this;
    return target.Transfer(result, true);
}

#include "GreyConversion.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <vector>

namespace {

// The single-precision value nearest to 0.1275: 800 maps to 0 and 2800 to 255.
constexpr float kFixedWindowScale = 0.1275f;
constexpr int32_t kFixedWindowLower = 800;

// How far the sign step shifts: 15 - high bit, or 0 (no change) when the high bit is 15 or more.
int SignShift(const ConversionSettings& s) { return s.highBit >= 15 ? 0 : 15 - s.highBit; }

// Clears the bits above the high bit, or copies the sign bit into them for signed data.
int16_t SignStep(uint16_t bits, int shift, bool isSigned) {
    if (isSigned) return static_cast<int16_t>(static_cast<int16_t>(static_cast<uint16_t>(bits << shift)) >> shift);
    return static_cast<int16_t>(bits & (0xFFFFu >> shift));
}

int16_t SignStep(int16_t sample, const ConversionSettings& s) {
    return SignStep(static_cast<uint16_t>(sample), SignShift(s), s.pixelRepresentation != 0);
}

// sample * slope + intercept in single precision, truncated toward zero and kept to 16 bits
// (wrapping). A result that no 32-bit integer holds (or not a number) gives 0, as the
// processor's out-of-range conversion does after keeping 16 bits.
int16_t RescaleStep(int16_t sample, const ConversionSettings& s) {
    if (s.rescaleSlope == 1.0f && s.rescaleIntercept == 0.0f) return sample;
    const float value = static_cast<float>(sample) * s.rescaleSlope + s.rescaleIntercept;
    if (!(value > -2147483648.0f && value < 2147483648.0f)) return 0;
    return static_cast<int16_t>(static_cast<uint16_t>(static_cast<int32_t>(value)));
}

// Clamps a level to 0..255 and truncates it; a level that is not a number gives 0.
uint8_t ToByte(float level) {
    if (!(level > 0.0f)) return 0;
    if (level > 255.0f) return 255;
    return static_cast<uint8_t>(level);
}

// The stored value after the steps that precede the mapping to grey.
int16_t ModalityValue(int16_t sample, const ConversionSettings& s) {
    int16_t v = SignStep(sample, s);
    if (s.mode == 2 || s.mode == 3) v = RescaleStep(v, s);
    if (s.mode == 3) v = SignStep(v, s);
    return v;
}

// 255 / range in single precision; a zero range gives the infinity of its sign, so that a
// window of width 0 sends everything above its centre to 255 and the rest to 0.
float ScaleFor(float range) {
    if (range == 0.0f) return std::copysign(std::numeric_limits<float>::infinity(), range);
    return 255.0f / range;
}

// The grey level of one modality value: (value - lower) * scale, for the window, the
// stretch over lowest..highest, or the fixed window. Values and bounds of the stretch and
// the fixed window are integers far below 2^24, so their difference is exact in single
// precision, as the integer difference would be.
struct LevelMapping {
    LevelMapping(const ConversionSettings& s, int32_t lowest, int32_t highest) {
        if (UsesStretch(s)) {
            lower = static_cast<float>(lowest);
            scale = highest == lowest ? 1.0f : 255.0f / static_cast<float>(highest - lowest);
        } else if (s.mode == 2) {
            lower = s.windowCenter - s.windowWidth * 0.5f;
            scale = ScaleFor(s.windowWidth);
        } else {
            lower = static_cast<float>(kFixedWindowLower);
            scale = kFixedWindowScale;
        }
    }
    uint8_t operator()(int32_t value) const { return ToByte((static_cast<float>(value) - lower) * scale); }

    float lower = 0.0f;
    float scale = 1.0f;
};

// The smallest and largest sample after the sign step. The samples go in blocks of a fixed
// count, a loop the compiler turns into vector instructions.
template <int BytesPerSample, bool IsSigned>
void SignedExtremes(const uint8_t* samples, size_t count, int shift, int32_t& lowest, int32_t& highest) {
    int16_t lo = std::numeric_limits<int16_t>::max(), hi = std::numeric_limits<int16_t>::min();
    auto take = [&](size_t i) {
        const int16_t v = SignStep(SamplePattern(samples + i * BytesPerSample, BytesPerSample, IsSigned), shift, IsSigned);
        lo = std::min(lo, v);
        hi = std::max(hi, v);
    };
    constexpr size_t kBlock = 64;
    size_t i = 0;
    for (; i + kBlock <= count; i += kBlock)
        for (size_t k = 0; k < kBlock; ++k) take(i + k);
    for (; i < count; ++i) take(i);
    lowest = lo;
    highest = hi;
}

// The range of the modality values, from the extremes of the samples: the rescale keeps or
// reverses their order unless its results wrap. False when they would wrap (or are not
// numbers): the values must then be looked at one by one.
bool RangeFromExtremes(const uint8_t* samples, size_t count, int bytesPerSample, const ConversionSettings& s,
                       int32_t& lowest, int32_t& highest) {
    if (count == 0) return false;
    int32_t lo = 0, hi = 0;
    const int shift = SignShift(s);
    const bool isSigned = s.pixelRepresentation != 0;
    if (bytesPerSample == 2)
        isSigned ? SignedExtremes<2, true>(samples, count, shift, lo, hi) : SignedExtremes<2, false>(samples, count, shift, lo, hi);
    else
        isSigned ? SignedExtremes<1, true>(samples, count, shift, lo, hi) : SignedExtremes<1, false>(samples, count, shift, lo, hi);
    const bool rescaled = s.mode == 2 && (s.rescaleSlope != 1.0f || s.rescaleIntercept != 0.0f);
    if (!rescaled) {
        lowest = lo;
        highest = hi;
        return true;
    }
    // The same single-precision steps as the rescale; a result truncating into 16 bits
    // lies strictly between -32769 and 32768.
    const float a = static_cast<float>(lo) * s.rescaleSlope + s.rescaleIntercept;
    const float b = static_cast<float>(hi) * s.rescaleSlope + s.rescaleIntercept;
    auto fits = [](float v) { return v > -32769.0f && v < 32768.0f; };
    if (!fits(a) || !fits(b)) return false;
    lowest = std::min(static_cast<int32_t>(a), static_cast<int32_t>(b));
    highest = std::max(static_cast<int32_t>(a), static_cast<int32_t>(b));
    return true;
}

// Notes which 16-bit patterns occur among the samples.
template <int BytesPerSample>
void MarkPatterns(const uint8_t* samples, size_t count, uint16_t pixelRepresentation, uint8_t* seen) {
    for (size_t i = 0; i < count; ++i)
        seen[SamplePattern(samples + i * BytesPerSample, BytesPerSample, pixelRepresentation)] = 1;
}

// One row of the frame, from its samples (already out of the way) to grey pixels. Each
// pixel is stored as 4 bytes, the fourth overwritten by the next pixel; the last pixel
// is stored as 3 so nothing past the row's pixels is touched.
template <int BytesPerSample>
void FillRow(uint8_t* row, const uint8_t* samples, int32_t columns, uint16_t pixelRepresentation,
             const LevelTable& table) {
    uint8_t* out = row;
    for (int32_t j = 0; j + 1 < columns; ++j, out += 3) {
        const uint32_t g = table[SamplePattern(samples + j * BytesPerSample, BytesPerSample, pixelRepresentation)];
        const uint32_t pixel = g * 0x00010101u;
        std::memcpy(out, &pixel, 4);
    }
    const uint8_t g = table[SamplePattern(samples + (columns - 1) * BytesPerSample, BytesPerSample,
                                          pixelRepresentation)];
    out[0] = out[1] = out[2] = g;
}

}  // namespace

bool IsKnownConversionMode(int mode) { return mode >= 1 && mode <= 4; }

bool UsesStretch(const ConversionSettings& s) {
    return s.mode == 1 || (s.mode == 2 && s.windowCenter == 0.0f && s.windowWidth == 0.0f);
}

uint16_t SamplePattern(const uint8_t* sample, int bytesPerSample, uint16_t pixelRepresentation) {
    if (bytesPerSample == 2) return static_cast<uint16_t>(sample[0] | (sample[1] << 8));
    if (pixelRepresentation != 0) return static_cast<uint16_t>(static_cast<int8_t>(sample[0]));
    return sample[0];
}

namespace {

// The smallest and largest modality value among the 16-bit patterns marked as seen.
void SeenRange(const std::vector<uint8_t>& seen, const ConversionSettings& settings, int32_t& lowest, int32_t& highest) {
    bool any = false;
    for (uint32_t p = 0; p < seen.size(); ++p) {
        if (!seen[p]) continue;
        const int32_t v = ModalityValue(static_cast<int16_t>(static_cast<uint16_t>(p)), settings);
        if (!any || v < lowest) lowest = v;
        if (!any || v > highest) highest = v;
        any = true;
    }
}

}  // namespace

void MakeLevelTable(const uint8_t* samples, size_t count, int bytesPerSample,
                    const ConversionSettings& settings, LevelTable& table) {
    auto modalityValue = [&](uint32_t pattern) {
        return int32_t{ModalityValue(static_cast<int16_t>(static_cast<uint16_t>(pattern)), settings)};
    };
    const bool stretch = UsesStretch(settings);
    int32_t lowest = 0, highest = 0;
    const bool rangeKnown = !stretch || RangeFromExtremes(samples, count, bytesPerSample, settings, lowest, highest);
    // A picture with fewer samples than patterns only needs the levels of those present;
    // larger ones get every pattern evaluated, which costs less than looking them up.
    std::vector<uint8_t> seen;
    if (!rangeKnown || count < table.size()) {
        seen.assign(table.size(), 0);
        if (bytesPerSample == 2)
            MarkPatterns<2>(samples, count, settings.pixelRepresentation, seen.data());
        else
            MarkPatterns<1>(samples, count, settings.pixelRepresentation, seen.data());
    }
    if (!rangeKnown) SeenRange(seen, settings, lowest, highest);
    const LevelMapping level(settings, lowest, highest);
    table.fill(0);
    for (uint32_t p = 0; p < table.size(); ++p)
        if (seen.empty() || seen[p]) table[p] = level(modalityValue(p));
}

void MarkSamplePatterns(const uint8_t* samples, size_t count, int bytesPerSample, uint16_t pixelRepresentation,
                        std::vector<uint8_t>& seen) {
    seen.resize(65536, 0);
    if (bytesPerSample == 2)
        MarkPatterns<2>(samples, count, pixelRepresentation, seen.data());
    else
        MarkPatterns<1>(samples, count, pixelRepresentation, seen.data());
}

void MakeLevelTableForPatterns(const std::vector<uint8_t>& seen, const ConversionSettings& settings,
                               LevelTable& table) {
    auto modalityValue = [&](uint32_t pattern) {
        return int32_t{ModalityValue(static_cast<int16_t>(static_cast<uint16_t>(pattern)), settings)};
    };
    const bool marked = seen.size() == table.size();
    int32_t lowest = 0, highest = 0;
    if (UsesStretch(settings) && marked) SeenRange(seen, settings, lowest, highest);
    const LevelMapping level(settings, lowest, highest);
    table.fill(0);
    for (uint32_t p = 0; p < table.size(); ++p)
        if (!marked || seen[p]) table[p] = level(modalityValue(p));
}

int64_t FrameStride(int64_t columns) { return ((columns * 3 + 3) / 4) * 4; }

void FillFrameInPlace(uint8_t* buffer, int32_t rows, int32_t columns, int bytesPerSample,
                      uint16_t pixelRepresentation, const LevelTable& table) {
    if (rows <= 0 || columns <= 0) return;
    const int64_t stride = FrameStride(columns);
    const int64_t rowBytes = int64_t{columns} * 3;
    const size_t rowSampleBytes = static_cast<size_t>(columns) * bytesPerSample;
    std::vector<uint8_t> rowSamples(rowSampleBytes);
    // The last row first: a row's pixels lie after the samples of every row above it, so
    // at most the row's own samples are in the way; those are moved aside first.
    for (int64_t i = rows - 1; i >= 0; --i) {
        uint8_t* row = buffer + i * stride;
        const uint8_t* samples = buffer + i * static_cast<int64_t>(rowSampleBytes);
        if (samples + rowSampleBytes > row) {  // only the first rows overlap their pixels
            std::memcpy(rowSamples.data(), samples, rowSampleBytes);
            samples = rowSamples.data();
        }
        if (bytesPerSample == 2)
            FillRow<2>(row, samples, columns, pixelRepresentation, table);
        else
            FillRow<1>(row, samples, columns, pixelRepresentation, table);
        std::memset(row + rowBytes, 0, static_cast<size_t>(stride - rowBytes));
    }
}

namespace {

double WideModalityValue(uint32_t sample, const ConversionSettings& s) {
    int64_t v = sample;
    if (s.highBit < 31) {
        const uint32_t mask = (uint32_t{2} << s.highBit) - 1;
        v = sample & mask;
        if (s.pixelRepresentation != 0 && ((sample >> s.highBit) & 1)) v -= int64_t{mask} + 1;
    } else if (s.pixelRepresentation != 0) {
        v = static_cast<int32_t>(sample);
    }
    double value = static_cast<double>(v);
    if ((s.mode == 2 || s.mode == 3) && (s.rescaleSlope != 1.0f || s.rescaleIntercept != 0.0f)) {
        value = std::trunc(value * s.rescaleSlope + s.rescaleIntercept);
        if (!std::isfinite(value)) value = 0.0;
    }
    return value;
}

uint32_t Wide32(const uint8_t* p) {
    return p[0] | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

}  // namespace

WideMapping MakeWideMapping(const uint8_t* samples, size_t count, const ConversionSettings& settings) {
    WideMapping m;
    m.settings = settings;
    if (!UsesStretch(settings) || count == 0) return m;
    m.lowest = m.highest = WideModalityValue(Wide32(samples), settings);
    for (size_t i = 1; i < count; ++i) {
        const double v = WideModalityValue(Wide32(samples + 4 * i), settings);
        m.lowest = std::min(m.lowest, v);
        m.highest = std::max(m.highest, v);
    }
    return m;
}

WideMapping JoinWideMappings(const WideMapping& a, const WideMapping& b, bool aHasSamples) {
    if (!aHasSamples) return b;
    WideMapping joined = a;
    joined.lowest = std::min(a.lowest, b.lowest);
    joined.highest = std::max(a.highest, b.highest);
    return joined;
}

uint8_t WideMapping::level(uint32_t sample) const {
    const double v = WideModalityValue(sample, settings);
    if (UsesStretch(settings)) {
        const float scale = highest == lowest ? 1.0f : 255.0f / static_cast<float>(highest - lowest);
        return ToByte(static_cast<float>(v - lowest) * scale);
    }
    if (settings.mode == 2) {
        const float lower = settings.windowCenter - settings.windowWidth * 0.5f;
        return ToByte(static_cast<float>(v - lower) * ScaleFor(settings.windowWidth));
    }
    return ToByte(static_cast<float>(v - kFixedWindowLower) * kFixedWindowScale);
}

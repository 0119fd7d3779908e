#include "GreyConversion.h"

#include <cmath>
#include <limits>
#include <vector>

namespace {

// The single-precision value nearest to 0.1275: 800 maps to 0 and 2800 to 255.
constexpr float kFixedWindowScale = 0.1275f;
constexpr int32_t kFixedWindowLower = 800;

// Clears the bits above the high bit, or copies the sign bit into them for signed data.
int16_t SignStep(int16_t sample, const ConversionSettings& s) {
    if (s.highBit >= 15) return sample;
    const uint16_t mask = static_cast<uint16_t>(0xFFFFu << (s.highBit + 1));
    uint16_t bits = static_cast<uint16_t>(sample);
    const bool negative = s.pixelRepresentation != 0 && (bits & (1u << s.highBit)) != 0;
    bits = negative ? static_cast<uint16_t>(bits | mask) : static_cast<uint16_t>(bits & ~mask);
    return static_cast<int16_t>(bits);
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

bool UsesStretch(const ConversionSettings& s) {
    return s.mode == 1 || (s.mode == 2 && s.windowCenter == 0.0f && s.windowWidth == 0.0f);
}

// 255 / range in single precision; a zero range gives the infinity of its sign, so that a
// window of width 0 sends everything above its centre to 255 and the rest to 0.
float ScaleFor(float range) {
    if (range == 0.0f) return std::copysign(std::numeric_limits<float>::infinity(), range);
    return 255.0f / range;
}

}  // namespace

bool IsKnownConversionMode(int mode) { return mode >= 1 && mode <= 4; }

uint16_t SamplePattern(const uint8_t* sample, int bytesPerSample, uint16_t pixelRepresentation) {
    if (bytesPerSample == 2) return static_cast<uint16_t>(sample[0] | (sample[1] << 8));
    if (pixelRepresentation != 0) return static_cast<uint16_t>(static_cast<int8_t>(sample[0]));
    return sample[0];
}

void MakeLevelTable(const uint8_t* samples, size_t count, int bytesPerSample,
                    const ConversionSettings& settings, LevelTable& table) {
    const ConversionSettings& s = settings;
    if (UsesStretch(s)) {
        // Which patterns occur, then the range of their modality values: one light pass
        // over the samples instead of the full steps for each.
        std::vector<uint8_t> seen(65536, 0);
        for (size_t i = 0; i < count; ++i)
            seen[SamplePattern(samples + i * bytesPerSample, bytesPerSample, s.pixelRepresentation)] = 1;
        int32_t lowest = 0, highest = 0;
        bool any = false;
        for (uint32_t p = 0; p < 65536; ++p) {
            if (!seen[p]) continue;
            const int32_t v = ModalityValue(static_cast<int16_t>(static_cast<uint16_t>(p)), s);
            if (!any || v < lowest) lowest = v;
            if (!any || v > highest) highest = v;
            any = true;
        }
        const float scale = highest == lowest ? 1.0f : 255.0f / static_cast<float>(highest - lowest);
        for (uint32_t p = 0; p < 65536; ++p) {
            const int32_t v = ModalityValue(static_cast<int16_t>(static_cast<uint16_t>(p)), s);
            table[p] = ToByte(static_cast<float>(v - lowest) * scale);
        }
        return;
    }
    if (s.mode == 2) {
        const float lower = s.windowCenter - s.windowWidth * 0.5f;
        const float scale = ScaleFor(s.windowWidth);
        for (uint32_t p = 0; p < 65536; ++p) {
            const int16_t v = ModalityValue(static_cast<int16_t>(static_cast<uint16_t>(p)), s);
            table[p] = ToByte((static_cast<float>(v) - lower) * scale);
        }
        return;
    }
    for (uint32_t p = 0; p < 65536; ++p) {  // modes 3 and 4: the fixed 800..2800 window
        const int32_t v = ModalityValue(static_cast<int16_t>(static_cast<uint16_t>(p)), s);
        table[p] = ToByte(static_cast<float>(v - kFixedWindowLower) * kFixedWindowScale);
    }
}

int64_t FrameStride(int64_t columns) { return ((columns * 3 + 3) / 4) * 4; }

void FillFrameInPlace(uint8_t* buffer, int32_t rows, int32_t columns, int bytesPerSample,
                      uint16_t pixelRepresentation, const LevelTable& table) {
    const int64_t stride = FrameStride(columns);
    const int64_t rowBytes = int64_t{columns} * 3;
    for (int64_t i = rows - 1; i >= 0; --i) {
        uint8_t* row = buffer + i * stride;
        for (int64_t k = rowBytes; k < stride; ++k) row[k] = 0;
        const uint8_t* samples = buffer + i * columns * bytesPerSample;
        for (int64_t j = columns - 1; j >= 0; --j) {
            // Read the sample before writing: its pixel may cover its own bytes.
            const uint8_t g = table[SamplePattern(samples + j * bytesPerSample, bytesPerSample,
                                                  pixelRepresentation)];
            row[3 * j] = g;
            row[3 * j + 1] = g;
            row[3 * j + 2] = g;
        }
    }
}

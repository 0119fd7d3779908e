#pragma once
// Mapping of stored DICOM samples to 8-bit grey levels, and the grey frame built from them.
//
// Every sample goes through the same steps (sign step, modality rescale, window or stretch),
// so the grey level is a function of the sample's 16-bit pattern alone. The conversion
// therefore evaluates the steps once per possible pattern into a table and then maps the
// samples through it: the results are those of the per-sample steps, at a fraction of the cost.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

struct ConversionSettings {
    uint16_t pixelRepresentation = 0; // 0 unsigned, otherwise two's complement
    uint16_t highBit = 15;
    float rescaleSlope = 1.0f;
    float rescaleIntercept = 0.0f;
    float windowCenter = 0.0f;
    float windowWidth = 0.0f;
    int mode = 2; // 1 stretch, 2 rescale + window or stretch, 3 rescale + fixed window, 4 fixed window
};

bool IsKnownConversionMode(int mode);

// True when the levels come from the min-max stretch, whose range spans every sample of
// every frame; otherwise the levels of the first frame depend on its samples alone.
bool UsesStretch(const ConversionSettings& settings);

// Grey level of every 16-bit sample pattern, indexed by the pattern as unsigned.
using LevelTable = std::array<uint8_t, 65536>;

// The 16-bit pattern of a sample: two bytes little-endian, or one byte widened by the pixel
// representation (sign-extended when signed).
uint16_t SamplePattern(const uint8_t* sample, int bytesPerSample, uint16_t pixelRepresentation);

// Builds the table for the given samples (count little-endian samples of 1 or 2 bytes):
// at least the patterns that occur among them get their level (the others may hold 0).
// The range of the min-max stretch spans all of the samples.
void MakeLevelTable(const uint8_t* samples, size_t count, int bytesPerSample,
                    const ConversionSettings& settings, LevelTable& table);

// Notes in seen (65536 flags, indexed by pattern) the patterns of count samples, so the
// frames of a picture can be looked at one after another.
void MarkSamplePatterns(const uint8_t* samples, size_t count, int bytesPerSample, uint16_t pixelRepresentation,
                        std::vector<uint8_t>& seen);

// The table for the patterns marked in seen, the min-max stretch spanning them; every
// pattern gets its level when seen is empty (a mapping without the stretch).
void MakeLevelTableForPatterns(const std::vector<uint8_t>& seen, const ConversionSettings& settings,
                               LevelTable& table);

// Bytes of the frame rows: ((columns * 3 + 3) / 4) * 4 per row.
int64_t FrameStride(int64_t columns);

// Turns the first rows x columns samples at the start of buffer into top-down rows of three
// equal grey bytes each, padded with zeros to the stride, in the same buffer. The buffer must
// hold max(rows * columns * bytesPerSample, stride * rows) bytes.
void FillFrameInPlace(uint8_t* buffer, int32_t rows, int32_t columns, int bytesPerSample,
                      uint16_t pixelRepresentation, const LevelTable& table);

// 32-bit samples go through the same steps in wider arithmetic: the sign step at the high
// bit, the rescale in double precision without wrapping, then the window, the stretch over
// every sample given, or the fixed window.
struct WideMapping {
    ConversionSettings settings;
    double lowest = 0.0;  // modality range, for the stretch
    double highest = 0.0;
    uint8_t level(uint32_t sample) const;
};

// The mapping for count little-endian 32-bit samples.
WideMapping MakeWideMapping(const uint8_t* samples, size_t count, const ConversionSettings& settings);
// The mapping whose stretch spans the samples of both (frames looked at one by one); b alone
// while a has none.
WideMapping JoinWideMappings(const WideMapping& a, const WideMapping& b, bool aHasSamples);

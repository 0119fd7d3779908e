// The grey conversion: sign step, modality rescale, window, min-max stretch, the fixed
// window, and the in-place frame fill.
#include "GreyConversion.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <vector>

namespace {

std::vector<uint8_t> Bytes16(const std::vector<uint16_t>& samples) {
    std::vector<uint8_t> out;
    for (uint16_t s : samples) {
        out.push_back(static_cast<uint8_t>(s));
        out.push_back(static_cast<uint8_t>(s >> 8));
    }
    return out;
}

// Grey levels of the given 16-bit samples, in order.
std::vector<int> Levels(const std::vector<uint16_t>& samples, const ConversionSettings& s) {
    const std::vector<uint8_t> raw = Bytes16(samples);
    LevelTable table;
    MakeLevelTable(raw.data(), samples.size(), 2, s, table);
    std::vector<int> out;
    for (uint16_t v : samples) out.push_back(table[v]);
    return out;
}

// A window of width 255 makes the level equal to value - lower, which shows the value
// the sign and rescale steps produced.
ConversionSettings ShowValuesFrom(float lower) {
    ConversionSettings s;
    s.windowWidth = 255.0f;
    s.windowCenter = lower + 127.5f;
    return s;
}

TEST(GreySignStep, UnsignedHighBit11ClearsTheBitsAbove) {
    ConversionSettings s = ShowValuesFrom(200.0f);
    s.highBit = 11;
    EXPECT_EQ(Levels({0xF123}, s), std::vector<int>{0x123 - 200});
}

TEST(GreySignStep, SignedHighBit11ExtendsTheSign) {
    ConversionSettings s = ShowValuesFrom(-2100.0f);
    s.highBit = 11;
    s.pixelRepresentation = 1;
    // 0x0800 is -2048; 0xF123 has bit 11 clear, so it is the positive 0x123.
    EXPECT_EQ(Levels({0x0800, 0x07FF, 0xF123}, s), (std::vector<int>{52, 255, 255}));
    s = ShowValuesFrom(200.0f);
    s.highBit = 11;
    s.pixelRepresentation = 1;
    EXPECT_EQ(Levels({0xF123}, s), std::vector<int>{0x123 - 200});
}

TEST(GreySignStep, HighBit15OrMoreLeavesSamplesAlone) {
    for (uint16_t highBit : {15, 16, 200}) {
        ConversionSettings s = ShowValuesFrom(-100.0f);
        s.highBit = highBit;
        s.pixelRepresentation = 0;
        // Samples are signed 16-bit whatever the representation: 0xFFFF is -1.
        EXPECT_EQ(Levels({0xFFFF, 0x0010}, s), (std::vector<int>{99, 116})) << highBit;
    }
}

TEST(GreyWindow, RescaleThenWindow) {
    ConversionSettings s;
    s.rescaleIntercept = -1024.0f;
    s.windowCenter = 40.0f;
    s.windowWidth = 400.0f;
    // 1064 becomes 40, the centre: (40 - (-160)) * 0.6375 = 127.5.
    EXPECT_EQ(Levels({1064, 864, 1264, 0, 4000}, s), (std::vector<int>{127, 0, 255, 0, 255}));
}

TEST(GreyWindow, ZeroWidthSplitsAtTheCentre) {
    ConversionSettings s;
    s.windowCenter = 100.0f;
    s.windowWidth = 0.0f;
    EXPECT_EQ(Levels({101, 100, 99, 30000, 0x8000}, s), (std::vector<int>{255, 0, 0, 255, 0}));
}

TEST(GreyWindow, LevelsThatAreNotNumbersGiveZero) {
    ConversionSettings s;
    s.windowCenter = std::numeric_limits<float>::quiet_NaN();
    s.windowWidth = 400.0f;
    EXPECT_EQ(Levels({0, 1000, 0x8000}, s), (std::vector<int>{0, 0, 0}));
    s.windowCenter = std::numeric_limits<float>::infinity();
    EXPECT_EQ(Levels({0, 1000}, s), (std::vector<int>{0, 0}));
    s.windowCenter = -std::numeric_limits<float>::infinity();
    EXPECT_EQ(Levels({0, 1000}, s), (std::vector<int>{255, 255}));
}

TEST(GreyRescale, ResultsWrapToSixteenBits) {
    ConversionSettings s;  // no window: min-max stretch
    s.rescaleSlope = 2.0f;
    // 30000 * 2 = 60000 wraps to -5536, below 0.
    EXPECT_EQ(Levels({30000, 0}, s), (std::vector<int>{0, 255}));
}

TEST(GreyRescale, ResultsBeyondThirtyTwoBitsGiveZero) {
    ConversionSettings s = ShowValuesFrom(-10.0f);
    s.rescaleSlope = 1e30f;
    EXPECT_EQ(Levels({3, 0}, s), (std::vector<int>{10, 10}));
    s.rescaleSlope = std::numeric_limits<float>::quiet_NaN();
    EXPECT_EQ(Levels({3}, s), std::vector<int>{10});
}

TEST(GreyStretch, ZeroToSevenEndsAt254) {
    ConversionSettings s;
    EXPECT_EQ(Levels({0, 1, 2, 3, 4, 5, 6, 7}, s),
              (std::vector<int>{0, 36, 72, 109, 145, 182, 218, 254}));
}

TEST(GreyStretch, EqualSamplesGiveZero) {
    ConversionSettings s;
    EXPECT_EQ(Levels({500, 500, 500}, s), (std::vector<int>{0, 0, 0}));
}

TEST(GreyStretch, SignedRangeAndRescaleDirection) {
    ConversionSettings s;
    s.rescaleSlope = -1.0f;
    // Mode 2 rescales before the stretch, so the order flips; mode 1 ignores the rescale.
    EXPECT_EQ(Levels({0, 10}, s), (std::vector<int>{255, 0}));
    s.mode = 1;
    EXPECT_EQ(Levels({0, 10}, s), (std::vector<int>{0, 255}));
    s.mode = 2;
    s.rescaleSlope = 1.0f;
    EXPECT_EQ(Levels({0xFFFF, 0x8000, 0x7FFF}, s), (std::vector<int>{127, 0, 255}));
}

TEST(GreyStretch, RangeIsTakenAfterTheSignStep) {
    ConversionSettings s;
    s.highBit = 11;
    // Unsigned: 0xF000 is 0 and 0x0FFF is 4095 (as stored, they would be -4096 and 4095).
    std::vector<int> levels = Levels({0xF000, 0x0100, 0x0FFF}, s);
    EXPECT_EQ(levels[0], 0);
    EXPECT_EQ(levels[1], 15);  // 256 * 255 / 4095
    EXPECT_GE(levels[2], 254);
    // Signed: 0x0800 is -2048, the smallest, although stored it is above 0x07FF.
    s.pixelRepresentation = 1;
    levels = Levels({0x0800, 0x0000, 0x07FF}, s);
    EXPECT_EQ(levels[0], 0);
    EXPECT_EQ(levels[1], 127);
    EXPECT_GE(levels[2], 254);
}

TEST(GreyStretch, RangeFollowsRescaledValuesUpToTheWrap) {
    ConversionSettings s;
    s.rescaleIntercept = 30000.0f;
    // 2767 + 30000 = 32767 still fits; 2768 + 30000 wraps to -32768 and becomes the smallest.
    // (Over the wide range the single-precision scale tops out at 254.)
    EXPECT_EQ(Levels({0, 2767}, s), (std::vector<int>{0, 255}));
    EXPECT_EQ(Levels({0, 2768}, s), (std::vector<int>{254, 0}));
    s.rescaleIntercept = -30000.0f;
    EXPECT_EQ(Levels({0, -2768 & 0xFFFF}, s), (std::vector<int>{255, 0}));
    EXPECT_EQ(Levels({0, -2769 & 0xFFFF}, s), (std::vector<int>{0, 254}));
}

TEST(GreyStretch, RangeSpansEverySampleGiven) {
    // The table for the first two samples only, then for all three: the third widens the range.
    const std::vector<uint8_t> raw = Bytes16({0, 10, 20});
    ConversionSettings s;
    LevelTable part, all;
    MakeLevelTable(raw.data(), 2, 2, s, part);
    MakeLevelTable(raw.data(), 3, 2, s, all);
    EXPECT_EQ(part[10], 255);
    EXPECT_EQ(all[10], 127);
}

TEST(GreyFixedWindow, Mode4Figures) {
    ConversionSettings s;
    s.mode = 4;
    s.rescaleIntercept = 5000.0f;  // not applied in mode 4
    EXPECT_EQ(Levels({0, 799, 800, 1800, 2800, 2801, 0x8000}, s),
              (std::vector<int>{0, 0, 0, 127, 255, 255, 0}));
}

TEST(GreyFixedWindow, Mode3RescalesAndRepeatsTheSignStep) {
    ConversionSettings s;
    s.mode = 3;
    s.highBit = 11;
    s.rescaleIntercept = 1000.0f;
    // 800 + 1000 = 1800 -> 127; 3500 + 1000 = 4500 loses bit 12 again: 404 -> 0.
    EXPECT_EQ(Levels({800, 3500}, s), (std::vector<int>{127, 0}));
}

TEST(GreySamples, OneByteSamplesAreWidenedByRepresentation) {
    const uint8_t bytes[] = {0xFF, 0x80, 0x01};
    EXPECT_EQ(SamplePattern(bytes, 1, 0), 0x00FF);
    EXPECT_EQ(SamplePattern(bytes, 1, 1), 0xFFFF);
    EXPECT_EQ(SamplePattern(bytes + 1, 1, 1), 0xFF80);
    EXPECT_EQ(SamplePattern(bytes + 2, 1, 1), 0x0001);
    const uint8_t pair[] = {0x34, 0x12};
    EXPECT_EQ(SamplePattern(pair, 2, 1), 0x1234);
}

TEST(GreyFrameFill, FiveColumnsHaveAStrideOf16) {
    EXPECT_EQ(FrameStride(5), 16);
    EXPECT_EQ(FrameStride(4), 12);
    EXPECT_EQ(FrameStride(1), 4);
    // Two rows of 5 16-bit samples; the level table maps a sample to its low byte.
    LevelTable table;
    for (size_t p = 0; p < table.size(); ++p) table[p] = static_cast<uint8_t>(p);
    std::vector<uint8_t> buffer = Bytes16({1, 2, 3, 4, 5, 6, 7, 8, 9, 10});
    buffer.resize(32, 0xEE);
    FillFrameInPlace(buffer.data(), 2, 5, 2, 0, table);
    const std::vector<uint8_t> expected = {1, 1, 1, 2, 2, 2, 3, 3, 3, 4,  4,  4,  5,  5,  5,  0,
                                           6, 6, 6, 7, 7, 7, 8, 8, 8, 9,  9,  9,  10, 10, 10, 0};
    EXPECT_EQ(buffer, expected);
}

TEST(GreyFrameFill, OneByteSamplesExpandInPlace) {
    LevelTable table;
    for (size_t p = 0; p < table.size(); ++p) table[p] = static_cast<uint8_t>(p >> 8 ? 200 : p);
    // 3 rows x 3 columns of one byte each need 3 * 12 bytes of frame.
    std::vector<uint8_t> buffer = {1, 2, 3, 4, 5, 6, 7, 8, 0x90};
    buffer.resize(36, 0xEE);
    FillFrameInPlace(buffer.data(), 3, 3, 1, 1, table);  // signed: 0x90 widens to 0xFF90
    const std::vector<uint8_t> expected = {1, 1, 1, 2, 2, 2, 3, 3, 3, 0, 0, 0,
                                           4, 4, 4, 5, 5, 5, 6, 6, 6, 0, 0, 0,
                                           7, 7, 7, 8, 8, 8, 200, 200, 200, 0, 0, 0};
    EXPECT_EQ(buffer, expected);
}

}  // namespace

// The colour quantiser and the streaming GIF writer on their own: exact tables, error bounds,
// the carried rounding of delays, and what the writer refuses. Decoding by other readers is
// the converter's tests' part (tests/cli/gif_test.cpp).
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <numeric>
#include <set>
#include <vector>

#include "LfColourQuantiser.h"
#include "LfGifSequenceWriter.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

struct Picture {
    int32_t width, height;
    std::vector<uint8_t> rgb;
};

// Colour k of a picture of `colours` colours spread over the cube.
Picture Spread(int32_t width, int32_t height, int colours) {
    Picture p{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 3)};
    for (size_t i = 0; i < size_t(width) * size_t(height); ++i) {
        const int k = int(i % size_t(colours));
        p.rgb[3 * i] = uint8_t(k * 37);
        p.rgb[3 * i + 1] = uint8_t(k * 91 + k / 7);
        p.rgb[3 * i + 2] = uint8_t(255 - k * 53);
    }
    return p;
}

// A smooth picture of thousands of colours.
Picture Gradient(int32_t width, int32_t height) {
    Picture p{width, height, std::vector<uint8_t>(size_t(width) * size_t(height) * 3)};
    for (int32_t y = 0; y < height; ++y)
        for (int32_t x = 0; x < width; ++x) {
            uint8_t* at = p.rgb.data() + 3 * (size_t(y) * size_t(width) + size_t(x));
            at[0] = uint8_t(x * 255 / (width - 1));
            at[1] = uint8_t(y * 255 / (height - 1));
            at[2] = uint8_t(128 + 100 * std::sin((x + y) / 11.0));
        }
    return p;
}

// Mean absolute difference of the table's colours from the picture, per sample.
double MeanError(const Picture& p, const LfColourQuantiser& q, const std::vector<uint8_t>& indices) {
    double sum = 0;
    for (size_t i = 0; i < indices.size(); ++i)
        for (size_t c = 0; c < 3; ++c) sum += std::abs(int(p.rgb[3 * i + c]) - int(q.Table()[3 * indices[i] + c]));
    return sum / double(p.rgb.size());
}

// A low-pass view of the error: the mean of each 4 x 4 block against the picture's. Dithering
// trades pixel error for a right mean over an area, which this measures.
double BlockError(const Picture& p, const LfColourQuantiser& q, const std::vector<uint8_t>& indices) {
    double sum = 0;
    int blocks = 0;
    for (int32_t by = 0; by + 4 <= p.height; by += 4)
        for (int32_t bx = 0; bx + 4 <= p.width; bx += 4, ++blocks)
            for (size_t c = 0; c < 3; ++c) {
                double difference = 0;
                for (int32_t y = by; y < by + 4; ++y)
                    for (int32_t x = bx; x < bx + 4; ++x) {
                        const size_t i = size_t(y) * size_t(p.width) + size_t(x);
                        difference += int(q.Table()[3 * indices[i] + c]) - int(p.rgb[3 * i + c]);
                    }
                sum += std::abs(difference) / 16;
            }
    return sum / (3.0 * blocks);
}

}  // namespace

// Catches colours lost although the picture has no more than a table holds (the 256th and the
// 257th colour are the edge), dithering applied to an exact table, and one colour or one
// pixel failing; above 256 colours, a table that is no table (size), and a poor cut or a
// broken dither (error bounds, dither must bring the local mean closer).
TEST(ColourQuantiser, ExactUpTo256ColoursBoundedBeyond) {
    struct Case {
        const char* name;
        Picture picture;
        bool exact;
    };
    const std::vector<Case> cases = {
        {"one pixel", Spread(1, 1, 1), true},   {"one colour", Spread(30, 20, 1), true},
        {"two", Spread(5, 3, 2), true},         {"256", Spread(64, 64, 256), true},
        {"257", Spread(64, 64, 257), false},    {"gradient", Gradient(160, 120), false},
    };
    LfColourQuantiser quantiser;  // one for all, as a loop uses it
    std::vector<uint8_t> indices;
    for (const Case& c : cases) {
        for (const bool dither : {false, true}) {
            SCOPED_TRACE(std::string(c.name) + (dither ? " dithered" : ""));
            const Picture& p = c.picture;
            quantiser.Quantise(p.rgb.data(), p.width, p.height, size_t(p.width) * 3, dither, indices);
            ASSERT_EQ(indices.size(), size_t(p.width) * size_t(p.height));
            EXPECT_EQ(quantiser.Exact(), c.exact);
            EXPECT_GE(quantiser.Size(), 1);
            EXPECT_LE(quantiser.Size(), 256);
            for (const uint8_t index : indices) ASSERT_LT(index, quantiser.Size());
            if (c.exact) {
                EXPECT_EQ(MeanError(p, quantiser, indices), 0.0);
                continue;
            }
            EXPECT_EQ(quantiser.Size(), 256);
            // 256 entries over the gradient's volume lie some 40 levels apart: a mean error
            // of about 7; a cut that wastes entries or maps to far ones gives several times it.
            EXPECT_LT(MeanError(p, quantiser, indices), dither ? 10.0 : 8.0);
        }
    }
    const Picture gradient = Gradient(160, 120);
    quantiser.Quantise(gradient.rgb.data(), 160, 120, 480, false, indices);
    const double plain = BlockError(gradient, quantiser, indices);
    quantiser.Quantise(gradient.rgb.data(), 160, 120, 480, true, indices);
    EXPECT_LT(BlockError(gradient, quantiser, indices), plain);
}

// Catches a stride ignored (rows read as if packed): the padding bytes must not become colours.
TEST(ColourQuantiser, RowsWithPaddingReadOnlyThePixels) {
    const Picture p = Spread(3, 4, 5);
    std::vector<uint8_t> padded(4 * 16, 0xEE);
    for (int32_t y = 0; y < 4; ++y) std::copy_n(p.rgb.data() + 9 * y, 9, padded.data() + 16 * y);
    LfColourQuantiser quantiser;
    std::vector<uint8_t> indices;
    quantiser.Quantise(padded.data(), 3, 4, 16, false, indices);
    EXPECT_TRUE(quantiser.Exact());
    EXPECT_EQ(quantiser.Size(), 5);
    EXPECT_EQ(MeanError(p, quantiser, indices), 0.0);
}

// Catches delays rounded frame by frame (30 a second as 3 each: the loop 10 % fast) instead of
// the rounding carried, and floating-point error at whole hundredths (frame 3 of 30 a second
// ends at 10, not 9).
TEST(GifSequenceWriter, DelaysCarryTheRoundingSoTheLoopKeepsItsLength) {
    struct Case {
        double rate;
        int64_t frames;
        int64_t total;  // hundredths the loop lasts
        std::vector<int64_t> firstDelays;
    };
    const std::vector<Case> cases = {
        {30, 3000, 10000, {3, 3, 4, 3, 3, 4}}, {25, 100, 400, {4, 4, 4}},      {7, 7, 100, {14, 14, 14, 15}},
        {0.5, 3, 600, {200, 200, 200}},       {1000, 1000, 100, {0, 0, 0, 0, 0, 0, 0, 0, 0, 1}},
        {29.97, 2997, 10000, {3, 3, 4}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.rate);
        EXPECT_EQ(LfGifSequenceWriter::StartOfFrame(c.frames, c.rate), c.total);
        for (size_t k = 0; k < c.firstDelays.size(); ++k)
            EXPECT_EQ(LfGifSequenceWriter::StartOfFrame(int64_t(k) + 1, c.rate) - LfGifSequenceWriter::StartOfFrame(int64_t(k), c.rate),
                      c.firstDelays[k])
                << k;
    }
}

// Catches sizes GIF cannot hold accepted, a frame of another size or layout written into the
// file, and a file with no frame reported as finished.
TEST(GifSequenceWriter, RefusesWhatAGifCannotHold) {
    testsupport::TempDir dir;
    const std::string path = (dir / "a.gif").string();
    LfGifSequenceWriter writer;
    for (const auto& [w, h] : std::vector<std::pair<int32_t, int32_t>>{{0, 5}, {5, 0}, {65536, 1}, {-1, 3}}) {
        EXPECT_FALSE(writer.Open(path, LfSequenceSettings{w, h, 10.0, 90, false})) << w << " x " << h;
        EXPECT_NE(writer.LastError().find("1 to 65535"), std::string::npos);
    }
    EXPECT_FALSE(writer.Open(path, LfSequenceSettings{4, 4, 0.0, 90, false}));

    ASSERT_TRUE(writer.Open(path, LfSequenceSettings{4, 4, 10.0, 90, false})) << writer.LastError();
    EXPECT_FALSE(writer.Finish());  // no frame yet
    ASSERT_TRUE(writer.Open(path, LfSequenceSettings{4, 4, 10.0, 90, false}));
    const std::vector<uint8_t> pixels(4 * 5 * 3, 7);
    EXPECT_FALSE(writer.AddFrame(LfSequenceFrame{4, 5, 1, pixels.data(), 4}));     // another size
    EXPECT_FALSE(writer.AddFrame(LfSequenceFrame{4, 4, 2, pixels.data(), 8}));     // two samples
    EXPECT_FALSE(writer.AddFrame(LfSequenceFrame{4, 4, 3, pixels.data(), 6}));     // stride too short
    EXPECT_FALSE(writer.AddFrame(LfSequenceFrame{4, 4, 1, nullptr, 4}));
    EXPECT_TRUE(writer.AddFrame(LfSequenceFrame{4, 4, 3, pixels.data(), 12})) << writer.LastError();
    EXPECT_TRUE(writer.Finish()) << writer.LastError();
    const std::vector<uint8_t> file = testsupport::ReadFile(path);
    ASSERT_GT(file.size(), 6u);
    EXPECT_EQ(std::string(file.begin(), file.begin() + 6), "GIF89a");
    EXPECT_EQ(file.back(), ';');
}

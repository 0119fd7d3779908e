// Resampling: the arithmetic of each mode on inputs whose results are known by hand, the
// choice of mode, palette and alpha handling, cancellation, and robustness on extreme sizes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <vector>

#include "LfImage.h"
#include "LfResampleKernels.h"
#include "TestSupport.h"

namespace {

using ColorAt = std::function<LfRgbQuad(uint32_t x, uint32_t y)>;

LfRgbQuad Grey(uint8_t v) { return LfRgbQuad{v, v, v, 0}; }
LfRgbQuad Bgr(uint8_t b, uint8_t g, uint8_t r) { return LfRgbQuad{b, g, r, 0}; }

// A 24-bit picture whose pixel (x, y) (y counting stored rows) is colorAt(x, y).
void MakeRgb(LfImage& image, uint32_t width, uint32_t height, const ColorAt& colorAt) {
    ASSERT_NE(image.Create(width, height, 24, LF_FORMAT_BMP), nullptr) << image.LastError();
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = image.Row(y);
        for (uint32_t x = 0; x < width; ++x) {
            const LfRgbQuad c = colorAt(x, y);
            row[3 * x] = c.blue;
            row[3 * x + 1] = c.green;
            row[3 * x + 2] = c.red;
        }
    }
}

LfRgbQuad At(const LfImage& image, uint32_t x, uint32_t y) {
    const uint8_t* p = image.Row(y) + 3 * x;
    return Bgr(p[0], p[1], p[2]);
}

// An 8-bit picture with the given palette; pixel (x, y) holds indexAt(x, y).
void MakeIndexed(LfImage& image, uint32_t width, uint32_t height,
                 const std::vector<LfRgbQuad>& palette,
                 const std::function<uint8_t(uint32_t, uint32_t)>& indexAt) {
    ASSERT_NE(image.Create(width, height, 8, LF_FORMAT_BMP), nullptr) << image.LastError();
    image.SetPalette(palette.data(), static_cast<uint32_t>(palette.size()));
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x)
            image.SetPixelIndex(static_cast<int32_t>(x), static_cast<int32_t>(y), indexAt(x, y));
}

std::vector<LfRgbQuad> GreyRamp(int entries) {
    std::vector<LfRgbQuad> palette;
    for (int i = 0; i < entries; ++i) palette.push_back(Grey(static_cast<uint8_t>(i)));
    return palette;
}

std::vector<uint8_t> PixelBytes(const LfImage& image) {
    const uint8_t* rows = image.Row(0);
    return std::vector<uint8_t>(rows, rows + image.EffectiveWidth() * image.Height());
}

// ---------------------------------------------------------------- arguments and results

TEST(ResampleArguments, ZeroOrNegativeSizeFailsAndLeavesTheImage) {
    LfImage image;
    MakeRgb(image, 3, 2, [](uint32_t x, uint32_t y) { return Grey(static_cast<uint8_t>(x + 10 * y)); });
    const std::vector<uint8_t> before = PixelBytes(image);
    LfImage destination;
    for (auto [w, h] : {std::pair{0, 2}, {3, 0}, {0, 0}, {-3, 2}, {3, -1}}) {
        SCOPED_TRACE(::testing::Message() << w << "x" << h);
        EXPECT_FALSE(image.Resample(w, h, 1));
        EXPECT_FALSE(image.Resample(w, h, 0, &destination));
        EXPECT_EQ(image.Width(), 3u);
        EXPECT_EQ(image.Height(), 2u);
        EXPECT_EQ(PixelBytes(image), before);
        EXPECT_FALSE(destination.IsValid());
    }
}

TEST(ResampleArguments, EmptyImageIsRefused) {
    LfImage empty;
    EXPECT_FALSE(empty.Resample(4, 4, 1));
    EXPECT_FALSE(empty.IsValid());
}

TEST(ResampleArguments, SameSizeKeepsInPlaceAndCopiesToDestination) {
    LfImage image;
    MakeRgb(image, 3, 2, [](uint32_t x, uint32_t y) { return Bgr(static_cast<uint8_t>(x), 7, static_cast<uint8_t>(y)); });
    ASSERT_TRUE(image.AlphaCreate());
    image.AlphaSet(1, 1, 9);
    const std::vector<uint8_t> before = PixelBytes(image);
    const uint8_t* block = image.Block();

    for (int mode : {0, 1, 2}) {
        EXPECT_TRUE(image.Resample(3, 2, mode));
        EXPECT_EQ(image.Block(), block) << "same size must not rebuild the picture";
        EXPECT_EQ(PixelBytes(image), before);
    }

    LfImage destination;
    MakeRgb(destination, 9, 9, [](uint32_t, uint32_t) { return Grey(1); });
    EXPECT_TRUE(image.Resample(3, 2, 0, &destination));
    EXPECT_EQ(destination.Width(), 3u);
    EXPECT_EQ(destination.Height(), 2u);
    EXPECT_EQ(PixelBytes(destination), before);
    ASSERT_TRUE(destination.AlphaIsValid());
    EXPECT_EQ(destination.AlphaGet(1, 1), 9);
    EXPECT_EQ(image.Block(), block);
}

TEST(ResampleArguments, DestinationReceivesTheResultAndTheSourceStays) {
    LfImage image;
    MakeRgb(image, 4, 4, [](uint32_t x, uint32_t y) { return Grey(static_cast<uint8_t>(16 * y + x)); });
    const std::vector<uint8_t> before = PixelBytes(image);
    LfImage destination;
    MakeRgb(destination, 1, 1, [](uint32_t, uint32_t) { return Grey(200); });

    ASSERT_TRUE(image.Resample(2, 2, 1, &destination));
    EXPECT_EQ(image.Width(), 4u);
    EXPECT_EQ(PixelBytes(image), before);
    ASSERT_EQ(destination.Width(), 2u);
    ASSERT_EQ(destination.Height(), 2u);
    EXPECT_EQ(At(destination, 1, 1), Grey(34));
    EXPECT_EQ(destination.Type(), static_cast<uint32_t>(LF_FORMAT_BMP));

    // The same call in place replaces this image with the identical result.
    ASSERT_TRUE(image.Resample(2, 2, 1));
    EXPECT_EQ(PixelBytes(image), PixelBytes(destination));
}

TEST(ResampleArguments, CreationFailureKeepsTheImageAndReportsWhy) {
    LfImage image;
    MakeRgb(image, 2, 2, [](uint32_t x, uint32_t) { return Grey(static_cast<uint8_t>(x)); });
    const std::vector<uint8_t> before = PixelBytes(image);
    LfImage destination;
    EXPECT_FALSE(image.Resample(100000, 100000, 1, &destination));
    EXPECT_STREQ(image.LastError(), "LFIMAGE_MAX_MEMORY exceeded");
    EXPECT_FALSE(image.Resample(100000, 100000, 0));
    EXPECT_EQ(image.Width(), 2u);
    EXPECT_EQ(PixelBytes(image), before);
    EXPECT_FALSE(destination.IsValid());
}

TEST(ResampleArguments, EscapeStopsTheRowsButDeliversTheResizedPicture) {
    for (int mode : {0, 1, 2, 3}) {
        SCOPED_TRACE(mode);
        LfImage image;
        MakeRgb(image, 8, 8, [](uint32_t, uint32_t) { return Grey(200); });
        ASSERT_TRUE(image.AlphaCreate());
        image.SetEscape(1);
        ASSERT_TRUE(image.Resample(mode == 3 ? 16 : 4, 4, mode));
        EXPECT_EQ(image.Height(), 4u);
        // No row was walked; the unwritten pixels are defined (zero), the alpha plane is done.
        for (uint8_t b : PixelBytes(image)) ASSERT_EQ(b, 0);
        ASSERT_TRUE(image.AlphaIsValid());
        EXPECT_EQ(image.AlphaGet(3, 3), 255);
    }
}

TEST(ResampleArguments, ProgressEndsOnTheLastRow) {
    LfImage image;
    MakeRgb(image, 10, 10, [](uint32_t, uint32_t) { return Grey(1); });
    LfImage destination;
    ASSERT_TRUE(image.Resample(4, 5, 1, &destination));
    EXPECT_EQ(image.Progress(), 80);    // 100 x 4 / 5 before the last destination row
    ASSERT_TRUE(image.Resample(4, 5, 0, &destination));
    EXPECT_EQ(image.Progress(), 90);    // the shrink counts source rows
}

// ---------------------------------------------------------------- arithmetic helpers

TEST(ResampleKernel, BicubicWeightsAtKnownPoints) {
    using lfresample::BicubicKernel;
    EXPECT_EQ(BicubicKernel(0.0f), 0.6666667f);
    EXPECT_EQ(BicubicKernel(1.0f), 0.16666667f);
    EXPECT_EQ(BicubicKernel(-1.0f), 0.16666667f);
    EXPECT_EQ(BicubicKernel(2.0f), 0.0f);
    EXPECT_EQ(BicubicKernel(-2.0f), 0.0f);
    EXPECT_EQ(BicubicKernel(2.5f), 0.0f);
    EXPECT_EQ(BicubicKernel(-2.5f), 0.0f);
    EXPECT_NEAR(BicubicKernel(0.5f), 23.0f / 48.0f, 1e-6);
    EXPECT_NEAR(BicubicKernel(1.5f), 1.0f / 48.0f, 1e-6);
    // The four taps around any position share the whole weight.
    for (float d : {0.0f, 0.1f, 0.25f, 0.5f, 0.9f}) {
        const float sum = BicubicKernel(d + 1) + BicubicKernel(d) + BicubicKernel(d - 1) +
                          BicubicKernel(d - 2);
        EXPECT_NEAR(sum, 1.0f, 1e-5) << d;
    }
}

TEST(ResampleKernel, ScalesAndAreaTotal) {
    EXPECT_EQ(lfresample::Scale(4, 2), 2.0f);
    EXPECT_EQ(lfresample::Scale(1, 3), 1.0f / 3.0f);
    EXPECT_EQ(lfresample::AreaScaleTotal(2.0f, 2.0f), 4000);
    EXPECT_EQ(lfresample::AreaScaleTotal(1.5f, 1.5f), 2250);
    // Heavy shrinks exceed 32 bits of thousandths.
    EXPECT_EQ(lfresample::AreaScaleTotal(4096.0f, 4096.0f), 16777216000LL);
    // Rounding of extreme enlargements never points past the last source pixel.
    // (1 / 14048214 rounds up: the last of 14048214 columns would land on column 1 of 1.)
    EXPECT_EQ(lfresample::NearestSource(14048213, lfresample::Scale(1, 14048214), 1), 0u);
    EXPECT_EQ(lfresample::NearestSource(3, 2.0f / 3.0f, 2), 1u);
}

// ---------------------------------------------------------------- nearest pixel

TEST(ResampleNearest, FourByFourToTwoByTwoTakesEverySecondPixel) {
    LfImage image;
    MakeRgb(image, 4, 4, [](uint32_t x, uint32_t y) { return Bgr(static_cast<uint8_t>(x), static_cast<uint8_t>(y), 99); });
    ASSERT_TRUE(image.Resample(2, 2, 1));
    EXPECT_EQ(At(image, 0, 0), Bgr(0, 0, 99));
    EXPECT_EQ(At(image, 1, 0), Bgr(2, 0, 99));
    EXPECT_EQ(At(image, 0, 1), Bgr(0, 2, 99));
    EXPECT_EQ(At(image, 1, 1), Bgr(2, 2, 99));
}

TEST(ResampleNearest, EnlargesOneWayAndShrinksTheOther) {
    LfImage image;
    MakeRgb(image, 3, 6, [](uint32_t x, uint32_t y) { return Bgr(static_cast<uint8_t>(x), static_cast<uint8_t>(y), 0); });
    ASSERT_TRUE(image.Resample(7, 2, 1));
    // Columns: trunc(x * 3/7) = 0 0 0 1 1 2 2; rows: trunc(y * 3) = 0 3.
    const uint8_t columns[7] = {0, 0, 0, 1, 1, 2, 2};
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 7; ++x)
            EXPECT_EQ(At(image, x, y), Bgr(columns[x], static_cast<uint8_t>(3 * y), 0)) << x << "," << y;
}

TEST(ResampleNearest, PaletteImageGoesThroughTheNearestIndex) {
    // Entries 5 and 9 hold the same colour: the colour is looked up again, so 9 becomes 5.
    std::vector<LfRgbQuad> palette = GreyRamp(256);
    palette[9] = palette[5];
    LfImage image;
    MakeIndexed(image, 2, 2, palette, [](uint32_t x, uint32_t y) { return static_cast<uint8_t>(x == y ? 9 : 200); });
    ASSERT_TRUE(image.Resample(4, 4, 1));
    EXPECT_EQ(image.BitCount(), 8u);
    EXPECT_EQ(image.NumColors(), 256u);
    EXPECT_EQ(image.PaletteColor(200), palette[200]);
    EXPECT_EQ(image.PixelIndex(0, 0), 5);
    EXPECT_EQ(image.PixelIndex(3, 3), 5);
    EXPECT_EQ(image.PixelIndex(3, 0), 200);
}

TEST(ResampleNearest, LowDepthPicturesKeepTheirIndices) {
    for (uint32_t bits : {1u, 4u}) {
        SCOPED_TRACE(bits);
        LfImage image;
        ASSERT_NE(image.Create(5, 3, bits, LF_FORMAT_BMP), nullptr);
        image.SetGreyPalette();
        const uint8_t top = bits == 1 ? 1 : 15;
        for (int y = 0; y < 3; ++y)
            for (int x = 0; x < 5; ++x) image.SetPixelIndex(x, y, (x + y) % 2 ? top : 0);
        ASSERT_TRUE(image.Resample(10, 6, 1));
        EXPECT_EQ(image.BitCount(), bits);
        for (int y = 0; y < 6; ++y)
            for (int x = 0; x < 10; ++x)
                ASSERT_EQ(image.PixelIndex(x, y), ((x / 2 + y / 2) % 2) ? top : 0) << x << "," << y;
    }
}

// ---------------------------------------------------------------- bicubic B-spline

// The same filter in double precision, written from the formula: results may differ from
// the single-precision ones by one level of truncation, never more.
double SplineWeight(double t) {
    t = std::fabs(t);
    if (t >= 2) return 0;
    if (t >= 1) return (2 - t) * (2 - t) * (2 - t) / 6;
    return (4 - 6 * t * t + 3 * t * t * t) / 6;
}

double SplineReference(const std::vector<double>& v, uint32_t w, uint32_t h, uint32_t nw, uint32_t nh,
                       uint32_t x, uint32_t y) {
    const double fx = x * double(w) / nw - 0.5, fy = y * double(h) / nh - 0.5;
    const double ix = std::floor(fx), iy = std::floor(fy);
    double sum = 0;
    for (int m = -1; m <= 2; ++m)
        for (int n = -1; n <= 2; ++n) {
            const int sx = std::clamp(int(ix) + n, 0, int(w) - 1);
            const int sy = std::clamp(int(iy) + m, 0, int(h) - 1);
            sum += v[sy * w + sx] * SplineWeight(fx - ix - n) * SplineWeight(fy - iy - m);
        }
    return sum;
}

TEST(ResampleBicubic, MatchesTheSplineFilterWithinOneLevel) {
    const uint32_t w = 6, h = 5;
    std::vector<double> values(w * h);
    for (uint32_t i = 0; i < w * h; ++i) values[i] = (i * 37) % 251;
    LfImage image;
    MakeRgb(image, w, h, [&](uint32_t x, uint32_t y) {
        const uint8_t v = static_cast<uint8_t>(values[y * w + x]);
        return Bgr(v, static_cast<uint8_t>(255 - v), 128);
    });
    for (auto [nw, nh] : {std::pair{13u, 11u}, {3u, 2u}, {9u, 3u}}) {
        SCOPED_TRACE(::testing::Message() << nw << "x" << nh);
        LfImage out;
        ASSERT_TRUE(image.Resample(static_cast<int32_t>(nw), static_cast<int32_t>(nh), 2, &out));
        for (uint32_t y = 0; y < nh; ++y)
            for (uint32_t x = 0; x < nw; ++x) {
                const double expected = SplineReference(values, w, h, nw, nh, x, y);
                const LfRgbQuad got = At(out, x, y);
                EXPECT_NEAR(got.blue, std::floor(expected), 1.0) << x << "," << y;
                EXPECT_NEAR(got.green, std::floor(255 - expected), 1.0) << x << "," << y;
                EXPECT_NEAR(got.red, 128, 1.0);
            }
    }
}

TEST(ResampleBicubic, PaletteImageIsFilteredThroughItsColours) {
    // Indices 0 and 1 are black and white; a grey entry sits at 2. A filter over the indices
    // would give 0; over the colours it gives a grey that maps to entry 2.
    const std::vector<LfRgbQuad> palette = {Grey(0), Grey(255), Grey(128)};
    LfImage image;
    MakeIndexed(image, 2, 1, palette, [](uint32_t x, uint32_t) { return static_cast<uint8_t>(x); });
    ASSERT_TRUE(image.Resample(4, 1, 2));
    EXPECT_EQ(image.PixelIndex(0, 0), 0);
    EXPECT_EQ(image.PixelIndex(2, 0), 2);
}

// ---------------------------------------------------------------- bilinear

TEST(ResampleBilinear, GradientIsInterpolatedAndHeldAtTheEdge) {
    LfImage image;
    MakeRgb(image, 5, 3, [](uint32_t x, uint32_t y) { return Bgr(static_cast<uint8_t>(10 * x), static_cast<uint8_t>(20 * y), 7); });
    ASSERT_TRUE(image.Resample(10, 6, 0));
    const uint8_t along[10] = {0, 5, 10, 15, 20, 25, 30, 35, 40, 40};
    const uint8_t up[6] = {0, 10, 20, 30, 40, 40};
    for (uint32_t y = 0; y < 6; ++y)
        for (uint32_t x = 0; x < 10; ++x)
            ASSERT_EQ(At(image, x, y), Bgr(along[x], up[y], 7)) << x << "," << y;
}

TEST(ResampleBilinear, MixedShrinkAndEnlargeInterpolates) {
    // Shrinking in only one direction is not the area shrink.
    LfImage image;
    MakeRgb(image, 4, 2, [](uint32_t x, uint32_t y) { return Grey(static_cast<uint8_t>(40 * x + 100 * y)); });
    ASSERT_TRUE(image.Resample(2, 4, 0));
    // Columns from x = 0, 2; rows from y = 0, 0.5, 1, 1.5 (the last clamped to row 1).
    const uint8_t expected[4][2] = {{0, 80}, {50, 130}, {100, 180}, {100, 180}};
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 2; ++x) EXPECT_EQ(At(image, x, y), Grey(expected[y][x])) << x << "," << y;
}

TEST(ResampleBilinear, PaletteImageIsInterpolatedThroughItsColours) {
    const std::vector<LfRgbQuad> palette = {Grey(0), Grey(255), Grey(128)};
    LfImage image;
    MakeIndexed(image, 2, 1, palette, [](uint32_t x, uint32_t) { return static_cast<uint8_t>(x); });
    ASSERT_TRUE(image.Resample(4, 1, 0));
    // x = 1 sits halfway: 127 is nearest to the grey entry, not to black or white.
    EXPECT_EQ(image.PixelIndex(0, 0), 0);
    EXPECT_EQ(image.PixelIndex(1, 0), 2);
    EXPECT_EQ(image.PixelIndex(2, 0), 1);
    EXPECT_EQ(image.PixelIndex(3, 0), 1);
}

TEST(ResampleBilinear, PaletteImageShrinkSamplesInsteadOfAveraging) {
    LfImage image;
    MakeIndexed(image, 4, 4, GreyRamp(256), [](uint32_t x, uint32_t y) { return static_cast<uint8_t>(16 * y + x); });
    ASSERT_TRUE(image.Resample(2, 2, 0));
    EXPECT_EQ(image.PixelIndex(0, 0), 0);
    EXPECT_EQ(image.PixelIndex(1, 0), 2);
    EXPECT_EQ(image.PixelIndex(0, 1), 32);
    EXPECT_EQ(image.PixelIndex(1, 1), 34);
}

// ---------------------------------------------------------------- area-averaging shrink

TEST(ResampleAreaShrink, HalvingAveragesEachBlockAndTruncates) {
    // Blocks of (1, 2, 3, 5) average 2.75 -> 2; the other channels check block placement.
    const uint8_t blue[4][4] = {{1, 2, 10, 10}, {3, 5, 10, 11}, {0, 0, 255, 255}, {0, 1, 255, 254}};
    LfImage image;
    MakeRgb(image, 4, 4, [&](uint32_t x, uint32_t y) {
        return Bgr(blue[y][x], static_cast<uint8_t>(x < 2 ? 100 : 0), static_cast<uint8_t>(y < 2 ? 0 : 60));
    });
    ASSERT_TRUE(image.Resample(2, 2, 0));
    EXPECT_EQ(At(image, 0, 0), Bgr(2, 100, 0));
    EXPECT_EQ(At(image, 1, 0), Bgr(10, 0, 0));
    EXPECT_EQ(At(image, 0, 1), Bgr(0, 100, 60));
    EXPECT_EQ(At(image, 1, 1), Bgr(254, 0, 60));
}

TEST(ResampleAreaShrink, StraddlingPixelsAreSplitByArea) {
    // 3 x 3 to 2 x 2: the middle column and row count half to each side, the centre pixel a
    // quarter to each destination pixel; every destination pixel weighs 2.25 source pixels.
    const uint8_t v[3][3] = {{0, 90, 30}, {180, 255, 60}, {9, 99, 201}};
    LfImage image;
    MakeRgb(image, 3, 3, [&](uint32_t x, uint32_t y) { return Grey(v[y][x]); });
    ASSERT_TRUE(image.Resample(2, 2, 0));
    auto area = [&](int x0, int x1, int y0, int y1) {
        // corners of the 2x2 neighbourhood: full pixel 1000, edge 500, centre 250
        const int sum = v[y0][x0] * 1000 + v[y0][x1] * 500 + v[y1][x0] * 500 + v[y1][x1] * 250;
        return static_cast<uint8_t>(sum / 2250);
    };
    EXPECT_EQ(At(image, 0, 0).blue, area(0, 1, 0, 1));
    EXPECT_EQ(At(image, 1, 0).blue, area(2, 1, 0, 1));
    EXPECT_EQ(At(image, 0, 1).blue, area(0, 1, 2, 1));
    EXPECT_EQ(At(image, 1, 1).blue, area(2, 1, 2, 1));
}

TEST(ResampleAreaShrink, HeavyShrinkOfWhiteStaysWhite) {
    // 255 x 1000 x an area of 100000 pixels overflows 32-bit sums.
    LfImage image;
    MakeRgb(image, 1000, 100, [](uint32_t, uint32_t) { return Grey(255); });
    LfImage one;
    ASSERT_TRUE(image.Resample(1, 1, 0, &one));
    EXPECT_EQ(At(one, 0, 0), Grey(255));
    // Weights in whole thousandths may leave a pixel a hair short of the total: one level.
    ASSERT_TRUE(image.Resample(3, 2, 0, &one));
    for (uint32_t y = 0; y < 2; ++y)
        for (uint32_t x = 0; x < 3; ++x) EXPECT_GE(At(one, x, y).green, 254) << x << "," << y;
}

// ImageMagick's -scale averages by exact area, the same partition as the shrink (the shrink
// walks stored rows, so rows are handed over in stored order). It rounds where the shrink
// truncates, so the two differ by at most one level; a misplaced block or a wrong weight
// would differ by far more.
TEST(ResampleAreaShrink, AgreesWithImageMagickScale) {
    const std::string im = "convert-im6.q16";
    GLINTWISE_NEED_PEER(testsupport::HaveTool(im), im);
    const testsupport::TempDir dir;
    const uint32_t w = 157, h = 91;
    LfImage image;
    uint32_t state = 7;
    MakeRgb(image, w, h, [&](uint32_t x, uint32_t y) {
        state = state * 1664525u + 1013904223u;
        return Bgr(static_cast<uint8_t>(x + y), static_cast<uint8_t>(state >> 24), static_cast<uint8_t>(3 * x));
    });
    std::vector<uint8_t> raw;
    for (uint32_t y = 0; y < h; ++y) raw.insert(raw.end(), image.Row(y), image.Row(y) + 3 * w);
    testsupport::WriteFile(dir / "in.rgb", raw);

    for (auto [nw, nh] : {std::pair{50u, 30u}, {100u, 90u}, {7u, 3u}, {156u, 90u}}) {
        SCOPED_TRACE(::testing::Message() << nw << "x" << nh);
        const std::string command = im + " -size " + std::to_string(w) + "x" + std::to_string(h) +
                                    " -depth 8 rgb:" + testsupport::ShellQuote((dir / "in.rgb").string()) +
                                    " -scale " + std::to_string(nw) + "x" + std::to_string(nh) +
                                    "! -depth 8 rgb:" + testsupport::ShellQuote((dir / "out.rgb").string());
        ASSERT_EQ(testsupport::Run(command), 0) << command;
        const std::vector<uint8_t> peer = testsupport::ReadFile(dir / "out.rgb");
        ASSERT_EQ(peer.size(), size_t(3) * nw * nh);

        LfImage out;
        ASSERT_TRUE(image.Resample(static_cast<int32_t>(nw), static_cast<int32_t>(nh), 0, &out));
        for (uint32_t y = 0; y < nh; ++y)
            for (uint32_t i = 0; i < 3 * nw; ++i) {
                const int diff = int(peer[3 * nw * y + i]) - int(out.Row(y)[i]);
                ASSERT_LE(diff, 1) << "byte " << i << " of row " << y;
                ASSERT_GE(diff, -1) << "byte " << i << " of row " << y;
            }
    }
}

// ---------------------------------------------------------------- alpha plane

TEST(ResampleAlpha, PlaneFollowsTheNearestPixelInEveryMode) {
    for (int mode : {0, 1, 2, 5}) {
        for (auto [nw, nh] : {std::pair{2, 2}, {8, 6}, {3, 5}}) {
            SCOPED_TRACE(::testing::Message() << "mode " << mode << " " << nw << "x" << nh);
            LfImage image;
            MakeRgb(image, 4, 4, [](uint32_t x, uint32_t y) { return Grey(static_cast<uint8_t>(x * y)); });
            ASSERT_TRUE(image.AlphaCreate());
            for (int y = 0; y < 4; ++y)
                for (int x = 0; x < 4; ++x) image.AlphaSet(x, y, static_cast<uint8_t>(10 * y + x));
            ASSERT_TRUE(image.Resample(nw, nh, mode));
            ASSERT_TRUE(image.AlphaIsValid());
            for (int y = 0; y < nh; ++y)
                for (int x = 0; x < nw; ++x) {
                    const int sx = static_cast<int>(static_cast<float>(x) * (4.0f / static_cast<float>(nw)));
                    const int sy = static_cast<int>(static_cast<float>(y) * (4.0f / static_cast<float>(nh)));
                    ASSERT_EQ(image.AlphaGet(x, y), 10 * sy + sx) << x << "," << y;
                }
        }
    }
}

TEST(ResampleAlpha, PictureWithoutPlaneGetsNone) {
    LfImage image;
    MakeRgb(image, 4, 4, [](uint32_t, uint32_t) { return Grey(3); });
    ASSERT_TRUE(image.Resample(2, 3, 2));
    EXPECT_FALSE(image.AlphaIsValid());
}

// ---------------------------------------------------------------- extreme sizes

// Every mode over sizes that stress rounding: single pixels, heavy shrinks, shrink ratios
// just above one on long rows (where float drift can add a column boundary), and one
// direction enlarged while the other shrinks. A constant picture must stay constant, give or
// take the one level that truncating single-precision sums or whole thousandths may lose
// (never gain). The shrink's last column and row may lose a little more: column and row ends
// accumulate in single precision, and on long rows the final boundary drifts. The sanitizer
// build checks the bounds.
TEST(ResampleExtremes, ConstantPictureStaysConstantAtAnySize) {
    struct Case { uint32_t w, h; int32_t nw, nh; };
    const Case cases[] = {
        {1, 1, 5, 7},     {5, 7, 1, 1},      {1, 100, 100, 1},  {100, 1, 1, 100},
        {1, 1, 1, 9},     {2, 2, 1, 1},      {3, 3, 2, 2},      {7, 5, 3, 4},
        {4097, 3, 4096, 2}, {20001, 2, 20000, 1}, {3, 4097, 2, 4096}, {999, 7, 997, 6},
        {1000, 3, 1, 2},  {5000, 2, 3, 1},   {2, 3000, 1, 7},   {640, 480, 639, 1},
        {17, 13, 16, 12}, {33, 2, 64, 1},    {1, 2, 1, 1},
        // drift here adds a boundary beyond the last column (and row)
        {8217, 3, 8215, 2}, {3, 8217, 2, 8215}, {8476, 2, 8441, 1},
    };
    for (const Case& c : cases) {
        for (int mode : {0, 1, 2}) {
            SCOPED_TRACE(::testing::Message() << c.w << "x" << c.h << " -> " << c.nw << "x" << c.nh
                                              << " mode " << mode);
            LfImage image;
            MakeRgb(image, c.w, c.h, [](uint32_t, uint32_t) { return Bgr(200, 13, 255); });
            ASSERT_TRUE(image.Resample(c.nw, c.nh, mode));
            ASSERT_EQ(image.Width(), static_cast<uint32_t>(c.nw));
            ASSERT_EQ(image.Height(), static_cast<uint32_t>(c.nh));
            for (uint32_t y = 0; y < image.Height(); ++y)
                for (uint32_t x = 0; x < image.Width(); ++x) {
                    const bool edge = mode == 0 && (x + 1 == image.Width() || y + 1 == image.Height());
                    auto level = [edge](uint8_t got, int want) {
                        return got <= want && got >= (edge ? want * 95 / 100 : want - 1);
                    };
                    const LfRgbQuad p = At(image, x, y);
                    ASSERT_TRUE(level(p.blue, 200) && level(p.green, 13) && level(p.red, 255))
                        << x << "," << y << ": " << int(p.blue) << " " << int(p.green) << " " << int(p.red);
                }
        }
    }
}

TEST(ResampleExtremes, WidestEnlargementReadsOnlyTheSourcePixel) {
    // x x (1 / 14048214) rounds to 1.0 for the last column: it must still read column 0.
    LfImage image;
    MakeRgb(image, 1, 1, [](uint32_t, uint32_t) { return Bgr(1, 2, 3); });
    ASSERT_TRUE(image.Resample(14048214, 1, 1));
    EXPECT_EQ(At(image, 14048213, 0), Bgr(1, 2, 3));
    EXPECT_EQ(At(image, 0, 0), Bgr(1, 2, 3));
}

}  // namespace

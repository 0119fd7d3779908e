// The SKA codec: the bytes the encoder writes (Layout), reading back at every stride
// (Decode), and refused or truncated files (Malformed). No other program reads or writes
// SKA, so the files here are built byte by byte.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "LfImageSKA.h"
#include "PeerPixels.h"

using peer::Bytes;

namespace {

// A picture of reproducible random indices and palette colours.
void FillPattern(LfImage& image, uint32_t width, uint32_t height, uint32_t bits, uint32_t seed) {
    ASSERT_NE(image.Create(width, height, bits, LF_FORMAT_SKA), nullptr);
    std::mt19937 rng(seed);
    for (uint32_t i = 0; i < image.NumColors(); ++i)
        image.SetPaletteColor(i, LfRgbQuad{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0});
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) image.SetPixelIndex(x, y, rng() % image.NumColors());
}

Bytes SkaHeader(uint16_t width, uint16_t height, uint8_t exponent = 3, Bytes marker = {0, 0, 0, 1}) {
    Bytes b = {uint8_t(width), uint8_t(width >> 8), uint8_t(height), uint8_t(height >> 8), exponent};
    for (uint8_t m : marker) b.push_back(m);
    return b;
}

// A valid file: entry i of the table is (i, 2i, 3i); pixel (x, row from top r) is 10r + x.
Bytes SkaFile(uint16_t width, uint16_t height) {
    Bytes b = SkaHeader(width, height);
    for (int i = 0; i < 256; ++i) b.insert(b.end(), {uint8_t(i), uint8_t(2 * i), uint8_t(3 * i)});
    for (int r = 0; r < height; ++r)
        for (int x = 0; x < width; ++x) b.push_back(uint8_t(10 * r + x));
    return b;
}

bool Decode(LfImageSKA& image, const Bytes& file) { return peer::DecodeWith(image, file); }

// ---------------------------------------------------------------------------------------
// Layout

// Catches a padded row, a bottom-up row order, a blue-first table or a wrong marker.
TEST(SkaLayout, ThreeByTwoIs783BytesWithTopRowFirst) {
    LfImage image;
    FillPattern(image, 3, 2, 8, 1);
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_SKA);
    ASSERT_EQ(file.size(), 783u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 9), SkaHeader(3, 2));
    for (int i = 0; i < 256; ++i) {
        const LfRgbQuad c = image.PaletteColor(i);
        ASSERT_EQ(Bytes(file.begin() + 9 + 3 * i, file.begin() + 12 + 3 * i), (Bytes{c.red, c.green, c.blue})) << i;
    }
    EXPECT_EQ(Bytes(file.begin() + 777, file.end()),
              (Bytes{image.PixelIndex(0, 1), image.PixelIndex(1, 1), image.PixelIndex(2, 1),
                     image.PixelIndex(0, 0), image.PixelIndex(1, 0), image.PixelIndex(2, 0)}));
}

// Shallow pictures become 8-bit files with one index per pixel and the unused table entries
// black; the caller's picture keeps its depth (the writer must not widen it in place).
TEST(SkaLayout, OneAndFourBitImagesAreWrittenAsEightBitFiles) {
    for (uint32_t bits : {1u, 4u}) {
        SCOPED_TRACE(bits);
        LfImage image;
        FillPattern(image, 11, 3, bits, bits);
        const Bytes before = peer::Snapshot(image);
        const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_SKA);
        ASSERT_EQ(file.size(), 9u + 768 + 33);
        EXPECT_EQ(file[4], 3);
        for (uint32_t i = 0; i < 256; ++i) {
            const LfRgbQuad c = i < image.NumColors() ? image.PaletteColor(i) : LfRgbQuad{0, 0, 0, 0};
            ASSERT_EQ(file[9 + 3 * i], c.red) << i;
            ASSERT_EQ(file[11 + 3 * i], c.blue) << i;
        }
        for (uint32_t r = 0; r < 3; ++r)
            for (uint32_t x = 0; x < 11; ++x) ASSERT_EQ(file[777 + 11 * r + x], image.PixelIndex(x, 2 - r));
        EXPECT_EQ(image.BitCount(), bits);
        EXPECT_EQ(peer::Snapshot(image), before);
    }
}

// Catches a deep picture written anyway, or a side cut to 16 bits in the header.
TEST(SkaLayout, RefusalsWriteNothing) {
    const struct { uint32_t width, height, bits; const char* message; } cases[] = {
        {4, 4, 24, "SKA Images must be 8 bit or less"},
        {32768, 1, 8, "SKA image too large"},
        {1, 32768, 8, "SKA image too large"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        LfImage image;
        ASSERT_NE(image.Create(c.width, c.height, c.bits), nullptr);
        LfMemFile out;
        out.Open();
        EXPECT_FALSE(image.Encode(&out, LF_FORMAT_SKA));
        EXPECT_STREQ(image.LastError(), c.message);
        EXPECT_EQ(out.Size(), 0);
    }
}

TEST(SkaLayout, ShortWriteIsAFailure) {
    LfImage image;
    FillPattern(image, 30, 20, 8, 5);
    for (size_t room : {0u, 8u, 9u, 700u, 800u}) {
        SCOPED_TRACE(room);
        peer::FailingStream out(room);
        EXPECT_FALSE(image.Encode(&out, LF_FORMAT_SKA));
        EXPECT_STREQ(image.LastError(), "Write Error in SKA file");
    }
}

// ---------------------------------------------------------------------------------------
// Decode

// Width 5 is stored with a stride of 8: catches packed rows landing at the wrong offsets,
// and rows or table entries in the wrong order.
TEST(SkaDecode, UnpaddedRowsLandInPaddedRowsAtEveryWidth) {
    for (uint16_t width : {1, 4, 5, 7, 13}) {
        SCOPED_TRACE(width);
        LfImageSKA image;
        ASSERT_TRUE(Decode(image, SkaFile(width, 3)));
        EXPECT_EQ(image.BitCount(), 8u);
        EXPECT_EQ(image.Type(), uint32_t(LF_FORMAT_SKA));
        EXPECT_EQ(image.PaletteColor(7), (LfRgbQuad{21, 14, 7, 0}));
        for (int r = 0; r < 3; ++r)
            for (int x = 0; x < width; ++x) ASSERT_EQ(image.PixelIndex(x, 2 - r), 10 * r + x) << x << "," << r;
    }
}

TEST(SkaDecode, RoundTripThroughTheDispatchKeepsPixelsAndPalette) {
    LfImage image;
    FillPattern(image, 37, 9, 8, 9);
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_SKA);
    LfImage back;
    ASSERT_TRUE(peer::DecodeBytes(back, file, LF_FORMAT_SKA)) << back.LastError();
    EXPECT_EQ(peer::Snapshot(back), peer::Snapshot(image));
}

TEST(SkaDecode, HeaderOnlyProbeGivesSizeWithoutPixels) {
    LfImageSKA image;
    image.SetEscape(-1);
    ASSERT_TRUE(Decode(image, SkaHeader(300, 200)));
    EXPECT_EQ(image.Width(), 300u);
    EXPECT_EQ(image.Height(), 200u);
    EXPECT_FALSE(image.IsValid());
}

// ---------------------------------------------------------------------------------------
// Malformed

TEST(SkaMalformed, ForeignHeadersAreRefused) {
    const struct { const char* name; Bytes header; } cases[] = {
        {"exponent 2", SkaHeader(3, 2, 2)},
        {"marker 0", SkaHeader(3, 2, 3, {0, 0, 0, 0})},
        {"marker in the other byte order", SkaHeader(3, 2, 3, {1, 0, 0, 0})},
        {"width 32768", SkaHeader(32768, 2)},
        {"height 65535", SkaHeader(3, 65535)},
        {"width 0", SkaHeader(0, 2)},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int probe : {0, -1}) {
            LfImageSKA image;
            image.SetEscape(probe);
            Bytes file = c.header;
            file.resize(783, 0);
            EXPECT_FALSE(Decode(image, file));
            EXPECT_FALSE(image.IsValid());
        }
    }
}

// A cut header is refused; a cut table or cut rows decode with what is there and 0 after.
TEST(SkaMalformed, EveryTruncationFailsCleanlyOrKeepsWhatItHas) {
    const Bytes file = SkaFile(5, 4);
    for (size_t n = 0; n <= file.size(); ++n) {
        SCOPED_TRACE(n);
        LfImageSKA image;
        const bool ok = Decode(image, Bytes(file.begin(), file.begin() + n));
        ASSERT_EQ(ok, n >= 9);
        if (!ok || n < 777) continue;
        for (size_t i = 0; i < 20; ++i) {
            const uint32_t x = i % 5, r = i / 5;
            ASSERT_EQ(image.PixelIndex(x, 3 - r), 777 + i < n ? 10 * r + x : 0) << i;
        }
    }
}

}  // namespace

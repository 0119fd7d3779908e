// The SKA codec: the bytes the encoder writes, reading back at every stride, and refused or
// truncated files. No other program reads or writes SKA, so files are built byte by byte.
#include <gtest/gtest.h>

#include <random>

#include "LfImageSKA.h"
#include "PeerPixels.h"

using peer::Bytes;

namespace {

void FillPattern(LfImage& image, uint32_t width, uint32_t height, uint32_t bits) {
    ASSERT_NE(image.Create(width, height, bits, LF_FORMAT_SKA), nullptr);
    std::mt19937 rng(bits + width);
    for (uint32_t i = 0; i < image.NumColors(); ++i)
        image.SetPaletteColor(i, LfRgbQuad{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0});
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) image.SetPixelIndex(x, y, rng() % image.NumColors());
}

Bytes SkaHeader(uint16_t width, uint16_t height, uint8_t exponent = 3, uint8_t markerLast = 1) {
    return {uint8_t(width), uint8_t(width >> 8), uint8_t(height), uint8_t(height >> 8), exponent, 0, 0, 0, markerLast};
}

// 9 + 768 + w x h: an unpadded top-down row order and a red-first table, for every depth the
// writer takes; 1- and 4-bit pictures come out as 8-bit files with the unused entries black,
// and the caller's picture keeps its depth.
TEST(SkaLayout, ThreeByTwoIs783BytesAndShallowPicturesBecomeEightBit) {
    for (uint32_t bits : {8u, 4u, 1u}) {
        SCOPED_TRACE(bits);
        LfImage image;
        FillPattern(image, 3, 2, bits);
        const Bytes before = peer::Snapshot(image);
        const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_SKA);
        ASSERT_EQ(file.size(), 783u);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 9), SkaHeader(3, 2));
        for (uint32_t i = 0; i < 256; ++i) {
            const LfRgbQuad c = i < image.NumColors() ? image.PaletteColor(i) : LfRgbQuad{0, 0, 0, 0};
            ASSERT_EQ(Bytes(file.begin() + 9 + 3 * i, file.begin() + 12 + 3 * i), (Bytes{c.red, c.green, c.blue})) << i;
        }
        for (uint32_t i = 0; i < 6; ++i) EXPECT_EQ(file[777 + i], image.PixelIndex(i % 3, 1 - i / 3)) << i;
        EXPECT_EQ(peer::Snapshot(image), before);
    }
}

// A 24-bit picture, or a side that 16 bits would cut, writes nothing; a full disk fails.
TEST(SkaLayout, RefusalsAndShortWrites) {
    const struct { uint32_t width, height, bits; const char* message; } cases[] = {
        {4, 4, 24, "SKA Images must be 8 bit or less"}, {32768, 1, 8, "SKA image too large"}};
    for (const auto& c : cases) {
        LfImage image;
        ASSERT_NE(image.Create(c.width, c.height, c.bits), nullptr);
        LfMemFile out;
        out.Open();
        EXPECT_FALSE(image.Encode(&out, LF_FORMAT_SKA));
        EXPECT_STREQ(image.LastError(), c.message);
        EXPECT_EQ(out.Size(), 0);
    }
    LfImage image;
    FillPattern(image, 30, 20, 8);
    for (size_t room : {0u, 9u, 800u}) {
        peer::FailingStream out(room);
        EXPECT_FALSE(image.Encode(&out, LF_FORMAT_SKA));
        EXPECT_STREQ(image.LastError(), "Write Error in SKA file");
    }
}

// Foreign headers are refused (also by the header-only probe); a cut header fails, a cut
// table or cut pixels decode with what is there and 0 after. Width 5 is held with a stride
// of 8, so every packed row must move to its padded place.
TEST(SkaMalformed, ForeignHeadersAndTruncation) {
    for (const Bytes& header : {SkaHeader(3, 2, 2), SkaHeader(3, 2, 3, 0), SkaHeader(32768, 2), SkaHeader(3, 65535),
                                SkaHeader(0, 2)}) {
        for (int escape : {0, -1}) {
            LfImageSKA image;
            image.SetEscape(escape);
            Bytes file = header;
            file.resize(783, 0);
            EXPECT_FALSE(peer::DecodeWith(image, file));
            EXPECT_FALSE(image.IsValid());
        }
    }
    LfImage image;
    FillPattern(image, 5, 4, 8);
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_SKA);
    for (size_t n = 0; n <= file.size(); ++n) {
        SCOPED_TRACE(n);
        LfImageSKA back;
        ASSERT_EQ(peer::DecodeWith(back, Bytes(file.begin(), file.begin() + n)), n >= 9);
        for (size_t i = 0; n >= 777 && i < 20; ++i)
            ASSERT_EQ(back.PixelIndex(i % 5, 3 - i / 5), 777 + i < n ? image.PixelIndex(i % 5, 3 - i / 5) : 0) << i;
        if (n == file.size()) {
            EXPECT_EQ(peer::Snapshot(back), peer::Snapshot(image));
        }
    }
}

}  // namespace

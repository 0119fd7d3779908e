// The WBMP codec: the bytes the encoder writes, header refusals and truncation, and
// agreement with netpbm's pbmtowbmp and wbmptopbm.
#include <gtest/gtest.h>

#include <random>
#include <sstream>

#include "LfImageWBMP.h"
#include "PeerPixels.h"

using peer::Bytes;
using testsupport::ShellQuote;

namespace {

// A 1-bit picture of reproducible random bits with 0 black, 1 white.
void FillBits(LfImage& image, uint32_t width, uint32_t height) {
    ASSERT_NE(image.Create(width, height, 1, LF_FORMAT_WBMP), nullptr);
    image.SetGreyPalette();
    std::mt19937 rng(width);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) image.SetPixelIndex(x, y, rng() & 1);
}

// File rows (top first) against the picture: catches bottom-up rows or shifted bits.
void ExpectRows(const LfImage& image, const Bytes& rows, uint32_t wholeRows) {
    const uint32_t rowBytes = (image.Width() + 7) / 8;
    for (uint32_t k = 0; k < wholeRows; ++k)
        for (uint32_t x = 0; x < image.Width(); ++x)
            ASSERT_EQ(bool(rows[k * rowBytes + x / 8] & (0x80 >> (x % 8))),
                      image.PixelIndex(x, image.Height() - 1 - k) == 1) << x << "," << k;
}

// 2 + 2 + 1 header bytes and 100 rows of 25 bytes; widths 127/128 straddle a 7-bit group.
TEST(WbmpLayout, HeaderIntegersAndTopDownRows) {
    const struct { uint32_t width, height; Bytes header; } cases[] = {
        {200, 100, {0, 0, 0x81, 0x48, 0x64}}, {127, 2, {0, 0, 0x7F, 2}}, {128, 1, {0, 0, 0x81, 0x00, 1}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.width);
        LfImage image;
        FillBits(image, c.width, c.height);
        const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_WBMP);
        ASSERT_EQ(file.size(), c.header.size() + (c.width + 7) / 8 * c.height);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + c.header.size()), c.header);
        ExpectRows(image, Bytes(file.begin() + c.header.size(), file.end()), c.height);
        LfImageWBMP back;
        ASSERT_TRUE(peer::DecodeWith(back, file)) << back.LastError();
        ExpectRows(back, Bytes(file.begin() + c.header.size(), file.end()), c.height);
        EXPECT_EQ(back.PaletteColor(1), (LfRgbQuad{255, 255, 255, 0}));
    }
}

// Deeper pictures are refused, not thresholded, and a full disk is not a saved file.
TEST(WbmpLayout, RefusalsAndShortWrites) {
    for (uint32_t bits : {8u, 24u}) {
        LfImage image;
        ASSERT_NE(image.Create(8, 8, bits), nullptr);
        LfMemFile out;
        out.Open();
        EXPECT_FALSE(image.Encode(&out, LF_FORMAT_WBMP));
        EXPECT_STREQ(image.LastError(), "Can't save this image as WBMP");
        EXPECT_EQ(out.Size(), 0);
    }
    LfImage image;
    FillBits(image, 40, 30);
    for (size_t room : {0u, 3u, 100u}) {
        peer::FailingStream out(room);
        EXPECT_FALSE(image.Encode(&out, LF_FORMAT_WBMP));
        EXPECT_STREQ(image.LastError(), "Write Error in WBMP file");
    }
}

TEST(WbmpMalformed, HeadersAreRefusedWithTheirMessages) {
    Bytes endless = {0, 0};
    endless.insert(endless.end(), 40, 0x81);  // would wrap 32 bits to a small width
    endless.insert(endless.end(), {0x01, 4, 0});
    const struct { Bytes file; const char* message; } cases[] = {
        {{}, "Not a WBMP"}, {{0, 0, 4, 0x81}, "Not a WBMP"}, {{0, 0, 4, 4}, "Not a WBMP"},
        {{1, 0, 4, 4, 0}, "Unsupported WBMP type"}, {{0, 0, 0, 4, 0}, "Corrupted WBMP"},
        {{0, 0, 4, 0, 0}, "Corrupted WBMP"}, {endless, "Corrupted WBMP"},
        {{0, 0, 0x87, 0xFF, 0xFF, 0x7F, 0x87, 0xFF, 0xFF, 0x7F, 0}, "WBMP Create failed"},
    };
    for (const auto& c : cases) {
        LfImageWBMP image;
        EXPECT_FALSE(peer::DecodeWith(image, c.file)) << c.message;
        EXPECT_STREQ(image.LastError(), c.message);
    }
}

// A cut header fails; cut rows are no error: the rows present are intact, the rest 0.
TEST(WbmpMalformed, EveryTruncationFailsCleanlyOrKeepsTheRowsItHas) {
    LfImage image;
    FillBits(image, 20, 6);
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_WBMP);
    for (size_t n = 0; n < file.size(); ++n) {
        SCOPED_TRACE(n);
        LfImageWBMP back;
        ASSERT_EQ(peer::DecodeWith(back, Bytes(file.begin(), file.begin() + n)), n > 4);
        if (n <= 4) continue;
        ExpectRows(back, Bytes(file.begin() + 4, file.end()), uint32_t(n - 4) / 3);
        if (n <= file.size() - 3) {  // the bottom row is missing altogether
            for (uint32_t x = 0; x < 20; ++x) ASSERT_EQ(back.PixelIndex(x, 0), 0);
        }
    }
}

// pbmtowbmp's files decode to the PBM's pixels (PBM 1 is black, WBMP 1 white), and
// wbmptopbm reads ours back to our pixels.
TEST(WbmpPeers, NetpbmBothWays) {
    GLINTWISE_NEED_PEER(testsupport::HaveTool("pbmtowbmp") && testsupport::HaveTool("wbmptopbm"), "netpbm");
    for (uint32_t width : {1u, 13u, 130u}) {
        SCOPED_TRACE(width);
        LfImage image;
        FillBits(image, width, 9);
        testsupport::TempDir dir;
        const std::string ours = ShellQuote((dir / "ours.wbmp").string()), theirs = ShellQuote((dir / "theirs.wbmp").string());
        ASSERT_TRUE(image.Save((dir / "ours.wbmp").c_str(), LF_FORMAT_WBMP));
        ASSERT_EQ(testsupport::Run("wbmptopbm " + ours + " | pbmtowbmp > " + theirs + " 2>/dev/null"), 0);
        std::string plain;
        ASSERT_EQ(testsupport::Run("wbmptopbm " + ours + " | pnmtopnm -plain", &plain), 0);
        std::istringstream in(plain);
        std::string magic;
        uint32_t w = 0, h = 0;
        in >> magic >> w >> h;
        ASSERT_EQ(w, width);
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                char bit = 0;
                in >> bit;  // plain PBM digits may run together
                ASSERT_EQ(bit == '1', image.PixelIndex(x, h - 1 - y) == 0) << x << "," << y;
            }
        LfImage back;
        ASSERT_TRUE(back.Load((dir / "theirs.wbmp").c_str(), LF_FORMAT_WBMP)) << back.LastError();
        EXPECT_EQ(peer::Snapshot(back), peer::Snapshot(image));
    }
}

}  // namespace

// The WBMP codec: the bytes the encoder writes (Layout), header reading and truncation
// (Decode, Malformed), and agreement with netpbm's pbmtowbmp and wbmptopbm (Peers).
#include <gtest/gtest.h>

#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "LfImageWBMP.h"
#include "PeerPixels.h"

using peer::Bytes;
using testsupport::ShellQuote;
using testsupport::TempDir;

namespace {

// A 1-bit picture of reproducible random bits with the grey palette (0 black, 1 white).
void FillBits(LfImage& image, uint32_t width, uint32_t height, uint32_t seed) {
    ASSERT_NE(image.Create(width, height, 1, LF_FORMAT_WBMP), nullptr);
    image.SetGreyPalette();
    std::mt19937 rng(seed);
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t x = 0; x < width; ++x) image.SetPixelIndex(x, y, rng() & 1);
}

Bytes Header(std::initializer_list<uint8_t> bytes) { return Bytes(bytes); }

bool Decode(LfImageWBMP& image, const Bytes& file) { return peer::DecodeWith(image, file); }

// Row k of the file (top row first) must hold the bits of buffer row height-1-k.
void ExpectRowsMatch(const LfImage& image, const Bytes& rows) {
    const uint32_t rowBytes = (image.Width() + 7) / 8;
    ASSERT_EQ(rows.size(), size_t(rowBytes) * image.Height());
    for (uint32_t k = 0; k < image.Height(); ++k)
        for (uint32_t x = 0; x < image.Width(); ++x) {
            const bool bit = rows[k * rowBytes + x / 8] & (0x80 >> (x % 8));
            ASSERT_EQ(bit, image.PixelIndex(x, image.Height() - 1 - k) == 1) << "x=" << x << " row " << k;
        }
}

// ---------------------------------------------------------------------------------------
// Layout

// Catches a wrong multi-byte width, rows written bottom-up, or padding bytes written.
TEST(WbmpLayout, TwoHundredByHundredIs2505BytesTopRowFirst) {
    LfImage image;
    FillBits(image, 200, 100, 1);
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_WBMP);
    ASSERT_EQ(file.size(), 2505u);
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 5), Header({0x00, 0x00, 0x81, 0x48, 0x64}));
    ExpectRowsMatch(image, Bytes(file.begin() + 5, file.end()));
}

// Catches an off-by-one at the 7-bit group boundary in either direction.
TEST(WbmpLayout, MultiByteIntegersUseTheFewestGroups) {
    const struct { uint32_t value; Bytes bytes; } cases[] = {
        {0, {0x00}}, {127, {0x7F}}, {128, {0x81, 0x00}}, {200, {0x81, 0x48}},
        {16383, {0xFF, 0x7F}}, {16384, {0x81, 0x80, 0x00}}, {UINT32_MAX, {0x8F, 0xFF, 0xFF, 0xFF, 0x7F}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        LfMemFile out;
        out.Open();
        ASSERT_TRUE(LfImageWBMP::WriteMultiByte(&out, c.value));
        const uint8_t* data = out.GetBuffer(false);
        EXPECT_EQ(Bytes(data, data + out.Size()), c.bytes);
        LfMemFile in(const_cast<uint8_t*>(c.bytes.data()), static_cast<int32_t>(c.bytes.size()));
        uint32_t back = 1;
        EXPECT_TRUE(LfImageWBMP::ReadMultiByte(&in, back));
        EXPECT_EQ(back, c.value);
    }
}

// Catches a converting writer (deeper images must be refused, not thresholded) and a
// refusal that leaves a partial file.
TEST(WbmpLayout, DeeperImagesAreRefusedAndNothingIsWritten) {
    for (uint32_t bits : {4u, 8u, 24u}) {
        SCOPED_TRACE(bits);
        LfImage image;
        ASSERT_NE(image.Create(8, 8, bits), nullptr);
        LfMemFile out;
        out.Open();
        EXPECT_FALSE(image.Encode(&out, LF_FORMAT_WBMP));
        EXPECT_STREQ(image.LastError(), "Can't save this image as WBMP");
        EXPECT_EQ(out.Size(), 0);
    }
}

// A full disk must not be reported as a saved file.
TEST(WbmpLayout, ShortWriteIsAFailure) {
    LfImage image;
    FillBits(image, 40, 30, 2);
    for (size_t room : {0u, 1u, 3u, 5u, 100u}) {
        SCOPED_TRACE(room);
        peer::FailingStream out(room);
        EXPECT_FALSE(image.Encode(&out, LF_FORMAT_WBMP));
        EXPECT_STREQ(image.LastError(), "Write Error in WBMP file");
    }
}

// ---------------------------------------------------------------------------------------
// Decode

// Catches lost bits at odd widths, flipped rows and a palette other than 0 black / 1 white.
TEST(WbmpDecode, RoundTripKeepsEveryBitAtOddSizes) {
    for (uint32_t width : {1u, 7u, 8u, 9u, 127u, 128u, 300u}) {
        SCOPED_TRACE(width);
        LfImage image;
        FillBits(image, width, 5, width);
        const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_WBMP);
        LfImageWBMP back;
        ASSERT_TRUE(Decode(back, file)) << back.LastError();
        ASSERT_EQ(back.Width(), width);
        ASSERT_EQ(back.Height(), 5u);
        EXPECT_EQ(back.Type(), uint32_t(LF_FORMAT_WBMP));
        EXPECT_EQ(back.PaletteColor(0), (LfRgbQuad{0, 0, 0, 0}));
        EXPECT_EQ(back.PaletteColor(1), (LfRgbQuad{255, 255, 255, 0}));
        for (uint32_t y = 0; y < 5; ++y)
            for (uint32_t x = 0; x < width; ++x) ASSERT_EQ(back.PixelIndex(x, y), image.PixelIndex(x, y));
    }
}

TEST(WbmpDecode, HeaderOnlyProbeGivesSizeWithoutPixels) {
    LfImageWBMP image;
    image.SetEscape(-1);
    ASSERT_TRUE(Decode(image, Header({0, 0, 0x81, 0x00, 0x03, 0xFF})));
    EXPECT_EQ(image.Width(), 128u);
    EXPECT_EQ(image.Height(), 3u);
    EXPECT_FALSE(image.IsValid());
}

// ---------------------------------------------------------------------------------------
// Malformed

// Each row names the fault: a header refusal with the wrong text, a wrapped size, or a
// short file refused although its header is complete.
TEST(WbmpMalformed, HeadersAreRefusedWithTheirMessages) {
    const struct { const char* name; Bytes file; bool ok; const char* message; } cases[] = {
        {"empty", {}, false, "Not a WBMP"},
        {"ends in the height", {0, 0, 4, 0x81}, false, "Not a WBMP"},
        {"ends right after the header", {0, 0, 4, 4}, false, "Not a WBMP"},
        {"type 1", {1, 0, 4, 4, 0}, false, "Unsupported WBMP type"},
        {"type as two bytes", {0x81, 0x00, 0, 4, 4, 0}, false, "Unsupported WBMP type"},
        {"width 0", {0, 0, 0, 4, 0}, false, "Corrupted WBMP"},
        {"height 0", {0, 0, 4, 0, 0}, false, "Corrupted WBMP"},
        // Forty groups would wrap a 32-bit value to something small; it saturates instead.
        {"endless width", [] { Bytes b = {0, 0}; b.insert(b.end(), 40, 0x81); b.insert(b.end(), {0x01, 4, 0}); return b; }(),
         false, "Corrupted WBMP"},
        {"too large to create", {0, 0, 0x87, 0xFF, 0xFF, 0x7F, 0x87, 0xFF, 0xFF, 0x7F, 0}, false, "WBMP Create failed"},
        {"one row byte for four rows", {0, 0, 4, 4, 0xF0}, true, ""},
        {"fixed header ignored", {0, 0x85, 0x7F, 4, 4, 0xF0}, true, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LfImageWBMP image;
        EXPECT_EQ(Decode(image, c.file), c.ok);
        if (!c.ok) {
            EXPECT_STREQ(image.LastError(), c.message);
        }
    }
}

// A truncated file decodes as far as it goes: the rows it holds are intact, the rest 0.
TEST(WbmpMalformed, EveryTruncationFailsCleanlyOrKeepsTheRowsItHas) {
    LfImage image;
    FillBits(image, 20, 6, 3);
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_WBMP);
    const size_t header = 4;
    for (size_t n = 0; n < file.size(); ++n) {
        SCOPED_TRACE(n);
        LfImageWBMP back;
        const bool ok = Decode(back, Bytes(file.begin(), file.begin() + n));
        ASSERT_EQ(ok, n > header);
        if (!ok) continue;
        const size_t wholeRows = (n - header) / 3;
        for (uint32_t k = 0; k < wholeRows; ++k)
            for (uint32_t x = 0; x < 20; ++x)
                ASSERT_EQ(back.PixelIndex(x, 5 - k), image.PixelIndex(x, 5 - k));
        for (uint32_t k = wholeRows + 1; k < 6; ++k)
            for (uint32_t x = 0; x < 20; ++x) ASSERT_EQ(back.PixelIndex(x, 5 - k), 0);
    }
}

// ---------------------------------------------------------------------------------------
// Peers: netpbm (PBM 1 is black, WBMP 1 is white)

Bytes MakePbm(uint32_t width, uint32_t height, const std::vector<bool>& black) {
    std::ostringstream head;
    head << "P4\n" << width << " " << height << "\n";
    const std::string h = head.str();
    Bytes out(h.begin(), h.end());
    const uint32_t rowBytes = (width + 7) / 8;
    for (uint32_t y = 0; y < height; ++y) {
        Bytes row(rowBytes, 0);
        for (uint32_t x = 0; x < width; ++x)
            if (black[y * width + x]) row[x / 8] |= 0x80 >> (x % 8);
        out.insert(out.end(), row.begin(), row.end());
    }
    return out;
}

// pbmtowbmp's files decode to the PBM's pixels; catches inverted bits and row order.
TEST(WbmpPeers, PbmtowbmpFilesDecodeToThePbmPixels) {
    GLINTWISE_NEED_PEER(testsupport::HaveTool("pbmtowbmp"), "netpbm's pbmtowbmp");
    for (uint32_t width : {1u, 13u, 130u}) {
        SCOPED_TRACE(width);
        const uint32_t height = 9;
        std::mt19937 rng(width);
        std::vector<bool> black(width * height);
        for (size_t i = 0; i < black.size(); ++i) black[i] = rng() & 1;
        TempDir dir;
        testsupport::WriteFile(dir / "in.pbm", MakePbm(width, height, black));
        ASSERT_EQ(testsupport::Run("pbmtowbmp " + ShellQuote((dir / "in.pbm").string()) + " > " +
                                   ShellQuote((dir / "out.wbmp").string()) + " 2>/dev/null"), 0);
        LfImage image;
        ASSERT_TRUE(image.Load((dir / "out.wbmp").c_str(), LF_FORMAT_WBMP)) << image.LastError();
        ASSERT_EQ(image.Width(), width);
        for (uint32_t y = 0; y < height; ++y)
            for (uint32_t x = 0; x < width; ++x) {
                const LfRgbQuad c = image.PixelColor(x, height - 1 - y, false);
                ASSERT_EQ(c.red, black[y * width + x] ? 0 : 255) << x << "," << y;
            }
    }
}

// What we write, wbmptopbm reads back to our pixels.
TEST(WbmpPeers, WbmptopbmReadsOurFiles) {
    GLINTWISE_NEED_PEER(testsupport::HaveTool("wbmptopbm"), "netpbm's wbmptopbm");
    for (uint32_t width : {3u, 200u}) {
        SCOPED_TRACE(width);
        LfImage image;
        FillBits(image, width, 11, 7 * width);
        TempDir dir;
        ASSERT_TRUE(image.Save((dir / "ours.wbmp").c_str(), LF_FORMAT_WBMP)) << image.LastError();
        ASSERT_EQ(testsupport::Run("wbmptopbm " + ShellQuote((dir / "ours.wbmp").string()) + " | pnmtopnm -plain > " +
                                   ShellQuote((dir / "back.pbm").string()) + " 2>/dev/null"), 0);
        const Bytes text = testsupport::ReadFile(dir / "back.pbm");
        std::istringstream in(std::string(text.begin(), text.end()));
        std::string magic;
        uint32_t w = 0, h = 0;
        in >> magic >> w >> h;
        ASSERT_EQ(magic, "P1");
        ASSERT_EQ(w, width);
        ASSERT_EQ(h, 11u);
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) {
                char bit = 0;
                in >> bit;  // plain PBM digits may run together
                ASSERT_EQ(bit == '1', image.PixelIndex(x, h - 1 - y) == 0) << x << "," << y;
            }
    }
}

}  // namespace

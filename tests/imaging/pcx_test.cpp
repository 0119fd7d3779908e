// The PCX codec: what the encoder writes (Layout), the decoder's plane layouts on files built
// byte by byte (Decode), hostile input (Malformed), and peer-made files both ways (Peers).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "LfImagePCX.h"
#include "PeerPixels.h"
#include "TestSupport.h"

using namespace testsupport;
using peer::Bytes;

namespace {

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

uint32_t Get16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }

// A 128-byte header at 72 x 150 DPI whose colour map holds entry i = (16i, 8i, 4i).
Bytes Header(uint16_t w, uint16_t h, uint8_t bits, uint8_t planes, uint16_t bytesPerLine) {
    Bytes b(128, 0);
    b[0] = 10, b[1] = 5, b[2] = 1, b[3] = bits, b[12] = 72, b[14] = 150, b[65] = planes;
    b[8] = uint8_t(w - 1), b[9] = uint8_t((w - 1) >> 8), b[10] = uint8_t(h - 1), b[11] = uint8_t((h - 1) >> 8);
    b[66] = uint8_t(bytesPerLine), b[67] = uint8_t(bytesPerLine >> 8);
    for (int i = 0; i < 16; ++i) b[16 + 3 * i] = uint8_t(16 * i), b[17 + 3 * i] = uint8_t(8 * i), b[18 + 3 * i] = uint8_t(4 * i);
    return b;
}

// The 256-colour table: the signature, then entry i = (i, 255 - i, 7).
Bytes Table(uint8_t signature = 12) {
    Bytes t{signature};
    for (int i = 0; i < 256; ++i) t.insert(t.end(), {uint8_t(i), uint8_t(255 - i), 7});
    return t;
}

void MakePicture(LfImage& image, uint32_t w, uint32_t h, uint32_t bits, uint32_t seed) {
    ASSERT_NE(image.Create(w, h, bits, LF_FORMAT_PCX), nullptr);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t i = 0; i < image.EffectiveWidth(); ++i) image.Row(y)[i] = uint8_t((i * 37 + y * 11 + seed) % 251);
    for (uint32_t i = 0; i < image.NumColors(); ++i)
        image.SetPaletteColor(uint8_t(i), LfRgbQuad{uint8_t(i * 3), uint8_t(i * 5 + seed), uint8_t(255 - i), 0});
    if (bits == 1) {  // a 1-bit file holds black and white
        image.SetPaletteColor(0, LfRgbQuad{0, 0, 0, 0});
        image.SetPaletteColor(1, LfRgbQuad{255, 255, 255, 0});
    }
}

// ---------------------------------------------------------------------------------------
// Layout

TEST(PcxLayout, RunLengthBytesOfOneLine) {
    struct Case { const char* name; Bytes samples, coded; } cases[] = {
        {"odd width pads with a literal 0", {5, 5, 9}, {0xC2, 5, 9, 0}},
        {"even width has no padding", {5, 9}, {5, 9}},
        {"a lone 192 or more needs a count", {200, 7}, {0xC1, 200, 7}},
        {"70 equal samples split at 63", Bytes(70, 4), {0xFF, 4, 0xC7, 4}},
        {"126 of 255", Bytes(126, 255), {0xFF, 255, 0xFF, 255}},
    };
    for (const Case& c : cases) {
        LfImagePCX image;
        const uint32_t w = uint32_t(c.samples.size());
        ASSERT_NE(image.Create(w, 1, 8), nullptr);
        std::memcpy(image.Row(0), c.samples.data(), w);
        const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_PCX);
        EXPECT_EQ(Get16(file, 66), (w + 1) & ~1u) << c.name;
        EXPECT_EQ(Bytes(file.begin() + 128, file.end() - 769), c.coded) << c.name;
        EXPECT_EQ(file[file.size() - 769], 12) << c.name;
    }
}

// Header fields per depth, and the file decodes back to the same pixels, DPI and alpha.
TEST(PcxLayout, EachDepthWritesItsPlanesAndReadsBack) {
    struct Case { uint32_t bits; bool alpha; uint8_t bitsField, planes; uint16_t bytesPerLine, paletteInfo; } cases[] = {
        {1, false, 1, 1, 2, 0}, {4, false, 1, 4, 2, 0}, {8, false, 8, 1, 14, 0}, {24, false, 8, 3, 14, 1}, {24, true, 8, 4, 14, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + (c.alpha ? " with alpha" : ""));
        LfImagePCX image;
        MakePicture(image, 13, 5, c.bits, c.bits);
        if (c.alpha) {
            ASSERT_TRUE(image.AlphaCreate());
            for (int i = 0; i < 65; ++i) image.AlphaSet(i % 13, i / 13, uint8_t(i * 3));
        }
        image.SetXDpi(300);
        image.SetYDpi(72);
        const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_PCX);
        ASSERT_GT(file.size(), 128u);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), (Bytes{10, 5, 1, c.bitsField}));
        EXPECT_EQ(Get16(file, 8) * 100 + Get16(file, 10), 1204u);  // x max 12, y max 4
        EXPECT_EQ(Get16(file, 12) * 1000 + Get16(file, 14), 300072u);
        EXPECT_EQ(file[65], c.planes);
        EXPECT_EQ(Get16(file, 66), c.bytesPerLine);
        EXPECT_EQ(Get16(file, 68), c.paletteInfo);
        EXPECT_TRUE(c.bits != 4 || file[16 + 3 * 2] == image.PaletteColor(2).red);
        LfImagePCX back;
        ASSERT_TRUE(peer::DecodeWith(back, file)) << back.LastError();
        EXPECT_EQ(back.BitCount(), c.bits);
        EXPECT_EQ(back.XDpi() * 1000 + back.YDpi(), 300072);
        EXPECT_EQ(back.AlphaIsValid(), c.alpha);
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(image), 0, true), 0u);
    }
}

TEST(PcxLayout, OneBitWithWhiteFirstIsWrittenInvertedAndReadsBackBlackFirst) {
    LfImagePCX image;
    ASSERT_NE(image.Create(10, 2, 1), nullptr);
    image.SetPaletteColor(0, LfRgbQuad{255, 255, 255, 0});
    image.SetPaletteColor(1, LfRgbQuad{0, 0, 0, 0});
    image.Row(1)[0] = 0xF0;  // top row: four black pixels, then white
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_PCX);
    EXPECT_EQ(file[128], 0x0F);
    LfImagePCX back;
    ASSERT_TRUE(peer::DecodeWith(back, file)) << back.LastError();
    EXPECT_EQ(back.PaletteColor(0), (LfRgbQuad{0, 0, 0, 0}));
    EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(image), 0, false), 0u);
}

TEST(PcxLayout, ShortWritesAndOversizedImagesAreFailures) {
    struct Case { uint32_t w, bits; size_t room; const char* message; } cases[] = {
        {300, 1, 127, "cannot write PCX header"},   {300, 8, 0, "cannot write PCX header"},
        {300, 1, 128, "Write Error in PCX file"},   {300, 8, 5000, "Write Error in PCX file"},
        {300, 24, 128, "Write Error in PCX file"},
        // 65535 pixels of 8 bits need 65536 bytes per line, more than the field holds.
        {65535, 8, 1u << 20, "image too large for PCX"},
    };
    for (const Case& c : cases) {
        LfImagePCX image;
        MakePicture(image, c.w, c.w > 300 ? 1 : 300, c.bits, 3);
        peer::FailingStream stream(c.room);
        EXPECT_FALSE(image.Encode(&stream));
        EXPECT_STREQ(image.LastError(), c.message) << c.bits << " bits, room " << c.room;
    }
}

// ---------------------------------------------------------------------------------------
// Decode

TEST(PcxDecode, PlaneLayouts) {
    struct Case { const char* name; Bytes file; uint32_t bits; std::vector<int> indices; LfRgbQuad second; } cases[] = {
        {"2 bits packed", Header(5, 1, 2, 1, 2) + Bytes{0x1B, 0x80}, 4, {0, 1, 2, 3, 2}, {4, 8, 16, 0}},
        {"4 bits packed", Header(3, 1, 4, 1, 2) + Bytes{0x5A, 0xC1, 0xF0}, 4, {5, 10, 15}, {40, 80, 160, 0}},
        // 2 and 3 planes of 1 bit combine to indices up to 3 and 7, held in 4 bits.
        {"2 planes of 1 bit", Header(4, 1, 1, 2, 2) + Bytes{0xA0, 0, 0x60, 0}, 4, {1, 2, 3, 0}, {8, 16, 32, 0}},
        {"3 planes of 1 bit", Header(3, 1, 1, 3, 2) + Bytes{0x80, 0, 0x40, 0, 0x20, 0}, 4, {1, 2, 4}, {8, 16, 32, 0}},
        {"4 planes of 1 bit", Header(2, 1, 1, 4, 2) + Bytes{0xC1, 0xC0, 0, 0x40, 0, 0x40, 0, 0x40, 0}, 4, {1, 15}, {60, 120, 240, 0}},
        {"1 bit is black and white", Header(3, 1, 1, 1, 2) + Bytes{0x40, 0}, 1, {0, 1, 0}, {255, 255, 255, 0}},
        {"8 bits with table", Header(3, 1, 8, 1, 4) + Bytes{1, 2, 3, 0} + Table(), 8, {1, 2, 3}, {7, 253, 2, 0}},
        {"lines longer than the width", Header(3, 1, 8, 1, 6) + Bytes{7, 8, 9, 1, 1, 1} + Table(), 8, {7, 8, 9}, {7, 247, 8, 0}},
        {"3 planes of 8 bits", Header(2, 1, 8, 3, 2) + Bytes{1, 2, 3, 4, 5, 6}, 24, {}, {6, 4, 2, 0}},
        {"a run across planes", Header(2, 1, 8, 3, 2) + Bytes{0xC3, 9, 0xC3, 8}, 24, {}, {8, 8, 9, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImagePCX image;
        ASSERT_TRUE(peer::DecodeWith(image, c.file)) << image.LastError();
        EXPECT_EQ(image.BitCount(), c.bits);
        for (size_t x = 0; x < c.indices.size(); ++x) EXPECT_EQ(image.PixelIndex(int(x), 0), c.indices[x]) << x;
        EXPECT_EQ(image.PixelColor(1, 0, false), c.second);
    }
}

TEST(PcxDecode, RowsRunTopDownWithResolutionProbeCancelAndDispatch) {
    const Bytes file = Header(1, 3, 8, 1, 2) + Bytes{10, 0, 20, 0, 30, 0} + Table();
    LfImage any;
    ASSERT_TRUE(peer::DecodeBytes(any, file, LF_FORMAT_UNKNOWN)) << any.LastError();
    EXPECT_EQ(any.Type(), uint32_t(LF_FORMAT_PCX));
    EXPECT_TRUE(any.PixelIndex(0, 2) == 10 && any.PixelIndex(0, 0) == 30);
    EXPECT_TRUE(any.XDpi() == 72 && any.YDpi() == 150);
    LfImagePCX probe, cancelled;
    probe.SetEscape(-1);
    ASSERT_TRUE(peer::DecodeWith(probe, Header(640, 480, 8, 1, 640)));
    EXPECT_TRUE(!probe.IsValid() && probe.Width() == 640 && probe.Height() == 480);
    cancelled.SetEscape(1);
    EXPECT_FALSE(peer::DecodeWith(cancelled, file));
    EXPECT_STREQ(cancelled.LastError(), "Cancelled");
}

// ---------------------------------------------------------------------------------------
// Malformed

TEST(PcxMalformed, RefusalsCarryTheirMessages) {
    Bytes notPcx = Header(2, 1, 8, 1, 2), unknownEncoding = notPcx, backwards = notPcx;
    notPcx[0] = 11, unknownEncoding[2] = 2, backwards[4] = 5;  // x min beyond x max
    const char* planesToPixels = "PCX_PlanesToPixels: more than 4 planes or more than 1 bit per pixel";
    const char* unpack = "PCX_UnpackPixels: Can't handle packed pixels with more than 1 plane";
    const char* shortLines = "PCX bytes per line too small for the width";
    struct Case { Bytes file; const char* message; } cases[] = {
        {Bytes(100, 10), "Can't read PCX image"},
        {notPcx + Bytes{1, 2}, "Error: Not a PCX file"},
        {unknownEncoding + Bytes{1, 2}, "PCX file has unknown encoding scheme"},
        {backwards + Bytes{1, 2}, "bad PCX image size"},
        {Header(2, 1, 1, 5, 2) + Bytes(10, 0), "Can't handle image with more than 4 planes"},
        {Header(2, 1, 8, 0, 2) + Bytes(10, 0), "PCX image has no planes"},
        // Planes that disagree with the bit count.
        {Header(2, 1, 8, 2, 2) + Bytes(4, 0), planesToPixels},
        {Header(2, 1, 4, 3, 2) + Bytes(6, 0), planesToPixels},
        {Header(2, 1, 3, 1, 2) + Bytes(2, 0), unpack},
        {Header(2, 1, 16, 1, 4) + Bytes(4, 0), unpack},
        {Header(2, 2, 8, 1, 2) + Bytes{1, 2, 3}, "corrupted PCX"},
        {Header(2, 2, 8, 1, 2) + Bytes{1, 0xC4, 9} + Table(), "repeat count spans end of image"},
        {Header(2, 1, 8, 1, 2) + Bytes{1, 2} + Table(13), "bad color map signature"},
        {Header(2, 1, 8, 1, 2) + Bytes{1, 2}, "bad color map signature"},
        // Lines shorter than the width: a header that sizes a picture its data cannot fill.
        {Header(6, 1, 8, 1, 2) + Bytes{7, 8} + Table(), shortLines},
        {Header(20, 1, 1, 4, 2) + Bytes(8, 0), shortLines},
        {Header(16000, 16000, 8, 1, 1) + Bytes(600, 0), shortLines},
        // 65534 x 65535 x 4 planes claimed by a few bytes: refused before allocating.
        {Header(65534, 65535, 8, 4, 65534) + Bytes{0xFF, 0}, "corrupted PCX"},
    };
    for (const Case& c : cases) {
        LfImagePCX image;
        EXPECT_FALSE(peer::DecodeWith(image, c.file));
        EXPECT_STREQ(image.LastError(), c.message) << &c - cases;
    }
}

TEST(PcxMalformed, EveryTruncationEndsCleanly) {
    for (uint32_t bits : {1u, 4u, 8u, 24u}) {
        LfImagePCX image;
        MakePicture(image, 9, 4, bits, 1);
        const Bytes good = peer::EncodeToBytes(image, LF_FORMAT_PCX);
        for (size_t n = 0; n < good.size(); ++n) {
            LfImagePCX part;
            const bool ok = peer::DecodeWith(part, Bytes(good.begin(), good.begin() + n));
            const std::string m = part.LastError();
            // Only the colour table of an 8-bit file may end early: its missing entries stay black.
            EXPECT_TRUE(ok ? bits == 8 : m == "Can't read PCX image" || m == "corrupted PCX" || m == "bad color map signature")
                << bits << " bits, " << n << " bytes: " << m;
        }
    }
}

// ---------------------------------------------------------------------------------------
// Peers

// Files of 1, 8 and 24 bits written by Pillow and ImageMagick, and of 4 bits by netpbm's
// ppmtopcx (planar and packed), decode to the pixels Pillow (or the source picture) holds;
// what we write of every depth decodes in Pillow, or netpbm for 4-bit planes, to our pixels.
TEST(PcxPeers, PeerFilesDecodeToTheirPixelsAndOursToOurs) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow and numpy");
    GLINTWISE_NEED_PEER(HaveTool("convert-im6.q16"), "ImageMagick (convert-im6.q16)");
    GLINTWISE_NEED_PEER(HaveTool("ppmtopcx") && HaveTool("pcxtoppm") && HaveTool("pnmtopng"), "netpbm");
    TempDir dir;
    const std::string d = ShellQuote(dir.path().string());
    std::ofstream(dir / "make.py") << R"PY(
import sys, numpy as np
from PIL import Image
d = sys.argv[1]
y, x = np.mgrid[0:37, 0:151]
band = (y // 4) % 2 == 0
rgb = np.stack([np.where(band, 200, x * 7 % 256), np.where(band, 201, y * 11 % 256), (x * y) % 256], -1).astype(np.uint8)
Image.fromarray(rgb).save(d + '/src.png')
Image.fromarray(rgb).save(d + '/pil-rgb.pcx')
Image.fromarray(np.where(band, 250, (x + y) * 6 % 256).astype(np.uint8)).save(d + '/pil-grey.pcx')
Image.fromarray(rgb).quantize(100).save(d + '/pil-palette.pcx')
Image.fromarray(((x // 3 + y) % 3 == 0)).save(d + '/pil-bilevel.pcx')
Image.fromarray(rgb).quantize(16).convert('RGB').save(d + '/sixteen.ppm')
)PY";
    const std::string src = d + "/src.png ";
    for (const std::string& command : {Python() + " " + d + "/make.py " + d, "convert-im6.q16 " + src + d + "/im-rgb.pcx",
                                      "convert-im6.q16 " + src + "-colors 60 -type Palette " + d + "/im-palette.pcx",
                                      "convert-im6.q16 " + src + "-monochrome " + d + "/im-bilevel.pcx",
                                      "ppmtopcx " + d + "/sixteen.ppm > " + d + "/pbm-planar.pcx 2>/dev/null",
                                      "ppmtopcx -packed " + d + "/sixteen.ppm > " + d + "/pbm-packed.pcx 2>/dev/null",
                                      "pnmtopng " + d + "/sixteen.ppm > " + d + "/sixteen.png 2>/dev/null"})
        ASSERT_EQ(testsupport::Run(command), 0) << command;

    std::vector<fs::path> files, refs;
    std::vector<peer::Rgba> expected;  // empty: what the reference decodes to
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().extension() == ".pcx") {
            files.push_back(entry.path());
            refs.push_back(entry.path().filename().string().rfind("pbm-", 0) == 0 ? dir / "sixteen.png" : entry.path());
            expected.emplace_back();
        }
    ASSERT_EQ(files.size(), 9u);
    for (uint32_t bits : {1u, 4u, 8u, 24u})
        for (uint32_t width : {31u, 32u}) {
            LfImagePCX image;
            MakePicture(image, width, 17, bits, bits + width);
            files.push_back(dir / ("ours" + std::to_string(bits) + "-" + std::to_string(width) + ".pcx"));
            WriteFile(files.back(), peer::EncodeToBytes(image, LF_FORMAT_PCX));
            refs.push_back(bits == 4 ? fs::path(files.back().string() + ".png") : files.back());
            if (bits == 4) {
                ASSERT_EQ(testsupport::Run("pcxtoppm " + ShellQuote(files.back().string()) + " | pnmtopng > " + ShellQuote(refs.back().string())), 0);
            }
            expected.push_back(peer::ToRgba(image));
        }
    const auto theirs = peer::PillowDecode(refs);
    for (size_t i = 0; i < files.size(); ++i) {
        ASSERT_TRUE(theirs.count(refs[i])) << "Pillow could not read " << refs[i];
        if (!expected[i].pixels.empty()) {
            EXPECT_EQ(peer::CountDifferences(expected[i], theirs.at(refs[i]), 0, false), 0u) << files[i];
            continue;
        }
        LfImagePCX image;
        ASSERT_TRUE(peer::DecodeWith(image, ReadFile(files[i]))) << files[i] << ": " << image.LastError();
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(image), theirs.at(refs[i]), 0, false), 0u) << files[i];
    }
}

}  // namespace

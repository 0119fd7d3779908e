// The PCX codec: what the encoder writes (Layout), the decoder's plane layouts on files built
// byte by byte (Decode), peer-made files both ways (Peers), and hostile input (Malformed).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "LfFile.h"
#include "LfImage.h"
#include "LfImagePCX.h"
#include "PeerPixels.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

using Bytes = std::vector<uint8_t>;

Bytes Encode(LfImagePCX& image) {
    LfMemFile stream;
    stream.Open();
    EXPECT_TRUE(image.Encode(&stream)) << image.LastError();
    const uint8_t* data = stream.GetBuffer(false);
    return Bytes(data, data + stream.Size());
}

bool Decode(const Bytes& file, LfImagePCX& image) {
    LfMemFile stream(const_cast<uint8_t*>(file.data()), static_cast<int32_t>(file.size()));
    return image.Decode(&stream);
}

uint32_t Get16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }

// A 128-byte header of the given layout; the colour map holds entry i = (16i, 8i, 4i).
Bytes Header(uint16_t w, uint16_t h, uint8_t bits, uint8_t planes, uint16_t bytesPerLine) {
    Bytes b(128, 0);
    b[0] = 10;
    b[1] = 5;
    b[2] = 1;
    b[3] = bits;
    b[8] = uint8_t(w - 1);
    b[9] = uint8_t((w - 1) >> 8);
    b[10] = uint8_t(h - 1);
    b[11] = uint8_t((h - 1) >> 8);
    b[12] = 72;
    b[14] = 150;
    for (int i = 0; i < 16; ++i) {
        b[16 + 3 * i] = uint8_t(16 * i);
        b[17 + 3 * i] = uint8_t(8 * i);
        b[18 + 3 * i] = uint8_t(4 * i);
    }
    b[65] = planes;
    b[66] = uint8_t(bytesPerLine);
    b[67] = uint8_t(bytesPerLine >> 8);
    return b;
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// The 256-colour table: signature 12, entry i = (i, 255 - i, 7).
Bytes ColourTable(uint8_t signature = 12) {
    Bytes t{signature};
    for (int i = 0; i < 256; ++i) t.insert(t.end(), {uint8_t(i), uint8_t(255 - i), 7});
    return t;
}

void Fill(LfImage& image, uint32_t seed) {
    for (uint32_t y = 0; y < image.Height(); ++y)
        for (uint32_t i = 0; i < image.EffectiveWidth(); ++i) image.Row(y)[i] = uint8_t((i * 37 + y * 11 + seed) % 251);
    for (uint32_t i = 0; i < image.NumColors(); ++i)
        image.SetPaletteColor(uint8_t(i), LfRgbQuad{uint8_t(i * 3), uint8_t(i * 5 + seed), uint8_t(255 - i), 0});
}

// ---------------------------------------------------------------------------------------
// Layout

TEST(PcxLayout, ExactBytesOfSmallLines) {
    struct Case {
        const char* name;
        std::vector<uint8_t> samples;  // one 8-bit row
        Bytes coded;
    } cases[] = {
        // Odd width: one literal 0 pads the line to its even length.
        {"odd width pads with a literal 0", {5, 5, 9}, {0xC2, 5, 9, 0}},
        {"even width has no padding", {5, 9}, {5, 9}},
        {"a lone 192 or above needs a count", {200, 7}, {0xC1, 200, 7}},
        {"70 equal samples split at 63", std::vector<uint8_t>(70, 4), {0xFF, 4, 0xC7, 4}},
        {"exactly 63", std::vector<uint8_t>(63, 4), {0xFF, 4, 0}},
        {"126 of 255", std::vector<uint8_t>(126, 255), {0xFF, 255, 0xFF, 255}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImagePCX image;
        const uint32_t w = uint32_t(c.samples.size());
        ASSERT_NE(image.Create(w, 1, 8), nullptr);
        std::memcpy(image.Row(0), c.samples.data(), w);
        const Bytes file = Encode(image);
        EXPECT_EQ(Get16(file, 66), (w + 1) & ~1u);  // bytes per line, even
        ASSERT_EQ(file.size(), 128 + c.coded.size() + 769);
        EXPECT_TRUE(std::equal(c.coded.begin(), c.coded.end(), file.begin() + 128));
        EXPECT_EQ(file[128 + c.coded.size()], 12);
        LfImagePCX back;
        ASSERT_TRUE(Decode(file, back)) << back.LastError();
        EXPECT_EQ(std::memcmp(back.Row(0), c.samples.data(), w), 0);
    }
}

TEST(PcxLayout, HeaderAndRoundTripPerDepth) {
    struct Case {
        const char* name;
        uint32_t bits;
        bool alpha;
        uint8_t bitsField, planes;
        uint16_t bytesPerLine, paletteInfo;  // for width 13
    } cases[] = {
        {"1-bit: one plane of bits", 1, false, 1, 1, 2, 0},
        {"4-bit: four planes of bits", 4, false, 1, 4, 2, 0},
        {"8-bit: one plane and a table", 8, false, 8, 1, 14, 0},
        {"24-bit: red, green, blue planes", 24, false, 8, 3, 14, 1},
        {"24-bit with alpha: a fourth plane", 24, true, 8, 4, 14, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImagePCX image;
        ASSERT_NE(image.Create(13, 5, c.bits), nullptr);
        Fill(image, c.bits);
        if (c.bits == 1) {  // black at 0, white at 1: no inversion
            image.SetPaletteColor(0, LfRgbQuad{0, 0, 0, 0});
            image.SetPaletteColor(1, LfRgbQuad{255, 255, 255, 0});
        }
        if (c.alpha) {
            ASSERT_TRUE(image.AlphaCreate());
            for (int i = 0; i < 65; ++i) image.AlphaSet(i % 13, i / 13, uint8_t(i * 3));
        }
        image.SetXDpi(300);
        image.SetYDpi(72);
        const Bytes file = Encode(image);
        EXPECT_EQ(file[0], 10);
        EXPECT_EQ(file[1], 5);
        EXPECT_EQ(file[2], 1);
        EXPECT_EQ(file[3], c.bitsField);
        EXPECT_EQ(Get16(file, 8), 12u);
        EXPECT_EQ(Get16(file, 10), 4u);
        EXPECT_EQ(Get16(file, 12), 300u);
        EXPECT_EQ(Get16(file, 14), 72u);
        EXPECT_EQ(file[65], c.planes);
        EXPECT_EQ(Get16(file, 66), c.bytesPerLine);
        EXPECT_EQ(Get16(file, 68), c.paletteInfo);
        if (c.bits == 4) {
            EXPECT_EQ(file[16 + 3 * 2], image.PaletteColor(2).red);
        }
        LfImagePCX back;
        ASSERT_TRUE(Decode(file, back)) << back.LastError();
        EXPECT_EQ(back.BitCount(), c.bits);
        EXPECT_EQ(back.XDpi(), 300);
        EXPECT_EQ(back.YDpi(), 72);
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
    const Bytes file = Encode(image);
    EXPECT_EQ(file[128], 0x0F);  // the top row's first byte, inverted
    LfImagePCX back;
    ASSERT_TRUE(Decode(file, back)) << back.LastError();
    EXPECT_EQ(back.PaletteColor(0), (LfRgbQuad{0, 0, 0, 0}));
    EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(image), 0, false), 0u);
}

TEST(PcxLayout, ShortWritesAndOversizedImagesAreFailures) {
    for (uint32_t bits : {1u, 8u, 24u}) {
        LfImagePCX image;
        ASSERT_NE(image.Create(300, 300, bits), nullptr);
        Fill(image, 3);
        for (size_t room : {size_t(0), size_t(127), size_t(128), size_t(5000)}) {
            SCOPED_TRACE(std::to_string(bits) + " bits, room " + std::to_string(room));
            peer::FailingStream stream(room);
            EXPECT_FALSE(image.Encode(&stream));
            EXPECT_STREQ(image.LastError(), room < 128 ? "cannot write PCX header" : "Write Error in PCX file");
        }
    }
    // 65535 pixels of 8 bits need 65536 bytes per line, more than the field holds.
    LfImagePCX wide;
    ASSERT_NE(wide.Create(65535, 1, 8), nullptr);
    LfMemFile stream;
    stream.Open();
    EXPECT_FALSE(wide.Encode(&stream));
    EXPECT_STREQ(wide.LastError(), "image too large for PCX");
}

// ---------------------------------------------------------------------------------------
// Decode

TEST(PcxDecode, PlaneLayouts) {
    struct Case {
        const char* name;
        Bytes file;
        uint32_t bits;
        std::vector<int> indices;  // the top row, left to right (-1: 24-bit, see colour)
        LfRgbQuad colour;          // of pixel (1, top)
    } cases[] = {
        {"2 bits packed", Header(5, 1, 2, 1, 2) + Bytes{0x1B, 0x80}, 4, {0, 1, 2, 3, 2}, {4, 8, 16, 0}},
        {"4 bits packed", Header(3, 1, 4, 1, 2) + Bytes{0x5A, 0xC1, 0xF0}, 4, {5, 10, 15}, {40, 80, 160, 0}},
        // Two planes of 1 bit: 2 and 3 planes give indices up to 3 and 7, held in 4 bits.
        {"2 planes of 1 bit", Header(4, 1, 1, 2, 2) + Bytes{0xA0, 0, 0x60, 0}, 4, {1, 2, 3, 0}, {8, 16, 32, 0}},
        {"3 planes of 1 bit", Header(3, 1, 1, 3, 2) + Bytes{0x80, 0, 0x40, 0, 0x20, 0}, 4, {1, 2, 4}, {8, 16, 32, 0}},
        {"4 planes of 1 bit", Header(2, 1, 1, 4, 2) + Bytes{0xC1, 0xC0, 0, 0x40, 0, 0x40, 0, 0x40, 0}, 4, {1, 15}, {60, 120, 240, 0}},
        {"1 bit is black and white", Header(3, 1, 1, 1, 2) + Bytes{0x40, 0}, 1, {0, 1, 0}, {255, 255, 255, 0}},
        {"8 bits with table", Header(3, 1, 8, 1, 4) + Bytes{1, 2, 3, 0} + ColourTable(), 8, {1, 2, 3}, {7, 253, 2, 0}},
        {"3 planes of 8 bits", Header(2, 1, 8, 3, 2) + Bytes{1, 2, 3, 4, 5, 6}, 24, {}, {6, 4, 2, 0}},
        // Runs may cross line and plane ends.
        {"run across planes", Header(2, 1, 8, 3, 2) + Bytes{0xC3, 9, 0xC3, 8}, 24, {}, {8, 8, 9, 0}},
        // Lines longer than the width needs: the rest is padding.
        {"bytes per line beyond the width", Header(3, 1, 8, 1, 6) + Bytes{7, 8, 9, 1, 1, 1} + ColourTable(), 8, {7, 8, 9}, {7, 247, 8, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImagePCX image;
        ASSERT_TRUE(Decode(c.file, image)) << image.LastError();
        EXPECT_EQ(image.BitCount(), c.bits);
        const int top = int(image.Height()) - 1;
        for (size_t x = 0; x < c.indices.size(); ++x) EXPECT_EQ(image.PixelIndex(int(x), top), c.indices[x]) << x;
        const LfRgbQuad got = image.PixelColor(1, top, false);
        EXPECT_EQ(got, c.colour) << int(got.red) << "," << int(got.green) << "," << int(got.blue);
    }
}

TEST(PcxDecode, RowsRunTopDownAndProbeEscapeAndDispatchWork) {
    const Bytes file = Header(1, 3, 8, 1, 2) + Bytes{10, 0, 20, 0, 30, 0} + ColourTable();
    LfImagePCX image;
    ASSERT_TRUE(Decode(file, image)) << image.LastError();
    EXPECT_EQ(image.PixelIndex(0, 2), 10);
    EXPECT_EQ(image.PixelIndex(0, 0), 30);
    EXPECT_EQ(image.XDpi(), 72);
    EXPECT_EQ(image.YDpi(), 150);

    LfImagePCX probe;
    probe.SetEscape(-1);
    ASSERT_TRUE(Decode(Header(640, 480, 8, 1, 640), probe));
    EXPECT_FALSE(probe.IsValid());
    EXPECT_EQ(probe.Width(), 640u);
    EXPECT_EQ(probe.Height(), 480u);

    LfImagePCX cancelled;
    cancelled.SetEscape(1);
    EXPECT_FALSE(Decode(file, cancelled));
    EXPECT_STREQ(cancelled.LastError(), "Cancelled");

    LfImage any;
    ASSERT_TRUE(peer::DecodeBytes(any, file, LF_FORMAT_UNKNOWN)) << any.LastError();
    EXPECT_EQ(any.Type(), uint32_t(LF_FORMAT_PCX));
    EXPECT_EQ(any.PixelIndex(0, 2), 10);
}

// ---------------------------------------------------------------------------------------
// Malformed

TEST(PcxMalformed, RefusalsCarryTheirMessages) {
    Bytes notPcx = Header(2, 1, 8, 1, 2) + Bytes{1, 2};
    notPcx[0] = 11;
    Bytes unknownEncoding = notPcx;
    unknownEncoding[0] = 10;
    unknownEncoding[2] = 2;
    Bytes backwards = Header(2, 1, 8, 1, 2) + Bytes{1, 2};
    backwards[4] = 5;  // x min beyond x max
    struct Case {
        const char* name;
        Bytes file;
        const char* message;
    } cases[] = {
        {"short header", Bytes(100, 10), "Can't read PCX image"},
        {"manufacturer", notPcx, "Error: Not a PCX file"},
        {"encoding", unknownEncoding, "PCX file has unknown encoding scheme"},
        {"x min beyond x max", backwards, "bad PCX image size"},
        {"5 planes", Header(2, 1, 1, 5, 2) + Bytes(10, 0), "Can't handle image with more than 4 planes"},
        {"no planes", Header(2, 1, 8, 0, 2) + Bytes(10, 0), "PCX image has no planes"},
        // Planes that disagree with the bit count.
        {"2 planes of 8 bits", Header(2, 1, 8, 2, 2) + Bytes(4, 0), "PCX_PlanesToPixels: more than 4 planes or more than 1 bit per pixel"},
        {"3 planes of 4 bits", Header(2, 1, 4, 3, 2) + Bytes(6, 0), "PCX_PlanesToPixels: more than 4 planes or more than 1 bit per pixel"},
        {"1 plane of 3 bits", Header(2, 1, 3, 1, 2) + Bytes(2, 0), "PCX_UnpackPixels: Can't handle packed pixels with more than 1 plane"},
        {"1 plane of 16 bits", Header(2, 1, 16, 1, 4) + Bytes(4, 0), "PCX_UnpackPixels: Can't handle packed pixels with more than 1 plane"},
        {"data ends early", Header(2, 2, 8, 1, 2) + Bytes{1, 2, 3}, "corrupted PCX"},
        {"run past the image", Header(2, 2, 8, 1, 2) + Bytes{1, 0xC4, 9} + ColourTable(), "repeat count spans end of image"},
        {"table signature", Header(2, 1, 8, 1, 2) + Bytes{1, 2} + ColourTable(13), "bad color map signature"},
        {"no table", Header(2, 1, 8, 1, 2) + Bytes{1, 2}, "bad color map signature"},
        // Lines shorter than the width: a header that sizes a picture its data cannot fill.
        {"8-bit line below the width", Header(6, 1, 8, 1, 2) + Bytes{7, 8} + ColourTable(), "PCX bytes per line too small for the width"},
        {"bit plane below the width", Header(20, 1, 1, 4, 2) + Bytes(8, 0), "PCX bytes per line too small for the width"},
        {"16000 x 16000 with 1-byte lines", Header(16000, 16000, 8, 1, 1) + Bytes(600, 0), "PCX bytes per line too small for the width"},
        // 65534 x 65535 x 4 planes claimed by a few bytes: refused before allocating.
        {"huge claim", Header(65534, 65535, 8, 4, 65534) + Bytes{0xFF, 0}, "corrupted PCX"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImagePCX image;
        EXPECT_FALSE(Decode(c.file, image));
        EXPECT_STREQ(image.LastError(), c.message);
    }
}

TEST(PcxMalformed, EveryTruncationEndsCleanly) {
    for (uint32_t bits : {1u, 4u, 8u, 24u}) {
        LfImagePCX image;
        ASSERT_NE(image.Create(9, 4, bits), nullptr);
        Fill(image, 1);
        const Bytes good = Encode(image);
        for (size_t n = 0; n < good.size(); ++n) {
            SCOPED_TRACE(std::to_string(bits) + " bits, " + std::to_string(n) + " bytes");
            LfImagePCX part;
            if (!Decode(Bytes(good.begin(), good.begin() + n), part)) {
                const std::string m = part.LastError();
                EXPECT_TRUE(m == "Can't read PCX image" || m == "corrupted PCX" || m == "bad color map signature") << m;
            } else {
                EXPECT_TRUE(bits == 8) << "only the colour table may be cut short";
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Peers

// Files of 1, 8 and 24 bits written by Pillow and ImageMagick, and of 4 bits by netpbm's
// ppmtopcx (planar and packed), decode to the pixels Pillow (or the source picture) holds.
TEST(PcxPeers, PeerWrittenFilesDecodeToTheirPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow and numpy");
    GLINTWISE_NEED_PEER(HaveTool("convert-im6.q16"), "ImageMagick (convert-im6.q16)");
    GLINTWISE_NEED_PEER(HaveTool("ppmtopcx") && HaveTool("pnmtopng"), "netpbm (ppmtopcx, pnmtopng)");
    TempDir dir;
    const std::string d = ShellQuote(dir.path().string());
    const char* script = R"PY(
import sys, numpy as np
from PIL import Image
d = sys.argv[1]
h, w = 37, 151
y, x = np.mgrid[0:h, 0:w]
band = (y // 4) % 2 == 0
rgb = np.stack([np.where(band, 200, x * 7 % 256), np.where(band, 201, y * 11 % 256), (x * y) % 256], -1).astype(np.uint8)
Image.fromarray(rgb).save(d + '/src.png')
Image.fromarray(rgb).save(d + '/pil-rgb.pcx')
Image.fromarray(np.where(band, 250, (x + y) * 6 % 256).astype(np.uint8)).save(d + '/pil-grey.pcx')
Image.fromarray(rgb).quantize(100).save(d + '/pil-palette.pcx')
Image.fromarray(((x // 3 + y) % 3 == 0)).save(d + '/pil-bilevel.pcx')
Image.fromarray(rgb).quantize(16).convert('RGB').save(d + '/sixteen.ppm')
)PY";
    std::ofstream(dir / "make.py") << script;
    ASSERT_EQ(testsupport::Run(Python() + " " + ShellQuote((dir / "make.py").string()) + " " + d), 0);
    for (const std::string& args : {d + "/src.png " + d + "/im-rgb.pcx", d + "/src.png -colors 60 -type Palette " + d + "/im-palette.pcx",
                                    d + "/src.png -monochrome " + d + "/im-bilevel.pcx"})
        ASSERT_EQ(testsupport::Run("convert-im6.q16 " + args), 0) << args;
    ASSERT_EQ(testsupport::Run("ppmtopcx " + d + "/sixteen.ppm > " + d + "/pbm-planar.pcx 2>/dev/null"), 0);
    ASSERT_EQ(testsupport::Run("ppmtopcx -packed " + d + "/sixteen.ppm > " + d + "/pbm-packed.pcx 2>/dev/null"), 0);
    ASSERT_EQ(testsupport::Run("pnmtopng " + d + "/sixteen.ppm > " + d + "/sixteen.png 2>/dev/null"), 0);

    std::vector<fs::path> files, refs;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().extension() == ".pcx") {
            files.push_back(entry.path());
            const bool netpbm = entry.path().filename().string().rfind("pbm-", 0) == 0;
            refs.push_back(netpbm ? dir / "sixteen.png" : entry.path());
        }
    ASSERT_EQ(files.size(), 9u);
    const auto theirs = peer::PillowDecode(refs);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].filename().string());
        const auto ref = theirs.find(refs[i]);
        ASSERT_NE(ref, theirs.end()) << "Pillow could not read " << refs[i];
        LfImagePCX image;
        ASSERT_TRUE(Decode(ReadFile(files[i]), image)) << image.LastError();
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(image), ref->second, 0, false), 0u);
    }
}

// What we write decodes in Pillow (1, 8, 24 bits) and netpbm (4-bit planes) to our pixels.
TEST(PcxPeers, OurFilesDecodeInPillowAndNetpbmToOurPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow and numpy");
    GLINTWISE_NEED_PEER(HaveTool("pcxtoppm") && HaveTool("pnmtopng"), "netpbm (pcxtoppm, pnmtopng)");
    TempDir dir;
    std::vector<fs::path> files, decoded;
    std::vector<peer::Rgba> ours;
    for (uint32_t bits : {1u, 4u, 8u, 24u}) {
        for (uint32_t width : {31u, 32u}) {
            LfImagePCX image;
            ASSERT_NE(image.Create(width, 17, bits), nullptr);
            Fill(image, bits + width);
            if (bits == 1) {  // the file holds black and white only
                image.SetPaletteColor(0, LfRgbQuad{0, 0, 0, 0});
                image.SetPaletteColor(1, LfRgbQuad{255, 255, 255, 0});
            }
            const std::string name = std::to_string(bits) + "-" + std::to_string(width);
            files.push_back(dir / (name + ".pcx"));
            WriteFile(files.back(), Encode(image));
            ours.push_back(peer::ToRgba(image));
            if (bits == 4) {
                decoded.push_back(dir / (name + ".png"));
                ASSERT_EQ(testsupport::Run("pcxtoppm " + ShellQuote(files.back().string()) + " 2>/dev/null | pnmtopng > " +
                                           ShellQuote(decoded.back().string())), 0);
            } else {
                decoded.push_back(files.back());
            }
        }
    }
    const auto theirs = peer::PillowDecode(decoded);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].filename().string());
        const auto ref = theirs.find(decoded[i]);
        ASSERT_NE(ref, theirs.end()) << "the peer could not read it";
        EXPECT_EQ(peer::CountDifferences(ours[i], ref->second, 0, false), 0u);
    }
}

}  // namespace

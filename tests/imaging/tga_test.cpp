// The TGA codec: what the encoder writes (Layout), the decoder's variants on files built byte
// by byte (Decode), hostile input (Malformed), and real and peer-made files (Peers).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "LfImageTGA.h"
#include "PeerPixels.h"
#include "TestSupport.h"

using namespace testsupport;
using peer::Bytes;

namespace {

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

Bytes Header(uint8_t type, uint16_t w, uint16_t h, uint8_t depth, uint8_t descriptor = 0, uint8_t mapType = 0,
             uint16_t mapFirst = 0, uint16_t mapLength = 0, uint8_t mapBits = 0) {
    return {0, mapType, type, uint8_t(mapFirst), uint8_t(mapFirst >> 8), uint8_t(mapLength), uint8_t(mapLength >> 8),
            mapBits, 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), depth, descriptor};
}

// Packs pixels of bpp bytes (rows concatenated) into packets of at most `longest` pixels,
// ignoring row ends: runs where pixels repeat, raw packets otherwise.
Bytes Rle(const Bytes& pixels, size_t bpp, size_t longest = 128) {
    Bytes out;
    const size_t n = pixels.size() / bpp;
    auto same = [&](size_t a, size_t b) { return std::memcmp(&pixels[a * bpp], &pixels[b * bpp], bpp) == 0; };
    for (size_t i = 0, len; i < n; i += len) {
        len = 1;
        while (i + len < n && len < longest && same(i, i + len)) ++len;
        if (len == 1)
            while (i + len < n && len < longest && !(i + len + 1 < n && same(i + len, i + len + 1))) ++len;
        out.push_back(uint8_t((len > 1 && same(i, i + 1) ? 0x80 : 0) | (len - 1)));
        out.insert(out.end(), &pixels[i * bpp], &pixels[i * bpp] + (out.back() & 0x80 ? 1 : len) * bpp);
    }
    return out;
}

void MakePicture(LfImage& image, uint32_t bits, bool alpha, uint32_t w = 37, uint32_t h = 23) {
    ASSERT_NE(image.Create(w, h, bits, LF_FORMAT_TGA), nullptr);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t i = 0; i < image.EffectiveWidth(); ++i) image.Row(y)[i] = uint8_t(i * 7 + y * 13);
    for (int i = 0; i < 256 && bits == 8; ++i) image.SetPaletteColor(uint8_t(i), LfRgbQuad{uint8_t(i), uint8_t(255 - i), uint8_t(i * 3), 0});
    if (alpha) {
        ASSERT_TRUE(image.AlphaCreate());
        for (uint32_t x = 0; x < w; ++x) image.AlphaSet(x, x % h, uint8_t(x * 6));
    }
}

// ---------------------------------------------------------------------------------------
// Layout

// Sizes, header fields and bottom-up unpadded rows; the files decode to the same pixels in
// our decoder and in Pillow.
TEST(TgaLayout, EachDepthWritesItsHeaderAndRowsAndReadsBackInUsAndPillow) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow and numpy");
    struct Case { uint32_t bits; bool alpha; size_t size; uint8_t mapType, type, depth; } cases[] = {
        {24, false, 18 + 37 * 3 * 23, 0, 2, 24},
        {8, false, 18 + 768 + 37 * 23, 1, 1, 8},
        {24, true, 18 + 37 * 4 * 23, 0, 2, 32},
    };
    TempDir dir;
    std::vector<fs::path> files;
    std::vector<peer::Rgba> ours;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.bits) + (c.alpha ? " with alpha" : ""));
        LfImageTGA image;
        MakePicture(image, c.bits, c.alpha);
        const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_TGA);
        ASSERT_EQ(file.size(), c.size);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 18),
                  Header(c.type, 37, 23, c.depth, 0, c.mapType, 0, c.bits == 8 ? 256 : 0, c.bits == 8 ? 24 : 0));
        const size_t rows = c.size - 23 * 37 * (c.alpha ? 4 : c.bits / 8);
        EXPECT_TRUE(c.alpha || std::memcmp(&file[rows + 37 * c.bits / 8], image.Row(1), 37 * c.bits / 8) == 0);
        EXPECT_TRUE(c.bits != 8 || file[18 + 3 * 7 + 2] == 21);  // entry 7: blue, green, red
        LfImageTGA back;
        ASSERT_TRUE(peer::DecodeWith(back, file)) << back.LastError();
        ours.push_back(peer::ToRgba(image));
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), ours.back(), 0, true), 0u);
        files.push_back(dir / ("depth" + std::to_string(files.size()) + ".tga"));
        WriteFile(files.back(), file);
    }
    const auto theirs = peer::PillowDecode(files);
    for (size_t i = 0; i < files.size(); ++i) {
        ASSERT_TRUE(theirs.count(files[i])) << files[i];
        EXPECT_EQ(peer::CountDifferences(ours[i], theirs.at(files[i]), 0, true), 0u) << files[i];
    }
}

TEST(TgaLayout, RefusalsAndShortWrites) {
    struct Case { uint32_t w, bits; size_t room; const char* message; } cases[] = {
        {4, 1, 1000, "Bit depth must be 8 or 24"},
        {4, 4, 1000, "Bit depth must be 8 or 24"},
        // The width would be cut to 16 bits in the header and the rows would not match it.
        {65536, 8, 1u << 20, "TGA width and height must be at most 65535"},
        {40, 8, 0, "Write Error in TGA file"},
        {40, 8, 400, "Write Error in TGA file"},
        {40, 24, 2000, "Write Error in TGA file"},
    };
    for (const Case& c : cases) {
        LfImageTGA image;
        ASSERT_NE(image.Create(c.w, 40, c.bits), nullptr);
        peer::FailingStream stream(c.room);
        EXPECT_FALSE(image.Encode(&stream));
        EXPECT_STREQ(image.LastError(), c.message) << c.w << " x " << c.bits << ", room " << c.room;
    }
}

// ---------------------------------------------------------------------------------------
// Decode

// A 4 x 3 picture as 3-byte file pixels in the file order a descriptor gives.
Bytes Picture(uint8_t descriptor) {
    Bytes out;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            const int y = descriptor & 0x20 ? 2 - r : r, x = descriptor & 0x10 ? 3 - c : c;
            out.insert(out.end(), {uint8_t(10 * x), uint8_t(50 * y), uint8_t(x + 4 * y)});
        }
    return out;
}

TEST(TgaDecode, EveryRowOrderColumnOrderAndPacketSizeGivesTheSamePicture) {
    for (uint8_t descriptor : {0x00, 0x20, 0x10, 0x30})
        for (size_t longest : {0, 128, 3, 5}) {
            SCOPED_TRACE("descriptor " + std::to_string(descriptor) + ", packets of " + std::to_string(longest));
            const Bytes file = longest ? Header(10, 4, 3, 24, descriptor) + Rle(Picture(descriptor), 3, longest)
                                       : Header(2, 4, 3, 24, descriptor) + Picture(descriptor);
            LfImageTGA image;
            ASSERT_TRUE(peer::DecodeWith(image, file)) << image.LastError();
            for (int i = 0; i < 12; ++i)
                ASSERT_EQ(image.PixelColor(i % 4, i / 4, false), (LfRgbQuad{uint8_t(10 * (i % 4)), uint8_t(50 * (i / 4)), uint8_t(i), 0})) << i;
        }
}

TEST(TgaDecode, RunsOf128OverRowsOf100EqualTheUncompressedFile) {
    Bytes pixels;
    for (int i = 0; i < 100 * 7; ++i) pixels.insert(pixels.end(), 3, i < 300 ? 9 : uint8_t(i * 31));
    const Bytes rle = Rle(pixels, 3);
    ASSERT_EQ(rle[0], 0xFF);  // a run of 128 first
    LfImageTGA plain, packed;
    ASSERT_TRUE(peer::DecodeWith(plain, Header(2, 100, 7, 24) + pixels));
    ASSERT_TRUE(peer::DecodeWith(packed, Header(10, 100, 7, 24) + rle)) << packed.LastError();
    EXPECT_EQ(std::memcmp(plain.Block(), packed.Block(), plain.BlockSize()), 0);
}

TEST(TgaDecode, PixelAndColourMapEncodings) {
    struct Case { const char* name; Bytes file; LfRgbQuad top; bool alphaPlane; } cases[] = {
        // 5-5-5, bit 15 ignored: red 31, green 1, blue 2.
        {"16-bit", Header(2, 2, 1, 16) + Bytes{0, 0, 0x22, 0xFC}, {16, 8, 248, 0}, false},
        {"15-bit", Header(2, 2, 1, 15) + Bytes{0, 0, 0x22, 0x7C}, {16, 8, 248, 0}, false},
        {"32-bit keeps alpha", Header(2, 2, 1, 32) + Bytes{0, 0, 0, 0, 1, 2, 3, 77}, {1, 2, 3, 77}, true},
        {"32-bit with all alpha 0 is opaque", Header(2, 2, 1, 32) + Bytes{0, 0, 0, 0, 1, 2, 3, 0}, {1, 2, 3, 0}, false},
        {"32-bit top-down: alpha turns too", Header(2, 2, 2, 32, 0x20) + Bytes{0, 0, 0, 9, 5, 5, 5, 5, 0, 0, 0, 9, 1, 2, 3, 77},
         {1, 2, 3, 77}, true},
        {"16-bit grey is level and alpha", Header(3, 2, 1, 16) + Bytes{0, 0, 90, 200}, {90, 90, 90, 200}, true},
        {"grey with a colour map gets the grey palette", Header(3, 2, 1, 8, 0, 1, 0, 2, 24) + Bytes{1, 2, 3, 4, 5, 6, 0, 66}, {66, 66, 66, 0}, false},
        {"24-bit map", Header(1, 2, 1, 8, 0, 1, 0, 2, 24) + Bytes{1, 2, 3, 4, 5, 6, 0, 1}, {4, 5, 6, 0}, false},
        // 2-byte entries: the pixels after the map stay in place.
        {"16-bit map", Header(1, 2, 1, 8, 0, 1, 0, 2, 16) + Bytes{0, 0, 0x1F, 0, 0, 1}, {248, 0, 0, 0}, false},
        {"map from index 5", Header(1, 2, 1, 8, 0, 1, 5, 1, 24) + Bytes{7, 8, 9, 0, 5}, {7, 8, 9, 0}, false},
        {"32-bit map keeps alpha", Header(9, 2, 1, 8, 0, 1, 0, 2, 32) + Bytes{0, 0, 0, 0, 4, 5, 6, 128, 0x81, 1}, {4, 5, 6, 128}, false},
        // Packets that claim more pixels than the picture has stop at its end.
        {"run past the end", Header(10, 2, 1, 24) + Bytes{0xFF, 4, 5, 6}, {4, 5, 6, 0}, false},
        {"raw packet past the end", Header(10, 2, 1, 24) + Bytes{0x7F, 0, 0, 0, 4, 5, 6}, {4, 5, 6, 0}, false},
    };
    for (const Case& c : cases) {
        LfImageTGA image;
        ASSERT_TRUE(peer::DecodeWith(image, c.file)) << c.name << ": " << image.LastError();
        EXPECT_EQ(image.PixelColor(1, 0, true), c.top) << c.name;
        EXPECT_EQ(image.AlphaIsValid(), c.alphaPlane) << c.name;
    }
}

TEST(TgaDecode, HeaderOnlyProbeCancelAndDispatch) {
    const Bytes file = Header(2, 4, 3, 24) + Picture(0);
    LfImageTGA probe, cancelled;
    probe.SetEscape(-1);
    ASSERT_TRUE(peer::DecodeWith(probe, file));
    EXPECT_TRUE(!probe.IsValid() && probe.Width() == 4 && probe.Height() == 3);
    cancelled.SetEscape(1);
    EXPECT_FALSE(peer::DecodeWith(cancelled, file));
    EXPECT_STREQ(cancelled.LastError(), "Cancelled");
    LfImage any;  // the probe finds it after the formats with signatures
    ASSERT_TRUE(peer::DecodeBytes(any, file, LF_FORMAT_UNKNOWN)) << any.LastError();
    EXPECT_EQ(any.Type(), uint32_t(LF_FORMAT_TGA));
}

// ---------------------------------------------------------------------------------------
// Malformed

TEST(TgaMalformed, RefusalsCarryTheirMessages) {
    Bytes longId = Header(2, 4, 3, 24) + Picture(0);
    longId[0] = 200;
    struct Case { Bytes file; const char* message; } cases[] = {
        {Bytes{0, 0, 2, 0, 0}, "Not a TGA"},
        {Header(4, 4, 3, 24) + Picture(0), "Unknown TGA image type"},
        {Header(2, 0, 3, 24) + Picture(0), "bad TGA header"},
        {Header(2, 4, 3, 12) + Picture(0), "bad TGA header"},
        {Header(1, 4, 3, 8, 0, 1, 0, 257, 24) + Picture(0), "bad TGA header"},
        {Header(2, 4, 3, 24) + Bytes(24, 1), "corrupted TGA"},                  // the last row starts at the end
        {Header(1, 4, 3, 8, 0, 1, 0, 256, 24) + Bytes(30, 1), "corrupted TGA"}, // map longer than the file
        {longId, "corrupted TGA"},                                             // identification past the end
        // 65535 x 65535 claimed by a few bytes: refused before anything is allocated.
        {Header(2, 65535, 65535, 24) + Picture(0), "corrupted TGA"},
        {Header(10, 65535, 65535, 24) + Bytes{0xFF, 1, 2, 3}, "corrupted TGA"},
    };
    for (const Case& c : cases) {
        LfImageTGA image;
        EXPECT_FALSE(peer::DecodeWith(image, c.file));
        EXPECT_STREQ(image.LastError(), c.message) << &c - cases;
    }
}

TEST(TgaMalformed, EveryTruncationEndsCleanly) {
    for (const Bytes& good : {Header(2, 4, 3, 24, 0x20) + Picture(0x20), Header(10, 4, 3, 24) + Rle(Picture(0), 3, 3),
                              Header(9, 4, 3, 8, 0, 1, 0, 4, 32) + Bytes(16, 9) + Rle(Bytes(12, 2), 1, 5)})
        for (size_t n = 0; n < good.size(); ++n) {
            LfImageTGA image;
            const bool ok = peer::DecodeWith(image, Bytes(good.begin(), good.begin() + n));
            const std::string m = image.LastError();
            EXPECT_TRUE(ok || m == "Not a TGA" || m == "corrupted TGA") << n << ": " << m;
        }
}

// ---------------------------------------------------------------------------------------
// Peers and real files

// npm's tga package ships each test file with its decode as a PNG. The PNGs of its 16-bit
// grey files put the alpha byte into green, so those two are held against Pillow instead.
TEST(TgaPeers, NpmTgaFilesDecodeToTheirPngReferences) {
    const fs::path dir = NpmModules() / "tga" / "testFiles";
    GLINTWISE_NEED_PEER(fs::is_directory(dir), "npm package tga at " + dir.string());
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow and numpy");
    std::vector<fs::path> tgas, refs;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".tga") {
            tgas.push_back(entry.path());
            const bool greyAlpha = entry.path().filename().string().rfind("monochrome16", 0) == 0;
            refs.push_back(greyAlpha ? entry.path() : fs::path(entry.path().string() + ".png"));
        }
    const auto decoded = peer::PillowDecode(refs);
    size_t checked = 0;
    for (size_t i = 0; i < tgas.size(); ++i) {
        if (!decoded.count(refs[i])) continue;
        const Bytes file = ReadFile(tgas[i]);
        LfImageTGA image;
        ASSERT_TRUE(peer::DecodeWith(image, file)) << tgas[i] << ": " << image.LastError();
        // 5-bit channels (16-bit pixels or map entries) are widened as v << 3 | v >> 2 there.
        const bool fiveBits = (file[16] == 16 && file[2] != 3 && file[2] != 11) || file[7] == 16;
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(image), decoded.at(refs[i]), fiveBits ? 7 : 0, true), 0u) << tgas[i];
        ++checked;
    }
    EXPECT_GE(checked, 35u);
}

// Files written at test time by Pillow and ImageMagick: raw and run-length, both row orders,
// true colour with and without alpha, grey, grey with alpha and palette.
TEST(TgaPeers, PeerWrittenFilesDecodeToPillowsPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow and numpy");
    GLINTWISE_NEED_PEER(HaveTool("convert-im6.q16"), "ImageMagick (convert-im6.q16)");
    TempDir dir;
    const std::string d = ShellQuote(dir.path().string());
    std::ofstream(dir / "make.py") << R"PY(
import sys, numpy as np
from PIL import Image
d = sys.argv[1]
y, x = np.mgrid[0:41, 0:157]
band = (y // 5) % 2 == 0          # flat bands: runs that cross row ends
rgb = np.stack([np.where(band, 40, x * 7 % 256), np.where(band, 90, y * 11 % 256), (x * y) % 256], -1).astype(np.uint8)
a = np.where(band, 255, x * 5 % 256).astype(np.uint8)
g = np.where(band, 77, (x + y) * 6 % 256).astype(np.uint8)
Image.fromarray(rgb).save(d + '/src.png')
Image.fromarray(np.dstack([rgb, a])).save(d + '/srca.png')
pics = {'rgb': Image.fromarray(rgb), 'rgba': Image.fromarray(np.dstack([rgb, a])), 'l': Image.fromarray(g),
        'la': Image.fromarray(np.dstack([g, a])).convert('LA'), 'p': Image.fromarray(rgb).quantize(50)}
for name, im in pics.items():
    for rle in ('raw', 'tga_rle'):
        for o in (-1, 1):
            im.save('%s/pil-%s-%s-%d.tga' % (d, name, rle, o), orientation=o, **({'compression': rle} if rle != 'raw' else {}))
)PY";
    ASSERT_EQ(testsupport::Run(Python() + " " + ShellQuote((dir / "make.py").string()) + " " + d), 0);
    int n = 0;
    for (const std::string input : {"/src.png", "/srca.png"})
        for (const std::string options : {"", "-compress RLE", "-colorspace Gray", "-colors 40 -type Palette"})
            for (const std::string rle : {"", " -compress RLE"}) {
                const std::string args = d + input + " " + options + rle + " " + d + "/im" + std::to_string(n++) + ".tga";
                ASSERT_EQ(testsupport::Run("convert-im6.q16 " + args), 0) << args;
            }
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().extension() == ".tga") files.push_back(entry.path());
    ASSERT_EQ(files.size(), 36u);
    const auto theirs = peer::PillowDecode(files);
    for (const fs::path& f : files) {
        ASSERT_TRUE(theirs.count(f)) << "Pillow could not read " << f;
        LfImageTGA image;
        ASSERT_TRUE(peer::DecodeWith(image, ReadFile(f))) << f << ": " << image.LastError();
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(image), theirs.at(f), 0, theirs.at(f).alphaMatters), 0u) << f;
    }
}

}  // namespace

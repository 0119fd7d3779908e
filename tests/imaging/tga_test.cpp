// The TGA codec: what the encoder writes (Layout), the decoder's variants on files built byte
// by byte (Decode), real and peer-made files (Peers), and hostile input (Malformed).
#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "LfFile.h"
#include "LfImage.h"
#include "LfImageTGA.h"
#include "PeerPixels.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

using Bytes = std::vector<uint8_t>;

// A 24-bit picture of distinct colours.
void MakeRgb(LfImage& image, uint32_t w, uint32_t h) {
    ASSERT_NE(image.Create(w, h, 24, LF_FORMAT_TGA), nullptr);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* p = image.Row(y) + 3 * x;
            p[0] = uint8_t(x * 7 + y);
            p[1] = uint8_t(y * 13);
            p[2] = uint8_t(x * y + 5);
        }
}

void MakePalette8(LfImage& image, uint32_t w, uint32_t h) {
    ASSERT_NE(image.Create(w, h, 8, LF_FORMAT_TGA), nullptr);
    for (int i = 0; i < 256; ++i) image.SetPaletteColor(uint8_t(i), LfRgbQuad{uint8_t(i), uint8_t(255 - i), uint8_t(i * 3), 0});
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) image.Row(y)[x] = uint8_t(x * 11 + y * 3);
}

Bytes Encode(LfImageTGA& image) {
    LfMemFile stream;
    stream.Open();
    EXPECT_TRUE(image.Encode(&stream)) << image.LastError();
    const uint8_t* data = stream.GetBuffer(false);
    return Bytes(data, data + stream.Size());
}

bool Decode(const Bytes& file, LfImageTGA& image) {
    LfMemFile stream(const_cast<uint8_t*>(file.data()), static_cast<int32_t>(file.size()));
    return image.Decode(&stream);
}

// An 18-byte header followed by whatever the case adds.
Bytes Header(uint8_t type, uint16_t w, uint16_t h, uint8_t depth, uint8_t descriptor = 0,
             uint8_t mapType = 0, uint16_t mapFirst = 0, uint16_t mapLength = 0, uint8_t mapBits = 0) {
    return {0, mapType, type, uint8_t(mapFirst), uint8_t(mapFirst >> 8), uint8_t(mapLength), uint8_t(mapLength >> 8),
            mapBits, 0, 0, 0, 0, uint8_t(w), uint8_t(w >> 8), uint8_t(h), uint8_t(h >> 8), depth, descriptor};
}

Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// Packs file pixels (bpp bytes each, rows in file order, concatenated) into packets of at
// most `longest` pixels, ignoring row ends: runs where pixels repeat, raw packets otherwise.
Bytes RleEncode(const Bytes& pixels, size_t bpp, size_t longest = 128) {
    Bytes out;
    const size_t n = pixels.size() / bpp;
    auto same = [&](size_t a, size_t b) { return std::memcmp(&pixels[a * bpp], &pixels[b * bpp], bpp) == 0; };
    size_t i = 0;
    while (i < n) {
        size_t run = 1;
        while (i + run < n && run < longest && same(i, i + run)) ++run;
        if (run > 1) {
            out.push_back(uint8_t(0x80 | (run - 1)));
            out.insert(out.end(), &pixels[i * bpp], &pixels[i * bpp] + bpp);
        } else {
            size_t raw = 1;
            while (i + raw < n && raw < longest && !(i + raw + 1 < n && same(i + raw, i + raw + 1))) ++raw;
            out.push_back(uint8_t(raw - 1));
            out.insert(out.end(), &pixels[i * bpp], &pixels[i * bpp] + raw * bpp);
            run = raw;
        }
        i += run;
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Layout

TEST(TgaLayout, SizesHeadersAndRowsPerDepth) {
    struct Case {
        const char* name;
        uint32_t bits;
        bool alpha;
        size_t size;      // for 5 x 3
        uint8_t mapType, type, depth;
    } cases[] = {
        {"24-bit: 18 + w x 3 x h", 24, false, 18 + 5 * 3 * 3, 0, 2, 24},
        {"8-bit: 18 + 768 + w x h", 8, false, 18 + 768 + 5 * 3, 1, 1, 8},
        {"24-bit with alpha: 32-bit pixels", 24, true, 18 + 5 * 4 * 3, 0, 2, 32},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImageTGA image;
        if (c.bits == 8) MakePalette8(image, 5, 3);
        else MakeRgb(image, 5, 3);
        if (c.alpha) {
            ASSERT_TRUE(image.AlphaCreate());
            for (int i = 0; i < 15; ++i) image.AlphaSet(i % 5, i / 5, uint8_t(i * 17));
        }
        const Bytes file = Encode(image);
        ASSERT_EQ(file.size(), c.size);
        EXPECT_EQ(file[1], c.mapType);
        EXPECT_EQ(file[2], c.type);
        EXPECT_EQ(file[16], c.depth);
        EXPECT_EQ(file[17], 0);  // bottom-up, left to right
        EXPECT_EQ(file[12] | file[13] << 8, 5);
        EXPECT_EQ(file[14] | file[15] << 8, 3);
        if (c.bits == 8) {
            EXPECT_EQ(file[5] | file[6] << 8, 256);
            EXPECT_EQ(file[7], 24);
            EXPECT_EQ(file[18 + 3 * 7], 7);        // entry 7 blue
            EXPECT_EQ(file[18 + 3 * 7 + 2], 21);   // entry 7 red
            EXPECT_EQ(std::memcmp(&file[18 + 768], image.Row(0), 5), 0);  // bottom row first, no padding
            EXPECT_EQ(std::memcmp(&file[18 + 768 + 5], image.Row(1), 5), 0);
        } else if (!c.alpha) {
            EXPECT_EQ(std::memcmp(&file[18 + 15], image.Row(1), 15), 0);
        } else {
            EXPECT_EQ(file[18 + 4 * 6 + 3], 6 * 17);  // alpha of row 1, x 1
        }
        LfImageTGA back;
        ASSERT_TRUE(Decode(file, back)) << back.LastError();
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(image), 0, true), 0u);
    }
}

TEST(TgaLayout, LowDepthsAndOversizedImagesAreRefused) {
    for (uint32_t bits : {1u, 4u}) {
        LfImageTGA image;
        ASSERT_NE(image.Create(4, 4, bits), nullptr);
        LfMemFile stream;
        stream.Open();
        EXPECT_FALSE(image.Encode(&stream));
        EXPECT_STREQ(image.LastError(), "Bit depth must be 8 or 24");
    }
    // A width beyond 16 bits would be cut in the header and the rows would not match it.
    LfImageTGA wide;
    ASSERT_NE(wide.Create(65536, 1, 8), nullptr);
    LfMemFile stream;
    stream.Open();
    EXPECT_FALSE(wide.Encode(&stream));
    EXPECT_STREQ(wide.LastError(), "TGA width and height must be at most 65535");
}

TEST(TgaLayout, ShortWriteIsAFailure) {
    for (uint32_t bits : {8u, 24u, 32u}) {
        LfImageTGA image;
        if (bits == 8) MakePalette8(image, 40, 40);
        else MakeRgb(image, 40, 40);
        if (bits == 32) {
            ASSERT_TRUE(image.AlphaCreate());
        }
        for (size_t room : {size_t(0), size_t(17), size_t(400), size_t(2000)}) {
            SCOPED_TRACE(std::to_string(bits) + " bits, room " + std::to_string(room));
            peer::FailingStream stream(room);
            EXPECT_FALSE(image.Encode(&stream));
            EXPECT_STREQ(image.LastError(), "Write Error in TGA file");
        }
    }
}

// ---------------------------------------------------------------------------------------
// Decode variants

// A 4 x 3 picture as file pixels of 3 bytes, rows from the bottom, left to right.
Bytes PictureBgr(bool topDown, bool rightToLeft) {
    Bytes out;
    for (int r = 0; r < 3; ++r)
        for (int c = 0; c < 4; ++c) {
            const int y = topDown ? 2 - r : r;
            const int x = rightToLeft ? 3 - c : c;
            out.insert(out.end(), {uint8_t(10 * x), uint8_t(50 * y), uint8_t(x + 4 * y)});
        }
    return out;
}

void ExpectPicture(const LfImageTGA& image) {
    ASSERT_EQ(image.Width(), 4u);
    ASSERT_EQ(image.Height(), 3u);
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 4; ++x) {
            const LfRgbQuad c = image.PixelColor(x, y, false);
            ASSERT_TRUE(c.blue == 10 * x && c.green == 50 * y && c.red == x + 4 * y) << x << "," << y;
        }
}

TEST(TgaDecode, RowOrderColumnOrderAndCompressionAllGiveTheSamePicture) {
    for (uint8_t descriptor : {0x00, 0x20, 0x10, 0x30}) {
        const Bytes pixels = PictureBgr(descriptor & 0x20, descriptor & 0x10);
        for (size_t longest : {size_t(0), size_t(128), size_t(3), size_t(5)}) {
            SCOPED_TRACE("descriptor " + std::to_string(descriptor) + ", packets of " + std::to_string(longest));
            const Bytes file = longest == 0 ? Header(2, 4, 3, 24, descriptor) + pixels
                                            : Header(10, 4, 3, 24, descriptor) + RleEncode(pixels, 3, longest);
            LfImageTGA image;
            ASSERT_TRUE(Decode(file, image)) << image.LastError();
            ExpectPicture(image);
        }
    }
}

TEST(TgaDecode, RunOf128OverRowsOf100EqualsTheUncompressedFile) {
    // Rows of 100 pixels: runs of 128 cross every row end, raw packets too.
    Bytes pixels;
    for (int i = 0; i < 100 * 7; ++i) {
        const uint8_t v = i < 300 ? 9 : uint8_t(i * 31);
        pixels.insert(pixels.end(), {v, uint8_t(v + 1), uint8_t(v + 2)});
    }
    LfImageTGA plain, packed;
    ASSERT_TRUE(Decode(Header(2, 100, 7, 24) + pixels, plain));
    const Bytes rle = RleEncode(pixels, 3);
    ASSERT_EQ(rle[0], 0xFF);  // the first packet is a run of 128
    ASSERT_TRUE(Decode(Header(10, 100, 7, 24) + rle, packed)) << packed.LastError();
    EXPECT_EQ(std::memcmp(plain.Block(), packed.Block(), plain.BlockSize()), 0);
}

TEST(TgaDecode, PixelEncodings) {
    struct Case {
        const char* name;
        Bytes file;
        LfRgbQuad expected;   // pixel (1, 0)
        int alpha;            // -1: no alpha plane
    } cases[] = {
        // 5-5-5 with bit 15 ignored: red 31, green 1, blue 2.
        {"16-bit", Header(2, 2, 1, 16) + Bytes{0, 0, 0x22, 0xFC}, {16, 8, 248, 0}, -1},
        {"15-bit", Header(2, 2, 1, 15) + Bytes{0, 0, 0x22, 0x7C}, {16, 8, 248, 0}, -1},
        {"32-bit keeps alpha", Header(2, 2, 1, 32) + Bytes{0, 0, 0, 0, 1, 2, 3, 77}, {1, 2, 3, 77}, 77},
        {"32-bit with every alpha 0 is opaque", Header(2, 2, 1, 32) + Bytes{0, 0, 0, 0, 1, 2, 3, 0}, {1, 2, 3, 0}, -1},
        {"16-bit grey is level and alpha", Header(3, 2, 1, 16) + Bytes{0, 0, 90, 200}, {90, 90, 90, 200}, 200},
        // A grey file carrying a colour map still gets the grey palette.
        {"grey with colour map", Header(3, 2, 1, 8, 0, 1, 0, 2, 24) + Bytes{1, 2, 3, 4, 5, 6} + Bytes{0, 66},
         {66, 66, 66, 0}, -1},
        {"mapped, 24-bit entries", Header(1, 2, 1, 8, 0, 1, 0, 2, 24) + Bytes{1, 2, 3, 4, 5, 6} + Bytes{0, 1}, {4, 5, 6, 0}, -1},
        // 16-bit entries take 2 bytes; the pixels after the map stay in place.
        {"mapped, 16-bit entries", Header(1, 2, 1, 8, 0, 1, 0, 2, 16) + Bytes{0, 0, 0x1F, 0} + Bytes{0, 1}, {248, 0, 0, 0}, -1},
        // Pixel values count from the first entry's index.
        {"mapped, first index 5", Header(1, 2, 1, 8, 0, 1, 5, 1, 24) + Bytes{7, 8, 9} + Bytes{0, 5}, {7, 8, 9, 0}, -1},
        {"mapped, 32-bit entries with alpha", Header(9, 2, 1, 8, 0, 1, 0, 2, 32) + Bytes{0, 0, 0, 0, 4, 5, 6, 128} + Bytes{0x81, 1},
         {4, 5, 6, 128}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImageTGA image;
        ASSERT_TRUE(Decode(c.file, image)) << image.LastError();
        const LfRgbQuad got = image.PixelColor(1, 0, true);
        EXPECT_EQ(got, c.expected) << int(got.red) << "," << int(got.green) << "," << int(got.blue) << "," << int(got.alpha);
        EXPECT_EQ(image.AlphaIsValid(), c.alpha >= 0);
    }
}

TEST(TgaDecode, TopDownAlphaTurnsWithThePixels) {
    const Bytes file = Header(2, 1, 2, 32, 0x20) + Bytes{1, 1, 1, 10, 2, 2, 2, 20};  // top pixel first
    LfImageTGA image;
    ASSERT_TRUE(Decode(file, image));
    EXPECT_EQ(image.PixelColor(0, 1, true), (LfRgbQuad{1, 1, 1, 10}));
    EXPECT_EQ(image.PixelColor(0, 0, true), (LfRgbQuad{2, 2, 2, 20}));
}

TEST(TgaDecode, ProbeEscapeAndDispatch) {
    const Bytes file = Header(2, 4, 3, 24) + PictureBgr(false, false);
    LfImageTGA probe;
    probe.SetEscape(-1);
    ASSERT_TRUE(Decode(file, probe));
    EXPECT_FALSE(probe.IsValid());
    EXPECT_EQ(probe.Width(), 4u);
    EXPECT_EQ(probe.Height(), 3u);

    LfImageTGA cancelled;
    cancelled.SetEscape(1);
    EXPECT_FALSE(Decode(file, cancelled));
    EXPECT_STREQ(cancelled.LastError(), "Cancelled");

    // The probe of the dispatch finds it after the formats with signatures.
    LfImage any;
    ASSERT_TRUE(peer::DecodeBytes(any, file, LF_FORMAT_UNKNOWN)) << any.LastError();
    EXPECT_EQ(any.Type(), uint32_t(LF_FORMAT_TGA));
    TempDir dir;
    const std::string path = (dir / "picture.tga").string();
    ASSERT_TRUE(any.Save(path.c_str(), LF_FORMAT_TGA)) << any.LastError();
    EXPECT_EQ(ReadFile(path).size(), 18u + 4 * 3 * 3);
}

// ---------------------------------------------------------------------------------------
// Malformed

TEST(TgaMalformed, RefusalsCarryTheirMessages) {
    const Bytes pixels = PictureBgr(false, false);
    Bytes longId = Header(2, 4, 3, 24);
    longId[0] = 200;
    struct Case {
        const char* name;
        Bytes file;
        const char* message;
    } cases[] = {
        {"short header", Bytes{0, 0, 2, 0, 0}, "Not a TGA"},
        {"type 4", Header(4, 4, 3, 24) + pixels, "Unknown TGA image type"},
        {"type 0", Header(0, 4, 3, 24) + pixels, "Unknown TGA image type"},
        {"width 0", Header(2, 0, 3, 24) + pixels, "bad TGA header"},
        {"depth 12", Header(2, 4, 3, 12) + pixels, "bad TGA header"},
        {"map of 257", Header(1, 4, 3, 8, 0, 1, 0, 257, 24) + pixels, "bad TGA header"},
        {"pixels end before the last row", Header(2, 4, 3, 24) + Bytes(pixels.begin(), pixels.begin() + 24), "corrupted TGA"},
        // A colour map longer than the file leaves nothing for the pixels.
        {"map longer than the file", Header(1, 4, 3, 8, 1, 1, 0, 256, 24) + Bytes(30, 1), "corrupted TGA"},
        // 65535 x 65535 claimed by a few bytes: refused before anything is allocated.
        {"huge claim, uncompressed", Header(2, 65535, 65535, 24) + pixels, "corrupted TGA"},
        {"huge claim, compressed", Header(10, 65535, 65535, 24) + Bytes{0xFF, 1, 2, 3}, "corrupted TGA"},
        {"identification past the end", longId + pixels, "corrupted TGA"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImageTGA image;
        EXPECT_FALSE(Decode(c.file, image));
        EXPECT_STREQ(image.LastError(), c.message);
    }
}

TEST(TgaMalformed, PacketsRunningPastThePictureStopAtItsEnd) {
    // The last run claims 128 pixels where 2 remain; a raw packet claims more than follow.
    for (const Bytes& packets : {Bytes{0x89, 7, 7, 7, 0xFF, 8, 8, 8}, Bytes{0x89, 7, 7, 7, 0x7F, 8, 8, 8, 8, 8, 8}}) {
        LfImageTGA image;
        ASSERT_TRUE(Decode(Header(10, 4, 3, 24) + packets, image)) << image.LastError();
        EXPECT_EQ(image.PixelColor(3, 2, false), (LfRgbQuad{8, 8, 8, 0}));
    }
}

TEST(TgaMalformed, EveryTruncationEndsCleanly) {
    const Bytes pixels = PictureBgr(true, false);
    for (const Bytes& good : {Header(2, 4, 3, 24, 0x20) + pixels, Header(10, 4, 3, 24, 0x20) + RleEncode(pixels, 3, 3),
                              Header(9, 4, 3, 8, 0, 1, 0, 4, 32) + Bytes(16, 9) + RleEncode(Bytes(12, 2), 1, 5)}) {
        for (size_t n = 0; n < good.size(); ++n) {
            SCOPED_TRACE(n);
            const Bytes part(good.begin(), good.begin() + n);
            LfImageTGA image;
            if (!Decode(part, image)) {
                const std::string m = image.LastError();
                EXPECT_TRUE(m == "Not a TGA" || m == "corrupted TGA") << m;
            }
        }
    }
}

// ---------------------------------------------------------------------------------------
// Peers and real files

// npm's tga package ships each test file with its decode as a PNG. Its 16-bit grey files'
// PNGs put the alpha byte into green, so those two are held against Pillow instead.
TEST(TgaPeers, NpmTgaFilesDecodeToTheirPngReferences) {
    const fs::path dir = NpmModules() / "tga" / "testFiles";
    GLINTWISE_NEED_PEER(fs::is_directory(dir), "npm package tga at " + dir.string());
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow and numpy");
    std::vector<fs::path> tgas, refs;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".tga") {
            const bool greyAlpha = entry.path().filename().string().rfind("monochrome16", 0) == 0;
            tgas.push_back(entry.path());
            refs.push_back(greyAlpha ? entry.path() : fs::path(entry.path().string() + ".png"));
        }
    const auto decoded = peer::PillowDecode(refs);
    size_t checked = 0;
    for (size_t i = 0; i < tgas.size(); ++i) {
        SCOPED_TRACE(tgas[i].filename().string());
        const auto ref = decoded.find(refs[i]);
        if (ref == decoded.end()) continue;
        LfImageTGA image;
        ASSERT_TRUE(Decode(ReadFile(tgas[i]), image)) << image.LastError();
        // 5-bit channels: the reference widens them differently (v << 3 | v >> 2).
        const bool sixteen = image.Palette() == nullptr && ReadFile(tgas[i])[16] == 16 && refs[i] != tgas[i];
        const bool sixteenMap = tgas[i].filename().string().find("cm8") != std::string::npos;
        const int tolerance = sixteen || sixteenMap ? 7 : 0;
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(image), ref->second, tolerance, true), 0u);
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
    const char* script = R"PY(
import sys, numpy as np
from PIL import Image
d = sys.argv[1]
h, w = 41, 157
y, x = np.mgrid[0:h, 0:w]
band = (y // 5) % 2 == 0          # flat bands: runs that cross row ends
rgb = np.stack([np.where(band, 40, x * 7 % 256), np.where(band, 90, y * 11 % 256), (x * y) % 256], -1).astype(np.uint8)
a = np.where(band, 255, x * 5 % 256).astype(np.uint8)
Image.fromarray(rgb).save(d + '/src.png')
Image.fromarray(np.dstack([rgb, a])).save(d + '/srca.png')
g = np.where(band, 77, (x + y) * 6 % 256).astype(np.uint8)
pics = {'rgb': Image.fromarray(rgb), 'rgba': Image.fromarray(np.dstack([rgb, a])),
        'l': Image.fromarray(g), 'la': Image.fromarray(np.dstack([g, a])).convert('LA'),
        'p': Image.fromarray(rgb).quantize(50)}
for name, im in pics.items():
    for rle in (False, True):
        for o in (-1, 1):
            kw = {'orientation': o}
            if rle: kw['compression'] = 'tga_rle'
            im.save('%s/pil-%s-%s-%s.tga' % (d, name, 'rle' if rle else 'raw', 'top' if o > 0 else 'bottom'), **kw)
)PY";
    std::ofstream(dir / "make.py") << script;
    ASSERT_EQ(testsupport::Run(Python() + " " + ShellQuote((dir / "make.py").string()) + " " + d), 0);
    const std::string src = d + "/src.png ";
    for (const std::string& args : {src + d + "/im-rgb.tga", src + "-compress RLE " + d + "/im-rgb-rle.tga",
                                    d + "/srca.png " + d + "/im-rgba.tga", d + "/srca.png -compress RLE " + d + "/im-rgba-rle.tga",
                                    src + "-colorspace Gray " + d + "/im-grey.tga",
                                    src + "-colorspace Gray -compress RLE " + d + "/im-grey-rle.tga",
                                    src + "-colors 40 -type Palette " + d + "/im-palette.tga",
                                    src + "-colors 40 -type Palette -compress RLE " + d + "/im-palette-rle.tga"})
        ASSERT_EQ(testsupport::Run("convert-im6.q16 " + args), 0) << args;
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().extension() == ".tga") files.push_back(entry.path());
    ASSERT_EQ(files.size(), 28u);
    const auto theirs = peer::PillowDecode(files);
    for (const fs::path& f : files) {
        SCOPED_TRACE(f.filename().string());
        const auto ref = theirs.find(f);
        ASSERT_NE(ref, theirs.end()) << "Pillow could not read it";
        LfImageTGA image;
        ASSERT_TRUE(Decode(ReadFile(f), image)) << image.LastError();
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(image), ref->second, 0, ref->second.alphaMatters), 0u);
    }
}

TEST(TgaPeers, OurFilesDecodeInPillowToOurPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow and numpy");
    TempDir dir;
    std::vector<fs::path> files;
    std::vector<peer::Rgba> ours;
    LfImageTGA rgb, rgba, palette;
    MakeRgb(rgb, 37, 23);
    MakeRgb(rgba, 37, 23);
    ASSERT_TRUE(rgba.AlphaCreate());
    for (int x = 0; x < 37; ++x) rgba.AlphaSet(x, x % 23, uint8_t(x * 6));
    MakePalette8(palette, 37, 23);
    for (auto [image, name] : {std::pair{&rgb, "rgb.tga"}, {&rgba, "rgba.tga"}, {&palette, "palette.tga"}}) {
        files.push_back(dir / name);
        WriteFile(files.back(), Encode(*image));
        ours.push_back(peer::ToRgba(*image));
    }
    const auto theirs = peer::PillowDecode(files);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].filename().string());
        const auto ref = theirs.find(files[i]);
        ASSERT_NE(ref, theirs.end()) << "Pillow could not read it";
        EXPECT_EQ(peer::CountDifferences(ours[i], ref->second, 0, true), 0u);
    }
}

}  // namespace

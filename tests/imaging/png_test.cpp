// PNG codec: the layout of what we write, decoding of every colour type and depth with the
// reductions to our bit depths, peers' files (PngSuite, Pillow, ImageMagick) against Pillow's
// pixels, and damaged input.
#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

#include "LfImagePNG.h"
#include "PeerPixels.h"

namespace fs = std::filesystem;
using peer::Bytes;
using testsupport::ReadFile;
using testsupport::ShellQuote;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

void PutBE32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

void PutChunk(Bytes& out, const std::string& type, const Bytes& data) {
    PutBE32(out, static_cast<uint32_t>(data.size()));
    Bytes body(type.begin(), type.end());
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    PutBE32(out, static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
}

struct Chunk {
    std::string type;
    Bytes data;
};

// A non-interlaced PNG built byte by byte: rows are given without their filter byte.
Bytes MakePng(uint32_t width, uint32_t height, uint8_t depth, uint8_t colorType, const std::vector<Bytes>& rows,
              const std::vector<Chunk>& before = {}) {
    Bytes out = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    Bytes ihdr;
    PutBE32(ihdr, width);
    PutBE32(ihdr, height);
    ihdr.insert(ihdr.end(), {depth, colorType, 0, 0, 0});
    PutChunk(out, "IHDR", ihdr);
    for (const Chunk& c : before) PutChunk(out, c.type, c.data);
    Bytes raw;
    for (const Bytes& row : rows) {
        raw.push_back(0);
        raw.insert(raw.end(), row.begin(), row.end());
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes packed(size);
    compress(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size()));
    packed.resize(size);
    PutChunk(out, "IDAT", packed);
    PutChunk(out, "IEND", {});
    return out;
}

std::vector<Chunk> ReadChunks(const Bytes& png) {
    std::vector<Chunk> chunks;
    for (size_t at = 8; at + 12 <= png.size();) {
        const uint32_t length = (png[at] << 24) | (png[at + 1] << 16) | (png[at + 2] << 8) | png[at + 3];
        if (at + 12 + length > png.size()) break;
        chunks.push_back({std::string(png.begin() + at + 4, png.begin() + at + 8),
                          Bytes(png.begin() + at + 8, png.begin() + at + 8 + length)});
        at += 12 + length;
    }
    return chunks;
}

const Chunk* Find(const std::vector<Chunk>& chunks, const std::string& type) {
    for (const Chunk& c : chunks)
        if (c.type == type) return &c;
    return nullptr;
}

uint32_t BE32(const Bytes& b, size_t at) { return (b[at] << 24) | (b[at + 1] << 16) | (b[at + 2] << 8) | b[at + 3]; }

// An 8-bit palette picture whose 8 entries are all different and in use.
void MakePalettePicture(LfImage& img) {
    ASSERT_NE(img.Create(8, 3, 8), nullptr);
    for (uint8_t i = 0; i < 8; ++i)
        img.SetPaletteColor(i, LfRgbQuad{static_cast<uint8_t>(i * 30), static_cast<uint8_t>(200 - i * 20),
                                         static_cast<uint8_t>(i * 7 + 1), 0});
    img.SetColorsImportant(8);
    for (int32_t y = 0; y < 3; ++y)
        for (int32_t x = 0; x < 8; ++x) img.SetPixelIndex(x, y, static_cast<uint8_t>((x + y) % 8));
}

void MakeRgbPicture(LfImage& img, uint32_t w, uint32_t h) {
    ASSERT_NE(img.Create(w, h, 24), nullptr);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            img.SetPixelColor(x, y, LfRgbQuad{static_cast<uint8_t>(x * 11), static_cast<uint8_t>(y * 13),
                                              static_cast<uint8_t>(x ^ y), 0});
}

Bytes EncodePng(LfImage& img) { return peer::EncodeToBytes(img, LF_FORMAT_PNG); }

}  // namespace

// ---------------------------------------------------------------- what we write

TEST(PngLayout, RgbPictureIsEightBitRgbWithWhiteBackgroundAndPhysInMetres) {
    LfImage img;
    MakeRgbPicture(img, 5, 4);
    img.SetXDpi(300);
    img.SetYDpi(72);
    const Bytes png = EncodePng(img);
    ASSERT_FALSE(png.empty()) << img.LastError();
    const auto chunks = ReadChunks(png);
    const Chunk* ihdr = Find(chunks, "IHDR");
    ASSERT_TRUE(ihdr);
    EXPECT_EQ(ihdr->data[8], 8);   // bit depth
    EXPECT_EQ(ihdr->data[9], 2);   // RGB
    EXPECT_EQ(ihdr->data[12], 0);  // not interlaced
    const Chunk* bkgd = Find(chunks, "bKGD");
    ASSERT_TRUE(bkgd);
    EXPECT_EQ(bkgd->data, (Bytes{0, 255, 0, 255, 0, 255}));
    const Chunk* phys = Find(chunks, "pHYs");
    ASSERT_TRUE(phys);
    EXPECT_EQ(BE32(phys->data, 0), 11811u);
    EXPECT_EQ(BE32(phys->data, 4), 2835u);
    EXPECT_EQ(phys->data[8], 1);
    EXPECT_FALSE(Find(chunks, "PLTE"));

    LfImagePNG back;
    ASSERT_TRUE(peer::DecodeWith(back, png)) << back.LastError();
    EXPECT_EQ(back.XDpi(), 300);
    EXPECT_EQ(back.YDpi(), 72);
    EXPECT_EQ(peer::ToRgba(back).pixels, peer::ToRgba(img).pixels);
}

TEST(PngLayout, AlphaPlaneGivesRgbaRedFirst) {
    LfImage img;
    MakeRgbPicture(img, 3, 2);
    ASSERT_TRUE(img.AlphaCreate());
    img.AlphaSet(1, 1, 77);   // top row, middle pixel
    img.SetPixelColor(1, 1, LfRgbQuad{3, 2, 1, 0});
    const Bytes png = EncodePng(img);
    const auto chunks = ReadChunks(png);
    EXPECT_EQ(Find(chunks, "IHDR")->data[9], 6);
    Bytes raw(100);
    uLongf size = raw.size();
    const Chunk* idat = Find(chunks, "IDAT");
    ASSERT_EQ(uncompress(raw.data(), &size, idat->data.data(), static_cast<uLong>(idat->data.size())), Z_OK);
    ASSERT_EQ(size, 2u * (1 + 3 * 4));
    // The filter may have changed the bytes; decode instead and compare the pixel.
    LfImagePNG back;
    ASSERT_TRUE(peer::DecodeWith(back, png));
    const auto rgba = peer::ToRgba(back);
    EXPECT_EQ(Bytes(rgba.At(1, 0), rgba.At(1, 0) + 4), (Bytes{1, 2, 3, 77}));
}

TEST(PngLayout, GreyPaletteIsWrittenAsGreyWithoutPlte) {
    LfImage img;
    ASSERT_NE(img.Create(4, 2, 8), nullptr);
    img.SetGreyPalette();
    img.Clear(40);
    const auto chunks = ReadChunks(EncodePng(img));
    EXPECT_EQ(Find(chunks, "IHDR")->data[9], 0);
    EXPECT_FALSE(Find(chunks, "PLTE"));
}

TEST(PngLayout, TransparentIndexFiveIsWrittenFirstAndThePictureIsLeftAsItWas) {
    LfImage img;
    MakePalettePicture(img);
    img.SetTransparentIndex(5);
    const Bytes before = peer::Snapshot(img);
    const LfRgbQuad five = img.PaletteColor(5);

    const Bytes png = EncodePng(img);
    ASSERT_FALSE(png.empty()) << img.LastError();
    EXPECT_EQ(peer::Snapshot(img), before);
    EXPECT_EQ(img.TransparentIndex(), 5);

    const auto chunks = ReadChunks(png);
    const Chunk* plte = Find(chunks, "PLTE");
    ASSERT_TRUE(plte);
    EXPECT_EQ(plte->data.size(), 8u * 3);
    EXPECT_EQ(Bytes(plte->data.begin(), plte->data.begin() + 3), (Bytes{five.red, five.green, five.blue}));
    const Chunk* trns = Find(chunks, "tRNS");
    ASSERT_TRUE(trns);
    EXPECT_EQ(trns->data, Bytes{0});

    // The same pixels come back, with exactly the former index-5 pixels transparent.
    LfImagePNG back;
    ASSERT_TRUE(peer::DecodeWith(back, png));
    EXPECT_EQ(back.TransparentIndex(), 0);
    const auto ours = peer::ToRgba(img), theirs = peer::ToRgba(back);
    EXPECT_EQ(peer::CountDifferences(ours, theirs, 0, true), 0u);
}

TEST(PngLayout, FailedWriteLeavesThePaletteSwapUndone) {
    LfImage img;
    MakePalettePicture(img);
    img.SetTransparentIndex(5);
    const Bytes before = peer::Snapshot(img);
    for (size_t room : {0, 8, 40, 60, 120}) {
        SCOPED_TRACE(room);
        peer::FailingStream stream(room);
        EXPECT_FALSE(img.Encode(&stream, LF_FORMAT_PNG));
        EXPECT_STREQ(img.LastError(), "Error saving PNG file");
        EXPECT_EQ(peer::Snapshot(img), before);
    }
}

TEST(PngLayout, CodecOptionOneWritesAdam7AndDecodingRemembersIt) {
    LfImage img;
    MakeRgbPicture(img, 13, 11);
    img.SetCodecOption(1, LF_FORMAT_PNG);
    const Bytes png = EncodePng(img);
    EXPECT_EQ(Find(ReadChunks(png), "IHDR")->data[12], 1);
    LfImagePNG back;
    ASSERT_TRUE(peer::DecodeWith(back, png));
    EXPECT_EQ(back.CodecOption(LF_FORMAT_PNG), 1u);
    EXPECT_EQ(peer::ToRgba(back).pixels, peer::ToRgba(img).pixels);
    // and a re-save keeps the interlacing
    EXPECT_EQ(Find(ReadChunks(EncodePng(back)), "IHDR")->data[12], 1);
}

TEST(PngLayout, PalettePictureWithAlphaPlaneIsWrittenAsRgba) {
    LfImage img;
    MakePalettePicture(img);
    ASSERT_TRUE(img.AlphaCreate());
    img.AlphaSet(2, 0, 10);
    const Bytes png = EncodePng(img);
    ASSERT_FALSE(png.empty()) << img.LastError();
    EXPECT_EQ(Find(ReadChunks(png), "IHDR")->data[9], 6);
    LfImagePNG back;
    ASSERT_TRUE(peer::DecodeWith(back, png));
    EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(img), 0, true), 0u);
}

TEST(PngLayout, LowDepthPalettesRoundTrip) {
    for (uint32_t bits : {1u, 4u}) {
        SCOPED_TRACE(bits);
        LfImage img;
        ASSERT_NE(img.Create(19, 5, bits), nullptr);
        for (uint8_t i = 0; i < img.NumColors(); ++i)
            img.SetPaletteColor(i, LfRgbQuad{static_cast<uint8_t>(i * 9), 50, static_cast<uint8_t>(255 - i), 0});
        for (int32_t y = 0; y < 5; ++y)
            for (int32_t x = 0; x < 19; ++x) img.SetPixelIndex(x, y, static_cast<uint8_t>((x * 3 + y) % img.NumColors()));
        const Bytes png = EncodePng(img);
        EXPECT_EQ(Find(ReadChunks(png), "IHDR")->data[8], bits);
        LfImagePNG back;
        ASSERT_TRUE(peer::DecodeWith(back, png));
        EXPECT_EQ(back.BitCount(), bits);
        EXPECT_EQ(peer::ToRgba(back).pixels, peer::ToRgba(img).pixels);
    }
}

// ---------------------------------------------------------------- decoding

TEST(PngDecode, HeaderOnlyProbeStoresSizeAndTypeWithoutPixels) {
    const Bytes png = MakePng(7, 9, 8, 2, std::vector<Bytes>(9, Bytes(21, 0)));
    LfImagePNG codec;
    codec.SetEscape(-1);
    ASSERT_TRUE(peer::DecodeWith(codec, png));
    EXPECT_EQ(codec.Width(), 7u);
    EXPECT_EQ(codec.Height(), 9u);
    EXPECT_EQ(codec.Type(), static_cast<uint32_t>(LF_FORMAT_PNG));
    EXPECT_FALSE(codec.IsValid());
}

TEST(PngDecode, TwoBitGreyBecomesNibblesWithAFourLevelPalette) {
    // pixels 0 1 2 3 1, then 3 3 0 0 2
    const Bytes png = MakePng(5, 2, 2, 0, {{0x1B, 0x40}, {0xF0, 0x80}});
    LfImagePNG img;
    ASSERT_TRUE(peer::DecodeWith(img, png)) << img.LastError();
    ASSERT_EQ(img.BitCount(), 4u);
    for (uint8_t i = 0; i < 4; ++i) EXPECT_EQ(img.PaletteColor(i).red, i * 85);
    const uint8_t* top = img.Row(1);
    EXPECT_EQ(top[0], 0x01);
    EXPECT_EQ(top[1], 0x23);
    EXPECT_EQ(top[2] & 0xF0, 0x10);
    const uint8_t* bottom = img.Row(0);
    EXPECT_EQ(bottom[0], 0x33);
    EXPECT_EQ(bottom[1], 0x00);
    EXPECT_EQ(bottom[2] & 0xF0, 0x20);
}

TEST(PngDecode, SixteenBitSamplesKeepTheirHighByte) {
    const Bytes png = MakePng(2, 1, 16, 2, {{0x12, 0x34, 0xAB, 0xCD, 0xFF, 0x00, 0x00, 0x01, 0x80, 0x00, 0x7F, 0xFF}});
    LfImagePNG img;
    ASSERT_TRUE(peer::DecodeWith(img, png)) << img.LastError();
    ASSERT_EQ(img.BitCount(), 24u);
    const uint8_t* row = img.Row(0);
    EXPECT_EQ(Bytes(row, row + 6), (Bytes{0xFF, 0xAB, 0x12, 0x7F, 0x80, 0x00}));   // blue, green, red

    const Bytes grey = MakePng(3, 1, 16, 0, {{0x00, 0xFF, 0x80, 0x01, 0xFF, 0xFF}});
    LfImagePNG g;
    ASSERT_TRUE(peer::DecodeWith(g, grey));
    ASSERT_EQ(g.BitCount(), 8u);
    EXPECT_EQ(Bytes(g.Row(0), g.Row(0) + 3), (Bytes{0x00, 0x80, 0xFF}));
}

TEST(PngDecode, PaletteTransparencyVariants) {
    const Bytes plte = {255, 0, 0, 0, 255, 0, 0, 0, 255, 9, 9, 9};
    const std::vector<Bytes> rows = {{0, 1, 2, 3}};
    {
        SCOPED_TRACE("several entries: per-entry alpha, 255 beyond the chunk");
        LfImagePNG img;
        ASSERT_TRUE(peer::DecodeWith(img, MakePng(4, 1, 8, 3, rows, {{"PLTE", plte}, {"tRNS", {10, 20}}})));
        EXPECT_TRUE(img.info.alphaPalette);
        EXPECT_EQ(img.PaletteColor(0).alpha, 10);
        EXPECT_EQ(img.PaletteColor(1).alpha, 20);
        EXPECT_EQ(img.PaletteColor(2).alpha, 255);
        EXPECT_EQ(img.PaletteColor(200).alpha, 255);
        EXPECT_EQ(img.ColorsImportant(), 4u);
        EXPECT_LT(img.TransparentIndex(), 0);
    }
    {
        SCOPED_TRACE("one fully transparent entry: transparent index 0");
        LfImagePNG img;
        ASSERT_TRUE(peer::DecodeWith(img, MakePng(4, 1, 8, 3, rows, {{"PLTE", plte}, {"tRNS", {0}}})));
        EXPECT_EQ(img.TransparentIndex(), 0);
        EXPECT_FALSE(img.info.alphaPalette);
    }
    {
        SCOPED_TRACE("one opaque entry: nothing becomes transparent");
        LfImagePNG img;
        ASSERT_TRUE(peer::DecodeWith(img, MakePng(4, 1, 8, 3, rows, {{"PLTE", plte}, {"tRNS", {255}}})));
        EXPECT_LT(img.TransparentIndex(), 0);
        const auto rgba = peer::ToRgba(img);
        for (uint32_t x = 0; x < 4; ++x) EXPECT_EQ(rgba.At(x, 0)[3], 255);
    }
}

TEST(PngDecode, KeyColourTransparency) {
    {
        LfImagePNG img;
        const Bytes png = MakePng(2, 1, 8, 2, {{1, 2, 3, 4, 5, 6}}, {{"tRNS", {0, 4, 0, 5, 0, 6}}});
        ASSERT_TRUE(peer::DecodeWith(img, png));
        EXPECT_EQ(img.TransparentIndex(), 0);
        EXPECT_EQ(img.TransparentColor(), (LfRgbQuad{6, 5, 4, 0}));
    }
    {
        LfImagePNG img;
        const Bytes png = MakePng(2, 1, 16, 0, {{0, 0, 0x12, 0x34}}, {{"tRNS", {0x12, 0x34}}});
        ASSERT_TRUE(peer::DecodeWith(img, png));
        EXPECT_EQ(img.TransparentIndex(), 0x12);
    }
}

TEST(PngDecode, PhysBecomesDotsPerInch) {
    Bytes metres, unknown;
    PutBE32(metres, 11811);
    PutBE32(metres, 3780);
    metres.push_back(1);
    PutBE32(unknown, 2);
    PutBE32(unknown, 3);
    unknown.push_back(0);
    LfImagePNG a, b;
    ASSERT_TRUE(peer::DecodeWith(a, MakePng(1, 1, 8, 0, {{0}}, {{"pHYs", metres}})));
    EXPECT_EQ(a.XDpi(), 300);
    EXPECT_EQ(a.YDpi(), 96);
    ASSERT_TRUE(peer::DecodeWith(b, MakePng(1, 1, 8, 0, {{0}}, {{"pHYs", unknown}})));
    EXPECT_EQ(b.XDpi(), 2);
    EXPECT_EQ(b.YDpi(), 3);
}

TEST(PngDecode, ProbeFindsPngAfterTheEarlierCodecsFail) {
    TempDir dir;
    const fs::path path = dir / "picture.bin";
    WriteFile(path, MakePng(3, 2, 8, 2, {Bytes(9, 7), Bytes(9, 8)}));
    LfImage img;
    ASSERT_TRUE(img.Load(path.c_str(), LF_FORMAT_UNKNOWN)) << img.LastError();
    EXPECT_EQ(img.Type(), static_cast<uint32_t>(LF_FORMAT_PNG));
    EXPECT_EQ(img.Width(), 3u);
    // Found after a prefix too: the probe starts where the stream stands.
    Bytes prefixed = {1, 2, 3};
    const Bytes png = ReadFile(path);
    prefixed.insert(prefixed.end(), png.begin(), png.end());
    LfMemFile stream(prefixed.data(), static_cast<int32_t>(prefixed.size()));
    ASSERT_TRUE(stream.Seek(3, 0));
    LfImage again;
    EXPECT_TRUE(again.Decode(&stream, LF_FORMAT_UNKNOWN)) << again.LastError();
    EXPECT_EQ(again.Type(), static_cast<uint32_t>(LF_FORMAT_PNG));
}

// ---------------------------------------------------------------- damaged input

TEST(PngMalformed, EmptyAndForeignStreamsFailWithTheLibrarysWords) {
    LfImagePNG empty;
    EXPECT_FALSE(peer::DecodeWith(empty, Bytes{}));
    EXPECT_STREQ(empty.LastError(), "Read Error");
    LfImagePNG foreign;
    EXPECT_FALSE(peer::DecodeWith(foreign, Bytes(64, 'x')));
    EXPECT_STREQ(foreign.LastError(), "Not a PNG file");
}

TEST(PngMalformed, EveryTruncationFailsCleanly) {
    const Bytes png = MakePng(6, 5, 8, 6, std::vector<Bytes>(5, Bytes(24, 0x5A)));
    for (size_t n = 0; n < png.size(); ++n) {
        SCOPED_TRACE(n);
        LfImagePNG img;
        EXPECT_FALSE(peer::DecodeWith(img, Bytes(png.begin(), png.begin() + n)));
        EXPECT_STRNE(img.LastError(), "");
    }
}

TEST(PngMalformed, DamagedBytesNeverCrash) {
    const Bytes good = MakePng(9, 7, 8, 3, std::vector<Bytes>(7, Bytes(9, 1)),
                               {{"PLTE", Bytes(6, 100)}, {"tRNS", {0, 0, 0}}});
    for (size_t at = 8; at < good.size(); ++at) {
        for (uint8_t value : {0x00, 0xFF, 0x7F}) {
            Bytes bad = good;
            bad[at] = value;
            SCOPED_TRACE(testing::Message() << "byte " << at << " = " << int(value));
            LfImagePNG img;
            // A damaged file either decodes to a picture of the header's size or is refused
            // with a reason; never a success without a picture, never a crash.
            if (peer::DecodeWith(img, bad)) EXPECT_TRUE(img.IsValid());
            else EXPECT_STRNE(img.LastError(), "");
        }
    }
}

TEST(PngMalformed, GoLibrarysInvalidFilesAreRefused) {
    fs::path dir;
    for (const char* d : {"/usr/lib/go-1.19/src/image/png/testdata", "/usr/share/go-1.19/src/image/png/testdata"})
        if (fs::is_directory(d)) dir = d;
    GLINTWISE_NEED_PEER(!dir.empty(), "golang-1.19-src");
    for (const char* name : {"invalid-crc32.png", "invalid-noend.png", "invalid-trunc.png", "invalid-zlib.png"}) {
        SCOPED_TRACE(name);
        LfImagePNG img;
        EXPECT_FALSE(peer::DecodeWith(img, ReadFile(dir / name)));
        EXPECT_STRNE(img.LastError(), "");
    }
    // An index beyond the palette is the library's call; either way nothing crashes.
    LfImagePNG palette;
    peer::DecodeWith(palette, ReadFile(dir / "invalid-palette.png"));
}

TEST(PngMalformed, UnwritableStreamReportsASaveError) {
    LfImage img;
    MakeRgbPicture(img, 4, 4);
    peer::FailingStream stream(0);
    EXPECT_FALSE(img.Encode(&stream, LF_FORMAT_PNG));
    EXPECT_STREQ(img.LastError(), "Error saving PNG file");
}

// ---------------------------------------------------------------- peers

namespace {

fs::path PngSuiteDir() {
    for (const char* dir : {"/usr/lib/go-1.19/src/image/png/testdata/pngsuite",
                            "/usr/share/go-1.19/src/image/png/testdata/pngsuite"})
        if (fs::is_directory(dir)) return dir;
    return {};
}

// Decodes each file ourselves and with Pillow and compares colours and, where the file has
// per-pixel transparency, alpha.
void ExpectSameAsPillow(const std::vector<fs::path>& files) {
    const auto pillow = peer::PillowDecode(files);
    for (const fs::path& file : files) {
        SCOPED_TRACE(file.filename().string());
        LfImagePNG img;
        ASSERT_TRUE(peer::DecodeWith(img, ReadFile(file))) << img.LastError();
        auto it = pillow.find(file);
        ASSERT_NE(it, pillow.end()) << "Pillow could not read it";
        const auto ours = peer::ToRgba(img);
        const bool alpha = it->second.alphaMatters;
        EXPECT_EQ(peer::CountDifferences(ours, it->second, 0, alpha), 0u);
    }
}

}  // namespace

TEST(PngPeers, EveryPngSuiteFileDecodesToPillowsPixels) {
    const fs::path dir = PngSuiteDir();
    GLINTWISE_NEED_PEER(!dir.empty(), "PngSuite (golang-1.19-src)");
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow");
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".png") files.push_back(entry.path());
    ASSERT_GT(files.size(), 30u);
    ExpectSameAsPillow(files);
}

TEST(PngPeers, FilesWrittenByPillowAndImageMagickDecodeToPillowsPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow() && testsupport::HaveTool("convert-im6.q16"), "Pillow or ImageMagick");
    TempDir dir;
    const std::string d = ShellQuote(dir.path().string());
    const char* script = R"PY(
import sys, numpy as np
from PIL import Image
d = sys.argv[1]
h, w = 23, 37
y, x = np.mgrid[0:h, 0:w]
rgb = np.stack([x * 7 % 256, y * 11 % 256, (x * y) % 256], -1).astype(np.uint8)
Image.fromarray(rgb).save(d + '/rgb.png')
Image.fromarray(np.dstack([rgb, (x * 5 % 256).astype(np.uint8)])).save(d + '/rgba.png')
g = ((x + y) * 6 % 256).astype(np.uint8)
Image.fromarray(g).save(d + '/grey.png')
Image.fromarray(np.dstack([g, 255 - g])).convert('LA').save(d + '/greyalpha.png')
Image.fromarray(g > 100).save(d + '/bilevel.png')
Image.fromarray(((x * 1000 + y * 700) % 65536).astype(np.uint16)).save(d + '/grey16.png')
p = Image.fromarray(rgb).quantize(60)
p.save(d + '/palette.png')
p.save(d + '/palette-trns.png', transparency=3)
p4 = Image.fromarray(rgb).quantize(16); p4.save(d + '/palette4.png', bits=4)
p2 = Image.fromarray(rgb).quantize(4); p2.save(d + '/palette2.png', bits=2)
Image.fromarray(g).save(d + '/grey-trns.png', transparency=42)
Image.fromarray(rgb).save(d + '/rgb-trns.png', transparency=(7, 11, 0))
)PY";
    std::ofstream(dir / "make.py") << script;
    ASSERT_EQ(testsupport::Run(testsupport::Python() + " " + ShellQuote((dir / "make.py").string()) + " " + d), 0);
    const std::string im = "convert-im6.q16 " + d + "/rgb.png ";
    ASSERT_EQ(testsupport::Run(im + "-interlace PNG " + d + "/im-interlaced.png"), 0);
    ASSERT_EQ(testsupport::Run(im + "-depth 16 PNG48:" + d + "/im-rgb16.png"), 0);
    ASSERT_EQ(testsupport::Run("convert-im6.q16 " + d + "/rgba.png -depth 16 -interlace PNG PNG64:" + d + "/im-rgba16-interlaced.png"), 0);
    ASSERT_EQ(testsupport::Run(im + "-colorspace Gray -define png:bit-depth=2 -define png:color-type=0 " + d + "/im-grey2.png"), 0);
    ASSERT_EQ(testsupport::Run(im + "-colorspace Gray -define png:bit-depth=4 -define png:color-type=0 -interlace PNG " + d + "/im-grey4-interlaced.png"), 0);
    ASSERT_EQ(testsupport::Run(im + "-colors 200 PNG8:" + d + "/im-palette8.png"), 0);
    ASSERT_EQ(testsupport::Run("convert-im6.q16 " + d + "/palette2.png -interlace PNG " + d + "/im-palette2-interlaced.png"), 0);
    ASSERT_EQ(testsupport::Run("convert-im6.q16 " + d + "/greyalpha.png -interlace PNG " + d + "/im-greyalpha-interlaced.png"), 0);
    std::vector<fs::path> files;
    for (const auto& entry : fs::directory_iterator(dir.path()))
        if (entry.path().extension() == ".png") files.push_back(entry.path());
    EXPECT_GE(files.size(), 20u);
    ExpectSameAsPillow(files);
}

// Catches files that libpng writes or our own deflate packs (the fast option) being invalid
// or decoding to other pixels in another program.
TEST(PngPeers, OurFilesPassPngcheckAndDecodeInPillowToOurPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow() && testsupport::HaveTool("pngcheck"), "Pillow or pngcheck");
    TempDir dir;
    std::vector<fs::path> files;
    std::vector<peer::Rgba> expected;
    // Every picture twice: with libpng's defaults and with the fast option's own deflate.
    auto save = [&](LfImage& img, const std::string& name) {
        const uint32_t options = img.CodecOption(LF_FORMAT_PNG);
        for (const uint32_t fast : {0u, uint32_t{LF_PNG_FAST_DEFLATE}}) {
            const fs::path path = dir / ((fast ? "fast-" : "") + name);
            img.SetCodecOption(options | fast, LF_FORMAT_PNG);
            ASSERT_TRUE(img.Save(path.c_str(), LF_FORMAT_PNG)) << img.LastError();
            files.push_back(path);
            expected.push_back(peer::ToRgba(img));
        }
        img.SetCodecOption(options, LF_FORMAT_PNG);
    };
    LfImage rgb, rgba, palette, paletteTrns, grey, bilevel, interlaced, alphaPalette;
    MakeRgbPicture(rgb, 31, 17);
    save(rgb, "rgb.png");
    MakeRgbPicture(rgba, 31, 17);
    ASSERT_TRUE(rgba.AlphaCreate());
    for (int32_t x = 0; x < 31; ++x) rgba.AlphaSet(x, x % 17, static_cast<uint8_t>(x * 8));
    save(rgba, "rgba.png");
    MakePalettePicture(palette);
    save(palette, "palette.png");
    MakePalettePicture(paletteTrns);
    paletteTrns.SetTransparentIndex(6);
    save(paletteTrns, "palette-trns.png");
    MakePalettePicture(alphaPalette);
    for (uint8_t i = 0; i < 8; ++i) {
        LfRgbQuad c = alphaPalette.PaletteColor(i);
        c.alpha = static_cast<uint8_t>(i * 30);
        alphaPalette.SetPaletteColor(i, c);
    }
    alphaPalette.info.alphaPalette = true;
    save(alphaPalette, "alpha-palette.png");
    ASSERT_NE(grey.Create(10, 10, 8), nullptr);
    grey.SetGreyPalette();
    for (int32_t y = 0; y < 10; ++y)
        for (int32_t x = 0; x < 10; ++x) grey.SetPixelIndex(x, y, static_cast<uint8_t>(x * 25 + y));
    save(grey, "grey.png");
    ASSERT_NE(bilevel.Create(21, 3, 1), nullptr);
    bilevel.SetPaletteColor(0, LfRgbQuad{0, 0, 0, 0});
    bilevel.SetPaletteColor(1, LfRgbQuad{255, 255, 255, 0});
    for (int32_t x = 0; x < 21; ++x) bilevel.SetPixelIndex(x, x % 3, 1);
    save(bilevel, "bilevel.png");
    MakeRgbPicture(interlaced, 45, 33);
    interlaced.SetCodecOption(1, LF_FORMAT_PNG);
    save(interlaced, "interlaced.png");

    for (const fs::path& f : files) {
        std::string out;
        EXPECT_EQ(testsupport::Run("pngcheck -q " + ShellQuote(f.string()), &out), 0) << f << ": " << out;
    }
    const auto pillow = peer::PillowDecode(files);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].filename().string());
        auto it = pillow.find(files[i]);
        ASSERT_NE(it, pillow.end());
        EXPECT_EQ(peer::CountDifferences(expected[i], it->second, 0, it->second.alphaMatters), 0u);
    }
}

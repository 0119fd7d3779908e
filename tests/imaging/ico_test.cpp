// The ICO codec: the bytes the encoder writes, mask rules, cursors and frames, hostile
// directories and truncation, and icons written and read by Pillow and ImageMagick.
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>

#include "LfImageICO.h"
#include "PeerPixels.h"

using peer::Bytes;
using testsupport::ShellQuote;
namespace fs = std::filesystem;

namespace {

uint32_t Get16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }
uint32_t Get32(const Bytes& b, size_t at) { return Get16(b, at) | (Get16(b, at + 2) << 16); }
void Put(Bytes& b, uint32_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) b.push_back(uint8_t(v >> (8 * i)));
}

void FillPattern(LfImage& image, uint32_t width, uint32_t height, uint32_t bits) {
    ASSERT_NE(image.Create(width, height, bits, LF_FORMAT_ICO), nullptr);
    std::mt19937 rng(width + bits);
    for (uint32_t i = 0; i < image.NumColors(); ++i)
        image.SetPaletteColor(i, LfRgbQuad{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0});
    for (uint32_t y = 0; y < height; ++y)
        for (uint32_t i = 0; i < image.EffectiveWidth(); ++i) image.Row(y)[i] = uint8_t(rng());
}

bool Decode(LfImageICO& image, const Bytes& file, int32_t frame = 0, int32_t escape = 0) {
    image.SetCurrentFrame(frame);
    image.SetEscape(escape);
    return peer::DecodeWith(image, file);
}

// One bitmap entry of a hand-made icon; the default is 2 x 2 24-bit: bottom row red, green,
// top row blue, white.
struct IcoImage {
    uint8_t width = 2, height = 2;
    uint16_t bitCount = 24;
    Bytes palette, pixels = {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0}, mask = Bytes(8, 0);
};

Bytes MakeIco(const std::vector<IcoImage>& images, uint16_t type = 1) {
    Bytes out, data;
    for (uint32_t v : {0u, uint32_t(type), uint32_t(images.size())}) Put(out, v, 2);
    for (const IcoImage& im : images) {
        out.insert(out.end(), {im.width, im.height, 0, 0, 1, 0});
        Put(out, im.bitCount, 2);
        Put(out, 40 + uint32_t(im.palette.size() + im.pixels.size() + im.mask.size()), 4);
        Put(out, uint32_t(6 + 16 * images.size() + data.size()), 4);
        for (uint32_t v : {40u, uint32_t(im.width), 2u * im.height}) Put(data, v, 4);
        Put(data, 1, 2);
        Put(data, im.bitCount, 2);
        for (int i = 0; i < 6; ++i) Put(data, 0, 4);
        for (const Bytes* part : {&im.palette, &im.pixels, &im.mask}) data.insert(data.end(), part->begin(), part->end());
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// Transparency however our picture expresses it: alpha plane, transparent index or colour.
uint8_t OurAlpha(const LfImage& image, uint32_t x, uint32_t y) {
    if (image.AlphaIsValid()) return image.AlphaGet(x, y);
    if (!image.IsTransparent()) return 255;
    if (image.IsIndexed()) return image.PixelIndex(x, y) == image.TransparentIndex() ? 0 : 255;
    const LfRgbQuad c = image.PixelColor(x, y, false), t = image.TransparentColor();
    return c.red == t.red && c.green == t.green && c.blue == t.blue ? 0 : 255;
}

// Alpha everywhere, colour where not fully transparent (icons leave any colour under a mask).
void ExpectSamePicture(const LfImage& ours, const peer::Rgba& theirs) {
    ASSERT_EQ(ours.Width(), theirs.width);
    ASSERT_EQ(ours.Height(), theirs.height);
    size_t differing = 0;
    for (uint32_t r = 0; r < theirs.height; ++r)
        for (uint32_t x = 0; x < theirs.width; ++x) {
            const uint8_t* p = theirs.At(x, r);
            const LfRgbQuad c = ours.PixelColor(x, theirs.height - 1 - r, false);
            const uint8_t a = OurAlpha(ours, x, theirs.height - 1 - r);
            const bool same = a == p[3] && (a == 0 || (c.red == p[0] && c.green == p[1] && c.blue == p[2]));
            if (!same && differing++ == 0)
                ADD_FAILURE() << "first at x=" << x << " row from top " << r << ": alpha ours " << int(a) << " theirs " << int(p[3]);
        }
    EXPECT_EQ(differing, 0u);
}

// ---------------------------------------------------------------------------------------
// Layout

// 6 + 16 + 40 + 3072 + 128; with an alpha plane 32-bit pixels and alpha 0 masked. Catches
// a wrong byte count, offset, doubled height, planes field or mask, and unchecked writes.
TEST(IcoLayout, ThirtyTwoSquareIs3262BytesAndAlphaMakesThirtyTwoBits) {
    for (bool alpha : {false, true}) {
        SCOPED_TRACE(alpha);
        LfImage image;
        FillPattern(image, 32, 32, 24);
        if (alpha) {
            ASSERT_TRUE(image.AlphaCreate());
            for (uint32_t i = 0; i < 32 * 32; ++i) image.AlphaPlane()[i] = uint8_t(i % 3 ? i % 255 + 1 : 0);
        }
        const uint32_t pixels = alpha ? 4096 : 3072;
        const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_ICO);
        ASSERT_EQ(file.size(), 22 + 40 + pixels + 128);
        EXPECT_EQ(Bytes(file.begin(), file.begin() + 12), (Bytes{0, 0, 1, 0, 1, 0, 32, 32, 0, 0, 0, 0}));
        EXPECT_EQ(Get16(file, 12), alpha ? 32u : 24u);
        EXPECT_EQ(Get32(file, 14), 40 + pixels + 128);
        EXPECT_EQ(Get32(file, 18), 22u);
        EXPECT_EQ(Get32(file, 22 + 8), 64u);
        EXPECT_EQ(Get32(file, 22 + 20), pixels);
        for (uint32_t i = 0; i < 32 * 32; ++i) {
            const uint32_t x = i % 32, y = i / 32;
            const uint8_t* at = &file[62 + (alpha ? 4 * i : 96 * y + 3 * x)];
            ASSERT_TRUE(std::equal(at, at + 3, image.Row(y) + 3 * x)) << i;
            if (alpha) {
                ASSERT_EQ(at[3], image.AlphaGet(x, y));
            }
            ASSERT_EQ(bool(file[62 + pixels + 4 * y + x / 8] & (0x80 >> (x % 8))), alpha && i % 3 == 0) << i;
        }
        for (size_t room : {0u, 6u, 22u, 62u, 100u}) {  // a full disk is not a saved file
            peer::FailingStream out(room);
            EXPECT_FALSE(image.Encode(&out, LF_FORMAT_ICO));
            EXPECT_STREQ(image.LastError(), "Write Error in ICO file");
        }
    }
}

// The transparent entry goes out black and every pixel of its colour (under any index) is
// masked; the caller's palette is the same afterwards.
TEST(IcoLayout, TransparentIndexIsWrittenBlackAndMasked) {
    LfImage image;
    FillPattern(image, 5, 3, 8);
    image.SetPaletteColor(200, image.PaletteColor(7));
    image.SetPixelIndex(1, 1, 7);
    image.SetPixelIndex(4, 2, 200);
    image.SetTransparentIndex(7);
    const Bytes before = peer::Snapshot(image);
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_ICO);
    EXPECT_EQ(peer::Snapshot(image), before);
    ASSERT_EQ(file.size(), 22u + 40 + 1024 + 8 * 3 + 4 * 3);
    EXPECT_EQ(Get32(file, 62 + 4 * 7), 0u);
    const LfRgbQuad t = image.PaletteColor(7);
    for (uint32_t i = 0; i < 15; ++i) {
        const LfRgbQuad c = image.PixelColor(i % 5, i / 5, false);
        ASSERT_EQ(bool(file[62 + 1024 + 24 + 4 * (i / 5)] & (0x80 >> (i % 5))),
                  c.red == t.red && c.green == t.green && c.blue == t.blue) << i;
    }
}

// Sides over 255 do not fit the directory: entry 0 x 0 and a PNG stream, read back whole.
TEST(IcoLayout, ThreeHundredByTwoHundredIsStoredAsPng) {
    LfImage image;
    FillPattern(image, 300, 200, 24);
    ASSERT_TRUE(image.AlphaCreate());
    image.AlphaSet(11, 10, 77);
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_ICO);
    ASSERT_GT(file.size(), 30u);
    EXPECT_EQ(Get16(file, 6), 0u);
    EXPECT_EQ(Get32(file, 14), file.size() - 22);
    EXPECT_EQ(Bytes(file.begin() + 22, file.begin() + 26), (Bytes{0x89, 'P', 'N', 'G'}));
    LfImageICO probe, back;
    ASSERT_TRUE(Decode(probe, file, 0, -1)) << probe.LastError();
    EXPECT_EQ(probe.Width(), 300u);
    ASSERT_TRUE(Decode(back, file)) << back.LastError();
    EXPECT_EQ(back.Type(), uint32_t(LF_FORMAT_ICO));
    EXPECT_EQ(peer::Snapshot(back), peer::Snapshot(image));
}

// Header, then each image's entry, then each image's data, on one codec object; each entry
// then decodes by its frame number.
TEST(IcoLayout, SeveralImagesThroughTheAppendCalls) {
    LfImage small, large;
    FillPattern(small, 16, 16, 8);
    FillPattern(large, 40, 24, 24);
    LfMemFile out;
    out.Open();
    LfImageICO writer;
    writer.Ghost(&small);
    ASSERT_TRUE(writer.Encode(&out, false, 2));
    for (int32_t frames : {2, 0})
        for (LfImage* image : {&small, &large}) {
            image->info.numFrames = frames;
            writer.Ghost(image);
            ASSERT_TRUE(writer.Encode(&out, true, 2));
        }
    const Bytes file(out.GetBuffer(false), out.GetBuffer(false) + out.Size());
    EXPECT_EQ(Get32(file, 34), 38u + Get32(file, 14));
    EXPECT_EQ(file.size(), 38u + Get32(file, 14) + Get32(file, 30));
    for (int32_t frame : {0, 1}) {
        LfImageICO back;
        ASSERT_TRUE(Decode(back, file, frame)) << back.LastError();
        EXPECT_EQ(back.NumFrames(), 2);
        EXPECT_EQ(peer::Snapshot(back), peer::Snapshot(frame ? large : small));
    }
}

// ---------------------------------------------------------------------------------------
// Decode: each row is a mask over a small picture and what it must turn into. Icons and
// cursors (type 2) alike.

TEST(IcoDecode, MaskRules) {
    IcoImage fourBit;
    fourBit.width = 4, fourBit.height = 1, fourBit.bitCount = 4;
    for (int i = 0; i < 16; ++i) fourBit.palette.insert(fourBit.palette.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
    fourBit.pixels = {0x0F, 0x3E, 0, 0};  // indices 0, 15, 3, 14
    fourBit.mask = {0x50, 0, 0, 0};       // x = 1 and 3: they take 13, the highest unused index
    IcoImage twiceRed;                    // red also at the top left, unmasked
    std::copy_n(twiceRed.pixels.begin(), 3, twiceRed.pixels.begin() + 8);
    twiceRed.mask[0] = 0x80;
    IcoImage alpha32;
    alpha32.bitCount = 32;
    alpha32.pixels = {1, 2, 3, 0, 4, 5, 6, 128, 7, 8, 9, 255, 10, 11, 12, 255};
    alpha32.mask.assign(8, 0xFF);         // alpha rules: the mask is not applied over it
    IcoImage zeroAlpha = alpha32;         // fourth bytes all 0: no alpha, the mask decides
    for (size_t i = 3; i < 16; i += 4) zeroAlpha.pixels[i] = 0;
    zeroAlpha.mask = {0x80, 0, 0, 0, 0, 0, 0, 0};
    auto masked = [](Bytes m) { IcoImage im; im.mask = std::move(m); return im; };

    // Expected: transparent index, alpha plane kept, colour at (0, 0), alpha at (0, 0) and (1, 0).
    const struct { const char* name; IcoImage image; int32_t index; bool plane; LfRgbQuad colour; uint8_t alpha[2]; } cases[] = {
        {"clear mask", masked(Bytes(8, 0)), -1, false, {0, 0, 255, 0}, {255, 255}},
        {"all ones: negated", masked(Bytes(8, 0xFF)), 0, false, {255, 255, 0, 0}, {255, 255}},
        {"one colour: key", masked({0x80, 0, 0, 0, 0, 0, 0, 0}), 0, false, {0, 0, 255, 0}, {0, 255}},
        {"two colours: plane", masked({0x80, 0, 0, 0, 0x40, 0, 0, 0}), -1, true, {0, 0, 255, 0}, {0, 255}},
        {"key colour also unmasked: plane", twiceRed, -1, true, {0, 0, 255, 0}, {0, 255}},
        {"4-bit: highest unused index", fourBit, 13, false, {0, 0, 0, 0}, {255, 0}},
        {"32-bit alpha", alpha32, -1, true, {1, 2, 3, 0}, {0, 128}},
        {"32-bit zero alpha", zeroAlpha, 0, false, {1, 2, 3, 0}, {0, 255}},
    };
    for (const auto& c : cases)
        for (uint16_t type : {1, 2}) {
            SCOPED_TRACE(std::string(c.name) + (type == 2 ? " (cursor)" : ""));
            LfImageICO image;
            ASSERT_TRUE(Decode(image, MakeIco({c.image}, type)));
            EXPECT_EQ(image.TransparentIndex(), c.index);
            EXPECT_EQ(image.AlphaIsValid(), c.plane);
            EXPECT_EQ(image.PixelColor(0, 0, false), c.colour);
            EXPECT_EQ(OurAlpha(image, 0, 0), c.alpha[0]);
            EXPECT_EQ(OurAlpha(image, 1, 0), c.alpha[1]);
        }
    LfImageICO fourBitImage;
    ASSERT_TRUE(Decode(fourBitImage, MakeIco({fourBit})));
    const uint8_t indices[4] = {0, 13, 3, 13};
    for (int x = 0; x < 4; ++x) EXPECT_EQ(fourBitImage.PixelIndex(x, 0), indices[x]) << x;
}

// ---------------------------------------------------------------------------------------
// Malformed

TEST(IcoMalformed, HostileDirectoriesAndHeadersAreRefused) {
    const Bytes good = MakeIco({IcoImage{}, IcoImage{}});
    auto with = [&](size_t at, Bytes bytes) {
        Bytes b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + at);
        return b;
    };
    const struct { Bytes file; int32_t frame; const char* message; } cases[] = {
        {with(0, {1}), 0, "Not an ICO"},
        {with(2, {3}), 0, "Not an ICO"},
        {good, 2, "ICO frame out of range"},
        {good, -1, "ICO frame out of range"},
        {with(4, {0xFF, 0xFF}), 0, "ICO directory exceeds the file"},
        {with(18, {0xFF, 0xFF, 0, 0}), 0, "ICO image outside the file"},
        {with(34, {0xF0, 0xFF, 0xFF, 0xFF}), 1, "ICO image outside the file"},
        {with(38 + 14, {16}), 0, "unsupported ICO bit count"},
        {with(38 + 32, {0xE8, 0x03}), 0, "Error reading ICO info"},
        {with(38, {12}), 0, "Error reading ICO info"},
        {with(38, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}), 0, nullptr},
    };
    for (const auto& c : cases)
        for (int escape : {0, -1}) {
            SCOPED_TRACE(c.message ? c.message : "broken PNG");
            LfImageICO image;
            EXPECT_FALSE(Decode(image, c.file, c.frame, escape));
            if (c.message) {
                EXPECT_STREQ(image.LastError(), c.message);
            }
        }
    // Through the dispatch the caller still learns how many entries there are.
    LfImage image;
    image.SetCurrentFrame(2);
    EXPECT_FALSE(peer::DecodeBytes(image, good, LF_FORMAT_ICO));
    EXPECT_EQ(image.NumFrames(), 2);
}

// Cut in the header or directory: refused. Cut in the pixels: what is there. Cut in the
// mask: the picture without transparency.
TEST(IcoMalformed, EveryTruncationFailsCleanlyOrDecodesWithoutMask) {
    IcoImage im;
    im.width = 5, im.height = 2, im.bitCount = 4;
    for (int i = 0; i < 16; ++i) im.palette.insert(im.palette.end(), {uint8_t(16 * i), 0, 0, 0});
    im.pixels = {0x12, 0x34, 0x50, 0, 0x67, 0x89, 0xA0, 0};
    im.mask = {0x08, 0, 0, 0, 0, 0, 0, 0};
    const Bytes file = MakeIco({im});
    for (size_t n = 0; n <= file.size(); ++n) {
        SCOPED_TRACE(n);
        LfImageICO image;
        ASSERT_EQ(Decode(image, Bytes(file.begin(), file.begin() + n)), n >= 22 + 40);
        if (n < 22 + 40 + 64 + 8) continue;
        EXPECT_EQ(image.PixelIndex(3, 1), 9);
        EXPECT_EQ(image.PixelIndex(4, 0), n == file.size() ? 15 : 5);  // the masked pixel
        EXPECT_EQ(image.IsTransparent(), n == file.size());
    }
}

// ---------------------------------------------------------------------------------------
// Peers

// Every entry of an icon as Pillow decodes it, keyed by the entry's image offset.
std::map<uint32_t, peer::Rgba> PillowEntries(const fs::path& file) {
    const std::string script =
        "import sys\nfrom PIL import IcoImagePlugin\nico = IcoImagePlugin.IcoFile(open(sys.argv[1], 'rb'))\n"
        "for i, e in enumerate(ico.entry):\n    im = ico.frame(i).convert('RGBA')\n"
        "    sys.stdout.buffer.write(('%d %d %d\\n' % (e['offset'], im.size[0], im.size[1])).encode() + im.tobytes())\n";
    std::string out;
    testsupport::Run(testsupport::Python() + " -c " + ShellQuote(script) + " " + ShellQuote(file.string()), &out);
    std::map<uint32_t, peer::Rgba> entries;
    for (size_t at = 0; at < out.size();) {
        const size_t newline = out.find('\n', at);
        uint32_t offset = 0;
        peer::Rgba rgba;
        std::istringstream(out.substr(at, newline - at)) >> offset >> rgba.width >> rgba.height;
        const size_t bytes = size_t(rgba.width) * rgba.height * 4;
        if (newline == std::string::npos || newline + 1 + bytes > out.size()) break;
        rgba.pixels.assign(out.begin() + newline + 1, out.begin() + newline + 1 + bytes);
        entries[offset] = rgba;
        at = newline + 1 + bytes;
    }
    return entries;
}

// Decodes every entry with ours, frame by frame, against Pillow's decode of it.
void ExpectEveryEntryMatchesPillow(const fs::path& file, uint32_t entries) {
    const Bytes bytes = testsupport::ReadFile(file);
    ASSERT_GE(bytes.size(), 6u);
    ASSERT_EQ(Get16(bytes, 4), entries);
    const auto theirs = PillowEntries(file);
    ASSERT_EQ(theirs.size(), entries) << "Pillow could not read every entry";
    for (uint32_t i = 0; i < entries; ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        LfImage ours;
        ours.SetCurrentFrame(int32_t(i));
        ASSERT_TRUE(ours.Load(file.c_str(), LF_FORMAT_ICO)) << ours.LastError();
        ExpectSamePicture(ours, theirs.at(Get32(bytes, 6 + 16 * i + 12)));
    }
}

// Runs Python with `src`, a 64 x 64 RGBA disc with a translucent bar, and the path `out`.
void PillowWrites(const fs::path& out, const std::string& code) {
    testsupport::Run(testsupport::Python() + " -c " +
                     ShellQuote("import sys\nfrom PIL import Image, ImageDraw\nout = sys.argv[1]\n"
                                "src = Image.new('RGBA', (64, 64), (0, 0, 0, 0)); d = ImageDraw.Draw(src)\n"
                                "d.ellipse((4, 4, 60, 60), fill=(200, 40, 90, 255))\n"
                                "d.rectangle((20, 10, 44, 30), fill=(30, 160, 220, 120))\n" + code) +
                     " " + ShellQuote(out.string()));
}

// Several sizes, PNG-embedded (also at 256), 32-bit with alpha, 8- and 1-bit bitmaps.
TEST(IcoPeers, PillowAndImageMagickIconsDecodeToPillowsPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow (python3-pil, python3-numpy)");
    GLINTWISE_NEED_PEER(testsupport::HaveTool("convert-im6.q16"), "ImageMagick's convert-im6.q16");
    const struct { const char* pillow; const char* magick; uint32_t entries; } cases[] = {
        {"src.save(out, sizes=[(16, 16), (32, 32), (64, 64)])", nullptr, 3},
        {"src.save(out, sizes=[(16, 16), (48, 48)], bitmap_format='bmp')", nullptr, 2},
        {"src.convert('RGB').quantize(50).save(out, sizes=[(64, 64)], bitmap_format='bmp')", nullptr, 1},
        {"src.convert('1').save(out, sizes=[(64, 64)], bitmap_format='bmp')", nullptr, 1},
        {"src.resize((256, 256)).save(out, sizes=[(256, 256)])", nullptr, 1},
        {"src.save(out)", "-define icon:auto-resize=16,32,48,256", 4},
        {"src.save(out)", "-background white -flatten -define icon:auto-resize=24", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.pillow) + " " + (c.magick ? c.magick : ""));
        testsupport::TempDir dir;
        if (c.magick) {
            PillowWrites(dir / "src.png", c.pillow);
            testsupport::Run("convert-im6.q16 " + ShellQuote((dir / "src.png").string()) + " " + c.magick + " " +
                             ShellQuote((dir / "in.ico").string()));
        } else {
            PillowWrites(dir / "in.ico", c.pillow);
        }
        ExpectEveryEntryMatchesPillow(dir / "in.ico", c.entries);
    }
}

// What we write, Pillow reads back to our pixels and transparency.
TEST(IcoPeers, PillowReadsOurIcons) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow (python3-pil, python3-numpy)");
    const struct { uint32_t width, height, bits; bool alpha; int32_t transparent; } cases[] = {
        {33, 17, 1, false, -1}, {16, 16, 4, false, -1}, {20, 20, 8, false, 5},
        {48, 48, 24, false, -1}, {32, 32, 24, true, -1}, {300, 200, 24, true, -1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + " " + std::to_string(c.bits));
        LfImage image;
        FillPattern(image, c.width, c.height, c.bits);
        if (c.transparent >= 0) {
            for (uint32_t x = 0; x < c.width; ++x) image.SetPixelIndex(x, 3, uint8_t(c.transparent));
            image.SetTransparentIndex(c.transparent);
        }
        if (c.alpha) {
            ASSERT_TRUE(image.AlphaCreate());
            for (uint32_t i = 0; i < c.width * c.height; ++i) image.AlphaPlane()[i] = uint8_t(i % 4 ? 40 * (i % 7) : 0);
        }
        testsupport::TempDir dir;
        ASSERT_TRUE(image.Save((dir / "ours.ico").c_str(), LF_FORMAT_ICO)) << image.LastError();
        const auto theirs = PillowEntries(dir / "ours.ico");
        ASSERT_EQ(theirs.size(), 1u);
        ExpectSamePicture(image, theirs.begin()->second);
    }
}

}  // namespace

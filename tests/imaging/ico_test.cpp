// The ICO codec: the bytes the encoder writes (Layout), mask rules, cursors and frame
// selection (Decode), icons written and read by Pillow and ImageMagick (Peers), and hostile
// directories and truncation (Malformed).
#include <gtest/gtest.h>

#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "LfImageICO.h"
#include "PeerPixels.h"

using peer::Bytes;
using testsupport::ShellQuote;
using testsupport::TempDir;
namespace fs = std::filesystem;

namespace {

uint32_t Get16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }
uint32_t Get32(const Bytes& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (uint32_t(b[at + 3]) << 24);
}
void Put16(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8)}); }
void Put32(Bytes& b, uint32_t v) { b.insert(b.end(), {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}); }

// A picture of reproducible random pixels and palette.
void FillPattern(LfImage& image, uint32_t width, uint32_t height, uint32_t bits, uint32_t seed) {
    ASSERT_NE(image.Create(width, height, bits, LF_FORMAT_ICO), nullptr);
    std::mt19937 rng(seed);
    for (uint32_t i = 0; i < image.NumColors(); ++i)
        image.SetPaletteColor(i, LfRgbQuad{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0});
    for (uint32_t y = 0; y < height; ++y) {
        uint8_t* row = image.Row(y);
        for (uint32_t i = 0; i < image.EffectiveWidth(); ++i) row[i] = uint8_t(rng());
    }
}

bool Decode(LfImageICO& image, const Bytes& file, int32_t frame = 0, int32_t escape = 0) {
    image.SetCurrentFrame(frame);
    image.SetEscape(escape);
    return peer::DecodeWith(image, file);
}

// One image of a hand-made icon: the directory size, the bitmap's bit count and its parts.
struct IcoImage {
    uint8_t width = 2, height = 2;
    uint16_t bitCount = 24;
    Bytes palette;  // 4-byte entries as stored
    Bytes pixels;   // rows bottom-up, padded
    Bytes mask;     // rows bottom-up, padded to 4 bytes
    Bytes raw;      // when set, the image data instead of a bitmap (a PNG stream)
};

Bytes MakeIco(const std::vector<IcoImage>& images, uint16_t type = 1) {
    Bytes out;
    Put16(out, 0);
    Put16(out, type);
    Put16(out, uint32_t(images.size()));
    std::vector<Bytes> data;
    for (const IcoImage& im : images) {
        Bytes d = im.raw;
        if (d.empty()) {
            Put32(d, 40);
            Put32(d, im.width);
            Put32(d, 2u * im.height);
            Put16(d, 1);
            Put16(d, im.bitCount);
            Put32(d, 0);
            Put32(d, uint32_t(im.pixels.size()));
            for (int i = 0; i < 4; ++i) Put32(d, 0);
            for (const Bytes* part : {&im.palette, &im.pixels, &im.mask}) d.insert(d.end(), part->begin(), part->end());
        }
        data.push_back(d);
    }
    uint32_t offset = 6 + 16 * uint32_t(images.size());
    for (size_t i = 0; i < images.size(); ++i) {
        out.insert(out.end(), {images[i].width, images[i].height, 0, 0});
        Put16(out, 1);
        Put16(out, images[i].bitCount);
        Put32(out, uint32_t(data[i].size()));
        Put32(out, offset);
        offset += uint32_t(data[i].size());
    }
    for (const Bytes& d : data) out.insert(out.end(), d.begin(), d.end());
    return out;
}

// Transparency as our picture says it, whichever way the decoder expressed it: alpha plane,
// transparent palette index, or transparent colour of a 24-bit picture.
uint8_t OurAlpha(const LfImage& image, uint32_t x, uint32_t y) {
    if (image.AlphaIsValid()) return image.AlphaGet(x, y);
    if (!image.IsTransparent()) return 255;
    if (image.IsIndexed()) return image.PixelIndex(x, y) == image.TransparentIndex() ? 0 : 255;
    const LfRgbQuad c = image.PixelColor(x, y, false), t = image.TransparentColor();
    return c.red == t.red && c.green == t.green && c.blue == t.blue ? 0 : 255;
}

// Compares our picture with a peer's RGBA (rows top-down): alpha everywhere, colour where
// the pixel is not fully transparent (icons leave any colour under the mask).
void ExpectSamePicture(const LfImage& ours, const peer::Rgba& theirs) {
    ASSERT_EQ(ours.Width(), theirs.width);
    ASSERT_EQ(ours.Height(), theirs.height);
    size_t differing = 0;
    std::string first;
    for (uint32_t r = 0; r < theirs.height; ++r)
        for (uint32_t x = 0; x < theirs.width; ++x) {
            const uint32_t y = theirs.height - 1 - r;
            const uint8_t* p = theirs.At(x, r);
            const LfRgbQuad c = ours.PixelColor(x, y, false);
            const uint8_t a = OurAlpha(ours, x, y);
            const bool same = a == p[3] && (a == 0 || (c.red == p[0] && c.green == p[1] && c.blue == p[2]));
            if (!same && differing++ == 0) {
                std::ostringstream s;
                s << "first at x=" << x << " row from top " << r << ": ours " << int(c.red) << "," << int(c.green)
                  << "," << int(c.blue) << "," << int(a) << " theirs " << int(p[0]) << "," << int(p[1]) << ","
                  << int(p[2]) << "," << int(p[3]);
                first = s.str();
            }
        }
    EXPECT_EQ(differing, 0u) << first;
}

// ---------------------------------------------------------------------------------------
// Layout

// Catches a wrong byte count, offset, doubled height, planes field or padding.
TEST(IcoLayout, ThirtyTwoSquareTwentyFourBitIs3262Bytes) {
    LfImage image;
    FillPattern(image, 32, 32, 24, 1);
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_ICO);
    ASSERT_EQ(file.size(), 3262u);
    EXPECT_EQ(Get16(file, 0), 0u);
    EXPECT_EQ(Get16(file, 2), 1u);
    EXPECT_EQ(Get16(file, 4), 1u);
    EXPECT_EQ(Bytes(file.begin() + 6, file.begin() + 10), (Bytes{32, 32, 0, 0}));
    EXPECT_EQ(Get16(file, 10), 0u);  // planes
    EXPECT_EQ(Get16(file, 12), 24u);
    EXPECT_EQ(Get32(file, 14), 3240u);
    EXPECT_EQ(Get32(file, 18), 22u);
    const Bytes expectedInfo = [] {
        Bytes b;
        for (uint32_t v : {40u, 32u, 64u}) Put32(b, v);
        Put16(b, 1);
        Put16(b, 24);
        for (uint32_t v : {0u, 3072u, 0u, 0u, 0u, 0u}) Put32(b, v);
        return b;
    }();
    EXPECT_EQ(Bytes(file.begin() + 22, file.begin() + 62), expectedInfo);
    EXPECT_TRUE(std::equal(file.begin() + 62, file.begin() + 62 + 3072, image.Row(0)));
    EXPECT_TRUE(std::all_of(file.begin() + 3134, file.end(), [](uint8_t b) { return b == 0; }));
}

// Catches alpha dropped, pixels left padded as 24-bit rows, or a mask ignoring alpha 0.
TEST(IcoLayout, AlphaPlaneIsWrittenAsThirtyTwoBitsAndMasksAlphaZero) {
    LfImage image;
    FillPattern(image, 32, 32, 24, 2);
    ASSERT_TRUE(image.AlphaCreate());
    for (uint32_t y = 0; y < 32; ++y)
        for (uint32_t x = 0; x < 32; ++x) image.AlphaSet(x, y, uint8_t((x + y) % 3 == 0 ? 0 : 8 * x));
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_ICO);
    ASSERT_EQ(file.size(), 22u + 40 + 4096 + 128);
    EXPECT_EQ(Get16(file, 12), 32u);
    EXPECT_EQ(Get32(file, 14), 40u + 4096 + 128);
    EXPECT_EQ(Get16(file, 22 + 14), 32u);
    EXPECT_EQ(Get32(file, 22 + 20), 4096u);
    for (uint32_t y = 0; y < 32; ++y)
        for (uint32_t x = 0; x < 32; ++x) {
            const size_t at = 62 + 4 * (32 * y + x);
            ASSERT_TRUE(std::equal(file.begin() + at, file.begin() + at + 3, image.Row(y) + 3 * x));
            ASSERT_EQ(file[at + 3], image.AlphaGet(x, y));
            const bool maskBit = file[62 + 4096 + 4 * y + x / 8] & (0x80 >> (x % 8));
            ASSERT_EQ(maskBit, image.AlphaGet(x, y) == 0) << x << "," << y;
        }
}

// The transparent entry goes out black and every pixel of its colour is masked; the
// caller's palette is the same afterwards.
TEST(IcoLayout, TransparentIndexIsWrittenBlackAndMasked) {
    LfImage image;
    FillPattern(image, 5, 3, 8, 3);
    for (uint32_t x = 0; x < 5; ++x) image.SetPixelIndex(x, 1, x % 2 ? 7 : 9);
    image.SetPaletteColor(200, image.PaletteColor(7));  // same colour under another index
    image.SetPixelIndex(4, 2, 200);
    image.SetTransparentIndex(7);
    const Bytes before = peer::Snapshot(image);
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_ICO);
    EXPECT_EQ(peer::Snapshot(image), before);
    ASSERT_EQ(file.size(), 22u + 40 + 1024 + 8 * 3 + 4 * 3);
    EXPECT_EQ(file[8], 0);  // colour count 256 stored in 8 bits
    EXPECT_EQ(Get32(file, 62 + 4 * 7), 0u);
    EXPECT_EQ(Get32(file, 62 + 4 * 9) & 0xFFFFFF, Get32(Bytes(before.begin() + 40 + 36, before.begin() + 40 + 40), 0) & 0xFFFFFF);
    const size_t mask = 62 + 1024 + 8 * 3;
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 5; ++x) {
            const LfRgbQuad c = image.PixelColor(x, y, false), t = image.PaletteColor(7);
            const bool expected = c.red == t.red && c.green == t.green && c.blue == t.blue;
            ASSERT_EQ(bool(file[mask + 4 * y] & (0x80 >> x)), expected) << x << "," << y;
        }
}

// Sides over 255 do not fit the directory: the data is a PNG stream and the entry says 0.
TEST(IcoLayout, ThreeHundredByTwoHundredIsStoredAsPng) {
    LfImage image;
    FillPattern(image, 300, 200, 24, 4);
    ASSERT_TRUE(image.AlphaCreate());
    image.AlphaSet(10, 10, 0);
    image.AlphaSet(11, 10, 77);
    const Bytes file = peer::EncodeToBytes(image, LF_FORMAT_ICO);
    ASSERT_GT(file.size(), 30u);
    EXPECT_EQ(file[6], 0);
    EXPECT_EQ(file[7], 0);
    EXPECT_EQ(Get32(file, 14), file.size() - 22);
    EXPECT_EQ(Get32(file, 18), 22u);
    EXPECT_EQ(Bytes(file.begin() + 22, file.begin() + 30), (Bytes{0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}));

    LfImageICO probe;
    ASSERT_TRUE(Decode(probe, file, 0, -1)) << probe.LastError();
    EXPECT_EQ(probe.Width(), 300u);
    EXPECT_EQ(probe.Height(), 200u);
    LfImageICO back;
    ASSERT_TRUE(Decode(back, file)) << back.LastError();
    EXPECT_EQ(back.Type(), uint32_t(LF_FORMAT_ICO));
    EXPECT_EQ(back.NumFrames(), 1);
    EXPECT_EQ(peer::Snapshot(back), peer::Snapshot(image));
}

// Every depth comes back with its pixels and palette, and no transparency appears from an
// all-clear mask.
TEST(IcoLayout, EveryDepthRoundTrips) {
    for (uint32_t bits : {1u, 4u, 8u, 24u}) {
        SCOPED_TRACE(bits);
        LfImage image;
        FillPattern(image, 19, 7, bits, bits);
        LfImage back;
        ASSERT_TRUE(peer::DecodeBytes(back, peer::EncodeToBytes(image, LF_FORMAT_ICO), LF_FORMAT_ICO)) << back.LastError();
        EXPECT_EQ(back.BitCount(), bits);
        EXPECT_FALSE(back.IsTransparent());
        EXPECT_FALSE(back.AlphaIsValid());
        EXPECT_EQ(peer::Snapshot(back), peer::Snapshot(image));
    }
}

TEST(IcoLayout, ShortWriteIsAFailure) {
    for (uint32_t width : {16u, 300u}) {
        LfImage image;
        FillPattern(image, width, 16, 24, 5);
        for (size_t room : {0u, 6u, 22u, 62u, 700u}) {
            SCOPED_TRACE(room);
            peer::FailingStream out(room);
            EXPECT_FALSE(image.Encode(&out, LF_FORMAT_ICO));
            EXPECT_STREQ(image.LastError(), "Write Error in ICO file");
        }
    }
}

// Header, then each image's entry, then each image's data, on one codec object: catches
// entries whose offsets do not follow one another.
TEST(IcoLayout, SeveralImagesInOneFileThroughTheAppendCalls) {
    LfImage small, large;
    FillPattern(small, 16, 16, 8, 6);
    FillPattern(large, 40, 24, 24, 7);
    LfMemFile out;
    out.Open();
    LfImageICO writer;
    writer.Ghost(&small);
    ASSERT_TRUE(writer.Encode(&out, false, 2));
    for (int pass = 0; pass < 2; ++pass)
        for (LfImage* image : {&small, &large}) {
            image->info.numFrames = pass == 0 ? 2 : 0;
            writer.Ghost(image);
            ASSERT_TRUE(writer.Encode(&out, true, 2));
        }
    const Bytes file(out.GetBuffer(false), out.GetBuffer(false) + out.Size());
    EXPECT_EQ(Get16(file, 4), 2u);
    EXPECT_EQ(Get32(file, 18), 38u);
    EXPECT_EQ(Get32(file, 34), 38u + Get32(file, 14));
    EXPECT_EQ(file.size(), 38u + Get32(file, 14) + Get32(file, 30));
    int32_t frame = 0;
    for (LfImage* image : {&small, &large}) {
        SCOPED_TRACE(frame);
        LfImageICO back;
        ASSERT_TRUE(Decode(back, file, frame++)) << back.LastError();
        EXPECT_EQ(back.NumFrames(), 2);
        image->info.numFrames = 0;
        EXPECT_EQ(peer::Snapshot(back), peer::Snapshot(*image));
    }
}

// ---------------------------------------------------------------------------------------
// Decode: mask rules, cursors, frames

// A 2 x 2 24-bit image: bottom row red, green; top row blue, white.
IcoImage TwoByTwo(Bytes mask) {
    IcoImage im;
    im.pixels = {0, 0, 255, 0, 255, 0, 0, 0, 255, 0, 0, 255, 255, 255, 0, 0};
    im.mask = std::move(mask);
    return im;
}

TEST(IcoDecode, AllOnesMaskGivesTransparentIndexZeroAndNegatedColours) {
    LfImageICO image;
    ASSERT_TRUE(Decode(image, MakeIco({TwoByTwo(Bytes(8, 0xFF))})));
    EXPECT_EQ(image.TransparentIndex(), 0);
    EXPECT_EQ(image.PixelColor(0, 0, false), (LfRgbQuad{255, 255, 0, 0}));
    EXPECT_EQ(image.PixelColor(1, 1, false), (LfRgbQuad{0, 0, 0, 0}));
}

// Each row is a mask over the 2 x 2 picture and what it must turn into.
TEST(IcoDecode, MaskBecomesKeyColourOrAlphaPlaneWithoutLosingPixels) {
    // Bottom-up mask rows of 4 bytes; bit 7 is x = 0.
    const Bytes none(8, 0), bottomLeft = {0x80, 0, 0, 0, 0, 0, 0, 0}, diagonal = {0x80, 0, 0, 0, 0x40, 0, 0, 0};
    LfImageICO plain, key, mixed;
    ASSERT_TRUE(Decode(plain, MakeIco({TwoByTwo(none)})));
    EXPECT_FALSE(plain.IsTransparent());
    EXPECT_FALSE(plain.AlphaIsValid());

    ASSERT_TRUE(Decode(key, MakeIco({TwoByTwo(bottomLeft)})));
    EXPECT_TRUE(key.IsTransparent());
    EXPECT_FALSE(key.AlphaIsValid());
    EXPECT_EQ(key.TransparentColor(), (LfRgbQuad{0, 0, 255, 0}));

    // Two colours under the mask: no single key, the plane stays.
    ASSERT_TRUE(Decode(mixed, MakeIco({TwoByTwo(diagonal)})));
    EXPECT_FALSE(mixed.IsTransparent());
    ASSERT_TRUE(mixed.AlphaIsValid());
    EXPECT_EQ(mixed.AlphaGet(0, 0), 0);
    EXPECT_EQ(mixed.AlphaGet(1, 1), 0);
    EXPECT_EQ(mixed.AlphaGet(1, 0), 255);

    // The masked colour also shows unmasked: a key would make that pixel transparent too.
    IcoImage twice = TwoByTwo(bottomLeft);
    std::copy_n(twice.pixels.begin(), 3, twice.pixels.begin() + 8);  // top-left red as well
    LfImageICO shared;
    ASSERT_TRUE(Decode(shared, MakeIco({twice})));
    EXPECT_FALSE(shared.IsTransparent());
    ASSERT_TRUE(shared.AlphaIsValid());
    EXPECT_EQ(shared.AlphaGet(0, 0), 0);
    EXPECT_EQ(shared.AlphaGet(0, 1), 255);
}

// 32-bit icons: the alpha values rule and the mask is not applied over them; fourth bytes
// that are all 0 mean no alpha, and the mask decides.
TEST(IcoDecode, ThirtyTwoBitAlphaRulesAndZeroAlphaDefersToTheMask) {
    IcoImage im;
    im.bitCount = 32;
    im.pixels = {1, 2, 3, 0, 4, 5, 6, 128, 7, 8, 9, 255, 10, 11, 12, 255};
    im.mask = {0xC0, 0, 0, 0, 0, 0, 0, 0};  // both bottom pixels, as writers mask low alpha
    LfImageICO partial;
    ASSERT_TRUE(Decode(partial, MakeIco({im})));
    ASSERT_TRUE(partial.AlphaIsValid());
    EXPECT_FALSE(partial.IsTransparent());
    EXPECT_EQ(partial.AlphaGet(0, 0), 0);
    EXPECT_EQ(partial.AlphaGet(1, 0), 128);
    EXPECT_EQ(partial.AlphaGet(0, 1), 255);
    EXPECT_EQ(partial.PixelColor(1, 1, false), (LfRgbQuad{10, 11, 12, 0}));

    // Even a mask of all ones leaves the colours of an icon with alpha alone.
    im.mask.assign(8, 0xFF);
    LfImageICO allMasked;
    ASSERT_TRUE(Decode(allMasked, MakeIco({im})));
    EXPECT_EQ(allMasked.PixelColor(1, 1, false), (LfRgbQuad{10, 11, 12, 0}));
    EXPECT_EQ(allMasked.AlphaGet(1, 0), 128);

    im.mask = {0x80, 0, 0, 0, 0, 0, 0, 0};
    for (size_t i = 3; i < 16; i += 4) im.pixels[i] = 0;
    LfImageICO zero;
    ASSERT_TRUE(Decode(zero, MakeIco({im})));
    EXPECT_FALSE(zero.AlphaIsValid());
    EXPECT_TRUE(zero.IsTransparent());
    EXPECT_EQ(zero.TransparentColor(), (LfRgbQuad{1, 2, 3, 0}));
}

// Masked pixels take the highest index no pixel uses, which becomes transparent.
TEST(IcoDecode, FourBitMaskedPixelsTakeTheHighestUnusedIndex) {
    IcoImage im;
    im.width = 4;
    im.height = 1;
    im.bitCount = 4;
    for (int i = 0; i < 16; ++i) im.palette.insert(im.palette.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
    im.pixels = {0x0F, 0x3E, 0, 0};           // indices 0, 15, 3, 14
    im.mask = {0x50, 0, 0, 0};                // x = 1 and x = 3
    LfImageICO image;
    ASSERT_TRUE(Decode(image, MakeIco({im})));
    EXPECT_EQ(image.BitCount(), 4u);
    EXPECT_EQ(image.TransparentIndex(), 13);
    EXPECT_FALSE(image.AlphaIsValid());
    const uint8_t expected[4] = {0, 13, 3, 13};
    for (int x = 0; x < 4; ++x) EXPECT_EQ(image.PixelIndex(x, 0), expected[x]) << x;
}

TEST(IcoDecode, CursorsFramesAndProbes) {
    IcoImage first = TwoByTwo(Bytes(8, 0));
    IcoImage second;
    second.width = 3;
    second.height = 1;
    second.bitCount = 1;
    second.palette = {0, 0, 0, 0, 255, 255, 255, 0};
    second.pixels = {0xA0, 0, 0, 0};
    second.mask = {0, 0, 0, 0};
    for (uint16_t type : {1, 2}) {
        SCOPED_TRACE(type);
        const Bytes file = MakeIco({first, second}, type);
        LfImageICO a, b, probe;
        ASSERT_TRUE(Decode(a, file, 0));
        EXPECT_EQ(a.Width(), 2u);
        EXPECT_EQ(a.PixelColor(1, 0, false), (LfRgbQuad{0, 255, 0, 0}));
        ASSERT_TRUE(Decode(b, file, 1));
        EXPECT_EQ(b.Width(), 3u);
        EXPECT_EQ(b.PixelColor(0, 0, false), (LfRgbQuad{255, 255, 255, 0}));
        EXPECT_EQ(b.PixelColor(1, 0, false), (LfRgbQuad{0, 0, 0, 0}));
        EXPECT_EQ(b.NumFrames(), 2);
        ASSERT_TRUE(Decode(probe, file, 1, -1));
        EXPECT_EQ(probe.Width(), 3u);
        EXPECT_FALSE(probe.IsValid());
    }
    // Out of range through the dispatch: refused, and the caller learns how many there are.
    LfImage image;
    image.SetCurrentFrame(2);
    EXPECT_FALSE(peer::DecodeBytes(image, MakeIco({first, second}), LF_FORMAT_ICO));
    EXPECT_EQ(image.NumFrames(), 2);
}

// ---------------------------------------------------------------------------------------
// Malformed

TEST(IcoMalformed, HostileDirectoriesAndHeadersAreRefused) {
    const Bytes good = MakeIco({TwoByTwo(Bytes(8, 0))});
    auto with = [&](size_t at, std::initializer_list<uint8_t> bytes) {
        Bytes b = good;
        std::copy(bytes.begin(), bytes.end(), b.begin() + at);
        return b;
    };
    const struct { const char* name; Bytes file; const char* message; } cases[] = {
        {"reserved 1", with(0, {1}), "Not an ICO"},
        {"type 3", with(2, {3}), "Not an ICO"},
        {"no entries", with(4, {0, 0}), "ICO frame out of range"},
        {"65535 entries", with(4, {0xFF, 0xFF}), "ICO directory exceeds the file"},
        {"offset past the end", with(18, {0xFF, 0xFF, 0, 0}), "ICO image outside the file"},
        {"offset 4 GiB", with(18, {0xF0, 0xFF, 0xFF, 0xFF}), "ICO image outside the file"},
        {"bit count 16", with(22 + 14, {16}), "unsupported ICO bit count"},
        {"bit count 0", with(22 + 14, {0}), "unsupported ICO bit count"},
        {"1000 colours", with(22 + 32, {0xE8, 0x03}), "Error reading ICO info"},
        {"core header", with(22, {12}), "Error reading ICO info"},
        {"PNG that is not", with(22, {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'}), nullptr},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        for (int escape : {0, -1}) {
            LfImageICO image;
            EXPECT_FALSE(Decode(image, c.file, 0, escape));
            if (c.message) {
                EXPECT_STREQ(image.LastError(), c.message);
            }
        }
    }
}

// A header larger than the directory entry claims is read only as far as the picture made
// from the entry reaches; a file cut anywhere fails cleanly or keeps what it has.
TEST(IcoMalformed, EveryTruncationFailsCleanlyOrDecodesWithoutMask) {
    IcoImage im;
    im.width = 5;
    im.height = 2;
    im.bitCount = 4;
    for (int i = 0; i < 16; ++i) im.palette.insert(im.palette.end(), {uint8_t(16 * i), 0, 0, 0});
    im.pixels = {0x12, 0x34, 0x50, 0, 0x67, 0x89, 0xA0, 0};
    im.mask = {0x08, 0, 0, 0, 0, 0, 0, 0};
    const Bytes file = MakeIco({im});
    const size_t pixelsEnd = 22 + 40 + 64 + 8;
    for (size_t n = 0; n <= file.size(); ++n) {
        SCOPED_TRACE(n);
        LfImageICO image;
        const bool ok = Decode(image, Bytes(file.begin(), file.begin() + n));
        ASSERT_EQ(ok, n >= 22 + 40);
        if (!ok) continue;
        EXPECT_EQ(image.IsTransparent(), n == file.size());
        if (n >= pixelsEnd) {
            EXPECT_EQ(image.PixelIndex(3, 1), 9);
            EXPECT_EQ(image.PixelIndex(4, 0), n == file.size() ? 15 : 5);  // the masked pixel
        }
    }
}

// ---------------------------------------------------------------------------------------
// Peers: Pillow and ImageMagick

// Every entry of an icon as Pillow decodes it, keyed by the entry's image offset.
std::map<uint32_t, peer::Rgba> PillowEntries(const fs::path& file) {
    static const char* kScript = R"PY(
import sys
from PIL import IcoImagePlugin
ico = IcoImagePlugin.IcoFile(open(sys.argv[1], 'rb'))
for i, e in enumerate(ico.entry):
    im = ico.frame(i).convert('RGBA')
    open('%s/%d.rgba' % (sys.argv[2], e['offset']), 'wb').write(('%d %d\n' % im.size).encode() + im.tobytes())
)PY";
    TempDir dir;
    std::ofstream(dir / "dump.py") << kScript;
    testsupport::Run(testsupport::Python() + " " + ShellQuote((dir / "dump.py").string()) + " " +
                     ShellQuote(file.string()) + " " + ShellQuote(dir.path().string()) + " 2>&1");
    std::map<uint32_t, peer::Rgba> out;
    for (const auto& f : fs::directory_iterator(dir.path())) {
        if (f.path().extension() != ".rgba") continue;
        const Bytes raw = testsupport::ReadFile(f.path());
        const auto newline = std::find(raw.begin(), raw.end(), '\n');
        peer::Rgba rgba;
        std::istringstream(std::string(raw.begin(), newline)) >> rgba.width >> rgba.height;
        rgba.pixels.assign(newline + 1, raw.end());
        out[uint32_t(std::stoul(f.path().stem().string()))] = rgba;
    }
    return out;
}

// Decodes every entry with ours (frame by frame) and compares it with Pillow's.
void ExpectEveryEntryMatchesPillow(const fs::path& file, size_t expectedEntries) {
    const Bytes bytes = testsupport::ReadFile(file);
    ASSERT_GE(bytes.size(), 6u);
    const uint32_t count = Get16(bytes, 4);
    ASSERT_EQ(count, expectedEntries);
    const auto theirs = PillowEntries(file);
    ASSERT_EQ(theirs.size(), count) << "Pillow could not read every entry";
    for (uint32_t i = 0; i < count; ++i) {
        SCOPED_TRACE("entry " + std::to_string(i));
        LfImage ours;
        ours.SetCurrentFrame(int32_t(i));
        ASSERT_TRUE(ours.Load(file.c_str(), LF_FORMAT_ICO)) << ours.LastError();
        EXPECT_EQ(ours.NumFrames(), int32_t(count));
        ExpectSamePicture(ours, theirs.at(Get32(bytes, 6 + 16 * i + 12)));
    }
}

// Runs a Python snippet with `src` (a 64 x 64 RGBA picture with soft edges) and `out`.
void PillowWrites(const fs::path& out, const std::string& code) {
    const std::string script =
        "import sys\nfrom PIL import Image, ImageDraw\nout = sys.argv[1]\n"
        "src = Image.new('RGBA', (64, 64), (0, 0, 0, 0))\nd = ImageDraw.Draw(src)\n"
        "d.ellipse((4, 4, 60, 60), fill=(200, 40, 90, 255))\nd.rectangle((20, 10, 44, 30), fill=(30, 160, 220, 120))\n" +
        code;
    testsupport::Run(testsupport::Python() + " -c " + ShellQuote(script) + " " + ShellQuote(out.string()) + " 2>&1");
}

TEST(IcoPeers, PillowIconsDecodeToPillowsPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow (python3-pil, python3-numpy)");
    const struct { const char* name; const char* code; size_t entries; } cases[] = {
        {"png sizes", "src.save(out, sizes=[(16, 16), (32, 32), (64, 64)])", 3},
        {"bmp 32-bit", "src.save(out, sizes=[(16, 16), (48, 48)], bitmap_format='bmp')", 2},
        {"bmp 8-bit", "src.convert('RGB').quantize(50).save(out, sizes=[(64, 64)], bitmap_format='bmp')", 1},
        {"bmp 1-bit", "src.convert('1').save(out, sizes=[(64, 64)], bitmap_format='bmp')", 1},
        {"png 256", "src.resize((256, 256)).save(out, sizes=[(256, 256)])", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        PillowWrites(dir / "in.ico", c.code);
        ASSERT_TRUE(fs::exists(dir / "in.ico"));
        ExpectEveryEntryMatchesPillow(dir / "in.ico", c.entries);
    }
}

TEST(IcoPeers, ImageMagickIconsDecodeToPillowsPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow (python3-pil, python3-numpy)");
    GLINTWISE_NEED_PEER(testsupport::HaveTool("convert-im6.q16"), "ImageMagick's convert-im6.q16");
    const struct { const char* name; const char* args; size_t entries; } cases[] = {
        {"alpha, several sizes", "-define icon:auto-resize=16,32,48,256", 4},
        {"opaque", "-background white -flatten -define icon:auto-resize=24", 1},
        {"palette", "-background white -flatten -colors 12 -type palette -define icon:auto-resize=32", 1},
        {"two colours", "-background white -flatten -monochrome -define icon:auto-resize=32", 1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir dir;
        PillowWrites(dir / "src.png", "src.save(out)");
        testsupport::Run("convert-im6.q16 " + ShellQuote((dir / "src.png").string()) + " " + c.args + " " +
                         ShellQuote((dir / "in.ico").string()) + " 2>&1");
        ASSERT_TRUE(fs::exists(dir / "in.ico"));
        ExpectEveryEntryMatchesPillow(dir / "in.ico", c.entries);
    }
}

// What we write, Pillow reads back to our pixels and transparency.
TEST(IcoPeers, PillowReadsOurIcons) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow (python3-pil, python3-numpy)");
    struct Case {
        const char* name;
        uint32_t width, height, bits;
        bool alpha;
        int32_t transparentIndex;
    };
    const Case cases[] = {
        {"1-bit", 33, 17, 1, false, -1},        {"4-bit", 16, 16, 4, false, -1},
        {"8-bit", 31, 9, 8, false, -1},         {"8-bit transparent", 20, 20, 8, false, 5},
        {"24-bit", 48, 48, 24, false, -1},      {"24-bit alpha", 32, 32, 24, true, -1},
        {"PNG form", 300, 200, 24, true, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImage image;
        FillPattern(image, c.width, c.height, c.bits, c.width);
        if (c.transparentIndex >= 0) {
            for (uint32_t x = 0; x < c.width; ++x) image.SetPixelIndex(x, 3, uint8_t(c.transparentIndex));
            image.SetTransparentIndex(c.transparentIndex);
        }
        if (c.alpha) {
            ASSERT_TRUE(image.AlphaCreate());
            for (uint32_t y = 0; y < c.height; ++y)
                for (uint32_t x = 0; x < c.width; ++x) image.AlphaSet(x, y, uint8_t(x % 4 == 0 ? 0 : 40 * (y % 7)));
        }
        TempDir dir;
        ASSERT_TRUE(image.Save((dir / "ours.ico").c_str(), LF_FORMAT_ICO)) << image.LastError();
        const auto theirs = PillowEntries(dir / "ours.ico");
        ASSERT_EQ(theirs.size(), 1u);
        ExpectSamePicture(image, theirs.begin()->second);
    }
}

}  // namespace

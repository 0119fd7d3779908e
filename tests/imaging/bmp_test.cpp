// The BMP codec: what the encoder writes (Layout), every header and compression variant the
// decoder reads (Decode variants), agreement with files written and read by other tools
// (Peers, real files), and hostile input (Malformed).
#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "LfFile.h"
#include "LfImage.h"
#include "LfImageBMP.h"
#include "TestSupport.h"

using namespace testsupport;

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
uint32_t Get16(const Bytes& b, size_t at) { return b[at] | (b[at + 1] << 8); }
uint32_t Get32(const Bytes& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
void Set32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void Set16(Bytes& b, size_t at, uint32_t v) {
    b[at] = static_cast<uint8_t>(v);
    b[at + 1] = static_cast<uint8_t>(v >> 8);
}

// A BMP file described field by field; MakeBmp lays it out.
struct BmpSpec {
    bool fileHeader = true;
    uint32_t headerSize = 40;
    int32_t width = 4;
    int32_t height = 2;
    uint16_t planes = 1;
    uint16_t bitCount = 24;
    uint32_t compression = 0;
    uint32_t imageSize = 0;
    int32_t pelsPerMeter = 3780;
    uint32_t colorsUsed = 0;
    std::vector<uint32_t> masks;  // at offset 40 of the info header (after a 40-byte one)
    Bytes palette;                // raw entries as they go into the file
    Bytes pixels;
};

Bytes MakeBmp(const BmpSpec& s) {
    Bytes info;
    if (s.headerSize == 12) {
        Put32(info, 12);
        Put16(info, static_cast<uint32_t>(s.width));
        Put16(info, static_cast<uint32_t>(s.height));
        Put16(info, s.planes);
        Put16(info, s.bitCount);
    } else {
        Put32(info, s.headerSize);
        Put32(info, static_cast<uint32_t>(s.width));
        Put32(info, static_cast<uint32_t>(s.height));
        Put16(info, s.planes);
        Put16(info, s.bitCount);
        Put32(info, s.compression);
        Put32(info, s.imageSize);
        Put32(info, static_cast<uint32_t>(s.pelsPerMeter));
        Put32(info, static_cast<uint32_t>(s.pelsPerMeter));
        Put32(info, s.colorsUsed);
        Put32(info, 0);
        for (uint32_t m : s.masks) Put32(info, m);
        if (info.size() < s.headerSize) info.resize(s.headerSize, 0);
    }
    Bytes out;
    if (s.fileHeader) {
        const uint32_t offset = static_cast<uint32_t>(14 + info.size() + s.palette.size());
        out = {'B', 'M'};
        Put32(out, static_cast<uint32_t>(offset + s.pixels.size()));
        Put32(out, 0);
        Put32(out, offset);
    }
    out.insert(out.end(), info.begin(), info.end());
    out.insert(out.end(), s.palette.begin(), s.palette.end());
    out.insert(out.end(), s.pixels.begin(), s.pixels.end());
    return out;
}

bool DecodeBytes(const Bytes& file, LfImageBMP& image, int32_t startAt = 0) {
    Bytes copy = file;
    LfMemFile stream(copy.empty() ? nullptr : copy.data(), static_cast<int32_t>(copy.size()));
    stream.Seek(startAt, SEEK_SET);
    return image.Decode(&stream);
}

Bytes EncodeBytes(LfImageBMP& image) {
    LfMemFile stream;
    stream.Open();
    EXPECT_TRUE(image.Encode(&stream)) << image.LastError();
    const uint8_t* data = stream.GetBuffer(false);
    return Bytes(data, data + stream.Size());
}

LfRgbQuad Rgb(uint8_t r, uint8_t g, uint8_t b, uint8_t a = 0) { return LfRgbQuad{b, g, r, a}; }

std::string Show(LfRgbQuad c) {
    std::ostringstream s;
    s << "rgba(" << int(c.red) << "," << int(c.green) << "," << int(c.blue) << "," << int(c.alpha) << ")";
    return s.str();
}

// A picture of distinct colours, reproducible.
void FillPattern(LfImage& image, uint32_t seed) {
    std::mt19937 rng(seed);
    for (uint32_t y = 0; y < image.Height(); ++y) {
        uint8_t* row = image.Row(y);
        for (uint32_t i = 0; i < image.EffectiveWidth(); ++i) row[i] = static_cast<uint8_t>(rng());
    }
    if (image.IsIndexed())
        for (uint32_t i = 0; i < image.NumColors(); ++i)
            image.SetPaletteColor(static_cast<uint8_t>(i),
                                  Rgb(uint8_t(rng()), uint8_t(rng()), uint8_t(rng())));
}

// ---------------------------------------------------------------------------------------
// Reference pixels from other tools

struct Reference {
    int width = 0;
    int height = 0;
    Bytes rgba;  // top row first
};

// Pillow's decode of a file, as RGBA rows from the top.
bool PillowPixels(const fs::path& file, Reference& ref, std::string* error) {
    TempDir tmp;
    const fs::path raw = tmp / "pixels.rgba";
    const std::string script =
        "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1]); im.load()\n"
        "open(sys.argv[2], 'wb').write(im.convert('RGBA').tobytes())\n"
        "print(im.size[0], im.size[1])\n";
    std::string out;
    if (Run(Python() + " -c " + ShellQuote(script) + " " + ShellQuote(file.string()) + " " +
                ShellQuote(raw.string()) + " 2>&1",
            &out) != 0) {
        *error = out;
        return false;
    }
    std::istringstream(out) >> ref.width >> ref.height;
    ref.rgba = ReadFile(raw);
    return ref.width > 0 && ref.rgba.size() == size_t(ref.width) * ref.height * 4;
}

// ImageMagick's decode of a file of known size, as RGBA rows from the top. It warns (and
// exits non-zero) about RLE files that end without padding, so only the output counts.
bool MagickPixels(const fs::path& file, int width, int height, Reference& ref, std::string* error) {
    TempDir tmp;
    const fs::path raw = tmp / "pixels.rgba";
    Run("convert-im6.q16 " + ShellQuote(file.string()) + " -depth 8 rgba:" +
            ShellQuote(raw.string()) + " 2>&1",
        error);
    ref.width = width;
    ref.height = height;
    ref.rgba = ReadFile(raw);
    return ref.rgba.size() == size_t(width) * height * 4;
}

// How closely our pixels must match: the number of significant bits per channel (16-bit
// files carry 5 or 6) and whether alpha is compared.
struct Precision {
    int red = 8, green = 8, blue = 8;
    bool alpha = false;
};

// Compares every pixel; our rows are bottom-up, the reference's top-down.
void ExpectSamePixels(const LfImage& image, const Reference& ref, Precision p = {}) {
    ASSERT_EQ(image.Width(), uint32_t(ref.width));
    ASSERT_EQ(image.Height(), uint32_t(ref.height));
    auto top = [](int v, int bits) { return v >> (8 - bits); };
    size_t mismatches = 0;
    std::string first;
    for (int r = 0; r < ref.height; ++r)
        for (int x = 0; x < ref.width; ++x) {
            const uint8_t* e = &ref.rgba[(size_t(r) * ref.width + x) * 4];
            const LfRgbQuad c = image.PixelColor(x, ref.height - 1 - r);
            const bool same = top(c.red, p.red) == top(e[0], p.red) &&
                              top(c.green, p.green) == top(e[1], p.green) &&
                              top(c.blue, p.blue) == top(e[2], p.blue) &&
                              (!p.alpha || c.alpha == e[3]);
            if (!same && mismatches++ == 0) {
                std::ostringstream s;
                s << "first at x=" << x << " row from top=" << r << ": ours " << Show(c)
                  << " reference rgba(" << int(e[0]) << "," << int(e[1]) << "," << int(e[2])
                  << "," << int(e[3]) << ")";
                first = s.str();
            }
        }
    EXPECT_EQ(mismatches, 0u) << first;
}

bool HavePillow() {
    static const bool have = HavePythonModules("PIL");
    return have;
}

// ---------------------------------------------------------------------------------------
// Layout: what the encoder writes

TEST(BmpLayout, TwentyFourBitFileIsHeadersPlusPaddedRows) {
    LfImageBMP image;
    ASSERT_NE(image.Create(5, 3, 24, LF_FORMAT_BMP), nullptr);
    FillPattern(image, 1);
    const Bytes file = EncodeBytes(image);
    const uint32_t stride = 16;  // 5 x 3 = 15 bytes, padded to 16
    ASSERT_EQ(file.size(), 54u + stride * 3);
    EXPECT_EQ(file[0], 'B');
    EXPECT_EQ(file[1], 'M');
    EXPECT_EQ(Get32(file, 2), file.size());
    EXPECT_EQ(Get32(file, 6), 0u);  // both reserved words
    EXPECT_EQ(Get32(file, 10), 54u);
    EXPECT_EQ(Get32(file, 14), 40u);
    EXPECT_EQ(Get32(file, 18), 5u);
    EXPECT_EQ(Get32(file, 22), 3u);  // positive: rows bottom-up
    EXPECT_EQ(Get16(file, 26), 1u);
    EXPECT_EQ(Get16(file, 28), 24u);
    EXPECT_EQ(Get32(file, 30), 0u);
    EXPECT_EQ(Get32(file, 34), stride * 3);
    EXPECT_EQ(Get32(file, 38), 3780u);  // 96 DPI
    EXPECT_EQ(Get32(file, 42), 3780u);
    EXPECT_EQ(Get32(file, 46), 0u);
    EXPECT_EQ(Get32(file, 50), 0u);
    EXPECT_TRUE(std::equal(file.begin() + 54, file.end(), image.Row(0)));
}

TEST(BmpLayout, EightBitFileCarriesFullPaletteAndPixelsAt1078) {
    LfImageBMP image;
    ASSERT_NE(image.Create(7, 2, 8, LF_FORMAT_BMP), nullptr);
    FillPattern(image, 2);
    const Bytes file = EncodeBytes(image);
    ASSERT_EQ(file.size(), 54u + 1024 + 8 * 2);
    EXPECT_EQ(Get32(file, 10), 1078u);
    EXPECT_EQ(Get32(file, 46), 256u);
    EXPECT_EQ(std::memcmp(file.data() + 54, image.Palette(), 1024), 0);
    EXPECT_EQ(std::memcmp(file.data() + 1078, image.Row(0), 16), 0);
}

TEST(BmpLayout, PaletteDepthsRoundTrip) {
    for (uint32_t bits : {1u, 4u, 8u, 24u}) {
        SCOPED_TRACE(bits);
        LfImageBMP image;
        ASSERT_NE(image.Create(13, 5, bits, LF_FORMAT_BMP), nullptr);
        FillPattern(image, bits);
        const Bytes file = EncodeBytes(image);
        EXPECT_EQ(Get32(file, 10), 54u + (bits <= 8 ? 4u << bits : 0u));
        LfImageBMP back;
        ASSERT_TRUE(DecodeBytes(file, back)) << back.LastError();
        EXPECT_EQ(back.BitCount(), bits);
        for (int y = 0; y < 5; ++y)
            for (int x = 0; x < 13; ++x)
                ASSERT_EQ(back.PixelColor(x, y, false), image.PixelColor(x, y, false)) << x << "," << y;
    }
}

TEST(BmpLayout, TwentyFourBitWithAlphaIsWrittenAsBgraWithoutPadding) {
    LfImageBMP image;
    ASSERT_NE(image.Create(3, 2, 24, LF_FORMAT_BMP), nullptr);
    FillPattern(image, 3);
    ASSERT_TRUE(image.AlphaCreate());
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) image.AlphaSet(x, y, static_cast<uint8_t>(10 * y + x + 1));
    const Bytes file = EncodeBytes(image);
    ASSERT_EQ(file.size(), 54u + 3 * 4 * 2);
    EXPECT_EQ(Get32(file, 2), file.size());
    EXPECT_EQ(Get32(file, 10), 54u);
    EXPECT_EQ(Get16(file, 28), 32u);
    EXPECT_EQ(Get32(file, 30), 0u);
    EXPECT_EQ(Get32(file, 34), 24u);
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 3; ++x) {
            const uint8_t* p = &file[54 + (y * 3 + x) * 4];
            const uint8_t* s = image.Row(y) + 3 * x;
            EXPECT_TRUE(p[0] == s[0] && p[1] == s[1] && p[2] == s[2]) << x << "," << y;
            EXPECT_EQ(p[3], 10 * y + x + 1);
        }
    LfImageBMP back;
    ASSERT_TRUE(DecodeBytes(file, back));
    ASSERT_TRUE(back.AlphaIsValid());
    EXPECT_EQ(back.AlphaGet(2, 1), 13);
    EXPECT_EQ(back.PixelColor(2, 1, false), image.PixelColor(2, 1, false));
}

TEST(BmpLayout, ResolutionIsStoredAsPixelsPerMetreAndReadBack) {
    LfImageBMP image;
    ASSERT_NE(image.Create(2, 2, 24, LF_FORMAT_BMP), nullptr);
    image.SetXDpi(300);
    image.SetYDpi(72);
    const Bytes file = EncodeBytes(image);
    EXPECT_EQ(Get32(file, 38), 11811u);
    EXPECT_EQ(Get32(file, 42), 2835u);
    LfImageBMP back;
    ASSERT_TRUE(DecodeBytes(file, back));
    EXPECT_EQ(back.XDpi(), 300);
    EXPECT_EQ(back.YDpi(), 72);
}

// A stream that takes only the first `room` bytes, like a full disk.
class ShortStream : public LfMemFile {
public:
    explicit ShortStream(size_t room) : room_(room) { Open(); }
    size_t Write(const void* buffer, size_t size, size_t count) override {
        const size_t fits = std::min(count, size ? (room_ - std::min(room_, written_)) / size : 0);
        written_ += fits * size;
        return fits ? LfMemFile::Write(buffer, size, fits) : 0;
    }

private:
    size_t room_;
    size_t written_ = 0;
};

TEST(BmpLayout, ShortWriteIsReportedAsFailure) {
    for (bool withAlpha : {false, true}) {
        SCOPED_TRACE(withAlpha);
        LfImageBMP image;
        ASSERT_NE(image.Create(40, 40, 24, LF_FORMAT_BMP), nullptr);
        if (withAlpha) {
            ASSERT_TRUE(image.AlphaCreate());
        }
        for (size_t room : {size_t(0), size_t(10), size_t(54), size_t(200)}) {
            ShortStream stream(room);
            EXPECT_FALSE(image.Encode(&stream)) << room;
            EXPECT_STREQ(image.LastError(), "Write Error in BMP file");
        }
    }
}

// ---------------------------------------------------------------------------------------
// Decode variants (files built byte by byte)

// A 3 x 2 8-bit picture: bottom row 0 1 2, top row 3 4 5, palette entry i = (10i, 20i, 30i).
BmpSpec EightBitSpec() {
    BmpSpec s;
    s.width = 3;
    s.height = 2;
    s.bitCount = 8;
    s.colorsUsed = 6;
    for (int i = 0; i < 6; ++i) s.palette.insert(s.palette.end(), {uint8_t(30 * i), uint8_t(20 * i), uint8_t(10 * i), 0x77});
    s.pixels = {0, 1, 2, 0, 3, 4, 5, 0};
    return s;
}

void ExpectEightBitPicture(const LfImageBMP& image) {
    ASSERT_TRUE(image.IsValid());
    ASSERT_EQ(image.Width(), 3u);
    ASSERT_EQ(image.Height(), 2u);
    for (int i = 0; i < 6; ++i) {
        const LfRgbQuad c = image.PixelColor(i % 3, i / 3, false);
        EXPECT_EQ(c, Rgb(uint8_t(10 * i), uint8_t(20 * i), uint8_t(30 * i), 0)) << i << " " << Show(c);
    }
}

TEST(BmpDecode, PlainEightBitFileWithShortPaletteAndClearedReservedBytes) {
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(MakeBmp(EightBitSpec()), image)) << image.LastError();
    EXPECT_EQ(image.Type(), uint32_t(LF_FORMAT_BMP));
    EXPECT_EQ(image.BitCount(), 8u);
    ExpectEightBitPicture(image);
}

TEST(BmpDecode, BareInfoHeaderTakesPixelsRightAfterPalette) {
    BmpSpec s = EightBitSpec();
    s.fileHeader = false;
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    ExpectEightBitPicture(image);
}

TEST(BmpDecode, FileNotAtStreamStartUsesOffsetsFromItsOwnStart) {
    Bytes file(9, 0xEE);
    const Bytes bmp = MakeBmp(EightBitSpec());
    file.insert(file.end(), bmp.begin(), bmp.end());
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(file, image, 9)) << image.LastError();
    ExpectEightBitPicture(image);
}

TEST(BmpDecode, CoreHeaderReadsThreeBytePaletteEntries) {
    BmpSpec s;
    s.headerSize = 12;
    s.width = 3;
    s.height = 2;
    s.bitCount = 8;
    // A core file lists all 256 entries, 3 bytes each.
    for (int i = 0; i < 256; ++i) s.palette.insert(s.palette.end(), {uint8_t(30 * i), uint8_t(20 * i), uint8_t(10 * i)});
    s.pixels = {0, 1, 2, 0, 3, 4, 5, 0};
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    ExpectEightBitPicture(image);
    EXPECT_EQ(image.PaletteColor(255).alpha, 0);

    // A tiny core file (shorter than a 40-byte header would be) is still read.
    BmpSpec mono;
    mono.headerSize = 12;
    mono.width = 1;
    mono.height = 1;
    mono.bitCount = 1;
    mono.palette = {0, 0, 0, 255, 255, 255};
    mono.pixels = {0x80, 0, 0, 0};
    const Bytes tiny = MakeBmp(mono);
    ASSERT_EQ(tiny.size(), 36u);
    ASSERT_TRUE(DecodeBytes(tiny, image)) << image.LastError();
    EXPECT_EQ(image.PixelColor(0, 0, false), Rgb(255, 255, 255));
}

TEST(BmpDecode, LongHeadersWithPaletteSkipTheirExtraFields) {
    for (uint32_t size : {52u, 56u, 64u, 108u, 124u}) {
        SCOPED_TRACE(size);
        BmpSpec s = EightBitSpec();
        s.headerSize = size;
        s.masks = {0xDEADBEEF, 0xDEADBEEF, 0xDEADBEEF};  // junk where V2+ headers hold masks
        for (bool fileHeader : {true, false}) {
            s.fileHeader = fileHeader;
            LfImageBMP image;
            ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
            ExpectEightBitPicture(image);
        }
    }
}

TEST(BmpDecode, TopDownFileEndsUpTheSameWayUp) {
    BmpSpec s = EightBitSpec();
    s.height = -2;
    s.pixels = {3, 4, 5, 0, 0, 1, 2, 0};  // top row first
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    ExpectEightBitPicture(image);

    // 32-bit with alpha: the alpha plane turns with the pixels.
    BmpSpec t;
    t.width = 1;
    t.height = -2;
    t.bitCount = 32;
    t.pixels = {1, 2, 3, 200, 4, 5, 6, 100};  // top pixel, then bottom
    ASSERT_TRUE(DecodeBytes(MakeBmp(t), image)) << image.LastError();
    EXPECT_EQ(image.PixelColor(0, 1, true), Rgb(3, 2, 1, 200));
    EXPECT_EQ(image.PixelColor(0, 0, true), Rgb(6, 5, 4, 100));
}

TEST(BmpDecode, OneAndFourBitPixels) {
    BmpSpec s;
    s.width = 10;
    s.height = 1;
    s.bitCount = 1;
    s.palette = {0, 0, 0, 0, 255, 255, 255, 0};
    s.pixels = {0xA5, 0x40, 0, 0};  // 1 0 1 0 0 1 0 1 | 0 1
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    const int bits[] = {1, 0, 1, 0, 0, 1, 0, 1, 0, 1};
    for (int x = 0; x < 10; ++x) EXPECT_EQ(image.PixelIndex(x, 0), bits[x]) << x;

    s.bitCount = 4;
    s.width = 3;
    s.palette.clear();
    for (int i = 0; i < 16; ++i) s.palette.insert(s.palette.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
    s.pixels = {0x9C, 0x30, 0, 0};
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    EXPECT_EQ(image.BitCount(), 4u);
    EXPECT_EQ(image.PixelIndex(0, 0), 9);
    EXPECT_EQ(image.PixelIndex(1, 0), 12);
    EXPECT_EQ(image.PixelIndex(2, 0), 3);
}

TEST(BmpDecode, SixteenBitLayouts) {
    struct Case {
        const char* name;
        uint32_t headerSize;
        uint32_t compression;
        std::vector<uint32_t> masks;
        uint16_t pixel;
        LfRgbQuad expected;
    } cases[] = {
        // No masks: 5-5-5. 0x7FFF is white as far as 5 bits go.
        {"555 default", 40, 0, {}, 0x7FFF, Rgb(248, 248, 248)},
        {"555 default red", 40, 0, {}, 0x7C00, Rgb(248, 0, 0)},
        {"565 masks after header", 40, 3, {0xF800, 0x07E0, 0x001F}, 0x07E0, Rgb(0, 252, 0)},
        {"565 masks after header blue", 40, 3, {0xF800, 0x07E0, 0x001F}, 0x0011, Rgb(0, 0, 0x88)},
        {"565 masks in a V5 header", 124, 3, {0xF800, 0x07E0, 0x001F}, 0xF800, Rgb(248, 0, 0)},
        {"444 masks in a V3 header", 56, 3, {0x0F00, 0x00F0, 0x000F}, 0x0A5C, Rgb(0xA0, 0x50, 0xC0)},
        // Red in the low bits: the masks say where each colour is.
        {"bgr 555", 40, 3, {0x001F, 0x03E0, 0x7C00}, 0x001F, Rgb(248, 0, 0)},
        {"red 6 bits", 40, 3, {0xFC00, 0x03E0, 0x001F}, 0x001F, Rgb(0, 0, 248)},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        BmpSpec s;
        s.headerSize = c.headerSize;
        s.width = 3;  // rows of 6 bytes padded to 8
        s.height = 2;
        s.bitCount = 16;
        s.compression = c.compression;
        s.masks = c.masks;
        for (int row = 0; row < 2; ++row) {
            for (int x = 0; x < 3; ++x) Put16(s.pixels, x == 2 && row == 1 ? c.pixel : 0);
            Put16(s.pixels, 0xFFFF);  // padding must not show
        }
        for (bool fileHeader : {true, false}) {
            s.fileHeader = fileHeader;
            LfImageBMP image;
            ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
            EXPECT_EQ(image.BitCount(), 24u);
            EXPECT_EQ(image.PixelColor(2, 1, false), c.expected) << Show(image.PixelColor(2, 1, false));
            EXPECT_EQ(image.PixelColor(0, 0, false), Rgb(0, 0, 0));
        }
    }
}

TEST(BmpDecode, ThirtyTwoBitAlphaPlaneOnlyWhenSomeFourthByteIsSet) {
    BmpSpec s;
    s.width = 2;
    s.height = 1;
    s.bitCount = 32;
    s.pixels = {10, 20, 30, 0, 40, 50, 60, 0};
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    EXPECT_FALSE(image.AlphaIsValid());
    EXPECT_EQ(image.PixelColor(1, 0, false), Rgb(60, 50, 40));

    s.pixels[7] = 128;
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    ASSERT_TRUE(image.AlphaIsValid());
    EXPECT_EQ(image.AlphaGet(0, 0), 0);
    EXPECT_EQ(image.AlphaGet(1, 0), 128);
}

TEST(BmpDecode, ThirtyTwoBitMasksPickTheirBytes) {
    BmpSpec s;
    s.headerSize = 56;
    s.width = 1;
    s.height = 1;
    s.bitCount = 32;
    s.compression = 3;
    s.masks = {0xFF000000, 0x00FF0000, 0x0000FF00, 0};  // red in the top byte
    s.pixels = {9, 30, 20, 10};
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    EXPECT_EQ(image.PixelColor(0, 0, false), Rgb(10, 20, 30));
    EXPECT_FALSE(image.AlphaIsValid());  // bit-field files carry no alpha plane

    // 10-10-10 fields: the top 8 bits of each.
    s.masks = {0x3FF00000, 0x000FFC00, 0x000003FF, 0};
    const uint32_t pixel = (0x3FFu << 20) | (0x200u << 10) | 0x004u;
    s.pixels.clear();
    Put32(s.pixels, pixel);
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    EXPECT_EQ(image.PixelColor(0, 0, false), Rgb(255, 128, 1));
}

TEST(BmpDecode, DepthsWithoutAReaderAreRefusedNotDecodedBlank) {
    // 2 bits per pixel, and 0 (the pixels are an embedded JPEG or PNG).
    for (uint16_t bits : {2, 0}) {
        SCOPED_TRACE(bits);
        BmpSpec s;
        s.width = 4;
        s.height = 1;
        s.bitCount = bits;
        s.palette.assign(16, 0x44);
        s.pixels = {0xE4, 0, 0, 0};
        LfImageBMP image;
        EXPECT_FALSE(DecodeBytes(MakeBmp(s), image));
        EXPECT_STREQ(image.LastError(), "unsupported BMP bit count");
        EXPECT_FALSE(image.IsValid());
    }
}

TEST(BmpDecode, HeaderOnlyProbeStoresDimensionsAndAllocatesNothing) {
    BmpSpec s = EightBitSpec();
    s.height = -2;
    LfImageBMP image;
    image.SetEscape(-1);
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image));
    EXPECT_FALSE(image.IsValid());
    EXPECT_EQ(image.Width(), 3u);
    EXPECT_EQ(image.Height(), 2u);
    EXPECT_EQ(image.Type(), uint32_t(LF_FORMAT_BMP));
    EXPECT_STREQ(image.LastError(), "output dimensions returned");

    // Through the dispatch, probing: BMP is tried first.
    Bytes copy = MakeBmp(s);
    LfMemFile stream(copy.data(), static_cast<int32_t>(copy.size()));
    LfImage probe;
    probe.SetEscape(-1);
    ASSERT_TRUE(probe.Decode(&stream, LF_FORMAT_UNKNOWN)) << probe.LastError();
    EXPECT_EQ(probe.Width(), 3u);
    EXPECT_EQ(probe.Height(), 2u);
    EXPECT_EQ(probe.Type(), uint32_t(LF_FORMAT_BMP));
}

TEST(BmpDecode, EscapeStopsTheDecode) {
    LfImageBMP image;
    image.SetEscape(1);
    EXPECT_FALSE(DecodeBytes(MakeBmp(EightBitSpec()), image));
    EXPECT_STREQ(image.LastError(), "Cancelled");
}

TEST(BmpDecode, SaveAndLoadThroughTheDispatch) {
    TempDir tmp;
    const std::string path = (tmp / "picture.bmp").string();
    LfImage image;
    ASSERT_NE(image.Create(9, 4, 24, LF_FORMAT_BMP), nullptr);
    FillPattern(image, 9);
    ASSERT_TRUE(image.Save(path.c_str(), LF_FORMAT_BMP)) << image.LastError();
    LfImage back;
    ASSERT_TRUE(back.Load(path.c_str(), LF_FORMAT_UNKNOWN)) << back.LastError();
    EXPECT_EQ(back.Type(), uint32_t(LF_FORMAT_BMP));
    EXPECT_EQ(std::memcmp(back.Row(0), image.Row(0), image.EffectiveWidth() * 4), 0);
}

// RLE packets for a 6 x 3 8-bit picture, bottom row first.
Bytes Rle8Packets() {
    return {
        3, 7,          // 7 7 7
        0, 3, 1, 2, 3, 0,  // absolute 1 2 3 + padding byte
        0, 0,          // end of line
        0, 2, 2, 1,    // delta: right 2, up 1 -> row 2, x 2
        2, 9,          // 9 9 at x 2, 3
        0, 4, 4, 5, 6, 8,  // absolute, even: no padding
        0, 1,          // end of bitmap
        5, 5,          // after the end: ignored
    };
}

TEST(BmpDecode, Rle8RunsAbsoluteDeltaEndOfLineAndEndOfBitmap) {
    BmpSpec s;
    s.width = 6;
    s.height = 3;
    s.bitCount = 8;
    s.compression = 1;
    for (int i = 0; i < 256; ++i) s.palette.insert(s.palette.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
    s.pixels = Rle8Packets();
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    const int expected[3][6] = {{7, 7, 7, 1, 2, 3}, {0, 0, 0, 0, 0, 0}, {0, 0, 9, 9, 4, 5}};
    for (int y = 0; y < 3; ++y)
        for (int x = 0; x < 6; ++x) EXPECT_EQ(image.PixelIndex(x, y), expected[y][x]) << x << "," << y;
    // The absolute run of 4 at x 4 ends in the row's padding (stride 8).
    EXPECT_EQ(image.Row(2)[6], 6);
    EXPECT_EQ(image.Row(2)[7], 8);
}

TEST(BmpDecode, Rle4NibblesPaddingAndOddDelta) {
    BmpSpec s;
    s.width = 7;
    s.height = 2;
    s.bitCount = 4;
    s.compression = 2;
    for (int i = 0; i < 16; ++i) s.palette.insert(s.palette.end(), {uint8_t(i), uint8_t(i), uint8_t(i), 0});
    s.pixels = {
        3, 0x12,              // 1 2 1
        0, 3, 0x34, 0x50,     // absolute 3 4 5: 2 bytes, already word-sized
        0, 0,                 // end of line
        0, 2, 1, 0,           // delta right 1 (odd)
        0, 5, 0xAB, 0xCD, 0xE0,  // absolute A B C D E: 3 bytes, plus padding
        0,
        1, 0xF0,              // F
        0, 1,
    };
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    const int expected[2][7] = {{1, 2, 1, 3, 4, 5, 0}, {0, 0xA, 0xB, 0xC, 0xD, 0xE, 0xF}};
    for (int y = 0; y < 2; ++y)
        for (int x = 0; x < 7; ++x) EXPECT_EQ(image.PixelIndex(x, y), expected[y][x]) << x << "," << y;
}

TEST(BmpDecode, RleWithVFiveHeaderReadsThePaletteAfterTheHeader) {
    BmpSpec s;
    s.headerSize = 124;
    s.width = 2;
    s.height = 1;
    s.bitCount = 8;
    s.compression = 1;
    s.colorsUsed = 2;
    s.masks = {0x11111111, 0x22222222, 0x33333333};  // what sits at 40.. of a V5 header
    s.palette = {1, 2, 3, 0, 40, 50, 60, 0};
    s.pixels = {2, 1, 0, 1};
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    EXPECT_EQ(image.PixelColor(1, 0, false), Rgb(60, 50, 40));
}

TEST(BmpDecode, RefusalsCarryTheirMessages) {
    struct Case {
        const char* name;
        Bytes file;
        const char* message;
    };
    BmpSpec eightCompressed = EightBitSpec();
    eightCompressed.compression = 3;
    BmpSpec twentyFourRle;
    twentyFourRle.compression = 1;
    twentyFourRle.pixels.assign(24, 0);
    BmpSpec thirtyTwoRle;
    thirtyTwoRle.bitCount = 32;
    thirtyTwoRle.compression = 2;
    thirtyTwoRle.pixels.assign(32, 0);
    const Bytes png = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R',
                       0, 0, 0, 16, 0, 0, 0, 16, 8, 2, 0, 0, 0, 0x90, 0x91, 0x68, 0x36,
                       0, 0, 0, 0, 'I', 'E', 'N', 'D', 0xAE, 0x42, 0x60, 0x82};
    const Case cases[] = {
        {"empty", {}, "Not a BMP"},
        {"13 bytes", Bytes(13, 'B'), "Not a BMP"},
        {"png", png, "Error reading BMP info"},
        {"palette file compression 3", MakeBmp(eightCompressed), "compression type not supported"},
        {"24-bit rle", MakeBmp(twentyFourRle), "unknown compression"},
        {"32-bit rle4", MakeBmp(thirtyTwoRle), "unknown compression"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImageBMP image;
        EXPECT_FALSE(DecodeBytes(c.file, image));
        EXPECT_STREQ(image.LastError(), c.message);
    }
}

// RLE packets for a picture of random runs and literal stretches, with a delta and a row
// left early.
Bytes RandomRle(int width, int height, bool fourBit, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes out;
    for (int y = 0; y < height; ++y) {
        int x = 0;
        if (y == 2) {  // jump into the next row, 5 pixels in
            out.insert(out.end(), {0, 2, 5, 1});
            ++y;
            x = 5;
        }
        const int end = y == 4 ? width / 2 : width;  // row 4 stops early
        while (x < end) {
            const int room = end - x;
            if (room >= 3 && rng() % 2) {
                const int n = 3 + int(rng() % std::min(room - 2, 30));
                const int bytes = fourBit ? (n + 1) / 2 : n;
                out.push_back(0);
                out.push_back(static_cast<uint8_t>(n));
                for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(rng()));
                if (bytes & 1) out.push_back(0);
                x += n;
            } else {
                const int n = 1 + int(rng() % std::min(room, 40));
                out.push_back(static_cast<uint8_t>(n));
                out.push_back(static_cast<uint8_t>(rng()));
                x += n;
            }
        }
        if (y + 1 < height) out.insert(out.end(), {0, 0});
    }
    out.insert(out.end(), {0, 1});
    return out;
}

Bytes RandomPalette(int entries, uint32_t seed) {
    std::mt19937 rng(seed);
    Bytes p;
    for (int i = 0; i < entries; ++i)
        p.insert(p.end(), {uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0});
    return p;
}

// ---------------------------------------------------------------------------------------
// Peers: files written by Pillow and ImageMagick at test time decode to the pixels Pillow
// reads from them.

// src.png (with alpha) and srcrgb.png, made once for the whole program.
const fs::path& PeerSources() {
    static TempDir dir;
    static bool made = false;
    if (!made) {
        made = true;
        const std::string script =
            "import sys\nfrom PIL import Image\nw, h = 37, 23\nim = Image.new('RGBA', (w, h))\n"
            "im.putdata([(x * 7 % 256, y * 11 % 256, (x * y * 3) % 256, (x + y) * 5 % 256)"
            " for y in range(h) for x in range(w)])\n"
            "im.save(sys.argv[1] + '/src.png')\nim.convert('RGB').save(sys.argv[1] + '/srcrgb.png')\n";
        Run(Python() + " -c " + ShellQuote(script) + " " + ShellQuote(dir.path().string()));
    }
    return dir.path();
}

struct PeerCase {
    const char* name;
    // "pillow": Python lines with im (the RGBA source) and out; "magick": convert arguments
    // between the RGB source (or src.png with a leading '+') and the output, OUT standing for it.
    const char* tool;
    const char* recipe;
    Precision precision;
    bool alphaFromSource;  // Pillow drops the alpha of uncompressed 32-bit files
    uint16_t bits;         // the file's bit count, to be sure the recipe made what we meant
    uint32_t headerSize;
    uint32_t compression;
};

void PrintTo(const PeerCase& c, std::ostream* os) { *os << c.name; }

// Writes a Pillow BMP, then turns it top-down: rows reversed, height negated.
const char* const kTopDown =
    "import io, struct\nb = io.BytesIO(); src.save(b, 'BMP'); d = bytearray(b.getvalue())\n"
    "off = struct.unpack_from('<I', d, 10)[0]; w, h = struct.unpack_from('<ii', d, 18)\n"
    "bits = struct.unpack_from('<H', d, 28)[0]; stride = (w * bits + 31) // 32 * 4\n"
    "rows = [d[off + i * stride: off + (i + 1) * stride] for i in range(h)]\n"
    "d[off:off + h * stride] = b''.join(reversed(rows)); struct.pack_into('<i', d, 22, -h)\n"
    "open(out, 'wb').write(d)\n";

const Precision k8{};
const Precision k565{5, 6, 5, false};
const Precision k555{5, 5, 5, false};
const Precision kAlpha{8, 8, 8, true};

const PeerCase kPeerCases[] = {
    {"pillow_1bit", "pillow", "im.convert('1').save(out)", k8, false, 1, 40, 0},
    {"pillow_grey8", "pillow", "im.convert('L').save(out)", k8, false, 8, 40, 0},
    {"pillow_palette256", "pillow", "im.convert('RGB').quantize(256).save(out)", k8, false, 8, 40, 0},
    {"pillow_rgb24", "pillow", "im.convert('RGB').save(out)", k8, false, 24, 40, 0},
    {"pillow_rgba32", "pillow", "im.save(out)", kAlpha, true, 32, 40, 0},
    {"pillow_topdown24", "pillow", "src = im.convert('RGB')\n", k8, false, 24, 40, 0},
    {"pillow_topdown8", "pillow", "src = im.convert('RGB').quantize(200)\n", k8, false, 8, 40, 0},
    {"pillow_topdown32", "pillow", "src = im\n", kAlpha, true, 32, 40, 0},
    {"magick_bmp3_24", "magick", "BMP3:OUT", k8, false, 24, 40, 0},
    {"magick_v5_24", "magick", "OUT", k8, false, 24, 124, 0},
    {"magick_core24", "magick", "BMP2:OUT", k8, false, 24, 12, 0},
    {"magick_core8", "magick", "-type Palette BMP2:OUT", k8, false, 8, 12, 0},
    {"magick_palette4", "magick", "-colors 16 -type Palette BMP3:OUT", k8, false, 4, 40, 0},
    {"magick_v5_palette4", "magick", "-colors 16 -type Palette OUT", k8, false, 4, 124, 0},
    {"magick_v4_mono", "magick", "-monochrome OUT", k8, false, 1, 108, 0},
    {"magick_rle8", "magick", "-compress RLE -type Palette BMP3:OUT", k8, false, 8, 40, 1},
    {"magick_v5_rle8", "magick", "-compress RLE -type Palette OUT", k8, false, 8, 124, 1},
    {"magick_565", "magick", "-define bmp:subtype=RGB565 OUT", k565, false, 16, 124, 3},
    {"magick_555", "magick", "-define bmp:subtype=RGB555 OUT", k555, false, 16, 124, 3},
    {"magick_1555", "magick", "+-define bmp:subtype=ARGB1555 OUT", k555, false, 16, 124, 3},
    {"magick_argb32", "magick", "+OUT", k8, false, 32, 124, 3},
};

class BmpPeers : public ::testing::TestWithParam<PeerCase> {};

TEST_P(BmpPeers, DecodesToThePixelsPillowReads) {
    const PeerCase& c = GetParam();
    GLINTWISE_NEED_PEER(HavePillow(), "Pillow");
    const std::string tool = std::string(c.tool) == "magick" ? "convert-im6.q16" : "";
    GLINTWISE_NEED_PEER(tool.empty() || HaveTool(tool), "ImageMagick");
    const fs::path src = PeerSources();
    TempDir tmp;
    const fs::path out = tmp / (std::string(c.name) + ".bmp");
    std::string log;
    if (tool.empty()) {
        std::string recipe = c.recipe;
        if (recipe.back() == '\n') recipe += kTopDown;  // the top-down recipes
        const std::string script = "import sys\nfrom PIL import Image\nim = Image.open(sys.argv[1])\n"
                                   "out = sys.argv[2]\n" + recipe + "\n";
        ASSERT_EQ(testsupport::Run(Python() + " -c " + ShellQuote(script) + " " + ShellQuote((src / "src.png").string()) +
                          " " + ShellQuote(out.string()) + " 2>&1", &log), 0) << log;
    } else {
        std::string recipe = c.recipe;
        fs::path input = src / "srcrgb.png";
        if (recipe[0] == '+') {
            input = src / "src.png";
            recipe.erase(0, 1);
        }
        recipe.replace(recipe.find("OUT"), 3, ShellQuote(out.string()));
        ASSERT_EQ(testsupport::Run(tool + " " + ShellQuote(input.string()) + " " + recipe + " 2>&1", &log), 0) << log;
    }
    const Bytes file = ReadFile(out);
    ASSERT_GT(file.size(), 54u);
    const uint32_t headerSize = Get32(file, 14);
    ASSERT_EQ(headerSize, c.headerSize);
    ASSERT_EQ(Get16(file, headerSize == 12 ? 24 : 28), c.bits);
    if (headerSize != 12) {
        ASSERT_EQ(Get32(file, 30), c.compression);
    }

    Reference ref;
    std::string error;
    ASSERT_TRUE(PillowPixels(c.alphaFromSource ? src / "src.png" : out, ref, &error)) << error;
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(file, image)) << image.LastError();
    ExpectSamePixels(image, ref, c.precision);
}

INSTANTIATE_TEST_SUITE_P(Tools, BmpPeers, ::testing::ValuesIn(kPeerCases),
                         [](const auto& info) { return std::string(info.param.name); });

// Pillow 9.4 misreads RLE deltas and odd-length RLE4 literal runs; ImageMagick reads both
// as the format defines them.
TEST(BmpPeersRle, HandMadeRleFilesDecodeAsImageMagickReadsThem) {
    GLINTWISE_NEED_PEER(HaveTool("convert-im6.q16"), "ImageMagick");
    TempDir tmp;
    for (bool fourBit : {false, true}) {
        for (uint32_t seed : {1u, 2u, 3u}) {
            SCOPED_TRACE(std::string(fourBit ? "rle4 " : "rle8 ") + std::to_string(seed));
            BmpSpec s;
            s.width = 53;
            s.height = 9;
            s.bitCount = fourBit ? 4 : 8;
            s.compression = fourBit ? 2 : 1;
            s.colorsUsed = fourBit ? 16 : 256;
            s.palette = RandomPalette(s.colorsUsed, seed);
            s.pixels = RandomRle(s.width, s.height, fourBit, seed);
            const Bytes file = MakeBmp(s);
            const fs::path path = tmp / "rle.bmp";
            WriteFile(path, file);
            Reference ref;
            std::string error;
            ASSERT_TRUE(MagickPixels(path, s.width, s.height, ref, &error)) << error;
            LfImageBMP image;
            ASSERT_TRUE(DecodeBytes(file, image)) << image.LastError();
            ExpectSamePixels(image, ref);
        }
    }
}

TEST(BmpPeersWritten, EveryDepthWeWriteDecodesInPillowToOurPixels) {
    GLINTWISE_NEED_PEER(HavePillow(), "Pillow");
    TempDir tmp;
    for (uint32_t bits : {1u, 4u, 8u, 24u, 32u}) {
        SCOPED_TRACE(bits);
        LfImageBMP image;
        ASSERT_NE(image.Create(29, 11, bits, LF_FORMAT_BMP), nullptr);
        FillPattern(image, 100 + bits);
        if (bits == 32) {
            ASSERT_TRUE(image.AlphaCreate());  // written as 32-bit
        }
        const fs::path path = tmp / ("ours" + std::to_string(bits) + ".bmp");
        WriteFile(path, EncodeBytes(image));
        Reference ref;
        std::string error;
        ASSERT_TRUE(PillowPixels(path, ref, &error)) << error;
        ExpectSamePixels(image, ref);
    }
}

// ---------------------------------------------------------------------------------------
// Real files from other projects' test data, against their reference decodes.

// bmp-js ships each test file with its own decode re-written as 24-bit *_out.bmp. Its RLE
// decodes misplace the run after the leading delta, so the RLE files are held against the
// uncompressed files of the same picture instead.
TEST(BmpRealFiles, BmpJsFixturesMatchTheirReferenceDecodes) {
    GLINTWISE_NEED_PEER(HavePillow(), "Pillow");
    const fs::path dir = NpmModules() / "bmp-js" / "test";
    GLINTWISE_NEED_PEER(fs::is_directory(dir), "npm bmp-js at " + dir.string());
    size_t checked = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (entry.path().extension() != ".bmp" || name.find("_out") != std::string::npos) continue;
        SCOPED_TRACE(name);
        std::string stem = entry.path().stem().string();
        if (const size_t rle = stem.find("_RLE"); rle != std::string::npos) stem.erase(rle);
        const fs::path refFile = dir / (stem + "_out.bmp");
        if (!fs::exists(refFile)) continue;
        Precision p;
        if (name.find("565") != std::string::npos) p = k565;
        if (name.find("555") != std::string::npos) p = k555;
        if (name.find("444") != std::string::npos) p = Precision{4, 4, 4, false};
        Reference ref;
        std::string error;
        ASSERT_TRUE(PillowPixels(refFile, ref, &error)) << error;
        LfImageBMP image;
        ASSERT_TRUE(DecodeBytes(ReadFile(entry.path()), image)) << image.LastError();
        ExpectSamePixels(image, ref, p);
        ++checked;
    }
    EXPECT_GE(checked, 10u);
}

TEST(BmpRealFiles, GoImageTestdataMatchesThePngBesideIt) {
    GLINTWISE_NEED_PEER(HavePillow(), "Pillow");
    const fs::path dir = "/usr/share/gocode/src/golang.org/x/image/testdata";
    GLINTWISE_NEED_PEER(fs::is_directory(dir), "golang-golang-x-image-dev");
    size_t checked = 0;
    for (const char* stem : {"colormap", "video-001", "yellow_rose-small", "yellow_rose-small-v5"}) {
        SCOPED_TRACE(stem);
        const fs::path bmp = dir / (std::string(stem) + ".bmp");
        const fs::path png = dir / (std::string(stem) + ".png");
        if (!fs::exists(bmp) || !fs::exists(png)) continue;
        Reference ref;
        std::string error;
        ASSERT_TRUE(PillowPixels(png, ref, &error)) << error;
        LfImageBMP image;
        ASSERT_TRUE(DecodeBytes(ReadFile(bmp), image)) << image.LastError();
        ExpectSamePixels(image, ref);
        ++checked;
    }
    EXPECT_EQ(checked, 4u);
}

// ---------------------------------------------------------------------------------------
// Malformed input: never a crash, never a read or write outside the buffers (the
// sanitizer build checks that), and a message whenever the decode fails.

std::vector<std::pair<std::string, Bytes>> GoodFiles() {
    std::vector<std::pair<std::string, Bytes>> files;
    LfImageBMP rgb;
    rgb.Create(7, 5, 24, LF_FORMAT_BMP);
    FillPattern(rgb, 7);
    files.emplace_back("24-bit", EncodeBytes(rgb));
    rgb.AlphaCreate();
    rgb.AlphaSet(1, 1, 9);
    files.emplace_back("32-bit alpha", EncodeBytes(rgb));

    BmpSpec rle;
    rle.width = 21;
    rle.height = 6;
    rle.bitCount = 8;
    rle.compression = 1;
    rle.colorsUsed = 256;
    rle.palette = RandomPalette(256, 4);
    rle.pixels = RandomRle(21, 6, false, 4);
    files.emplace_back("rle8", MakeBmp(rle));
    rle.bitCount = 4;
    rle.compression = 2;
    rle.colorsUsed = 16;
    rle.palette = RandomPalette(16, 5);
    rle.pixels = RandomRle(21, 6, true, 5);
    files.emplace_back("rle4", MakeBmp(rle));

    BmpSpec sixteen;
    sixteen.headerSize = 124;
    sixteen.width = 5;
    sixteen.height = -3;
    sixteen.bitCount = 16;
    sixteen.compression = 3;
    sixteen.masks = {0xF800, 0x07E0, 0x001F};
    sixteen.pixels.assign(36, 0x5A);
    files.emplace_back("16-bit v5 top-down", MakeBmp(sixteen));

    BmpSpec core;
    core.headerSize = 12;
    core.width = 5;
    core.height = 2;
    core.bitCount = 4;
    core.palette.assign(48, 0x33);
    core.pixels.assign(8, 0x12);
    files.emplace_back("core 4-bit", MakeBmp(core));
    return files;
}

TEST(BmpMalformed, EveryTruncationDecodesSafely) {
    for (const auto& [name, file] : GoodFiles()) {
        LfImageBMP whole;
        ASSERT_TRUE(DecodeBytes(file, whole)) << name << ": " << whole.LastError();
        for (size_t n = 0; n < file.size(); ++n) {
            SCOPED_TRACE(name + " cut at " + std::to_string(n));
            LfImageBMP image;
            const Bytes prefix(file.begin(), file.begin() + n);
            if (DecodeBytes(prefix, image)) {
                EXPECT_TRUE(image.IsValid());
                EXPECT_EQ(image.Width(), whole.Width());
                EXPECT_EQ(image.Height(), whole.Height());
            } else {
                EXPECT_STRNE(image.LastError(), "");
            }
        }
    }
}

TEST(BmpMalformed, MissingPixelsStayBlack) {
    BmpSpec s;
    s.width = 2;
    s.height = 3;
    s.pixels = {1, 2, 3, 4, 5, 6, 7, 8};  // the bottom row only
    LfImageBMP image;
    ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
    EXPECT_EQ(image.PixelColor(1, 0, false), Rgb(6, 5, 4));
    for (int y = 1; y < 3; ++y)
        for (int x = 0; x < 2; ++x) EXPECT_EQ(image.PixelColor(x, y, false), Rgb(0, 0, 0));
}

TEST(BmpMalformed, LyingHeadersAreRefusedOrReadSafely) {
    // Offsets into a file with a file header: info header at 14.
    enum : size_t { kOffset = 10, kSize = 14, kWidth = 18, kHeight = 22, kBits = 28, kColors = 46 };
    const Bytes eight = MakeBmp(EightBitSpec());
    BmpSpec rgbSpec;
    rgbSpec.pixels.assign(24, 0x80);
    const Bytes rgb = MakeBmp(rgbSpec);
    const char* const kInfo = "Error reading BMP info";
    struct Case {
        const char* name;
        Bytes base;
        size_t at;
        uint32_t value;
        bool sixteen;
        const char* message;  // nullptr: decodes
    } cases[] = {
        {"width 2^31-1", rgb, kWidth, 0x7FFFFFFF, false, kInfo},
        {"negative width", rgb, kWidth, uint32_t(-5), false, kInfo},
        {"height -2^31", rgb, kHeight, 0x80000000u, false, kInfo},
        {"height 2^31-1", eight, kHeight, 0x7FFFFFFF, false, kInfo},
        {"width 0", rgb, kWidth, 0, false, "LfImage::Create : width and height must be greater than zero"},
        {"too many pixels for memory", eight, kWidth, 60000, false, "LFIMAGE_MAX_MEMORY exceeded"},
        {"pixel offset past the end", eight, kOffset, 5000, false, kInfo},
        {"pixel offset 2^32-1", eight, kOffset, 0xFFFFFFFF, false, kInfo},
        {"palette count 2^30", eight, kColors, 1u << 30, false, kInfo},
        {"palette count 257", eight, kColors, 257, false, kInfo},
        {"header size 2^32-1", eight, kSize, 0xFFFFFFFF, false, kInfo},
        {"header size 39", eight, kSize, 39, false, kInfo},
        {"header size 1000", eight, kSize, 1000, false, kInfo},
        {"bit count 65535", eight, kBits, 65535, true, "unsupported BMP bit count"},
        {"bit count 0", eight, kBits, 0, true, "unsupported BMP bit count"},
        {"pixel offset inside the header", eight, kOffset, 1, false, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Bytes file = c.base;
        if (c.sixteen) Set16(file, c.at, c.value);
        else Set32(file, c.at, c.value);
        if (std::string(c.name) == "too many pixels for memory") Set32(file, kHeight, 60000);
        LfImageBMP image;
        const bool ok = DecodeBytes(file, image);
        if (c.message) {
            EXPECT_FALSE(ok);
            EXPECT_STREQ(image.LastError(), c.message);
        } else {
            EXPECT_TRUE(ok) << image.LastError();
        }
    }
}

TEST(BmpMalformed, PaletteLongerThanTheDepthIsSkippedNotOverrun) {
    BmpSpec s;
    s.width = 8;
    s.height = 1;
    s.bitCount = 1;
    s.colorsUsed = 256;
    s.palette = RandomPalette(256, 11);
    s.pixels = {0x0F, 0, 0, 0};
    for (bool fileHeader : {true, false}) {
        s.fileHeader = fileHeader;
        LfImageBMP image;
        ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
        EXPECT_EQ(image.NumColors(), 2u);
        EXPECT_EQ(image.PixelIndex(7, 0), 1);
        EXPECT_EQ(image.PixelIndex(0, 0), 0);
        EXPECT_EQ(image.PaletteColor(1), Rgb(s.palette[6], s.palette[5], s.palette[4]));
    }
}

TEST(BmpMalformed, RleRunsNeverLeaveTheirRowOrThePicture) {
    for (bool fourBit : {false, true}) {
        SCOPED_TRACE(fourBit ? "rle4" : "rle8");
        BmpSpec s;
        s.width = 3;
        s.height = 3;
        s.bitCount = fourBit ? 4 : 8;
        s.compression = fourBit ? 2 : 1;
        s.palette = RandomPalette(fourBit ? 16 : 256, 1);
        s.pixels = {255, 0x99};  // a run far past the end of row 0
        s.pixels.insert(s.pixels.end(), {0, 0});
        s.pixels.insert(s.pixels.end(), {0, 255});  // an absolute run far past row 1's end
        s.pixels.insert(s.pixels.end(), 128, 0x77);
        s.pixels.insert(s.pixels.end(), {0, 0});
        s.pixels.insert(s.pixels.end(), {0, 2, 200, 0});    // far right, same row
        s.pixels.insert(s.pixels.end(), {20, 0x55});
        s.pixels.insert(s.pixels.end(), {0, 2, 0, 250});    // far above the picture
        s.pixels.insert(s.pixels.end(), {200, 0x44, 0, 0, 50, 0x44});  // no end of bitmap
        LfImageBMP image;
        ASSERT_TRUE(DecodeBytes(MakeBmp(s), image)) << image.LastError();
        const uint8_t first = fourBit ? 9 : 0x99;
        const uint8_t second = fourBit ? 7 : 0x77;
        for (int x = 0; x < 3; ++x) {
            EXPECT_EQ(image.PixelIndex(x, 0), first) << x;
            EXPECT_EQ(image.PixelIndex(x, 1), second) << x;
            EXPECT_EQ(image.PixelIndex(x, 2), 0) << x;
        }
    }
}

}  // namespace

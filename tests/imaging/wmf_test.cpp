// The metafile decoder: header checks and size rules (Layout), drawings built record by
// record and checked at pixel positions (Drawing), metafiles written by Inkscape from SVG
// drawings and compared with independent renderings (Peers), and hostile input (Malformed).
#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <cstdlib>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "LfFile.h"
#include "LfImage.h"
#include "LfImageWMF.h"
#include "TestSupport.h"

using namespace testsupport;

// Fontconfig, which draws the text through cairo, keeps a few hundred bytes of its own for the
// whole run; the leak checker is told to ignore allocations made inside it (ours it still sees).
extern "C" const char* __lsan_default_suppressions() { return "leak:libfontconfig.so\n"; }

namespace {

using Bytes = std::vector<uint8_t>;

void Put16(Bytes& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void Set32(Bytes& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
uint32_t Rgb(int r, int g, int b) { return r | (g << 8) | (b << 16); }

// A 24-bit DIB (info header and bottom-up rows), given top row first as 0xRRGGBB.
Bytes Dib24(int w, int h, const std::vector<uint32_t>& topDown) {
    Bytes d;
    Put32(d, 40); Put32(d, w); Put32(d, h); Put16(d, 1); Put16(d, 24);
    for (int i = 0; i < 6; ++i) Put32(d, 0);
    const int stride = (w * 3 + 3) & ~3;
    for (int y = h - 1; y >= 0; --y) {
        for (int x = 0; x < w; ++x) {
            const uint32_t c = topDown[y * w + x];
            d.push_back(c & 0xFF); d.push_back((c >> 8) & 0xFF); d.push_back(c >> 16);
        }
        for (int p = w * 3; p < stride; ++p) d.push_back(0);
    }
    return d;
}

// An old-style metafile built record by record; parameters go in file order.
struct Wmf {
    Bytes records;
    uint16_t objects = 8;

    Wmf& Rec(uint16_t function, const std::vector<int>& params) {
        Put32(records, static_cast<uint32_t>(3 + params.size()));
        Put16(records, function);
        for (int p : params) Put16(records, static_cast<uint32_t>(p));
        return *this;
    }
    Wmf& Raw(uint16_t function, Bytes params) {
        if (params.size() % 2) params.push_back(0);
        Put32(records, static_cast<uint32_t>(3 + params.size() / 2));
        Put16(records, function);
        records.insert(records.end(), params.begin(), params.end());
        return *this;
    }
    Wmf& Pen(int style, int width, uint32_t color) {
        return Rec(0x02FA, {style, width, 0, int(color & 0xFFFF), int(color >> 16)});
    }
    Wmf& Brush(int style, uint32_t color, int hatch = 0) {
        return Rec(0x02FC, {style, int(color & 0xFFFF), int(color >> 16), hatch});
    }
    Wmf& Select(int index) { return Rec(0x012D, {index}); }
    Wmf& Rect(int l, int t, int r, int b) { return Rec(0x041B, {b, r, t, l}); }

    // Metafile header and records (with the end record); size in words at offset 6.
    Bytes Body() const {
        Bytes b;
        const uint32_t words = static_cast<uint32_t>(9 + records.size() / 2 + 3);
        Put16(b, 1); Put16(b, 9); Put16(b, 0x300); Put32(b, words); Put16(b, objects); Put32(b, 0); Put16(b, 0);
        b.insert(b.end(), records.begin(), records.end());
        Put32(b, 3); Put16(b, 0);
        return b;
    }
    Bytes Placeable(int l, int t, int r, int b, int unitsPerInch, bool badChecksum = false) const {
        Bytes out;
        Put32(out, 0x9AC6CDD7); Put16(out, 0);
        Put16(out, l); Put16(out, t); Put16(out, r); Put16(out, b);
        Put16(out, unitsPerInch); Put32(out, 0);
        uint16_t sum = 0;
        for (size_t i = 0; i < 20; i += 2) sum ^= out[i] | (out[i + 1] << 8);
        Put16(out, badChecksum ? sum ^ 1 : sum);
        const Bytes body = Body();
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
    // 96 x 96 logical units at 96 per inch: one unit is one pixel.
    Bytes Build() const { return Placeable(0, 0, 96, 96, 96); }
};

// An enhanced metafile built record by record. Its reference device has 96 pixels per inch
// and bounds and frame cover the same 96 x 96 pixels unless told otherwise.
struct Emf {
    Bytes records;
    uint32_t count = 0;
    uint16_t handles = 16;

    Emf& Rec(uint32_t type, const std::vector<int32_t>& fields) {
        Put32(records, type);
        Put32(records, static_cast<uint32_t>(8 + 4 * fields.size()));
        for (int32_t f : fields) Put32(records, static_cast<uint32_t>(f));
        ++count;
        return *this;
    }
    // Fields, then a payload whose offsets the caller computed from the record start.
    Emf& RecWith(uint32_t type, const std::vector<int32_t>& fields, const Bytes& payload) {
        Bytes tail = payload;
        while (tail.size() % 4) tail.push_back(0);
        Put32(records, type);
        Put32(records, static_cast<uint32_t>(8 + 4 * fields.size() + tail.size()));
        for (int32_t f : fields) Put32(records, static_cast<uint32_t>(f));
        records.insert(records.end(), tail.begin(), tail.end());
        ++count;
        return *this;
    }
    Emf& Brush(uint32_t index, uint32_t color) { return Rec(39, {int32_t(index), 0, int32_t(color), 0}); }
    Emf& Pen(uint32_t index, int style, int width, uint32_t color) {
        return Rec(38, {int32_t(index), style, width, 0, int32_t(color)});
    }
    Emf& Select(uint32_t index) { return Rec(37, {int32_t(index)}); }
    Emf& NullPen() { return Select(0x80000008); }

    Bytes Build(int32_t l = 0, int32_t t = 0, int32_t r = 96, int32_t b = 96) const {
        Bytes out;
        Put32(out, 1); Put32(out, 108);
        Put32(out, l); Put32(out, t); Put32(out, r); Put32(out, b);
        // Frame in hundredths of a millimetre: 96 pixels are 2540.
        for (int32_t v : {l, t, r, b}) Put32(out, static_cast<uint32_t>(static_cast<int64_t>(v) * 2540 / 96));
        Put32(out, 0x464D4520); Put32(out, 0x10000);
        Put32(out, 0); Put32(out, count + 2);  // bytes (set below), records
        Put16(out, handles); Put16(out, 0);
        Put32(out, 0); Put32(out, 0); Put32(out, 0);       // description, palette entries
        Put32(out, 960); Put32(out, 960); Put32(out, 254); Put32(out, 254);
        Put32(out, 0); Put32(out, 0); Put32(out, 0);       // pixel format, OpenGL
        Put32(out, 254000); Put32(out, 254000);            // micrometres
        out.insert(out.end(), records.begin(), records.end());
        Put32(out, 14); Put32(out, 20); Put32(out, 0); Put32(out, 16); Put32(out, 20);
        Set32(out, 48, static_cast<uint32_t>(out.size()));
        return out;
    }
};

bool Decode(LfImage& img, const Bytes& bytes, int32_t escape = 0) {
    LfMemFile stream(const_cast<uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
    img.SetEscape(escape);
    return img.Decode(&stream, LF_FORMAT_WMF);
}

using Rgb3 = std::array<int, 3>;
// The colour at (x, y), y counted from the top.
Rgb3 At(const LfImage& img, int x, int y) {
    const uint8_t* p = img.Row(img.Height() - 1 - y) + 3 * x;
    return {p[2], p[1], p[0]};
}
constexpr Rgb3 kWhite{255, 255, 255}, kRed{255, 0, 0}, kGreen{0, 255, 0}, kBlue{0, 0, 255}, kBlack{0, 0, 0};

}  // namespace

// ---------------------------------------------------------------------------------------
// Layout: header checks, sizes, limits and messages

TEST(WmfLayout, SizesFollowTheBoxTheBoundsAndTheLimit) {
    struct Case {
        const char* name;
        Bytes file;
        uint32_t width, height;
    } cases[] = {
        // 1440 units per inch on a 96-dot screen: 1440 x 720 units are 96 x 48 pixels.
        {"twips box", Wmf{}.Placeable(0, 0, 1440, 720, 1440), 96, 48},
        {"box drawn backwards", Wmf{}.Placeable(1440, 720, 0, 0, 1440), 96, 48},
        {"rounded to nearest", Wmf{}.Placeable(0, 0, 23, 22, 1440), 2, 1},
        // Bounds of 8000 x 2000 exceed the 4000-pixel limit: scaled down keeping the aspect.
        {"wide enhanced", Emf{}.Build(0, 0, 8000, 2000), 4000, 1000},
        {"tall enhanced", Emf{}.Build(0, 0, 1000, 9000), 444, 4000},
        // A strip too thin to survive the scaling keeps one pixel.
        {"thin strip", Emf{}.Build(0, 0, 40000, 2), 4000, 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImage img;
        ASSERT_TRUE(Decode(img, c.file)) << img.LastError();
        EXPECT_EQ(img.Width(), c.width);
        EXPECT_EQ(img.Height(), c.height);
        EXPECT_EQ(img.BitCount(), 24u);
        EXPECT_EQ(img.Type(), uint32_t(LF_FORMAT_WMF));
        EXPECT_EQ(At(img, 0, 0), kWhite);  // nothing painted: the window colour
    }
}

TEST(WmfLayout, ProbeReportsTheUnlimitedSizeWithoutRendering) {
    LfImage img;
    ASSERT_TRUE(Decode(img, Emf{}.Build(0, 0, 8000, 2000), -1));
    EXPECT_EQ(img.Width(), 8000u);
    EXPECT_EQ(img.Height(), 2000u);
    EXPECT_FALSE(img.IsValid());
    EXPECT_STREQ(img.LastError(), "output dimensions returned");
    // Any other escape value stops the decode after playing.
    LfImage stopped;
    EXPECT_FALSE(Decode(stopped, Wmf{}.Build(), 1));
    EXPECT_STREQ(stopped.LastError(), "Cancelled");
    EXPECT_FALSE(stopped.IsValid());
}

TEST(WmfLayout, RefusalsCarryTheirMessages) {
    Bytes noPlaceable = Wmf{}.Rect(0, 0, 5, 5).Body();
    Bytes badKey = Wmf{}.Build();
    badKey[0] ^= 1;
    Bytes badType = Wmf{}.Build();
    badType[22] = 3;
    Bytes badEmfSignature = Emf{}.Build();
    badEmfSignature[40] = 'X';
    struct Case {
        const char* name;
        Bytes file;
        const char* message;
    } cases[] = {
        // A wrong checksum is not placeable; as an enhanced metafile it fails too.
        {"bad checksum", Wmf{}.Placeable(0, 0, 96, 96, 96, true), "corrupted WMF"},
        {"bad key", badKey, "corrupted WMF"},
        {"units per inch 0", Wmf{}.Placeable(0, 0, 96, 96, 0), "corrupted WMF"},
        {"units per inch 2541", Wmf{}.Placeable(0, 0, 96, 96, 2541), "corrupted WMF"},
        {"metafile type 3", badType, "corrupted WMF"},
        {"old-style without placeable header", noPlaceable, "corrupted WMF"},
        {"bad enhanced signature", badEmfSignature, "corrupted WMF"},
        {"empty stream", Bytes{}, "corrupted WMF"},
        {"zero-width box", Wmf{}.Placeable(10, 0, 10, 96, 96), "empty WMF"},
        {"zero-height bounds", Emf{}.Build(0, 5, 96, 5), "empty WMF"},
        {"bounds drawn backwards", Emf{}.Build(96, 0, 0, 96), "empty WMF"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImage img;
        EXPECT_FALSE(Decode(img, c.file));
        EXPECT_STREQ(img.LastError(), c.message);
    }
}

TEST(WmfLayout, SavingAlwaysFails) {
    LfImage img;
    ASSERT_NE(img.Create(4, 4, 24, LF_FORMAT_WMF), nullptr);
    LfMemFile out;
    out.Open();
    EXPECT_FALSE(img.Encode(&out, LF_FORMAT_WMF));
    EXPECT_STREQ(img.LastError(), "Save WMF not supported");
    EXPECT_EQ(out.Size(), 0);
    LfImageWMF codec;
    EXPECT_FALSE(codec.Encode(nullptr));
}

// The probe of identifier 0 reaches the metafile codec; a metafile that does not start at
// the stream's offset 0 is read from where it starts (not from the stream's offset 22).
TEST(WmfLayout, ProbeFindsMetafilesAnywhereInTheStream) {
    Wmf w;
    w.Brush(0, Rgb(255, 0, 0)).Select(0).Rec(0x02FA, {5, 0, 0, 0, 0}).Select(1).Rect(0, 0, 96, 96);
    for (const Bytes& file : {w.Build(), Emf{}.Brush(1, Rgb(255, 0, 0)).Select(1).NullPen().Rec(43, {0, 0, 96, 96}).Build()}) {
        Bytes shifted(7, 0xAB);
        shifted.insert(shifted.end(), file.begin(), file.end());
        LfMemFile stream(shifted.data(), static_cast<int32_t>(shifted.size()));
        ASSERT_TRUE(stream.Seek(7, SEEK_SET));
        LfImage img;
        ASSERT_TRUE(img.Decode(&stream, 0)) << img.LastError();
        EXPECT_EQ(img.Type(), uint32_t(LF_FORMAT_WMF));
        EXPECT_EQ(At(img, 48, 48), kRed);
    }
}

// ---------------------------------------------------------------------------------------
// Drawing: each case paints on a 96 x 96 picture (one unit, one pixel) and names pixels
// with the colour they must have.

struct Probe {
    int x, y;
    Rgb3 color;
};
struct DrawCase {
    const char* name;
    std::function<Bytes()> build;
    std::vector<Probe> probes;
};

void PrintTo(const DrawCase& c, std::ostream* os) { *os << c.name; }

class WmfDrawing : public ::testing::TestWithParam<DrawCase> {};

TEST_P(WmfDrawing, PaintsWhereTheRecordsSay) {
    const DrawCase& c = GetParam();
    LfImage img;
    ASSERT_TRUE(Decode(img, c.build())) << img.LastError();
    ASSERT_EQ(img.Width(), 96u);
    ASSERT_EQ(img.Height(), 96u);
    for (const Probe& p : c.probes) {
        SCOPED_TRACE(testing::Message() << "pixel " << p.x << "," << p.y);
        EXPECT_EQ(At(img, p.x, p.y), p.color);
    }
}

const uint32_t kRedRef = Rgb(255, 0, 0), kGreenRef = Rgb(0, 255, 0), kBlueRef = Rgb(0, 0, 255);

Wmf RedNoPen() {
    Wmf w;
    w.Brush(0, kRedRef).Select(0).Pen(5, 0, 0).Select(1);
    return w;
}

INSTANTIATE_TEST_SUITE_P(
    Wmf, WmfDrawing,
    ::testing::Values(
        // Rows run top-down in the file and bottom-up in the image: a flipped copy would
        // put the rectangle at the bottom.
        DrawCase{"rectangle", [] { return RedNoPen().Rect(10, 5, 50, 30).Build(); },
                 {{30, 15, kRed}, {30, 80, kWhite}, {70, 15, kWhite}}},
        DrawCase{"ellipse", [] { return RedNoPen().Rec(0x0418, {90, 90, 10, 10}).Build(); },
                 {{50, 50, kRed}, {14, 14, kWhite}, {50, 12, kRed}}},
        DrawCase{"round rectangle", [] { return RedNoPen().Rec(0x061C, {40, 40, 90, 90, 10, 10}).Build(); },
                 {{50, 50, kRed}, {12, 12, kWhite}, {50, 12, kRed}}},
        // A pie from the right-hand point counter-clockwise to the top point: the upper
        // right quarter.
        DrawCase{"pie", [] { return RedNoPen().Rec(0x081A, {0, 48, 48, 96, 90, 90, 10, 10}).Build(); },
                 {{70, 30, kRed}, {30, 30, kWhite}, {30, 70, kWhite}, {70, 70, kWhite}}},
        // A chord from the left point counter-clockwise round to the top point: all but the
        // upper-left cap.
        DrawCase{"chord", [] { return RedNoPen().Rec(0x0830, {10, 50, 50, 10, 90, 90, 10, 10}).Build(); },
                 {{25, 25, kWhite}, {70, 70, kRed}, {30, 70, kRed}}},
        DrawCase{"polygon", [] { return RedNoPen().Rec(0x0324, {3, 10, 10, 90, 10, 10, 90}).Build(); },
                 {{20, 20, kRed}, {80, 80, kWhite}}},
        // Two nested squares: alternate fill leaves the inner one empty, winding fills it.
        DrawCase{"poly-polygon alternate",
                 [] { return RedNoPen().Rec(0x0538, {2, 4, 4, 10, 10, 90, 10, 90, 90, 10, 90,
                                                     30, 30, 60, 30, 60, 60, 30, 60}).Build(); },
                 {{20, 20, kRed}, {45, 45, kWhite}}},
        DrawCase{"poly-polygon winding",
                 [] { return RedNoPen().Rec(0x0106, {2}).Rec(0x0538, {2, 4, 4, 10, 10, 90, 10, 90, 90, 10, 90,
                                                                       30, 30, 60, 30, 60, 60, 30, 60}).Build(); },
                 {{20, 20, kRed}, {45, 45, kRed}}},
        DrawCase{"wide pen line", [] {
                     Wmf w;
                     w.Pen(0, 9, kBlueRef).Select(0).Rec(0x0214, {50, 10}).Rec(0x0213, {50, 90});
                     return w.Build(); },
                 {{50, 48, kBlue}, {50, 52, kBlue}, {50, 60, kWhite}, {2, 50, kWhite}}},
        DrawCase{"polyline", [] {
                     Wmf w;
                     w.Pen(0, 5, kGreenRef).Select(0).Rec(0x0325, {3, 10, 10, 80, 10, 80, 80});
                     return w.Build(); },
                 {{40, 10, kGreen}, {80, 40, kGreen}, {40, 40, kWhite}}},
        // A window of 1000 units: the rectangle at 500..1000 covers the right half.
        DrawCase{"window", [] {
                     return RedNoPen().Rec(0x020C, {1000, 1000}).Rec(0x020B, {0, 0}).Rect(500, 0, 1000, 1000).Build(); },
                 {{70, 50, kRed}, {20, 50, kWhite}}},
        DrawCase{"window extent 0 ignored", [] {
                     return RedNoPen().Rec(0x020C, {0, 0}).Rect(10, 10, 40, 40).Build(); },
                 {{20, 20, kRed}, {60, 60, kWhite}}},
        DrawCase{"save and restore", [] {
                     Wmf w = RedNoPen();
                     w.Rec(0x001E, {}).Brush(0, kGreenRef).Select(2).Rec(0x0127, {-1}).Rect(0, 0, 96, 96);
                     return w.Build(); },
                 {{48, 48, kRed}}},
        // Deleting slot 0 frees it: the next brush takes it, and selecting 0 gets green.
        DrawCase{"freed slot reused", [] {
                     Wmf w = RedNoPen();
                     w.Rec(0x01F0, {0}).Brush(0, kGreenRef).Select(0).Rect(0, 0, 96, 96);
                     return w.Build(); },
                 {{48, 48, kGreen}}},
        DrawCase{"index beyond the table", [] {
                     Wmf w = RedNoPen();
                     w.Select(50).Select(7).Rect(0, 0, 96, 96);
                     return w.Build(); },
                 {{48, 48, kRed}}},
        DrawCase{"hatched brush", [] {
                     Wmf w;
                     w.Rec(0x0102, {1}).Brush(2, kBlueRef, 4).Select(0).Pen(5, 0, 0).Select(1).Rect(0, 0, 96, 96);
                     return w.Build(); },
                 {{3, 3, kBlue}, {1, 1, kWhite}}},
        DrawCase{"clip rectangle", [] {
                     return RedNoPen().Rec(0x0416, {50, 50, 0, 0}).Rect(0, 0, 96, 96).Build(); },
                 {{20, 20, kRed}, {70, 70, kWhite}}},
        DrawCase{"exclude clip rectangle", [] {
                     return RedNoPen().Rec(0x0415, {50, 50, 0, 0}).Rect(0, 0, 96, 96).Build(); },
                 {{20, 20, kWhite}, {70, 70, kRed}}},
        DrawCase{"pattern blit", [] {
                     Wmf w;
                     w.Rec(0x061D, {0x0042, 0x0000, 40, 40, 10, 10});  // BLACKNESS
                     return w.Build(); },
                 {{30, 30, kBlack}, {60, 60, kWhite}}},
        // The bit-block record without a bitmap has a reserved word before its destination.
        DrawCase{"bit block without bitmap", [] {
                     Wmf w;
                     w.Rec(0x0940, {0x0042, 0x0000, 0, 0, 0, 40, 40, 10, 10});
                     return w.Build(); },
                 {{30, 30, kBlack}, {60, 60, kWhite}, {5, 30, kWhite}}},
        // A 2 x 2 bitmap stretched over the picture: each pixel becomes a quarter.
        DrawCase{"stretched bitmap", [] {
                     Bytes params;
                     for (int v : {0x0020, 0x00CC, 0, 2, 2, 0, 0, 96, 96, 0, 0}) Put16(params, v);
                     const Bytes dib = Dib24(2, 2, {0xFF0000, 0x00FF00, 0x0000FF, 0x000000});
                     params.insert(params.end(), dib.begin(), dib.end());
                     Wmf w;
                     w.Raw(0x0F43, params);
                     return w.Build(); },
                 {{20, 20, kRed}, {70, 20, kGreen}, {20, 70, kBlue}, {70, 70, kBlack}}},
        // The source rectangle of a bottom-up bitmap counts rows from the bottom: source
        // row 0 is the lower row (blue, black).
        DrawCase{"bitmap source rectangle", [] {
                     Bytes params;
                     for (int v : {0x0020, 0x00CC, 1, 2, 0, 0, 96, 96, 0, 0}) Put16(params, v);
                     const Bytes dib = Dib24(2, 2, {0xFF0000, 0x00FF00, 0x0000FF, 0x000000});
                     params.insert(params.end(), dib.begin(), dib.end());
                     Wmf w;
                     w.Raw(0x0B41, params);
                     return w.Build(); },
                 {{20, 48, kBlue}, {70, 48, kBlack}}},
        // Opaque text background in green behind black text.
        DrawCase{"text background", [] {
                     Wmf w;
                     w.Rec(0x02FB, {-40, 0, 0, 0, 400, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0})
                         .Select(0).Rec(0x0201, {int(kGreenRef & 0xFFFF), int(kGreenRef >> 16)});
                     Bytes params;
                     Put16(params, 2); params.push_back('_'); params.push_back('_'); Put16(params, 10); Put16(params, 10);
                     w.Raw(0x0521, params);
                     return w.Build(); },
                 {{12, 12, kGreen}, {80, 80, kWhite}}}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n) if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

Emf RedNoPenEmf() {
    Emf e;
    e.Brush(1, kRedRef).Select(1).NullPen();
    return e;
}

INSTANTIATE_TEST_SUITE_P(
    Emf, WmfDrawing,
    ::testing::Values(
        DrawCase{"rectangle", [] { return RedNoPenEmf().Rec(43, {10, 5, 50, 30}).Build(); },
                 {{30, 15, kRed}, {30, 80, kWhite}, {70, 15, kWhite}}},
        DrawCase{"ellipse", [] { return RedNoPenEmf().Rec(42, {10, 10, 90, 90}).Build(); },
                 {{50, 50, kRed}, {14, 14, kWhite}}},
        DrawCase{"stock black brush", [] {
                     Emf e;
                     e.Select(0x80000004).NullPen().Rec(43, {0, 0, 96, 96});
                     return e.Build(); },
                 {{48, 48, kBlack}}},
        DrawCase{"polygon16", [] {
                     return RedNoPenEmf().Rec(86, {0, 0, 0, 0, 3, 10 | (10 << 16), 90 | (10 << 16), 10 | (90 << 16)}).Build(); },
                 {{20, 20, kRed}, {80, 80, kWhite}}},
        DrawCase{"poly-polygon", [] {
                     return RedNoPenEmf().Rec(8, {0, 0, 0, 0, 2, 6, 3, 3, 0, 0, 40, 0, 0, 40,
                                                  96, 96, 56, 96, 96, 56}).Build(); },
                 {{10, 10, kRed}, {86, 86, kRed}, {48, 48, kWhite}}},
        // A path bracket: a Bezier-closed figure filled, nothing drawn while recording.
        DrawCase{"path with Bezier", [] {
                     Emf e = RedNoPenEmf();
                     e.Rec(59, {}).Rec(27, {10, 80}).Rec(5, {0, 0, 0, 0, 3, 10, 0, 86, 0, 86, 80})
                         .Rec(61, {}).Rec(60, {}).Rec(62, {0, 0, 96, 96});
                     return e.Build(); },
                 {{48, 50, kRed}, {48, 90, kWhite}, {48, 10, kWhite}}},
        DrawCase{"aborted path draws nothing", [] {
                     Emf e = RedNoPenEmf();
                     e.Rec(59, {}).Rec(43, {0, 0, 96, 96}).Rec(68, {}).Rec(62, {0, 0, 96, 96});
                     return e.Build(); },
                 {{48, 48, kWhite}}},
        // World transform scale 2 then a move: the 10..20 square lands at 25..45.
        DrawCase{"world transform", [] {
                     auto f = [](float v) { int32_t i; std::memcpy(&i, &v, 4); return i; };
                     Emf e = RedNoPenEmf();
                     e.Rec(35, {f(2), f(0), f(0), f(2), f(5), f(5)}).Rec(43, {10, 10, 20, 20});
                     return e.Build(); },
                 {{35, 35, kRed}, {15, 15, kWhite}, {50, 50, kWhite}}},
        DrawCase{"anisotropic mapping", [] {
                     Emf e = RedNoPenEmf();
                     e.Rec(17, {8}).Rec(9, {1000, 1000}).Rec(11, {96, 96}).Rec(43, {500, 0, 1000, 500});
                     return e.Build(); },
                 {{70, 20, kRed}, {20, 20, kWhite}, {70, 70, kWhite}}},
        // Low-metric units (0.1 mm) grow upwards: y -100 lies below the origin.
        DrawCase{"metric map mode", [] {
                     Emf e = RedNoPenEmf();
                     e.Rec(17, {2}).Rec(43, {0, 0, 100, -100});
                     return e.Build(); },
                 {{1, 1, kRed}, {20, 20, kRed}, {50, 50, kWhite}}},
        DrawCase{"restore to an earlier state", [] {
                     Emf e = RedNoPenEmf();
                     e.Rec(33, {}).Brush(2, kGreenRef).Select(2).Rec(33, {}).Rec(34, {-2}).Rec(43, {0, 0, 96, 96});
                     return e.Build(); },
                 {{48, 48, kRed}}},
        DrawCase{"deleted object is gone", [] {
                     Emf e = RedNoPenEmf();
                     e.Brush(2, kGreenRef).Rec(40, {2}).Select(2).Rec(43, {0, 0, 96, 96});
                     return e.Build(); },
                 {{48, 48, kRed}}},
        DrawCase{"clip path", [] {
                     Emf e = RedNoPenEmf();
                     e.Rec(59, {}).Rec(43, {0, 0, 48, 96}).Rec(60, {}).Rec(67, {5}).Rec(43, {0, 0, 96, 96});
                     return e.Build(); },
                 {{20, 48, kRed}, {70, 48, kWhite}}},
        DrawCase{"clip region copy", [] {
                     Emf e = RedNoPenEmf();
                     e.Rec(75, {48, 5, 32, 1, 1, 16, 0, 0, 48, 96, 48, 0, 96, 96}).Rec(43, {0, 0, 96, 96});
                     return e.Build(); },
                 {{20, 48, kWhite}, {70, 48, kRed}}},
        DrawCase{"stretched bitmap", [] {
                     const Bytes dib = Dib24(2, 2, {0xFF0000, 0x00FF00, 0x0000FF, 0x000000});
                     Emf e;
                     // 80 bytes of fields (type and size included); info at 80, bits at 120.
                     e.RecWith(81, {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 80, 40, 120, int32_t(dib.size() - 40), 0,
                                    0x00CC0020, 96, 96}, dib);
                     return e.Build(); },
                 {{20, 20, kRed}, {70, 20, kGreen}, {20, 70, kBlue}, {70, 70, kBlack}}},
        DrawCase{"pen stroke", [] {
                     Emf e;
                     e.Pen(1, 0, 8, kBlueRef).Select(1).Select(0x80000005).Rec(43, {20, 20, 76, 76});
                     return e.Build(); },
                 {{20, 48, kBlue}, {76, 48, kBlue}, {48, 48, kWhite}}},
        DrawCase{"text with opaque rectangle", [] {
                     Bytes text = {'x', 0};
                     Emf e;
                     e.Rec(25, {int32_t(kGreenRef)});
                     // Reference 10,10; one character at offset 76; opaque rectangle 5,5-40,40.
                     e.RecWith(84, {0, 0, 0, 0, 1, 0, 0, 10, 10, 1, 76, 2, 5, 5, 40, 40, 0}, text);
                     return e.Build(); },
                 {{7, 7, kGreen}, {60, 60, kWhite}}}),
    [](const auto& info) {
        std::string n = info.param.name;
        for (char& ch : n) if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
        return n;
    });

// Text is drawn in the text colour with the default font where the records put it.
TEST(WmfText, GlyphsLandAtTheReferencePoint) {
    Bytes text;
    for (char16_t ch : std::u16string(u"HHHH")) Put16(text, ch);
    Emf e;
    e.Rec(82, {1, -30, 0, 0, 0, 700, 0}).Select(1).Rec(24, {int32_t(kBlueRef)}).Rec(18, {1});
    e.RecWith(84, {0, 0, 0, 0, 1, 0, 0, 20, 60, 4, 76, 0, 0, 0, 0, 0, 0}, text);
    LfImage img;
    ASSERT_TRUE(Decode(img, e.Build()));
    // Aligned by their top-left corner: the glyphs lie below and right of 20,60.
    int blue = 0, outside = 0;
    for (int y = 0; y < 96; ++y)
        for (int x = 0; x < 96; ++x) {
            const Rgb3 c = At(img, x, y);
            if (x >= 19 && y >= 59) blue += c[2] == 255 && c[0] < 64;
            else outside += c != kWhite;
        }
    EXPECT_GT(blue, 100);
    EXPECT_EQ(outside, 0);
}

// ---------------------------------------------------------------------------------------
// Malformed: lying sizes, counts, indices, extents and bitmaps end in a refusal or a partial
// drawing, never a crash, a hang or a huge allocation (the sanitizer build checks the rest).

namespace {

int32_t FloatBits(float v) {
    int32_t i;
    std::memcpy(&i, &v, 4);
    return i;
}

// A metafile using most record kinds, for the truncation sweep.
Bytes RichWmf() {
    Wmf w = RedNoPen();
    w.Rect(1, 1, 20, 20).Rec(0x0418, {40, 40, 20, 20}).Rec(0x0324, {3, 10, 10, 90, 10, 10, 90})
        .Rec(0x081A, {0, 48, 48, 96, 90, 90, 10, 10}).Rec(0x001E, {}).Rec(0x0416, {50, 50, 0, 0})
        .Rec(0x0127, {-1});
    Bytes params;
    for (int v : {0x0020, 0x00CC, 0, 2, 2, 0, 0, 40, 40, 50, 50}) Put16(params, v);
    const Bytes dib = Dib24(2, 2, {0xFF0000, 0x00FF00, 0x0000FF, 0x000000});
    params.insert(params.end(), dib.begin(), dib.end());
    w.Raw(0x0F43, params);
    Bytes text;
    Put16(text, 3); text.insert(text.end(), {'a', 'b', 'c', 0}); Put16(text, 60); Put16(text, 5);
    w.Raw(0x0521, text);
    return w.Build();
}

Bytes RichEmf() {
    Emf e = RedNoPenEmf();
    e.Rec(43, {1, 1, 20, 20}).Rec(42, {20, 20, 40, 40}).Rec(59, {}).Rec(27, {10, 80})
        .Rec(5, {0, 0, 0, 0, 3, 10, 0, 86, 0, 86, 80}).Rec(60, {}).Rec(62, {0, 0, 96, 96})
        .Rec(35, {FloatBits(1), 0, 0, FloatBits(1), FloatBits(3), FloatBits(3)})
        .Rec(8, {0, 0, 0, 0, 1, 3, 3, 0, 0, 40, 0, 0, 40});
    const Bytes dib = Dib24(2, 2, {0xFF0000, 0x00FF00, 0x0000FF, 0x000000});
    e.RecWith(81, {0, 50, 50, 0, 0, 2, 2, 80, 40, 120, int32_t(dib.size() - 40), 0, 0x00CC0020, 40, 40}, dib);
    Bytes text;
    for (char16_t ch : std::u16string(u"ab")) Put16(text, ch);
    e.RecWith(84, {0, 0, 0, 0, 1, 0, 0, 5, 60, 2, 76, 0, 0, 0, 0, 0, 0}, text);
    return e.Build();
}

}  // namespace

TEST(WmfMalformed, EveryTruncationFailsOrDrawsPartly) {
    for (const Bytes& good : {RichWmf(), RichEmf()}) {
        LfImage whole;
        ASSERT_TRUE(Decode(whole, good)) << whole.LastError();
        for (size_t n = 0; n < good.size(); ++n) {
            SCOPED_TRACE(n);
            LfImage img;
            const Bytes part(good.begin(), good.begin() + n);
            if (Decode(img, part)) {
                EXPECT_EQ(img.Width(), 96u);
            } else {
                EXPECT_STREQ(img.LastError(), "corrupted WMF");
            }
        }
    }
}

TEST(WmfMalformed, HostileRecordsAreSkippedOrEndThePlay) {
    const int32_t kHuge = 0x7FFFFFFF, kMin = INT32_MIN;
    const Bytes lyingDib = [] {
        Bytes dib = Dib24(2, 2, {0, 0, 0, 0});
        Set32(dib, 4, 0x40000000);  // width 2^30 with four pixels of bits
        return dib;
    }();
    const Bytes lyingTable = [] {
        Bytes dib = Dib24(2, 2, {0, 0, 0, 0});
        Set32(dib, 0, 0x7FFFFFFF);  // header size beyond the record
        return dib;
    }();
    struct Case {
        const char* name;
        Bytes file;  // each draws a red rectangle at 0,0-20,20 before its hostile records
    } cases[] = {
        {"wmf record running past the end", [] {
             Wmf w = RedNoPen();
             w.Rect(0, 0, 20, 20);
             Put32(w.records, 1000000); Put16(w.records, 0x041B);
             return w.Build(); }()},
        {"wmf record of size 0", [] {
             Wmf w = RedNoPen();
             w.Rect(0, 0, 20, 20);
             Put32(w.records, 0); Put16(w.records, 0x041B);
             w.Rect(50, 50, 96, 96);
             return w.Build(); }()},
        {"wmf polygon claiming 65535 points", [] {
             Wmf w = RedNoPen();
             w.Rect(0, 0, 20, 20).Rec(0x0324, {0xFFFF, 1, 1});
             return w.Build(); }()},
        {"wmf poly-polygon claiming 65535 polygons", [] {
             Wmf w = RedNoPen();
             w.Rect(0, 0, 20, 20).Rec(0x0538, {0xFFFF, 3, 1, 1});
             return w.Build(); }()},
        {"wmf objects beyond the table", [] {
             Wmf w = RedNoPen();
             w.objects = 2;
             w.Rect(0, 0, 20, 20);
             for (int i = 0; i < 100; ++i) w.Brush(0, 0);
             w.Select(2).Select(0xFFFF).Rec(0x01F0, {0xFFFF}).Rect(50, 50, 96, 96);
             return w.Build(); }()},
        {"wmf restore without save, deep saves", [] {
             Wmf w = RedNoPen();
             w.Rec(0x0127, {-5}).Rec(0x0127, {32767}).Rect(0, 0, 20, 20);
             for (int i = 0; i < 5000; ++i) w.Rec(0x001E, {});
             return w.Build(); }()},
        {"wmf bitmap header lying about its width", [&] {
             Bytes params;
             for (int v : {0x0020, 0x00CC, 0, 2, 2, 0, 0, 96, 96, 0, 0}) Put16(params, v);
             params.insert(params.end(), lyingDib.begin(), lyingDib.end());
             Wmf w = RedNoPen();
             w.Rect(0, 0, 20, 20).Raw(0x0F43, params);
             return w.Build(); }()},
        {"wmf bitmap header size beyond the record", [&] {
             Bytes params;
             for (int v : {0x0020, 0x00CC, 0, 2, 2, 0, 0, 96, 96, 0, 0}) Put16(params, v);
             params.insert(params.end(), lyingTable.begin(), lyingTable.end());
             Wmf w = RedNoPen();
             w.Rect(0, 0, 20, 20).Raw(0x0F43, params);
             return w.Build(); }()},
        {"wmf text longer than its record", [] {
             Wmf w = RedNoPen();
             w.Rect(0, 0, 20, 20).Rec(0x0521, {0x7FFF, 0x4141}).Rec(0x0A32, {10, 10, 0x7FFF, 6, 1});
             return w.Build(); }()},
        {"emf record running past the end", [] {
             Emf e = RedNoPenEmf();
             e.Rec(43, {0, 0, 20, 20});
             Put32(e.records, 43); Put32(e.records, 0x7FFFFFF0);
             return e.Build(); }()},
        {"emf record of size 0", [] {
             Emf e = RedNoPenEmf();
             e.Rec(43, {0, 0, 20, 20});
             Put32(e.records, 43); Put32(e.records, 0);
             return e.Build(); }()},
        {"emf polygon claiming 10^9 points", [] {
             Emf e = RedNoPenEmf();
             e.Rec(43, {0, 0, 20, 20}).Rec(3, {0, 0, 0, 0, 1000000000, 1, 1}).Rec(86, {0, 0, 0, 0, 1000000000, 1});
             return e.Build(); }()},
        {"emf poly-polygon counts beyond the total", [] {
             Emf e = RedNoPenEmf();
             e.Rec(43, {0, 0, 20, 20}).Rec(8, {0, 0, 0, 0, 1000000000, 3, 1, 1, 1})
                 .Rec(8, {0, 0, 0, 0, 2, 3, kHuge, 3, 1, 1, 2, 2, 3, 3});
             return e.Build(); }()},
        {"emf extents of 0 and 2^31", [] {
             Emf e = RedNoPenEmf();
             e.Rec(43, {0, 0, 20, 20}).Rec(17, {8}).Rec(9, {0, 0}).Rec(11, {kHuge, kMin})
                 .Rec(42, {kMin, kMin, kHuge, kHuge}).Rec(9, {1, 1}).Rec(47, {kMin, kMin, kHuge, kHuge, 0, 0, 5, 5})
                 .Rec(32, {kHuge, 1, kHuge, 1}).Rec(44, {0, 0, 50, 50, kHuge, kHuge});
             return e.Build(); }()},
        {"emf dotted pen along a path millions of pixels long", [&] {
             Emf e = RedNoPenEmf();
             e.Rec(43, {0, 0, 20, 20}).Pen(2, 2, 1, 0).Select(2);
             std::vector<int32_t> line = {0, 0, 0, 0, 200};
             for (int i = 0; i < 200; ++i) {
                 line.push_back(i % 2 ? kMin : kHuge);
                 line.push_back(i);
             }
             e.Rec(4, line);
             return e.Build(); }()},
        {"emf world transforms that are not transforms", [] {
             Emf e = RedNoPenEmf();
             const float inf = std::numeric_limits<float>::infinity(), nan = std::numeric_limits<float>::quiet_NaN();
             e.Rec(43, {0, 0, 20, 20})
                 .Rec(35, {FloatBits(0), 0, 0, FloatBits(0), 0, 0})
                 .Rec(35, {FloatBits(nan), 0, 0, FloatBits(1), 0, 0})
                 .Rec(36, {FloatBits(inf), 0, 0, FloatBits(inf), 0, 0, 2})
                 .Rec(35, {FloatBits(3e38f), 0, 0, FloatBits(3e38f), 0, 0})
                 .Rec(41, {10, 10, kHuge, FloatBits(0), FloatBits(1e30f)}).Rec(43, {50, 50, 60, 60});
             return e.Build(); }()},
        {"emf objects beyond the table", [] {
             Emf e = RedNoPenEmf();
             e.Rec(43, {0, 0, 20, 20}).Brush(1000000000, 0).Brush(0, 0).Select(1000000000)
                 .Select(0x8000FFFF).Rec(40, {kHuge}).Rec(43, {50, 50, 96, 96});
             return e.Build(); }()},
        {"emf bitmap header lying about its width", [&] {
             Emf e = RedNoPenEmf();
             e.Rec(43, {0, 0, 20, 20});
             e.RecWith(81, {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, 80, 40, 120, int32_t(lyingDib.size() - 40), 0,
                            0x00CC0020, 96, 96}, lyingDib);
             return e.Build(); }()},
        {"emf bitmap offsets beyond the record", [] {
             Emf e = RedNoPenEmf();
             e.Rec(43, {0, 0, 20, 20}).Rec(81, {0, 0, 0, 0, 0, 0, 0, 0, 2, 2, kHuge, 40, -8, 100, 0,
                                                0x00CC0020, 96, 96});
             return e.Build(); }()},
        {"emf text claiming 10^9 characters, huge font", [] {
             Emf e = RedNoPenEmf();
             e.Rec(43, {0, 0, 20, 20}).Rec(82, {1, kMin, 0, kHuge, 0, 700, 0}).Select(1)
                 .Rec(84, {0, 0, 0, 0, 1, 0, 0, 5, 60, 1000000000, 76, 4, kMin, kMin, kHuge, kHuge, 0});
             return e.Build(); }()},
        {"emf clip region with lying counts", [] {
             Emf e = RedNoPenEmf();
             e.Rec(43, {0, 0, 20, 20}).Rec(75, {kHuge, 5, 32, 1, kHuge, 16, 0, 0, 1, 1})
                 .Rec(75, {48, 1, 32, 1, 0x10000000, 16, 0, 0, 1, 1, 0, 0, 1, 1});
             return e.Build(); }()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImage img;
        ASSERT_TRUE(Decode(img, c.file)) << img.LastError();
        EXPECT_EQ(At(img, 10, 10), kRed);
    }
}

// Bounds of 2^31 pixels are refused by the limit, not allocated.
TEST(WmfMalformed, HugeBoundsRenderAtTheLimit) {
    LfImage img;
    ASSERT_TRUE(Decode(img, Emf{}.Build(INT32_MIN, INT32_MIN, INT32_MAX, INT32_MAX)));
    EXPECT_EQ(img.Width(), 4000u);
    EXPECT_EQ(img.Height(), 4000u);
}

// ---------------------------------------------------------------------------------------
// Peers: Inkscape writes EMF and WMF files of SVG drawings made here; our renderings must
// agree with librsvg's rendering of the SVG itself, with libwmf's (wmf2gd) of the WMF and
// with libemf2svg's SVG of the EMF, by a tolerant measure: after both pictures are scaled
// to the same scale, at least 95% of the pixels lie within 32 levels in every channel.

namespace {

const char* const kSvgHead =
    "<svg xmlns=\"http://www.w3.org/2000/svg\" xmlns:xlink=\"http://www.w3.org/1999/xlink\" "
    "width=\"200\" height=\"100\" viewBox=\"0 0 200 100\">\n"
    "<rect width=\"200\" height=\"100\" fill=\"white\"/>\n";

struct SvgCase {
    const char* name;
    const char* body;
};
void PrintTo(const SvgCase& c, std::ostream* os) { *os << c.name; }

const SvgCase kSvgCases[] = {
    {"shapes",
     "<rect x=\"10\" y=\"10\" width=\"60\" height=\"40\" fill=\"#d02020\" stroke=\"#202080\" stroke-width=\"4\"/>\n"
     "<ellipse cx=\"120\" cy=\"35\" rx=\"35\" ry=\"25\" fill=\"#20a040\"/>\n"
     "<polygon points=\"150,92 195,55 195,92\" fill=\"#e0c020\" stroke=\"black\" stroke-width=\"2\"/>\n"
     "<circle cx=\"40\" cy=\"75\" r=\"18\" fill=\"none\" stroke=\"#8020a0\" stroke-width=\"6\"/>\n"},
    {"beziers",
     "<path d=\"M10 90 C 40 0, 80 0, 100 50 S 160 100, 190 10\" fill=\"none\" stroke=\"#1040c0\" stroke-width=\"3\"/>\n"
     "<path d=\"M20 20 Q 60 60 100 20 T 180 20 L 180 40 L 20 40 Z\" fill=\"#c04010\"/>\n"},
    {"text",
     "<text x=\"10\" y=\"70\" font-family=\"DejaVu Sans\" font-size=\"56\" font-weight=\"bold\" "
     "fill=\"#203060\">Glint</text>\n"},
    {"bitmap",
     "<image x=\"20\" y=\"10\" width=\"160\" height=\"80\" preserveAspectRatio=\"none\" xlink:href=\"pic.png\"/>\n"},
};

// Prints the share of pixels within 32 levels after scaling the wider picture (transparent
// parts on white) to the other's width, keeping its aspect, and cropping both to the lower
// height: a file whose frame adds a margin must not count as a distorted drawing.
const char* const kCompareScript = R"PY(
import sys
import numpy as np
from PIL import Image
def load(p):
    im = Image.open(p).convert('RGBA')
    return Image.alpha_composite(Image.new('RGBA', im.size, (255, 255, 255, 255)), im).convert('RGB')
a, b = load(sys.argv[1]), load(sys.argv[2])
if a.width < b.width: a, b = b, a
a = a.resize((b.width, max(1, round(a.height * b.width / a.width))), Image.BILINEAR)
h = min(a.height, b.height)
x, y = np.asarray(a).astype(int)[:h], np.asarray(b).astype(int)[:h]
print((np.abs(x - y).max(axis=2) <= 32).mean())
)PY";

double Agreement(const fs::path& ours, const fs::path& theirs, const fs::path& script) {
    std::string out;
    if (Run(Python() + " " + ShellQuote(script.string()) + " " + ShellQuote(ours.string()) + " " +
                ShellQuote(theirs.string()) + " 2>/dev/null",
            &out) != 0)
        return -1;
    return std::atof(out.c_str());
}

// A 160 x 80 picture of four colour blocks, for the embedded bitmap: drawn 1:1 in the SVG,
// so no renderer blurs it, and a picture upside down or mirrored shows at once.
void WriteBlocksPng(const fs::path& path) {
    LfImage pic;
    ASSERT_NE(pic.Create(160, 80, 24, LF_FORMAT_PNG), nullptr);
    const LfRgbQuad colors[4] = {{0, 0, 255, 0}, {0, 200, 0, 0}, {255, 0, 0, 0}, {0, 220, 220, 0}};
    for (int y = 0; y < 80; ++y)
        for (int x = 0; x < 160; ++x) pic.SetPixelColor(x, y, colors[(y / 40) * 2 + x / 80]);
    ASSERT_TRUE(pic.Save(path.string().c_str(), LF_FORMAT_PNG)) << pic.LastError();
}

}  // namespace

class WmfPeers : public ::testing::TestWithParam<SvgCase> {};

TEST_P(WmfPeers, InkscapeFilesMatchIndependentRenderings) {
    GLINTWISE_NEED_PEER(HaveTool("inkscape"), "inkscape");
    GLINTWISE_NEED_PEER(HaveTool("rsvg-convert"), "rsvg-convert (librsvg2-bin)");
    GLINTWISE_NEED_PEER(HaveTool("wmf2gd"), "wmf2gd (libwmf-bin)");
    GLINTWISE_NEED_PEER(HaveTool("emf2svg-conv"), "emf2svg-conv (emf2svg)");
    GLINTWISE_NEED_PEER(HavePythonModules("PIL numpy"), "python3-pil, python3-numpy");
    const SvgCase& c = GetParam();
    TempDir dir;
    WriteBlocksPng(dir / "pic.png");
    const fs::path svg = dir / "drawing.svg";
    std::ofstream(svg) << kSvgHead << c.body << "</svg>\n";
    std::ofstream(dir / "compare.py") << kCompareScript;
    const std::string q = ShellQuote(dir.path().string());

    ASSERT_EQ(testsupport::Run("cd " + q + " && rsvg-convert --background-color=white drawing.svg -o svg.png 2>/dev/null"), 0);
    for (const char* kind : {"emf", "wmf"}) {
        SCOPED_TRACE(kind);
        const std::string file = std::string("drawing.") + kind;
        ASSERT_EQ(testsupport::Run("cd " + q + " && inkscape drawing.svg --export-type=" + kind +
                      " --export-filename=" + file + " >/dev/null 2>&1"), 0);
        LfImage img;
        ASSERT_TRUE(img.Load((dir / file).string().c_str(), LF_FORMAT_WMF)) << img.LastError();
        const fs::path ours = dir / (std::string("ours_") + kind + ".bmp");
        ASSERT_TRUE(img.Save(ours.string().c_str(), LF_FORMAT_BMP));

        fs::path peer;
        if (std::string(kind) == "wmf") {
            peer = dir / "wmf2gd.png";
            ASSERT_EQ(testsupport::Run("cd " + q + " && wmf2gd --maxwidth=800 --maxheight=400 --maxpect -o wmf2gd.png drawing.wmf >/dev/null 2>&1"), 0);
        } else {
            peer = dir / "emf2svg.png";
            ASSERT_EQ(testsupport::Run("cd " + q + " && emf2svg-conv -i drawing.emf -o emf2svg.svg >/dev/null 2>&1 && "
                          "rsvg-convert --background-color=white emf2svg.svg -o emf2svg.png 2>/dev/null"), 0);
        }
        EXPECT_GE(Agreement(ours, dir / "svg.png", dir / "compare.py"), 0.95) << "against the SVG";
        EXPECT_GE(Agreement(ours, peer, dir / "compare.py"), 0.95) << "against " << peer.filename();
    }
}

INSTANTIATE_TEST_SUITE_P(Inkscape, WmfPeers, ::testing::ValuesIn(kSvgCases),
                         [](const auto& info) { return std::string(info.param.name); });

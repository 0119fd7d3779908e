// TIFF codec: tags and compression of what we write, decoding of the sample layouts we read
// ourselves (palettes, 16-bit grey, grey+alpha, L*a*b*, tiles, orientation), pages, peers'
// files against Pillow, and damaged input.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <string>
#include <vector>

#include "LfImageTIF.h"
#include "PeerPixels.h"

namespace fs = std::filesystem;
using peer::Bytes;
using testsupport::ReadFile;
using testsupport::ShellQuote;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// One page written with libtiff itself, rows top-down, each `lineSize` bytes.
struct Page {
    uint32_t width = 1, height = 1;
    uint16_t spp = 1, bps = 8, photometric = PHOTOMETRIC_MINISBLACK;
    uint16_t orientation = ORIENTATION_TOPLEFT;
    uint16_t extraSamples = 0;        // one unassociated alpha when set
    uint32_t tile = 0;                // tile size, 0 for strips
    uint32_t rowsPerStrip = 1;
    std::vector<uint16_t> colormap;   // red, green, blue tables one after the other
    Bytes data;
};

Bytes MakeTiff(const std::vector<Page>& pages) {
    TempDir dir;
    const fs::path path = dir / "made.tif";
    TIFF* tif = TIFFOpen(path.c_str(), "w");
    EXPECT_TRUE(tif);
    if (!tif) return {};
    for (const Page& p : pages) {
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, p.width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, p.height);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, p.spp);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, p.bps);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, p.photometric);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_ORIENTATION, p.orientation);
        TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_NONE);
        if (p.extraSamples) {
            const uint16_t extra = EXTRASAMPLE_UNASSALPHA;
            TIFFSetField(tif, TIFFTAG_EXTRASAMPLES, 1, &extra);
        }
        if (!p.colormap.empty()) {
            const size_t n = p.colormap.size() / 3;
            TIFFSetField(tif, TIFFTAG_COLORMAP, p.colormap.data(), p.colormap.data() + n, p.colormap.data() + 2 * n);
        }
        const size_t line = (size_t(p.width) * p.spp * p.bps + 7) / 8;
        if (p.tile) {
            TIFFSetField(tif, TIFFTAG_TILEWIDTH, p.tile);
            TIFFSetField(tif, TIFFTAG_TILELENGTH, p.tile);
            const size_t tileLine = (size_t(p.tile) * p.spp * p.bps + 7) / 8;
            const size_t pixelBytes = size_t(p.spp) * p.bps / 8;
            Bytes tile(tileLine * p.tile);
            for (uint32_t ty = 0; ty < p.height; ty += p.tile)
                for (uint32_t tx = 0; tx < p.width; tx += p.tile) {
                    std::fill(tile.begin(), tile.end(), 0);
                    for (uint32_t y = 0; y < p.tile && ty + y < p.height; ++y)
                        for (uint32_t x = 0; x < p.tile && tx + x < p.width; ++x)
                            std::memcpy(&tile[y * tileLine + x * pixelBytes],
                                        &p.data[(ty + y) * line + (tx + x) * pixelBytes], pixelBytes);
                    TIFFWriteTile(tif, tile.data(), tx, ty, 0, 0);
                }
        } else {
            TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, p.rowsPerStrip);
            for (uint32_t y = 0; y < p.height; ++y)
                TIFFWriteScanline(tif, const_cast<uint8_t*>(&p.data[y * line]), y, 0);
        }
        TIFFWriteDirectory(tif);
    }
    TIFFClose(tif);
    return ReadFile(path);
}

// Tag values of page `page` of a TIFF held in memory.
struct Tags {
    uint16_t compression = 0, photometric = 0, spp = 0, bps = 0, predictor = 0, unit = 0, extra = 0;
    uint32_t rowsPerStrip = 0, subfile = 0, width = 0, height = 0;
    uint16_t pages = 0;
    std::vector<uint16_t> red;
};

Tags ReadTags(const Bytes& bytes, int page = 0) {
    TempDir dir;
    WriteFile(dir / "t.tif", bytes);
    Tags t;
    TIFF* tif = TIFFOpen((dir / "t.tif").c_str(), "r");
    EXPECT_TRUE(tif);
    if (!tif) return t;
    t.pages = TIFFNumberOfDirectories(tif);
    TIFFSetDirectory(tif, page);
    TIFFGetField(tif, TIFFTAG_COMPRESSION, &t.compression);
    TIFFGetField(tif, TIFFTAG_PHOTOMETRIC, &t.photometric);
    TIFFGetField(tif, TIFFTAG_SAMPLESPERPIXEL, &t.spp);
    TIFFGetField(tif, TIFFTAG_BITSPERSAMPLE, &t.bps);
    TIFFGetField(tif, TIFFTAG_PREDICTOR, &t.predictor);
    TIFFGetField(tif, TIFFTAG_RESOLUTIONUNIT, &t.unit);
    TIFFGetField(tif, TIFFTAG_ROWSPERSTRIP, &t.rowsPerStrip);
    TIFFGetField(tif, TIFFTAG_SUBFILETYPE, &t.subfile);
    TIFFGetField(tif, TIFFTAG_IMAGEWIDTH, &t.width);
    TIFFGetField(tif, TIFFTAG_IMAGELENGTH, &t.height);
    uint16_t count = 0;
    uint16_t* kinds = nullptr;
    if (TIFFGetField(tif, TIFFTAG_EXTRASAMPLES, &count, &kinds) && count == 1) t.extra = kinds[0];
    uint16_t *r = nullptr, *g = nullptr, *b = nullptr;
    if (TIFFGetField(tif, TIFFTAG_COLORMAP, &r, &g, &b)) t.red.assign(r, r + (1 << t.bps));
    TIFFClose(tif);
    return t;
}

void MakeRgbPicture(LfImage& img, uint32_t w, uint32_t h) {
    ASSERT_NE(img.Create(w, h, 24), nullptr);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            img.SetPixelColor(x, y, LfRgbQuad{static_cast<uint8_t>(x * 9), static_cast<uint8_t>(y * 5),
                                              static_cast<uint8_t>(128 + (x + y) % 64), 0});
}

Bytes EncodeTiff(LfImage& img) { return peer::EncodeToBytes(img, LF_FORMAT_TIF); }

// Decodes through the TIFF codec directly, page `frame`.
bool DecodeTiff(LfImageTIF& img, const Bytes& bytes, int32_t frame = 0) {
    img.SetCurrentFrame(frame);
    return peer::DecodeWith(img, bytes);
}

}  // namespace

// ---------------------------------------------------------------- what we write

TEST(TiffLayout, RgbPictureIsOneJpegPageWithStripsInMultiplesOfEight) {
    LfImage img;
    MakeRgbPicture(img, 40, 30);
    const Bytes tiff = EncodeTiff(img);
    ASSERT_FALSE(tiff.empty()) << img.LastError();
    const Tags t = ReadTags(tiff);
    EXPECT_EQ(t.pages, 1);
    EXPECT_EQ(t.compression, COMPRESSION_JPEG);
    EXPECT_EQ(t.photometric, PHOTOMETRIC_RGB);
    EXPECT_EQ(t.rowsPerStrip % 8, 0u);
    EXPECT_EQ(t.unit, RESUNIT_INCH);
    EXPECT_EQ(t.subfile, 0u);
    LfImageTIF back;
    ASSERT_TRUE(DecodeTiff(back, tiff)) << back.LastError();
    EXPECT_LE(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(img), 12, false), 0u);
    EXPECT_EQ(back.CodecOption(LF_FORMAT_TIF), static_cast<uint32_t>(COMPRESSION_JPEG));
}

TEST(TiffLayout, GreyIsMinIsBlackLzwWithPredictorAndColourPaletteIsScaledBy257) {
    LfImage grey;
    ASSERT_NE(grey.Create(17, 5, 8), nullptr);
    grey.SetGreyPalette();
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 17; ++x) grey.SetPixelIndex(x, y, static_cast<uint8_t>(x * 15 + y));
    const Bytes g = EncodeTiff(grey);
    const Tags gt = ReadTags(g);
    EXPECT_EQ(gt.photometric, PHOTOMETRIC_MINISBLACK);
    EXPECT_EQ(gt.compression, COMPRESSION_LZW);
    EXPECT_EQ(gt.predictor, PREDICTOR_HORIZONTAL);
    LfImageTIF gback;
    ASSERT_TRUE(DecodeTiff(gback, g));
    EXPECT_EQ(peer::ToRgba(gback).pixels, peer::ToRgba(grey).pixels);

    LfImage colour;
    ASSERT_NE(colour.Create(9, 4, 8), nullptr);
    colour.SetPaletteColor(1, LfRgbQuad{10, 20, 30, 0});
    colour.SetPaletteColor(2, LfRgbQuad{200, 100, 255, 0});
    for (int32_t x = 0; x < 9; ++x) colour.SetPixelIndex(x, x % 4, static_cast<uint8_t>(1 + x % 2));
    const Bytes c = EncodeTiff(colour);
    const Tags ct = ReadTags(c);
    EXPECT_EQ(ct.photometric, PHOTOMETRIC_PALETTE);
    ASSERT_EQ(ct.red.size(), 256u);
    EXPECT_EQ(ct.red[1], 30 * 257);
    EXPECT_EQ(ct.red[2], 255 * 257);
    LfImageTIF cback;
    ASSERT_TRUE(DecodeTiff(cback, c));
    EXPECT_EQ(peer::ToRgba(cback).pixels, peer::ToRgba(colour).pixels);
}

TEST(TiffLayout, BilevelWithBlackFirstIsInvertedIntoMinIsWhiteAndThePictureIsUntouched) {
    LfImage img;
    ASSERT_NE(img.Create(21, 6, 1), nullptr);
    img.SetPaletteColor(0, LfRgbQuad{0, 0, 0, 0});
    img.SetPaletteColor(1, LfRgbQuad{255, 255, 255, 0});
    img.Clear(0);
    for (int32_t x = 0; x < 21; ++x) img.SetPixelIndex(x, x % 6, 1);
    const Bytes before = peer::Snapshot(img);
    const Bytes tiff = EncodeTiff(img);
    ASSERT_FALSE(tiff.empty()) << img.LastError();
    EXPECT_EQ(peer::Snapshot(img), before);
    const Tags t = ReadTags(tiff);
    EXPECT_EQ(t.photometric, PHOTOMETRIC_MINISWHITE);
    EXPECT_EQ(t.compression, COMPRESSION_CCITTFAX4);
    LfImageTIF back;
    ASSERT_TRUE(DecodeTiff(back, tiff));
    EXPECT_EQ(peer::ToRgba(back).pixels, peer::ToRgba(img).pixels);
}

TEST(TiffLayout, CodecOptionOneWritesUncompressedStrips) {
    LfImage img;
    MakeRgbPicture(img, 8, 8);
    img.SetCodecOption(COMPRESSION_NONE, LF_FORMAT_TIF);
    const Bytes tiff = EncodeTiff(img);
    EXPECT_EQ(ReadTags(tiff).compression, COMPRESSION_NONE);
    LfImageTIF back;
    ASSERT_TRUE(DecodeTiff(back, tiff));
    EXPECT_EQ(peer::ToRgba(back).pixels, peer::ToRgba(img).pixels);
}

TEST(TiffLayout, AlphaSurvivesTheRoundTrip) {
    LfImage rgba;
    MakeRgbPicture(rgba, 6, 5);
    rgba.SetCodecOption(COMPRESSION_LZW, LF_FORMAT_TIF);
    ASSERT_TRUE(rgba.AlphaCreate());
    for (int32_t x = 0; x < 6; ++x) rgba.AlphaSet(x, x % 5, static_cast<uint8_t>(x * 40));
    const Bytes tiff = EncodeTiff(rgba);
    const Tags t = ReadTags(tiff);
    EXPECT_EQ(t.spp, 4);
    EXPECT_EQ(t.extra, EXTRASAMPLE_UNASSALPHA);
    LfImageTIF back;
    ASSERT_TRUE(DecodeTiff(back, tiff));
    EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(rgba), 0, true), 0u);

    LfImage indexed;
    ASSERT_NE(indexed.Create(4, 3, 8), nullptr);
    indexed.SetGreyPalette();
    indexed.Clear(90);
    ASSERT_TRUE(indexed.AlphaCreate());
    indexed.AlphaSet(3, 2, 5);
    const Bytes ia = EncodeTiff(indexed);
    EXPECT_EQ(ReadTags(ia).spp, 2);
    LfImageTIF iback;
    ASSERT_TRUE(DecodeTiff(iback, ia));
    EXPECT_EQ(peer::CountDifferences(peer::ToRgba(iback), peer::ToRgba(indexed), 0, true), 0u);
}

TEST(TiffLayout, AppendedPagesMakeOneMultiPageFile) {
    LfMemFile stream;
    ASSERT_TRUE(stream.Open());
    LfImageTIF writer;
    for (int page = 0; page < 3; ++page) {
        ASSERT_NE(writer.Create(5 + page, 4, 24), nullptr);
        writer.Clear(static_cast<uint8_t>(page * 100));
        writer.SetCodecOption(COMPRESSION_NONE, LF_FORMAT_TIF);
        ASSERT_TRUE(writer.Encode(&stream, page < 2)) << writer.LastError();
    }
    const Bytes bytes(stream.GetBuffer(false), stream.GetBuffer(false) + stream.Size());
    EXPECT_EQ(ReadTags(bytes).pages, 3);
    EXPECT_EQ(ReadTags(bytes, 2).subfile, static_cast<uint32_t>(FILETYPE_PAGE));
    LfImageTIF third;
    ASSERT_TRUE(DecodeTiff(third, bytes, 2)) << third.LastError();
    EXPECT_EQ(third.Width(), 7u);
    EXPECT_EQ(third.NumFrames(), 3);
    EXPECT_EQ(third.Row(0)[0], 200);
}

TEST(TiffLayout, FailingWritesAreFailures) {
    LfImage img;
    MakeRgbPicture(img, 64, 64);
    img.SetCodecOption(COMPRESSION_NONE, LF_FORMAT_TIF);
    {
        peer::FailingStream stream(0);
        EXPECT_FALSE(img.Encode(&stream, LF_FORMAT_TIF));
        EXPECT_STREQ(img.LastError(), "initialization fail");
    }
    for (size_t room : {8, 100, 5000, 12300}) {
        SCOPED_TRACE(room);
        peer::FailingStream stream(room);
        EXPECT_FALSE(img.Encode(&stream, LF_FORMAT_TIF));
        EXPECT_STREQ(img.LastError(), "Error saving TIFF file");
    }
}

// ---------------------------------------------------------------- decoding

TEST(TiffDecode, SixteenBitGreyIsScaledToItsBrightestSample) {
    Page p;
    p.width = 3;
    p.height = 2;
    p.bps = 16;
    const uint16_t samples[] = {0x0FFF, 0x0800, 0x0010, 0x00FF, 0x0000, 0x0001};
    p.data.resize(sizeof samples);
    std::memcpy(p.data.data(), samples, sizeof samples);
    LfImageTIF img;
    ASSERT_TRUE(DecodeTiff(img, MakeTiff({p}))) << img.LastError();
    ASSERT_EQ(img.BitCount(), 8u);
    EXPECT_EQ(Bytes(img.Row(1), img.Row(1) + 3), (Bytes{0xFF, 0x80, 0x01}));   // top row
    EXPECT_EQ(Bytes(img.Row(0), img.Row(0) + 3), (Bytes{0x0F, 0x00, 0x00}));

    p.tile = 16;   // tiled 16-bit files keep the high byte
    LfImageTIF tiled;
    ASSERT_TRUE(DecodeTiff(tiled, MakeTiff({p}))) << tiled.LastError();
    EXPECT_EQ(Bytes(tiled.Row(1), tiled.Row(1) + 3), (Bytes{0x0F, 0x08, 0x00}));
}

TEST(TiffDecode, MissingPageFailsAndReportsThePageCount) {
    Page p;
    p.data = {42};
    const Bytes two = MakeTiff({p, p});
    for (int32_t frame : {2, 3, -1}) {
        SCOPED_TRACE(frame);
        LfImageTIF img;
        EXPECT_FALSE(DecodeTiff(img, two, frame));
        EXPECT_STREQ(img.LastError(), "Error: page not present in TIFF file");
    }
    // Through the dispatch the page count reaches the caller's image.
    LfImage viaDispatch;
    viaDispatch.SetCurrentFrame(3);
    EXPECT_FALSE(peer::DecodeBytes(viaDispatch, two, LF_FORMAT_TIF));
    EXPECT_EQ(viaDispatch.NumFrames(), 2);
    LfImageTIF second;
    EXPECT_TRUE(DecodeTiff(second, two, 1));
}

TEST(TiffDecode, HeaderOnlyProbe) {
    Page p;
    p.width = 300;
    p.height = 2;
    p.data.assign(600, 1);
    LfImageTIF img;
    img.SetEscape(-1);
    ASSERT_TRUE(DecodeTiff(img, MakeTiff({p})));
    EXPECT_EQ(img.Width(), 300u);
    EXPECT_EQ(img.Height(), 2u);
    EXPECT_EQ(img.Type(), static_cast<uint32_t>(LF_FORMAT_TIF));
    EXPECT_FALSE(img.IsValid());
}

TEST(TiffDecode, PalettesNarrowEightBitValuedAndWide) {
    Page p;
    p.width = 4;
    p.photometric = PHOTOMETRIC_PALETTE;
    p.data = {0, 1, 2, 255};
    p.colormap.assign(3 * 256, 0);
    p.colormap[1] = 65535;          // red of entry 1, a true 16-bit map
    p.colormap[256 + 2] = 32896;    // green of entry 2
    LfImageTIF a;
    ASSERT_TRUE(DecodeTiff(a, MakeTiff({p})));
    EXPECT_EQ(a.PaletteColor(1), (LfRgbQuad{0, 0, 255, 0}));
    EXPECT_EQ(a.PaletteColor(2), (LfRgbQuad{0, 128, 0, 0}));

    // Maps holding 8-bit values are taken as they are.
    std::fill(p.colormap.begin(), p.colormap.end(), 0);
    p.colormap[1] = 200;
    LfImageTIF b;
    ASSERT_TRUE(DecodeTiff(b, MakeTiff({p})));
    EXPECT_EQ(b.PaletteColor(1).red, 200);

    // A 16-bit palette gives a 24-bit picture.
    Page wide;
    wide.width = 3;
    wide.bps = 16;
    wide.photometric = PHOTOMETRIC_PALETTE;
    wide.colormap.assign(3 * 65536, 0);
    wide.colormap[40000] = 65535;              // red of entry 40000
    wide.colormap[2 * 65536 + 7] = 65535;      // blue of entry 7
    const uint16_t indices[] = {40000, 7, 0};
    wide.data.resize(sizeof indices);
    std::memcpy(wide.data.data(), indices, sizeof indices);
    LfImageTIF c;
    ASSERT_TRUE(DecodeTiff(c, MakeTiff({wide}))) << c.LastError();
    ASSERT_EQ(c.BitCount(), 24u);
    EXPECT_EQ(Bytes(c.Row(0), c.Row(0) + 9), (Bytes{0, 0, 255, 255, 0, 0, 0, 0, 0}));
}

TEST(TiffDecode, GreyAlphaAndLabSamples) {
    Page ga;
    ga.width = 2;
    ga.spp = 2;
    ga.extraSamples = 1;
    ga.data = {10, 200, 250, 0};
    LfImageTIF a;
    ASSERT_TRUE(DecodeTiff(a, MakeTiff({ga})));
    ASSERT_EQ(a.BitCount(), 8u);
    ASSERT_TRUE(a.AlphaIsValid());
    EXPECT_EQ(a.Row(0)[1], 250);
    EXPECT_EQ(a.AlphaGet(0, 0), 200);
    EXPECT_EQ(a.AlphaGet(1, 0), 0);

    // L*a*b*: black, white, 50% grey (sRGB 119) and a strong red.
    Page lab;
    lab.width = 4;
    lab.spp = 3;
    lab.photometric = PHOTOMETRIC_CIELAB;
    lab.data = {0, 0, 0, 255, 0, 0, 128, 0, 0, 136, 80, 67};
    LfImageTIF l;
    ASSERT_TRUE(DecodeTiff(l, MakeTiff({lab}))) << l.LastError();
    ASSERT_EQ(l.BitCount(), 24u);
    const auto rgba = peer::ToRgba(l);
    auto near = [&](uint32_t x, int r, int g, int b) {
        const uint8_t* p = rgba.At(x, 0);
        EXPECT_NEAR(p[0], r, 2) << x;
        EXPECT_NEAR(p[1], g, 2) << x;
        EXPECT_NEAR(p[2], b, 2) << x;
    };
    near(0, 0, 0, 0);
    near(1, 255, 255, 255);
    near(2, 119, 119, 119);
    near(3, 255, 0, 0);
}

TEST(TiffDecode, EveryOrientationDisplaysUpright) {
    // A 3x2 picture, stored as each orientation says, must come out as this:
    //   1 2 3
    //   4 5 6
    const uint8_t upright[2][3] = {{1, 2, 3}, {4, 5, 6}};
    for (uint16_t o = 1; o <= 8; ++o) {
        const bool swapped = o >= 5;
        const uint32_t sw = swapped ? 2 : 3, sh = swapped ? 3 : 2;   // stored size
        Page grey;
        grey.width = sw;
        grey.height = sh;
        grey.orientation = o;
        grey.data.resize(sw * sh);
        // Stored sample (r, c) is the displayed pixel the tag maps it to.
        for (uint32_t r = 0; r < sh; ++r)
            for (uint32_t c = 0; c < sw; ++c) {
                uint32_t dr = r, dc = c;
                switch (o) {
                case 2: dc = sw - 1 - c; break;
                case 3: dr = sh - 1 - r; dc = sw - 1 - c; break;
                case 4: dr = sh - 1 - r; break;
                case 5: dr = c; dc = r; break;
                case 6: dr = c; dc = sh - 1 - r; break;
                case 7: dr = sw - 1 - c; dc = sh - 1 - r; break;
                case 8: dr = sw - 1 - c; dc = r; break;
                }
                grey.data[r * sw + c] = upright[dr][dc];
            }
        Page rgb = grey;
        rgb.spp = 3;
        rgb.photometric = PHOTOMETRIC_RGB;
        rgb.data.clear();
        for (uint8_t v : grey.data) rgb.data.insert(rgb.data.end(), {v, v, v});
        for (const Page& p : {grey, rgb}) {
            SCOPED_TRACE(std::to_string(o) + (p.spp == 3 ? " rgb" : " grey"));
            LfImageTIF img;
            ASSERT_TRUE(DecodeTiff(img, MakeTiff({p}))) << img.LastError();
            const auto rgba = peer::ToRgba(img);
            ASSERT_EQ(rgba.width, 3u);
            ASSERT_EQ(rgba.height, 2u);
            for (uint32_t y = 0; y < 2; ++y)
                for (uint32_t x = 0; x < 3; ++x) EXPECT_EQ(rgba.At(x, y)[0], upright[y][x]) << x << "," << y;
        }
    }
}

TEST(TiffDecode, ProbeFindsTiff) {
    Page p;
    p.data = {7};
    TempDir dir;
    WriteFile(dir / "x.bin", MakeTiff({p}));
    LfImage img;
    ASSERT_TRUE(img.Load((dir / "x.bin").c_str(), LF_FORMAT_UNKNOWN)) << img.LastError();
    EXPECT_EQ(img.Type(), static_cast<uint32_t>(LF_FORMAT_TIF));
}

// ---------------------------------------------------------------- damaged input

TEST(TiffMalformed, EmptyForeignAndTruncatedFilesFailCleanly) {
    LfImageTIF empty;
    EXPECT_FALSE(DecodeTiff(empty, Bytes{}));
    EXPECT_STREQ(empty.LastError(), "Error encountered while opening TIFF file");
    Page p;
    p.width = 5;
    p.height = 4;
    p.rowsPerStrip = 2;
    p.data.assign(20, 9);
    const Bytes good = MakeTiff({p});
    for (size_t n = 0; n < good.size(); ++n) {
        LfImageTIF img;
        DecodeTiff(img, Bytes(good.begin(), good.begin() + n));   // refused or partial, never a crash
    }
}

TEST(TiffMalformed, DamagedBytesNeverCrash) {
    Page p;
    p.width = 6;
    p.height = 5;
    p.spp = 2;
    p.extraSamples = 1;
    p.rowsPerStrip = 2;
    p.data.assign(60, 0x33);
    const Bytes good = MakeTiff({p});
    for (size_t at = 0; at < good.size(); ++at) {
        for (uint8_t value : {0x00, 0xFF, 0x10}) {
            Bytes bad = good;
            bad[at] = value;
            SCOPED_TRACE(testing::Message() << "byte " << at << " = " << int(value));
            LfImageTIF img;
            // Refused with a reason or decoded to a picture; never a success without one.
            if (DecodeTiff(img, bad)) EXPECT_TRUE(img.IsValid());
            else EXPECT_STRNE(img.LastError(), "");
        }
    }
}

TEST(TiffMalformed, CheckitTiffFilesAreRefusedOrDecodedNeverCrash) {
    std::vector<fs::path> files;
    for (const char* dir : {"/usr/share/checkit_tiff/tiffs_should_fail", "/usr/share/checkit_tiff/tiffs_should_pass"}) {
        if (!fs::is_directory(dir)) continue;
        for (const auto& entry : fs::recursive_directory_iterator(dir))
            if (entry.is_regular_file()) files.push_back(entry.path());
    }
    GLINTWISE_NEED_PEER(!files.empty(), "checkit-tiff");
    for (const fs::path& f : files) {
        SCOPED_TRACE(f.string());
        LfImageTIF img;
        if (DecodeTiff(img, ReadFile(f))) EXPECT_TRUE(img.IsValid());
        else EXPECT_STRNE(img.LastError(), "");
    }
}

// ---------------------------------------------------------------- peers

namespace {

struct Expectation {
    fs::path file;
    int tolerance = 0;
    fs::path reference;   // what Pillow decodes instead of the file, when set
};

void ExpectSameAsPillow(const std::vector<Expectation>& cases, peer::PillowOptions options = {}) {
    std::vector<fs::path> files;
    for (const auto& c : cases) files.push_back(c.reference.empty() ? c.file : c.reference);
    const auto pillow = peer::PillowDecode(files, options);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.filename().string());
        LfImageTIF img;
        ASSERT_TRUE(DecodeTiff(img, ReadFile(c.file))) << img.LastError();
        auto it = pillow.find(c.reference.empty() ? c.file : c.reference);
        ASSERT_NE(it, pillow.end()) << "Pillow could not read it";
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(img), it->second, c.tolerance, it->second.alphaMatters), 0u);
    }
}

}  // namespace

TEST(TiffPeers, GoImageTestFilesDecodeToPillowsPixels) {
    const fs::path dir = "/usr/share/gocode/src/golang.org/x/image/testdata";
    GLINTWISE_NEED_PEER(fs::is_directory(dir), "golang-golang-x-image-dev");
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow");
    std::vector<Expectation> cases;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".tiff") continue;
        // libtiff and Pillow round 16-bit colour to 8 bits differently.
        const bool sixteenBitColour = entry.path().filename() == "video-001-16bit.tiff";
        cases.push_back({entry.path(), sixteenBitColour ? 1 : 0, {}});
    }
    ASSERT_GE(cases.size(), 10u);
    peer::PillowOptions options;
    options.scaleSixteenBitGrey = true;
    ExpectSameAsPillow(cases, options);
}

TEST(TiffPeers, FilesWrittenByImageMagickAndTiffcpDecodeToPillowsPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow() && testsupport::HaveTool("convert-im6.q16") &&
                            testsupport::HaveTool("tiffcp") && testsupport::HaveTool("tiffset"),
                        "Pillow, ImageMagick or libtiff tools");
    TempDir dir;
    const std::string d = ShellQuote(dir.path().string()) + "/";
    const char* script = R"PY(
import sys, numpy as np
from PIL import Image
d = sys.argv[1]
h, w = 45, 61
y, x = np.mgrid[0:h, 0:w]
rgb = np.stack([x * 4 % 256, y * 5 % 256, (x * y) % 256], -1).astype(np.uint8)
Image.fromarray(rgb).save(d + '/base-rgb.tif')
Image.fromarray(((x + y) * 3 % 256).astype(np.uint8)).save(d + '/base-grey.tif')
Image.fromarray(((x // 3 + y // 2) % 2).astype(bool)).save(d + '/base-bilevel.tif')
)PY";
    // How each Orientation value displays: Pillow's own transposes of the untagged picture.
    const char* shown = R"PY(
import sys
from PIL import Image
d = sys.argv[1]
T = Image.Transpose
for o, method in {2: T.FLIP_LEFT_RIGHT, 3: T.ROTATE_180, 4: T.FLIP_TOP_BOTTOM, 5: T.TRANSPOSE,
                  6: T.ROTATE_270, 7: T.TRANSVERSE, 8: T.ROTATE_90}.items():
    for base in sys.argv[2:]:
        Image.open(d + '/' + base + '.tif').convert('RGB').transpose(method).save('%s/%s-shown%d.png' % (d, base, o))
)PY";
    std::ofstream(dir / "shown.py") << shown;
    std::ofstream(dir / "make.py") << script;
    auto run = [](const std::string& command) { ASSERT_EQ(testsupport::Run(command + " >/dev/null 2>&1"), 0) << command; };
    run(testsupport::Python() + " " + ShellQuote((dir / "make.py").string()) + " " + ShellQuote(dir.path().string()));
    std::vector<Expectation> cases;
    auto add = [&](const std::string& name, int tolerance = 0) { cases.push_back({dir / name, tolerance, {}}); };
    for (const char* base : {"base-rgb", "base-grey"}) {
        const std::string b = d + base;
        run("tiffcp -c lzw:2 " + b + ".tif " + b + "-lzw.tif");
        run("tiffcp -c zip " + b + ".tif " + b + "-zip.tif");
        run("tiffcp -c packbits " + b + ".tif " + b + "-packbits.tif");
        run("tiffcp -t -w 16 -l 32 " + b + ".tif " + b + "-tiled.tif");
        run("tiffcp -c jpeg:90 -r 16 " + b + ".tif " + b + "-jpeg.tif");
        run("tiffcp -p separate " + b + ".tif " + b + "-planar.tif");
        run("tiffcp -c jpeg:90 -t -w 32 -l 32 " + b + ".tif " + b + "-jpeg-tiled.tif");
        for (const char* suffix : {"-lzw", "-zip", "-packbits", "-tiled", "-planar"}) add(std::string(base) + suffix + ".tif");
        add(std::string(base) + "-jpeg.tif", 2);
        add(std::string(base) + "-jpeg-tiled.tif", 2);
    }
    run("tiffcp -c g4 " + d + "base-bilevel.tif " + d + "bilevel-g4.tif");
    run("tiffcp -c g3 " + d + "base-bilevel.tif " + d + "bilevel-g3.tif");
    add("bilevel-g4.tif");
    add("bilevel-g3.tif");
    run("convert-im6.q16 " + d + "base-rgb.tif -depth 16 " + d + "im-rgb16.tif");
    run("convert-im6.q16 " + d + "base-rgb.tif -colors 50 -type Palette " + d + "im-palette.tif");
    run("convert-im6.q16 " + d + "base-rgb.tif -compress JPEG -quality 92 " + d + "im-jpeg.tif");
    run("convert-im6.q16 " + d + "base-rgb.tif -alpha set -channel A -evaluate set 60% +channel " + d + "im-rgba.tif");
    run("convert-im6.q16 " + d + "base-grey.tif -compress LZW -define tiff:tile-geometry=32x32 " + d + "im-grey-tiled.tif");
    run("convert-im6.q16 " + d + "base-rgb.tif -colorspace CMYK " + d + "im-cmyk.tif");
    run("convert-im6.q16 " + d + "base-grey.tif -depth 2 " + d + "im-grey2.tif");
    run("convert-im6.q16 " + d + "base-grey.tif -depth 4 " + d + "im-grey4.tif");
    add("im-cmyk.tif", 1);
    add("im-grey2.tif");
    add("im-grey4.tif");
    add("im-rgb16.tif", 1);
    add("im-palette.tif", 1);   // 16-bit map entries are scaled by 255/65535, Pillow keeps the high byte
    add("im-jpeg.tif", 2);
    add("im-rgba.tif");
    add("im-grey-tiled.tif");
    // libtiff's RGBA reader (YCbCr JPEG) and our own sample reader (RGB, grey) both turn pictures.
    run(testsupport::Python() + " " + ShellQuote((dir / "shown.py").string()) + " " + ShellQuote(dir.path().string()) +
        " base-rgb base-grey base-rgb-jpeg");
    for (int o = 2; o <= 8; ++o) {
        for (const char* base : {"base-rgb", "base-grey", "base-rgb-jpeg"}) {
            const std::string name = std::string(base) + "-orientation" + std::to_string(o) + ".tif";
            run("cp " + d + base + ".tif " + d + name + " && tiffset -s 274 " + std::to_string(o) + " " + d + name);
            const int tolerance = std::string(base) == "base-rgb-jpeg" ? 2 : 0;
            cases.push_back({dir / name, tolerance, dir / (std::string(base) + "-shown" + std::to_string(o) + ".png")});
        }
    }
    ExpectSameAsPillow(cases);
}

TEST(TiffPeers, OurFilesPassTiffinfoAndDecodeInPillowToOurPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow() && testsupport::HaveTool("tiffinfo"), "Pillow or tiffinfo");
    TempDir dir;
    std::vector<fs::path> files;
    std::vector<peer::Rgba> expected;
    std::vector<int> tolerance;
    auto save = [&](LfImage& img, const std::string& name, int tol = 0) {
        const fs::path path = dir / name;
        ASSERT_TRUE(img.Save(path.c_str(), LF_FORMAT_TIF)) << img.LastError();
        files.push_back(path);
        LfImageTIF back;   // JPEG pages are compared with what we read back
        ASSERT_TRUE(DecodeTiff(back, ReadFile(path))) << back.LastError();
        expected.push_back(peer::ToRgba(tol ? back : img));
        tolerance.push_back(tol);
    };
    LfImage jpeg, lzw, rgba, grey, palette, bilevel, four;
    MakeRgbPicture(jpeg, 50, 37);
    save(jpeg, "jpeg.tif", 2);
    MakeRgbPicture(lzw, 50, 37);
    lzw.SetCodecOption(COMPRESSION_LZW, LF_FORMAT_TIF);
    save(lzw, "lzw.tif");
    MakeRgbPicture(rgba, 20, 9);
    rgba.SetCodecOption(COMPRESSION_ADOBE_DEFLATE, LF_FORMAT_TIF);
    ASSERT_TRUE(rgba.AlphaCreate());
    for (int32_t x = 0; x < 20; ++x) rgba.AlphaSet(x, x % 9, static_cast<uint8_t>(x * 12));
    save(rgba, "rgba.tif");
    ASSERT_NE(grey.Create(33, 8, 8), nullptr);
    grey.SetGreyPalette();
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 33; ++x) grey.SetPixelIndex(x, y, static_cast<uint8_t>(x * 7 + y * 3));
    save(grey, "grey.tif");
    ASSERT_NE(palette.Create(33, 8, 8), nullptr);
    for (int i = 0; i < 256; ++i)
        palette.SetPaletteColor(static_cast<uint8_t>(i), LfRgbQuad{static_cast<uint8_t>(i), 0, static_cast<uint8_t>(255 - i), 0});
    for (int32_t y = 0; y < 8; ++y)
        for (int32_t x = 0; x < 33; ++x) palette.SetPixelIndex(x, y, static_cast<uint8_t>(x * 5 + y));
    save(palette, "palette.tif");
    ASSERT_NE(four.Create(13, 5, 4), nullptr);
    for (uint8_t i = 0; i < 16; ++i) four.SetPaletteColor(i, LfRgbQuad{static_cast<uint8_t>(i * 16), 99, 7, 0});
    for (int32_t y = 0; y < 5; ++y)
        for (int32_t x = 0; x < 13; ++x) four.SetPixelIndex(x, y, static_cast<uint8_t>((x + y) % 16));
    save(four, "four.tif");
    ASSERT_NE(bilevel.Create(37, 11, 1), nullptr);
    bilevel.SetPaletteColor(0, LfRgbQuad{255, 255, 255, 0});
    for (int32_t x = 0; x < 37; ++x) bilevel.SetPixelIndex(x, x % 11, 1);
    save(bilevel, "bilevel.tif");

    for (const fs::path& f : files) {
        std::string out;
        EXPECT_EQ(testsupport::Run("tiffinfo -D " + ShellQuote(f.string()) + " 2>&1", &out), 0) << out;
        EXPECT_EQ(out.find("Error"), std::string::npos) << f << ": " << out;
    }
    const auto pillow = peer::PillowDecode(files);
    for (size_t i = 0; i < files.size(); ++i) {
        SCOPED_TRACE(files[i].filename().string());
        auto it = pillow.find(files[i]);
        ASSERT_NE(it, pillow.end()) << "Pillow could not read it";
        EXPECT_EQ(peer::CountDifferences(expected[i], it->second, tolerance[i], it->second.alphaMatters), 0u);
    }
}

// The JPEG 2000 family codec on its own: what each of the five variants writes (Layout), the
// component rules and the readers' variants (Decode), and hostile input (Malformed). Files of
// other tools are in jas_peers_test.cpp.
#include <gtest/gtest.h>
#include <openjpeg.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "LfImageJAS.h"
#include "PeerPixels.h"

namespace fs = std::filesystem;
using peer::Bytes;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

Bytes Text(const std::string& s) { return Bytes(s.begin(), s.end()); }
Bytes operator+(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

// A 24-bit picture whose channels all vary, so that swapped or shifted channels show.
void MakeColour(LfImage& img, uint32_t w, uint32_t h) {
    ASSERT_TRUE(img.Create(w, h, 24, LF_FORMAT_BMP));
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            uint8_t* p = img.Row(y) + 3 * x;
            p[0] = uint8_t(x * 37 + y * 11);
            p[1] = uint8_t(x * 5 + y * 29 + 40);
            p[2] = uint8_t((x ^ y) * 13 + 90);
        }
}

// An 8-bit picture with the identity grey palette.
void MakeGrey(LfImage& img, uint32_t w, uint32_t h) {
    ASSERT_TRUE(img.Create(w, h, 8, LF_FORMAT_BMP));
    LfRgbQuad pal[256];
    for (int i = 0; i < 256; ++i) pal[i] = LfRgbQuad{uint8_t(i), uint8_t(i), uint8_t(i), 0};
    img.SetPalette(pal, 256);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) img.SetPixelIndex(int32_t(x), int32_t(y), uint8_t(x * 23 + y * 7));
}

bool Decode(LfImage& img, const Bytes& bytes, uint32_t format = 0) { return peer::DecodeBytes(img, bytes, format); }

// A code stream or JP2 written with OpenJPEG directly: components of one size and precision,
// sample(c, x, y) for each, lossless.
Bytes MakeOpj(uint32_t comps, uint32_t prec, uint32_t w, uint32_t h, OPJ_CODEC_FORMAT format,
              const std::function<int32_t(uint32_t, uint32_t, uint32_t)>& sample,
              OPJ_COLOR_SPACE space = OPJ_CLRSPC_UNSPECIFIED) {
    std::vector<opj_image_cmptparm_t> p(comps);
    for (auto& c : p) c = opj_image_cmptparm_t{1, 1, w, h, 0, 0, prec, 0, 0};
    opj_image_t* image = opj_image_create(comps, p.data(), space);
    image->x1 = w;
    image->y1 = h;
    for (uint32_t c = 0; c < comps; ++c)
        for (uint32_t y = 0; y < h; ++y)
            for (uint32_t x = 0; x < w; ++x) image->comps[c].data[y * w + x] = sample(c, x, y);
    opj_cparameters_t cp;
    opj_set_default_encoder_parameters(&cp);
    cp.tcp_numlayers = 1;
    cp.tcp_rates[0] = 0;
    cp.cp_disto_alloc = 1;
    cp.numresolution = 2;
    TempDir dir;
    const fs::path path = dir / "made.j2k";
    opj_codec_t* codec = opj_create_compress(format);
    opj_stream_t* stream = opj_stream_create_default_file_stream(path.c_str(), OPJ_FALSE);
    const bool ok = opj_setup_encoder(codec, &cp, image) && opj_start_compress(codec, image, stream) &&
                    opj_encode(codec, stream) && opj_end_compress(codec, stream);
    opj_stream_destroy(stream);
    opj_destroy_codec(codec);
    opj_image_destroy(image);
    EXPECT_TRUE(ok);
    return ReadFile(path);
}

double Psnr(const peer::Rgba& a, const peer::Rgba& b) {
    double sum = 0;
    size_t n = 0;
    for (size_t i = 0; i < a.pixels.size(); i += 4)
        for (int k = 0; k < 3; ++k, ++n) sum += std::pow(double(a.pixels[i + k]) - b.pixels[i + k], 2);
    return sum == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / (sum / double(n)));
}

}  // namespace

// ---------------------------------------------------------------- Layout

// Catches: the wrong container, component count or colour space for JP2 and code streams.
TEST(JasLayout, Jpeg2000FilesCarryEightBitComponentsInTheirColourSpace) {
    struct Case { uint32_t format; bool colour; OPJ_CODEC_FORMAT reader; };
    for (const Case& c : {Case{LF_FORMAT_JP2, true, OPJ_CODEC_JP2}, Case{LF_FORMAT_JP2, false, OPJ_CODEC_JP2},
                          Case{LF_FORMAT_JPC, true, OPJ_CODEC_J2K}}) {
        SCOPED_TRACE(c.format * 10 + c.colour);
        LfImage img;
        c.colour ? MakeColour(img, 40, 33) : MakeGrey(img, 40, 33);
        const Bytes bytes = peer::EncodeToBytes(img, c.format);
        ASSERT_FALSE(bytes.empty()) << img.LastError();
        TempDir dir;
        testsupport::WriteFile(dir / "f", bytes);
        opj_stream_t* stream = opj_stream_create_default_file_stream((dir / "f").c_str(), OPJ_TRUE);
        opj_codec_t* codec = opj_create_decompress(c.reader);
        opj_dparameters_t dp;
        opj_set_default_decoder_parameters(&dp);
        opj_setup_decoder(codec, &dp);
        opj_image_t* image = nullptr;
        ASSERT_TRUE(opj_read_header(stream, codec, &image));
        EXPECT_EQ(image->numcomps, c.colour ? 3u : 1u);
        for (uint32_t k = 0; k < image->numcomps; ++k) EXPECT_EQ(image->comps[k].prec, 8u);
        if (c.format == LF_FORMAT_JP2) {
            // The colour specification box: method 1 (enumerated), then 16 sRGB or 17 grey.
            const std::string text(bytes.begin(), bytes.end());
            const size_t colr = text.find("colr");
            ASSERT_NE(colr, std::string::npos);
            EXPECT_EQ(bytes[colr + 4], 1);
            EXPECT_EQ(bytes[colr + 10], c.colour ? 16 : 17);
        }
        opj_image_destroy(image);
        opj_destroy_codec(codec);
        opj_stream_destroy(stream);
    }
}

// Catches: PGX or PNM headers other readers do not accept, PPM written for grey or PGM for
// colour, a PGX made of a colour picture.
TEST(JasLayout, SimpleFormatsStartWithTheirHeaders) {
    struct Case { uint32_t format; bool colour; const char* header; size_t pixelBytes; };
    const Case cases[] = {
        {LF_FORMAT_PGX, false, "PG ML + 8 7 3\n", 21},
        {LF_FORMAT_PNM, false, "P5\n7 3\n255\n", 21},
        {LF_FORMAT_PNM, true, "P6\n7 3\n255\n", 63},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.header);
        LfImage img;
        c.colour ? MakeColour(img, 7, 3) : MakeGrey(img, 7, 3);
        const Bytes bytes = peer::EncodeToBytes(img, c.format);
        const std::string header = c.header;
        ASSERT_EQ(bytes.size(), header.size() + c.pixelBytes);
        EXPECT_EQ(std::string(bytes.begin(), bytes.begin() + long(header.size())), header);
        // The first byte after the header is the top-left pixel (its red for colour).
        EXPECT_EQ(bytes[header.size()], c.colour ? img.Row(2)[2] : img.PixelIndex(0, 2));
    }
    LfImage colour;
    MakeColour(colour, 7, 3);
    EXPECT_TRUE(peer::EncodeToBytes(colour, LF_FORMAT_PGX).empty());
    EXPECT_STREQ(colour.LastError(), "PGX can save only GrayScale images");
}

// Catches: colour palettes written as grey, grey palettes other than the identity refused.
TEST(JasLayout, PalettePicturesMustBeGrey) {
    LfImage colourPalette;
    ASSERT_TRUE(colourPalette.Create(4, 4, 8, LF_FORMAT_BMP));
    colourPalette.SetPaletteColor(1, LfRgbQuad{0, 0, 255, 0});
    EXPECT_TRUE(peer::EncodeToBytes(colourPalette, LF_FORMAT_PNM).empty());
    EXPECT_STREQ(colourPalette.LastError(), "JasPer can save only RGB or GrayScale images");

    LfImage bilevel;   // palette black and white: a grey picture, saved with levels 0 and 255
    ASSERT_TRUE(bilevel.Create(9, 1, 1, LF_FORMAT_BMP));
    bilevel.SetGreyPalette();
    bilevel.SetPixelIndex(8, 0, 1);
    const Bytes bytes = peer::EncodeToBytes(bilevel, LF_FORMAT_PNM);
    Bytes expected = Text("P5\n9 1\n255\n");
    expected.resize(expected.size() + 8, 0);
    expected.push_back(255);
    EXPECT_EQ(bytes, expected) << bilevel.LastError();
}

// Catches: a full disk reported as a saved file.
TEST(JasLayout, ShortWritesAreFailures) {
    LfImage img;
    MakeColour(img, 40, 40);
    for (uint32_t format = LF_FORMAT_JP2; format <= LF_FORMAT_RAS; ++format) {
        if (format == LF_FORMAT_PGX) continue;
        for (size_t room : {size_t(0), size_t(20), size_t(200)}) {
            SCOPED_TRACE(format * 1000 + room);
            peer::FailingStream stream(room);
            EXPECT_FALSE(img.Encode(&stream, format));
            EXPECT_NE(std::string(img.LastError()), "");
        }
    }
}

// ---------------------------------------------------------------- Decode

// Catches: pixels lost or moved on the way out and back, resolution levels too many for tiny
// pictures, JP2 at the default quality visibly lossy.
TEST(JasDecode, EveryVariantRoundTrips) {
    for (uint32_t format = LF_FORMAT_JP2; format <= LF_FORMAT_RAS; ++format)
        for (bool colour : {true, false})
            for (auto [w, h] : {std::pair{1u, 1u}, std::pair{7u, 3u}, std::pair{64u, 40u}}) {
                if (format == LF_FORMAT_PGX && colour) continue;
                SCOPED_TRACE(std::to_string(format) + (colour ? " colour " : " grey ") + std::to_string(w));
                LfImage img;
                colour ? MakeColour(img, w, h) : MakeGrey(img, w, h);
                const Bytes bytes = peer::EncodeToBytes(img, format);
                ASSERT_FALSE(bytes.empty()) << img.LastError();
                LfImage back;
                ASSERT_TRUE(Decode(back, bytes)) << back.LastError();
                EXPECT_EQ(back.Type(), format);
                EXPECT_EQ(back.BitCount(), colour ? 24u : 8u);
                const peer::Rgba a = peer::ToRgba(img), b = peer::ToRgba(back);
                // Tiny pictures are mostly headers: the rate says little about them.
                if (format <= LF_FORMAT_JPC) {
                    EXPECT_TRUE(w < 64 || Psnr(a, b) >= 40.0) << Psnr(a, b);
                } else {
                    EXPECT_EQ(peer::CountDifferences(a, b, 0, false), 0u);
                }
            }
}

// Catches: precision shifts missed or applied to the wrong components.
TEST(JasDecode, TwelveBitColourCodeStreamIsShiftedByFour) {
    const Bytes j2k = MakeOpj(3, 12, 5, 4, OPJ_CODEC_J2K,
                              [](uint32_t c, uint32_t x, uint32_t y) { return int32_t((x * 800 + y * 211 + c * 1000) % 4096); });
    LfImage img;
    ASSERT_TRUE(Decode(img, j2k, LF_FORMAT_JPC)) << img.LastError();
    ASSERT_EQ(img.BitCount(), 24u);
    EXPECT_EQ(img.Type(), uint32_t(LF_FORMAT_JPC));
    for (uint32_t y = 0; y < 4; ++y)
        for (uint32_t x = 0; x < 5; ++x) {
            const uint8_t* p = img.Row(3 - y) + 3 * x;
            for (uint32_t c = 0; c < 3; ++c) EXPECT_EQ(p[2 - c], ((x * 800 + y * 211 + c * 1000) % 4096) >> 4);
        }
}

// Catches: YCC shown as if it were RGB, an alpha plane turning a colour JP2 into grey frames.
TEST(JasDecode, ColourSpacesEndAsRgb) {
    struct Case { const char* name; uint32_t comps; OPJ_COLOR_SPACE space; int32_t samples[4]; uint8_t bgr[3]; };
    const Case cases[] = {
        {"sYCC", 3, OPJ_CLRSPC_SYCC, {128, 128, 255, 0}, {128, 37, 255}},
        {"sRGB with alpha", 4, OPJ_CLRSPC_SRGB, {10, 20, 30, 99}, {30, 20, 10}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Bytes jp2 = MakeOpj(c.comps, 8, 3, 2, OPJ_CODEC_JP2,
                                  [&](uint32_t k, uint32_t, uint32_t) { return c.samples[k]; }, c.space);
        LfImage img;
        ASSERT_TRUE(Decode(img, jp2, 0)) << img.LastError();
        ASSERT_EQ(img.BitCount(), 24u);
        for (int k = 0; k < 3; ++k) EXPECT_NEAR(img.Row(1)[3 + k], c.bgr[k], 1) << k;
    }
}

// Catches: the frame rule broken (wrong component, frame count, missing "wrong frame!").
TEST(JasDecode, TwoComponentsAreFramesOfGrey) {
    const Bytes jp2 = MakeOpj(2, 8, 6, 2, OPJ_CODEC_JP2,
                              [](uint32_t c, uint32_t x, uint32_t y) { return int32_t(c * 100 + x * 10 + y); });
    for (int32_t frame : {0, 1, 2}) {
        SCOPED_TRACE(frame);
        LfImage img;
        img.SetCurrentFrame(frame);
        const bool ok = Decode(img, jp2, LF_FORMAT_JP2);
        if (frame == 2) {
            EXPECT_FALSE(ok);
            EXPECT_STREQ(img.LastError(), "wrong frame!");
            continue;
        }
        ASSERT_TRUE(ok) << img.LastError();
        EXPECT_EQ(img.NumFrames(), 2);
        EXPECT_EQ(img.BitCount(), 8u);
        EXPECT_TRUE(img.IsGrey());
        EXPECT_EQ(img.PixelIndex(3, 0), frame * 100 + 31);   // bottom row is file row 1
    }
}

// Catches: header-only mode allocating, losing the size, or naming the wrong variant.
TEST(JasDecode, HeaderOnlyProbesReportSizeAndVariant) {
    LfImage colour;
    MakeColour(colour, 9, 5);
    LfImage grey;
    MakeGrey(grey, 9, 5);
    for (uint32_t format = LF_FORMAT_JP2; format <= LF_FORMAT_RAS; ++format) {
        SCOPED_TRACE(format);
        const Bytes bytes = peer::EncodeToBytes(format == LF_FORMAT_PGX ? grey : colour, format);
        LfImage img;
        img.SetEscape(-1);
        ASSERT_TRUE(Decode(img, bytes, 0));
        EXPECT_FALSE(img.IsValid());
        EXPECT_EQ(img.Width(), 9u);
        EXPECT_EQ(img.Height(), 5u);
        EXPECT_EQ(img.Type(), format);
        EXPECT_STREQ(img.LastError(), "output dimensions returned");
    }
}

// Catches: plain and raw PNM variants, comments, odd maxvals and bilevel polarity misread.
TEST(JasDecode, PnmVariantsDecodeToTheirLevels) {
    struct Case { const char* name; Bytes file; uint32_t bits; std::vector<uint8_t> topRow; };
    const Case cases[] = {
        {"P1 packed digits, comment", Text("P1\n# c\n3 1\n101"), 1, {0, 255, 0}},
        {"P4", Text("P4 3 1\n") + Bytes{0xA0}, 1, {0, 255, 0}},
        {"P2 maxval 100 stretched", Text("P2 3 1 100\n0 50 100\n"), 8, {0, 128, 255}},
        {"P2 maxval 3", Text("P2\n3 1\n3\n0 1 3"), 4, {0, 85, 255}},
        {"P5 16-bit", Text("P5 2 1 65535\n") + Bytes{0x12, 0x34, 0xFF, 0xFF}, 8, {0x12, 0xFF}},
        {"P5 sample above maxval", Text("P5 2 1 200\n") + Bytes{250, 100}, 8, {255, 128}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImage img;
        ASSERT_TRUE(Decode(img, c.file, LF_FORMAT_PNM)) << img.LastError();
        EXPECT_EQ(img.BitCount(), c.bits);
        for (size_t x = 0; x < c.topRow.size(); ++x)
            EXPECT_EQ(img.PaletteColor(img.PixelIndex(int32_t(x), 0)).red, c.topRow[x]) << x;
    }
    LfImage colour;
    ASSERT_TRUE(Decode(colour, Text("P3 1 1 15 15 0 7"), 0));
    EXPECT_EQ(colour.Row(0)[2], 255);   // red
    EXPECT_EQ(colour.Row(0)[0], 119);   // blue: 7 of 15
}

// Catches: RLE runs not carried across rows, the 0x80 escape misread, maps ignored.
TEST(JasDecode, SunRasterVariants) {
    const auto header = [](uint32_t w, uint32_t h, uint32_t depth, uint32_t type, uint32_t mapType, uint32_t mapLength) {
        Bytes b;
        for (uint32_t v : {0x59a66a95u, w, h, depth, 0u, type, mapType, mapLength})
            for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
        return b;
    };
    // 3 x 2 grey, RLE: a run of five 7s crossing the row end (rows are 4 bytes with padding),
    // an escaped 0x80, then two literal bytes.
    LfImage rle;
    ASSERT_TRUE(Decode(rle, header(3, 2, 8, 2, 0, 0) + Bytes{0x80, 4, 7, 0x80, 0, 9, 0}, LF_FORMAT_RAS)) << rle.LastError();
    EXPECT_EQ(rle.PixelIndex(0, 1), 7);
    EXPECT_EQ(rle.PixelIndex(0, 0), 7);
    EXPECT_EQ(rle.PixelIndex(1, 0), 0x80);
    EXPECT_EQ(rle.PixelIndex(2, 0), 9);

    // 8-bit with a two-entry colour map: index 1 is pure red.
    LfImage mapped;
    ASSERT_TRUE(Decode(mapped, header(2, 1, 8, 1, 1, 6) + Bytes{0, 255, 0, 0, 0, 0} + Bytes{0, 1}, 0));
    EXPECT_EQ(mapped.BitCount(), 24u);
    EXPECT_EQ(mapped.Row(0)[5], 255);
    EXPECT_EQ(mapped.Row(0)[3], 0);

    // 1-bit without map: a set bit is black.
    LfImage mono;
    ASSERT_TRUE(Decode(mono, header(3, 1, 1, 1, 0, 0) + Bytes{0x40, 0}, 0));
    EXPECT_EQ(mono.BitCount(), 1u);
    EXPECT_EQ(mono.PaletteColor(mono.PixelIndex(1, 0)).red, 0);
    EXPECT_EQ(mono.PaletteColor(mono.PixelIndex(0, 0)).red, 255);
}

// Catches: a signed PGX shown with negative samples wrapped round.
TEST(JasDecode, SignedPgxIsCentred) {
    LfImage img;
    ASSERT_TRUE(Decode(img, Text("PG LM -12 2 1\n") + Bytes{0x00, 0x08, 0xFF, 0x07}, 0)) << img.LastError();
    EXPECT_EQ(img.PixelIndex(0, 0), 0);     // -2048, the lowest
    EXPECT_EQ(img.PixelIndex(1, 0), 255);   // 2047, the highest
}

// ---------------------------------------------------------------- Malformed

// Catches: claimed sizes allocated, bad counts read past the data, refusals without a text.
TEST(JasMalformed, HostileHeadersAreRefusedWithAText) {
    const auto ras = [](uint32_t w, uint32_t h, uint32_t depth, uint32_t type, uint32_t mapLength) {
        Bytes b;
        for (uint32_t v : {0x59a66a95u, w, h, depth, 0u, type, mapLength ? 1u : 0u, mapLength})
            for (int i = 3; i >= 0; --i) b.push_back(uint8_t(v >> (8 * i)));
        return b;
    };
    // A code stream whose SIZ claims 65536 x 32768 pixels in one tile.
    Bytes huge = MakeOpj(1, 8, 4, 4, OPJ_CODEC_J2K, [](uint32_t, uint32_t, uint32_t) { return 5; });
    for (size_t at : {8, 24}) huge[at + 1] = 0x01, huge[at + 2] = 0x00, huge[at + 3] = 0x00;       // Xsiz, XTsiz
    for (size_t at : {12, 28}) huge[at + 1] = 0x00, huge[at + 2] = 0x80, huge[at + 3] = 0x00;      // Ysiz, YTsiz
    // Cases marked true are found only when the pixels are read, not by a header-only probe.
    const std::tuple<const char*, Bytes, bool> cases[] = {
        {"PNM huge size", Text("P6 4000000000 4000000000 255\n"), false},
        {"PNM size past 32 bits", Text("P6 99999999999 1 255\n"), false},
        {"PNM zero width", Text("P5 0 5 255\n"), false},
        {"PNM maxval 0", Text("P5 1 1 0\n") + Bytes{0}, false},
        {"PNM maxval 65536", Text("P5 1 1 65536\n") + Bytes{0, 0}, false},
        {"PNM comment without end", Text("P5 1 1 # and so on"), false},
        {"PNM data ends early", Text("P6 100 100 255\n") + Bytes(299), false},
        {"PNM plain data ends early", Text("P2 3 1 255 1 2"), false},
        {"RAS map longer than the file", ras(2, 2, 8, 1, 768) + Bytes(10), false},
        {"RAS data ends early", ras(100, 100, 24, 1, 0) + Bytes(100), false},
        {"RAS RLE stops mid-picture", ras(4, 4, 8, 2, 0) + Bytes{0x80, 2, 1, 0x80}, true},
        {"RAS 4-bit", ras(2, 2, 4, 1, 0) + Bytes(8), false},
        {"RAS huge", ras(0x10000, 0x10000, 24, 1, 0), false},
        {"PGX width overflows", Text("PG ML + 8 4294967295 4294967295\n"), false},
        {"PGX depth 40", Text("PG ML + 40 1 1\n") + Bytes(8), false},
        {"J2K claims 2^31 pixels", huge, true},
        {"nothing known", Text("GIF89a"), false},
    };
    for (const auto& [name, file, inPixels] : cases) {
        SCOPED_TRACE(name);
        for (int32_t escape : {0, -1}) {
            if (inPixels && escape == -1) continue;
            LfImageJAS img;
            img.SetEscape(escape);
            LfMemFile stream(const_cast<uint8_t*>(file.data()), int32_t(file.size()));
            EXPECT_FALSE(img.Decode(&stream, 0));
            EXPECT_FALSE(img.IsValid());
            EXPECT_NE(std::string(img.LastError()), "");
        }
    }
}

// Catches: reads past the end of any truncated variant. The simple formats refuse a cut file;
// OpenJPEG may decode what a cut code stream still holds, at the picture's full size.
TEST(JasMalformed, EveryTruncationDecodesSafely) {
    LfImage colour;
    MakeColour(colour, 9, 4);
    for (uint32_t format = LF_FORMAT_JP2; format <= LF_FORMAT_RAS; ++format) {
        if (format == LF_FORMAT_PGX) continue;
        const Bytes good = peer::EncodeToBytes(colour, format);
        for (size_t n = 0; n < good.size(); n += format <= LF_FORMAT_JPC ? 7 : 1) {
            SCOPED_TRACE(std::to_string(format) + " cut at " + std::to_string(n));
            LfImage img;
            const bool ok = Decode(img, Bytes(good.begin(), good.begin() + long(n)), format);
            EXPECT_TRUE(!ok || (format <= LF_FORMAT_JPC && img.Width() == 9u));
        }
    }
}

// JPEG codec: what our files look like (markers, sampling, density, quality), what decoding
// yields for grey, colour, CMYK and quantised output, the header-only probe, truncated and
// empty input, failing output streams, and agreement with Pillow, jpeginfo and peer files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <sstream>
#include <string>
#include <vector>

#include "JpegTestFiles.h"
#include "LfImage.h"
#include "LfImageJPG.h"
#include "TestSupport.h"

namespace {

using namespace jpegtest;
using namespace testsupport;

bool DecodeBytes(const Bytes& bytes, LfImage& image, uint32_t format = LF_FORMAT_JPG) {
    LfMemFile mem;
    Fill(mem, bytes);
    return image.Decode(&mem, format);
}

// Rows top first, red, green, blue per pixel, whatever the bit count.
Bytes TopDownRgb(const LfImage& image) {
    Bytes out;
    out.reserve(static_cast<size_t>(image.Width()) * image.Height() * 3);
    for (uint32_t y = image.Height(); y-- > 0;) {
        for (uint32_t x = 0; x < image.Width(); ++x) {
            const LfRgbQuad c = image.PixelColor(static_cast<int32_t>(x), static_cast<int32_t>(y), false);
            out.insert(out.end(), {c.red, c.green, c.blue});
        }
    }
    return out;
}

int MaxDifference(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size()) return 1000;
    int worst = 0;
    for (size_t i = 0; i < a.size(); ++i) worst = std::max(worst, std::abs(int(a[i]) - int(b[i])));
    return worst;
}

double MeanDifference(const Bytes& a, const Bytes& b) {
    double sum = 0;
    for (size_t i = 0; i < a.size(); ++i) sum += std::abs(int(a[i]) - int(b[i]));
    return a.empty() ? 0 : sum / static_cast<double>(a.size());
}

// Offset of the first segment with this marker before the scan data, or npos.
size_t FindSegment(const Bytes& jpeg, uint8_t marker) {
    size_t pos = 2;
    while (pos + 4 <= jpeg.size() && jpeg[pos] == 0xFF) {
        if (jpeg[pos + 1] == marker) return pos;
        if (jpeg[pos + 1] == 0xDA) break;
        pos += 2 + ((jpeg[pos + 2] << 8) | jpeg[pos + 3]);
    }
    return std::string::npos;
}

// Component count and the sampling byte of each component from the frame header.
std::vector<uint8_t> Sampling(const Bytes& jpeg, uint8_t sofMarker = 0xC0) {
    const size_t sof = FindSegment(jpeg, sofMarker);
    if (sof == std::string::npos) return {};
    const uint8_t components = jpeg[sof + 9];
    std::vector<uint8_t> out;
    for (uint8_t c = 0; c < components; ++c) out.push_back(jpeg[sof + 10 + 3 * c + 1]);
    return out;
}

// Pillow's decode of a file as width, height and RGB bytes (truncated files allowed).
bool PillowDecode(const fs::path& file, uint32_t& width, uint32_t& height, Bytes& rgb, const std::string& mode = "RGB") {
    TempDir tmp;
    const fs::path raw = tmp / "pixels.raw";
    const std::string script =
        "import sys\nfrom PIL import Image, ImageFile\nImageFile.LOAD_TRUNCATED_IMAGES = True\n"
        "im = Image.open(sys.argv[1]); im.load(); im = im.convert(sys.argv[3])\n"
        "open(sys.argv[2], 'wb').write(im.tobytes()); print(im.size[0], im.size[1])\n";
    std::string out;
    if (Run(Python() + " -c " + ShellQuote(script) + " " + ShellQuote(file.string()) + " " +
                ShellQuote(raw.string()) + " " + mode + " 2>/dev/null",
            &out) != 0)
        return false;
    std::istringstream(out) >> width >> height;
    rgb = ReadFile(raw);
    return true;
}


fs::path GoImageTestdata() {
    for (const char* dir : {"/usr/lib/go-1.19/src/image/testdata", "/usr/share/go-1.19/src/image/testdata"})
        if (fs::is_directory(dir)) return dir;
    return {};
}

// ---------------------------------------------------------------------------------------------
// What our files look like

TEST(JpegLayout, DefaultSaveIsBaselineJfifAt420WithTheImageDpi) {
    LfImage image;
    MakeTestPicture(image, 40, 30);
    const Bytes jpeg = EncodeJpeg(image);
    ASSERT_FALSE(jpeg.empty()) << image.LastError();
    ASSERT_GE(jpeg.size(), 20u);
    EXPECT_EQ(jpeg[0], 0xFF);
    EXPECT_EQ(jpeg[1], 0xD8);
    // JFIF header: density unit 1 (dots per inch) and 96 x 96 for a fresh image.
    ASSERT_EQ(FindSegment(jpeg, 0xE0), 2u);
    EXPECT_EQ(std::string(jpeg.begin() + 6, jpeg.begin() + 10), "JFIF");
    EXPECT_EQ(jpeg[13], 1);
    EXPECT_EQ((jpeg[14] << 8) | jpeg[15], 96);
    EXPECT_EQ((jpeg[16] << 8) | jpeg[17], 96);
    EXPECT_EQ(Sampling(jpeg), (std::vector<uint8_t>{0x22, 0x11, 0x11}));
    EXPECT_EQ(jpeg[jpeg.size() - 2], 0xFF);
    EXPECT_EQ(jpeg[jpeg.size() - 1], 0xD9);

    // Quality 90 scales the standard luminance table by 20%: 16 -> 3, 11 -> 2, 61 -> 12.
    const size_t dqt = FindSegment(jpeg, 0xDB);
    ASSERT_NE(dqt, std::string::npos);
    EXPECT_EQ(jpeg[dqt + 4], 0);  // 8-bit table 0
    EXPECT_EQ(jpeg[dqt + 5], 3);
    EXPECT_EQ(jpeg[dqt + 6], 2);
}

TEST(JpegLayout, QualityAndDpiComeFromTheImage) {
    LfImage image;
    MakeTestPicture(image, 16, 16);
    image.SetJpegQuality(50.4f);
    image.SetXDpi(300);
    image.SetYDpi(150);
    const Bytes jpeg = EncodeJpeg(image);
    ASSERT_FALSE(jpeg.empty());
    EXPECT_EQ((jpeg[14] << 8) | jpeg[15], 300);
    EXPECT_EQ((jpeg[16] << 8) | jpeg[17], 150);
    const size_t dqt = FindSegment(jpeg, 0xDB);
    ASSERT_NE(dqt, std::string::npos);
    EXPECT_EQ(jpeg[dqt + 5], 16);  // quality 50 keeps the standard table
}

TEST(JpegLayout, OptionBitsChooseSamplingProcessAndColourSpace) {
    LfImage image;
    MakeTestPicture(image, 24, 24);
    EXPECT_EQ(Sampling(EncodeJpeg(image, LF_JPEG_SUBSAMPLE_422)), (std::vector<uint8_t>{0x21, 0x11, 0x11}));
    EXPECT_EQ(Sampling(EncodeJpeg(image, LF_JPEG_SUBSAMPLE_444)), (std::vector<uint8_t>{0x11, 0x11, 0x11}));
    EXPECT_EQ(Sampling(EncodeJpeg(image, LF_JPEG_SUBSAMPLE_422 | LF_JPEG_SUBSAMPLE_444)),
              (std::vector<uint8_t>{0x11, 0x11, 0x11}));
    EXPECT_EQ(Sampling(EncodeJpeg(image, LF_JPEG_GREYSCALE)).size(), 1u);
    EXPECT_NE(FindSegment(EncodeJpeg(image, LF_JPEG_PROGRESSIVE), 0xC2), std::string::npos);
    EXPECT_NE(FindSegment(EncodeJpeg(image, LF_JPEG_ARITHMETIC), 0xC9), std::string::npos);

    // Every variant reads back as the same picture.
    for (uint32_t options : {0u, unsigned(LF_JPEG_OPTIMIZE), unsigned(LF_JPEG_PROGRESSIVE),
                             unsigned(LF_JPEG_ARITHMETIC), unsigned(LF_JPEG_BASELINE | LF_JPEG_SMOOTHING)}) {
        SCOPED_TRACE(options);
        LfImage back;
        ASSERT_TRUE(DecodeBytes(EncodeJpeg(image, options), back)) << back.LastError();
        LfImage plain;
        ASSERT_TRUE(DecodeBytes(EncodeJpeg(image, 0), plain));
        EXPECT_LE(MaxDifference(TopDownRgb(back), TopDownRgb(plain)), 12);
    }
}

TEST(JpegLayout, GreyPaletteImageIsWrittenAsOneComponent) {
    LfImage image;
    ASSERT_NE(image.Create(20, 10, 8, LF_FORMAT_BMP), nullptr);
    image.SetGreyPalette();
    for (uint32_t y = 0; y < 10; ++y)
        for (uint32_t x = 0; x < 20; ++x) image.SetPixelIndex(int32_t(x), int32_t(y), uint8_t(x * 12));
    const Bytes jpeg = EncodeJpeg(image);
    ASSERT_FALSE(jpeg.empty()) << image.LastError();
    EXPECT_EQ(Sampling(jpeg).size(), 1u);

    LfImage back;
    ASSERT_TRUE(DecodeBytes(jpeg, back)) << back.LastError();
    EXPECT_EQ(back.BitCount(), 8u);
    EXPECT_TRUE(back.IsGrey());
    EXPECT_LE(MaxDifference(TopDownRgb(back), TopDownRgb(image)), 3);
}

// A 1- or 4-bit picture with an identity palette counts as grey: each pixel becomes one
// sample of its own level rather than the library reading packed bits as bytes.
TEST(JpegLayout, NarrowGreyPicturesAreExpandedToOneSamplePerPixel) {
    LfImage image;
    ASSERT_NE(image.Create(301, 7, 4, LF_FORMAT_BMP), nullptr);
    for (uint8_t i = 0; i < 16; ++i) image.SetPaletteColor(i, LfRgbQuad{i, i, i, 0});
    ASSERT_TRUE(image.IsGrey());
    for (uint32_t y = 0; y < 7; ++y)
        for (uint32_t x = 0; x < 301; ++x) image.SetPixelIndex(int32_t(x), int32_t(y), uint8_t((x / 20) % 16));
    const Bytes jpeg = EncodeJpeg(image);
    ASSERT_FALSE(jpeg.empty()) << image.LastError();
    LfImage back;
    ASSERT_TRUE(DecodeBytes(jpeg, back));
    EXPECT_LE(MaxDifference(TopDownRgb(back), TopDownRgb(image)), 3);
}

TEST(JpegLayout, ColourPaletteIsRefusedAndNothingIsWritten) {
    LfImage image;
    ASSERT_NE(image.Create(8, 8, 8, LF_FORMAT_BMP), nullptr);
    image.SetGreyPalette();
    image.SetPaletteColor(5, LfRgbQuad{0, 0, 255, 0});
    LfMemFile mem;
    mem.Open();
    EXPECT_FALSE(image.Encode(&mem, LF_FORMAT_JPG));
    EXPECT_STREQ(image.LastError(), "JPEG can save only RGB or GreyScale images");
    EXPECT_EQ(mem.Size(), 0);
}

// ---------------------------------------------------------------------------------------------
// Decoding

TEST(JpegDecode, RoundTripKeepsColoursInPlace) {
    LfImage image;
    ASSERT_NE(image.Create(32, 32, 24, LF_FORMAT_BMP), nullptr);
    // Top half pure red, bottom half pure blue (stored rows start at the bottom).
    for (uint32_t y = 0; y < 32; ++y)
        for (uint32_t x = 0; x < 32; ++x) image.SetPixelColor(int32_t(x), int32_t(y), y < 16 ? LfRgbQuad{255, 0, 0, 0} : LfRgbQuad{0, 0, 255, 0});
    LfImage back;
    ASSERT_TRUE(DecodeBytes(EncodeJpeg(image), back)) << back.LastError();
    EXPECT_EQ(back.Type(), uint32_t(LF_FORMAT_JPG));
    EXPECT_EQ(back.BitCount(), 24u);
    const LfRgbQuad top = back.PixelColor(4, 28, false);
    const LfRgbQuad bottom = back.PixelColor(4, 3, false);
    EXPECT_GT(top.red, 240);
    EXPECT_LT(top.blue, 15);
    EXPECT_GT(bottom.blue, 240);
    EXPECT_LT(bottom.red, 15);
}

TEST(JpegDecode, EmptyStreamFailsWithTheLibraryMessage) {
    LfImage image;
    EXPECT_FALSE(DecodeBytes({}, image));
    EXPECT_STREQ(image.LastError(), "Empty input file");
    EXPECT_FALSE(image.IsValid());
}

TEST(JpegDecode, TruncatedFileStillDecodesToFullSize) {
    LfImage source;
    MakeTestPicture(source, 64, 48);
    const Bytes jpeg = EncodeJpeg(source);
    const Bytes half(jpeg.begin(), jpeg.begin() + static_cast<long>(jpeg.size() * 2 / 3));
    LfImage image;
    ASSERT_TRUE(DecodeBytes(half, image)) << image.LastError();
    EXPECT_EQ(image.Width(), 64u);
    EXPECT_EQ(image.Height(), 48u);
    // The top rows arrived and are right.
    LfImage full;
    ASSERT_TRUE(DecodeBytes(jpeg, full));
    EXPECT_EQ(full.PixelColor(10, 47, false), image.PixelColor(10, 47, false));
}

TEST(JpegDecode, EveryTruncationEndsCleanly) {
    const Bytes jpeg = SmallJpeg(24, 16);
    for (size_t n = 0; n < jpeg.size(); ++n) {
        SCOPED_TRACE(n);
        LfImage image;
        const bool ok = DecodeBytes(Bytes(jpeg.begin(), jpeg.begin() + static_cast<long>(n)), image);
        if (ok) {
            EXPECT_EQ(image.Width(), 24u);
            EXPECT_EQ(image.Height(), 16u);
        } else {
            EXPECT_STRNE(image.LastError(), "");
        }
    }
}

TEST(JpegDecode, HeaderOnlyProbeGivesSizeWithoutPixels) {
    const Bytes jpeg = SmallJpeg(70, 9);
    for (uint32_t format : {uint32_t(LF_FORMAT_JPG), uint32_t(LF_FORMAT_UNKNOWN)}) {
        SCOPED_TRACE(format);
        LfImage image;
        image.SetEscape(-1);
        ASSERT_TRUE(DecodeBytes(jpeg, image, format)) << image.LastError();
        EXPECT_EQ(image.Width(), 70u);
        EXPECT_EQ(image.Height(), 9u);
        EXPECT_EQ(image.Type(), uint32_t(LF_FORMAT_JPG));
        EXPECT_FALSE(image.IsValid());
    }
}

// The library would read a scale denominator of 0 as the largest upscaling; 0 means full size.
TEST(JpegDecode, ScaleZeroIsFullSizeAndTwoIsHalf) {
    const Bytes jpeg = SmallJpeg(100, 50);
    for (uint8_t scale : {0, 1, 2}) {
        SCOPED_TRACE(int(scale));
        LfImage image;
        image.SetJpegScale(scale);
        ASSERT_TRUE(DecodeBytes(jpeg, image)) << image.LastError();
        EXPECT_EQ(image.Width(), scale == 2 ? 50u : 100u);
        EXPECT_EQ(image.Height(), scale == 2 ? 25u : 50u);
    }
}

TEST(JpegDecode, CancelStopsTheDecode) {
    LfImage image;
    image.SetEscape(1);
    EXPECT_FALSE(DecodeBytes(SmallJpeg(), image));
    EXPECT_STREQ(image.LastError(), "Cancelled");
}

TEST(JpegDecode, ProbeFindsJpegAndForeignBytesGetTheLibraryMessage) {
    LfImage image;
    ASSERT_TRUE(DecodeBytes(SmallJpeg(), image, LF_FORMAT_UNKNOWN)) << image.LastError();
    EXPECT_EQ(image.Type(), uint32_t(LF_FORMAT_JPG));

    LfImage other;
    EXPECT_FALSE(DecodeBytes(Bytes{'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0}, other));
    EXPECT_STREQ(other.LastError(), "Not a JPEG file: starts with 0x47 0x49");
}

TEST(JpegDecode, GreyOutputOptionGivesAGreyPalettePicture) {
    LfImage source;
    MakeTestPicture(source, 32, 32);
    const Bytes jpeg = EncodeJpeg(source);
    LfImage colour;
    ASSERT_TRUE(DecodeBytes(jpeg, colour));
    LfImage grey;
    grey.SetCodecOption(LF_JPEG_DECODE_GREY, LF_FORMAT_JPG);
    ASSERT_TRUE(DecodeBytes(jpeg, grey)) << grey.LastError();
    EXPECT_EQ(grey.BitCount(), 8u);
    EXPECT_TRUE(grey.IsGrey());
    // The grey level is the luma of the colour decode.
    const LfRgbQuad c = colour.PixelColor(20, 5, false);
    const double luma = 0.299 * c.red + 0.587 * c.green + 0.114 * c.blue;
    EXPECT_NEAR(grey.PixelColor(20, 5, false).red, luma, 4.0);
}

// The library's own tool, asked for the same quantisation, gives the same pixels.
TEST(JpegDecode, QuantisedOutputMatchesDjpeg) {
    GLINTWISE_NEED_PEER(HaveTool("djpeg"), "djpeg");
    TempDir tmp;
    LfImage source;
    MakeTestPicture(source, 48, 40);
    const Bytes jpeg = EncodeJpeg(source);
    WriteFile(tmp / "in.jpg", jpeg);
    for (uint32_t pass : {0u, unsigned(LF_JPEG_ONE_PASS)}) {
        SCOPED_TRACE(pass);
        LfImage image;
        image.SetJpegQuality(40);
        image.SetCodecOption(LF_JPEG_QUANTIZE | pass, LF_FORMAT_JPG);
        ASSERT_TRUE(DecodeBytes(jpeg, image)) << image.LastError();
        EXPECT_EQ(image.BitCount(), 8u);
        // Only the quantiser's colours are used; the rest of the palette stays black.
        uint32_t highest = 0;
        for (uint32_t y = 0; y < 40; ++y)
            for (uint32_t x = 0; x < 48; ++x) highest = std::max<uint32_t>(highest, image.PixelIndex(int32_t(x), int32_t(y)));
        EXPECT_LT(highest, 40u);
        EXPECT_EQ(image.PaletteColor(255), (LfRgbQuad{0, 0, 0, 0}));

        const fs::path ppm = tmp / "out.ppm";
        ASSERT_EQ(testsupport::Run(std::string("djpeg -colors 40 ") + (pass ? "-onepass " : "") + "-pnm -outfile " +
                                   ShellQuote(ppm.string()) + " " + ShellQuote((tmp / "in.jpg").string())), 0);
        const Bytes out = ReadFile(ppm);
        const std::string header = "P6\n48 40\n255\n";
        ASSERT_GT(out.size(), header.size());
        ASSERT_EQ(std::string(out.begin(), out.begin() + long(header.size())), header);
        EXPECT_EQ(TopDownRgb(image), Bytes(out.begin() + long(header.size()), out.end()));
    }
}

// A grey quantised picture has a one-row colour map: the palette comes from that row alone.
TEST(JpegDecode, QuantisedGreyOutputHasAGreyPalette) {
    LfImage source;
    MakeTestPicture(source, 32, 16);
    const Bytes jpeg = EncodeJpeg(source);
    for (uint32_t grey : {unsigned(LF_JPEG_DECODE_GREY), 0u}) {
        SCOPED_TRACE(grey);
        LfImage image;
        image.SetJpegQuality(16);
        image.SetCodecOption(LF_JPEG_QUANTIZE | grey, LF_FORMAT_JPG);
        ASSERT_TRUE(DecodeBytes(grey ? jpeg : EncodeJpeg(source, LF_JPEG_GREYSCALE), image)) << image.LastError();
        EXPECT_EQ(image.BitCount(), 8u);
        for (uint8_t i = 0; i < 16; ++i) {
            const LfRgbQuad c = image.PaletteColor(i);
            EXPECT_EQ(c.red, c.green);
            EXPECT_EQ(c.green, c.blue);
        }
        EXPECT_EQ(image.PaletteColor(15).red, 255);
    }
}

TEST(JpegDecode, FewerThanEightQuantisedColoursFailWithTheLibraryMessage) {
    LfImage image;
    image.SetJpegQuality(4);
    image.SetCodecOption(LF_JPEG_QUANTIZE, LF_FORMAT_JPG);
    EXPECT_FALSE(DecodeBytes(SmallJpeg(), image));
    EXPECT_STRNE(image.LastError(), "");
}

TEST(JpegDecode, ResolutionFromJfifDensity) {
    const Bytes jpeg = SmallJpeg();
    struct Case { uint8_t unit; uint16_t x, y; int32_t xDpi, yDpi; };
    // Dots per centimetre round to dpi; unit 0 is an aspect ratio applied to the vertical.
    for (const Case& c : {Case{2, 120, 120, 305, 305}, Case{1, 200, 72, 200, 72}, Case{0, 1, 2, 96, 192}}) {
        SCOPED_TRACE(int(c.unit));
        Bytes patched = jpeg;
        patched[13] = c.unit;
        patched[14] = uint8_t(c.x >> 8);
        patched[15] = uint8_t(c.x);
        patched[16] = uint8_t(c.y >> 8);
        patched[17] = uint8_t(c.y);
        LfImage image;
        ASSERT_TRUE(DecodeBytes(patched, image));
        EXPECT_EQ(image.XDpi(), c.xDpi);
        EXPECT_EQ(image.YDpi(), c.yDpi);
    }
}

TEST(JpegDecode, ExifResolutionWinsOverJfif) {
    TiffBuilder tiff(false);
    const int ifd0 = tiff.AddDirectory();
    tiff.Rational(ifd0, 0x011A, 300, 1);
    tiff.Rational(ifd0, 0x011B, 600, 2);
    tiff.Short(ifd0, 0x0128, 2);
    Bytes jpeg = SmallJpeg();
    jpeg[13] = 2;  // JFIF claims 120 dots per centimetre
    jpeg[15] = 120;
    jpeg[17] = 120;
    LfImage image;
    ASSERT_TRUE(DecodeBytes(InsertAfterSoi(jpeg, Segment(0xE1, tiff.ExifBlock())), image));
    EXPECT_EQ(image.XDpi(), 300);
    EXPECT_EQ(image.YDpi(), 300);
}

// ---------------------------------------------------------------------------------------------
// Failing output streams

TEST(JpegEncodeFailure, ShortWritesAndFailedFlushAreFailures) {
    LfImage image;
    MakeTestPicture(image, 200, 200);
    // Noise makes the file span several 4096-byte buffers.
    uint32_t seed = 1;
    for (uint32_t y = 0; y < 200; ++y)
        for (uint32_t x = 0; x < 600; ++x) image.Row(y)[x] ^= uint8_t((seed = seed * 1103515245 + 12345) >> 24);
    const size_t full = EncodeJpeg(image).size();
    ASSERT_GT(full, 8192u);
    struct Case { size_t budget; bool flushFails; };
    // Short in the middle, short in the final partial buffer, nothing at all, failed flush.
    for (const Case& c : {Case{5000, false}, Case{full - 10, false}, Case{0, false}, Case{full + 100, true}}) {
        SCOPED_TRACE(c.budget);
        FailingStream stream(c.budget, c.flushFails);
        EXPECT_FALSE(image.Encode(&stream, LF_FORMAT_JPG));
        EXPECT_STREQ(image.LastError(), "Output file write error --- out of disk space?");
    }
    LfImage empty;
    LfMemFile mem;
    mem.Open();
    EXPECT_FALSE(empty.Encode(&mem, LF_FORMAT_JPG));
    EXPECT_STREQ(empty.LastError(), "null image!!!");
}

// ---------------------------------------------------------------------------------------------
// Peers: CMYK files from ImageMagick, reference files, Pillow and jpeginfo on our output

TEST(JpegPeers, CmykFromImageMagickDecodesLikePillow) {
    GLINTWISE_NEED_PEER(HaveTool("convert-im6.q16") && HavePythonModules("PIL"), "ImageMagick or Pillow");
    TempDir tmp;
    LfImage source;
    MakeTestPicture(source, 40, 30);
    WriteFile(tmp / "source.jpg", EncodeJpeg(source));
    ASSERT_EQ(testsupport::Run("convert-im6.q16 " + ShellQuote((tmp / "source.jpg").string()) + " -colorspace CMYK " +
                  ShellQuote((tmp / "cmyk.jpg").string())), 0);
    const Bytes cmyk = ReadFile(tmp / "cmyk.jpg");
    LfImage image;
    ASSERT_TRUE(DecodeBytes(cmyk, image)) << image.LastError();
    EXPECT_EQ(image.BitCount(), 24u);
    uint32_t w = 0, h = 0;
    Bytes pillow;
    ASSERT_TRUE(PillowDecode(tmp / "cmyk.jpg", w, h, pillow));
    ASSERT_EQ(w, image.Width());
    ASSERT_EQ(h, image.Height());
    // Both apply red = (255 - C)(255 - K) / 255 to the same samples; rounding differs by one.
    EXPECT_LE(MaxDifference(TopDownRgb(image), pillow), 1);
}

TEST(JpegPeers, ReferenceFilesDecodeLikePillow) {
    const fs::path dir = GoImageTestdata();
    GLINTWISE_NEED_PEER(!dir.empty() && HavePythonModules("PIL"), "Go image test data or Pillow");
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        const std::string ext = entry.path().extension().string();
        if (ext != ".jpeg" && ext != ".jpg") continue;
        SCOPED_TRACE(entry.path().filename().string());
        ++files;
        LfImage image;
        ASSERT_TRUE(DecodeBytes(ReadFile(entry.path()), image)) << image.LastError();
        uint32_t w = 0, h = 0;
        Bytes pillow;
        ASSERT_TRUE(PillowDecode(entry.path(), w, h, pillow));
        ASSERT_EQ(w, image.Width());
        ASSERT_EQ(h, image.Height());
        // Same library family on both sides; allow 2 levels for differing upsampling.
        EXPECT_LE(MaxDifference(TopDownRgb(image), pillow), 2);
    }
    EXPECT_GE(files, 10);
}

// A natural picture (a reference PNG decoded by Pillow) encoded by us: jpeginfo finds no
// fault, Pillow decodes it to our pixels, and the loss is no worse than Pillow's own
// quality-90 4:2:0 encoding.
TEST(JpegPeers, OurFilesPassJpeginfoAndMatchPillow) {
    const fs::path dir = GoImageTestdata();
    const fs::path png = dir / "video-001.png";
    GLINTWISE_NEED_PEER(!dir.empty() && fs::exists(png) && HavePythonModules("PIL") && HaveTool("jpeginfo"),
                        "reference picture, Pillow or jpeginfo");
    TempDir tmp;
    uint32_t w = 0, h = 0;
    Bytes rgb;
    ASSERT_TRUE(PillowDecode(png, w, h, rgb));
    LfImage source;
    ASSERT_NE(source.Create(w, h, 24, LF_FORMAT_BMP), nullptr);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
            const uint8_t* p = &rgb[(static_cast<size_t>(y) * w + x) * 3];
            source.SetPixelColor(int32_t(x), int32_t(h - 1 - y), LfRgbQuad{p[2], p[1], p[0], 0});
        }

    for (uint32_t options : {0u, unsigned(LF_JPEG_PROGRESSIVE | LF_JPEG_OPTIMIZE), unsigned(LF_JPEG_SUBSAMPLE_444)}) {
        SCOPED_TRACE(options);
        const fs::path ours = tmp / ("ours" + std::to_string(options) + ".jpg");
        WriteFile(ours, EncodeJpeg(source, options));
        std::string report;
        EXPECT_EQ(testsupport::Run("jpeginfo -c " + ShellQuote(ours.string()), &report), 0) << report;
        EXPECT_NE(report.find(" OK"), std::string::npos) << report;

        LfImage back;
        ASSERT_TRUE(DecodeBytes(ReadFile(ours), back));
        uint32_t pw = 0, ph = 0;
        Bytes pillow;
        ASSERT_TRUE(PillowDecode(ours, pw, ph, pillow));
        EXPECT_LE(MaxDifference(TopDownRgb(back), pillow), 1);
    }

    const fs::path peer = tmp / "pillow.jpg";
    const std::string script = "import sys\nfrom PIL import Image\n"
                               "Image.open(sys.argv[1]).convert('RGB').save(sys.argv[2], quality=90, subsampling=2)\n";
    ASSERT_EQ(testsupport::Run(Python() + " -c " + ShellQuote(script) + " " + ShellQuote(png.string()) + " " + ShellQuote(peer.string())), 0);
    uint32_t pw = 0, ph = 0;
    Bytes peerPixels, ourPixels;
    ASSERT_TRUE(PillowDecode(peer, pw, ph, peerPixels));
    ASSERT_TRUE(PillowDecode(tmp / "ours0.jpg", pw, ph, ourPixels));
    const double peerError = MeanDifference(peerPixels, rgb);
    const double ourError = MeanDifference(ourPixels, rgb);
    RecordProperty("mean_error_ours", std::to_string(ourError));
    RecordProperty("mean_error_pillow", std::to_string(peerError));
    EXPECT_LE(ourError, peerError * 1.01 + 1e-9) << "ours " << ourError << " Pillow " << peerError;
}

}  // namespace

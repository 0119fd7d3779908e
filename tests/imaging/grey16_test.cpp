// 16-bit grey pictures: layout, operations, PNG and TIFF files as Pillow and tifffile read them, other formats' refusal.
#include <gtest/gtest.h>
#include <tiffio.h>
#include <functional>

#include "LfFormatRegistry.h"
#include "LfImagePNG.h"
#include "TestSupport.h"

namespace {
uint16_t At(const LfImage& im, uint32_t x, uint32_t stored) { return reinterpret_cast<const uint16_t*>(im.Row(stored))[x]; }
std::string TopDown(const LfImage& im) {   // "W H s s s ..."
    std::string out = std::to_string(im.Width()) + " " + std::to_string(im.Height());
    for (uint32_t i = 0, w = im.Width(); i < w * im.Height(); ++i) out += " " + std::to_string(At(im, i % w, im.Height() - 1 - i / w));
    return out;
}
// 0 (top left) to 65535 (bottom right): all samples and their low bytes differ, so rows stored upside down or
// byte-swapped read differently. Catches rows not padded to 4 bytes and a palette slipped in.
LfImage Ramp(uint32_t w, uint32_t h, uint32_t option = 0, uint32_t format = LF_FORMAT_TIF) {
    LfImage im;
    im.SetCodecOption(option, format);
    EXPECT_TRUE(im.CreateGrey16(w, h) && im.IsGrey16() && im.BitCount() == 16 && !im.NumColors() && im.EffectiveWidth() == (w * 2 + 3) / 4 * 4);
    for (uint32_t i = 0; i < w * h; ++i) reinterpret_cast<uint16_t*>(im.Row(h - 1 - i / w))[i % w] = uint16_t(i * 65535ull / (w * h - 1));
    return im;
}
const std::pair<uint32_t, uint32_t> kSizes[] = {{1, 3}, {7, 5}, {257, 4}};   // odd widths: 2 padding bytes a row
}  // namespace

// Catches Create(w, h, 16) no longer giving 24 bits; operations that rebuild the picture via Create or shift samples a
// byte; colour operations (no expect) that touch samples as bytes or indices instead of refusing; a low-byte preview.
TEST(Grey16Image, OperationsKeepTheSamplesOrRefuse) {
    LfImage colour, s = Ramp(7, 5);
    EXPECT_TRUE(colour.Create(7, 5, 16) && !colour.IsGrey16() && colour.BitCount() == 24);
    const struct { const char* name; std::function<bool(LfImage&)> run; std::function<uint16_t(uint32_t, uint32_t)> expect; } kOps[] = {
        {"Mirror", [](LfImage& i) { return i.Mirror(); }, [&](uint32_t x, uint32_t y) { return At(s, 6 - x, y); }},
        {"RotateRight", [](LfImage& i) { return i.RotateRight(); }, [&](uint32_t x, uint32_t y) { return At(s, 6 - y, x); }},
        {"Negative", [](LfImage& i) { return i.Negative(); }, [&](uint32_t x, uint32_t y) { return uint16_t(~At(s, x, y)); }},
        {"Resample", [](LfImage& i) { return i.Resample(5, 4, 2); }, {}}, {"AlphaCreate", [](LfImage& i) { return i.AlphaCreate(); }, {}},
        {"IncreaseBitCount(8)", [](LfImage& i) { return i.IncreaseBitCount(8); }, {}},
        {"DrawLine", [](LfImage& i) { i.DrawLine(0, 0, 6, 4, LfRgbQuad{1, 2, 3, 0}); i.SetPixelIndex(1, 1, 7); return false; }, {}},
        {"SwapRedBlue", [](LfImage& i) { i.SwapRedBlue(); i.SwapRedBlue(i.Row(0), i.EffectiveWidth()); return false; }, {}}};
    for (const auto& op : kOps) {
        LfImage image(s);   // the copy constructor keeps the picture too, or nothing here holds
        ASSERT_TRUE(op.run(image) == bool(op.expect) && image.IsGrey16() && !image.AlphaIsValid()) << op.name;
        EXPECT_TRUE(op.expect || TopDown(image) == TopDown(s)) << op.name;
        for (uint32_t i = 0, w = image.Width(); op.expect && i < 35; ++i) ASSERT_EQ(At(image, i % w, i / w), op.expect(i % w, i / w)) << op.name;
    }
    const uint8_t level = At(s, 3, 2) >> 8;
    EXPECT_TRUE(s.IncreaseBitCount(24) && s.PixelColor(3, 2, false) == (LfRgbQuad{level, level, level, 0}));
}

// Catches host-order samples where PNG wants big-endian, padding written into files, rows in stored (bottom-up) order,
// Adam7 passes written wrong, a lossless TIFF compression ignored or refused, LZW without its predictor, 8-bit samples.
// Pillow reads PNG (raw mode) and LZW TIFF (tifffile would need imagecodecs); tifffile the rest and the TIFF tags.
TEST(Grey16Peers, PngAndTiffFilesHoldTheExactSamples) {
    GLINTWISE_NEED_PEER(testsupport::HavePythonModules("PIL numpy tifffile"), "python3-pil, python3-numpy, python3-tifffile");
    const struct { uint32_t format, option; std::string meta; } kWritten[] = {
        {LF_FORMAT_PNG, 0, "I;16B"}, {LF_FORMAT_PNG, LF_PNG_INTERLACED, "I;16B"}, {LF_FORMAT_TIF, 0, "1 5 2"},
        {LF_FORMAT_TIF, COMPRESSION_NONE, "1 1 1"}, {LF_FORMAT_TIF, COMPRESSION_ADOBE_DEFLATE, "1 8 1"}, {LF_FORMAT_TIF, COMPRESSION_PACKBITS, "1 32773 1"}};
    std::string expected, theirs, command = testsupport::Python() + " -c 'import sys, numpy, tifffile, PIL.Image\n"
        "for p in sys.argv[1:]:\n g = p.endswith(\".tif\") and tifffile.TiffFile(p).pages[0]; im = PIL.Image.open(p)\n"
        " m = \"%d %d %d\" % (g.photometric, g.compression, g.predictor) if g else im.tile[0][3]\n"
        " a = g.asarray() if g and g.compression != 5 else numpy.asarray(im); print(m, *a.shape[::-1], *a.flat)'";
    testsupport::TempDir dir;
    for (const auto& w : kWritten)
        for (const auto& [width, height] : kSizes) {
            LfImage image = Ramp(width, height, w.option, w.format);
            const auto path = dir / (std::to_string(expected.size()) + (w.format == LF_FORMAT_PNG ? ".png" : ".tif"));
            EXPECT_TRUE(image.Save(path.c_str(), w.format)) << image.LastError();
            command += " " + testsupport::ShellQuote(path.string());
            expected += w.meta + " " + TopDown(image) + "\n";
        }
    testsupport::Run(command + " 2>&1", &theirs);
    EXPECT_EQ(theirs, expected);
}

// Catches a format that narrows 16-bit grey silently, a refusal that replaces the file or leaves a temporary behind,
// Encode to memory not refusing alike, and a TIFF JPEG or CCITT page.
TEST(Grey16Refusals, OnlyPngAndLosslessTiffTakeTheSamples) {
    const std::string tiff = " cannot hold 16-bit grey pictures; use LZW, deflate or none";
    struct Case { uint32_t format; std::string extension; uint32_t tiffOption; std::string message; };
    std::vector<Case> cases = {{LF_FORMAT_TIF, "tif", COMPRESSION_JPEG, "TIFF JPEG compression" + tiff},
                               {LF_FORMAT_TIF, "tif", COMPRESSION_CCITTFAX4, "this TIFF compression" + tiff}};
    for (const LfFormatInfo& row : LfFormats()) {
        EXPECT_EQ(row.writesGrey16, row.id == LF_FORMAT_PNG || row.id == LF_FORMAT_TIF) << row.name;
        // Movies take frame sequences, never an image object (their rows have no encoder).
        if (row.writes && !row.writesGrey16 && row.codec.encode)
            cases.push_back({row.id, row.saveExtensions.front().ext, 0, std::string(row.name) + " cannot store 16-bit grey pictures; save them as PNG or TIFF"});
    }
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        const auto existing = dir / (std::to_string(&c - cases.data()) + "." + c.extension);
        LfImage image = Ramp(7, 5, c.tiffOption);
        LfMemFile stream;   // Encode to memory refuses alike
        EXPECT_TRUE(stream.Open() && !image.Encode(&stream, c.format) && image.LastError() == c.message) << c.message;
        testsupport::WriteFile(existing, {'k'});
        EXPECT_TRUE(!image.Save(existing.c_str(), c.format) && image.LastError() == c.message && testsupport::ReadFile(existing) == std::vector<uint8_t>{'k'})
            << c.message << ": " << image.LastError();
    }
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(dir.path()), {}), long(cases.size()));   // no temporary left
}

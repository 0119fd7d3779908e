// 16-bit grey pictures: layout, image operations, PNG and TIFF files as Pillow and tifffile
// read them, and every other format's refusal.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "LfFormatRegistry.h"
#include "LfImagePNG.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using Samples = std::vector<uint16_t>;   // rows top-down

uint16_t At(const LfImage& image, uint32_t x, uint32_t stored) {
    uint16_t v;
    std::memcpy(&v, image.Row(stored) + x * 2, 2);
    return v;
}

Samples TopDown(const LfImage& image) {
    Samples out;
    for (uint32_t y = image.Height(); y-- > 0;)
        for (uint32_t x = 0; x < image.Width(); ++x) out.push_back(At(image, x, y));
    return out;
}

// 0 (top left) to 65535 (bottom right) in reading order: all samples differ, low bytes vary,
// so rows stored upside down or byte-swapped read differently.
LfImage Ramp(uint32_t width, uint32_t height) {
    LfImage image;
    EXPECT_NE(image.CreateGrey16(width, height), nullptr) << image.LastError();
    const uint64_t last = uint64_t(width) * height - 1;
    for (uint32_t top = 0; top < height; ++top)
        for (uint32_t x = 0; x < width; ++x)
            reinterpret_cast<uint16_t*>(image.Row(height - 1 - top))[x] = uint16_t((uint64_t(top) * width + x) * 65535 / last);
    return image;
}

// Odd widths leave 2 padding bytes per row.
const std::pair<uint32_t, uint32_t> kSizes[] = {{1, 3}, {3, 2}, {7, 5}, {257, 4}};

}  // namespace

// Catches rows not padded to 4 bytes, a palette slipped in, and Create(w, h, 16) no longer
// giving 24 bits (16-bit grey is asked for by name only).
TEST(Grey16Layout, RowsArePaddedSamplesAndCreateSixteenStaysColour) {
    for (const auto& [w, h] : kSizes) {
        LfImage grey, colour;
        ASSERT_NE(grey.CreateGrey16(w, h), nullptr);
        EXPECT_TRUE(grey.IsGrey16() && grey.BitCount() == 16 && grey.NumColors() == 0) << w;
        EXPECT_EQ(grey.EffectiveWidth(), (w * 2 + 3) / 4 * 4);
        ASSERT_NE(colour.Create(w, h, 16), nullptr);
        EXPECT_FALSE(colour.IsGrey16() || colour.BitCount() != 24) << w;
    }
}

// Catches an operation that rebuilds the picture through Create (a black 24-bit result) or
// moves samples by 1 or 3 bytes; and colour operations that read the samples as bytes or
// palette indices instead of refusing and leaving them as they were.
TEST(Grey16Operations, KeepTheSamplesOrRefuse) {
    using Expect = std::function<uint16_t(const LfImage&, uint32_t, uint32_t)>;
    const struct { const char* name; std::function<bool(LfImage&)> run; Expect expect; } kKeeping[] = {
        {"Copy", [](LfImage& i) { LfImage c; c.Copy(i); return i.Transfer(c); }, At},
        {"Mirror", [](LfImage& i) { return i.Mirror(); }, [](const LfImage& s, uint32_t x, uint32_t y) { return At(s, s.Width() - 1 - x, y); }},
        {"RotateRight", [](LfImage& i) { return i.RotateRight(); }, [](const LfImage& s, uint32_t x, uint32_t y) { return At(s, s.Width() - 1 - y, x); }},
        {"Negative", [](LfImage& i) { return i.Negative(); }, [](const LfImage& s, uint32_t x, uint32_t y) { return uint16_t(~At(s, x, y)); }},
    };
    const LfImage source = Ramp(7, 5);
    for (const auto& op : kKeeping) {
        LfImage image(source);   // the copy constructor keeps the picture too, or nothing below holds
        ASSERT_TRUE(op.run(image) && image.IsGrey16()) << op.name;
        for (uint32_t y = 0; y < image.Height(); ++y)
            for (uint32_t x = 0; x < image.Width(); ++x) ASSERT_EQ(At(image, x, y), op.expect(source, x, y)) << op.name;
    }
    const struct { const char* name; std::function<bool(LfImage&)> run; } kRefusing[] = {
        {"Resample", [](LfImage& i) { return i.Resample(5, 4, 2); }},
        {"AlphaCreate", [](LfImage& i) { return i.AlphaCreate(); }},
        {"IncreaseBitCount(8)", [](LfImage& i) { return i.IncreaseBitCount(8); }},
        {"colour writes", [](LfImage& i) { i.DrawLine(0, 0, 6, 4, LfRgbQuad{1, 2, 3, 0}); i.SetPixelIndex(1, 1, 7); return false; }},
        {"SwapRedBlue", [](LfImage& i) { i.SwapRedBlue(); i.SwapRedBlue(i.Row(0), i.EffectiveWidth()); return false; }},
    };
    for (const auto& op : kRefusing) {
        LfImage image(source);
        EXPECT_FALSE(op.run(image)) << op.name;
        EXPECT_TRUE(image.IsGrey16() && !image.AlphaIsValid() && TopDown(image) == TopDown(source)) << op.name;
    }
    // The window's preview widens to 24 bits: the upper byte of each sample as grey.
    LfImage wide(source);
    ASSERT_TRUE(wide.IncreaseBitCount(24));
    const uint8_t level = At(source, 3, 2) >> 8;
    EXPECT_EQ(wide.PixelColor(3, 2, false), (LfRgbQuad{level, level, level, 0}));
}

namespace {

// Decodes each file with Pillow (.png, reporting its raw mode) or tifffile (.tif, reporting
// bits, samples, photometric, compression and predictor; LZW samples need imagecodecs, which
// Debian lacks, so Pillow decodes those). Writes "<meta>\n" and the samples as <u2 top-down.
const char* kPeerScript = R"PY(
import sys, numpy as np
from PIL import Image
for i, p in enumerate(sys.argv[2:]):
    if p.endswith('.png'):
        im = Image.open(p); meta = im.tile[0][3]; im.load(); a = np.asarray(im)
    else:
        import tifffile
        with tifffile.TiffFile(p) as t:
            pg = t.pages[0]
            meta = '%d %d %d %d %d %s' % (pg.bitspersample, pg.samplesperpixel, pg.photometric, pg.compression, pg.predictor, pg.dtype.str[1:])
            a = pg.asarray() if pg.compression != 5 else np.asarray(Image.open(p))
    with open('%s/%d' % (sys.argv[1], i), 'wb') as f:
        f.write(('%s %d %d\n' % (meta, a.shape[1], a.shape[0])).encode() + a.astype('<u2').tobytes())
)PY";

}  // namespace

// Catches host-order samples where PNG wants big-endian, padding written into the files, rows
// in stored (bottom-up) order, a TIFF compression option ignored, LZW without its predictor,
// and samples narrowed to 8 bits on the way.
TEST(Grey16Peers, PngAndTiffFilesHoldTheExactSamples) {
    GLINTWISE_NEED_PEER(testsupport::HavePythonModules("PIL numpy tifffile"), "python3-pil, python3-numpy, python3-tifffile");
    const struct { uint32_t format, option; std::string meta; } kWritten[] = {
        {LF_FORMAT_PNG, 0, "I;16B"},   // grey colour type, 16 bits, big-endian
        {LF_FORMAT_PNG, LF_PNG_FAST_DEFLATE, "I;16B"},
        {LF_FORMAT_PNG, LF_PNG_INTERLACED, "I;16B"},
        {LF_FORMAT_TIF, 0, "16 1 1 5 2 u2"},   // LZW with horizontal differencing by default
        {LF_FORMAT_TIF, COMPRESSION_LZW, "16 1 1 5 2 u2"},
        {LF_FORMAT_TIF, COMPRESSION_ADOBE_DEFLATE, "16 1 1 8 1 u2"},
        {LF_FORMAT_TIF, COMPRESSION_PACKBITS, "16 1 1 32773 1 u2"},
        {LF_FORMAT_TIF, COMPRESSION_NONE, "16 1 1 1 1 u2"},
    };
    testsupport::TempDir dir;
    std::string command = testsupport::Python() + " - " + testsupport::ShellQuote(dir.path().string());
    std::vector<Samples> ours;
    for (const auto& w : kWritten) {
        for (const auto& [width, height] : kSizes) {
            LfImage image = Ramp(width, height);
            image.SetCodecOption(w.option, w.format);
            const fs::path path = dir / (std::to_string(ours.size()) + (w.format == LF_FORMAT_PNG ? ".png" : ".tif"));
            ASSERT_TRUE(image.Save(path.c_str(), w.format)) << image.LastError();
            command += " " + testsupport::ShellQuote(path.string());
            ours.push_back(TopDown(image));
        }
    }
    std::ofstream(dir / "peer.py") << kPeerScript;
    testsupport::Run(command + " < " + testsupport::ShellQuote((dir / "peer.py").string()));
    size_t i = 0;
    for (const auto& w : kWritten) {
        for (const auto& [width, height] : kSizes) {
            const std::vector<uint8_t> bytes = testsupport::ReadFile(dir / std::to_string(i));
            const auto newline = std::find(bytes.begin(), bytes.end(), '\n');
            EXPECT_EQ(std::string(bytes.begin(), newline), w.meta + " " + std::to_string(width) + " " + std::to_string(height)) << i;
            Samples theirs;
            for (auto b = newline + (newline != bytes.end()); b + 1 < bytes.end(); b += 2) theirs.push_back(uint16_t(b[0] | b[1] << 8));
            EXPECT_EQ(theirs, ours[i]) << i;
            ++i;
        }
    }
}

// Catches a format that narrows 16-bit grey silently, a refusal that leaves a file (or its
// temporary) behind or replaces an existing one, and a TIFF JPEG page libtiff would write as
// 8 bits.
TEST(Grey16Refusals, OnlyPngAndLosslessTiffTakeTheSamples) {
    struct Case { uint32_t format; std::string extension; uint32_t tiffOption; std::string message; };
    std::vector<Case> cases = {
        {LF_FORMAT_TIF, "tif", COMPRESSION_JPEG, "TIFF JPEG compression cannot hold 16-bit grey pictures; use LZW, deflate or none"},
        {LF_FORMAT_TIF, "tif", COMPRESSION_CCITTFAX4, "this TIFF compression cannot hold 16-bit grey pictures; use LZW, deflate or none"},
    };
    for (const LfFormatInfo& row : LfFormats()) {
        EXPECT_EQ(row.writesGrey16, row.id == LF_FORMAT_PNG || row.id == LF_FORMAT_TIF) << row.name;
        if (row.writes && !row.writesGrey16)
            cases.push_back({row.id, row.saveExtensions.front(), 0, std::string(row.name) + " cannot store 16-bit grey pictures; save them as PNG or TIFF"});
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        testsupport::TempDir dir;
        LfImage image = Ramp(7, 5);
        image.SetCodecOption(c.tiffOption, LF_FORMAT_TIF);
        const fs::path fresh = dir / ("fresh." + c.extension), existing = dir / ("existing." + c.extension);
        EXPECT_FALSE(image.Save(fresh.c_str(), c.format));
        EXPECT_EQ(image.LastError(), c.message);
        testsupport::WriteFile(existing, {'k', 'e', 'e', 'p'});
        EXPECT_FALSE(image.Save(existing.c_str(), c.format));
        EXPECT_EQ(testsupport::ReadFile(existing), (std::vector<uint8_t>{'k', 'e', 'e', 'p'}));
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);   // no fresh, no temporary
        LfMemFile stream;
        image.SetLastError("");
        EXPECT_FALSE(stream.Open() && image.Encode(&stream, c.format));
        EXPECT_EQ(image.LastError(), c.message);
    }
}

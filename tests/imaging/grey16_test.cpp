// 16-bit grey pictures: their layout, what the image operations do with them, the PNG and TIFF
// files written from them as Pillow and tifffile read them, and every other format's refusal.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "LfFormatRegistry.h"
#include "LfImagePNG.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;
using testsupport::TempDir;
using Samples = std::vector<uint16_t>;   // rows top-down

uint16_t Sample(const LfImage& image, uint32_t x, uint32_t stored) {
    uint16_t v;
    std::memcpy(&v, image.Row(stored) + x * 2, 2);
    return v;
}

// The picture's samples top-down, as files and peers list them.
Samples TopDown(const LfImage& image) {
    Samples out;
    for (uint32_t y = image.Height(); y-- > 0;)
        for (uint32_t x = 0; x < image.Width(); ++x) out.push_back(Sample(image, x, y));
    return out;
}

// A ramp from 0 (top left) to 65535 (bottom right) in reading order: every sample differs,
// low bytes vary, and a picture stored upside down or byte-swapped reads differently.
LfImage Ramp(uint32_t width, uint32_t height) {
    LfImage image;
    EXPECT_NE(image.CreateGrey16(width, height), nullptr) << image.LastError();
    const uint64_t last = uint64_t(width) * height - 1;
    for (uint32_t top = 0; top < height; ++top) {
        auto* row = reinterpret_cast<uint16_t*>(image.Row(height - 1 - top));
        for (uint32_t x = 0; x < width; ++x)
            row[x] = static_cast<uint16_t>((uint64_t(top) * width + x) * 65535 / last);
    }
    return image;
}

struct Size {
    uint32_t width, height;
};
// Odd widths leave 2 padding bytes per row; 1 x n has one sample per row.
const Size kSizes[] = {{1, 3}, {3, 2}, {7, 5}, {33, 9}, {257, 4}};

}  // namespace

// ---------------------------------------------------------------- layout

// Catches rows not padded to 4 bytes, a palette slipped in, or Create(w, h, 16) changed from
// its 24-bit result (16-bit grey must be asked for by name).
TEST(Grey16Layout, RowsArePaddedSamplesAndCreateSixteenStaysColour) {
    for (const Size s : kSizes) {
        SCOPED_TRACE(s.width);
        LfImage grey;
        ASSERT_NE(grey.CreateGrey16(s.width, s.height), nullptr);
        EXPECT_TRUE(grey.IsGrey16());
        EXPECT_EQ(grey.BitCount(), 16u);
        EXPECT_EQ(grey.NumColors(), 0u);
        EXPECT_EQ(grey.EffectiveWidth(), (s.width * 2 + 3) / 4 * 4);
        EXPECT_EQ(grey.BlockSize(), 40 + grey.EffectiveWidth() * s.height);

        LfImage colour;
        ASSERT_NE(colour.Create(s.width, s.height, 16), nullptr);
        EXPECT_EQ(colour.BitCount(), 24u);
        EXPECT_FALSE(colour.IsGrey16());
    }
    LfImage huge;
    EXPECT_EQ(huge.CreateGrey16(65536, 4096), nullptr);   // 512 MiB of samples
    EXPECT_STREQ(huge.LastError(), "LFIMAGE_MAX_MEMORY exceeded");
}

// ---------------------------------------------------------------- operations

struct Operation {
    const char* name;
    std::function<bool(LfImage&)> run;
    bool swapsSides;   // width and height exchanged
    // Expected sample at (x, stored row) of the result, from the source ramp.
    std::function<uint16_t(const LfImage& source, uint32_t x, uint32_t y)> expected;
};

// Catches an operation that rebuilds a grey16 picture through Create (and so turns it into a
// black 24-bit one), or moves samples by 1 or 3 bytes instead of 2.
TEST(Grey16Operations, KeepEverySampleWhereItBelongs) {
    const Operation kOps[] = {
        {"copy constructor", [](LfImage& i) { LfImage c(i); return i.Transfer(c); }, false,
         [](const LfImage& s, uint32_t x, uint32_t y) { return Sample(s, x, y); }},
        {"Copy", [](LfImage& i) { LfImage c; c.Copy(i); return i.Transfer(c); }, false,
         [](const LfImage& s, uint32_t x, uint32_t y) { return Sample(s, x, y); }},
        {"Flip", [](LfImage& i) { return i.Flip(); }, false,
         [](const LfImage& s, uint32_t x, uint32_t y) { return Sample(s, x, s.Height() - 1 - y); }},
        {"Mirror", [](LfImage& i) { return i.Mirror(); }, false,
         [](const LfImage& s, uint32_t x, uint32_t y) { return Sample(s, s.Width() - 1 - x, y); }},
        {"RotateRight", [](LfImage& i) { return i.RotateRight(); }, true,
         [](const LfImage& s, uint32_t x, uint32_t y) { return Sample(s, s.Width() - 1 - y, x); }},
        {"RotateLeft", [](LfImage& i) { return i.RotateLeft(); }, true,
         [](const LfImage& s, uint32_t x, uint32_t y) { return Sample(s, y, s.Height() - 1 - x); }},
        {"Negative", [](LfImage& i) { return i.Negative(); }, false,
         [](const LfImage& s, uint32_t x, uint32_t y) { return uint16_t(65535 - Sample(s, x, y)); }},
        {"Resample to the same size", [](LfImage& i) { return i.Resample(i.Width(), i.Height()); }, false,
         [](const LfImage& s, uint32_t x, uint32_t y) { return Sample(s, x, y); }},
    };
    for (const Operation& op : kOps) {
        for (const Size s : kSizes) {
            SCOPED_TRACE(std::string(op.name) + " " + std::to_string(s.width));
            const LfImage source = Ramp(s.width, s.height);
            LfImage image(source);
            ASSERT_TRUE(op.run(image)) << image.LastError();
            ASSERT_TRUE(image.IsGrey16());
            ASSERT_EQ(image.Width(), op.swapsSides ? s.height : s.width);
            ASSERT_EQ(image.Height(), op.swapsSides ? s.width : s.height);
            size_t wrong = 0;
            for (uint32_t y = 0; y < image.Height(); ++y)
                for (uint32_t x = 0; x < image.Width(); ++x) wrong += Sample(image, x, y) != op.expected(source, x, y);
            EXPECT_EQ(wrong, 0u);
        }
    }
}

// Catches operations built for 8-bit channels that read a grey16 picture as bytes or
// palette indices: each either refuses and leaves every sample as it was, or (the colour
// views) sees the upper byte of the sample.
TEST(Grey16Operations, ColourOperationsRefuseOrSeeTheUpperByte) {
    const struct {
        const char* name;
        std::function<bool(LfImage&)> run;   // true: the operation claimed success
    } kRefused[] = {
        {"Resample", [](LfImage& i) { return i.Resample(5, 4, 2); }},
        {"AlphaCreate", [](LfImage& i) { return i.AlphaCreate(); }},
        {"IncreaseBitCount(8)", [](LfImage& i) { return i.IncreaseBitCount(8); }},
        {"SetPixelColor", [](LfImage& i) { i.SetPixelColor(1, 1, LfRgbQuad{9, 9, 9, 9}, true); return false; }},
        {"SetPixelIndex", [](LfImage& i) { i.SetPixelIndex(1, 1, 7); return false; }},
        {"DrawLine", [](LfImage& i) { i.DrawLine(0, 0, 6, 4, LfRgbQuad{1, 2, 3, 0}); return false; }},
        {"SwapRedBlue", [](LfImage& i) { i.SwapRedBlue(); i.SwapRedBlue(i.Row(0), i.EffectiveWidth()); return false; }},
    };
    const LfImage source = Ramp(7, 5);
    for (const auto& op : kRefused) {
        SCOPED_TRACE(op.name);
        LfImage image(source);
        EXPECT_FALSE(op.run(image));
        EXPECT_TRUE(image.IsGrey16());
        EXPECT_FALSE(image.AlphaIsValid());
        EXPECT_EQ(TopDown(image), TopDown(source));
    }

    LfImage wide(source);
    ASSERT_TRUE(wide.IncreaseBitCount(24));
    ASSERT_EQ(wide.BitCount(), 24u);
    for (uint32_t y = 0; y < 5; ++y) {
        for (uint32_t x = 0; x < 7; ++x) {
            const uint8_t level = Sample(source, x, y) >> 8;
            EXPECT_EQ(source.PixelColor(x, y), (LfRgbQuad{level, level, level, 0}));
            EXPECT_EQ(wide.PixelColor(x, y, false), (LfRgbQuad{level, level, level, 0}));
        }
    }
}

// ---------------------------------------------------------------- written files, read by peers

namespace {

struct PeerRead {
    std::string meta;   // PNG: Pillow's raw mode; TIFF: bits, samples, photometric, compression, predictor
    std::string dtype;  // kind and size of the array's elements (Pillow widens PNG's to int32)
    uint32_t width = 0, height = 0;
    Samples samples;    // top-down
};

// Reads each file with Pillow (.png) or tifffile (.tif: the tags, and the samples unless
// they are LZW, which Pillow decodes); a file the peers cannot read has an empty dtype.
std::vector<PeerRead> ReadWithPeers(const std::vector<fs::path>& files) {
    static const char* kScript = R"PY(
import sys, numpy as np
out = sys.argv[1]
for i, p in enumerate(sys.argv[2:]):
    try:
        if p.endswith('.png'):
            from PIL import Image
            im = Image.open(p)
            meta = im.tile[0][3]  # the raw mode of the file's samples, before load drops it
            im.load()
            a = np.asarray(im)
        else:
            import tifffile
            with tifffile.TiffFile(p) as t:
                page = t.pages[0]
                try:
                    a = page.asarray()
                except ValueError:  # LZW needs imagecodecs, which Debian lacks: Pillow decodes
                    from PIL import Image
                    im = Image.open(p); im.load()
                    a = np.asarray(im) if im.mode.startswith('I;16') else None
                meta = '%d %d %d %d %d' % (page.bitspersample, page.samplesperpixel, int(page.photometric),
                                           int(page.compression), int(page.predictor))
        with open('%s/%d.txt' % (out, i), 'w') as f:
            f.write('%s\n%s%d %d %d\n' % (meta, a.dtype.kind, a.dtype.itemsize, a.shape[1], a.shape[0]))
        a.astype('<u2').tofile('%s/%d.raw' % (out, i))
    except Exception as e:
        sys.stderr.write('%s: %s\n' % (p, e))
)PY";
    TempDir dir;
    std::ofstream(dir / "read.py") << kScript;
    std::string command = testsupport::Python() + " " + testsupport::ShellQuote((dir / "read.py").string()) + " " +
                          testsupport::ShellQuote(dir.path().string());
    for (const fs::path& f : files) command += " " + testsupport::ShellQuote(f.string());
    testsupport::Run(command);
    std::vector<PeerRead> reads(files.size());
    for (size_t i = 0; i < files.size(); ++i) {
        std::ifstream text(dir / (std::to_string(i) + ".txt"));
        if (!text) continue;
        PeerRead& r = reads[i];
        std::getline(text, r.meta);
        text >> r.dtype >> r.width >> r.height;
        const std::vector<uint8_t> raw = testsupport::ReadFile(dir / (std::to_string(i) + ".raw"));
        r.samples.resize(raw.size() / 2);
        for (size_t k = 0; k < r.samples.size(); ++k) r.samples[k] = uint16_t(raw[2 * k] | raw[2 * k + 1] << 8);
    }
    return reads;
}

struct Written {
    std::string what;
    uint32_t format;
    uint32_t option;
    std::string expectedMeta;
};

std::string TiffMeta(uint32_t compression, uint32_t predictor) {
    return "16 1 1 " + std::to_string(compression) + " " + std::to_string(predictor);
}

}  // namespace

// Catches samples written in host order where PNG wants big-endian, row padding written into
// the file, rows in stored (bottom-up) order, a TIFF compression option ignored, LZW without
// its predictor, and 16-bit samples narrowed to 8 anywhere on the way.
TEST(Grey16Peers, PngAndTiffFilesHoldTheExactSamples) {
    GLINTWISE_NEED_PEER(testsupport::HavePythonModules("PIL numpy tifffile"), "python3-pil, python3-numpy, python3-tifffile");
    const Written kWritten[] = {
        {"PNG", LF_FORMAT_PNG, 0, "I;16B"},
        {"PNG fast deflate", LF_FORMAT_PNG, LF_PNG_FAST_DEFLATE, "I;16B"},
        {"PNG interlaced", LF_FORMAT_PNG, LF_PNG_INTERLACED, "I;16B"},
        {"TIFF default", LF_FORMAT_TIF, 0, TiffMeta(COMPRESSION_LZW, PREDICTOR_HORIZONTAL)},
        {"TIFF LZW", LF_FORMAT_TIF, COMPRESSION_LZW, TiffMeta(COMPRESSION_LZW, PREDICTOR_HORIZONTAL)},
        {"TIFF deflate", LF_FORMAT_TIF, COMPRESSION_ADOBE_DEFLATE, TiffMeta(COMPRESSION_ADOBE_DEFLATE, 1)},
        {"TIFF old deflate", LF_FORMAT_TIF, COMPRESSION_DEFLATE, TiffMeta(COMPRESSION_DEFLATE, 1)},
        {"TIFF PackBits", LF_FORMAT_TIF, COMPRESSION_PACKBITS, TiffMeta(COMPRESSION_PACKBITS, 1)},
        {"TIFF none", LF_FORMAT_TIF, COMPRESSION_NONE, TiffMeta(COMPRESSION_NONE, 1)},
    };
    TempDir dir;
    std::vector<fs::path> files;
    std::vector<Samples> ours;
    for (const Written& w : kWritten) {
        for (const Size s : kSizes) {
            LfImage image = Ramp(s.width, s.height);
            image.SetCodecOption(w.option, w.format);
            const fs::path path = dir / (std::to_string(files.size()) + (w.format == LF_FORMAT_PNG ? ".png" : ".tif"));
            ASSERT_TRUE(image.Save(path.c_str(), w.format)) << w.what << ": " << image.LastError();
            files.push_back(path);
            ours.push_back(TopDown(image));
        }
    }
    const std::vector<PeerRead> reads = ReadWithPeers(files);
    size_t i = 0;
    for (const Written& w : kWritten) {
        for (const Size s : kSizes) {
            SCOPED_TRACE(w.what + " " + std::to_string(s.width) + "x" + std::to_string(s.height));
            const PeerRead& r = reads[i];
            EXPECT_EQ(r.meta, w.expectedMeta);
            if (w.format == LF_FORMAT_TIF) {
                EXPECT_EQ(r.dtype, "u2");
            }
            EXPECT_EQ(r.width, s.width);
            EXPECT_EQ(r.height, s.height);
            EXPECT_EQ(r.samples, ours[i]);
            ++i;
        }
    }
}

// ---------------------------------------------------------------- refusals

// Catches a format that narrows 16-bit grey silently, a refusal that still leaves a file (or
// its temporary) behind or replaces an existing one, and a TIFF JPEG page that libtiff would
// write as 8 bits.
TEST(Grey16Refusals, OnlyPngAndLosslessTiffAcceptTheSamples) {
    struct Case {
        std::string what;
        uint32_t format;
        std::string extension;
        uint32_t tiffCompression;
        std::string message;
    };
    std::vector<Case> cases = {
        {"TIFF JPEG", LF_FORMAT_TIF, "tif", COMPRESSION_JPEG,
         "TIFF JPEG compression cannot hold 16-bit grey pictures; use LZW, deflate or none"},
        {"TIFF group 4", LF_FORMAT_TIF, "tif", COMPRESSION_CCITTFAX4,
         "this TIFF compression cannot hold 16-bit grey pictures; use LZW, deflate or none"},
    };
    for (const LfFormatInfo& row : LfFormats()) {
        EXPECT_EQ(row.writesGrey16, row.id == LF_FORMAT_PNG || row.id == LF_FORMAT_TIF) << row.name;
        if (!row.writes || row.writesGrey16) continue;
        cases.push_back({row.name, row.id, row.saveExtensions.front(), 0,
                         std::string(row.name) + " cannot store 16-bit grey pictures; save them as PNG or TIFF"});
    }
    const std::vector<uint8_t> previous = {'k', 'e', 'e', 'p'};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        LfImage image = Ramp(7, 5);
        image.SetCodecOption(c.tiffCompression, LF_FORMAT_TIF);
        const fs::path fresh = dir / ("fresh." + c.extension);
        EXPECT_FALSE(image.Save(fresh.c_str(), c.format));
        EXPECT_EQ(image.LastError(), c.message);
        EXPECT_FALSE(fs::exists(fresh));

        const fs::path existing = dir / ("existing." + c.extension);
        testsupport::WriteFile(existing, previous);
        EXPECT_FALSE(image.Save(existing.c_str(), c.format));
        EXPECT_EQ(testsupport::ReadFile(existing), previous);
        EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), fs::directory_iterator()), 1);

        LfMemFile stream;
        ASSERT_TRUE(stream.Open());
        image.SetLastError("");
        EXPECT_FALSE(image.Encode(&stream, c.format));
        EXPECT_EQ(image.LastError(), c.message);
        EXPECT_TRUE(image.IsGrey16());
    }
}

// Grey DICOM pictures leave the converter as one grey channel wherever the target holds 8-bit
// grey, with the window's pixels; other targets and colour pictures keep three channels.
// Pillow reads the files back, so a file only our own decoder accepts would fail here.
#include <gtest/gtest.h>

#include "CliTestFiles.h"
#include "Conversion.h"
#include "DicomReader.h"
#include "LfImage.h"

namespace fs = std::filesystem;
using clitest::DicomSpec;
using clitest::RunConvert;

namespace {

// The window's 24-bit picture of the file as grey levels, top row first.
std::vector<uint8_t> WindowGreyLevels(const fs::path& dicom, int& width, int& height) {
    DicomReader reader;
    const GreyFrame* frame = reader.read(dicom.string().c_str());
    LfImage window;
    if (frame == nullptr || !FrameToImage(*frame, window)) return {};
    width = static_cast<int>(window.Width());
    height = static_cast<int>(window.Height());
    std::vector<uint8_t> levels;
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < width; ++x) levels.push_back(window.PixelColor(x, height - 1 - y, false).red);
    return levels;
}

// Pillow's view of a file: "MODE WIDTH HEIGHT MAXDIFF COMPRESSION PREDICTOR PHOTOMETRIC", the
// largest difference taken against the expected grey levels (in any channel).
std::string PillowView(const fs::path& file, const fs::path& expected) {
    const std::string script =
        "import sys\n"
        "from PIL import Image\n"
        "im = Image.open(sys.argv[1]); im.load()\n"
        "want = open(sys.argv[2], 'rb').read()\n"
        "rgb = im.convert('RGB').tobytes()\n"
        "diff = max(abs(rgb[i] - want[i // 3]) for i in range(len(rgb)))\n"
        "tags = getattr(im, 'tag_v2', {})\n"
        "print(im.mode, im.width, im.height, diff, im.info.get('compression', '-'),"
        " tags.get(317, '-'), tags.get(262, '-'))\n";
    const fs::path scriptFile = expected.parent_path() / "view.py";
    testsupport::WriteFile(scriptFile, std::vector<uint8_t>(script.begin(), script.end()));
    std::string out;
    testsupport::Run(testsupport::Python() + " " + testsupport::ShellQuote(scriptFile.string()) + " " +
                         testsupport::ShellQuote(file.string()) + " " +
                         testsupport::ShellQuote(expected.string()) + " 2>&1",
                     &out);
    while (!out.empty() && out.back() == '\n') out.pop_back();
    return out;
}

}  // namespace

// Catches a target that stays 24-bit (three times the bytes), one written as grey that other
// programs read differently (inverted, palette, other levels), and a TIFF that loses LZW.
TEST(GreyOutput, EveryGreyTargetHoldsTheWindowsPixelsInOneChannel) {
    GLINTWISE_NEED_PEER(testsupport::HavePythonModules("PIL"), "Pillow (python3-pil)");
    testsupport::TempDir dir;
    const fs::path dicom = dir / "ct.dcm";
    clitest::WriteDicom(dicom, DicomSpec().Size(37, 11).Window("40", "400").Intercept("-1024"));
    int width = 0, height = 0;
    const std::vector<uint8_t> levels = WindowGreyLevels(dicom, width, height);
    ASSERT_EQ(levels.size(), 37u * 11u);
    testsupport::WriteFile(dir / "levels.raw", levels);

    struct Case { const char* ext; const char* mode; int maxDiff; const char* tiff; };
    const std::vector<Case> cases = {
        {"png", "L", 0, nullptr},   {"bmp", "L", 0, nullptr},  {"pgm", "L", 0, nullptr},
        {"pnm", "L", 0, nullptr},   {"tif", "L", 0, "tiff_lzw 2 1"},
        {"jpg", "L", 24, nullptr},  {"jp2", "L", 24, nullptr}, {"j2c", "L", 24, nullptr},
        {"ppm", "RGB", 0, nullptr}, {"tga", "RGB", 0, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.ext);
        const fs::path out = dir / (std::string("ct.") + c.ext);
        const auto run = RunConvert({"-o", out.string(), dicom.string()});
        if (run.status != 0 && run.err.find("Unknown format") != std::string::npos) continue;  // no codec yet
        ASSERT_EQ(run.status, 0) << run.err;
        std::istringstream view(PillowView(out, dir / "levels.raw"));
        std::string mode, compression, predictor, photometric;
        int w = 0, h = 0, diff = -1;
        view >> mode >> w >> h >> diff >> compression >> predictor >> photometric;
        EXPECT_EQ(mode, c.mode) << view.str();
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, height);
        EXPECT_GE(diff, 0) << view.str();
        EXPECT_LE(diff, c.maxDiff);
        if (c.tiff) {
            EXPECT_EQ(compression + " " + predictor + " " + photometric, c.tiff);
        }
    }

    // PGX, which Pillow does not read: an 8-bit unsigned header and our decoder's levels.
    ASSERT_EQ(RunConvert({"-o", (dir / "ct.pgx").string(), dicom.string()}).status, 0);
    const auto pgx = testsupport::ReadFile(dir / "ct.pgx");
    EXPECT_EQ(std::string(pgx.begin(), pgx.begin() + 15), "PG ML + 8 37 11");
    EXPECT_EQ(pgx.size() - levels.size(), 16u);  // the header and its newline, then one byte a pixel
    EXPECT_TRUE(std::equal(levels.begin(), levels.end(), pgx.end() - static_cast<long>(levels.size())));
}

// Catches --tiff-compression not reaching the TIFF writer, and a scheme that changes pixels
// it must keep.
TEST(GreyOutput, TiffCompressionIsChosenOnTheCommandLine) {
    GLINTWISE_NEED_PEER(testsupport::HavePythonModules("PIL"), "Pillow (python3-pil)");
    testsupport::TempDir dir;
    const fs::path dicom = dir / "ct.dcm";
    clitest::WriteDicom(dicom, DicomSpec().Size(40, 24).Seed(3));
    int width = 0, height = 0;
    testsupport::WriteFile(dir / "levels.raw", WindowGreyLevels(dicom, width, height));
    struct Case { const char* scheme; const char* compression; int maxDiff; };
    for (const Case& c : std::vector<Case>{{"none", "raw", 0}, {"lzw", "tiff_lzw", 0},
                                           {"deflate", "tiff_adobe_deflate", 0}, {"jpeg", "jpeg", 24}}) {
        SCOPED_TRACE(c.scheme);
        const fs::path out = dir / (std::string(c.scheme) + ".tiff");
        const auto run = RunConvert({"--tiff-compression", c.scheme, "-o", out.string(), dicom.string()});
        ASSERT_EQ(run.status, 0) << run.err;
        std::istringstream view(PillowView(out, dir / "levels.raw"));
        std::string mode, compression;
        int w = 0, h = 0, diff = -1;
        view >> mode >> w >> h >> diff >> compression;
        EXPECT_EQ(mode + " " + compression, std::string("L ") + c.compression) << view.str();
        EXPECT_GE(diff, 0) << view.str();
        EXPECT_LE(diff, c.maxDiff);
    }
}

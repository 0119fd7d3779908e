// Grey DICOM pictures leave the converter as one grey channel wherever the target holds 8-bit
// grey, with the window's pixels; other targets and colour pictures keep three channels.
// Pillow reads the files back, so a file only our own decoder accepts would fail here.
#include <gtest/gtest.h>

#include "CliTestFiles.h"
#include "Conversion.h"
#include "DicomPictures.h"
#include "DicomReader.h"
#include "LfImage.h"

namespace fs = std::filesystem;
using clitest::DicomSpec;
using clitest::RunConvert;

namespace {

// The window's 24-bit picture of the file as grey levels, top row first.
std::vector<uint8_t> WindowGreyLevels(const fs::path& dicom, int& width, int& height) {
    DicomPicture picture;
    PictureFailure failure;
    LfImage window;
    if (!ReadDicomPicture(dicom.string(), 0, GreyRendering{}, true, picture, failure) ||
        !PictureToImage(picture, GreyPixels::ThreeChannels, window))
        return {};
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
// programs read differently (inverted, palette, other levels), a TIFF that loses LZW, and
// --tiff-compression not reaching the TIFF writer.
TEST(GreyOutput, EveryGreyTargetHoldsTheWindowsPixelsInOneChannel) {
    GLINTWISE_NEED_PEER(testsupport::HavePythonModules("PIL"), "Pillow (python3-pil)");
    testsupport::TempDir dir;
    const fs::path dicom = dir / "ct.dcm";
    clitest::WriteDicom(dicom, DicomSpec().Size(37, 11).Window("40", "400").Intercept("-1024"));
    int width = 0, height = 0;
    const std::vector<uint8_t> levels = WindowGreyLevels(dicom, width, height);
    ASSERT_EQ(levels.size(), 37u * 11u);
    testsupport::WriteFile(dir / "levels.raw", levels);

    // Pillow's view: mode, largest difference, then for TIFF compression, predictor, photometric.
    struct Case { const char* name; const char* scheme; const char* view; int maxDiff; };
    const std::vector<Case> cases = {
        {"a.png", "", "L", 0},   {"a.bmp", "", "L", 0},  {"a.pgm", "", "L", 0},  {"a.pnm", "", "L", 0},
        {"a.jpg", "", "L", 24},  {"a.jp2", "", "L", 24}, {"a.j2c", "", "L", 24},
        {"a.gif", "", "L", 0},   {"a.ppm", "", "RGB", 0}, {"a.tga", "", "RGB", 0},
        {"a.tif", "", "L tiff_lzw 2 1", 0},           {"b.tif", "none", "L raw - 1", 0},
        {"c.tif", "deflate", "L tiff_adobe_deflate - 1", 0}, {"d.tif", "jpeg", "L jpeg - 1", 24},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path out = dir / c.name;
        std::vector<std::string> args = {"-o", out.string(), dicom.string()};
        if (*c.scheme) args.insert(args.begin(), {"--tiff-compression", c.scheme});
        const auto run = RunConvert(args);
        if (run.status != 0 && run.err.find("Unknown format") != std::string::npos) continue;  // no codec yet
        ASSERT_EQ(run.status, 0) << run.err;
        std::istringstream view(PillowView(out, dir / "levels.raw"));
        std::string mode, compression, predictor, photometric;
        int w = 0, h = 0, diff = -1;
        view >> mode >> w >> h >> diff >> compression >> predictor >> photometric;
        EXPECT_EQ(w, width);
        EXPECT_EQ(h, height);
        EXPECT_GE(diff, 0) << view.str();
        EXPECT_LE(diff, c.maxDiff);
        const bool tiff = fs::path(c.name).extension() == ".tif";
        EXPECT_EQ(tiff ? mode + " " + compression + " " + predictor + " " + photometric : mode, c.view);
    }

    // PGX, which Pillow does not read: an 8-bit unsigned header, then one byte a pixel.
    ASSERT_EQ(RunConvert({"-o", (dir / "ct.pgx").string(), dicom.string()}).status, 0);
    const auto pgx = testsupport::ReadFile(dir / "ct.pgx");
    EXPECT_EQ(std::string(pgx.begin(), pgx.begin() + 16), "PG ML + 8 37 11\n");
    EXPECT_TRUE(std::equal(levels.begin(), levels.end(), pgx.begin() + 16, pgx.end()));
}

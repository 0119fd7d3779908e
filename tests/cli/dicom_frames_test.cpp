// The converter on DICOM inputs beyond a single grey frame: --frame picks a frame,
// --all-frames writes every frame, colour stays colour, data sets without a meta group are
// read once no image codec takes them, and --info names the encoding.
#include <gtest/gtest.h>

#include "CliTestFiles.h"
#include "DicomFileBuilder.h"
#include "LfImage.h"

namespace fs = std::filesystem;
using clitest::RunConvert;

namespace {

// Three 2 x 1 frames whose grey levels differ: 0/63, 127/191, 255/255 after the stretch.
std::vector<uint8_t> ThreeFrames() {
    dicomtest::DicomFileBuilder b;
    b.text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.7");
    b.text(0x0028, 0x0008, "IS", "3");
    b.picture(1, 2).pixels16({0, 20, 40, 60, 80, 80});
    return b.bytes();
}

// Blue, green, red of each pixel of a BMP (24-bit, or 8-bit grey as the converter writes grey
// DICOM pictures), top row first.
std::vector<int> BmpPixels(const fs::path& file) {
    LfImage image;
    if (!image.Load(file.string().c_str(), LF_FORMAT_BMP)) return {};
    std::vector<int> out;
    for (int32_t y = static_cast<int32_t>(image.Height()); y-- > 0;)
        for (int32_t x = 0; x < static_cast<int32_t>(image.Width()); ++x) {
            const LfRgbQuad c = image.PixelColor(x, y, false);
            out.insert(out.end(), {c.blue, c.green, c.red});
        }
    return out;
}

}  // namespace

TEST(DicomFrames, FrameOptionPicksADicomFrame) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "three.dcm", ThreeFrames());
    auto run = RunConvert({"--frame", "1", "-o", (dir / "f1.bmp").string(), (dir / "three.dcm").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(BmpPixels(dir / "f1.bmp"), (std::vector<int>{127, 127, 127, 191, 191, 191}));
    run = RunConvert({"--frame", "3", "-o", (dir / "f3.bmp").string(), (dir / "three.dcm").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("frame 3 requested, the file has 3 frames"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "f3.bmp"));
}

TEST(DicomFrames, AllFramesWritesNumberedFilesAndRefusesAnOutputFile) {
    testsupport::TempDir dir;
    clitest::WriteDicom(dir / "in" / "one.dcm");
    testsupport::WriteFile(dir / "in" / "three.dcm", ThreeFrames());
    auto run = RunConvert({"--all-frames", "-f", "bmp", "-o", (dir / "out").string(), (dir / "in").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(clitest::ListTree(dir / "out"),
              (std::vector<std::string>{"one.bmp", "three_0000.bmp", "three_0001.bmp", "three_0002.bmp"}));
    EXPECT_EQ(BmpPixels(dir / "out" / "three_0002.bmp"), std::vector<int>(6, 255));
    run = RunConvert({"--all-frames", "-o", (dir / "x.png").string(), (dir / "in" / "three.dcm").string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--all-frames"), std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "x.png"));
    run = RunConvert({"--all-frames", "--frame", "1", (dir / "in").string()});
    EXPECT_EQ(run.status, 2);
}

TEST(DicomFrames, ColourStaysColourInPngAndBareDataSetsAreRead) {
    testsupport::TempDir dir;
    dicomtest::DicomFileBuilder b;
    b.text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.7");
    b.us(0x0028, 0x0002, 3).text(0x0028, 0x0004, "CS", "RGB").us(0x0028, 0x0006, 0);
    b.us(0x0028, 0x0010, 1).us(0x0028, 0x0011, 2).us(0x0028, 0x0100, 8).us(0x0028, 0x0101, 8);
    b.us(0x0028, 0x0102, 7).us(0x0028, 0x0103, 0).pixels8({255, 0, 0, 0, 0, 255});
    const std::vector<uint8_t> file = b.bytes();
    testsupport::WriteFile(dir / "rgb.dcm", file);
    // The data set alone: everything after the meta group.
    const size_t meta = dicomtest::DicomFileBuilder().bytes().size();
    testsupport::WriteFile(dir / "bare.dat", std::vector<uint8_t>(file.begin() + static_cast<long>(meta), file.end()));
    for (const char* name : {"rgb.dcm", "bare.dat"}) {
        SCOPED_TRACE(name);
        const fs::path out = dir / (std::string(name) + ".png");
        const auto run = RunConvert({"-o", out.string(), (dir / name).string()});
        ASSERT_EQ(run.status, 0) << run.err;
        LfImage png;
        ASSERT_TRUE(png.Load(out.string().c_str(), LF_FORMAT_PNG));
        ASSERT_EQ(png.BitCount(), 24u);
        const uint8_t* row = png.Row(0);
        EXPECT_EQ((std::vector<int>{row[0], row[1], row[2], row[3], row[4], row[5]}),
                  (std::vector<int>{0, 0, 255, 255, 0, 0}));
    }
    const auto info = RunConvert({"--info", (dir / "bare.dat").string()});
    EXPECT_NE(info.out.find(": DICOM, rows 1, columns 2, 8 bits, RGB\n"), std::string::npos) << info.out;
}

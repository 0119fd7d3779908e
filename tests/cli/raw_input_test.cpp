// Camera raw inputs of the converter: files named with a camera raw extension are read as raw
// first (a DNG is also a TIFF, and the probe's TIFF codec would give its grey sensor mosaic),
// then by the probe.
#include <gtest/gtest.h>

#include "../imaging/RawTestFiles.h"
#include "CliTestFiles.h"
#include "LfImage.h"

namespace fs = std::filesystem;
using clitest::RunConvert;

namespace {

bool HavePeers() {
    return rawtest::HaveDngMaker() && rawtest::HaveEngineTool() && peer::HavePillow();
}

// Catches a DNG taken by the TIFF codec (a grey mosaic reported as converted), an extension
// compared case-sensitively, and the turn of orientation 6 lost on the way.
TEST(RawInput, DngsConvertToTheEnginesOwnPictures) {
    GLINTWISE_NEED_PEER(HavePeers(), "python3-tifffile, dcraw_emu (libraw-bin), python3-pil");
    testsupport::TempDir dir;
    ASSERT_TRUE(rawtest::MakeDng(dir / "in" / "upright.dng", 66, 50));
    ASSERT_TRUE(rawtest::MakeDng(dir / "in" / "TURNED.DNG", 66, 50, "--orientation 6"));
    const auto run = RunConvert({"-f", "bmp", "-o", (dir / "out").string(), (dir / "in").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    for (const char* name : {"upright", "TURNED"}) {
        SCOPED_TRACE(name);
        const fs::path input = dir / "in" / (std::string(name) + (name[0] == 'u' ? ".dng" : ".DNG"));
        const peer::Rgba expected = rawtest::EngineReference(input, 0);
        ASSERT_GT(expected.width, 0u);
        LfImage written;
        ASSERT_TRUE(written.Load((dir / "out" / (std::string(name) + ".bmp")).c_str(), LF_FORMAT_BMP));
        const peer::Rgba ours = peer::ToRgba(written);
        ASSERT_EQ(ours.width, expected.width);
        ASSERT_EQ(ours.height, expected.height);
        EXPECT_LE(rawtest::MeanError(ours, expected), 3.0);
    }
}

// A file with a raw name that is not raw is still found by the probe; a damaged raw file
// reports the raw codec's message, not "unknown format"; --info names the format.
TEST(RawInput, FallbackDamageAndInfo) {
    GLINTWISE_NEED_PEER(rawtest::HaveDngMaker(), "python3-tifffile");
    testsupport::TempDir dir;
    clitest::WriteDicom(dir / "a.dcm", clitest::DicomSpec().Size(9, 7));
    ASSERT_EQ(RunConvert({"-o", (dir / "a.bmp").string(), (dir / "a.dcm").string()}).status, 0);
    ASSERT_TRUE(rawtest::MakeDng(dir / "in" / "cut.dng", 64, 48));
    fs::copy_file(dir / "a.bmp", dir / "in" / "bmp.nef");
    const auto whole = testsupport::ReadFile(dir / "in" / "cut.dng");
    testsupport::WriteFile(dir / "in" / "cut.dng", peer::Bytes(whole.begin(), whole.end() - 1000));
    ASSERT_TRUE(rawtest::MakeDng(dir / "in" / "good.dng", 64, 48));

    auto run = RunConvert({"-f", "bmp", "-o", (dir / "out").string(), (dir / "in").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, (dir / "in" / "cut.dng").string() + ": LfImageRAW: Input/output error\n" +
                           "2 converted, 1 failed\n");
    LfImage resaved;
    ASSERT_TRUE(resaved.Load((dir / "out" / "bmp.bmp").c_str(), LF_FORMAT_BMP));
    EXPECT_EQ(resaved.Width(), 9u);

    run = RunConvert({"--info", (dir / "in" / "good.dng").string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, (dir / "in" / "good.dng").string() + ": camera raw, 64 x 48, 24 bits, 1 frame\n");
}

}  // namespace

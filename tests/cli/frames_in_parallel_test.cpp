// --all-frames of one multi-frame file with threads to spare: its frames are converted side by
// side with the same outputs as on one thread, and a file whose pixel data ends early gives
// its whole frames and fails for the rest.
#include <gtest/gtest.h>

#include "CliTestFiles.h"
#include "DicomFileBuilder.h"

namespace fs = std::filesystem;
using clitest::RunConvert;

namespace {

// `frames` frames of 24 x 16 grey samples, each frame's samples different, declaring
// `announced` frames; without a window, so every frame takes part in the stretch.
std::vector<uint8_t> Frames(int announced, int frames) {
    dicomtest::DicomFileBuilder b;
    b.text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.7");
    b.text(0x0028, 0x0008, "IS", std::to_string(announced));
    b.picture(16, 24);
    std::vector<uint16_t> samples;
    for (int f = 0; f < frames; ++f)
        for (int i = 0; i < 16 * 24; ++i) samples.push_back(static_cast<uint16_t>((i * 37 + f * 1013) % 4096));
    b.pixels16(samples);
    return b.bytes();
}

}  // namespace

TEST(FramesInParallel, TwoThreadsWriteTheFramesOfOneThreadByteForByte) {
    testsupport::TempDir dir;
    testsupport::WriteFile(dir / "many.dcm", Frames(40, 40));
    for (const char* format : {"png", "bmp"}) {
        SCOPED_TRACE(format);
        const std::string one = (dir / (std::string("one_") + format)).string();
        const std::string two = (dir / (std::string("two_") + format)).string();
        auto run = RunConvert({"-j", "1", "--all-frames", "-f", format, "-o", one, (dir / "many.dcm").string()});
        ASSERT_EQ(run.status, 0) << run.err;
        run = RunConvert({"-j", "2", "--all-frames", "-f", format, "-o", two, (dir / "many.dcm").string()});
        ASSERT_EQ(run.status, 0) << run.err;
        const std::vector<std::string> names = clitest::ListTree(one);
        ASSERT_EQ(names.size(), 40u);
        EXPECT_EQ(clitest::ListTree(two), names) << "frames missing or misnamed";
        for (const std::string& name : names)
            EXPECT_EQ(testsupport::ReadFile(fs::path(one) / name), testsupport::ReadFile(fs::path(two) / name))
                << name << " differs between one thread and two";
    }
}

TEST(FramesInParallel, AFileThatEndsEarlyGivesItsWholeFramesAndFails) {
    testsupport::TempDir dir;
    // 6 frames announced, 3 held; 60,000 announced, 3 held; and a value cut inside frame 2.
    testsupport::WriteFile(dir / "six.dcm", Frames(6, 3));
    testsupport::WriteFile(dir / "many.dcm", Frames(60000, 3));
    std::vector<uint8_t> cut = Frames(4, 4);
    cut.resize(cut.size() - 16 * 24 * 2 - 100);
    testsupport::WriteFile(dir / "cut.dcm", cut);
    for (const char* threads : {"1", "2"}) {
        SCOPED_TRACE(threads);
        const fs::path out = dir / (std::string("out") + threads);
        for (const char* name : {"six", "many", "cut"}) {
            SCOPED_TRACE(name);
            auto run = RunConvert({"-j", threads, "--all-frames", "-f", "bmp", "-o", (out / name).string(),
                                   (dir / (std::string(name) + ".dcm")).string()});
            EXPECT_EQ(run.status, 1) << "frames missing, yet the run succeeded";
            EXPECT_NE(run.err.find("pixel data ends"), std::string::npos) << run.err;
            const size_t whole = std::string(name) == "cut" ? 2 : 3;
            EXPECT_EQ(clitest::ListTree(out / name).size(), whole) << "whole frames not written";
        }
    }
    auto run = RunConvert({"--all-frames", "-f", "bmp", "-o", (dir / "six_again").string(), (dir / "six.dcm").string()});
    EXPECT_NE(run.err.find("six_0003.bmp: This file is damaged (pixel data ends 768 bytes early). (2 more frames failed)"),
              std::string::npos)
        << run.err;
}

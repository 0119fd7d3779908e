// The window's batch over a folder of tiny DICOM files: outputs, names, skips and progress.
// One worker, so the progress calls come in list order.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <utility>
#include <vector>

#include "Conversion.h"
#include "DicomPictures.h"
#include "FolderBatch.h"
#include "LfFormatRegistry.h"
#include "TestSupport.h"
#include "TinyDicom.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

namespace {

// The picture the single-file path makes of a DICOM file, as saved BMP bytes.
std::vector<uint8_t> ExpectedBmp(const fs::path& dicom, const fs::path& scratch) {
    DicomPicture picture;
    PictureFailure failure;
    EXPECT_TRUE(ReadDicomPicture(dicom.string(), 0, GreyRendering{}, true, picture, failure)) << dicom;
    EXPECT_EQ(SaveDicomPicture(picture, scratch.string(), SaveChoices{}), "");
    return ReadFile(scratch);
}

BatchSummary RunBatch(const fs::path& in, const fs::path& out, const char* format,
                      const BatchProgress& progress = nullptr, const std::atomic<bool>* stop = nullptr) {
    return RunFolderBatch(in.string(), out.string(), format, 1, progress, stop);
}

struct ProgressLog {
    std::vector<std::pair<int, int>> calls;
    BatchProgress callback() {
        return [this](int value, int maximum) { calls.emplace_back(value, maximum); };
    }
};

class BatchFolder : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(source.path() / "in");
        fs::create_directory(result.path() / "out");
        in = source.path() / "in";
        out = result.path() / "out";
    }
    TempDir source, result, scratch;
    fs::path in, out;
};

}  // namespace

TEST_F(BatchFolder, ConvertsEveryDicomFileAndSkipsTheRest) {
    WriteFile(in / "a.dcm", tinydicom::MakeRamp(5, 3, 1));
    WriteFile(in / "a.dicom", tinydicom::MakeRamp(4, 4, 2));
    WriteFile(in / "IM0001", tinydicom::MakeRamp(6, 2, 3));
    WriteFile(in / "c.b.dcm", tinydicom::MakeRamp(3, 3, 4));
    WriteFile(in / "b.txt", {'n', 'o', 't', ' ', 'd', 'i', 'c', 'o', 'm'});
    fs::create_directory(in / "sub");
    WriteFile(in / "sub" / "deep.dcm", tinydicom::MakeRamp(2, 2, 5));

    ProgressLog log;
    BatchSummary summary = RunBatch(in, out, "bmp", log.callback());
    EXPECT_EQ(summary.files, 5);
    EXPECT_EQ(summary.converted, 4);
    EXPECT_EQ(summary.written, 4);

    // Name order: IM0001, a.dcm, a.dicom, b.txt, c.b.dcm.
    const std::vector<std::pair<int, int>> progress = {{0, 5}, {1, 5}, {2, 5}, {3, 5}, {4, 5}, {5, 5}};
    EXPECT_EQ(log.calls, progress);

    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(out)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"IM0001.bmp", "a.bmp", "c.b.bmp"}));

    EXPECT_EQ(ReadFile(out / "IM0001.bmp"), ExpectedBmp(in / "IM0001", scratch / "1.bmp"));
    // a.dicom is listed after a.dcm, so its picture replaces the earlier output.
    EXPECT_EQ(ReadFile(out / "a.bmp"), ExpectedBmp(in / "a.dicom", scratch / "2.bmp"));
    EXPECT_EQ(ReadFile(out / "c.b.bmp"), ExpectedBmp(in / "c.b.dcm", scratch / "3.bmp"));
}

TEST_F(BatchFolder, SkippedFileNeverWritesTheEarlierPicture) {
    WriteFile(in / "1.dcm", tinydicom::MakeRamp(4, 3, 1));
    WriteFile(in / "2.dcm", std::vector<uint8_t>(300, 0));  // a damaged DICOM name
    std::vector<uint8_t> implicit = tinydicom::Make(2, 2, {1, 2, 3, 4}, "1.2.840.10008.1.2");
    WriteFile(in / "3.dcm", implicit);                      // refused transfer syntax
    WriteFile(in / "4.dcm", tinydicom::MakeRamp(2, 5, 9));

    BatchSummary summary = RunBatch(in, out, "bmp");
    EXPECT_EQ(summary.converted, 2);
    EXPECT_TRUE(fs::exists(out / "1.bmp"));
    EXPECT_FALSE(fs::exists(out / "2.bmp"));
    EXPECT_FALSE(fs::exists(out / "3.bmp"));
    EXPECT_EQ(ReadFile(out / "4.bmp"), ExpectedBmp(in / "4.dcm", scratch / "4.bmp"));
}

TEST_F(BatchFolder, UnwritableTargetWritesNothingButStillConverts) {
    WriteFile(in / "a.dcm", tinydicom::MakeRamp(3, 3, 1));
    WriteFile(in / "b.dcm", tinydicom::MakeRamp(3, 3, 2));
    BatchSummary summary = RunBatch(in, out, "raw");
    EXPECT_EQ(summary.converted, 2);
    EXPECT_EQ(summary.written, 0);
    EXPECT_TRUE(fs::is_empty(out)) << "a refused format leaves no empty files";
}

TEST_F(BatchFolder, EmptyOrMissingSourceRunsNoFiles) {
    ProgressLog log;
    BatchSummary summary = RunBatch(in, out, "png", log.callback());
    EXPECT_EQ(summary.files, 0);
    EXPECT_EQ(log.calls, (std::vector<std::pair<int, int>>{{0, 0}}));
    EXPECT_EQ(RunBatch(in / "missing", out, "png").files, 0);
}

TEST_F(BatchFolder, ResultFolderEqualToSourceDoesNotConvertItsOwnOutputs) {
    WriteFile(in / "a.dcm", tinydicom::MakeRamp(3, 2, 1));
    BatchSummary summary = RunBatch(in, in, "bmp");
    EXPECT_EQ(summary.files, 1);
    EXPECT_TRUE(fs::exists(in / "a.bmp"));
}

// The result folder is made when missing, as the converter makes its -o folder. One that
// vanishes in the middle of a run fails the files still waiting for it, each with its reason,
// and leaves no temporary behind.
TEST_F(BatchFolder, MissingResultFolderIsMadeAndAVanishedOneFailsCleanly) {
    for (const char* name : {"1.dcm", "2.dcm", "3.dcm"})
        WriteFile(in / name, tinydicom::MakeRamp(3, 3, 1));
    fs::remove(out);
    BatchSummary summary = RunBatch(in, out, "bmp");
    EXPECT_EQ(summary.written, 3);
    EXPECT_EQ(ReadFile(out / "3.bmp"), ExpectedBmp(in / "3.dcm", scratch / "3.bmp"));

    fs::remove_all(out);
    summary = RunBatch(in, out, "bmp", [this](int value, int) {
        if (value == 1) fs::remove_all(out);
    });
    EXPECT_EQ(summary.converted, 3);
    EXPECT_EQ(summary.written + static_cast<int>(summary.failures.size()), 3);
    for (const BatchFailure& failure : summary.failures) EXPECT_FALSE(failure.reason.empty());
    if (fs::exists(out)) {
        for (const auto& entry : fs::directory_iterator(out)) EXPECT_NE(entry.path().filename().string()[0], '.');
    }
}

TEST_F(BatchFolder, WorkingDirectoryIsLeftAlone) {
    WriteFile(in / "a.dcm", tinydicom::MakeRamp(3, 2, 1));
    const fs::path before = fs::current_path();
    RunBatch(in, out, "bmp");
    EXPECT_EQ(fs::current_path(), before);
}

TEST_F(BatchFolder, EveryFileWithoutOutputIsListedWithItsReason) {
    WriteFile(in / "1.dcm", tinydicom::MakeRamp(4, 3, 1));
    WriteFile(in / "2.txt", std::vector<uint8_t>(300, 'x'));
    WriteFile(in / "3.dcm", tinydicom::Make(2, 2, {1, 2, 3, 4}, "1.2.840.10008.1.2"));
    BatchSummary summary = RunBatch(in, out, "bmp");
    ASSERT_EQ(summary.failures.size(), 2u);
    EXPECT_EQ(summary.failures[0].file, (in / "2.txt").string());
    EXPECT_EQ(summary.failures[0].reason, "not a DICOM file");
    EXPECT_EQ(summary.failures[1].reason, "This file's data is encoded as Implicit VR Little Endian, which cannot be read yet.");
    EXPECT_EQ(summary.tried, 3);

    // A save the codec refuses is a failure too, with the image layer's reason.
    summary = RunBatch(in, out, "raw");
    ASSERT_EQ(summary.failures.size(), 3u);
    EXPECT_FALSE(summary.failures[0].reason.empty());
}

// Catches a cancel that still starts files, or counts the files it never tried as failures.
TEST_F(BatchFolder, StopSetAsTheRunStartsStartsNoFile) {
    for (const char* name : {"1.dcm", "2.dcm", "3.dcm"})
        WriteFile(in / name, tinydicom::MakeRamp(3, 3, 1));
    std::atomic<bool> stop{false};
    BatchSummary summary = RunBatch(
        in, out, "bmp",
        [&stop](int value, int) {
            if (value == 0) stop = true;  // the Cancel button pressed as the run starts
        },
        &stop);
    EXPECT_TRUE(summary.stopped);
    EXPECT_EQ(summary.files, 3);
    EXPECT_EQ(summary.tried, 0);
    EXPECT_TRUE(fs::is_empty(out));
    EXPECT_TRUE(summary.failures.empty()) << "files never tried are not failures";
}

TEST_F(BatchFolder, LosslessTiffKeepsEveryGreyLevel) {
    std::vector<uint16_t> samples(32 * 32);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>((i * 2654435761u) >> 20);
    WriteFile(in / "noise.dcm", tinydicom::Make(32, 32, samples));
    RunBatch(in, out, "tif");
    DicomPicture picture;
    PictureFailure failure;
    ASSERT_TRUE(ReadDicomPicture((in / "noise.dcm").string(), 0, GreyRendering{}, true, picture, failure));
    LfImage current;
    ASSERT_TRUE(PictureToImage(picture, GreyPixels::OneChannel, current));
    LfImage tif;
    ASSERT_TRUE(tif.Load((out / "noise.tif").c_str(), LF_FORMAT_TIF));
    for (int32_t y = 0; y < 32; ++y)
        for (int32_t x = 0; x < 32; ++x)
            ASSERT_EQ(tif.PixelColor(x, y, false), current.PixelColor(x, y, false)) << x << "," << y;
}

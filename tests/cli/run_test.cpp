// Whole runs of the converter in-process: what is written, what is reported, and the exit
// status. BMP is the target where the picture itself is compared, since its bytes follow
// from the pixels alone.
#include <gtest/gtest.h>

#include <cstring>

#include "CliTestFiles.h"
#include "ConvertRun.h"
#include "Conversion.h"
#include "DicomPictures.h"
#include "DicomReader.h"
#include "LfImage.h"

namespace fs = std::filesystem;
using clitest::DicomSpec;
using clitest::RunConvert;
using clitest::WriteDicom;
using clitest::WriteText;
using testsupport::ReadFile;

namespace {

// What saving this DICOM file's grey picture as BMP writes: the frame's pixels with a grey
// palette.
std::vector<uint8_t> WindowOutput(const fs::path& dicom, const fs::path& scratch) {
    DicomPicture picture;
    PictureFailure failure;
    if (!ReadDicomPicture(dicom.string(), 0, GreyRendering{}, true, picture, failure)) return {};
    const fs::path out = scratch / "window.bmp";
    if (!SaveDicomPicture(picture, out.string(), SaveChoices{}).empty()) return {};
    auto bytes = ReadFile(out);
    fs::remove(out);
    return bytes;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

}  // namespace

TEST(RunDicom, OutputIsTheWindowsSaveOfTheSameFile) {
    testsupport::TempDir dir;
    WriteDicom(dir / "in" / "ct.dcm", DicomSpec().Size(37, 11).Window("40", "400").Intercept("-1024"));
    WriteDicom(dir / "in" / "odd.dcm", DicomSpec().Size(5, 3).Seed(4));
    const auto run = RunConvert({"-f", "bmp", "-o", (dir / "out").string(), (dir / "in").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "2 converted, 0 failed\n");
    EXPECT_TRUE(run.out.empty());
    for (const char* name : {"ct", "odd"}) {
        SCOPED_TRACE(name);
        const auto expected = WindowOutput(dir / "in" / (std::string(name) + ".dcm"), dir.path());
        ASSERT_FALSE(expected.empty());
        EXPECT_EQ(ReadFile(dir / "out" / (std::string(name) + ".bmp")), expected);
    }
}

TEST(RunReport, OneLinePerFailureInInputOrderThenTheSummary) {
    testsupport::TempDir dir;
    const fs::path in = dir / "in";
    WriteDicom(in / "1-good.dcm");
    WriteDicom(in / "2-implicit.dcm", DicomSpec().Syntax("1.2.840.10008.1.2"));
    auto damaged = clitest::MakeDicom(DicomSpec().Seed(2));
    damaged.resize(damaged.size() - 100);  // pixel data shorter than rows x columns
    testsupport::WriteFile(in / "3-short.dcm", damaged);
    WriteText(in / "4-notes.txt", "not a picture");
    WriteDicom(in / "5-good.dcm", DicomSpec().Seed(5));
    const auto run = RunConvert({"-j", "2", "-f", "bmp", "-o", (dir / "out").string(),
                                 in.string(), (dir / "missing.dcm").string()});
    EXPECT_EQ(run.status, 1);
    const auto lines = Lines(run.err);
    ASSERT_EQ(lines.size(), 5u) << run.err;
    EXPECT_EQ(lines[0], (in / "2-implicit.dcm").string() +
                            ": This file's data is encoded as Implicit VR Little Endian, which cannot be read yet.");
    EXPECT_EQ(lines[1].rfind((in / "3-short.dcm").string() + ": This file is damaged (pixel data ends ", 0), 0u)
        << lines[1];
    EXPECT_EQ(lines[2], (in / "4-notes.txt").string() + ": Decode: Unknown or wrong format");
    EXPECT_EQ(lines[3], (dir / "missing.dcm").string() + ": no such file or folder");
    EXPECT_EQ(lines[4], "2 converted, 4 failed");
    EXPECT_EQ(clitest::ListTree(dir / "out"), (std::vector<std::string>{"1-good.bmp", "5-good.bmp"}));
}

TEST(RunReport, ProgressBarOnlyWhenStandardErrorIsATerminal) {
    testsupport::TempDir dir;
    for (int i = 0; i < 3; ++i) WriteDicom(dir / "in" / ("f" + std::to_string(i) + ".dcm"));
    WriteText(dir / "in" / "zz.txt", "x");
    const std::vector<std::string> args = {"-f", "bmp", "-o", (dir / "out").string(),
                                           (dir / "in").string()};
    const auto quiet = RunConvert(args, false);
    EXPECT_EQ(quiet.err.find('\r'), std::string::npos);
    EXPECT_EQ(quiet.err.find("files/s"), std::string::npos);

    const auto shown = RunConvert(args, true);
    EXPECT_EQ(shown.status, 1);
    EXPECT_NE(shown.err.find("4/4"), std::string::npos) << shown.err;
    // The bar is wiped before the failure line and the summary, so both start a clean line.
    EXPECT_NE(shown.err.find("\r\033[K" + (dir / "in" / "zz.txt").string() + ": "), std::string::npos);
    const size_t summary = shown.err.rfind("\r\033[K3 converted, 1 failed\n");
    EXPECT_EQ(summary + std::string("\r\033[K3 converted, 1 failed\n").size(), shown.err.size());
}

TEST(RunReport, BarShowsCountRateAndTimeLeftWithinTheTerminalWidth) {
    EXPECT_EQ(convert::ProgressLine(50, 200, 10.0),
              "[#######.......................] 50/200  5.0 files/s  0:30 left");
    EXPECT_NE(convert::ProgressLine(0, 0, 0.0).find("[##############################] 0/0"),
              std::string::npos);
    // A line as wide as the terminal would wrap, and the carriage return would then redraw
    // only its last part.
    for (int columns : {120, 60, 45, 30, 10, 1}) {
        SCOPED_TRACE(columns);
        const std::string line = convert::ProgressLine(1234, 5000, 3.0, columns);
        EXPECT_LT(line.size(), static_cast<size_t>(std::max(columns, 2)));
    }
    EXPECT_EQ(convert::ProgressLine(1234, 5000, 3.0, 45), "[#.....] 1234/5000  411.3 files/s  0:09 left");
    EXPECT_EQ(convert::ProgressLine(1234, 5000, 3.0, 30), "1234/5000  411.3 files/s  0:0");
}

TEST(RunCollisions, LaterInputWinsAndAnEarlierPictureSurvivesALaterFailure) {
    testsupport::TempDir dir;
    WriteDicom(dir / "in" / "a.dcm", DicomSpec().Seed(1));
    WriteDicom(dir / "in" / "a.dicom", DicomSpec().Seed(2));
    WriteDicom(dir / "in2" / "b.dcm", DicomSpec().Seed(3));
    WriteText(dir / "in2" / "b.dicom", "not DICOM, not a picture");
    for (const char* jobs : {"1", "3"}) {
        SCOPED_TRACE(jobs);
        const fs::path out = dir / ("out" + std::string(jobs));
        const auto run = RunConvert({"-j", jobs, "-f", "bmp", "-o", out.string(),
                                     (dir / "in").string(), (dir / "in2").string()});
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find("warning: "), std::string::npos);
        EXPECT_NE(run.err.find("3 converted, 1 failed"), std::string::npos) << run.err;
        EXPECT_EQ(ReadFile(out / "a.bmp"), WindowOutput(dir / "in" / "a.dicom", dir.path()));
        EXPECT_EQ(ReadFile(out / "b.bmp"), WindowOutput(dir / "in2" / "b.dcm", dir.path()));
    }
}

TEST(RunSafety, InputsAreNeverOverwritten) {
    testsupport::TempDir dir;
    WriteDicom(dir / "in" / "a.dcm");
    WriteDicom(dir / "in" / "c.dcm", DicomSpec().Seed(3));
    const auto first = RunConvert({"-f", "bmp", "-o", (dir / "in").string(), (dir / "in" / "a.dcm").string()});
    ASSERT_EQ(first.status, 0) << first.err;
    const auto picture = ReadFile(dir / "in" / "a.bmp");
    // Now a.bmp is an input too: converting the folder into itself must leave it alone.
    const auto run = RunConvert({"-f", "bmp", "-o", (dir / "in").string(), (dir / "in").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find((dir / "in" / "a.bmp").string() + ": output "), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("1 converted, 2 failed"), std::string::npos) << run.err;
    EXPECT_EQ(ReadFile(dir / "in" / "a.bmp"), picture);
    EXPECT_TRUE(fs::exists(dir / "in" / "c.bmp"));
}

TEST(RunSafety, FailedSaveLeavesAnExistingOutputAndNoLeftovers) {
    testsupport::TempDir dir;
    // A colour picture cannot be saved as PGX: the save fails after the picture was read.
    LfImage colour;
    ASSERT_NE(colour.Create(4, 3, 24, LF_FORMAT_BMP), nullptr);
    colour.SetPixelColor(1, 1, LfRgbQuad{10, 200, 30, 0});
    fs::create_directories(dir / "in");
    ASSERT_TRUE(colour.Save((dir / "in" / "a.bmp").string().c_str(), LF_FORMAT_BMP));
    WriteText(dir / "out" / "a.pgx", "earlier result");
    const auto run = RunConvert({"-f", "pgx", "-o", (dir / "out").string(), (dir / "in").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find((dir / "in" / "a.bmp").string() + ": "), std::string::npos) << run.err;
    EXPECT_EQ(clitest::ListTree(dir / "out"), std::vector<std::string>{"a.pgx"});
    const auto kept = ReadFile(dir / "out" / "a.pgx");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "earlier result");
}

TEST(RunImages, ImageInputsAreReadByTheProbeAndResaved) {
    testsupport::TempDir dir;
    WriteDicom(dir / "a.dcm", DicomSpec().Size(9, 7));
    ASSERT_EQ(RunConvert({"-o", (dir / "a.bmp").string(), (dir / "a.dcm").string()}).status, 0);
    // A BMP given a misleading name is still found by its content.
    fs::copy_file(dir / "a.bmp", dir / "pic.dat");
    const auto run = RunConvert({"-f", "bmp", "-o", (dir / "out").string(), (dir / "pic.dat").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    LfImage original, resaved;
    ASSERT_TRUE(original.Load((dir / "a.bmp").string().c_str(), LF_FORMAT_BMP));
    ASSERT_TRUE(resaved.Load((dir / "out" / "pic.bmp").string().c_str(), LF_FORMAT_BMP));
    ASSERT_EQ(resaved.Width(), 9u);
    ASSERT_EQ(resaved.Height(), 7u);
    EXPECT_EQ(0, std::memcmp(original.Row(0), resaved.Row(0), original.EffectiveWidth() * 7));
}

TEST(RunImages, FramesBeyondTheInputFail) {
    testsupport::TempDir dir;
    WriteDicom(dir / "a.dcm");
    ASSERT_EQ(RunConvert({"-o", (dir / "a.bmp").string(), (dir / "a.dcm").string()}).status, 0);
    auto run = RunConvert({"--frame", "1", "-f", "bmp", "-o", (dir / "out").string(),
                           (dir / "a.bmp").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("a.bmp: frame 1 requested, the file has 1 frame\n"), std::string::npos) << run.err;
    run = RunConvert({"--frame", "2", "-f", "bmp", "-o", (dir / "out").string(),
                      (dir / "a.dcm").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("a.dcm: frame 2 requested; DICOM inputs give their first frame only"),
              std::string::npos) << run.err;
    EXPECT_FALSE(fs::exists(dir / "out" / "a.bmp"));
}

TEST(RunImages, FrameOptionPicksAPageOfAMultiPageFile) {
    GLINTWISE_NEED_PEER(testsupport::HaveTool("convert-im6.q16"), "ImageMagick");
    testsupport::TempDir dir;
    // Two pages of different sizes, so the output's size tells which page was taken.
    ASSERT_EQ(testsupport::Run("convert-im6.q16 -size 20x10 xc:red -size 30x15 xc:blue " +
                               testsupport::ShellQuote((dir / "two.tif").string())), 0);
    auto run = RunConvert({"--frame", "1", "-f", "bmp", "-o", (dir / "out").string(), (dir / "two.tif").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    LfImage page;
    ASSERT_TRUE(page.Load((dir / "out" / "two.bmp").string().c_str(), LF_FORMAT_BMP));
    EXPECT_EQ(page.Width(), 30u);
    // A page the file lacks is reported by the TIFF codec, not as an unknown format.
    run = RunConvert({"--frame", "2", "-f", "bmp", "-o", (dir / "out").string(), (dir / "two.tif").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("two.tif: Error: page not present in TIFF file\n"), std::string::npos) << run.err;
}

TEST(RunInfo, DescribesEachInputAndWritesNothing) {
    testsupport::TempDir dir;
    WriteDicom(dir / "in" / "ct.dcm", DicomSpec().Size(40, 30).Window("40", "400"));
    WriteDicom(dir / "in" / "plain.dcm", DicomSpec().Size(8, 6));
    WriteDicom(dir / "in" / "tmp.dcm", DicomSpec().Size(9, 7));
    ASSERT_EQ(RunConvert({"-o", (dir / "in" / "x.bmp").string(), (dir / "in" / "tmp.dcm").string()}).status, 0);
    fs::remove(dir / "in" / "tmp.dcm");
    WriteText(dir / "in" / "z.txt", "x");
    const auto before = clitest::ListTree(dir.path());
    const auto run = RunConvert({"--info", "-j", "3", "-o", (dir / "out").string(), (dir / "in").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out,
              (dir / "in" / "ct.dcm").string() + ": DICOM, rows 30, columns 40, 16 bits, window centre 40 width 400\n" +
              (dir / "in" / "plain.dcm").string() + ": DICOM, rows 6, columns 8, 16 bits, no window (min-max stretch)\n" +
              (dir / "in" / "x.bmp").string() + ": BMP, 9 x 7, 8 bits, 1 frame\n");
    EXPECT_EQ(run.err, (dir / "in" / "z.txt").string() + ": Decode: Unknown or wrong format\n3 described, 1 failed\n");
    EXPECT_EQ(clitest::ListTree(dir.path()), before);
}

TEST(RunFolders, RecursiveRunMirrorsTheTreeOnDisk) {
    testsupport::TempDir dir;
    WriteDicom(dir / "study" / "s1" / "IM0001");
    WriteDicom(dir / "study" / "s1" / "IM0002", DicomSpec().Seed(1));
    WriteDicom(dir / "study" / "s2" / "deeper" / "IM0001", DicomSpec().Seed(2));
    WriteDicom(dir / "study" / "top.dcm", DicomSpec().Seed(3));
    const auto run = RunConvert({"-r", "-f", "bmp", "-o", (dir / "out").string(), (dir / "study").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(clitest::ListTree(dir / "out"),
              (std::vector<std::string>{"s1/IM0001.bmp", "s1/IM0002.bmp", "s2/deeper/IM0001.bmp", "top.bmp"}));
    EXPECT_EQ(ReadFile(dir / "out" / "s2" / "deeper" / "IM0001.bmp"),
              WindowOutput(dir / "study" / "s2" / "deeper" / "IM0001", dir.path()));
}

TEST(RunFolders, EmptyFolderIsASuccessWithNothingDone) {
    testsupport::TempDir dir;
    fs::create_directories(dir / "empty");
    const auto run = RunConvert({"-o", (dir / "out").string(), (dir / "empty").string()});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "0 converted, 0 failed\n");
}

TEST(RunInterrupt, NoJobStartsAfterAStopAndTheSummaryCountsThem) {
    testsupport::TempDir dir;
    WriteDicom(dir / "in" / "a.dcm");
    WriteText(dir / "in" / "b.txt", "x");
    WriteDicom(dir / "in" / "c.dcm", DicomSpec().Seed(1));
    WriteDicom(dir / "in" / "d.dcm", DicomSpec().Seed(2));
    convert::Options options;
    options.inputs = {(dir / "in").string()};
    options.output = (dir / "out").string();
    options.format = "bmp";
    const convert::Plan plan = convert::MakePlan(options);
    std::ostringstream out, err;
    convert::Reporter reporter(plan, out, err, false, false);
    std::atomic<bool> stop{false};
    // As a Ctrl-C during the second file would. A failure is reported at once; a converted
    // file only once its output is on disk.
    const auto ran = convert::RunPlan(plan, options, 1, [&](size_t index, const convert::JobResult& result) {
        reporter.Finished(index, result);
        if (!result.ok) stop = true;
    }, &stop);
    reporter.Summary();
    EXPECT_EQ(ran, (std::vector<bool>{true, true, false, false}));
    EXPECT_FALSE(reporter.AllSucceeded());
    EXPECT_EQ(err.str(), (dir / "in" / "b.txt").string() + ": Decode: Unknown or wrong format\n"
                         "1 converted, 1 failed, 2 not started (interrupted)\n");
    EXPECT_EQ(clitest::ListTree(dir / "out"), std::vector<std::string>{"a.bmp"});
}

// The installed program: argv, the real standard streams and the exit status.
TEST(RunExecutable, ExitStatusesAndStreamsOfTheRealProgram) {
    const std::string tool = std::string(GLINTWISE_BINARY_DIR) + "/cli/glintwise-convert";
    if (!fs::exists(tool)) GTEST_SKIP() << "glintwise-convert not built";
    testsupport::TempDir dir;
    WriteDicom(dir / "a.dcm");
    WriteText(dir / "b.txt", "x");
    const std::string q = testsupport::ShellQuote(tool) + " ";
    const std::string out = testsupport::ShellQuote((dir / "out").string());
    std::string text;  // Run appends to it
    EXPECT_EQ(testsupport::Run(q + "-f bmp -o " + out + " " + testsupport::ShellQuote((dir / "a.dcm").string()) + " 2>&1", &text), 0);
    EXPECT_EQ(text, "1 converted, 0 failed\n");  // standard error is a pipe: no bar
    text.clear();
    EXPECT_EQ(testsupport::Run(q + "-o " + out + " " + testsupport::ShellQuote((dir / "b.txt").string()) + " 2>&1", &text), 1);
    EXPECT_NE(text.find("1 failed"), std::string::npos);
    EXPECT_EQ(testsupport::Run(q + "--frobnicate 2>/dev/null", &text), 2);
    text.clear();
    EXPECT_EQ(testsupport::Run(q + "--version", &text), 0);
    EXPECT_EQ(text.rfind("glintwise-convert ", 0), 0u);
}

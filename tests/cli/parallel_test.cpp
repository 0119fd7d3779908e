// Parallel runs: many workers converting at once must write exactly what one worker writes
// and report it in the same order. Also run under ThreadSanitizer (label "tsan"), where it
// shows that the reader, the image layer and the codecs share no mutable state.
#include <gtest/gtest.h>

#include "CliTestFiles.h"
#include "ConvertPlan.h"
#include "ConvertRun.h"

namespace fs = std::filesystem;
using clitest::DicomSpec;
using clitest::RunConvert;

namespace {

// The report of a run with its output folder's name replaced, so two runs compare.
std::string Report(std::string text, const fs::path& output) {
    const std::string folder = output.string();
    for (size_t at = text.find(folder); at != std::string::npos; at = text.find(folder, at))
        text.replace(at, folder.size(), "OUT");
    return text;
}

// A folder tree with DICOM files of several sizes, images made from some of them, files
// that fail, and two names that collide.
void MakeInputs(const fs::path& root) {
    for (uint16_t i = 0; i < 16; ++i) {
        const std::string name = "IM" + std::to_string(1000 + i) + (i % 3 == 0 ? "" : ".dcm");
        clitest::WriteDicom(root / (i < 10 ? "" : "sub") / name,
                            DicomSpec().Size(static_cast<uint16_t>(40 + 13 * i),
                                             static_cast<uint16_t>(30 + 7 * i)).Seed(i)
                                .Window(i % 2 ? "40" : "", i % 2 ? "400" : ""));
    }
    clitest::WriteDicom(root / "same.dcm", DicomSpec().Seed(40));
    clitest::WriteDicom(root / "same.dicom", DicomSpec().Seed(41));
    clitest::WriteDicom(root / "implicit.dcm", DicomSpec().Syntax("1.2.840.10008.1.2"));
    clitest::WriteText(root / "sub" / "readme.txt", "not a picture");
    // Image inputs go through the probe in parallel too.
    const fs::path pictures = root / "pictures";
    ASSERT_EQ(RunConvert({"-f", "bmp", "-o", pictures.string(), root.string()}).status, 1);
    for (const auto& name : clitest::ListTree(pictures))
        fs::rename(pictures / name, pictures / (name + ".img"));
}

}  // namespace

TEST(ParallelRun, ManyWorkersWriteWhatOneWorkerWrites) {
    testsupport::TempDir dir;
    MakeInputs(dir / "in");
    // Every target whose codec the library has is compared; the others fail alike in both
    // runs, which the comparison of the reports covers.
    for (const char* format : {"bmp", "png", "jpg", "tif", "tga", "pcx", "jp2", "j2c", "ppm", "ras",
                               "gif", "mng", "ico"}) {
        SCOPED_TRACE(format);
        const fs::path one = dir / (std::string("one-") + format);
        const fs::path four = dir / (std::string("four-") + format);
        const auto serial = RunConvert({"-r", "-j", "1", "-f", format, "-o", one.string(),
                                        (dir / "in").string()});
        const auto parallel = RunConvert({"-r", "-j", "4", "-f", format, "-o", four.string(),
                                          (dir / "in").string()});
        EXPECT_EQ(serial.status, 1);
        EXPECT_EQ(parallel.status, serial.status);
        EXPECT_EQ(Report(parallel.err, four), Report(serial.err, one));
        const auto files = clitest::ListTree(one);
        ASSERT_EQ(clitest::ListTree(four), files);
        for (const auto& name : files) {
            SCOPED_TRACE(name);
            EXPECT_EQ(testsupport::ReadFile(four / name), testsupport::ReadFile(one / name));
        }
    }
}

TEST(ParallelRun, InfoReportsInInputOrderWhateverTheWorkers) {
    testsupport::TempDir dir;
    MakeInputs(dir / "in");
    const auto serial = RunConvert({"--info", "-r", "-j", "1", (dir / "in").string()});
    const auto parallel = RunConvert({"--info", "-r", "-j", "4", (dir / "in").string()});
    EXPECT_FALSE(serial.out.empty());
    EXPECT_EQ(parallel.out, serial.out);
    EXPECT_EQ(parallel.err, serial.err);
}

TEST(ParallelRun, StopLetsRunningJobsFinishAndLeavesNoPartialFiles) {
    testsupport::TempDir dir;
    for (uint16_t i = 0; i < 24; ++i)
        clitest::WriteDicom(dir / "in" / ("s" + std::to_string(100 + i) + ".dcm"),
                            DicomSpec().Size(200, 150).Seed(i));
    // The third input fails at once; its report (a failure has no output to wait for) sets
    // the stop while the other workers go on, as a Ctrl-C would. How many jobs ran by then
    // depends on the scheduler; what ran must be complete and nothing else may be left.
    fs::remove(dir / "in" / "s102.dcm");
    clitest::WriteText(dir / "in" / "s102.txt", "not a picture");
    convert::Options options;
    options.inputs = {(dir / "in").string()};
    options.output = (dir / "out").string();
    options.format = "bmp";
    const convert::Plan plan = convert::MakePlan(options);
    std::atomic<bool> stop{false};
    const auto ran = convert::RunPlan(plan, options, 4, [&](size_t index, const convert::JobResult& r) {
        EXPECT_EQ(r.ok, index != 2) << r.text;
        if (!r.ok) stop = true;
    }, &stop);
    EXPECT_TRUE(ran[2]);
    std::vector<std::string> expected;
    for (size_t i = 0; i < ran.size(); ++i)
        if (ran[i] && i != 2) expected.push_back(fs::path(plan.jobs[i].output).filename().string());
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(clitest::ListTree(dir / "out"), expected);
    // A stop set before the run starts no job at all.
    fs::remove_all(dir / "out");
    const auto none = convert::RunPlan(plan, options, 4, nullptr, &stop);
    EXPECT_EQ(std::count(none.begin(), none.end(), true), 0);
    EXPECT_FALSE(fs::exists(dir / "out") && !fs::is_empty(dir / "out"));
}

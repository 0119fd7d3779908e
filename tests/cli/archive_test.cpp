// Archive-scale runs: input lists, a run split into parts across machines, and resuming a
// run without rewriting what is already done.
#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "CliTestFiles.h"

namespace fs = std::filesystem;
using clitest::DicomSpec;
using clitest::RunConvert;
using clitest::WriteDicom;

namespace {

// Every file under a folder with its bytes.
std::map<std::string, std::vector<uint8_t>> Snapshot(const fs::path& root) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const std::string& name : clitest::ListTree(root)) files[name] = testsupport::ReadFile(root / name);
    return files;
}

// A study of two series plus two inputs that write the same output (b.dcm and b.ima).
void WriteStudy(const fs::path& study) {
    for (int i = 0; i < 5; ++i)
        WriteDicom(study / "s1" / ("IM" + std::to_string(i)), DicomSpec().Size(9, 7).Seed(static_cast<uint16_t>(i)));
    WriteDicom(study / "s2" / "a.dcm", DicomSpec().Seed(7));
    WriteDicom(study / "s2" / "b.dcm", DicomSpec().Seed(8));
    WriteDicom(study / "s2" / "b.ima", DicomSpec().Seed(9));
    clitest::WriteText(study / "s2" / "notes.txt", "not a picture");
}

std::string LastLine(const std::string& text) {
    const size_t start = text.rfind('\n', text.size() >= 2 ? text.size() - 2 : 0);
    return start == std::string::npos ? text : text.substr(start + 1);
}

}  // namespace

// Catches parts that overlap or leave files out, and outputs written by several inputs being
// split across parts (the parts, run in any order, would then leave another file on disk).
TEST(ArchiveShard, PartsTogetherWriteExactlyWhatOneRunWrites) {
    testsupport::TempDir dir;
    WriteStudy(dir / "study");
    const auto whole = RunConvert({"-r", "-f", "bmp", "-o", (dir / "whole").string(), (dir / "study").string()});
    EXPECT_EQ(whole.status, 1) << whole.err;  // notes.txt
    size_t converted = 0, failed = 0;
    for (int part = 3; part >= 1; --part) {  // backwards: a split collision would show
        const auto run = RunConvert({"-r", "-f", "bmp", "--shard", std::to_string(part) + "/3", "-o",
                                     (dir / "parts").string(), (dir / "study").string()});
        size_t c = 0, f = 0;
        ASSERT_EQ(std::sscanf(LastLine(run.err).c_str(),
                              "%zu converted, %zu failed", &c, &f), 2) << run.err;
        converted += c;
        failed += f;
    }
    EXPECT_EQ(converted, 8u);  // each input converted once, in one part
    EXPECT_EQ(failed, 1u);
    const auto expected = Snapshot(dir / "whole");
    EXPECT_EQ(expected.size(), 7u);
    EXPECT_TRUE(Snapshot(dir / "parts") == expected);
}

// Catches a list not read (or read with its blank lines and carriage returns as names) and a
// list that cannot be read passing as an empty run.
TEST(ArchiveFilesFrom, ListedPathsAreInputsFromAFileOrStandardInput) {
    testsupport::TempDir dir;
    WriteDicom(dir / "in" / "a.dcm");
    WriteDicom(dir / "in" / "b.dcm", DicomSpec().Seed(1));
    WriteDicom(dir / "in" / "c.dcm", DicomSpec().Seed(2));
    clitest::WriteText(dir / "list.txt", (dir / "in" / "a.dcm").string() + "\r\n\n" + (dir / "in" / "b.dcm").string() + "\n");
    const auto run = RunConvert({"--files-from", (dir / "list.txt").string(), "-o", (dir / "out").string(),
                                 (dir / "in" / "c.dcm").string()});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(clitest::ListTree(dir / "out"), (std::vector<std::string>{"a.png", "b.png", "c.png"}));

    std::istringstream standardInput((dir / "in" / "c.dcm").string() + "\n");
    std::ostringstream out, err;
    EXPECT_EQ(convert::RunTool({"--files-from", "-", "-f", "bmp", "-o", (dir / "piped").string()}, out, err,
                               false, 80, &standardInput), 0) << err.str();
    EXPECT_EQ(clitest::ListTree(dir / "piped"), std::vector<std::string>{"c.bmp"});

    const auto missing = RunConvert({"--files-from", (dir / "nope.txt").string()});
    EXPECT_EQ(missing.status, 2);
    EXPECT_NE(missing.err.find("cannot read"), std::string::npos) << missing.err;
}

// Catches a second run rewriting finished outputs, a changed input being skipped, and a
// changed input that shares its output rerunning alone (a later input's picture is lost).
TEST(ArchiveSkipExisting, UpToDateOutputsAreKeptAndCounted) {
    testsupport::TempDir dir;
    WriteStudy(dir / "study");
    const std::vector<std::string> args = {"-r", "--skip-existing", "-o", (dir / "out").string(),
                                           (dir / "study").string()};
    ASSERT_EQ(RunConvert(args).status, 1);
    std::map<std::string, fs::file_time_type> times;
    for (const std::string& name : clitest::ListTree(dir / "out")) times[name] = fs::last_write_time(dir / "out" / name);

    const auto again = RunConvert(args);
    EXPECT_EQ(LastLine(again.err), "0 converted, 8 skipped, 1 failed\n");
    for (const auto& [name, time] : times) EXPECT_EQ(fs::last_write_time(dir / "out" / name), time) << name;

    // An input changed after its output was written converts again.
    fs::last_write_time(dir / "study" / "s1" / "IM2", fs::file_time_type::clock::now() + std::chrono::hours(1));
    fs::last_write_time(dir / "study" / "s2" / "b.dcm", fs::file_time_type::clock::now() + std::chrono::hours(1));
    const auto changed = RunConvert(args);
    EXPECT_EQ(LastLine(changed.err), "3 converted, 5 skipped, 1 failed\n");
    EXPECT_NE(fs::last_write_time(dir / "out" / "s1" / "IM2.png"), times["s1/IM2.png"]);
    const auto rerun = Snapshot(dir / "out");
    ASSERT_EQ(RunConvert({"-r", "-o", (dir / "fresh").string(), (dir / "study").string()}).status, 1);
    EXPECT_TRUE(Snapshot(dir / "fresh") == rerun) << "b.png must hold b.ima's picture, as in a fresh run";
}

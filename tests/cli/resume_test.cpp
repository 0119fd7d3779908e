// Runs cut short and resumed: the real program killed at random points, then --skip-existing
// finishing the work; and what a resumed run takes for done.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <map>
#include <random>
#include <thread>

#include "CliTestFiles.h"
#include "LfImage.h"

extern char** environ;

namespace fs = std::filesystem;
using clitest::DicomSpec;
using clitest::RunConvert;
using clitest::WriteDicom;

namespace {

// Starts the program with its output thrown away; returns its process id.
pid_t Start(const std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    pid_t pid = -1;
    const int error = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    return error == 0 ? pid : -1;
}

int Wait(pid_t pid) {
    int status = 0;
    ::waitpid(pid, &status, 0);
    return status;
}

std::map<std::string, std::vector<uint8_t>> Snapshot(const fs::path& root) {
    std::map<std::string, std::vector<uint8_t>> files;
    for (const std::string& name : clitest::ListTree(root)) files[name] = testsupport::ReadFile(root / name);
    return files;
}

}  // namespace

// Catches an output renamed before it was written in full, a temporary of a killed run left
// behind (or taken for an output), a resume that keeps a damaged output or redoes a finished
// one differently: after twenty kills at random points and a final resume, the folder holds
// exactly what one uninterrupted run writes.
TEST(ResumeAfterKill, KilledRunsResumedWithSkipExistingEndAsOneUninterruptedRun) {
    const std::string tool = std::string(GLINTWISE_BINARY_DIR) + "/cli/glintwise-convert";
    ASSERT_TRUE(fs::exists(tool)) << tool;
    testsupport::TempDir dir;
    constexpr int kFiles = 500;
    for (int i = 0; i < kFiles; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "%03d.dcm", i);
        WriteDicom(dir / "in" / name, DicomSpec().Size(16, 12).Seed(static_cast<uint16_t>(i)));
    }
    const auto started = std::chrono::steady_clock::now();
    ASSERT_EQ(Wait(Start({tool, "-j", "2", "-o", (dir / "whole").string(), (dir / "in").string()})), 0);
    const auto whole = std::chrono::steady_clock::now() - started;
    const auto expected = Snapshot(dir / "whole");
    ASSERT_EQ(expected.size(), static_cast<size_t>(kFiles));

    const std::vector<std::string> resume = {tool, "-j", "2", "--skip-existing", "-o", (dir / "out").string(),
                                             (dir / "in").string()};
    std::mt19937 random(36);
    // Each kill lands in the first eighth of a whole run, so twenty of them spread over it.
    const auto span = std::chrono::duration_cast<std::chrono::microseconds>(whole).count() / 8 + 1;
    std::uniform_int_distribution<long> point(0, span);
    int killedMidway = 0;
    for (int kill = 0; kill < 20; ++kill) {
        const pid_t pid = Start(resume);
        ASSERT_GT(pid, 0);
        std::this_thread::sleep_for(std::chrono::microseconds(point(random)));
        ::kill(pid, SIGKILL);
        const int status = Wait(pid);
        if (WIFSIGNALED(status)) ++killedMidway;
    }
    EXPECT_GT(killedMidway, 0);
    ASSERT_EQ(Wait(Start(resume)), 0);

    const auto resumed = Snapshot(dir / "out");
    EXPECT_EQ(resumed.size(), expected.size()) << "temporaries left or outputs missing";
    for (const auto& [name, bytes] : expected) {
        SCOPED_TRACE(name);
        const auto found = resumed.find(name);
        ASSERT_NE(found, resumed.end());
        EXPECT_TRUE(found->second == bytes);
        LfImage image;
        EXPECT_TRUE(image.Load((dir / "out" / name).string().c_str(), LF_FORMAT_PNG));
    }
}

// Catches a damaged output (cut short by another program or an older writer) passing as
// done, a temporary or writability probe of a killed run surviving the next run, and the
// cleaning reaching files that are not this run's temporaries.
TEST(ResumeSkipExisting, OnlyCompleteOutputsCountAndStaleTemporariesAreRemoved) {
    testsupport::TempDir dir;
    WriteDicom(dir / "in" / "a.dcm", DicomSpec().Seed(1));
    WriteDicom(dir / "in" / "b.dcm", DicomSpec().Seed(2));
    const std::vector<std::string> args = {"--skip-existing", "-o", (dir / "out").string(), (dir / "in").string()};
    ASSERT_EQ(RunConvert(args).status, 0);
    const auto complete = testsupport::ReadFile(dir / "out" / "b.png");
    for (const char* name : {".a.png.Ab12Cd", ".a_0003.png.zz99ZZ", ".other.png.Ab12Cd", ".a.png.tmp", "notes.txt",
                             ".glintwise-probe-Q7x2Lm", ".glintwise-probe-old"})
        clitest::WriteText(dir / "out" / name, "x");
    // b.png cut before its last byte, newer than its input.
    std::vector<uint8_t> cut = complete;
    cut.pop_back();
    testsupport::WriteFile(dir / "out" / "b.png", cut);

    const auto again = RunConvert(args);
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_NE(again.err.find("1 converted, 1 skipped"), std::string::npos) << again.err;
    EXPECT_TRUE(testsupport::ReadFile(dir / "out" / "b.png") == complete);
    EXPECT_EQ(clitest::ListTree(dir / "out"),
              (std::vector<std::string>{".a.png.tmp", ".glintwise-probe-old", ".other.png.Ab12Cd", "a.png", "b.png",
                                        "notes.txt"}));

    // An input that merely looks like a temporary of an output beside it is read, not removed.
    WriteDicom(dir / "beside" / "b.dcm", DicomSpec().Seed(2));
    WriteDicom(dir / "beside" / ".b.png.Zz9Zz9", DicomSpec().Seed(3));
    const auto beside = RunConvert({(dir / "beside").string(), "-o", (dir / "beside").string()});
    EXPECT_EQ(beside.status, 0) << beside.err;
    EXPECT_EQ(clitest::ListTree(dir / "beside"),
              (std::vector<std::string>{".b.png.Zz9Zz9", ".b.png.png", "b.dcm", "b.png"}));
}

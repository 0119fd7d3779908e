// Planning a run: which files a folder gives, the output name of each, collisions between
// outputs, and the protection of input files. Nothing is converted here.
#include <gtest/gtest.h>
#include <unistd.h>

#include "CliTestFiles.h"
#include "ConvertPlan.h"

namespace fs = std::filesystem;
using convert::MakePlan;
using convert::Options;

namespace {

Options For(std::vector<std::string> inputs, std::string output, std::string format = "png") {
    Options options;
    options.inputs = std::move(inputs);
    options.output = std::move(output);
    options.format = std::move(format);
    return options;
}

std::vector<std::string> OutputNames(const convert::Plan& plan, const fs::path& root) {
    std::vector<std::string> names;
    for (const auto& job : plan.jobs) names.push_back(fs::relative(job.output, root).string());
    return names;
}

}  // namespace

TEST(PlanNaming, BatchRuleDropsOnlyTheLastExtension) {
    testsupport::TempDir dir;
    for (const char* name : {"IM0001", "a.b.dcm", "scan.DCM", "c.dicom"})
        clitest::WriteText(dir / "in" / name, "x");
    const auto plan = MakePlan(For({(dir / "in").string()}, (dir / "out").string(), "bmp"));
    // Listed in byte order: upper case before lower case.
    EXPECT_EQ(OutputNames(plan, dir / "out"),
              (std::vector<std::string>{"IM0001.bmp", "a.b.bmp", "c.bmp", "scan.bmp"}));
    for (const auto& job : plan.jobs) EXPECT_TRUE(job.error.empty()) << job.error;
    EXPECT_TRUE(plan.warnings.empty());
}

TEST(PlanNaming, CollidingOutputsShareOneGroupInListingOrder) {
    testsupport::TempDir dir;
    for (const char* name : {"a.dcm", "a.dicom", "b.dcm"}) clitest::WriteText(dir / "in" / name, "x");
    const auto plan = MakePlan(For({(dir / "in").string()}, (dir / "out").string()));
    ASSERT_EQ(plan.jobs.size(), 3u);
    EXPECT_EQ(plan.jobs[0].output, plan.jobs[1].output);
    // a.dcm sorts before a.dicom, so a.dicom runs second and its picture is the one kept.
    ASSERT_EQ(plan.groups.size(), 2u);
    EXPECT_EQ(plan.groups[0], (std::vector<size_t>{0, 1}));
    EXPECT_EQ(plan.groups[1], (std::vector<size_t>{2}));
    ASSERT_EQ(plan.warnings.size(), 1u);
    EXPECT_NE(plan.warnings[0].find("a.dicom"), std::string::npos) << plan.warnings[0];
}

TEST(PlanNaming, CollisionsAcrossInputsAndSpellingsOfOneFolderAreFound) {
    testsupport::TempDir dir;
    clitest::WriteText(dir / "x" / "s.dcm", "x");
    clitest::WriteText(dir / "y" / "s.dcm", "x");
    fs::create_directories(dir / "out");
    Options options = For({(dir / "x").string(), (dir / "y").string()}, (dir / "out").string());
    auto plan = MakePlan(options);
    ASSERT_EQ(plan.groups.size(), 1u);
    EXPECT_EQ(plan.groups[0], (std::vector<size_t>{0, 1}));
    // The same output folder written two ways still collides.
    options = For({(dir / "x" / "s.dcm").string(), (dir / "y" / "s.dcm").string()},
                  (dir / "out" / "." / ".." / "out").string());
    plan = MakePlan(options);
    EXPECT_EQ(plan.groups.size(), 1u);
}

TEST(PlanFolders, WithoutRecursionSubFoldersAreIgnored) {
    testsupport::TempDir dir;
    clitest::WriteText(dir / "in" / "top.dcm", "x");
    clitest::WriteText(dir / "in" / "sub" / "deep.dcm", "x");
    const auto plan = MakePlan(For({(dir / "in").string()}, (dir / "out").string()));
    EXPECT_EQ(OutputNames(plan, dir / "out"), std::vector<std::string>{"top.png"});
}

TEST(PlanFolders, RecursionMirrorsSubFoldersUnderTheOutput) {
    testsupport::TempDir dir;
    clitest::WriteText(dir / "in" / "top.dcm", "x");
    clitest::WriteText(dir / "in" / "p1" / "a.dcm", "x");
    clitest::WriteText(dir / "in" / "p1" / "s2" / "a.dcm", "x");
    clitest::WriteText(dir / "in" / "p2" / "a.dcm", "x");
    fs::create_directories(dir / "in" / "empty");
    Options options = For({(dir / "in").string()}, (dir / "out").string());
    options.recursive = true;
    const auto plan = MakePlan(options);
    // Files of a folder first, then its sub-folders in name order; equal names in different
    // folders do not collide.
    EXPECT_EQ(OutputNames(plan, dir / "out"),
              (std::vector<std::string>{"top.png", "p1/a.png", "p1/s2/a.png", "p2/a.png"}));
    EXPECT_EQ(plan.groups.size(), 4u);
    EXPECT_EQ(plan.jobs[2].display, ((dir / "in") / "p1" / "s2" / "a.dcm").string());
}

TEST(PlanFolders, LinkedFoldersAreNotWalkedSoLoopsEnd) {
    testsupport::TempDir dir;
    clitest::WriteText(dir / "in" / "sub" / "a.dcm", "x");
    fs::create_directory_symlink(dir / "in", dir / "in" / "sub" / "loop");
    Options options = For({(dir / "in").string()}, (dir / "out").string());
    options.recursive = true;
    const auto plan = MakePlan(options);
    EXPECT_EQ(OutputNames(plan, dir / "out"), std::vector<std::string>{"sub/a.png"});
}

TEST(PlanOutput, SingleFileWithExtensionNamesTheOutputFile) {
    testsupport::TempDir dir;
    clitest::WriteText(dir / "a.dcm", "x");
    fs::create_directories(dir / "folder.d");
    struct Case { std::string output; std::string expected; };
    const std::vector<Case> cases = {
        {(dir / "pic.jpg").string(), (dir / "pic.jpg").string()},
        {(dir / "new" / "pic.bmp").string(), (dir / "new" / "pic.bmp").string()},
        {(dir / "folder.d").string(), (dir / "folder.d" / "a.png").string()},  // existing folder
        {(dir / "slash.d").string() + "/", (dir / "slash.d" / "a.png").string()},
        {(dir / "plain").string(), (dir / "plain" / "a.png").string()},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.output);
        const auto plan = MakePlan(For({(dir / "a.dcm").string()}, c.output));
        ASSERT_EQ(plan.jobs.size(), 1u);
        EXPECT_EQ(plan.jobs[0].output, c.expected);
    }
    // With two inputs an image file name is refused; any other dotted name is a folder.
    clitest::WriteText(dir / "b.dcm", "x");
    const auto two = MakePlan(For({(dir / "a.dcm").string(), (dir / "b.dcm").string()},
                                  (dir / "pic.jpg").string()));
    EXPECT_NE(two.usageError.find("names one image file"), std::string::npos) << two.usageError;
    const auto dotted = MakePlan(For({(dir / "a.dcm").string(), (dir / "b.dcm").string()},
                                     (dir / "run.v2").string()));
    EXPECT_EQ(dotted.jobs[1].output, (dir / "run.v2" / "b.png").string());
}

TEST(PlanOutput, DefaultOutputIsTheCurrentFolder) {
    testsupport::TempDir dir;
    clitest::WriteText(dir / "in" / "a.dcm", "x");
    const fs::path before = fs::current_path();
    fs::current_path(dir.path());
    const auto plan = MakePlan(For({"in/a.dcm"}, ""));
    fs::current_path(before);
    ASSERT_EQ(plan.jobs.size(), 1u);
    EXPECT_EQ(fs::path(plan.jobs[0].output), dir.path() / "a.png");
    EXPECT_EQ(plan.jobs[0].display, "in/a.dcm");
}

TEST(PlanSafety, OutputsLandingOnInputsFailBeforeTheyStart) {
    testsupport::TempDir dir;
    clitest::WriteText(dir / "in" / "a.dcm", "x");
    clitest::WriteText(dir / "in" / "a.png", "x");
    clitest::WriteText(dir / "in" / "b.dcm", "x");
    // Output folder = input folder: a.dcm and a.png would both write a.png, which is an input.
    const auto plan = MakePlan(For({(dir / "in").string()}, (dir / "in" / "." ).string()));
    ASSERT_EQ(plan.jobs.size(), 3u);
    EXPECT_NE(plan.jobs[0].error.find("is an input file"), std::string::npos);
    EXPECT_NE(plan.jobs[1].error.find("is an input file"), std::string::npos);
    EXPECT_TRUE(plan.jobs[2].error.empty());
    // A single file converted onto itself, also through a link to it.
    fs::create_symlink(dir / "in" / "a.png", dir / "link.png");
    for (const fs::path& target : {dir / "in" / "a.png", dir / "link.png"}) {
        const auto self = MakePlan(For({(dir / "in" / "a.png").string()}, target.string()));
        EXPECT_FALSE(self.jobs[0].error.empty()) << target;
    }
}

TEST(PlanSafety, FailedJobsNeitherCollideNorWarn) {
    testsupport::TempDir dir;
    clitest::WriteText(dir / "in" / "a.dcm", "x");
    clitest::WriteText(dir / "in" / "a.png", "x");
    const auto plan = MakePlan(For({(dir / "in").string()}, (dir / "in").string()));
    EXPECT_EQ(plan.groups, (std::vector<std::vector<size_t>>{{0}, {1}}));
    EXPECT_TRUE(plan.warnings.empty());
}

TEST(PlanSafety, UnreadableFolderFailsInsteadOfListingEmpty) {
    if (geteuid() == 0) GTEST_SKIP() << "root reads every folder";
    testsupport::TempDir dir;
    clitest::WriteText(dir / "in" / "locked" / "a.dcm", "x");
    clitest::WriteText(dir / "in" / "b.dcm", "x");
    fs::permissions(dir / "in" / "locked", fs::perms::none);
    Options options = For({(dir / "in").string(), (dir / "in" / "locked").string()}, (dir / "out").string());
    options.recursive = true;
    const auto plan = MakePlan(options);
    fs::permissions(dir / "in" / "locked", fs::perms::owner_all);
    ASSERT_EQ(plan.jobs.size(), 3u);
    EXPECT_TRUE(plan.jobs[0].error.empty());
    EXPECT_EQ(plan.jobs[1].error.rfind("cannot list the folder: ", 0), 0u) << plan.jobs[1].error;
    EXPECT_EQ(plan.jobs[2].error.rfind("cannot list the folder: ", 0), 0u) << plan.jobs[2].error;
}

TEST(PlanSafety, MissingInputsBecomeFailedJobsInPlace) {
    testsupport::TempDir dir;
    clitest::WriteText(dir / "b.dcm", "x");
    const auto plan = MakePlan(For({(dir / "nope.dcm").string(), (dir / "b.dcm").string()},
                                   (dir / "out").string()));
    ASSERT_EQ(plan.jobs.size(), 2u);
    EXPECT_EQ(plan.jobs[0].error, "no such file or folder");
    EXPECT_TRUE(plan.jobs[1].error.empty());
}

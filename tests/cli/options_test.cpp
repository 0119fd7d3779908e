// Command-line parsing: the accepted spellings, the values each option allows, and the
// usage errors that end a run with status 2 before anything is read or written.
#include <gtest/gtest.h>

#include "CliTestFiles.h"
#include "CommandLine.h"

using convert::ParseCommandLine;
namespace fs = std::filesystem;

TEST(OptionsParse, DefaultsWithOnlyInputs) {
    const auto r = ParseCommandLine({"a.dcm", "scans"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.inputs, (std::vector<std::string>{"a.dcm", "scans"}));
    EXPECT_EQ(r.options.format, "png");
    EXPECT_FALSE(r.options.formatGiven);
    EXPECT_EQ(r.options.quality, 90);
    EXPECT_EQ(r.options.frame, 0);
    EXPECT_EQ(r.options.jobs, 0);
    EXPECT_TRUE(r.options.output.empty());
}

TEST(OptionsParse, EverySpellingOfAValueIsAccepted) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-f", "bmp", "-j", "3", "x"},
             {"-fbmp", "-j3", "x"},
             {"--format", "bmp", "--jobs", "3", "x"},
             {"--format=bmp", "--jobs=3", "x"},
             {"x", "--format=BMP", "-j", "3"}}) {  // options may follow inputs; case folds
        SCOPED_TRACE(args[0] + " " + args[1]);
        const auto r = ParseCommandLine(args);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.options.format, "bmp");
        EXPECT_TRUE(r.options.formatGiven);
        EXPECT_EQ(r.options.jobs, 3);
        EXPECT_EQ(r.options.inputs, std::vector<std::string>{"x"});
    }
}

TEST(OptionsParse, DoubleDashMakesTheRestInputs) {
    const auto r = ParseCommandLine({"-r", "--", "-odd-name.dcm", "--info", "-"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.recursive);
    EXPECT_FALSE(r.options.info);
    EXPECT_EQ(r.options.inputs, (std::vector<std::string>{"-odd-name.dcm", "--info", "-"}));
}

TEST(OptionsParse, FormatsAreTheWindowsTargetsPlusGifAndIco) {
    // raw is offered by the window even though no codec writes it: each file then fails.
    for (const char* ext : {"gif", "ico", "raw", "jpe", "PPM"}) EXPECT_TRUE(ParseCommandLine({"-f", ext, "x"}).ok) << ext;
    // j2k is read by extension but is not a target; ".png" is not an extension name.
    for (const char* ext : {"j2k", "dcm", "", ".png", "png "}) EXPECT_FALSE(ParseCommandLine({"-f", ext, "x"}).ok) << ext;
}

TEST(OptionsParse, NumbersMustBeWholeAndInRange) {
    struct Case { std::vector<std::string> args; bool ok; };
    const std::vector<Case> cases = {
        {{"-j", "1", "x"}, true},          {{"-j", "0", "x"}, false},
        {{"-j", "-2", "x"}, false},        {{"-j", "2x", "x"}, false},
        {{"-j", "", "x"}, false},          {{"-j", "99999999999", "x"}, false},
        {{"--quality", "1", "x"}, true},   {{"--quality", "100", "x"}, true},
        {{"--quality", "0", "x"}, false},  {{"--quality", "101", "x"}, false},
        {{"--quality", "9.5", "x"}, false},
        {{"--frame", "0", "x"}, true},     {{"--frame", "7", "x"}, true},
        {{"--frame", "-1", "x"}, false},   {{"--frame", " 1", "x"}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " '" + c.args[1] + "'");
        const auto r = ParseCommandLine(c.args);
        EXPECT_EQ(r.ok, c.ok) << r.error;
        if (!c.ok) {
            EXPECT_FALSE(r.error.empty());
        }
    }
}

TEST(OptionsParse, MalformedCommandLinesAreRefused) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {},                           // no input
             {"-r"},                       // flags but no input
             {"x", "-f"},                  // value missing at the end
             {"x", "--output"},
             {"x", "-o", ""},              // empty output path
             {"x", "--bogus"},
             {"x", "-z"},
             {"x", "--info=yes"},          // flag given a value
             {"x", "-rj2"},                // grouped short options are not offered
         }) {
        std::string shown;
        for (const auto& a : args) shown += a + " ";
        SCOPED_TRACE(shown);
        const auto r = ParseCommandLine(args);
        EXPECT_FALSE(r.ok);
        EXPECT_FALSE(r.error.empty());
    }
}

TEST(OptionsParse, HelpAndVersionNeedNoInputAndStopParsing) {
    auto r = ParseCommandLine({"--help", "--bogus"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_TRUE(r.options.help);
    r = ParseCommandLine({"-h"});
    EXPECT_TRUE(r.ok && r.options.help);
    r = ParseCommandLine({"--version"});
    EXPECT_TRUE(r.ok && r.options.version);
    // An error before --help still counts.
    EXPECT_FALSE(ParseCommandLine({"--bogus", "--help"}).ok);
}

// Through the whole tool: what goes where, and the exit status of each outcome.
TEST(OptionsExit, UsageErrorsExitTwoOnStandardError) {
    for (const auto& args : std::vector<std::vector<std::string>>{
             {}, {"-f", "xyz", "a.dcm"}, {"--jobs=0", "a.dcm"}, {"--nope"}}) {
        const auto run = clitest::RunConvert(args);
        EXPECT_EQ(run.status, 2);
        EXPECT_TRUE(run.out.empty());
        EXPECT_NE(run.err.find("glintwise-convert: "), std::string::npos) << run.err;
        EXPECT_NE(run.err.find("--help"), std::string::npos) << run.err;
    }
}

TEST(OptionsExit, HelpAndVersionGoToStandardOutput) {
    auto run = clitest::RunConvert({"--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(run.err.empty());
    EXPECT_EQ(run.out.rfind("Usage: glintwise-convert [OPTIONS] INPUT...", 0), 0u);
    run = clitest::RunConvert({"--version"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("glintwise-convert ", 0), 0u);
}

TEST(OptionsExit, OutputFileExtensionContradictingFormatIsAUsageError) {
    testsupport::TempDir dir;
    clitest::WriteDicom(dir / "a.dcm");
    const auto run = clitest::RunConvert(
        {"-f", "png", "-o", (dir / "out.bmp").string(), (dir / "a.dcm").string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_FALSE(fs::exists(dir / "out.bmp"));
    // The same format under another extension is no contradiction.
    const auto same = clitest::RunConvert(
        {"-f", "bmp", "-o", (dir / "out.BMP").string(), (dir / "a.dcm").string()});
    EXPECT_EQ(same.status, 0) << same.err;
}

TEST(OptionsExit, OutputFileWithAnExtensionThatNamesNoFormatIsAUsageError) {
    testsupport::TempDir dir;
    clitest::WriteDicom(dir / "a.dcm");
    const auto run = clitest::RunConvert({"-o", (dir / "results.v2").string(), (dir / "a.dcm").string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("end a folder name with /"), std::string::npos) << run.err;
    // Written as a folder, the same name works.
    const auto folder = clitest::RunConvert({"-f", "bmp", "-o", (dir / "results.v2").string() + "/",
                                             (dir / "a.dcm").string()});
    EXPECT_EQ(folder.status, 0) << folder.err;
    EXPECT_TRUE(fs::exists(dir / "results.v2" / "a.bmp"));
}

TEST(OptionsExit, OutputFolderThatIsAFileIsAUsageError) {
    testsupport::TempDir dir;
    clitest::WriteDicom(dir / "in" / "a.dcm");
    clitest::WriteText(dir / "taken", "x");
    const auto run = clitest::RunConvert({"-o", (dir / "taken").string(), (dir / "in").string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(testsupport::ReadFile(dir / "taken").size(), 1u);
}

// Command-line parsing: the accepted spellings, the values each option allows, and the
// usage errors that end a run with status 2 before anything is read or written.
#include <gtest/gtest.h>
#include <algorithm>

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

// Catches -f accepting a format no codec writes (every file would then fail one by one) or a
// refusal that does not say what can be written.
TEST(OptionsParse, FormatsAreTheWritableOnesOfTheRegistry) {
    for (const char* ext : {"gif", "ico", "jpe", "PPM", "pgx"}) EXPECT_TRUE(ParseCommandLine({"-f", ext, "x"}).ok) << ext;
    // raw and the metafiles are read only; j2k is read by extension but is not a target;
    // ".png" is not an extension name.
    for (const char* ext : {"raw", "wmf", "EMF", "j2k", "dcm", "", ".png", "png "}) {
        const auto r = ParseCommandLine({"-f", ext, "x"});
        EXPECT_FALSE(r.ok) << ext;
        EXPECT_NE(r.error.find("formats that can be written: bmp jpg"), std::string::npos) << r.error;
        EXPECT_EQ(r.error.find(" raw"), std::string::npos) << r.error;
    }
    EXPECT_NE(ParseCommandLine({"-f", "raw", "x"}).error.find("'raw' cannot be written"), std::string::npos);
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
        {{"--shard", "1/1", "x"}, true},   {{"--shard", "3/3", "x"}, true},
        {{"--shard", "0/3", "x"}, false},  {{"--shard", "4/3", "x"}, false},
        {{"--shard", "2", "x"}, false},    {{"--shard", "1/0", "x"}, false},
        {{"--tiff-compression", "LZW", "x"}, true}, {{"--tiff-compression", "zip", "x"}, false},
        {{"--voi", "Standard", "x"}, true}, {{"--voi", "40,400", "x"}, true},
        {{"--voi", "-1.5,1", "x"}, true},  {{"--voi", "40,0.5", "x"}, false},  // LINEAR needs width >= 1
        {{"--voi", "40", "x"}, false},     {{"--voi", "40,400,1", "x"}, false},
        {{"--voi", "nan,400", "x"}, false}, {{"--voi", "window", "x"}, false},
        {{"--depth", "16", "x"}, true},    {{"--depth", "12", "x"}, false},
        {{"--window-index", "0", "x"}, false}, {{"--voi-lut-index", "x", "x"}, false},
        {{"--overlays", "ALL", "x"}, true}, {{"--overlays", "16", "x"}, true},
        {{"--overlays", "0", "x"}, false},  {{"--overlays", "17", "x"}, false},
        {{"--overlays", "1,2", "x"}, false},
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

// Catches overlays drawn over the window's own picture (--voi file, the default) or missing
// from the other renderings, and an explicit choice overridden by the default.
TEST(OptionsParse, OverlaysDefaultToAllExceptWithTheWindowsPicture) {
    struct Case { std::vector<std::string> args; int overlays; };
    const std::vector<Case> cases = {
        {{"x"}, kNoOverlays},
        {{"--voi", "file", "x"}, kNoOverlays},
        {{"--voi", "file", "--overlays", "all", "x"}, kAllOverlays},
        {{"--voi", "standard", "x"}, kAllOverlays},
        {{"--voi", "40,400", "x"}, kAllOverlays},
        {{"--depth", "16", "x"}, kAllOverlays},
        {{"--overlays", "3", "--voi", "none", "x"}, 3},
        {{"--voi", "minmax", "--overlays", "none", "x"}, kNoOverlays},
    };
    for (const Case& c : cases) {
        const auto r = ParseCommandLine(c.args);
        ASSERT_TRUE(r.ok) << r.error;
        EXPECT_EQ(r.options.rendering.overlays, c.overlays) << testing::PrintToString(c.args);
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
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
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

// Usage errors found from the file system, before any input is read: the run must stop with
// exit 2 and write nothing instead of failing every file (or writing into a file name).
TEST(OptionsExit, OutputsThatCannotWorkStopTheRunBeforeItStarts) {
    testsupport::TempDir dir;
    clitest::WriteDicom(dir / "in" / "a.dcm");
    clitest::WriteDicom(dir / "in" / "b.dcm", clitest::DicomSpec().Seed(2));
    clitest::WriteText(dir / "plain", "x");
    const std::string in = (dir / "in").string(), a = (dir / "in" / "a.dcm").string(),
                      b = (dir / "in" / "b.dcm").string();
    struct Case { std::vector<std::string> args; const char* says; };
    const std::vector<Case> cases = {
        {{"-o", (dir / "plain" / "sub").string(), in}, "cannot create the output folder"},
        {{"-o", (dir / "plain" / "x.png").string(), a}, "cannot create the folder of --output"},
        // Permission bits pass for root: only making the folder and a file in it tells.
        {{"-o", "/proc/self/glintwise-out", in}, "cannot create the output folder"},
        {{"-o", "/proc/self", in}, "cannot create the output folder"},
        {{"-o", "/proc/self/out.png", a}, "cannot create the folder of --output"},
        {{"-o", (dir / "all.png").string(), a, b}, "names one image file"},
        {{"-o", (dir / "all.PNG").string(), in}, "names one image file"},
        {{"-o", (dir / "all.wmf").string(), a}, "cannot be written"},
        {{"--depth", "16", "-f", "jpg", a}, "--depth 16 writes PNG or TIFF"},
        {{"--depth", "16", "-o", (dir / "x.bmp").string(), a}, "--depth 16 writes PNG or TIFF"},
        {{"--depth", "16", "--voi", "file", a}, "not file"},
        {{"--window-index", "2", a}, "needs --voi standard"},
        {{"--voi", "standard", "--window-index", "1", "--voi-lut-index", "1", a}, "exclude each other"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[1]);
        const auto run = clitest::RunConvert(c.args);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(c.says), std::string::npos) << run.err;
        EXPECT_EQ(std::count(run.err.begin(), run.err.end(), '\n'), 1) << run.err;
    }
    EXPECT_EQ(clitest::ListTree(dir.path()), (std::vector<std::string>{"in/a.dcm", "in/b.dcm", "plain"}));
    // A folder that exists keeps any name, extension or not.
    fs::create_directories(dir / "done.png");
    EXPECT_EQ(clitest::RunConvert({"-o", (dir / "done.png").string(), in}).status, 0);
    EXPECT_TRUE(fs::exists(dir / "done.png" / "a.png"));
}

// Catches a folder of series folders run without -r passing as a success with nothing done.
TEST(OptionsExit, FolderOfOnlySubFoldersWithoutRecursionSaysSo) {
    testsupport::TempDir dir;
    clitest::WriteDicom(dir / "study" / "s1" / "a.dcm");
    const auto run = clitest::RunConvert({"-o", (dir / "out").string(), (dir / "study").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("study: no files; use -r for sub-folders"), std::string::npos) << run.err;
    EXPECT_EQ(clitest::RunConvert({"-r", "-o", (dir / "out").string(), (dir / "study").string()}).status, 0);
    EXPECT_TRUE(fs::exists(dir / "out" / "s1" / "a.png"));
}

// Animated GIF of DICOM loops against Pillow (frames, delays, looping) and ImageMagick
// (frame count): grey frames exact, colour frames within a mean error of our own PNG frames,
// stills where frames are picked, series, and failures that leave nothing behind. Inputs are
// made by pydicom at test time (tests/cli/movie_files.py).
#include <gtest/gtest.h>

#include <algorithm>
#include <numeric>
#include <sstream>

#include "CliTestFiles.h"

namespace fs = std::filesystem;
using clitest::MovieFiles;
using clitest::RunConvert;
using testsupport::ShellQuote;

namespace {

bool HavePeers() { return testsupport::HaveTool("identify") && testsupport::HavePythonModules("pydicom numpy PIL"); }

#define NEED_GIF_PEERS() GLINTWISE_NEED_PEER(HavePeers(), "ImageMagick's identify, pydicom, numpy and Pillow")

template <typename T>
std::vector<T> Numbers(const std::string& line) {
    std::istringstream in(line);
    std::vector<T> values;
    for (T value; in >> value;) values.push_back(value);
    return values;
}

// What Pillow reads from a GIF, against our PNG frames from the `first` one.
struct Read {
    int frames = 0;
    int loop = -1;
    std::vector<int> delays;
    std::vector<double> meanErrors;
    std::vector<int> largestErrors;
    std::vector<double> blockErrors;  // of 4 x 4 block means
};

Read ReadGif(const fs::path& gif, const fs::path& pngs, int first = 0) {
    std::istringstream lines(MovieFiles("read " + ShellQuote(gif.string()) + " " +
                                                        ShellQuote(pngs.string()) + " " + std::to_string(first)));
    std::string line[6];
    for (std::string& l : line) std::getline(lines, l);
    Read read;
    read.frames = std::atoi(line[0].c_str());
    read.loop = std::atoi(line[1].c_str());
    read.delays = Numbers<int>(line[2]);
    read.meanErrors = Numbers<double>(line[3]);
    read.largestErrors = Numbers<int>(line[4]);
    read.blockErrors = Numbers<double>(line[5]);
    return read;
}

// Frames ImageMagick finds in the file.
int IdentifiedFrames(const fs::path& gif) {
    std::string out;
    testsupport::Run("identify -format '%s\\n' " + ShellQuote(gif.string()) + " 2>/dev/null", &out);
    return int(std::count(out.begin(), out.end(), '\n'));
}

std::vector<int> Repeat(std::vector<int> pattern, int times) {
    std::vector<int> all;
    for (int i = 0; i < times; ++i) all.insert(all.end(), pattern.begin(), pattern.end());
    return all;
}

}  // namespace

// Catches a grey level changed on the way (a grey picture quantised or a table off by one),
// delays rounded frame by frame so that the loop drifts from its rate (30 a second as 3, 3, 3:
// 10 % fast), trims or --fps ignored, a loop that plays once, frames other readers miss, and
// a 1 x 1 picture refused.
TEST(GifAnimation, GreyLoopIsOurFramesExactlyAtTheRate) {
    NEED_GIF_PEERS();
    struct Case {
        const char* name;
        const char* cine;  // movie_files.py cine arguments after the output
        std::vector<std::string> options;
        int first;  // the PNG frame the GIF starts at
        std::vector<int> delays;
    };
    const std::vector<Case> cases = {
        {"thirty", "12 15 21 RecommendedDisplayFrameRate=30", {}, 0, Repeat({3, 3, 4}, 4)},
        {"seven", "10 15 21", {"--fps", "7"}, 0, {14, 14, 14, 15, 14, 14, 15, 14, 14, 14}},
        {"trim", "10 15 21 StartTrim=3 StopTrim=8 CineRate=5", {}, 2, Repeat({20}, 6)},
        {"pixel", "3 1 1", {}, 0, Repeat({10}, 3)},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path input = dir / (std::string(c.name) + ".dcm");
        MovieFiles("cine " + ShellQuote(input.string()) + " " + c.cine);
        const fs::path pngs = dir / (std::string(c.name) + "_png");
        ASSERT_EQ(RunConvert({"--all-frames", "-o", pngs.string(), input.string()}).status, 0);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-f", "gif", "-o", (dir / "gif").string(), input.string()});
        const auto run = RunConvert(args);
        ASSERT_EQ(run.status, 0) << run.err;
        const fs::path gif = dir / "gif" / (std::string(c.name) + ".gif");
        const Read read = ReadGif(gif, pngs, c.first);
        EXPECT_EQ(read.frames, int(c.delays.size()));
        EXPECT_EQ(IdentifiedFrames(gif), int(c.delays.size()));
        EXPECT_EQ(read.loop, 0);
        EXPECT_EQ(read.delays, c.delays);
        EXPECT_EQ(read.largestErrors, std::vector<int>(c.delays.size(), 0));
    }
}

// Catches a quantiser that loses colours a picture has few enough of (the table must then be
// exact, dithering or not), one that fails on one colour or one pixel, a poor table (mean
// error above 6 levels), a dither that does not bring areas to their colour (the mean error
// of 4 x 4 block means above 3: dithering trades pixel error for area error, so its pixels'
// mean error stays near the plain table's), channels swapped, and colour pictures still
// written as the codec's mosaic of tiles.
TEST(GifAnimation, ColourLoopsWithinTheirErrorOfOurFrames) {
    NEED_GIF_PEERS();
    struct Case {
        const char* name;
        const char* input;  // movie_files.py's command, %s for the output
        bool dither;
        double meanError;  // at most, each frame: of the pixels, or with dither of the block means
        int frames;
    };
    const std::vector<Case> cases = {
        {"many", "rgb %s 8 64 80 many", false, 6.0, 8},
        {"many_dithered", "rgb %s 8 64 80 many", true, 3.0, 8},
        {"jpeg", "colour %s 4", false, 6.0, 4},
        {"few", "rgb %s 5 40 50 few", false, 0.0, 5},
        {"few_dithered", "rgb %s 5 40 50 few", true, 0.0, 5},
        {"one", "rgb %s 3 9 7 one", true, 0.0, 3},
        {"pixel", "rgb %s 2 1 1 many", true, 0.0, 2},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path input = dir / (std::string(c.name) + ".dcm");
        std::string command = c.input;
        const size_t at = command.find("%s");
        command.replace(at, 2, ShellQuote(input.string()));
        MovieFiles(command);
        const fs::path pngs = dir / (std::string(c.name) + "_png");
        ASSERT_EQ(RunConvert({"--all-frames", "-o", pngs.string(), input.string()}).status, 0);
        std::vector<std::string> args = {"-f", "gif", "-o", (dir / "gif").string(), input.string()};
        if (c.dither) args.insert(args.begin(), "--dither");
        const auto run = RunConvert(args);
        ASSERT_EQ(run.status, 0) << run.err;
        const fs::path gif = dir / "gif" / (std::string(c.name) + ".gif");
        const Read read = ReadGif(gif, pngs);
        EXPECT_EQ(read.frames, c.frames);
        EXPECT_EQ(IdentifiedFrames(gif), c.frames);
        ASSERT_EQ(read.meanErrors.size(), size_t(c.frames));
        ASSERT_EQ(read.blockErrors.size(), size_t(c.frames));
        for (int f = 0; f < c.frames; ++f) {
            EXPECT_LE(read.meanErrors[size_t(f)], 6.0) << "frame " << f;
            EXPECT_LE(c.dither ? read.blockErrors[size_t(f)] : read.meanErrors[size_t(f)], c.meanError) << "frame " << f;
            if (c.meanError == 0.0) {
                EXPECT_EQ(read.largestErrors[size_t(f)], 0) << "frame " << f;
            }
        }
    }
}

// Catches --frame or --all-frames overridden by the animation, a still of the wrong frame, and
// a colour still written as a mosaic (many frames) instead of one quantised picture.
TEST(GifStills, PickedFramesAndSingleFramesAreStills) {
    NEED_GIF_PEERS();
    testsupport::TempDir dir;
    MovieFiles("cine " + ShellQuote((dir / "loop.dcm").string()) + " 4 15 21");
    MovieFiles("rgb " + ShellQuote((dir / "photo.dcm").string()) + " 1 60 70 many");
    for (const char* name : {"loop", "photo"})
        ASSERT_EQ(RunConvert({"--all-frames", "-o", (dir / "png" / name).string(), (dir / (std::string(name) + ".dcm")).string()}).status, 0);

    ASSERT_EQ(RunConvert({"--frame", "2", "-f", "gif", "-o", (dir / "frame").string(), (dir / "loop.dcm").string()}).status, 0);
    Read read = ReadGif(dir / "frame" / "loop.gif", dir / "png" / "loop", 2);
    EXPECT_EQ(read.frames, 1);
    EXPECT_EQ(read.largestErrors, std::vector<int>{0});

    ASSERT_EQ(RunConvert({"--all-frames", "-f", "gif", "-o", (dir / "all").string(), (dir / "loop.dcm").string()}).status, 0);
    EXPECT_EQ(clitest::ListTree(dir / "all"),
              (std::vector<std::string>{"loop_0000.gif", "loop_0001.gif", "loop_0002.gif", "loop_0003.gif"}));
    EXPECT_EQ(ReadGif(dir / "all" / "loop_0003.gif", dir / "png" / "loop", 3).largestErrors, std::vector<int>{0});

    ASSERT_EQ(RunConvert({"-f", "gif", "-o", (dir / "photo").string(), (dir / "photo.dcm").string()}).status, 0);
    read = ReadGif(dir / "photo" / "photo.gif", dir / "png" / "photo");
    EXPECT_EQ(read.frames, 1);
    ASSERT_EQ(read.meanErrors.size(), 1u);
    EXPECT_LE(read.meanErrors[0], 6.0);
}

// Catches --series refused for GIF or written in the wrong order, and a series that fails
// part-way leaving a partial GIF, a temporary, or a damaged older GIF behind.
TEST(GifSeries, OneAnimationPerSeriesAndNothingLeftOnFailure) {
    NEED_GIF_PEERS();
    testsupport::TempDir dir;
    MovieFiles("series " + ShellQuote((dir / "ct").string()) + " 5");
    MovieFiles("series " + ShellQuote((dir / "mixed").string()) + " 5 40 30 4");
    auto run = RunConvert({"--series", "-f", "gif", "-o", (dir / "out").string(), (dir / "ct").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(clitest::ListTree(dir / "out"), std::vector<std::string>{"3_Chest_abdomen_arterial.gif"});
    EXPECT_EQ(IdentifiedFrames(dir / "out" / "3_Chest_abdomen_arterial.gif"), 5);

    const fs::path failed = dir / "failed";
    clitest::WriteText(failed / "3_Chest_abdomen_arterial.gif", "an older GIF");
    run = RunConvert({"--series", "-f", "gif", "-o", failed.string(), (dir / "mixed").string()});
    EXPECT_EQ(run.status, 1);
    EXPECT_NE(run.err.find("30 x 42"), std::string::npos) << run.err;
    EXPECT_EQ(clitest::ListTree(failed), std::vector<std::string>{"3_Chest_abdomen_arterial.gif"});
    const std::vector<uint8_t> kept = testsupport::ReadFile(failed / "3_Chest_abdomen_arterial.gif");
    EXPECT_EQ(std::string(kept.begin(), kept.end()), "an older GIF");

    run = RunConvert({"--series", "--frame", "1", "-f", "gif", (dir / "ct").string()});
    EXPECT_EQ(run.status, 2);
    EXPECT_NE(run.err.find("--frame picks pictures; a movie takes every frame"), std::string::npos) << run.err;
}

// Catches a frame count or delay sum kept in 16 bits, and a writer that gives up on long
// loops: every frame of a 10,000-frame file arrives, and the loop lasts 10,000 / 10 seconds.
TEST(GifLength, TenThousandFramesAllArrive) {
    NEED_GIF_PEERS();
    testsupport::TempDir dir;
    MovieFiles("cine " + ShellQuote((dir / "long.dcm").string()) + " 10000 4 4");
    const auto run = RunConvert({"-f", "gif", "-o", (dir / "out").string(), (dir / "long.dcm").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    fs::create_directories(dir / "none");
    const Read read = ReadGif(dir / "out" / "long.gif", dir / "none");
    EXPECT_EQ(read.frames, 10000);
    EXPECT_EQ(std::accumulate(read.delays.begin(), read.delays.end(), 0), 100000);
}

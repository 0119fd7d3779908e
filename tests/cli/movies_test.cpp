// Movies (mp4, webm) against ffprobe and ffmpeg's decoder: the rate each cine attribute gives,
// trims, padding, fidelity to our own --all-frames PNGs, series order, and failures that must
// leave nothing behind. Inputs are made by pydicom at test time (tests/cli/movie_files.py).
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <sstream>

#include "CliTestFiles.h"

namespace fs = std::filesystem;
using clitest::MovieFiles;
using clitest::RunConvert;
using testsupport::ShellQuote;

namespace {

bool HavePeers() {
    return testsupport::HaveTool("ffprobe") && testsupport::HaveTool("ffmpeg") &&
           testsupport::HavePythonModules("pydicom numpy PIL");
}

#define NEED_MOVIE_PEERS() GLINTWISE_NEED_PEER(HavePeers(), "ffmpeg, ffprobe, pydicom, numpy and Pillow")

struct Probe {
    int width = 0, height = 0;
    long frames = -1;
    double rate = 0.0;
    std::string codec;
};

double Ratio(const std::string& text) {
    const size_t slash = text.find('/');
    if (slash == std::string::npos) return std::atof(text.c_str());
    const double d = std::atof(text.c_str() + slash + 1);
    return d == 0.0 ? 0.0 : std::atof(text.substr(0, slash).c_str()) / d;
}

Probe ProbeMovie(const fs::path& movie) {
    std::string out;
    testsupport::Run("ffprobe -v error -count_packets -select_streams v:0 -show_entries "
                     "stream=codec_name,width,height,r_frame_rate,nb_read_packets -of default=nw=1 " +
                         ShellQuote(movie.string()),
                     &out);
    std::map<std::string, std::string> fields;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);)
        if (const size_t eq = line.find('='); eq != std::string::npos) fields[line.substr(0, eq)] = line.substr(eq + 1);
    Probe probe;
    probe.codec = fields["codec_name"];
    probe.width = std::atoi(fields["width"].c_str());
    probe.height = std::atoi(fields["height"].c_str());
    if (!fields["nb_read_packets"].empty()) probe.frames = std::atol(fields["nb_read_packets"].c_str());
    probe.rate = Ratio(fields["r_frame_rate"]);
    return probe;
}

// What a failed run must leave in the folder: nothing but the files that were there.
std::vector<std::string> Leftovers(const fs::path& folder) { return clitest::ListTree(folder); }

}  // namespace

// Catches a rate taken from the wrong attribute or in the wrong order, a damaged value
// (0, negative, no number, absurdly large, a vector shorter than the frames) used instead of
// falling to the next, --fps not overriding, trims ignored and an odd side left odd.
TEST(MovieRates, EachAttributeInOrderWithFallbacksTrimsAndPadding) {
    NEED_MOVIE_PEERS();
    struct Case {
        const char* name;
        const char* attributes;
        std::vector<std::string> options;
        double rate;
        long frames;
    };
    const std::vector<Case> cases = {
        {"recommended", "RecommendedDisplayFrameRate=30 CineRate=12 FrameTime=50", {}, 30, 10},
        {"cine", "CineRate=12 FrameTime=50", {}, 12, 10},
        {"frametime", "FrameTime=40 FrameTimeVector=0\\\\100\\\\100\\\\100\\\\100\\\\100\\\\100\\\\100\\\\100\\\\100", {}, 25, 10},
        {"vector", "FrameTimeVector=0\\\\50\\\\50\\\\50\\\\50\\\\25\\\\75\\\\50\\\\50\\\\50", {}, 20, 10},
        {"zerotime", "FrameTime=0 CineRate=0 FrameTimeVector=0\\\\40\\\\40\\\\40\\\\40\\\\40\\\\40\\\\40\\\\40\\\\40", {}, 25, 10},
        {"negative", "RecommendedDisplayFrameRate=-5 FrameTime=-40", {}, 10, 10},
        {"nan", "FrameTime=nan CineRate=0", {}, 10, 10},
        {"huge", "RecommendedDisplayFrameRate=1e9 FrameTime=1e-9 CineRate=15", {}, 15, 10},
        {"shortvector", "FrameTimeVector=0\\\\50\\\\50", {}, 10, 10},
        {"fps", "RecommendedDisplayFrameRate=30", {"--fps", "7.5"}, 7.5, 10},
        {"trim", "StartTrim=3 StopTrim=8 CineRate=5", {}, 5, 6},
        {"badtrim", "StartTrim=8 StopTrim=3", {}, 10, 10},
    };
    testsupport::TempDir dir;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const fs::path input = dir / (std::string(c.name) + ".dcm");
        MovieFiles("cine " + ShellQuote(input.string()) + " 10 15 21 " + c.attributes);
        std::vector<std::string> args = c.options;
        args.insert(args.end(), {"-f", "mp4", "-o", (dir / "out").string(), input.string()});
        const auto run = RunConvert(args);
        ASSERT_EQ(run.status, 0) << run.err;
        const Probe probe = ProbeMovie(dir / "out" / (std::string(c.name) + ".mp4"));
        EXPECT_EQ(probe.codec, "h264");
        EXPECT_NEAR(probe.rate, c.rate, c.rate * 0.001);
        EXPECT_EQ(probe.frames, c.frames);
        EXPECT_EQ(probe.width, 22);  // 21 columns gain one, 15 rows gain one
        EXPECT_EQ(probe.height, 16);
    }
}

// Catches frames that differ from the pictures the converter writes otherwise, a stretch per
// frame (flicker), the wrong range or matrix in the grey/colour to YUV step (visible as a
// PSNR in the twenties), a lost or repeated frame, colour channels swapped.
TEST(MovieFidelity, DecodedFramesMatchOurAllFramesPngs) {
    NEED_MOVIE_PEERS();
    testsupport::TempDir dir;
    MovieFiles("cine " + ShellQuote((dir / "grey.dcm").string()) + " 24 63 81");
    MovieFiles("colour " + ShellQuote((dir / "colour.dcm").string()) + " 6");
    for (const char* name : {"grey", "colour"}) {
        const std::string input = (dir / (std::string(name) + ".dcm")).string();
        const fs::path frames = dir / (std::string(name) + "_png");
        ASSERT_EQ(RunConvert({"--all-frames", "-o", frames.string(), input}).status, 0);
        for (const char* format : {"mp4", "webm"}) {
            SCOPED_TRACE(std::string(name) + " " + format);
            const auto run = RunConvert({"-f", format, "-o", (dir / "movies").string(), input});
            ASSERT_EQ(run.status, 0) << run.err;
            const fs::path movie = dir / "movies" / (std::string(name) + "." + format);
            EXPECT_EQ(ProbeMovie(movie).codec, std::string(format) == "mp4" ? "h264" : "vp9");
            const bool grey = std::string(name) == "grey";
            const double psnr = std::atof(MovieFiles("psnr " + ShellQuote(movie.string()) + " " +
                                                ShellQuote(frames.string()) + (grey ? " grey" : " rgb")).c_str());
            EXPECT_GE(psnr, grey ? 40.0 : 35.0);
            if (!grey) continue;
            // The loop brightens by 30 stored levels a frame: one stretch over all frames keeps
            // that, a stretch per frame would flatten it.
            std::istringstream means(MovieFiles("means " + ShellQuote(movie.string())));
            std::vector<double> levels;
            for (double level; means >> level;) levels.push_back(level);
            ASSERT_EQ(levels.size(), 24u);
            EXPECT_GT(levels.back() - levels.front(), 30.0);
        }
    }
}

// Catches a frame count or timestamp kept in 16 bits or less, and a length limit of the
// writer: every frame of a 60,000-frame file arrives.
TEST(MovieLength, SixtyThousandFramesAllArrive) {
    NEED_MOVIE_PEERS();
    testsupport::TempDir dir;
    MovieFiles("cine " + ShellQuote((dir / "long.dcm").string()) + " 60000 8 8");
    const auto run = RunConvert({"--fps", "1000", "-f", "mp4", "-o", (dir / "out").string(), (dir / "long.dcm").string()});
    ASSERT_EQ(run.status, 0) << run.err;
    const Probe probe = ProbeMovie(dir / "out" / "long.mp4");
    EXPECT_EQ(probe.frames, 60000);
    EXPECT_NEAR(probe.rate, 1000.0, 0.01);
}

// Catches a series written in name (or listing) order instead of Instance Number order, a
// series name not made safe for the file system, two series of one name overwriting each
// other, and a series of one file refused.
TEST(MovieSeries, ShuffledNamesComeOutInInstanceOrder) {
    NEED_MOVIE_PEERS();
    testsupport::TempDir dir;
    MovieFiles("series " + ShellQuote((dir / "ct").string()) + " 9");
    MovieFiles("series " + ShellQuote((dir / "one").string()) + " 1");
    for (const char* format : {"mp4", "webm"}) {
        SCOPED_TRACE(format);
        const fs::path out = dir / (std::string("out_") + format);
        const auto run = RunConvert({"--series", "-f", format, "-o", out.string(), (dir / "ct").string(),
                                     (dir / "one").string()});
        ASSERT_EQ(run.status, 0) << run.err;
        // Both series are number 3 with the same description: the second name gets a suffix.
        const std::string ext = std::string(".") + format;
        EXPECT_EQ(clitest::ListTree(out),
                  (std::vector<std::string>{"3_Chest_abdomen_arterial" + ext, "3_Chest_abdomen_arterial_2" + ext}));
        std::istringstream means(MovieFiles("means " + ShellQuote((out / ("3_Chest_abdomen_arterial" + ext)).string())));
        std::vector<double> levels;
        for (double level; means >> level;) levels.push_back(level);
        ASSERT_EQ(levels.size(), 9u);
        for (size_t i = 1; i < levels.size(); ++i) EXPECT_GT(levels[i], levels[i - 1] + 10) << i;
        EXPECT_EQ(ProbeMovie(out / ("3_Chest_abdomen_arterial_2" + ext)).frames, 1);
    }
}

// Catches a series of mixed sizes written anyway, and a series that fails part-way (a file
// whose pixel data cannot be decoded) leaving a partial movie, a temporary, or a damaged
// older movie behind.
TEST(MovieSeries, FailuresNameTheFileAndLeaveNothing) {
    NEED_MOVIE_PEERS();
    testsupport::TempDir dir;
    MovieFiles("series " + ShellQuote((dir / "mixed").string()) + " 5 40 30 4");
    MovieFiles("series " + ShellQuote((dir / "broken").string()) + " 9 40 30 0 6");
    const fs::path out = dir / "out";
    clitest::WriteText(out / "3_Chest_abdomen_arterial.mp4", "an older movie");
    for (const char* folder : {"mixed", "broken"}) {
        SCOPED_TRACE(folder);
        const auto run = RunConvert({"--series", "-f", "mp4", "-o", out.string(), (dir / folder).string()});
        EXPECT_EQ(run.status, 1);
        EXPECT_NE(run.err.find(std::string(folder) == "mixed" ? "is 30 x 40, IM" : "IM"), std::string::npos) << run.err;
        EXPECT_NE(run.err.find(std::string(folder) == "mixed" ? " 30 x 42" : "0 converted, 1 failed"), std::string::npos)
            << run.err;
        EXPECT_EQ(Leftovers(out), std::vector<std::string>{"3_Chest_abdomen_arterial.mp4"});
        const std::vector<uint8_t> kept = testsupport::ReadFile(out / "3_Chest_abdomen_arterial.mp4");
        EXPECT_EQ(std::string(kept.begin(), kept.end()), "an older movie");
    }
}

// Catches options that cannot apply to a movie accepted silently, and a movie rate outside
// what players take.
TEST(MovieUsage, ContradictingOptionsAreUsageErrors) {
    testsupport::TempDir dir;
    clitest::WriteDicom(dir / "in" / "a.dcm");
    const std::string in = (dir / "in").string();
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{"--all-frames", "-f", "mp4", in}, "--all-frames picks pictures; a movie takes every frame"},
        {{"--frame", "1", "-f", "webm", in}, "--frame picks pictures; a movie takes every frame"},
        {{"--series", "-f", "png", in}, "--series writes movies: choose -f mp4, -f webm or -f gif"},
        {{"--fps", "12", in}, "--fps sets a movie's rate: choose -f mp4, -f webm or -f gif"},
        {{"--series", "-f", "mp4", (dir / "in" / "a.dcm").string()}, "--series groups the files of folder inputs"},
        {{"--fps", "0", "-f", "mp4", in}, "--fps wants a number of frames a second above 0 and at most 1000, not '0'"},
        {{"--fps", "nan", "-f", "mp4", in}, "--fps wants"},
        {{"--fps", "5000", "-f", "mp4", in}, "--fps wants"},
        {{"--depth", "16", "-f", "mp4", in}, "--depth 16 writes PNG or TIFF, not mp4"},
    };
    for (const auto& [args, message] : cases) {
        SCOPED_TRACE(message);
        const auto run = RunConvert(args);
        EXPECT_EQ(run.status, 2);
        EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    }
}

// The movie-saving path on its own, with frames from a function as the window will give
// them: failures part-way (a write refused by the file system, a frame of another size, a
// frame that cannot be rendered) must leave neither a partial movie nor a temporary, and an
// older movie must survive them.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include "MovieSaving.h"
#include "SeriesPlan.h"
#include "TestSupport.h"

namespace {

namespace fs = std::filesystem;

// Noisy frames, which the encoder cannot squeeze into a few bytes.
MovieFrames NoisyFrames(int width, int height, int changeSizeAt = -1) {
    return [=](int index, DicomPicture& picture, std::string&) {
        picture.width = width + (index == changeSizeAt ? 2 : 0);
        picture.height = height;
        picture.samples = 1;
        picture.bits = 8;
        picture.bytes.resize(size_t(picture.width) * size_t(height));
        uint32_t state = 2463534242u + uint32_t(index);
        for (uint8_t& b : picture.bytes) {
            state ^= state << 13, state ^= state >> 17, state ^= state << 5;
            b = uint8_t(state);
        }
        return true;
    };
}

std::vector<std::string> Names(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

// Catches a write failure of the muxer reported as success, or a partial movie or temporary
// left behind: the file-size limit makes the file system refuse the writes after 64 KB.
TEST(MovieSavingFailures, RefusedWritePartWayLeavesTheOlderMovie) {
    testsupport::TempDir dir;
    const fs::path movie = dir / "loop.mp4";
    testsupport::WriteFile(movie, {'o', 'l', 'd'});
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);  // a write past the limit then fails with EFBIG
        const rlimit limit{64 * 1024, 64 * 1024};
        setrlimit(RLIMIT_FSIZE, &limit);
        const std::string error = SaveMovie(NoisyFrames(320, 240), 40, {90, 25.0}, movie.string());
        _exit(error.empty() ? 0 : error.find("File too large") != std::string::npos ? 3 : 4);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 3);  // the failure was reported, with the system's reason
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"loop.mp4"});
    EXPECT_EQ(testsupport::ReadFile(movie), (std::vector<uint8_t>{'o', 'l', 'd'}));
}

// Catches frames of another size encoded anyway (stretched or read past their end), a frame
// that cannot be rendered skipped silently, and an empty movie written.
TEST(MovieSavingFailures, BadFramesFailWithTheirReasonAndLeaveNothing) {
    testsupport::TempDir dir;
    const std::string webm = (dir / "loop.webm").string();
    std::string error = SaveMovie(NoisyFrames(33, 17, 3), 6, {90, 10.0}, webm);
    EXPECT_NE(error.find("a frame of 35 x 17 in a movie of 33 x 17"), std::string::npos) << error;
    const MovieFrames failing = [](int index, DicomPicture& picture, std::string& reason) {
        if (index == 2) {
            reason = "IM0003: This file is damaged";
            return false;
        }
        return NoisyFrames(16, 16)(index, picture, reason);
    };
    EXPECT_EQ(SaveMovie(failing, 5, {90, 10.0}, webm), "IM0003: This file is damaged");
    EXPECT_EQ(SaveMovie(NoisyFrames(16, 16), 0, {90, 10.0}, webm), "a movie needs at least one frame");
    EXPECT_NE(SaveMovie(NoisyFrames(16, 16), 2, {90, 0.0}, webm), "");  // no rate is no movie
    EXPECT_TRUE(Names(dir.path()).empty());
    // The good case through the same call, so the failures above are not the writer's only answer.
    EXPECT_EQ(SaveMovie(NoisyFrames(33, 17), 6, {90, 10.0}, webm), "");
    EXPECT_EQ(Names(dir.path()), std::vector<std::string>{"loop.webm"});
}

// Catches a series name that escapes the output folder, hides itself, reads as an option,
// cuts a UTF-8 character in half, or comes out empty.
TEST(SeriesNames, DescriptionsBecomeSafeFileNames) {
    const struct {
        const char* number;
        std::string description;
        const char* uid;
        std::string expected;
    } cases[] = {
        {"3", "Chest/abdomen: arterial", "1.2", "3_Chest_abdomen_arterial"},
        {"", "../../etc/passwd", "1.2", "etc_passwd"},
        {"", "-rf *", "1.2", "rf"},
        {" 12 ", "Thorax \xC3\xA9tude", "1.2", "12_Thorax_\xC3\xA9tude"},
        {"", "", "1.2.840.5", "1.2.840.5"},
        {"", "\\/:*?", "", "series"},
        {"", std::string(119, 'a') + "\xC3\xA9", "1.2", std::string(119, 'a')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.description);
        EXPECT_EQ(convert::SeriesFileName(c.number, c.description, c.uid), c.expected);
    }
}

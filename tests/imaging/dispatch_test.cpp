// Dispatch by format identifier: messages, the probe and its rewinding, Load's fallback and
// Save's all-or-nothing replacement of the target file.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "LfImage.h"
#include "TestSupport.h"

namespace fs = std::filesystem;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

// A 24-bit picture whose pixels are all different.
LfImage Picture(uint32_t width, uint32_t height) {
    LfImage image;
    EXPECT_NE(image.Create(width, height, 24), nullptr);
    for (int32_t y = 0; y < static_cast<int32_t>(height); ++y)
        for (int32_t x = 0; x < static_cast<int32_t>(width); ++x)
            image.SetPixelColor(x, y, LfRgbQuad{static_cast<uint8_t>(x * 20), static_cast<uint8_t>(y * 30),
                                                static_cast<uint8_t>(x + y), 0});
    return image;
}

void ExpectSamePixels(const LfImage& a, const LfImage& b) {
    ASSERT_EQ(a.Width(), b.Width());
    ASSERT_EQ(a.Height(), b.Height());
    for (int32_t y = 0; y < static_cast<int32_t>(a.Height()); ++y)
        for (int32_t x = 0; x < static_cast<int32_t>(a.Width()); ++x)
            ASSERT_EQ(a.PixelColor(x, y, false), b.PixelColor(x, y, false)) << x << "," << y;
}

std::vector<std::string> FolderEntries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
    return names;
}

const std::vector<uint8_t> kJunk = {'n', 'o', 't', ' ', 'a', 'n', ' ', 'i', 'm', 'a', 'g', 'e', 0, 1, 2, 3,
                                    4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19};

}  // namespace

// ---------------------------------------------------------------- messages

TEST(DispatchMessages, PreEncodeCheckNamesWhatIsMissing) {
    LfImage empty;
    LfMemFile stream;
    ASSERT_TRUE(stream.Open());
    EXPECT_TRUE(empty.EncodeSafeCheck(nullptr));
    EXPECT_STREQ(empty.LastError(), "null file handler");
    EXPECT_TRUE(empty.EncodeSafeCheck(&stream));
    EXPECT_STREQ(empty.LastError(), "null image!!!");

    LfImage image = Picture(2, 2);
    image.SetLastError("earlier");
    EXPECT_FALSE(image.EncodeSafeCheck(&stream));
    EXPECT_STREQ(image.LastError(), "earlier");
}

TEST(DispatchMessages, IdentifiersWithoutCodecAreRefused) {
    LfImage image = Picture(2, 2);
    LfMemFile stream;
    ASSERT_TRUE(stream.Open());
    for (uint32_t id : {0u, 16u, 20u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(id);
        image.SetLastError("");
        EXPECT_FALSE(image.Encode(&stream, id));
        EXPECT_STREQ(image.LastError(), "Encode: Unknown format");
    }
    EXPECT_EQ(stream.Size(), 0);
    for (uint32_t id : {16u, 20u, 0xFFFFFFFFu}) {
        SCOPED_TRACE(id);
        image.SetLastError("");
        EXPECT_FALSE(image.Decode(&stream, id));
        EXPECT_STREQ(image.LastError(), "Decode: Unknown or wrong format");
    }
    EXPECT_TRUE(image.IsValid());
}

TEST(DispatchMessages, DecodeWithoutStreamOrHandle) {
    LfImage image;
    EXPECT_FALSE(image.Decode(static_cast<LfFile*>(nullptr), LF_FORMAT_BMP));
    EXPECT_STREQ(image.LastError(), "null file handler");
    image.SetLastError("");
    EXPECT_FALSE(image.Decode(static_cast<FILE*>(nullptr), 0));
    EXPECT_STREQ(image.LastError(), "null file handler");
    image.SetLastError("");
    EXPECT_FALSE(image.Encode(static_cast<FILE*>(nullptr), LF_FORMAT_BMP));
    EXPECT_STREQ(image.LastError(), "null file handler");
}

// ---------------------------------------------------------------- probe

TEST(DispatchProbe, FailedProbeRewindsToWhereItStarted) {
    LfMemFile stream;
    ASSERT_TRUE(stream.Open());
    std::vector<uint8_t> bytes = {'P', 'R', 'E', 'F', 'I', 'X'};
    bytes.insert(bytes.end(), kJunk.begin(), kJunk.end());
    ASSERT_EQ(stream.Write(bytes.data(), 1, bytes.size()), bytes.size());
    ASSERT_TRUE(stream.Seek(6, SEEK_SET));

    LfImage image = Picture(3, 3);
    EXPECT_FALSE(image.Decode(&stream, 0));
    EXPECT_STREQ(image.LastError(), "Decode: Unknown or wrong format");
    EXPECT_EQ(stream.Tell(), 6);
    EXPECT_EQ(image.Width(), 3u);  // a failed decode leaves the picture alone
    EXPECT_EQ(image.NumFrames(), 0);
}

TEST(DispatchProbe, FindsABitmapAfterAPrefix) {
    const LfImage original = Picture(5, 4);
    LfImage source(original);
    LfMemFile stream;
    ASSERT_TRUE(stream.Open());
    ASSERT_EQ(stream.Write("abc", 1, 3), 3u);
    ASSERT_TRUE(source.Encode(&stream, LF_FORMAT_BMP)) << source.LastError();
    ASSERT_TRUE(stream.Seek(3, SEEK_SET));

    LfImage decoded;
    decoded.SetType(LF_FORMAT_PNG);
    ASSERT_TRUE(decoded.Decode(&stream, 0)) << decoded.LastError();
    EXPECT_EQ(decoded.Type(), static_cast<uint32_t>(LF_FORMAT_BMP));
    ExpectSamePixels(decoded, original);
}

TEST(DispatchProbe, EncodingSharesThePixelsAndLeavesTheImageIntact) {
    LfImage image = Picture(4, 4);
    uint8_t* block = image.Block();
    LfMemFile stream;
    ASSERT_TRUE(stream.Open());
    ASSERT_TRUE(image.Encode(&stream, LF_FORMAT_BMP));
    EXPECT_EQ(image.Block(), block);
    EXPECT_GT(stream.Size(), 40 + 4 * 12);
    LfImage empty;
    EXPECT_FALSE(empty.Encode(&stream, LF_FORMAT_BMP));
    EXPECT_STREQ(empty.LastError(), "null image!!!");  // the codec's text reaches the caller
}

TEST(DispatchProbe, HeaderOnlyDecodeGivesTheSizeWithoutPixels) {
    LfImage source = Picture(6, 5);
    LfMemFile stream;
    ASSERT_TRUE(stream.Open());
    ASSERT_TRUE(source.Encode(&stream, LF_FORMAT_BMP));
    ASSERT_TRUE(stream.Seek(0, SEEK_SET));
    LfImage image;
    image.SetEscape(-1);  // the dispatch hands the caller's settings to the codec
    ASSERT_TRUE(image.Decode(&stream, 0)) << image.LastError();
    EXPECT_EQ(image.Width(), 6u);
    EXPECT_EQ(image.Height(), 5u);
    EXPECT_EQ(image.Type(), static_cast<uint32_t>(LF_FORMAT_BMP));
    EXPECT_FALSE(image.IsValid());
}

// ---------------------------------------------------------------- Load

TEST(DispatchLoad, UnopenablePathLeavesTheLastErrorAlone) {
    TempDir dir;
    LfImage image;
    for (uint32_t id : {0u, 1u, 16u}) {
        image.SetLastError("untouched");
        EXPECT_FALSE(image.Load((dir / "missing.bmp").c_str(), id));
        EXPECT_STREQ(image.LastError(), "untouched");
    }
    EXPECT_FALSE(image.Load(nullptr, 0));
}

TEST(DispatchLoad, FailureReportsTheNamedCodecNotTheProbe) {
    TempDir dir;
    const auto path = dir / "junk.bmp";
    WriteFile(path, kJunk);

    LfImage direct;
    LfMemFile stream;
    ASSERT_TRUE(stream.Open());
    ASSERT_EQ(stream.Write(kJunk.data(), 1, kJunk.size()), kJunk.size());
    ASSERT_TRUE(stream.Seek(0, SEEK_SET));
    EXPECT_FALSE(direct.Decode(&stream, LF_FORMAT_BMP));
    const std::string bmpMessage = direct.LastError();
    ASSERT_FALSE(bmpMessage.empty());

    LfImage image;
    EXPECT_FALSE(image.Load(path.c_str(), LF_FORMAT_BMP));
    EXPECT_EQ(image.LastError(), bmpMessage);
    EXPECT_FALSE(image.Load(path.c_str(), 0));
    EXPECT_STREQ(image.LastError(), "Decode: Unknown or wrong format");
}

TEST(DispatchLoad, RoundTripThroughAFileAndTheProbe) {
    TempDir dir;
    const auto path = dir / "picture.bmp";
    LfImage original = Picture(7, 3);
    ASSERT_TRUE(original.Save(path.c_str(), LF_FORMAT_BMP)) << original.LastError();

    LfImage byId;
    ASSERT_TRUE(byId.Load(path.c_str(), LF_FORMAT_BMP)) << byId.LastError();
    ExpectSamePixels(byId, original);

    LfImage probed;
    ASSERT_TRUE(probed.Load(path.c_str(), 0)) << probed.LastError();
    EXPECT_EQ(probed.Type(), static_cast<uint32_t>(LF_FORMAT_BMP));
    ExpectSamePixels(probed, original);

    // A wrong identifier falls back to the probe.
    LfImage wrongId;
    ASSERT_TRUE(wrongId.Load(path.c_str(), LF_FORMAT_NONE));
    EXPECT_EQ(wrongId.Type(), static_cast<uint32_t>(LF_FORMAT_BMP));
}

// ---------------------------------------------------------------- Save

TEST(DispatchSave, FailedSaveKeepsTheExistingFileAndLeavesNothingBehind) {
    TempDir dir;
    const auto path = dir / "result.bmp";
    const std::vector<uint8_t> previous = {'o', 'l', 'd'};
    WriteFile(path, previous);

    LfImage image = Picture(2, 2);
    for (uint32_t id : {0u, 16u}) {
        SCOPED_TRACE(id);
        EXPECT_FALSE(image.Save(path.c_str(), id));
        EXPECT_STREQ(image.LastError(), "Encode: Unknown format");
    }
    LfImage empty;  // the codec itself refuses
    EXPECT_FALSE(empty.Save(path.c_str(), LF_FORMAT_BMP));
    EXPECT_STREQ(empty.LastError(), "null image!!!");

    EXPECT_EQ(ReadFile(path), previous);
    EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"result.bmp"});
}

TEST(DispatchSave, AWriteThatRunsOutOfRoomFailsAndKeepsTheTarget) {
    TempDir dir;
    const auto path = dir / "result.bmp";
    const std::vector<uint8_t> previous = {'o', 'l', 'd'};
    WriteFile(path, previous);

    // A child whose files may not grow past 1000 bytes: the 30 KB bitmap cannot be written.
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1000, 1000};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        LfImage image = Picture(100, 100);
        const bool saved = image.Save(path.c_str(), LF_FORMAT_BMP);
        ::_exit(saved ? 1 : (image.LastError()[0] ? 0 : 2));
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << "1: reported success, 2: no last-error text";
    EXPECT_EQ(ReadFile(path), previous);
    EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{"result.bmp"});
}

TEST(DispatchSave, UnknownIdentifierCreatesNoFile) {
    TempDir dir;
    LfImage image = Picture(2, 2);
    EXPECT_FALSE(image.Save((dir / "new.xyz").c_str(), 0));
    EXPECT_TRUE(FolderEntries(dir.path()).empty());
}

TEST(DispatchSave, MissingFolderFailsWithAReason) {
    TempDir dir;
    LfImage image = Picture(2, 2);
    EXPECT_FALSE(image.Save((dir / "no" / "such.bmp").c_str(), LF_FORMAT_BMP));
    EXPECT_NE(std::string(image.LastError()).find("Save:"), std::string::npos) << image.LastError();
}

TEST(DispatchSave, ReplacesTheTargetAndKeepsItsPermissions) {
    TempDir dir;
    const auto path = dir / "result.bmp";
    WriteFile(path, {'o', 'l', 'd'});
    ASSERT_EQ(::chmod(path.c_str(), 0640), 0);

    LfImage image = Picture(3, 2);
    ASSERT_TRUE(image.Save(path.c_str(), LF_FORMAT_BMP)) << image.LastError();
    EXPECT_GT(ReadFile(path).size(), 54u);
    struct stat st;
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);
    EXPECT_EQ(FolderEntries(dir.path()).size(), 1u);

    // A new file gets the usual permissions, not the private ones of a temporary file.
    const auto fresh = dir / "fresh.bmp";
    ASSERT_TRUE(image.Save(fresh.c_str(), LF_FORMAT_BMP));
    const mode_t mask = ::umask(0);
    ::umask(mask);
    ASSERT_EQ(::stat(fresh.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0666u & ~mask);
}

TEST(DispatchSave, LongFileNamesStillGetATemporaryBesideThem) {
    TempDir dir;
    const std::string name = std::string(250, 'n') + ".bmp";  // at the file-name length limit
    LfImage image = Picture(2, 2);
    ASSERT_TRUE(image.Save((dir / name).c_str(), LF_FORMAT_BMP)) << image.LastError();
    EXPECT_EQ(FolderEntries(dir.path()), std::vector<std::string>{name});
}

// Camera raw adapter: DNG files made at test time decode to what LibRaw's own converter
// dcraw_emu gives (orientation, quality option, layouts); the header-only probe; refusals of
// other files and of saving; truncated, lying and cancelled decodes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LfImagePNG.h"
#include "LfImageRAW.h"
#include "RawTestFiles.h"

namespace fs = std::filesystem;
using peer::Bytes;
using testsupport::ReadFile;
using testsupport::TempDir;

namespace {

// One DNG made in a fresh folder; empty bytes when the maker failed.
struct Dng {
    TempDir dir;
    fs::path path;
    Bytes bytes;
    Dng(int width, int height, const std::string& options = "") : path(dir / "made.dng") {
        if (rawtest::MakeDng(path, width, height, options)) bytes = ReadFile(path);
    }
};

bool DecodeRaw(LfImage& image, const Bytes& bytes, uint32_t quality = 0) {
    image.SetCodecOption(quality, LF_FORMAT_RAW);
    return peer::DecodeBytes(image, bytes, LF_FORMAT_RAW);
}

struct PeerCase {
    const char* name;
    const char* options;  // make_dng.py's
    int quality;          // the RAW codec option
};

class RawPeerFiles : public ::testing::TestWithParam<PeerCase> {};

// Catches rows stored top-down, red and blue exchanged, a row padding error (66 pixels make
// 198 bytes padded to 200), an orientation not applied or a quality option not passed on.
TEST_P(RawPeerFiles, DecodeMatchesTheEnginesOwnConverter) {
    GLINTWISE_NEED_PEER(rawtest::HaveDngMaker(), "python3-tifffile");
    GLINTWISE_NEED_PEER(rawtest::HaveEngineTool(), "dcraw_emu (libraw-bin)");
    GLINTWISE_NEED_PEER(peer::HavePillow(), "python3-pil");
    const PeerCase& c = GetParam();
    Dng dng(66, 50, c.options);
    ASSERT_FALSE(dng.bytes.empty());
    const peer::Rgba expected = rawtest::EngineReference(dng.path, c.quality);
    ASSERT_GT(expected.width, 0u);

    LfImage image;
    ASSERT_TRUE(DecodeRaw(image, dng.bytes, c.quality)) << image.LastError();
    EXPECT_EQ(image.Type(), LF_FORMAT_RAW);
    EXPECT_EQ(image.BitCount(), 24u);
    const peer::Rgba ours = peer::ToRgba(image);
    ASSERT_EQ(ours.width, expected.width);
    ASSERT_EQ(ours.height, expected.height);
    EXPECT_LE(rawtest::MeanError(ours, expected), 3.0);
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, RawPeerFiles,
    ::testing::Values(PeerCase{"bayer_bilinear", "", 0},
                      PeerCase{"quarter_turn_right", "--orientation 6", 0},
                      PeerCase{"quarter_turn_left_ahd", "--orientation 8", 3},
                      PeerCase{"half_turn_ppg_black_level", "--orientation 3 --black 256", 2},
                      PeerCase{"vng", "", 1},
                      PeerCase{"linear_raw", "--kind linear", 0},
                      PeerCase{"monochrome", "--kind mono --orientation 6", 0}),
    [](const auto& info) { return std::string(info.param.name); });

// The probe must not turn the picture or allocate pixels: it reports the sensor's size.
TEST(RawDecode, HeaderOnlyProbeGivesTypeAndSensorSize) {
    GLINTWISE_NEED_PEER(rawtest::HaveDngMaker(), "python3-tifffile");
    Dng dng(66, 50, "--orientation 6");
    ASSERT_FALSE(dng.bytes.empty());
    LfImage image;
    image.SetEscape(-1);
    ASSERT_TRUE(peer::DecodeBytes(image, dng.bytes, LF_FORMAT_RAW)) << image.LastError();
    EXPECT_EQ(image.Type(), LF_FORMAT_RAW);
    EXPECT_EQ(image.Width(), 66u);
    EXPECT_EQ(image.Height(), 50u);
    EXPECT_FALSE(image.IsValid());
    EXPECT_STREQ(image.LastError(), "output dimensions returned");
}

// Offsets inside a raw file count from its own start: a file that begins further into the
// stream must decode the same.
TEST(RawDecode, FileStartingInsideTheStreamDecodes) {
    GLINTWISE_NEED_PEER(rawtest::HaveDngMaker(), "python3-tifffile");
    Dng dng(64, 48);
    ASSERT_FALSE(dng.bytes.empty());
    LfImage plain;
    ASSERT_TRUE(DecodeRaw(plain, dng.bytes));
    Bytes shifted(100 + dng.bytes.size(), 0x55);
    std::copy(dng.bytes.begin(), dng.bytes.end(), shifted.begin() + 100);
    LfMemFile stream(shifted.data(), static_cast<int32_t>(shifted.size()));
    ASSERT_TRUE(stream.Seek(100, SEEK_SET));
    LfImageRAW codec;
    ASSERT_TRUE(codec.Decode(&stream)) << codec.LastError();
    EXPECT_EQ(peer::Snapshot(codec), peer::Snapshot(plain));
}

TEST(RawRefusals, OtherFilesAndSavingFailWithTheirMessages) {
    LfImage small;
    ASSERT_NE(small.Create(3, 2, 24), nullptr);
    const Bytes png = peer::EncodeToBytes(small, LF_FORMAT_PNG);
    ASSERT_FALSE(png.empty());
    struct Case { const char* name; Bytes bytes; };
    for (const Case& c : {Case{"png", png}, Case{"empty", {}}, Case{"text", Bytes(4000, 'x')}}) {
        SCOPED_TRACE(c.name);
        LfImage image;
        EXPECT_FALSE(DecodeRaw(image, c.bytes));
        EXPECT_STREQ(image.LastError(), "LfImageRAW: not a raw image");
    }

    LfMemFile out;
    ASSERT_TRUE(out.Open());
    EXPECT_FALSE(small.Encode(&out, LF_FORMAT_RAW));
    EXPECT_STREQ(small.LastError(), "Save RAW not supported");
    EXPECT_EQ(out.Size(), 0);
    TempDir dir;
    EXPECT_FALSE(small.Save((dir / "x.dng").c_str(), LF_FORMAT_RAW));
    EXPECT_TRUE(fs::is_empty(dir.path()));  // nothing left behind
}

// Truncation anywhere (header, tags, sensor data) is a clear failure with a message, never
// a crash or a picture of zeros reported as decoded.
TEST(RawMalformed, TruncatedFilesFailWithAMessage) {
    GLINTWISE_NEED_PEER(rawtest::HaveDngMaker(), "python3-tifffile");
    Dng dng(64, 48);
    ASSERT_FALSE(dng.bytes.empty());
    for (size_t n = 0; n < dng.bytes.size(); n += n < 600 ? 7 : 211) {
        SCOPED_TRACE(n);
        LfImage image;
        EXPECT_FALSE(DecodeRaw(image, Bytes(dng.bytes.begin(), dng.bytes.begin() + n)));
        EXPECT_STRNE(image.LastError(), "");
    }
}

// A header claiming a sensor far larger than the data present is refused before the engine
// allocates for it; cancelling through the escape field stops the decode.
TEST(RawMalformed, LyingSizeAndCancelFail) {
    GLINTWISE_NEED_PEER(rawtest::HaveDngMaker(), "python3-tifffile");
    for (const char* claim : {"--claim-width 60000 --claim-height 60000",
                              "--claim-width 8000 --claim-height 6000"}) {
        SCOPED_TRACE(claim);
        Dng lying(64, 48, claim);
        ASSERT_FALSE(lying.bytes.empty());
        LfImage image;
        EXPECT_FALSE(DecodeRaw(image, lying.bytes));
        EXPECT_STREQ(image.LastError(), "LfImageRAW: file too short for its sensor size");
        EXPECT_FALSE(image.IsValid());
    }

    Dng dng(64, 48);
    ASSERT_FALSE(dng.bytes.empty());
    LfImage cancelled;
    cancelled.SetEscape(1);
    EXPECT_FALSE(DecodeRaw(cancelled, dng.bytes));
    EXPECT_STREQ(cancelled.LastError(), "Cancelled");
}

}  // namespace

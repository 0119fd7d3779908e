// JPEG-LS pixel data: files DCMTK and GDCM compress at test time from pictures made here and
// from pydicom's test files, against the original's frames (lossless) or GDCM's own decoding
// (near-lossless); pydicom's JPEG-LS file against GDCM; code streams that lie about the picture.
#include "CodestreamFrames.h"
#include "JpegLsDecoder.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace codestreamtest;

constexpr const char* kLossless = "1.2.840.10008.1.2.4.80";
constexpr const char* kNearLossless = "1.2.840.10008.1.2.4.81";

// Catches lost or misplaced samples: wrong component order, planes taken for pixels, the
// sign or high bits of 12-bit samples, frames mixed up.
TEST(JpegLsPeers, LosslessFilesGiveTheOriginalsFrames) {
    GLINTWISE_NEED_PEER(HaveTool("dcmcjpls") && HaveTool("gdcmconv"), "dcmcjpls (dcmtk) and gdcmconv (libgdcm-tools)");
    TempDir tmp;
    for (const fs::path& source : Sources(tmp)) {
        SCOPED_TRACE(source.filename().string());
        std::string why;
        const auto original = ReaderFrames(source, why);
        ASSERT_FALSE(original.empty()) << why;
        for (const std::string command : {"dcmcjpls +el", "gdcmconv --jpegls"}) {
            SCOPED_TRACE(command);
            const fs::path out = tmp / "jls.dcm";
            ASSERT_TRUE(Peer(command + " " + ShellQuote(source.string()) + " " + ShellQuote(out.string())));
            ASSERT_EQ(SyntaxOf(out), kLossless);
            const auto decoded = ReaderFrames(out, why);
            EXPECT_EQ(decoded.size(), original.size()) << why;
            EXPECT_TRUE(decoded == original);
        }
    }
}

// Near-lossless frames must match what GDCM decodes from the same file, within one grey level
// after rendering; a wrong NEAR reconstruction or a dropped colour transform shows here.
TEST(JpegLsPeers, NearLosslessFilesMatchGdcmsDecoding) {
    GLINTWISE_NEED_PEER(HaveTool("dcmcjpls") && HaveTool("gdcmconv"), "dcmcjpls (dcmtk) and gdcmconv (libgdcm-tools)");
    TempDir tmp;
    for (const fs::path& source : Sources(tmp)) {
        SCOPED_TRACE(source.filename().string());
        const fs::path lossy = tmp / "near.dcm", native = tmp / "native.dcm";
        // DCMTK compresses only unsigned samples near-losslessly; GDCM takes the signed ones.
        const bool isSigned = LayoutOf(ReadFile(source)).pixelRepresentation != 0;
        const std::string command = isSigned ? "gdcmconv --jpegls --lossy -e 3 " : "dcmcjpls +en +md 3 ";
        ASSERT_TRUE(Peer(command + ShellQuote(source.string()) + " " + ShellQuote(lossy.string())));
        ASSERT_EQ(SyntaxOf(lossy), kNearLossless);
        ASSERT_TRUE(Peer("gdcmconv --raw " + ShellQuote(lossy.string()) + " " + ShellQuote(native.string())));
        std::string why;
        const auto ours = ReaderFrames(lossy, why);
        const auto peer = ReaderFrames(native, why);
        ASSERT_FALSE(peer.empty()) << why;
        ASSERT_EQ(ours.size(), peer.size()) << why;
        EXPECT_LE(Compare(ours, peer).largest, 1);
    }
}

TEST(JpegLsPeers, PydicomsFileEqualsGdcmsPixels) {
    GLINTWISE_NEED_PEER(!PydicomTestFiles().empty() && HaveGdcmPython(), "python3-pydicom, numpy and python3-gdcm");
    TempDir tmp;
    const fs::path file = PydicomTestFiles() / "MR_small_jpeg_ls_lossless.dcm";
    ASSERT_TRUE(fs::exists(file));
    ASSERT_TRUE(GdcmNative(file, tmp / "native.dcm", tmp));
    std::string why;
    const auto ours = ReaderFrames(file, why);
    ASSERT_FALSE(ours.empty()) << why;
    EXPECT_TRUE(ours == ReaderFrames(tmp / "native.dcm", why));
}

// ---- Code streams that do not fit the data set ----

// A compressed picture made by DCMTK, then its data set or code stream edited.
std::vector<uint8_t> Compressed(const TempDir& tmp, const std::string& kind, const char* options = "+el") {
    WriteFile(tmp / "in.dcm", Picture(kind));
    if (!Peer(std::string("dcmcjpls ") + options + " " + ShellQuote((tmp / "in.dcm").string()) + " " +
              ShellQuote((tmp / "out.dcm").string())))
        return {};
    return ReadFile(tmp / "out.dcm");
}

// Sets the NEAR byte of every scan header.
void SetNear(std::vector<uint8_t>& file, uint8_t near) {
    for (size_t i = 0; i + 4 < file.size(); ++i)
        if (file[i] == 0xFF && file[i + 1] == 0xDA) {
            const size_t components = file[i + 4];
            const size_t at = i + 5 + 2 * components;
            if (at < file.size()) file[at] = near;
        }
}

// Beyond what every code stream decoder refuses, a NEAR value the range cannot hold.
TEST(JpegLsMalformed, CodeStreamsThatLieAreRefusedByName) {
    GLINTWISE_NEED_PEER(HaveTool("dcmcjpls"), "dcmcjpls (dcmtk)");
    TempDir tmp;
    std::vector<LyingDataSet> cases = LyingDataSets("JPEG-LS");
    cases.push_back({"NEAR above half the range", "unsigned8_2frames", [](auto& f) { SetNear(f, 200); }, "frame 0: "});
    ExpectRefusedByName(cases, [&](const char* kind) { return Compressed(tmp, kind); });
}

// Every cut of a code stream is refused without touching the frame buffer: a decoder writing
// a half frame, or reading past the cut (ASan), fails here.
TEST(JpegLsMalformed, EveryTruncationIsRefusedAndWritesNothing) {
    GLINTWISE_NEED_PEER(HaveTool("dcmcjpls"), "dcmcjpls (dcmtk)");
    TempDir tmp;
    for (const char* kind : {"signed12_3frames", "rgb8_planar"}) {
        SCOPED_TRACE(kind);
        const std::vector<uint8_t> file = Compressed(tmp, kind);
        const std::vector<uint8_t> stream = FirstFragment(file);
        ASSERT_FALSE(stream.empty());
        const PixelLayout layout = LayoutOf(file);
        const size_t bytes = layout.frameSamples() * size_t(layout.sampleBytes());
        std::vector<uint8_t> out(bytes, 0xA5);
        std::string error;
        ASSERT_TRUE(DecodeJpegLsFrame(stream.data(), stream.size(), layout, out.data(), error)) << error;
        for (size_t n = 0; n < stream.size(); n += 1 + n / 64) {
            std::vector<uint8_t> cut(stream.begin(), stream.begin() + static_cast<std::ptrdiff_t>(n));
            std::vector<uint8_t> untouched(bytes, 0xA5);
            error.clear();
            EXPECT_FALSE(DecodeJpegLsFrame(cut.data(), cut.size(), layout, untouched.data(), error)) << n;
            EXPECT_FALSE(error.empty());
            EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](uint8_t b) { return b == 0xA5; })) << n;
        }
    }
}

}  // namespace

// JPEG 2000 and HTJ2K pixel data: files GDCM compresses (lossless and lossy) and HTJ2K frames
// OpenJPH makes, at test time from pictures made here and from pydicom's test files, against
// the original's frames or GDCM's decoding; pydicom's JPEG 2000 files against GDCM; code
// streams that lie about the picture, point tiles past it, or are cut.
#include "CodestreamFrames.h"
#include "Jpeg2000FrameDecoder.h"

#include <gtest/gtest.h>

#include <functional>

namespace {

using namespace codestreamtest;

// Lossless frames must be the original's exactly: catches lost sign bits of 12-bit samples,
// an undone (or doubly done) reversible colour transform, planes taken for pixels.
TEST(Jpeg2000Peers, GdcmLosslessFilesGiveTheOriginalsFrames) {
    GLINTWISE_NEED_PEER(HaveTool("gdcmconv"), "gdcmconv (libgdcm-tools)");
    TempDir tmp;
    for (const fs::path& source : Sources(tmp)) {
        SCOPED_TRACE(source.filename().string());
        std::string why;
        const auto original = ReaderFrames(source, why);
        ASSERT_FALSE(original.empty()) << why;
        const fs::path out = tmp / "j2k.dcm";
        ASSERT_TRUE(Peer("gdcmconv --j2k " + ShellQuote(source.string()) + " " + ShellQuote(out.string())));
        ASSERT_EQ(SyntaxOf(out), "1.2.840.10008.1.2.4.90");
        const auto decoded = ReaderFrames(out, why);
        EXPECT_EQ(decoded.size(), original.size()) << why;
        EXPECT_TRUE(decoded == original);
    }
}

// Lossy frames against GDCM's own decoding of the same file, within one level.
TEST(Jpeg2000Peers, GdcmLossyFilesMatchGdcmsDecoding) {
    GLINTWISE_NEED_PEER(HaveTool("gdcmconv"), "gdcmconv (libgdcm-tools)");
    TempDir tmp;
    for (const fs::path& source : Sources(tmp)) {
        SCOPED_TRACE(source.filename().string());
        const fs::path lossy = tmp / "lossy.dcm", native = tmp / "native.dcm";
        ASSERT_TRUE(Peer("gdcmconv --j2k --lossy -q 30 " + ShellQuote(source.string()) + " " + ShellQuote(lossy.string())));
        ASSERT_EQ(SyntaxOf(lossy), "1.2.840.10008.1.2.4.91");
        ASSERT_TRUE(Peer("gdcmconv --raw " + ShellQuote(lossy.string()) + " " + ShellQuote(native.string())));
        std::string why;
        const auto ours = ReaderFrames(lossy, why);
        const auto peer = ReaderFrames(native, why);
        ASSERT_FALSE(peer.empty()) << why;
        ASSERT_EQ(ours.size(), peer.size()) << why;
        EXPECT_LE(Compare(ours, peer).largest, 1);
    }
}

// Each frame of a native file through OpenJPH's compressor (planes of little-endian samples
// in, one code stream per frame out), encapsulated by pydicom under the syntax given; with a
// fifth argument, OpenJPH's decoding of the frames is written there as a native file.
const char* kHtj2k = R"PY(
import os, subprocess, sys, tempfile
import numpy as np
import pydicom
from pydicom.encaps import encapsulate
source, target, syntax, reversible = sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4] == '1'
ds = pydicom.dcmread(source)
rows, cols, spp = int(ds.Rows), int(ds.Columns), int(ds.SamplesPerPixel)
frames = int(ds.get('NumberOfFrames', 1) or 1)
signed = int(ds.PixelRepresentation) == 1
arr = ds.pixel_array.reshape(frames, rows, cols, spp)
stored = int(ds.BitsStored)
if signed:  # sign-extend the stored bits
    arr = ((arr.astype(np.int32) << (32 - stored)) >> (32 - stored))
dtype = ('<i2' if signed else '<u2') if int(ds.BitsAllocated) > 8 else 'u1'
work = tempfile.mkdtemp()
streams, expanded = [], []
for f in range(frames):
    raw, j2c = os.path.join(work, 'f.raw'), os.path.join(work, 'f.j2c')
    np.ascontiguousarray(arr[f].transpose(2, 0, 1)).astype(dtype).tofile(raw)
    cmd = ['ojph_compress', '-i', raw, '-o', j2c, '-dims', '{%d,%d}' % (cols, rows),
           '-num_comps', str(spp), '-signed', ','.join(['true' if signed else 'false'] * spp),
           '-bit_depth', ','.join([str(stored)] * spp), '-downsamp', ','.join(['{1,1}'] * spp),
           '-reversible', 'true' if reversible else 'false']
    if not reversible:
        cmd += ['-qstep', '0.0005']
    subprocess.run(cmd, check=True, stdout=subprocess.DEVNULL)
    streams.append(open(j2c, 'rb').read())
    # OpenJPH's own decoding, planes of samples as they went in.
    subprocess.run(['ojph_expand', '-i', j2c, '-o', raw], check=True, stdout=subprocess.DEVNULL)
    expanded.append(np.fromfile(raw, dtype).reshape(spp, rows, cols).transpose(1, 2, 0))
if len(sys.argv) > 5:
    native = ds.copy()
    native.PixelData = np.ascontiguousarray(np.stack(expanded)).astype(dtype).tobytes()
    native['PixelData'].VR = 'OB' if dtype == 'u1' else 'OW'
    if spp == 3:
        native.PlanarConfiguration = 0
    native.is_implicit_VR = False
    native.is_little_endian = True
    native.save_as(sys.argv[5], write_like_original=False)
ds.PixelData = encapsulate(streams)
ds['PixelData'].VR = 'OB'
ds['PixelData'].is_undefined_length = True
if spp == 3:
    ds.PhotometricInterpretation = 'YBR_RCT' if reversible else 'YBR_ICT'
    ds.PlanarConfiguration = 0
# This pydicom does not know the HTJ2K syntaxes: the file is saved as JPEG 2000 and its
# transfer syntax value written anew, with the meta group's length.
import struct
placeholder = '1.2.840.10008.1.2.4.90'
ds.file_meta.TransferSyntaxUID = placeholder
ds.is_implicit_VR = False
ds.is_little_endian = True
ds.save_as(target, write_like_original=False)
data = bytearray(open(target, 'rb').read())
old = b'\x02\x00\x10\x00UI' + struct.pack('<H', 22) + placeholder.encode()
value = syntax.encode() + (b'\0' if len(syntax) % 2 else b'')
at = data.index(old)
data[at:at + len(old)] = b'\x02\x00\x10\x00UI' + struct.pack('<H', len(value)) + value
group = struct.unpack_from('<I', data, 140)[0]
struct.pack_into('<I', data, 140, group + len(value) - 22)
open(target, 'wb').write(bytes(data))
)PY";

// HTJ2K (the high-throughput block coder) lossless frames must be the original's exactly,
// under both lossless syntaxes; lossy ones within one level of OpenJPH's own decoding.
TEST(Jpeg2000Peers, Htj2kFramesFromOpenJphGiveTheOriginalsFrames) {
    GLINTWISE_NEED_PEER(HaveTool("ojph_compress") && HavePythonModules("pydicom numpy"),
                        "ojph_compress (openjph-tools), python3-pydicom and numpy");
    TempDir tmp;
    WriteFile(tmp / "htj2k.py", std::vector<uint8_t>(kHtj2k, kHtj2k + std::char_traits<char>::length(kHtj2k)));
    for (const fs::path& source : Sources(tmp)) {
        // OpenJPH's raw reader takes no negative samples; the signed 12-bit picture has them.
        if (source.filename() == "signed12_3frames.dcm") continue;
        SCOPED_TRACE(source.filename().string());
        std::string why;
        const auto original = ReaderFrames(source, why);
        ASSERT_FALSE(original.empty()) << why;
        for (const char* syntax : {"1.2.840.10008.1.2.4.201", "1.2.840.10008.1.2.4.202", "1.2.840.10008.1.2.4.203"}) {
            SCOPED_TRACE(syntax);
            const bool lossless = std::string(syntax) != "1.2.840.10008.1.2.4.203";
            const fs::path out = tmp / "htj2k.dcm", expanded = tmp / "expanded.dcm";
            ASSERT_TRUE(Peer(Python() + " " + ShellQuote((tmp / "htj2k.py").string()) + " " + ShellQuote(source.string()) +
                             " " + ShellQuote(out.string()) + " " + syntax + (lossless ? " 1" : " 0 ") +
                             (lossless ? "" : ShellQuote(expanded.string()))));
            const auto decoded = ReaderFrames(out, why);
            ASSERT_EQ(decoded.size(), original.size()) << why;
            if (lossless) EXPECT_TRUE(decoded == original);
            else EXPECT_LE(Compare(decoded, ReaderFrames(expanded, why)).largest, 1);
        }
    }
}

// pydicom's JPEG 2000 files (a JP2 file in place of a code stream, YBR_RCT colour, a code
// stream signed where the data set is not) against GDCM's pixels through pydicom.
class PydicomJpeg2000Files : public ::testing::TestWithParam<std::string> {};

TEST_P(PydicomJpeg2000Files, EqualGdcmsPixels) {
    GLINTWISE_NEED_PEER(!PydicomTestFiles().empty() && HaveGdcmPython(), "python3-pydicom, numpy and python3-gdcm");
    TempDir tmp;
    const fs::path file = PydicomTestFiles() / GetParam();
    ASSERT_TRUE(fs::exists(file));
    ASSERT_TRUE(GdcmNative(file, tmp / "native.dcm", tmp));
    std::string why;
    const auto ours = ReaderFrames(file, why);
    ASSERT_FALSE(ours.empty()) << why;
    const auto peer = ReaderFrames(tmp / "native.dcm", why);
    ASSERT_EQ(ours.size(), peer.size()) << why;
    const Difference d = Compare(ours, peer);
    if (SyntaxOf(file) == "1.2.840.10008.1.2.4.90") EXPECT_EQ(d.largest, 0);
    else EXPECT_LE(d.mean, 2.0);
}

INSTANTIATE_TEST_SUITE_P(Debian, PydicomJpeg2000Files,
                         ::testing::Values("693_J2KI.dcm", "GDCMJ2K_TextGBR.dcm", "J2K_pixelrep_mismatch.dcm",
                                           "JPEG2000.dcm", "MR_small_jp2klossless.dcm"),
                         [](const auto& info) {
                             std::string name = info.param.substr(0, info.param.find('.'));
                             for (char& c : name)
                                 if (!isalnum(static_cast<unsigned char>(c))) c = '_';
                             return name;
                         });

// ---- Code streams that do not fit the data set ----

// pydicom's file whose code stream has item delimiter bytes written over its SIZ segment: the
// stream claims a picture billions of pixels wide; GDCM hands back whatever its buffer held.
TEST(Jpeg2000Malformed, PydicomsOverwrittenSizSegmentIsRefused) {
    GLINTWISE_NEED_PEER(!PydicomTestFiles().empty(), "python3-pydicom's test files");
    const fs::path file = PydicomTestFiles() / "JPEG2000-embedded-sequence-delimiter.dcm";
    ASSERT_TRUE(fs::exists(file));
    DicomReader reader;
    EXPECT_EQ(reader.parse(file.c_str(), 2), -1);
    const std::string& text = reader.refusalText();
    EXPECT_EQ(text.rfind("frame 0: JPEG 2000 code stream of ", 0), 0u) << text;
    EXPECT_NE(text.find(" pixels in a picture of 256 x 1024"), std::string::npos) << text;
}

std::vector<uint8_t> Compressed(const TempDir& tmp, const std::string& kind) {
    WriteFile(tmp / "in.dcm", Picture(kind));
    if (!Peer("gdcmconv --j2k " + ShellQuote((tmp / "in.dcm").string()) + " " + ShellQuote((tmp / "out.dcm").string())))
        return {};
    return ReadFile(tmp / "out.dcm");
}

TEST(Jpeg2000Malformed, CodeStreamsLargerOrWiderThanTheDataSetAreRefusedByName) {
    GLINTWISE_NEED_PEER(HaveTool("gdcmconv"), "gdcmconv (libgdcm-tools)");
    TempDir tmp;
    ExpectRefusedByName(LyingDataSets("JPEG 2000"), [&](const char* kind) { return Compressed(tmp, kind); });
}

// Puts a 32-bit big-endian value into the SIZ segment at the field's offset from its marker.
void PatchSiz(std::vector<uint8_t>& stream, size_t field, uint32_t value) {
    for (size_t i = 0; i + field + 4 <= stream.size(); ++i)
        if (stream[i] == 0xFF && stream[i + 1] == 0x51) {
            for (int b = 0; b < 4; ++b) stream[i + field + b] = uint8_t(value >> (24 - 8 * b));
            return;
        }
}

// A damaged code stream is refused and leaves the frame buffer as it was: a decoder writing
// part of a frame, reading past the data (ASan), or reporting a cut stream as a picture fails.
TEST(Jpeg2000Malformed, DamagedCodeStreamsAreRefusedAndWriteNothing) {
    GLINTWISE_NEED_PEER(HaveTool("gdcmconv"), "gdcmconv (libgdcm-tools)");
    TempDir tmp;
    for (const char* kind : {"signed12_3frames", "rgb8_planar"}) {
        SCOPED_TRACE(kind);
        const std::vector<uint8_t> file = Compressed(tmp, kind);
        const std::vector<uint8_t> stream = FirstFragment(file);
        ASSERT_FALSE(stream.empty());
        const PixelLayout layout = LayoutOf(file);
        const size_t bytes = layout.frameSamples() * size_t(layout.sampleBytes());
        std::string error;
        std::vector<uint8_t> out(bytes);
        ASSERT_TRUE(DecodeJpeg2000Frame(stream.data(), stream.size(), layout, out.data(), error)) << error;

        std::vector<std::pair<std::string, std::vector<uint8_t>>> damaged;
        for (size_t n = 0; n < stream.size(); n += 1 + n / 32)
            damaged.emplace_back("cut at " + std::to_string(n), std::vector<uint8_t>(stream.begin(), stream.begin() + long(n)));
        // SIZ fields: 4 Xsiz, 8 Ysiz, 12 XOsiz, 20 XTsiz, 28 XTOsiz (offsets from the marker + 4).
        auto patched = [&](size_t field, uint32_t value) {
            std::vector<uint8_t> s = stream;
            PatchSiz(s, field, value);
            return s;
        };
        damaged.emplace_back("tile grid starting past the image", patched(4 + 28, 1000));
        damaged.emplace_back("image origin past the tiles", patched(4 + 12, 5000));
        damaged.emplace_back("a picture far wider than the data set", patched(4 + 4, 0x7FFFFFFF));
        damaged.emplace_back("tiles of one pixel that the stream does not hold", patched(4 + 20, 1));
        damaged.emplace_back("not a code stream", std::vector<uint8_t>(stream.begin() + 2, stream.end()));
        for (const auto& [name, data] : damaged) {
            SCOPED_TRACE(name);
            std::vector<uint8_t> untouched(bytes, 0xA5);
            error.clear();
            EXPECT_FALSE(DecodeJpeg2000Frame(data.data(), data.size(), layout, untouched.data(), error));
            EXPECT_FALSE(error.empty());
            EXPECT_TRUE(std::all_of(untouched.begin(), untouched.end(), [](uint8_t b) { return b == 0xA5; }));
        }
    }
}

}  // namespace

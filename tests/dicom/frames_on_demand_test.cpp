// Frames read one at a time from where they lie: the same picture written by pydicom in five
// encodings (each frame read at its own offset, swapped, inflated or decoded), and files
// whose pixel data ends before the frames they announce.
#include "DicomFileBuilder.h"
#include "DicomReader.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace testsupport;
using dicomtest::DicomFileBuilder;

constexpr int kFrames = 5, kRows = 48, kColumns = 63;  // odd columns: frames of odd sample counts

// Writes one picture of kFrames frames in each encoding, and pydicom's own reading of each
// file's samples (u16 little-endian, every frame) beside it as NAME.raw.
const char* kWriteEncodings = R"PY(
import sys, numpy as np, pydicom
from pydicom.dataset import FileDataset, FileMetaDataset
from pydicom.uid import (ExplicitVRLittleEndian, ImplicitVRLittleEndian, ExplicitVRBigEndian,
                         DeflatedExplicitVRLittleEndian, RLELossless, generate_uid)
out, frames, rows, columns = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), int(sys.argv[4])
rng = np.random.default_rng(7)
pixels = rng.integers(0, 65536, size=(frames, rows, columns), dtype=np.uint16)
def dataset(syntax):
    meta = FileMetaDataset()
    meta.MediaStorageSOPClassUID = "1.2.840.10008.5.1.4.1.1.7.3"
    meta.MediaStorageSOPInstanceUID = generate_uid()
    meta.TransferSyntaxUID = syntax
    ds = FileDataset("x", {}, file_meta=meta, preamble=b"\0" * 128)
    ds.is_little_endian = syntax != ExplicitVRBigEndian
    ds.is_implicit_VR = syntax == ImplicitVRLittleEndian
    ds.SOPClassUID = meta.MediaStorageSOPClassUID
    ds.SamplesPerPixel = 1
    ds.PhotometricInterpretation = "MONOCHROME2"
    ds.NumberOfFrames = frames
    ds.Rows, ds.Columns = rows, columns
    ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.PixelRepresentation = 16, 16, 15, 0
    return ds
for name, syntax in [("explicit", ExplicitVRLittleEndian), ("implicit", ImplicitVRLittleEndian),
                     ("bigendian", ExplicitVRBigEndian), ("deflated", DeflatedExplicitVRLittleEndian),
                     ("rle", RLELossless)]:
    ds = dataset(syntax)
    if syntax == RLELossless:
        ds.compress(RLELossless, pixels)
    else:
        ds.PixelData = pixels.astype(">u2" if syntax == ExplicitVRBigEndian else "<u2").tobytes()
        ds["PixelData"].VR = "OW"
    path = out + "/" + name + ".dcm"
    ds.save_as(path, write_like_original=False)
    read = pydicom.dcmread(path).pixel_array.astype("<u2")
    open(out + "/" + name + ".raw", "wb").write(read.tobytes())
)PY";

// Stored values as they are: the whole possible range at 16 bits, one level per value.
GreyRendering Identity() {
    GreyRendering r;
    r.mode = VoiMode::None;
    r.depth = 16;
    return r;
}

std::vector<uint16_t> FrameOf(const std::vector<uint8_t>& raw, int frame) {
    std::vector<uint16_t> words(size_t(kRows) * kColumns);
    std::memcpy(words.data(), raw.data() + size_t(frame) * words.size() * 2, words.size() * 2);
    return words;
}

TEST(FramesOnDemand, FirstMiddleAndLastFrameOfEveryEncodingAsPydicomReadsThem) {
    GLINTWISE_NEED_PEER(HavePythonModules("pydicom numpy"), "python3-pydicom and python3-numpy");
    TempDir dir;
    WriteFile(dir / "write.py", std::vector<uint8_t>(kWriteEncodings, kWriteEncodings + std::strlen(kWriteEncodings)));
    ASSERT_EQ(testsupport::Run(Python() + " " + ShellQuote((dir / "write.py").string()) + " " + ShellQuote(dir.path().string()) + " " +
                  std::to_string(kFrames) + " " + std::to_string(kRows) + " " + std::to_string(kColumns)),
              0);
    const uint64_t frameBytes = uint64_t{kRows} * kColumns * 2;
    for (const char* name : {"explicit", "implicit", "bigendian", "deflated", "rle"}) {
        SCOPED_TRACE(name);
        const fs::path file = dir / (std::string(name) + ".dcm");
        const std::vector<uint8_t> raw = ReadFile(dir / (std::string(name) + ".raw"));
        ASSERT_EQ(raw.size(), frameBytes * kFrames);
        DicomReader reader;
        reader.setRendering(Identity());
        ASSERT_EQ(reader.parse(file.c_str(), 2), 0) << reader.refusalText();
        ASSERT_EQ(reader.frameCount(), kFrames);
        // Backwards as well: a deflated data set is inflated again from its start.
        for (int frame : {kFrames / 2, kFrames - 1, 0, kFrames / 2}) {
            DicomPicture picture;
            ASSERT_TRUE(reader.picture(frame, picture)) << frame << ": " << reader.refusalText();
            EXPECT_EQ(picture.words, FrameOf(raw, frame)) << "frame " << frame << " read from the wrong place";
        }
        // A native frame in the middle costs its own bytes, not those of the frames before it.
        if (std::string(name) != "deflated" && std::string(name) != "rle") {
            DicomReader one;
            one.setRendering(Identity());
            DicomPicture picture;
            ASSERT_EQ(one.parse(file.c_str(), 2), 0);
            ASSERT_TRUE(one.picture(kFrames - 1, picture));
            EXPECT_LE(one.bytesRead(), fs::file_size(file) - (kFrames - 2) * frameBytes) << "frames read that were not asked for";
        }
    }
}

// A grey 16-bit file of 2 x 2 frames (8 bytes each): numbered frames whose samples are the
// frame's number, announcing `announced` frames and holding `held` bytes of pixel data.
std::vector<uint8_t> FramesFile(int announced, int held, uint32_t valueLength) {
    DicomFileBuilder b;
    b.text(0x0028, 0x0008, "IS", std::to_string(announced));
    b.picture(2, 2);
    b.text(0x0028, 0x1050, "DS", "2");
    b.text(0x0028, 0x1051, "DS", "4");
    std::vector<uint8_t> value;
    for (int i = 0; i < held / 2; ++i) value.insert(value.end(), {static_cast<uint8_t>(i / 4), 0});
    std::vector<uint8_t> bytes = b.bytes();
    const uint8_t header[] = {0xE0, 0x7F, 0x10, 0x00, 'O', 'W', 0, 0};
    bytes.insert(bytes.end(), header, header + 8);
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(valueLength >> (8 * i)));
    bytes.insert(bytes.end(), value.begin(), value.end());
    return bytes;
}

// The same data set deflated, the last `cut` bytes of its stream left out.
std::vector<uint8_t> Deflated(const std::vector<uint8_t>& plain, size_t cut) {
    DicomFileBuilder b("1.2.840.10008.1.2.1.99");
    std::vector<uint8_t> file = b.bytes();
    const size_t dataSet = DicomFileBuilder().bytes().size();  // the plain file's meta group ends here
    std::vector<uint8_t> packed(compressBound(static_cast<uLong>(plain.size())) + 64);
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    z.next_in = const_cast<uint8_t*>(plain.data() + dataSet);
    z.avail_in = static_cast<uInt>(plain.size() - dataSet);
    z.next_out = packed.data();
    z.avail_out = static_cast<uInt>(packed.size());
    deflate(&z, Z_FINISH);
    packed.resize(z.total_out);
    deflateEnd(&z);
    packed.resize(packed.size() - cut);
    file.insert(file.end(), packed.begin(), packed.end());
    return file;
}

TEST(FramesOnDemand, FramesThePixelDataLacksFailOneByOne) {
    struct Case {
        const char* fault;
        std::vector<uint8_t> file;
        int frames;                    // frameCount()
        std::vector<int> whole;        // frames that render
        std::vector<std::pair<int, std::string>> missing;  // frame, refusal text
    };
    const std::vector<uint8_t> six = FramesFile(6, 48, 48);
    const std::vector<Case> cases = {
        {"announced frames beyond the value given as pictures, or exit 0 with frames missing",
         FramesFile(6, 24, 24), 6, {0, 1, 2}, {{3, "pixel data ends 8 bytes early"}, {5, "pixel data ends 24 bytes early"}}},
        {"60,000 frames announced over 3 held: every one allocated, or the last read past the end",
         FramesFile(60000, 24, 24), 60000, {0, 2}, {{3, "pixel data ends 8 bytes early"}, {59999, "pixel data ends 479976 bytes early"}}},
        {"a value running past the end of the file refused whole, or read past it",
         FramesFile(6, 28, 48), 6, {0, 1, 2}, {{3, "pixel data ends 4 bytes early"}, {4, "pixel data ends 12 bytes early"}}},
        {"a deflated stream cut short refused whole, or its lost frames taken as read",
         Deflated(six, 4), 6, {0}, {{5, "bytes early"}}},
        {"a deflated data set read wrong when inflated a frame at a time",
         Deflated(six, 0), 6, {0, 3, 5, 1}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        DicomReader reader;
        ASSERT_EQ(reader.parseMemory(c.file.data(), c.file.size(), 2), 0) << reader.refusalText();
        EXPECT_EQ(reader.frameCount(), c.frames);
        for (int frame : c.whole) {
            DicomPicture picture;
            ASSERT_TRUE(reader.picture(frame, picture)) << frame << ": " << reader.refusalText();
            // Window 2/4 over values 0..5: frame f's level is (f - 0) * 255 / 4, clamped.
            const int level = std::min(255, static_cast<int>(frame * 255.0f / 4.0f));
            EXPECT_EQ(picture.bytes, std::vector<uint8_t>(4, static_cast<uint8_t>(level))) << "frame " << frame;
        }
        for (const auto& [frame, text] : c.missing) {
            DicomPicture picture;
            EXPECT_FALSE(reader.picture(frame, picture)) << frame;
            EXPECT_EQ(reader.refusal(), DicomRefusal::Damaged);
            EXPECT_NE(reader.refusalText().find(text), std::string::npos) << frame << ": " << reader.refusalText();
        }
    }
}

TEST(FramesOnDemand, AnEmptyCompressedFrameFailsAloneAndTheOthersDecode) {
    // RLE frames of 2 x 2 8-bit samples: a header naming one segment, then a literal run.
    auto rleFrame = [](uint8_t value) {
        std::vector<uint8_t> f(64, 0);
        f[0] = 1;
        f[4] = 64;
        f.insert(f.end(), {3, value, value, value, value});
        return f;
    };
    DicomFileBuilder b("1.2.840.10008.1.2.5");
    b.text(0x0028, 0x0008, "IS", "3");
    b.picture(2, 2, 8, 7);
    b.text(0x0028, 0x1050, "DS", "127.5");
    b.text(0x0028, 0x1051, "DS", "256");
    std::vector<uint8_t> file = b.bytes();
    const uint8_t header[] = {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    file.insert(file.end(), header, header + sizeof header);
    auto item = [&](uint16_t element, const std::vector<uint8_t>& value) {
        const uint32_t length = static_cast<uint32_t>(value.size());
        file.insert(file.end(), {0xFE, 0xFF, static_cast<uint8_t>(element), static_cast<uint8_t>(element >> 8),
                                 static_cast<uint8_t>(length), static_cast<uint8_t>(length >> 8),
                                 static_cast<uint8_t>(length >> 16), static_cast<uint8_t>(length >> 24)});
        file.insert(file.end(), value.begin(), value.end());
    };
    item(0xE000, {});
    item(0xE000, rleFrame(10));
    item(0xE000, {});  // a frame of 0 bytes
    item(0xE000, rleFrame(200));
    item(0xE0DD, {});
    DicomReader reader;
    ASSERT_EQ(reader.parseMemory(file.data(), file.size(), 2), 0) << reader.refusalText();
    DicomPicture first, last, empty;
    ASSERT_TRUE(reader.picture(2, last)) << reader.refusalText();
    EXPECT_FALSE(reader.picture(1, empty));
    EXPECT_NE(reader.refusalText().find("frame 1"), std::string::npos) << reader.refusalText();
    ASSERT_TRUE(reader.picture(0, first)) << reader.refusalText();
    EXPECT_LT(first.bytes[0], last.bytes[0]) << "a frame decoded from another frame's fragment";
}

}  // namespace

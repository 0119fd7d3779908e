// RLE and JPEG frames against peers: pydicom's compressed test files against pydicom's own
// pixels (GDCM decodes its JPEG, pydicom its RLE), and pictures made here re-encoded with
// DCMTK and GDCM against the original samples (lossless) or GDCM's decode (lossy).
#include "DicomReader.h"
#include "EncapsulatedPixels.h"
#include "ReaderFrames.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace testsupport;
using dicomtest::ReaderFrames;

// dump FILE DIR: writes layout.txt and each frame's compressed bytes.
// compare FILE DIR [REFERENCE]: prints the largest and mean difference between our frames
// in DIR and pydicom's pixels of REFERENCE (FILE itself when absent).
// make KIND FILE: a native picture to re-encode.
const char* kScript = R"PY(
import sys, os, warnings
warnings.simplefilter('ignore')
import numpy as np
import pydicom
from pydicom.pixel_data_handlers import gdcm_handler, numpy_handler, rle_handler
pydicom.config.pixel_data_handlers = [numpy_handler, gdcm_handler, rle_handler]
from pydicom.encaps import generate_pixel_data_frame

mode, path = sys.argv[1], sys.argv[2]
if mode == 'dump':
    ds = pydicom.dcmread(path)
    frames = int(ds.get('NumberOfFrames', 1) or 1)
    with open(os.path.join(sys.argv[3], 'layout.txt'), 'w') as f:
        f.write('%s %d %d %d %d %d %d %d %s\n' % (ds.file_meta.TransferSyntaxUID, ds.Rows, ds.Columns,
                ds.SamplesPerPixel, ds.BitsAllocated, ds.BitsStored, ds.get('PlanarConfiguration', 0), frames,
                ds.get('PhotometricInterpretation', 'MONOCHROME2')))
    for i, data in enumerate(generate_pixel_data_frame(ds.PixelData, frames)):
        open(os.path.join(sys.argv[3], 'frame_%d.bin' % i), 'wb').write(data)
elif mode == 'compare':
    own = pydicom.dcmread(path, stop_before_pixels=True)
    planar = int(own.get('SamplesPerPixel', 1)) == 3 and int(own.get('PlanarConfiguration', 0)) == 1
    ds = pydicom.dcmread(sys.argv[4] if len(sys.argv) > 4 else path)
    arr = ds.pixel_array
    frames = int(ds.get('NumberOfFrames', 1) or 1)
    arr = arr.reshape((frames, -1)).astype(np.int64)
    itemsize = ds.BitsAllocated // 8
    worst, total = 0, 0.0
    for i in range(frames):
        ours = np.frombuffer(open(os.path.join(sys.argv[3], 'ours_%d.bin' % i), 'rb').read(), dtype='<u%d' % itemsize)
        if planar:  # our frames keep the stored planes
            ours = ours.reshape(3, -1).T.reshape(-1)
        if int(ds.PixelRepresentation):
            ours = ours.astype('<i%d' % itemsize)
        diff = np.abs(ours.astype(np.int64) - arr[i])
        worst = max(worst, int(diff.max()))
        total += float(diff.mean()) / frames
    print(worst, total)
else:
    from pydicom.dataset import Dataset, FileMetaDataset
    from pydicom.uid import ExplicitVRLittleEndian, generate_uid
    rng = np.random.default_rng(7)
    y, x = np.mgrid[0:48, 0:64]
    ds = Dataset()
    if mode == 'ct16':      # 12 of 16 bits, two frames: ramps, a sharp disc and noise
        disc = ((x - 30) ** 2 + (y - 20) ** 2 < 150) * 2500
        frames = [(x * 40 + y * 9 + disc + rng.integers(0, 60, x.shape)) % 4096,
                  (4095 - x * 50 + rng.integers(0, 300, x.shape)) % 4096]
        pixels = np.array(frames, dtype='<u2')
        ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.SamplesPerPixel = 16, 12, 11, 1
        ds.PhotometricInterpretation, ds.NumberOfFrames = 'MONOCHROME2', 2
    elif mode == 'grey8':
        pixels = ((x * 3 + y * 2 + rng.integers(0, 20, x.shape)) % 256).astype(np.uint8)
        ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.SamplesPerPixel = 8, 8, 7, 1
        ds.PhotometricInterpretation = 'MONOCHROME2'
    else:                   # rgb8
        pixels = np.stack([x * 4, y * 5, (x + y) * 2 + rng.integers(0, 9, x.shape)], axis=-1).astype(np.uint8)
        ds.BitsAllocated, ds.BitsStored, ds.HighBit, ds.SamplesPerPixel = 8, 8, 7, 3
        ds.PhotometricInterpretation, ds.PlanarConfiguration = 'RGB', 0
    ds.Rows, ds.Columns, ds.PixelRepresentation = 48, 64, 0
    ds.SOPClassUID = '1.2.840.10008.5.1.4.1.1.7'
    ds.SOPInstanceUID = generate_uid()
    ds.Modality = 'OT'
    ds.PixelData = pixels.tobytes()
    ds.file_meta = FileMetaDataset()
    ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
    ds.file_meta.MediaStorageSOPClassUID = ds.SOPClassUID
    ds.file_meta.MediaStorageSOPInstanceUID = ds.SOPInstanceUID
    ds.is_little_endian, ds.is_implicit_VR = True, False
    ds.save_as(path, write_like_original=False)
)PY";

bool HavePeers() { return HavePythonModules("numpy pydicom gdcm"); }

int RunScript(const std::string& args, std::string* out = nullptr) {
    return Run(Python() + " -c " + ShellQuote(kScript) + " " + args + " 2>/dev/null", out);
}

// Decodes every frame of the file with our frame decoder into DIR/ours_N.bin; returns the
// refusal, empty on success.
std::string DecodeFrames(const fs::path& file, const fs::path& dir) {
    if (RunScript("dump " + ShellQuote(file.string()) + " " + ShellQuote(dir.string())) != 0)
        return "pydicom could not split the frames";
    std::ifstream in(dir / "layout.txt");
    std::string uid, photometricText;
    PixelLayout layout;
    int frames = 0;
    in >> uid >> layout.rows >> layout.columns >> layout.samplesPerPixel >> layout.bitsAllocated >>
        layout.bitsStored >> layout.planarConfiguration >> frames >> photometricText;
    layout.highBit = static_cast<uint16_t>(layout.bitsStored - 1);
    std::string error;
    if (!CheckLayout(layout, photometricText, error)) return error;
    ParsePhotometric(photometricText, layout.samplesPerPixel, layout.photometric);
    const TransferSyntax* syntax = FindTransferSyntax(uid);
    const FrameDecoder decoder = syntax ? FindFrameDecoder(*syntax) : nullptr;
    if (!decoder) return "no decoder for " + uid;
    layout = DecodedLayout(*syntax, layout);
    for (int f = 0; f < frames; ++f) {
        const std::vector<uint8_t> bytes = ReadFile(dir / ("frame_" + std::to_string(f) + ".bin"));
        std::vector<uint8_t> samples(layout.frameSamples() * layout.sampleBytes());
        if (!decoder(bytes.data(), bytes.size(), layout, samples.data(), error, 1)) return error;
        WriteFile(dir / ("ours_" + std::to_string(f) + ".bin"), samples);
    }
    return "";
}

struct Difference {
    int worst = -1;
    double mean = 0;
};

Difference Compare(const fs::path& file, const fs::path& dir, const fs::path& reference = {}) {
    std::string out;
    Difference d;
    const std::string ref = reference.empty() ? "" : " " + ShellQuote(reference.string());
    if (RunScript("compare " + ShellQuote(file.string()) + " " + ShellQuote(dir.string()) + ref, &out) != 0) return d;
    std::istringstream(out) >> d.worst >> d.mean;
    return d;
}

struct PeerFile {
    const char* name;
    bool lossless;
    bool readable = true;  // false: a data set the reader refuses for reasons of its own
};

class PydicomCompressedFiles : public ::testing::TestWithParam<PeerFile> {};

// Catches wrong segment or byte order, predictor and colour handling, and frames split wrongly.
TEST_P(PydicomCompressedFiles, EveryFrameMatchesPydicom) {
    GLINTWISE_NEED_PEER(!PydicomTestFiles().empty() && HavePeers(), "python3-pydicom with python3-gdcm");
    const fs::path file = PydicomTestFiles() / GetParam().name;
    GLINTWISE_NEED_PEER(fs::exists(file), file.string());
    TempDir tmp;
    const std::string refusal = DecodeFrames(file, tmp.path());
    ASSERT_EQ(refusal, "");
    const Difference d = Compare(file, tmp.path());
    ASSERT_GE(d.worst, 0) << "pydicom could not compare";
    if (GetParam().lossless) EXPECT_EQ(d.worst, 0);
    else EXPECT_LE(d.mean, 2.0);
    // The whole file through the reader as well: every frame renders.
    if (!GetParam().readable) return;
    DicomReader reader;
    ASSERT_EQ(reader.parse(file.c_str(), 2), 0) << reader.refusalText();
    for (int i = 0; i < reader.frameCount(); ++i) EXPECT_NE(reader.renderFrame(i), nullptr) << i;
}

INSTANTIATE_TEST_SUITE_P(
    Files, PydicomCompressedFiles,
    ::testing::Values(PeerFile{"MR_small_RLE.dcm", true}, PeerFile{"SC_rgb_rle.dcm", true},
                      PeerFile{"SC_rgb_rle_16bit.dcm", true}, PeerFile{"SC_rgb_rle_16bit_2frame.dcm", true},
                      PeerFile{"SC_rgb_rle_2frame.dcm", true}, PeerFile{"SC_rgb_rle_32bit.dcm", true},
                      PeerFile{"SC_rgb_rle_32bit_2frame.dcm", true}, PeerFile{"rtdose_rle.dcm", true},
                      PeerFile{"rtdose_rle_1frame.dcm", true}, PeerFile{"SC_rgb_jpeg_gdcm.dcm", true},
                      PeerFile{"SC_jpeg_no_color_transform.dcm", false},
                      PeerFile{"SC_jpeg_no_color_transform_2.dcm", false}, PeerFile{"SC_rgb_dcmtk_+eb+cr.dcm", false},
                      PeerFile{"SC_rgb_dcmtk_+eb+cy+n1.dcm", false}, PeerFile{"SC_rgb_dcmtk_+eb+cy+n2.dcm", false},
                      PeerFile{"SC_rgb_dcmtk_+eb+cy+np.dcm", false}, PeerFile{"SC_rgb_dcmtk_+eb+cy+s2.dcm", false},
                      PeerFile{"SC_rgb_dcmtk_+eb+cy+s4.dcm", false}, PeerFile{"SC_rgb_jpeg.dcm", false},
                      PeerFile{"SC_rgb_jpeg_app14_dcmd.dcm", false}, PeerFile{"SC_rgb_jpeg_dcmtk.dcm", false},
                      PeerFile{"SC_rgb_jpeg_lossy_gdcm.dcm", false}, PeerFile{"SC_rgb_small_odd_jpeg.dcm", false},
                      PeerFile{"JPGExtended.dcm", false}, PeerFile{"JPEG-lossy.dcm", false}),
    [](const auto& info) {
        std::string name = info.param.name;
        for (char& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });


struct Reencoding {
    const char* command;  // run as: command SOURCE TARGET
    bool lossless;
    bool sixteenBitOnly = false;  // the other predictors once, on the widest picture
};

// Catches every predictor, the point transform, 12-bit precision, multi-frame splitting and
// both RLE writers: re-encodings of pictures made here against the original samples, lossy
// ones against GDCM's own decode within one level.
TEST(CompressedReencodings, EveryReencodingGivesTheOriginalsSamples) {
    GLINTWISE_NEED_PEER(HaveTool("dcmcjpeg") && HaveTool("dcmcrle"), "dcmcjpeg and dcmcrle (dcmtk)");
    GLINTWISE_NEED_PEER(HaveTool("gdcmconv"), "gdcmconv (libgdcm-tools)");
    GLINTWISE_NEED_PEER(HavePeers(), "python3-pydicom with python3-gdcm");
    const std::vector<Reencoding> encodings = {
        {"dcmcrle", true},          {"gdcmconv --rle", true},  {"dcmcjpeg +e1", true},
        {"dcmcjpeg +el +sv 2", true, true}, {"dcmcjpeg +el +sv 3", true, true}, {"dcmcjpeg +el +sv 4", true, true},
        {"dcmcjpeg +el +sv 5", true, true}, {"dcmcjpeg +el +sv 6", true, true}, {"dcmcjpeg +el +sv 7", true},
        {"dcmcjpeg +el +sv 1 +pt 2", false, true}, {"dcmcjpeg +el +sv 7 -ot +fs 1", true, true},
        {"gdcmconv --jpeg --lossless", true}, {"dcmcjpeg +eb", false},
        {"dcmcjpeg +ee", false, true},
    };
    TempDir tmp;
    for (const char* kind : {"ct16", "grey8", "rgb8"}) {
        SCOPED_TRACE(kind);
        const fs::path original = tmp / (std::string(kind) + ".dcm");
        ASSERT_EQ(RunScript(std::string(kind) + " " + ShellQuote(original.string())), 0);
        std::string why;
        const auto originalFrames = ReaderFrames(original, why);
        ASSERT_FALSE(originalFrames.empty()) << why;
        for (const Reencoding& e : encodings) {
            SCOPED_TRACE(e.command);
            const bool sixteen = std::string(kind) == "ct16";
            if (sixteen ? std::string(e.command) == "dcmcjpeg +eb" : e.sixteenBitOnly) continue;
            const fs::path encoded = tmp / "encoded.dcm", raw = tmp / "raw.dcm";
            ASSERT_EQ(testsupport::Run(std::string(e.command) + " " + ShellQuote(original.string()) + " " +
                          ShellQuote(encoded.string()) + " >/dev/null 2>&1"), 0);
            const fs::path frames = tmp / "frames";
            fs::remove_all(frames);
            fs::create_directories(frames);
            ASSERT_EQ(DecodeFrames(encoded, frames), "");
            // Through the whole reader too: fragments found, frames split, pictures unchanged.
            if (e.lossless) {
                EXPECT_TRUE(ReaderFrames(encoded, why) == originalFrames) << why;
            }
            fs::path reference = original;
            if (!e.lossless) {
                ASSERT_EQ(testsupport::Run("gdcmconv --raw " + ShellQuote(encoded.string()) + " " + ShellQuote(raw.string()) +
                              " >/dev/null 2>&1"), 0);
                reference = raw;
            }
            const Difference d = Compare(encoded, frames, reference);
            ASSERT_GE(d.worst, 0);
            EXPECT_LE(d.worst, e.lossless ? 0 : 1);
        }
    }
}

}  // namespace

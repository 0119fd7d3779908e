// Every frame of files in the other encodings against peers: pydicom's colour, multi-frame,
// implicit, big-endian, deflated and 1- and 32-bit files (and a palette file it writes)
// against pydicom's own pixels, and DCMTK re-encodings of one picture against the original.
#include "DicomFileBuilder.h"
#include "DicomReader.h"
#include "ReaderFrames.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace testsupport;
using dicomtest::ReaderFrames;


// Writes every frame's expected RGB bytes and prints "frames rows columns": colour as
// pydicom gives it (YBR through its own conversion, palettes through its lookup, wide
// samples cut to 8 bits), grey through the rescale and the window or the stretch over all
// frames, in single precision as the converter works.
const char* kExpectedFrames = R"PY(
import sys
import numpy as np
import pydicom
from pydicom.pixel_data_handlers.util import convert_color_space, apply_color_lut

ds = pydicom.dcmread(sys.argv[1], force=True)
f32 = np.float32
rows, cols = int(ds.Rows), int(ds.Columns)
arr = ds.pixel_array
pi = str(ds.get('PhotometricInterpretation', 'MONOCHROME2'))
spp = int(ds.get('SamplesPerPixel', 1))
frames = arr.size // (rows * cols * spp)

def first(name, default):
    value = ds.get(name)
    if value is None:
        return default
    if isinstance(value, pydicom.multival.MultiValue):
        value = value[0]
    return f32(str(value))

if pi == 'PALETTE COLOR':
    rgb = apply_color_lut(arr, ds)
    if int(ds.RedPaletteColorLookupTableDescriptor[2]) == 16:
        rgb = rgb >> 8
    out = rgb.astype(np.uint8)
elif spp == 3:
    a = arr.astype(np.int64)
    stored = int(ds.BitsStored)
    if stored > 8:
        a >>= stored - 8
    a = a.astype(np.uint8)
    out = a if pi == 'RGB' else convert_color_space(a, pi, 'RGB')
else:
    bits = int(ds.BitsAllocated)
    high_bit = int(ds.get('HighBit', bits - 1))
    signed = int(ds.get('PixelRepresentation', 0)) != 0
    center, width = first('WindowCenter', f32(0)), first('WindowWidth', f32(0))
    slope, intercept = first('RescaleSlope', f32(1)), first('RescaleIntercept', f32(0))
    rescaled = slope != f32(1) or intercept != f32(0)
    if bits == 32:
        v = arr.astype(np.int64).reshape(-1) & 0xFFFFFFFF
        if high_bit < 31:
            mask = (1 << (high_bit + 1)) - 1
            neg = signed & (((v >> high_bit) & 1) == 1)
            v = np.where(neg, (v & mask) - (mask + 1), v & mask)
        elif signed:
            v = np.where(v >= 1 << 31, v - (1 << 32), v)
        v = v.astype(np.float64)
        if rescaled:
            v = np.trunc(v * float(slope) + float(intercept))
    else:
        stored = arr.astype(np.int64).reshape(-1) & 0xFFFF
        if bits == 8 and signed:
            stored = np.where(stored >= 128, stored | 0xFF00, stored)
        if high_bit < 15:
            mask = (0xFFFF << (high_bit + 1)) & 0xFFFF
            negative = signed & ((stored >> high_bit) & 1 == 1)
            stored = np.where(negative, stored | mask, stored & ~mask & 0xFFFF)
        v = stored.astype(np.uint16).view(np.int16)
        if rescaled:
            scaled = v.astype(f32) * slope + intercept
            v = (np.trunc(scaled).astype(np.int64) & 0xFFFF).astype(np.uint16).view(np.int16)
        v = v.astype(np.float64)
    if center != 0 or width != 0:
        lower = f32(center - width * f32(0.5))
        levels = (v - float(lower)).astype(f32) * f32(f32(255) / width)
    else:
        lo, hi = v.min(), v.max()
        scale = f32(1) if lo == hi else f32(f32(255) / f32(hi - lo))
        levels = (v - lo).astype(f32) * scale
    levels = np.where(np.isnan(levels), f32(0), np.clip(levels, 0, 255)).astype(np.uint8)
    if pi == 'MONOCHROME1':
        levels = 255 - levels
    out = np.repeat(levels[:, None], 3, axis=1)
open(sys.argv[2], 'wb').write(np.ascontiguousarray(out).astype(np.uint8).tobytes())
print(frames, rows, cols)
)PY";

bool HaveOracle() { return !PydicomTestFiles().empty() && HavePythonModules("pydicom numpy"); }

// Compares every frame with pydicom's; YBR pictures may differ by one level (rounding).
void ExpectPeerFrames(const fs::path& file, int tolerance) {
    TempDir tmp;
    WriteFile(tmp / "expected.py", std::vector<uint8_t>(kExpectedFrames, kExpectedFrames + std::strlen(kExpectedFrames)));
    std::string out;
    ASSERT_EQ(testsupport::Run(Python() + " " + ShellQuote((tmp / "expected.py").string()) + " " + ShellQuote(file.string()) +
                      " " + ShellQuote((tmp / "rgb").string()) + " 2>/dev/null",
                  &out),
              0);
    size_t frames = 0, rows = 0, columns = 0;
    std::istringstream(out) >> frames >> rows >> columns;
    const std::vector<uint8_t> expected = ReadFile(tmp / "rgb");
    std::string why;
    const auto ours = ReaderFrames(file, why);
    ASSERT_EQ(ours.size(), frames) << why;
    ASSERT_EQ(expected.size(), frames * rows * columns * 3);
    for (size_t f = 0; f < frames; ++f) {
        SCOPED_TRACE("frame " + std::to_string(f));
        ASSERT_EQ(ours[f].size(), rows * columns * 3);
        size_t off = 0;
        for (size_t i = 0; i < ours[f].size(); ++i)
            if (std::abs(int(ours[f][i]) - int(expected[f * rows * columns * 3 + i])) > tolerance) ++off;
        EXPECT_EQ(off, 0u);
    }
}

class PydicomPeerFiles : public ::testing::TestWithParam<std::string> {};

TEST_P(PydicomPeerFiles, EveryFrameMatchesPydicom) {
    GLINTWISE_NEED_PEER(HaveOracle(), "python3-pydicom with numpy and its test files");
    const fs::path file = PydicomTestFiles() / GetParam();
    ASSERT_TRUE(fs::exists(file)) << file;
    ExpectPeerFrames(file, GetParam().find("ybr") != std::string::npos ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Native, PydicomPeerFiles,
    ::testing::Values("SC_rgb_small_odd.dcm", "SC_ybr_full_422_uncompressed.dcm", "ExplVR_BigEnd.dcm",
                      "rtdose.dcm", "rtdose_1frame.dcm", "rtdose_expb.dcm", "rtdose_expb_1frame.dcm",
                      "liver_1frame.dcm", "liver_expb_1frame.dcm", "MR_small_implicit.dcm",
                      "MR_small_bigendian.dcm", "MR_small_expb.dcm", "image_dfl.dcm", "CT_small.dcm"),
    [](const auto& info) {
        std::string name = info.param.substr(0, info.param.find('.'));
        for (char& c : name)
            if (!isalnum(static_cast<unsigned char>(c))) c = '_';
        return name;
    });

// Palette pictures written by pydicom: 16-bit entries, 8-bit ones, and a segmented table.
const char* kWritePalette = R"PY(
import sys
import numpy as np
import pydicom
from pydicom.dataset import Dataset, FileMetaDataset
from pydicom.uid import ExplicitVRLittleEndian, ImplicitVRLittleEndian

kind = sys.argv[2]
meta = FileMetaDataset()
meta.MediaStorageSOPClassUID = '1.2.840.10008.5.1.4.1.1.7'
meta.MediaStorageSOPInstanceUID = '1.2.3.4'
meta.TransferSyntaxUID = ImplicitVRLittleEndian if kind == 'implicit8' else ExplicitVRLittleEndian
ds = Dataset()
ds.file_meta = meta
ds.SOPClassUID = meta.MediaStorageSOPClassUID
ds.SOPInstanceUID = '1.2.3.4'
ds.Rows, ds.Columns = 33, 47
ds.SamplesPerPixel = 1
ds.PhotometricInterpretation = 'PALETTE COLOR'
ds.BitsAllocated = ds.BitsStored = 16 if kind == 'sixteen' else 8
ds.HighBit = ds.BitsStored - 1
ds.PixelRepresentation = 0
n = 300 if kind == 'sixteen' else 256
first = 10 if kind == 'sixteen' else 0
rng = np.random.default_rng(7)
for name, channel in (('Red', 0), ('Green', 1), ('Blue', 2)):
    if kind == 'sixteen':
        lut = (rng.integers(0, 65536, n)).astype('<u2')
        setattr(ds, name + 'PaletteColorLookupTableDescriptor', [n, first, 16])
        setattr(ds, name + 'PaletteColorLookupTableData', lut.tobytes())
    else:
        lut = (rng.integers(0, 256, n)).astype('<u2')
        setattr(ds, name + 'PaletteColorLookupTableDescriptor', [n, first, 8])
        setattr(ds, name + 'PaletteColorLookupTableData', lut.tobytes())
pix = rng.integers(0, n + 20, (33, 47)).astype('<u2' if ds.BitsAllocated == 16 else 'u1')
ds.PixelData = pix.tobytes()
ds.is_little_endian = True
ds.is_implicit_VR = kind == 'implicit8'
ds.save_as(sys.argv[1], write_like_original=False)
)PY";

TEST(PydicomPalette, EveryPaletteMatchesPydicomsLookup) {
    GLINTWISE_NEED_PEER(HaveOracle(), "python3-pydicom with numpy");
    TempDir tmp;
    WriteFile(tmp / "write.py", std::vector<uint8_t>(kWritePalette, kWritePalette + std::strlen(kWritePalette)));
    for (const char* kind : {"sixteen", "eight", "implicit8"}) {
        SCOPED_TRACE(kind);
        const fs::path file = tmp / (std::string(kind) + ".dcm");
        ASSERT_EQ(testsupport::Run(Python() + " " + ShellQuote((tmp / "write.py").string()) + " " + ShellQuote(file.string()) + " " + kind), 0);
        ExpectPeerFrames(file, 0);
    }
}

// ---- DCMTK re-encodings: every encoding gives exactly the original's frames ----

// Pictures made here in explicit VR little endian, each with an attribute of group 0008 first
// so the data set alone is recognised.
std::vector<uint8_t> Generated(const std::string& kind) {
    dicomtest::DicomFileBuilder b;
    b.text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.7");
    b.text(0x0008, 0x0018, "UI", "1.2.3.4.5");
    uint32_t state = 12345;
    auto next = [&] { return state = state * 1664525u + 1013904223u, static_cast<uint16_t>(state >> 16); };
    if (kind == "signed12_3frames") {
        b.text(0x0028, 0x0008, "IS", "3");
        b.picture(19, 23, 16, 11, 1, "MONOCHROME2");
        std::vector<uint16_t> s(19 * 23 * 3);
        for (uint16_t& v : s) v = next() & 0x0FFF;
        b.pixels16(s);
    } else if (kind == "unsigned8_2frames_window") {
        b.text(0x0028, 0x0008, "IS", "2");
        b.picture(7, 9, 8, 7, 0, "MONOCHROME1");
        b.text(0x0028, 0x1050, "DS", "100");
        b.text(0x0028, 0x1051, "DS", "150");
        std::vector<uint8_t> s(7 * 9 * 2);
        for (uint8_t& v : s) v = static_cast<uint8_t>(next());
        b.pixels8(s);
    } else {  // rgb_planar
        b.us(0x0028, 0x0002, 3).text(0x0028, 0x0004, "CS", "RGB").us(0x0028, 0x0006, 1);
        b.us(0x0028, 0x0010, 5).us(0x0028, 0x0011, 11).us(0x0028, 0x0100, 8);
        b.us(0x0028, 0x0101, 8).us(0x0028, 0x0102, 7).us(0x0028, 0x0103, 0);
        std::vector<uint8_t> s(5 * 11 * 3);
        for (uint8_t& v : s) v = static_cast<uint8_t>(next());
        b.pixels8(s);
    }
    return b.bytes();
}

TEST(DcmtkEncodings, EveryReencodingGivesTheOriginalsFrames) {
    GLINTWISE_NEED_PEER(HaveTool("dcmconv"), "dcmconv (dcmtk)");
    TempDir tmp;
    std::vector<fs::path> sources;
    for (const char* kind : {"signed12_3frames", "unsigned8_2frames_window", "rgb_planar"}) {
        sources.push_back(tmp / (std::string(kind) + ".dcm"));
        WriteFile(sources.back(), Generated(kind));
    }
    if (!PydicomTestFiles().empty())
        for (const char* name : {"CT_small.dcm", "MR_small.dcm"}) sources.push_back(PydicomTestFiles() / name);
    const char* const encodings[] = {"+ti", "+tb", "+td", "-F +ti", "-F +te"};
    for (const fs::path& source : sources) {
        SCOPED_TRACE(source.filename().string());
        std::string why;
        const auto original = ReaderFrames(source, why);
        ASSERT_FALSE(original.empty()) << why;
        for (const char* encoding : encodings) {
            SCOPED_TRACE(encoding);
            const fs::path out = tmp / "reencoded.dcm";
            ASSERT_EQ(testsupport::Run(std::string("dcmconv ") + encoding + " " + ShellQuote(source.string()) + " " +
                          ShellQuote(out.string()) + " 2>/dev/null"),
                      0);
            const auto again = ReaderFrames(out, why);
            EXPECT_EQ(again.size(), original.size()) << why;
            EXPECT_TRUE(again == original);
        }
    }
}

}  // namespace

// Real files from Debian's pydicom test set. pydicom reads the attributes and a small
// numpy computation of the rescale-then-window-or-stretch mapping gives the grey levels
// the reader must produce, pixel for pixel.
#include "DicomFileBuilder.h"
#include "DicomReader.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

namespace {

using namespace testsupport;

// Prints "rows columns center width" and writes the expected first-frame grey levels,
// row by row, to the output file. Single precision throughout, as the converter works.
const char* kExpectedLevels = R"PY(
import sys
import numpy as np
import pydicom

ds = pydicom.dcmread(sys.argv[1])
f32 = np.float32

def first(value, default):
    if value is None:
        return default
    if isinstance(value, pydicom.multival.MultiValue):
        value = value[0]
    return f32(str(value))

center = first(ds.get('WindowCenter'), f32(0))
width = first(ds.get('WindowWidth'), f32(0))
slope = first(ds.get('RescaleSlope'), f32(1))
intercept = first(ds.get('RescaleIntercept'), f32(0))
high_bit = int(ds.HighBit)
signed = int(ds.PixelRepresentation) != 0

# All frames take part in the stretch; pixel_array is (frames, rows, columns) for several.
stored = ds.pixel_array.astype(np.int64).reshape(-1) & 0xFFFF
if high_bit < 15:
    mask = (0xFFFF << (high_bit + 1)) & 0xFFFF
    negative = signed & ((stored >> high_bit) & 1 == 1)
    stored = np.where(negative, stored | mask, stored & ~mask & 0xFFFF)
values = stored.astype(np.uint16).view(np.int16)
if slope != f32(1) or intercept != f32(0):
    scaled = values.astype(f32) * slope + intercept
    values = (np.trunc(scaled).astype(np.int64) & 0xFFFF).astype(np.uint16).view(np.int16)
if center != 0 or width != 0:
    lower = f32(center - width * f32(0.5))
    levels = (values.astype(f32) - lower) * f32(f32(255) / width)
else:
    lo, hi = int(values.min()), int(values.max())
    scale = f32(1) if lo == hi else f32(f32(255) / f32(hi - lo))
    levels = (values.astype(np.int64) - lo).astype(f32) * scale
levels = np.where(np.isnan(levels), f32(0), np.clip(levels, 0, 255)).astype(np.uint8)
frame = levels[: int(ds.Rows) * int(ds.Columns)]
open(sys.argv[2], 'wb').write(frame.tobytes())
print(int(ds.Rows), int(ds.Columns), float(center), float(width))
)PY";

// Reads the file with the reader and compares every pixel with the levels the numpy
// computation gives for it, and the size and window with what pydicom reports.
void ExpectOracleLevels(const fs::path& file) {
    TempDir tmp;
    WriteFile(tmp / "expected.py", std::vector<uint8_t>(kExpectedLevels, kExpectedLevels + std::strlen(kExpectedLevels)));
    std::string out;
    ASSERT_EQ(testsupport::Run(Python() + " " + ShellQuote((tmp / "expected.py").string()) + " " +
                                   ShellQuote(file.string()) + " " + ShellQuote((tmp / "levels").string()),
                               &out),
              0);
    int rows = 0, columns = 0;
    float center = 0, width = 0;
    std::istringstream(out) >> rows >> columns >> center >> width;
    const std::vector<uint8_t> expected = ReadFile(tmp / "levels");

    DicomReader reader;
    GreyFrame* frame = reader.read(file.c_str());
    ASSERT_NE(frame, nullptr) << reader.refusalText();
    EXPECT_EQ(frame->height, rows);
    EXPECT_EQ(frame->width, columns);
    EXPECT_EQ(reader.windowCenter(), center);
    EXPECT_EQ(reader.windowWidth(), width);
    ASSERT_EQ(expected.size(), size_t(rows) * columns);
    size_t differing = 0;
    for (int y = 0; y < rows; ++y)
        for (int x = 0; x < columns; ++x) {
            const uint8_t* p = frame->pixels + y * frame->stride + 3 * x;
            const uint8_t want = expected[size_t(y) * columns + x];
            if (p[0] != want || p[1] != want || p[2] != want) ++differing;
        }
    EXPECT_EQ(differing, 0u);
}

bool HaveOracle() { return !PydicomTestFiles().empty() && HavePythonModules("pydicom numpy"); }

class PydicomFiles : public ::testing::TestWithParam<std::string> {};

TEST_P(PydicomFiles, MatchTheIndependentGreyLevels) {
    GLINTWISE_NEED_PEER(HaveOracle(), "python3-pydicom and python3-numpy");
    const fs::path file = PydicomTestFiles() / GetParam();
    ASSERT_TRUE(fs::exists(file)) << file;
    ExpectOracleLevels(file);
}

INSTANTIATE_TEST_SUITE_P(Accepted, PydicomFiles,
                         ::testing::Values("CT_small.dcm", "MR_small.dcm", "MR_small_padded.dcm"),
                         [](const auto& info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

// Pictures large enough (over 65536 samples) for the conversion's whole-table path, with
// layouts the pydicom files lack: narrow high bits, signed and 8-bit samples, wrapping rescales.
struct GeneratedPicture {
    const char* name;
    uint16_t bitsAllocated, highBit, pixelRepresentation;
    const char* window;  // "centre\\width", or empty
    const char* slope;
    const char* intercept;
};

TEST(PydicomGenerated, MatchTheIndependentGreyLevels) {
    GLINTWISE_NEED_PEER(HaveOracle(), "python3-pydicom and python3-numpy");
    const GeneratedPicture pictures[] = {
        {"signed12_rescaled_stretch", 16, 11, 1, "", "1.5", "-100"},
        {"unsigned12_stretch", 16, 11, 0, "", "1", "0"},
        {"unsigned12_window", 16, 11, 0, "1000\\2500", "1", "0"},
        {"signed16_wrapping_stretch", 16, 15, 1, "", "3", "1000"},
        {"unsigned8_window", 8, 7, 0, "100\\120", "1", "0"},
        {"signed8_stretch", 8, 7, 1, "", "1", "0"},
    };
    TempDir tmp;
    for (const GeneratedPicture& p : pictures) {
        SCOPED_TRACE(p.name);
        const uint16_t rows = 300, columns = 257;
        dicomtest::DicomFileBuilder b;
        b.picture(rows, columns, p.bitsAllocated, p.highBit, p.pixelRepresentation);
        b.text(0x0028, 0x0004, "CS", "MONOCHROME2");
        const std::string window = p.window;
        if (!window.empty()) {
            b.text(0x0028, 0x1050, "DS", window.substr(0, window.find('\\')));
            b.text(0x0028, 0x1051, "DS", window.substr(window.find('\\') + 1));
        }
        b.text(0x0028, 0x1052, "DS", p.intercept);
        b.text(0x0028, 0x1053, "DS", p.slope);
        // Random samples, all bits set at random, so the sign step has work to do.
        uint32_t state = 2463534242u;
        auto next = [&] { return state = state * 1664525u + 1013904223u, static_cast<uint16_t>(state >> 16); };
        if (p.bitsAllocated == 16) {
            std::vector<uint16_t> samples(size_t(rows) * columns);
            for (uint16_t& v : samples) v = next();
            b.pixels16(samples);
        } else {
            std::vector<uint8_t> samples(size_t(rows) * columns);
            for (uint8_t& v : samples) v = static_cast<uint8_t>(next());
            b.pixels8(samples);
        }
        const fs::path file = tmp / (std::string(p.name) + ".dcm");
        WriteFile(file, b.bytes());
        ExpectOracleLevels(file);
    }
}

struct RefusedFile {
    const char* name;
    DicomRefusal kind;
};

TEST(PydicomRefused, CompressedDamagedAndPicturelessFilesAreRefused) {
    const fs::path dir = PydicomTestFiles();
    GLINTWISE_NEED_PEER(!dir.empty(), "python3-pydicom");
    const RefusedFile files[] = {
        {"ExplVR_LitEndNoMeta.dcm", DicomRefusal::NoPixelData},
        {"ExplVR_BigEndNoMeta.dcm", DicomRefusal::NotDicom},
        {"no_meta_group_length.dcm", DicomRefusal::NoPixelData},  // read without its group length: no pixels
        {"meta_missing_tsyntax.dcm", DicomRefusal::Damaged},
        {"MR_truncated.dcm", DicomRefusal::Damaged},
        {"waveform_ecg.dcm", DicomRefusal::NoPixelData},
        {"rtplan.dcm", DicomRefusal::NoPixelData},
        {"test-SR.dcm", DicomRefusal::NoPixelData},
    };
    for (const RefusedFile& f : files) {
        SCOPED_TRACE(f.name);
        ASSERT_TRUE(fs::exists(dir / f.name));
        DicomReader reader;
        EXPECT_EQ(reader.read((dir / f.name).c_str()), nullptr);
        EXPECT_EQ(reader.refusal(), f.kind) << reader.refusalText();
    }
    // Refusals name what is missing in words a person understands.
    DicomReader reader;
    EXPECT_EQ(reader.read((dir / "rtplan.dcm").c_str()), nullptr);
    EXPECT_EQ(reader.refusalText(), "no pixel data (RT Plan Storage)");
}

}  // namespace

// Shared by the JPEG-LS and JPEG 2000 frame tests: pictures made here in explicit VR little
// endian, every frame as the reader renders it, and the peers that compress and decompress.
#pragma once
#include "DicomFileBuilder.h"
#include "DicomReader.h"
#include "ReaderFrames.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <cstdlib>
#include <iterator>
#include <string>
#include <vector>

namespace codestreamtest {

using namespace testsupport;
using dicomtest::ReaderFrames;


// The picture kinds made here: grey of several depths, signs and frame counts, and colour
// stored pixel by pixel and plane by plane. Noisy ramps, so both smooth and busy areas code.
inline const std::vector<std::string>& PictureKinds() {
    static const std::vector<std::string> kinds = {"signed12_3frames", "unsigned16_full", "unsigned8_2frames",
                                                   "rgb8", "rgb8_planar"};
    return kinds;
}

inline std::vector<uint8_t> Picture(const std::string& kind) {
    dicomtest::DicomFileBuilder b;
    // UIDs are padded with a zero byte, which GDCM insists on.
    auto uid = [&](uint16_t element, std::string value) {
        value.resize((value.size() + 1) / 2 * 2, '\0');
        b.shortElement(0x0008, element, "UI", std::vector<uint8_t>(value.begin(), value.end()));
    };
    // Multi-frame pictures name a multi-frame class, or GDCM will not write them.
    const bool several = kind.find("frames") != std::string::npos;
    uid(0x0016, !several ? "1.2.840.10008.5.1.4.1.1.7"
                         : kind.find("8_") != std::string::npos ? "1.2.840.10008.5.1.4.1.1.7.2" : "1.2.840.10008.5.1.4.1.1.7.3");
    uid(0x0018, "1.2.3.4.5");
    uint32_t state = 2024;
    auto noise = [&] { return state = state * 1664525u + 1013904223u, static_cast<uint16_t>(state >> 16); };
    const bool colour = kind.rfind("rgb", 0) == 0;
    const uint16_t rows = colour ? 21 : 37, columns = colour ? 30 : 45;
    const int frames = kind.find("3frames") != std::string::npos ? 3 : kind.find("2frames") != std::string::npos ? 2 : 1;
    const bool is12 = kind == "signed12_3frames", is8 = colour || kind == "unsigned8_2frames";
    // Attributes in ascending order, as every peer wants them.
    b.us(0x0028, 0x0002, colour ? 3 : 1).text(0x0028, 0x0004, "CS", colour ? "RGB" : "MONOCHROME2");
    if (colour) b.us(0x0028, 0x0006, kind.find("planar") != std::string::npos ? 1 : 0);
    if (frames > 1) b.text(0x0028, 0x0008, "IS", std::to_string(frames));
    b.us(0x0028, 0x0010, rows).us(0x0028, 0x0011, columns).us(0x0028, 0x0100, is8 ? 8 : 16);
    b.us(0x0028, 0x0101, is8 ? 8 : is12 ? 12 : 16).us(0x0028, 0x0102, is8 ? 7 : is12 ? 11 : 15);
    b.us(0x0028, 0x0103, is12 ? 1 : 0);
    if (colour) {
        std::vector<uint8_t> s(size_t(rows) * columns * 3);
        for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>(i / 3 + (noise() & 15));
        return b.pixels8(s).bytes();
    }
    if (is8) {
        std::vector<uint8_t> s(size_t(rows) * columns * frames);
        for (size_t i = 0; i < s.size(); ++i) s[i] = static_cast<uint8_t>(i % columns * 5 + (noise() & 7));
        return b.pixels8(s).bytes();
    }
    std::vector<uint16_t> s(size_t(rows) * columns * frames);
    for (size_t i = 0; i < s.size(); ++i)
        s[i] = is12 ? static_cast<uint16_t>((int(i % columns) * 80 - 1800 + (noise() & 63)) & 0x0FFF)
                    : static_cast<uint16_t>(i * 37 + (noise() & 255));
    return b.pixels16(s).bytes();
}

// Every picture kind written into tmp, then pydicom's CT and MR files when installed: the
// sources the code stream tests re-encode.
inline std::vector<fs::path> Sources(const TempDir& tmp) {
    std::vector<fs::path> sources;
    for (const std::string& kind : PictureKinds()) {
        sources.push_back(tmp / (kind + ".dcm"));
        WriteFile(sources.back(), Picture(kind));
    }
    if (!PydicomTestFiles().empty())
        for (const char* name : {"CT_small.dcm", "MR_small.dcm"}) sources.push_back(PydicomTestFiles() / name);
    return sources;
}

// Runs a peer command and says whether it succeeded; its output goes nowhere.
inline bool Peer(const std::string& command) { return testsupport::Run(command + " >/dev/null 2>&1") == 0; }

// Writes the data set's value of a US attribute anew (the first element with that tag).
inline bool PatchUs(std::vector<uint8_t>& file, uint16_t group, uint16_t element, uint16_t value) {
    const uint8_t tag[] = {uint8_t(group), uint8_t(group >> 8), uint8_t(element), uint8_t(element >> 8), 'U', 'S', 2, 0};
    for (size_t i = 132; i + sizeof tag + 2 <= file.size(); ++i)
        if (std::equal(tag, tag + sizeof tag, file.begin() + static_cast<std::ptrdiff_t>(i))) {
            file[i + 8] = uint8_t(value);
            file[i + 9] = uint8_t(value >> 8);
            return true;
        }
    return false;
}

// The largest difference and the mean difference between two sets of frames of equal size.
struct Difference {
    int largest = 0;
    double mean = 0;
};
inline Difference Compare(const std::vector<std::vector<uint8_t>>& a, const std::vector<std::vector<uint8_t>>& b) {
    Difference d;
    size_t n = 0;
    double sum = 0;
    for (size_t f = 0; f < a.size() && f < b.size(); ++f)
        for (size_t i = 0; i < a[f].size() && i < b[f].size(); ++i) {
            const int diff = std::abs(int(a[f][i]) - int(b[f][i]));
            d.largest = std::max(d.largest, diff);
            sum += diff;
            ++n;
        }
    d.mean = n ? sum / double(n) : 0;
    return d;
}

// Decompresses a file with GDCM through pydicom and writes it back as native explicit VR
// little endian, the data set's attributes kept (colour transforms come out as RGB), so the
// reader's native path, itself checked against pydicom, renders the peer's pixels.
inline const char* kGdcmNative = R"PY(
import sys, warnings
import numpy as np
import pydicom
from pydicom.pixel_data_handlers import gdcm_handler
from pydicom.uid import ExplicitVRLittleEndian
warnings.simplefilter('ignore')
pydicom.config.pixel_data_handlers = [gdcm_handler]
ds = pydicom.dcmread(sys.argv[1])
# The handler sets the pixel representation to the code stream's; the data set's is kept.
representation = ds.PixelRepresentation
arr = ds.pixel_array
ds.PixelRepresentation = representation
dtype = {8: 'u1', 16: '<u2', 32: '<u4'}[int(ds.BitsAllocated)]
if str(ds.PhotometricInterpretation) in ('YBR_RCT', 'YBR_ICT'):
    ds.PhotometricInterpretation = 'RGB'
if int(ds.SamplesPerPixel) == 3:
    ds.PlanarConfiguration = 0
ds.PixelData = arr.astype(dtype.replace('u', 'i') if arr.dtype.kind == 'i' else dtype).tobytes()
ds['PixelData'].VR = 'OB' if int(ds.BitsAllocated) == 8 else 'OW'
ds.file_meta.TransferSyntaxUID = ExplicitVRLittleEndian
ds.is_implicit_VR = False
ds.is_little_endian = True
ds.save_as(sys.argv[2], write_like_original=False)
)PY";

inline bool HaveGdcmPython() { return HavePythonModules("pydicom numpy gdcm"); }

inline bool GdcmNative(const fs::path& in, const fs::path& out, const TempDir& tmp) {
    const fs::path script = tmp / "gdcm_native.py";
    if (!fs::exists(script))
        WriteFile(script, std::vector<uint8_t>(kGdcmNative, kGdcmNative + std::char_traits<char>::length(kGdcmNative)));
    return Peer(Python() + " " + ShellQuote(script.string()) + " " + ShellQuote(in.string()) + " " +
                ShellQuote(out.string()));
}

// A data set edited to disagree with its code stream, and the start of the refusal it gets.
struct LyingDataSet {
    const char* name;
    const char* kind;  // the picture of PictureKinds() that is compressed and then edited
    std::function<void(std::vector<uint8_t>&)> edit;
    std::string refusal;
};

// The disagreements every code stream decoder must refuse by name; `codec` is how its
// refusals name the stream ("JPEG-LS", "JPEG 2000"). Each would have the decoder write past
// the frame, mix up samples or wrap values.
inline std::vector<LyingDataSet> LyingDataSets(const std::string& codec) {
    const std::string stream = "frame 0: " + codec + " code stream of ";
    return {
        {"more rows than the data set", "unsigned8_2frames", [](auto& f) { PatchUs(f, 0x0028, 0x0010, 36); },
         stream + "45 x 37 pixels in a picture of 45 x 36"},
        {"more columns than the data set", "signed12_3frames", [](auto& f) { PatchUs(f, 0x0028, 0x0011, 44); },
         stream + "45 x 37 pixels in a picture of 44 x 37"},
        {"more components than samples", "rgb8", [](auto& f) { PatchUs(f, 0x0028, 0x0002, 1); },
         stream + "3 components in a picture of 1 samples per pixel"},
        {"samples wider than allocated", "unsigned16_full",
         [](auto& f) { PatchUs(f, 0x0028, 0x0100, 8); PatchUs(f, 0x0028, 0x0101, 8); PatchUs(f, 0x0028, 0x0102, 7); },
         stream + "16-bit samples in 8 bits allocated"},
    };
}

// Each case, on the file `compress` makes of its picture, is refused with its reason and
// leaves no frame.
template <class Compress>
void ExpectRefusedByName(const std::vector<LyingDataSet>& cases, Compress compress) {
    for (const LyingDataSet& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<uint8_t> file = compress(c.kind);
        ASSERT_FALSE(file.empty());
        c.edit(file);
        DicomReader reader;
        EXPECT_EQ(reader.parseMemory(file.data(), file.size(), 2), -1);
        EXPECT_EQ(reader.frame(), nullptr);
        EXPECT_EQ(reader.refusalText().rfind(c.refusal, 0), 0u) << reader.refusalText();
    }
}

}  // namespace codestreamtest

namespace codestreamtest {

// The transfer syntax of a file as the reader sees it; empty when it cannot be read at all.
inline std::string SyntaxOf(const fs::path& file) {
    DicomReader reader;
    reader.parse(file.c_str(), 2);
    return reader.transferSyntax();
}

// The first fragment of the file's encapsulated pixel data: the first frame's code stream when
// each frame has one fragment, as the peers write them. Empty when there is none.
inline std::vector<uint8_t> FirstFragment(const std::vector<uint8_t>& file) {
    const uint8_t start[] = {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    auto at = std::search(file.begin(), file.end(), std::begin(start), std::end(start));
    if (at == file.end()) return {};
    size_t i = static_cast<size_t>(at - file.begin()) + sizeof start;
    auto u32 = [&](size_t p) { return uint32_t(file[p]) | uint32_t(file[p + 1]) << 8 | uint32_t(file[p + 2]) << 16 | uint32_t(file[p + 3]) << 24; };
    for (int item = 0; item < 2; ++item) {
        if (i + 8 > file.size()) return {};
        const uint32_t length = u32(i + 4);
        if (item == 1) {
            if (i + 8 + length > file.size()) return {};
            return {file.begin() + static_cast<std::ptrdiff_t>(i + 8), file.begin() + static_cast<std::ptrdiff_t>(i + 8 + length)};
        }
        i += 8 + length;  // the basic offset table
    }
    return {};
}

// The layout a picture kind has, for calling a decoder directly.
inline PixelLayout LayoutOf(const std::vector<uint8_t>& file) {
    DicomReader reader;
    PixelLayout l;
    if (reader.parseMemory(file.data(), file.size(), 2) != 0 && reader.rows() == 0) return l;
    l.rows = reader.rows();
    l.columns = reader.columns();
    l.samplesPerPixel = reader.samplesPerPixel();
    l.bitsAllocated = reader.bitsAllocated();
    l.bitsStored = reader.bitsStored();
    l.highBit = reader.highBit();
    l.pixelRepresentation = reader.pixelRepresentation();
    ParsePhotometric(reader.photometricInterpretation(), l.samplesPerPixel, l.photometric);
    return l;
}

}  // namespace codestreamtest

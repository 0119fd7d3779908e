// The format registry is the one description of every format: these tests walk its rows and
// check that the extension map, the dispatch, the probe and the converter's format list all
// follow it, so a row added or changed cannot leave one of them behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "Conversion.h"
#include "ConvertJob.h"
#include "ConvertOptions.h"
#include "DicomPictures.h"
#include "LfFormatRegistry.h"
#include "TestSupport.h"
#include "TinyDicom.h"

namespace {

std::string Upper(std::string text) {
    for (char& c : text) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

const uint8_t kPngSignature[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};

// A small colour picture every writing codec can take (or refuse with its own reason).
LfImage MakePicture() {
    LfImage image;
    image.Create(7, 5, 24, LF_FORMAT_BMP);
    for (uint32_t y = 0; y < 5; ++y)
        for (uint32_t x = 0; x < 7; ++x)
            image.SetPixelColor(x, y, LfRgbQuad{uint8_t(30 * x), uint8_t(40 * y), 200, 0});
    return image;
}

}  // namespace

// Catches an extension the registry names that FindType does not map (or maps elsewhere),
// and input-only hints leaking into the save names.
TEST(RegistryWalk, FindTypeMapsEverySaveExtensionAndNoInputHint) {
    for (const LfFormatInfo& row : LfFormats()) {
        for (const LfSaveName& name : row.saveExtensions) {
            const std::string& ext = name.ext;
            SCOPED_TRACE(ext);
            EXPECT_EQ(FindType("/tmp/out/picture." + ext), row.id);
            EXPECT_EQ(FindType("/tmp/out/picture." + Upper(ext)), row.id);
        }
        for (const std::string& ext : row.inputExtensions) {
            SCOPED_TRACE(ext);
            if (LfFormatForExtension(ext) == LF_FORMAT_UNKNOWN) {
                EXPECT_EQ(FindType("a." + ext), 0u);
            }
        }
    }
    EXPECT_EQ(FindType("a.raw"), 0u);  // offered by the window, but no identifier
}

// Catches a dispatch that serves a format without a codec row, or one that never reaches the
// codec a row names.
TEST(RegistryWalk, DispatchRunsExactlyTheCodecsOfTheRows) {
    for (uint32_t id = 0; id <= 20; ++id) {
        SCOPED_TRACE(id);
        const LfFormatInfo* row = LfFindFormat(id);
        LfImage image = MakePicture();
        LfMemFile out;
        const bool encoded = image.Encode(&out, id);
        if (!row || !row->codec.encode) {
            EXPECT_FALSE(encoded);
            EXPECT_STREQ(image.LastError(), "Encode: Unknown format");
        } else if (!encoded) {
            EXPECT_STRNE(image.LastError(), "Encode: Unknown format");  // the codec's own reason
        }
        LfMemFile empty;
        LfImage decoded;
        EXPECT_FALSE(decoded.Decode(&empty, id));
        if (!row || !row->codec.decode || id == LF_FORMAT_UNKNOWN) {
            EXPECT_STREQ(decoded.LastError(), "Decode: Unknown or wrong format");
        }
        EXPECT_EQ(LfImage::FormatSlot(id) != 0, row != nullptr);
    }
}

// Catches a probe order that differs from the documented one, and a probed family (the JPEG 2000
// class serves five identifiers) tried more than once.
TEST(RegistryWalk, ProbeOrderIsTheDocumentedOne) {
    const std::vector<uint32_t> documented = {
        LF_FORMAT_BMP, LF_FORMAT_JPG, LF_FORMAT_ICO, LF_FORMAT_GIF, LF_FORMAT_PNG,
        LF_FORMAT_TIF, LF_FORMAT_MNG, LF_FORMAT_TGA, LF_FORMAT_PCX, LF_FORMAT_WBMP,
        LF_FORMAT_WMF, LF_FORMAT_JP2, LF_FORMAT_SKA, LF_FORMAT_RAW};
    std::vector<uint32_t> probed;
    for (const LfFormatInfo& row : LfFormats())
        if (row.probed) probed.push_back(row.id);
    EXPECT_EQ(probed, documented);
}

// Catches a format whose files the probe gives to another codec first: everything a row's
// codec writes under each of its save extensions must come back as that format.
TEST(RegistryWalk, WhatEachCodecWritesIsFoundByTheProbe) {
    testsupport::TempDir dir;
    for (const LfFormatInfo& row : LfFormats()) {
        if (!row.writes || !row.codec.encode) continue;
        for (const LfSaveName& name : row.saveExtensions) {
            const std::string& ext = name.ext;
            SCOPED_TRACE(ext);
            LfImage image = MakePicture();
            const std::string path = (dir / ("picture." + ext)).string();
            if (!SaveResultImage(path, image)) {
                EXPECT_STRNE(image.LastError(), "Encode: Unknown format");
                continue;  // the codec refuses this picture for a reason of its own
            }
            LfImage loaded;
            ASSERT_TRUE(loaded.Load(path.c_str(), LF_FORMAT_UNKNOWN)) << loaded.LastError();
            // The MNG writer's single picture carries the PNG signature: it is a PNG file.
            const std::vector<uint8_t> bytes = testsupport::ReadFile(path);
            const bool isPng = bytes.size() > 8 && std::equal(kPngSignature, kPngSignature + 8, bytes.begin());
            EXPECT_EQ(loaded.Type(), isPng ? uint32_t{LF_FORMAT_PNG} : row.id);
            EXPECT_EQ(loaded.Width(), 7u);
            EXPECT_EQ(loaded.Height(), 5u);
        }
    }
}

// Catches a format the converter cannot be asked for, or a name it accepts that no row or
// window entry stands behind.
TEST(RegistryWalk, ConverterFormatListFollowsTheRegistry) {
    const std::vector<std::string> accepted = convert::AcceptedFormats();
    for (const LfFormatInfo& row : LfFormats()) {
        if (!row.writes) continue;
        bool offered = false;
        for (const LfSaveName& name : row.saveExtensions)
            offered = offered || convert::IsAcceptedFormat(name.ext);
        EXPECT_TRUE(offered) << row.name;
    }
    const std::vector<std::string> window = LfWindowTargets();
    for (const std::string& name : accepted) {
        const bool inWindow = std::find(window.begin(), window.end(), name) != window.end();
        EXPECT_TRUE(inWindow || LfFormatForExtension(name) != 0) << name;
    }
}

// Catches a grey column the converter ignores (a grey CT saved as three equal channels, or a
// colour-only name such as ppm given one channel) and a DICOM option column that is not
// applied: the rows that have one must keep every grey level of a noisy picture.
TEST(RegistryWalk, GreyAndDicomOptionColumnsDecideWhatTheConverterWrites) {
    testsupport::TempDir dir;
    std::vector<uint16_t> samples(48 * 32);
    for (size_t i = 0; i < samples.size(); ++i) samples[i] = static_cast<uint16_t>((i * 2654435761u) >> 20);
    testsupport::WriteFile(dir / "noisy.dcm", tinydicom::Make(48, 32, samples));
    DicomPicture picture;
    PictureFailure failure;
    ASSERT_TRUE(ReadDicomPicture((dir / "noisy.dcm").string(), 0, GreyRendering{}, true, picture, failure));
    LfImage expected;
    ASSERT_TRUE(PictureToImage(picture, GreyPixels::OneChannel, expected));

    for (const LfFormatInfo& row : LfFormats()) {
        // Movies are written, never read back: ffprobe and ffmpeg check them (cli_movies).
        if (!row.writes || !row.reads) continue;
        for (const LfSaveName& name : row.saveExtensions) {
            SCOPED_TRACE(name.ext);
            const std::string out = (dir / ("out." + name.ext)).string();
            const convert::JobResult result = convert::ConvertOne({(dir / "noisy.dcm").string(), "noisy.dcm", out, ""}, {});
            if (!result.ok) {
                EXPECT_FALSE(name.holdsGrey) << "a name that holds grey refused it: " << result.text;
                continue;
            }
            LfImage written;
            ASSERT_TRUE(written.Load(out.c_str(), row.id)) << written.LastError();
            EXPECT_EQ(written.BitCount(), name.holdsGrey ? 8u : 24u);
            if (row.dicomOption == 0) continue;
            for (uint32_t y = 0; y < 32; ++y)
                for (uint32_t x = 0; x < 48; ++x)
                    ASSERT_EQ(written.PixelColor(x, y, false).red, expected.PixelColor(x, y, false).red) << x << "," << y;
        }
    }
}

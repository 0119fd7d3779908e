// The format registry is the one description of every format: these tests walk its rows and
// check that the extension map, the dispatch, the probe and the converter's format list all
// follow it, so a row added or changed cannot leave one of them behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <string>
#include <vector>

#include "Conversion.h"
#include "ConvertOptions.h"
#include "LfFormatRegistry.h"
#include "TestSupport.h"

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
        for (const std::string& ext : row.saveExtensions) {
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
        for (const std::string& ext : row.saveExtensions) {
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
        for (const std::string& ext : row.saveExtensions)
            offered = offered || convert::IsAcceptedFormat(ext);
        EXPECT_TRUE(offered) << row.name;
    }
    for (const std::string& name : accepted) {
        const bool inWindow = std::find(kTargetFormats, kTargetFormats + kTargetFormatCount, name) !=
                              kTargetFormats + kTargetFormatCount;
        EXPECT_TRUE(inWindow || LfFormatForExtension(name) != 0) << name;
    }
}

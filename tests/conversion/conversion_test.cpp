// The work behind the window's buttons: format from a file name, output names, folder
// handling, frame to image, preview fitting and saving.
#include <gtest/gtest.h>


#include <cstring>
#include <filesystem>

#include "Conversion.h"
#include "DicomPictures.h"
#include "LfFormatRegistry.h"
#include "PreviewFit.h"
#include "TestSupport.h"

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;
namespace fs = std::filesystem;

TEST(FindTypeTable, EveryExtensionMapsToItsFormat) {
    const struct { const char* ext; uint32_t type; } rows[] = {
        {"bmp", 1},  {"gif", 2},  {"jpg", 3},  {"jpeg", 3}, {"jpe", 3},  {"png", 4},
        {"ico", 5},  {"tiff", 6}, {"tif", 6},  {"tga", 7},  {"pcx", 8},  {"wbmp", 9},
        {"wmf", 10}, {"emf", 10}, {"jp2", 11}, {"j2k", 11}, {"jpc", 12}, {"j2c", 12},
        {"pgx", 13}, {"pnm", 14}, {"pgm", 14}, {"ppm", 14}, {"ras", 15}, {"mng", 17},
        {"jng", 17}, {"ska", 18}, {"raw", 0},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.ext);
        EXPECT_EQ(FindType(std::string("/tmp/out/picture.") + row.ext), row.type);
    }
}

TEST(FindTypeTable, CaseAndOddNames) {
    EXPECT_EQ(FindType("/tmp/SCAN.PNG"), 4u);
    EXPECT_EQ(FindType("Scan.TiF"), 6u);
    EXPECT_EQ(FindType("/tmp/scan"), 0u);            // no extension
    EXPECT_EQ(FindType("/tmp/data.old/scan"), 0u);   // the only dot is in a folder name
    EXPECT_EQ(FindType("/tmp/data.old/scan.jpg"), 3u);
    EXPECT_EQ(FindType("/tmp/scan."), 0u);           // empty extension
    EXPECT_EQ(FindType("archive.png.gz"), 0u);       // only the last extension counts
    EXPECT_EQ(FindType(""), 0u);
    EXPECT_EQ(FindType("/tmp/scan.pngx"), 0u);
}

// The window's 24 names in their old order, then gif, ico and the movies.
TEST(TargetFormats, WindowOrderThenGifIcoAndMovies) {
    const char* expected[] = {"bmp", "jpg", "jpeg", "jpe", "png", "tiff", "tif", "tga",
                              "pcx", "wbmp", "wmf", "emf", "jp2", "j2c", "jpc", "pgx",
                              "pnm", "pgm", "ppm", "ras", "mng", "jng", "ska", "raw", "gif", "ico", "mp4", "webm"};
    const std::vector<std::string> targets = LfWindowTargets();
    ASSERT_EQ(targets.size(), std::size(expected));
    for (size_t i = 0; i < targets.size(); ++i) EXPECT_EQ(targets[i], expected[i]);
    // Only raw has no format of its own among the targets.
    int unwritable = 0;
    for (const std::string& ext : targets) unwritable += FindType("a." + ext) == 0;
    EXPECT_EQ(unwritable, 1);
}

TEST(FormatDirPaths, AbsoluteNormalWithOneTrailingSlash) {
    EXPECT_EQ(FormatDir("/tmp/a/./b/../c"), "/tmp/a/c/");
    EXPECT_EQ(FormatDir("/tmp/a/"), "/tmp/a/");
    EXPECT_EQ(FormatDir("/"), "/");
    EXPECT_EQ(FormatDir(""), "");  // nothing to resolve: unchanged
    const fs::path before = fs::current_path();
    EXPECT_EQ(FormatDir("rel/dir"), (before / "rel/dir").string() + "/");
    EXPECT_EQ(fs::current_path(), before) << "the working directory must not move";
}

TEST(BatchOutputNames, BaseNameOfTheLastComponent) {
    EXPECT_EQ(BatchOutputPath("/out", "/in/a.dcm", "png"), "/out/a.png");
    EXPECT_EQ(BatchOutputPath("/out/", "/in/a.dicom", "png"), "/out/a.png");  // a.dcm collides
    EXPECT_EQ(BatchOutputPath("/out", "/in/IM0001", "bmp"), "/out/IM0001.bmp");
    EXPECT_EQ(BatchOutputPath("/out", "/in/a.b.dcm", "jpg"), "/out/a.b.jpg");
    EXPECT_EQ(BatchOutputPath("/out", "/in.d/IM0001", "tif"), "/out/IM0001.tif");
    EXPECT_EQ(BatchOutputPath("/out/x/..", "/in/a.dcm", "raw"), "/out/a.raw");
}

TEST(BatchListing, RegularFilesOnlySortedByNameAbsolute) {
    TempDir dir;
    for (const char* name : {"b.dcm", "a.dicom", "a.dcm", "IM0001", "Z"})
        WriteFile(dir / name, {1, 2, 3});
    fs::create_directory(dir / "sub.dcm");
    WriteFile(dir / "sub.dcm" / "inner.dcm", {1});
    const std::string root = dir.path().string() + "/";
    const std::vector<std::string> expected = {root + "IM0001", root + "Z", root + "a.dcm",
                                               root + "a.dicom", root + "b.dcm"};
    EXPECT_EQ(ListBatchFiles(dir.path().string()), expected);
    EXPECT_EQ(ListBatchFiles(root + "./"), expected);
    EXPECT_TRUE(ListBatchFiles(root + "missing").empty());
    EXPECT_TRUE(ListBatchFiles(root + "Z").empty());  // a file is no folder
}

// A picture of 3 x 2 grey pixels with distinct rows: 10 on top, 20 below.
static DicomPicture TwoRowPicture() {
    DicomPicture picture;
    picture.width = 3;
    picture.height = 2;
    picture.bytes = {10, 10, 10, 20, 20, 20};
    return picture;
}

TEST(PictureToImageCopy, TopRowOfThePictureBecomesTheImagesTopRow) {
    LfImage image;
    ASSERT_TRUE(PictureToImage(TwoRowPicture(), GreyPixels::ThreeChannels, image));
    EXPECT_EQ(image.Width(), 3u);
    EXPECT_EQ(image.Height(), 2u);
    EXPECT_EQ(image.BitCount(), 24u);
    EXPECT_EQ(image.Type(), 1u);
    // Row 0 is the bottom row in the image object.
    EXPECT_EQ(image.Row(1)[0], 10);
    EXPECT_EQ(image.Row(1)[8], 10);
    EXPECT_EQ(image.Row(0)[0], 20);
    EXPECT_EQ(image.Row(0)[8], 20);
}

// Catches a copy that trusts a picture whose sizes do not fit its buffer.
TEST(PictureToImageCopy, MalformedPicturesLeaveNoPicture) {
    LfImage image;
    ASSERT_TRUE(PictureToImage(TwoRowPicture(), GreyPixels::OneChannel, image));
    DicomPicture shortRows = TwoRowPicture(), twoSamples = TwoRowPicture(), noWords = TwoRowPicture(),
                 negative = TwoRowPicture();
    shortRows.bytes.pop_back();
    negative.height = -2;
    twoSamples.samples = 2;
    noWords.bits = 16;
    for (const DicomPicture& bad : {shortRows, twoSamples, noWords, negative, DicomPicture{}}) {
        EXPECT_FALSE(PictureToImage(bad, GreyPixels::OneChannel, image));
        EXPECT_FALSE(image.IsValid()) << "a refused picture must not leave the old one behind";
    }
}

// Catches a grey target missed (three times the bytes) or a colour one given a grey picture
// (colours lost): the target decides by its name, ppm staying colour under PNM's identifier.
TEST(PictureToImageCopy, GreyTargetsGetOneChannelColourPicturesKeepThree) {
    const DicomPicture grey = TwoRowPicture();
    DicomPicture colour = grey;
    colour.samples = 3;
    colour.bytes = {10, 0, 0, 10, 0, 0, 10, 0, 0, 20, 0, 0, 20, 0, 0, 20, 0, 0};
    struct Case { const char* name; uint32_t greyBits; };
    for (const Case& c : std::vector<Case>{{"a.png", 8}, {"a.BMP", 8}, {"a.tif", 8}, {"a.tiff", 8},
                                           {"a.jpg", 8}, {"a.pgm", 8}, {"a.pnm", 8}, {"a.pgx", 8},
                                           {"a.jp2", 8}, {"a.j2c", 8}, {"a.jpc", 8}, {"a.gif", 8}, {"a.ppm", 24},
                                           {"a.tga", 24}, {"a.pcx", 24}, {"a.ras", 24}, {"a.mng", 24}}) {
        SCOPED_TRACE(c.name);
        LfImage image;
        ASSERT_TRUE(PictureToImage(grey, c.name, image));
        EXPECT_EQ(image.BitCount(), c.greyBits);
        EXPECT_EQ(image.PixelColor(2, 1, false).red, 10);  // top row, whatever the depth
        ASSERT_TRUE(PictureToImage(colour, c.name, image));
        // GIF's colour pictures are quantised: a table that holds the two colours exactly.
        EXPECT_EQ(image.BitCount(), std::string(c.name) == "a.gif" ? 8u : 24u);
        EXPECT_EQ(image.PixelColor(2, 1, false).red, 10);
        EXPECT_EQ(image.PixelColor(2, 1, false).blue, 0);
    }
}

// A 402 x 302 label holds 400 x 300 inside its frame. Catches a side that overflows the
// label, a small picture left small, smoothing where pixels must stay square, and a thin
// picture fitted to nothing.
TEST(PreviewFitting, FitsBothWaysAndKeepsEnlargedPixelsSquare) {
    const struct {
        uint32_t width, height;
        int32_t labelWidth, labelHeight;
        int32_t shownWidth, shownHeight;
        bool enlarged, nearest;
    } cases[] = {
        {512, 512, 402, 302, 300, 300, false, false},
        {1024, 256, 402, 302, 400, 100, false, false},
        {300, 900, 402, 302, 100, 300, false, false},
        {200, 100, 402, 302, 400, 200, true, false},     // twice: smooth
        {64, 64, 402, 302, 300, 300, true, true},        // 4.7 times: nearest pixel
        {100, 75, 402, 302, 400, 300, true, true},       // exactly 4 times
        {400, 300, 402, 302, 400, 300, false, false},    // already fits: not resampled
        {2048, 2048, 1602, 1002, 1000, 1000, false, false},
        {1, 100000, 402, 302, 1, 300, false, false},     // never truncated to nothing
        {100000, 1, 402, 302, 400, 1, false, false},
        {0, 0, 402, 302, 0, 0, false, false},            // the empty image
        {512, 512, 2, 2, 512, 512, false, false},        // a label with no inside
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        const PreviewSize fit = FitPreview(c.width, c.height, c.labelWidth, c.labelHeight);
        EXPECT_EQ(fit.width, c.shownWidth);
        EXPECT_EQ(fit.height, c.shownHeight);
        EXPECT_EQ(fit.resampled, fit.width != static_cast<int32_t>(c.width) || fit.height != static_cast<int32_t>(c.height));
        EXPECT_EQ(fit.enlarged, c.enlarged);
        EXPECT_EQ(fit.nearest, c.nearest);
    }
}

TEST(SaveResult, ExtensionChoosesTheFormatAndFailuresWriteNothing) {
    LfImage image;
    ASSERT_TRUE(PictureToImage(TwoRowPicture(), GreyPixels::ThreeChannels, image));
    TempDir dir;

    ASSERT_TRUE(SaveResultImage((dir / "upper.BMP").string(), image));
    std::vector<uint8_t> bmp = ReadFile(dir / "upper.BMP");
    ASSERT_GE(bmp.size(), 2u);
    EXPECT_EQ(bmp[0], 'B');
    EXPECT_EQ(bmp[1], 'M');

    for (const char* name : {"noext", "picture.raw", "picture.xyz"}) {
        SCOPED_TRACE(name);
        EXPECT_FALSE(SaveResultImage((dir / name).string(), image));
        EXPECT_FALSE(fs::exists(dir / name)) << "a refused save leaves no file behind";
    }
    // A failed save over an existing file keeps that file.
    WriteFile(dir / "keep.raw", {7, 7, 7});
    EXPECT_FALSE(SaveResultImage((dir / "keep.raw").string(), image));
    EXPECT_EQ(ReadFile(dir / "keep.raw"), (std::vector<uint8_t>{7, 7, 7}));

    LfImage empty;
    EXPECT_FALSE(SaveResultImage((dir / "empty.bmp").string(), empty));
    EXPECT_FALSE(fs::exists(dir / "empty.bmp"));
}

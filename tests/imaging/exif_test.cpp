// EXIF reader: the record filled from directories in both byte orders, value conversions and
// fallbacks, hostile offsets, counts and links, the section walk (comments, padding, too many
// sections), writing the EXIF block back on encode, and agreement with exiftool on camera
// files and on files exiftool wrote.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "JpegTestFiles.h"
#include "LfExifReader.h"
#include "LfImageJPG.h"
#include "TestSupport.h"

namespace {

using namespace jpegtest;
using namespace testsupport;

constexpr uint16_t kMake = 0x010F, kModel = 0x0110, kOrientation = 0x0112, kXRes = 0x011A, kYRes = 0x011B,
                   kResUnit = 0x0128, kThumbOffset = 0x0201, kThumbLength = 0x0202, kExposure = 0x829A,
                   kFNumber = 0x829D, kExifIfd = 0x8769, kProgram = 0x8822, kIso = 0x8827, kVersion = 0x9000,
                   kDateTime = 0x9003, kCompression = 0x9102, kShutter = 0x9201, kAperture = 0x9202,
                   kBrightness = 0x9203, kBias = 0x9204, kMaxAperture = 0x9205, kDistance = 0x9206,
                   kMetering = 0x9207, kWhiteBalance = 0x9208, kFlash = 0x9209, kFocal = 0x920A,
                   kUserComment = 0x9286, kExifWidth = 0xA002, kExifHeight = 0xA003, kInterop = 0xA005,
                   kPlaneX = 0xA20E, kPlaneY = 0xA20F, kPlaneUnit = 0xA210;

// Parses a block from an exactly sized heap copy, so a read past its end is caught.
struct Parsed {
    bool ok = false;
    std::string error;
    LfExifInfo info{};
};

Parsed Parse(const Bytes& block) {
    auto copy = std::make_unique<uint8_t[]>(block.size() ? block.size() : 1);
    if (!block.empty()) std::memcpy(copy.get(), block.data(), block.size());
    Parsed p;
    LfExifReader reader(&p.info);
    p.ok = reader.ParseExif(copy.get(), static_cast<uint32_t>(block.size()));
    p.error = reader.LastError();
    p.info.thumbnailPointer = nullptr;  // points into the copy, gone after this call
    return p;
}

// A camera-like block: IFD0 with the EXIF sub-directory, and IFD1 carrying a thumbnail.
TiffBuilder CameraBlock(bool bigEndian) {
    TiffBuilder t(bigEndian);
    const int ifd0 = t.AddDirectory();
    const int exif = t.AddDirectory();
    const int ifd1 = t.AddDirectory();
    t.Ascii(ifd0, kMake, "Glintwise Optics");
    t.Ascii(ifd0, kModel, "Model X-100");
    t.Short(ifd0, kOrientation, 6);
    t.Rational(ifd0, kXRes, 72, 1);
    t.Rational(ifd0, kYRes, 144, 2);
    t.Short(ifd0, kResUnit, 2);
    t.Link(ifd0, kExifIfd, exif);
    t.Next(ifd0, ifd1);
    // The thumbnail's own resolution and orientation must not replace the picture's.
    t.Rational(ifd1, kXRes, 96, 1);
    t.Short(ifd1, kResUnit, 3);
    t.Short(ifd1, kOrientation, 1);
    t.Rational(exif, kExposure, 1, 60);
    t.Rational(exif, kFNumber, 28, 10);
    t.Short(exif, kIso, 400);
    t.Undefined(exif, kVersion, {'0', '2', '3', '0'});
    t.Ascii(exif, kDateTime, "2024:01:02 03:04:05");
    t.Short(exif, kFlash, 0x19);
    t.Rational(exif, kFocal, 35, 1);
    t.Rational(exif, kDistance, 5, 2);
    t.SRational(exif, kBias, -1, 3);
    t.Short(exif, kWhiteBalance, 1);
    t.Short(exif, kMetering, 5);
    t.Short(exif, kProgram, 2);
    t.Rational(exif, kCompression, 4, 1);
    t.SRational(exif, kBrightness, 7, 2);
    t.Long(exif, kExifWidth, 3000);
    t.Long(exif, kExifHeight, 2000);
    t.Rational(exif, kPlaneX, 1000, 1);
    t.Rational(exif, kPlaneY, 1000, 1);
    t.Short(exif, kPlaneUnit, 2);
    Bytes comment = {'A', 'S', 'C', 'I', 'I', 0, 0, 0, 'H', 'e', 'l', 'l', 'o', ' ', ' ', ' '};
    t.Undefined(exif, kUserComment, comment);
    return t;
}

class ExifByteOrder : public ::testing::TestWithParam<bool> {};

TEST_P(ExifByteOrder, FillsTheRecord) {
    TiffBuilder t = CameraBlock(GetParam());
    // A 6-byte thumbnail right behind the TIFF data; IFD1's two entries add 24 bytes to it.
    const int ifd1 = 2;
    const uint32_t thumbOffset = static_cast<uint32_t>(t.Tiff().size()) + 24;
    t.Long(ifd1, kThumbOffset, thumbOffset);
    t.Long(ifd1, kThumbLength, 6);
    Bytes block = t.ExifBlock();
    block.insert(block.end(), {0xFF, 0xD8, 1, 2, 0xFF, 0xD9});

    auto copy = std::make_unique<uint8_t[]>(block.size());
    std::memcpy(copy.get(), block.data(), block.size());
    LfExifInfo info{};
    LfExifReader reader(&info);
    ASSERT_TRUE(reader.ParseExif(copy.get(), static_cast<uint32_t>(block.size()))) << reader.LastError();
    EXPECT_STREQ(info.cameraMake, "Glintwise Optics");
    EXPECT_STREQ(info.cameraModel, "Model X-100");
    EXPECT_STREQ(info.dateTime, "2024:01:02 03:04:05");
    EXPECT_STREQ(info.version, "0230");
    EXPECT_EQ(info.orientation, 6);
    EXPECT_FLOAT_EQ(info.xResolution, 72.0f);
    EXPECT_FLOAT_EQ(info.yResolution, 72.0f);
    EXPECT_FLOAT_EQ(info.resolutionUnit, 1.0f);
    EXPECT_FLOAT_EQ(info.exposureTime, 1.0f / 60);
    EXPECT_FLOAT_EQ(info.apertureFNumber, 2.8f);
    EXPECT_EQ(info.isoEquivalent, 400);
    EXPECT_EQ(info.flashUsed, 1);
    EXPECT_FLOAT_EQ(info.focalLength, 35.0f);
    EXPECT_FLOAT_EQ(info.distance, 2.5f);
    EXPECT_FLOAT_EQ(info.exposureBias, -1.0f / 3);
    EXPECT_FLOAT_EQ(info.brightness, 3.5f);
    EXPECT_EQ(info.whiteBalance, 1);
    EXPECT_EQ(info.meteringMode, 5);
    EXPECT_EQ(info.exposureProgram, 2);
    EXPECT_EQ(info.compressionLevel, 4);
    EXPECT_FLOAT_EQ(info.focalPlaneXRes, 1000.0f);
    EXPECT_FLOAT_EQ(info.focalPlaneUnits, 1.0f);
    EXPECT_FLOAT_EQ(info.ccdWidth, 3.0f);  // 3000 pixels x 1 inch / 1000 pixels per inch
    EXPECT_STREQ(info.comments, "Hello");
    ASSERT_EQ(info.thumbnailSize, 6);
    ASSERT_NE(info.thumbnailPointer, nullptr);
    EXPECT_EQ(info.thumbnailPointer[0], 0xFF);
    EXPECT_EQ(info.thumbnailPointer[1], 0xD8);
}

INSTANTIATE_TEST_SUITE_P(BothOrders, ExifByteOrder, ::testing::Values(false, true));

TEST(ExifValues, FallbacksUnitsAndOddFormats) {
    TiffBuilder t(false);
    const int d = t.AddDirectory();
    t.SRational(d, kShutter, 6, 1);      // exposure 1/64 when no exposure time is given
    t.Rational(d, kAperture, 4, 1);      // f/4 when no f-number is given
    t.Short(d, kIso, 2);                 // old cameras: multiples of 200
    t.Short(d, kResUnit, 3);             // centimetres
    t.Short(d, kPlaneUnit, 9);           // unknown unit leaves the field alone
    t.Raw(d, kFocal, 11, 1, t.U32(0x40490FDB));             // float pi
    t.Raw(d, kDistance, 12, 1, {0, 0, 0, 0, 0, 0, 0x24, 0x40});  // double 10.0
    t.Raw(d, kMetering, 6, 1, {0xFE});                       // signed byte -2
    t.Ascii(d, kMake, std::string(50, 'M'));                 // longer than the record holds
    t.Raw(d, kModel, 2, 3, {'A', 'B', 'C'});                 // no NUL, inside the entry
    t.Short(d, kOrientation, 9);
    const Parsed p = Parse(t.ExifBlock());
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_FLOAT_EQ(p.info.exposureTime, 1.0f / 64);
    EXPECT_FLOAT_EQ(p.info.apertureFNumber, 4.0f);
    EXPECT_EQ(p.info.isoEquivalent, 400);
    EXPECT_FLOAT_EQ(p.info.resolutionUnit, 0.3937007874f);
    EXPECT_FLOAT_EQ(p.info.focalPlaneUnits, 0.0f);
    EXPECT_FLOAT_EQ(p.info.focalLength, 3.14159274f);
    EXPECT_FLOAT_EQ(p.info.distance, 10.0f);
    EXPECT_EQ(p.info.meteringMode, -2);
    EXPECT_EQ(std::string(p.info.cameraMake), std::string(31, 'M'));
    EXPECT_STREQ(p.info.cameraModel, "ABC");
    // An undefined rotation is noted but does not fail the block.
    EXPECT_EQ(p.info.orientation, 0);
    EXPECT_EQ(p.error, "Undefined rotation value");
}

TEST(ExifValues, ExposureTimeAndFNumberWinOverApexValues) {
    TiffBuilder t(true);
    const int d = t.AddDirectory();
    t.Rational(d, kExposure, 1, 250);
    t.SRational(d, kShutter, 2, 1);
    t.Rational(d, kFNumber, 8, 1);
    t.Rational(d, kMaxAperture, 2, 1);
    const Parsed p = Parse(t.ExifBlock());
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_FLOAT_EQ(p.info.exposureTime, 1.0f / 250);
    EXPECT_FLOAT_EQ(p.info.apertureFNumber, 8.0f);
}

// ---------------------------------------------------------------------------------------------
// Hostile blocks: each is refused with its message, and nothing is read outside the block.

struct Hostile {
    const char* name;
    Bytes block;
    const char* error;
};

std::vector<Hostile> HostileBlocks() {
    std::vector<Hostile> cases;
    auto add = [&](const char* name, const TiffBuilder& t, const char* error) { cases.push_back({name, t.ExifBlock(), error}); };
    {
        Bytes b = TiffBuilder(false).ExifBlock();
        b[4] = 'x';
        cases.push_back({"header", b, "Incorrect Exif header"});
    }
    {
        TiffBuilder t(false);
        t.AddDirectory();
        Bytes b = t.ExifBlock();
        b[6] = 'X';
        cases.push_back({"alignment", b, "Invalid Exif alignment marker."});
        b = t.ExifBlock();
        b[8] = 43;
        cases.push_back({"magic", b, "Invalid Exif start (1)"});
        cases.push_back({"too short", Bytes(b.begin(), b.begin() + 9), "Incorrect Exif header"});
    }
    {
        TiffBuilder t(false);
        t.Literal(t.AddDirectory(), kMake, 2, 16, 0xFFFFFFF0);
        add("value offset past the end", t, "Illegal pointer offset value in EXIF.");
    }
    {
        // 2^29 rationals are 2^32 bytes: a 32-bit product would wrap to 0.
        TiffBuilder t(true);
        t.Literal(t.AddDirectory(), kXRes, 5, 0x20000000, 8);
        add("count overflow", t, "Illegal pointer offset value in EXIF.");
    }
    {
        TiffBuilder t(false);
        t.Literal(t.AddDirectory(), kMake, 13, 1, 0);
        add("format code", t, "Illegal format code in EXIF dir");
    }
    {
        TiffBuilder t(false);
        t.AddDirectory();
        Bytes b = t.ExifBlock();
        b[14] = 0xFF;  // entry count 255 in an empty directory
        cases.push_back({"entry count", b, "Illegally sized directory"});
    }
    {
        TiffBuilder t(false);
        t.Literal(t.AddDirectory(), kExifIfd, 4, 1, 0x10000);
        add("sub-directory link", t, "Illegal subdirectory link");
    }
    {
        TiffBuilder t(false);
        t.NextLiteral(t.AddDirectory(), 0x7FFFFFFF);
        add("next-directory link", t, "Illegal subdirectory link");
    }
    {
        TiffBuilder t(false);
        t.AddDirectory();
        t.SetFirstDirectoryField(0xFFFFFFFE);
        add("first directory", t, "Illegally sized directory");
    }
    {
        // Six nested sub-directories.
        TiffBuilder t(true);
        for (int i = 0; i < 7; ++i) t.AddDirectory();
        for (int i = 0; i < 6; ++i) t.Link(i, i % 2 ? kInterop : kExifIfd, i + 1);
        add("nesting", t, "Maximum directory nesting exceeded (corrupt exif header)");
    }
    {
        TiffBuilder t(false);
        const int d = t.AddDirectory();
        t.Next(d, d);
        add("directory linked to itself", t, "Maximum directory nesting exceeded (corrupt exif header)");
    }
    {
        // Every directory links 40 times to the next: without a bound, 40^4 directory walks.
        TiffBuilder t(false);
        for (int i = 0; i < 5; ++i) t.AddDirectory();
        for (int i = 0; i < 4; ++i)
            for (int k = 0; k < 40; ++k) t.Link(i, kExifIfd, i + 1);
        add("fan-out", t, "Too many directories (corrupt exif header)");
    }
    return cases;
}

TEST(ExifMalformed, HostileBlocksAreRefusedWithTheirMessage) {
    for (const Hostile& c : HostileBlocks()) {
        SCOPED_TRACE(c.name);
        const Parsed p = Parse(c.block);
        EXPECT_FALSE(p.ok);
        EXPECT_EQ(p.error, c.error);
    }
}

TEST(ExifMalformed, EveryTruncationOfACameraBlockStaysInside) {
    const Bytes block = CameraBlock(false).ExifBlock();
    for (size_t n = 0; n < block.size(); ++n) {
        SCOPED_TRACE(n);
        // A cut block is either read as far as it goes or refused with a reason.
        const Parsed p = Parse(Bytes(block.begin(), block.begin() + static_cast<long>(n)));
        if (!p.ok) {
            EXPECT_FALSE(p.error.empty());
        }
    }
}

TEST(ExifMalformed, ThumbnailOutsideTheBlockIsNotRecorded) {
    TiffBuilder t(false);
    const int d = t.AddDirectory();
    t.Long(d, kThumbOffset, 20);
    t.Long(d, kThumbLength, 0xFFFFFFF0);
    const Parsed p = Parse(t.ExifBlock());
    EXPECT_TRUE(p.ok);
    EXPECT_EQ(p.info.thumbnailSize, 0);
}

TEST(ExifMalformed, ShortValuesReadAsZero) {
    TiffBuilder t(false);
    const int d = t.AddDirectory();
    t.Literal(d, kDistance, 12, 0, 0x12345678);   // a double with no components
    t.Literal(d, kUserComment, 7, 0, 0);
    const Parsed p = Parse(t.ExifBlock());
    EXPECT_TRUE(p.ok) << p.error;
    EXPECT_FLOAT_EQ(p.info.distance, 0.0f);
    EXPECT_STREQ(p.info.comments, "");
}

// ---------------------------------------------------------------------------------------------
// The section walk

struct Sections {
    bool ok;
    std::string error;
    LfExifInfo info;
    int held;
};

Sections ReadSections(const Bytes& jpeg, int mode = LfExifReader::kReadExif) {
    LfMemFile mem;
    Fill(mem, jpeg);
    Sections s{};
    LfExifReader reader(&s.info);
    s.ok = reader.ReadSections(&mem, mode);
    s.error = reader.LastError();
    s.held = reader.SectionCount();
    return s;
}

TEST(ExifSections, FrameHeaderAndCommentsAreRecorded) {
    const Bytes comment = {'a', '\r', '\n', 'b', 0x01, 'c', '\t', 'd', '\r', 'e'};
    const Bytes second = {'z'};
    const Bytes jpeg = InsertAfterSoi(SmallJpeg(40, 24), Bytes());
    Bytes withComments = InsertAfterSoi(jpeg, Segment(0xFE, comment));
    withComments = InsertAfterSoi(withComments, Segment(0xFE, second));
    const Sections s = ReadSections(withComments);
    ASSERT_TRUE(s.ok) << s.error;
    EXPECT_EQ(s.info.width, 40);
    EXPECT_EQ(s.info.height, 24);
    EXPECT_EQ(s.info.isColor, 1);
    EXPECT_EQ(s.info.process, 0xC0);
    // Only the first comment counts; CR before LF is dropped, control characters become '?'.
    EXPECT_STREQ(s.info.comments, "z");
    const Sections first = ReadSections(InsertAfterSoi(jpeg, Segment(0xFE, comment)));
    EXPECT_STREQ(first.info.comments, "a\nb?c\td?e");
}

TEST(ExifSections, LongCommentIsCutAndTerminated) {
    const Sections s = ReadSections(InsertAfterSoi(SmallJpeg(), Segment(0xFE, Bytes(1500, 'x'))));
    ASSERT_TRUE(s.ok);
    EXPECT_EQ(std::string(s.info.comments), std::string(sizeof(s.info.comments) - 1, 'x'));
}

TEST(ExifSections, MalformedMarkerStreams) {
    const Bytes jpeg = SmallJpeg();
    struct Case { const char* name; Bytes bytes; const char* error; };
    const Bytes soi = {0xFF, 0xD8};
    std::vector<Case> cases = {
        {"not a JPEG", {'B', 'M', 0, 0}, "Not a JPEG file"},
        {"end of image first", {0xFF, 0xD8, 0xFF, 0xD9}, "No image in jpeg!"},
        {"length below 2", {0xFF, 0xD8, 0xFF, 0xE3, 0x00, 0x01}, "invalid marker"},
        {"section cut short", {0xFF, 0xD8, 0xFF, 0xE3, 0x00, 0x10, 1, 2}, "Premature end of file?"},
        {"seven padding bytes", InsertAfterSoi(jpeg, Bytes(6, 0xFF)), "too many padding bytes"},
        {"empty", {}, "Not a JPEG file"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const Sections s = ReadSections(c.bytes);
        EXPECT_FALSE(s.ok);
        EXPECT_EQ(s.error, c.error);
    }
    // Five extra padding bytes (six in all) are fine.
    EXPECT_TRUE(ReadSections(InsertAfterSoi(jpeg, Bytes(5, 0xFF))).ok);
}

// The segment length counts its own two bytes; a value reaching into them lies past the block.
TEST(ExifSections, ValueEndingPastTheSegmentIsRefused) {
    TiffBuilder t(false);
    t.Ascii(t.AddDirectory(), kMake, "Reaches past the end");
    Bytes block = t.ExifBlock();
    block.resize(block.size() - 2);
    const Sections s = ReadSections(InsertAfterSoi(SmallJpeg(), Segment(0xE1, block)));
    EXPECT_TRUE(s.ok);
    EXPECT_FALSE(s.info.isExif);
    EXPECT_EQ(s.error, "Illegal pointer offset value in EXIF.");
}

TEST(ExifSections, TooManySectionsStopTheReaderButNotTheDecode) {
    TiffBuilder t(false);
    t.Ascii(t.AddDirectory(), kMake, "Early");
    Bytes segments = Segment(0xE1, t.ExifBlock());
    for (int i = 0; i < 21; ++i) segments.insert(segments.end(), {0xFF, 0xE2, 0x00, 0x03, uint8_t(i)});
    const Bytes jpeg = InsertAfterSoi(SmallJpeg(30, 20), segments);

    const Sections s = ReadSections(jpeg);
    EXPECT_FALSE(s.ok);
    EXPECT_EQ(s.error, "Too many sections in jpg file");
    EXPECT_EQ(s.held, LfExifReader::kMaxSections);

    LfImageJPG codec;
    LfMemFile mem;
    Fill(mem, jpeg);
    ASSERT_TRUE(codec.Decode(&mem)) << codec.LastError();
    EXPECT_EQ(codec.Width(), 30u);
    EXPECT_TRUE(codec.exifInfo.isExif);
    EXPECT_STREQ(codec.exifInfo.cameraMake, "Early");
}

TEST(ExifSections, NestingOverFiveLevelsIsRefusedAndThePictureStillDecodes) {
    TiffBuilder t(false);
    for (int i = 0; i < 7; ++i) t.AddDirectory();
    t.Ascii(0, kMake, "Deep");
    for (int i = 0; i < 6; ++i) t.Link(i, kExifIfd, i + 1);
    const Bytes jpeg = InsertAfterSoi(SmallJpeg(30, 20), Segment(0xE1, t.ExifBlock()));
    LfImageJPG codec;
    LfMemFile mem;
    Fill(mem, jpeg);
    ASSERT_TRUE(codec.Decode(&mem)) << codec.LastError();
    EXPECT_TRUE(codec.IsValid());
    EXPECT_FALSE(codec.exifInfo.isExif);
    ASSERT_NE(codec.ExifReader(), nullptr);
    EXPECT_STREQ(codec.ExifReader()->LastError(), "Maximum directory nesting exceeded (corrupt exif header)");

    // Five levels are fine.
    TiffBuilder ok(false);
    for (int i = 0; i < 5; ++i) ok.AddDirectory();
    for (int i = 0; i < 4; ++i) ok.Link(i, kExifIfd, i + 1);
    EXPECT_TRUE(Parse(ok.ExifBlock()).ok);
}

// ---------------------------------------------------------------------------------------------
// Writing the EXIF block back

TEST(ExifRewrite, AnObjectThatDecodedExifWritesItBack) {
    TiffBuilder t(true);
    const int d = t.AddDirectory();
    t.Ascii(d, kMake, "Kept");
    t.Rational(d, kXRes, 200, 1);
    t.Short(d, kResUnit, 2);
    const Bytes exifSegment = Segment(0xE1, t.ExifBlock());
    const Bytes source = InsertAfterSoi(InsertAfterSoi(SmallJpeg(40, 30), Segment(0xFE, {'h', 'i'})), exifSegment);

    LfImageJPG codec;
    LfMemFile in;
    Fill(in, source);
    ASSERT_TRUE(codec.Decode(&in));
    ASSERT_TRUE(codec.exifInfo.isExif);
    LfMemFile out;
    out.Open();
    ASSERT_TRUE(codec.Encode(&out)) << codec.LastError();
    const Bytes written = Contents(out);
    // Start of image, then the EXIF section exactly as it was, then the comment.
    ASSERT_GT(written.size(), 2 + exifSegment.size());
    EXPECT_EQ(Bytes(written.begin() + 2, written.begin() + 2 + long(exifSegment.size())), exifSegment);
    EXPECT_EQ(written[2 + exifSegment.size() + 1], 0xFE);

    LfImageJPG again;
    LfMemFile back;
    Fill(back, written);
    ASSERT_TRUE(again.Decode(&back)) << again.LastError();
    EXPECT_EQ(again.Width(), 40u);
    EXPECT_STREQ(again.exifInfo.cameraMake, "Kept");
    EXPECT_STREQ(again.exifInfo.comments, "hi");
    EXPECT_EQ(again.XDpi(), 200);
}

// The rewrite goes over the file just written: running out of room there damages the file,
// so the encode must not report success.
TEST(ExifRewrite, AFailedRewriteIsAFailedEncode) {
    TiffBuilder t(false);
    t.Ascii(t.AddDirectory(), kMake, std::string(300, 'k'));
    LfImageJPG codec;
    LfMemFile in;
    Fill(in, InsertAfterSoi(SmallJpeg(40, 30), Segment(0xE1, t.ExifBlock())));
    ASSERT_TRUE(codec.Decode(&in));
    ASSERT_TRUE(codec.exifInfo.isExif);
    LfMemFile plain;
    plain.Open();
    LfImageJPG fresh;
    fresh.Ghost(&codec);
    ASSERT_TRUE(fresh.Encode(&plain));
    FailingStream stream(static_cast<size_t>(plain.Size()) + 100);
    EXPECT_FALSE(codec.Encode(&stream));
    EXPECT_STREQ(codec.LastError(), "Write Error in JPEG file");
}

TEST(ExifRewrite, WritingWithoutTheImageDataFails) {
    LfExifReader reader;
    LfMemFile in;
    Fill(in, SmallJpeg());
    ASSERT_TRUE(reader.ReadSections(&in, LfExifReader::kReadExif));
    LfMemFile out;
    out.Open();
    EXPECT_FALSE(reader.WriteSections(&out));
    EXPECT_STREQ(reader.LastError(), "Can't write exif : didn't read all");
}

TEST(ExifRewrite, SectionsWithoutExifGetAJfifHeader) {
    LfExifReader reader;
    LfMemFile in;
    const Bytes jpeg = SmallJpeg();
    Fill(in, jpeg);
    ASSERT_TRUE(reader.ReadSections(&in, LfExifReader::kReadImageData));
    LfMemFile out;
    out.Open();
    ASSERT_TRUE(reader.WriteSections(&out)) << reader.LastError();
    // Our own encoding starts with a JFIF header of the same 18 bytes but its density.
    const Bytes written = Contents(out);
    ASSERT_EQ(written.size(), jpeg.size());
    EXPECT_EQ(Bytes(written.begin() + 20, written.end()), Bytes(jpeg.begin() + 20, jpeg.end()));
    LfImage image;
    LfMemFile back;
    Fill(back, written);
    EXPECT_TRUE(image.Decode(&back, LF_FORMAT_JPG));
    EXPECT_EQ(image.XDpi(), 300);
}

// ---------------------------------------------------------------------------------------------
// Camera files and exiftool

// exiftool's numeric values of the given tags, "-" for absent ones.
std::vector<std::string> Exiftool(const fs::path& file, const std::vector<std::string>& tags) {
    std::string command = "exiftool -n -s3 -f";
    for (const std::string& tag : tags) command += " -" + tag;
    std::string out;
    testsupport::Run(command + " " + ShellQuote(file.string()) + " 2>/dev/null", &out);
    std::vector<std::string> values;
    std::istringstream lines(out);
    for (std::string line; std::getline(lines, line);) values.push_back(line);
    values.resize(tags.size());
    return values;
}

std::string TrimRight(std::string s) {
    while (!s.empty() && s.back() == ' ') s.pop_back();
    return s;
}

void ExpectNumber(const std::string& expected, double actual, const char* what) {
    if (expected == "-") return;
    const double e = std::strtod(expected.c_str(), nullptr);
    EXPECT_NEAR(actual, e, std::fabs(e) * 1e-4 + 1e-6) << what;
}

// Reads a file with our codec and compares the fields exiftool reports.
void CompareWithExiftool(const fs::path& file) {
    SCOPED_TRACE(file.filename().string());
    // EXIF's own tags only: exiftool also reports values from maker notes that we do not read.
    const std::vector<std::string> tags = {"EXIF:Make", "EXIF:Model", "EXIF:DateTimeOriginal", "EXIF:ExposureTime",
                                           "EXIF:FNumber", "EXIF:ISO", "IFD0:XResolution", "IFD0:Orientation",
                                           "EXIF:FocalLength", "EXIF:ExifVersion", "IFD1:ThumbnailLength",
                                           "File:ImageWidth", "File:ImageHeight"};
    const std::vector<std::string> v = Exiftool(file, tags);
    LfImageJPG codec;
    LfMemFile mem;
    Fill(mem, ReadFile(file));
    ASSERT_TRUE(codec.Decode(&mem)) << codec.LastError();
    const LfExifInfo& x = codec.exifInfo;
    EXPECT_TRUE(x.isExif) << codec.ExifReader()->LastError();
    if (v[0] != "-") { EXPECT_EQ(TrimRight(x.cameraMake), TrimRight(v[0])); }
    if (v[1] != "-") { EXPECT_EQ(TrimRight(x.cameraModel), TrimRight(v[1])); }
    if (v[2] != "-") { EXPECT_EQ(std::string(x.dateTime), v[2]); }
    ExpectNumber(v[3], x.exposureTime, "exposure time");
    ExpectNumber(v[4], x.apertureFNumber, "f-number");
    ExpectNumber(v[5], x.isoEquivalent, "ISO");
    ExpectNumber(v[6], x.xResolution, "X resolution");
    EXPECT_EQ(x.orientation, v[7] == "-" ? 0 : std::atoi(v[7].c_str()));
    ExpectNumber(v[8], x.focalLength, "focal length");
    if (v[9] != "-") { EXPECT_EQ(std::string(x.version), v[9]); }
    if (v[10] != "-") {
        EXPECT_EQ(x.thumbnailSize, std::atoi(v[10].c_str()));
        ASSERT_NE(x.thumbnailPointer, nullptr);
        EXPECT_EQ(x.thumbnailPointer[0], 0xFF);
        EXPECT_EQ(x.thumbnailPointer[1], 0xD8);
    }
    EXPECT_EQ(x.width, std::atoi(v[11].c_str()));
    EXPECT_EQ(x.height, std::atoi(v[12].c_str()));
    EXPECT_EQ(codec.Width(), static_cast<uint32_t>(x.width));
}

TEST(ExifPeers, CameraFilesReadAsExiftoolReportsThem) {
    const fs::path dir = NpmModules() / "exif" / "test";
    GLINTWISE_NEED_PEER(fs::is_directory(dir) && HaveTool("exiftool"), "npm exif fixtures or exiftool");
    int files = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        if (entry.path().extension() != ".jpg") continue;
        ++files;
        CompareWithExiftool(entry.path());
    }
    EXPECT_GE(files, 10);
}

TEST(ExifPeers, FieldsWrittenByExiftoolReadBack) {
    GLINTWISE_NEED_PEER(HaveTool("exiftool"), "exiftool");
    TempDir tmp;
    const fs::path file = tmp / "tagged.jpg";
    if (HaveTool("convert-im6.q16")) {
        ASSERT_EQ(testsupport::Run("convert-im6.q16 -size 64x48 gradient:red-blue " + ShellQuote(file.string())), 0);
    } else {
        WriteFile(file, SmallJpeg(64, 48));
    }
    ASSERT_EQ(testsupport::Run("exiftool -q -overwrite_original -Make='Glint Labs' -Model='GX 7' "
                               "'-DateTimeOriginal=2021:06:07 08:09:10' -ExposureTime=1/125 -FNumber=5.6 "
                               "-ISO=800 -XResolution=300 -YResolution=300 -ResolutionUnit=inches -Orientation#=3 "
                               "-FocalLength=50 " + ShellQuote(file.string())),
              0);
    CompareWithExiftool(file);
    LfImage image;
    ASSERT_TRUE(image.Load(file.c_str(), LF_FORMAT_JPG)) << image.LastError();
    EXPECT_EQ(image.XDpi(), 300);
    EXPECT_EQ(image.YDpi(), 300);
}

}  // namespace

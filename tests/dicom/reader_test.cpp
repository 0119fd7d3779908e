// The DICOM reader over files built byte by byte: the meta group and transfer syntax, the
// data set walk, the refusals, and the frame it hands back.
#include "DicomFileBuilder.h"
#include "DicomReader.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dicomtest::DicomFileBuilder;
using testsupport::TempDir;

// A 2 x 3 picture, 16 bits, samples 0..5, no window.
DicomFileBuilder SmallPicture() {
    DicomFileBuilder b;
    b.picture(2, 3);
    b.pixels16({0, 1, 2, 3, 4, 5});
    return b;
}

int Parse(DicomReader& reader, const std::vector<uint8_t>& bytes, int mode = 2) {
    return reader.parseMemory(bytes.data(), bytes.size(), mode);
}

// The grey level of each pixel of the frame, row by row (checking the three bytes agree).
std::vector<int> FrameLevels(const GreyFrame& f) {
    std::vector<int> out;
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const uint8_t* p = f.pixels + y * f.stride + 3 * x;
            EXPECT_TRUE(p[0] == p[1] && p[1] == p[2]) << x << "," << y;
            out.push_back(p[0]);
        }
    return out;
}

void ExpectRefused(const std::vector<uint8_t>& bytes, DicomRefusal kind, const std::string& textPart) {
    DicomReader reader;
    EXPECT_EQ(Parse(reader, bytes), -1);
    EXPECT_EQ(reader.refusal(), kind) << reader.refusalText();
    EXPECT_NE(reader.refusalText().find(textPart), std::string::npos) << reader.refusalText();
}

// ---- The opening: preamble, magic, meta group, transfer syntax ----

TEST(DicomOpening, ShortFilesAndWrongMagicAreNotDicom) {
    std::vector<uint8_t> bytes = SmallPicture().bytes();
    ExpectRefused({}, DicomRefusal::NotDicom, "DICM");
    ExpectRefused(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 131), DicomRefusal::NotDicom, "DICM");
    bytes[128] = 'd';
    ExpectRefused(bytes, DicomRefusal::NotDicom, "DICM");
}

TEST(DicomOpening, EveryTruncationIsRefusedCleanly) {
    const std::vector<uint8_t> good = SmallPicture().bytes();
    DicomReader reader;
    ASSERT_EQ(Parse(reader, good), 0);
    for (size_t n = 0; n < good.size(); ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(Parse(reader, std::vector<uint8_t>(good.begin(), good.begin() + n)), -1);
        EXPECT_NE(reader.refusal(), DicomRefusal::None);
    }
}

TEST(DicomOpening, UnknownTransferSyntaxesAreRefusedByUid) {
    for (const char* uid : {"1.2.840.10008.1.2.10", "1.2.3", ""}) {
        SCOPED_TRACE(uid);
        DicomFileBuilder b(uid);
        b.picture(2, 3).pixels16({0, 1, 2, 3, 4, 5});
        DicomReader reader;
        EXPECT_EQ(Parse(reader, b.bytes()), -1);
        EXPECT_EQ(reader.refusal(), DicomRefusal::TransferSyntax);
        EXPECT_EQ(reader.refusalText(), std::string("unsupported transfer syntax ") + uid);
    }
}

TEST(DicomOpening, UidPaddedWithZeroOrBlanksIsAccepted) {
    for (const std::string& padding : {std::string(1, '\0'), std::string(" "), std::string(" \t  ")}) {
        DicomFileBuilder b(dicomtest::kExplicitLittle + padding);
        b.picture(2, 3).pixels16({0, 1, 2, 3, 4, 5});
        DicomReader reader;
        EXPECT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
        EXPECT_EQ(reader.transferSyntax(), dicomtest::kExplicitLittle);
    }
}

// The meta group of a good file with one byte changed; offsets count from byte 132.
std::vector<uint8_t> WithMetaByte(size_t offset, uint8_t value) {
    std::vector<uint8_t> bytes = SmallPicture().bytes();
    bytes[132 + offset] = value;
    return bytes;
}

TEST(DicomOpening, UnusableMetaGroupsAreRefused) {
    // Group length element whose value is not 4 bytes.
    ExpectRefused(WithMetaByte(6, 2), DicomRefusal::Damaged, "group length");
    // No (0002,0010): its element number changed to (0002,0012).
    ExpectRefused(WithMetaByte(12 + 14 + 2, 0x12), DicomRefusal::Damaged, "transfer syntax");
    // A transfer syntax value claiming more than 64 bytes.
    ExpectRefused(WithMetaByte(12 + 14 + 6, 66), DicomRefusal::Damaged, "transfer syntax");
    // A transfer syntax value running past the meta group: the group length cut short.
    ExpectRefused(WithMetaByte(8, 30), DicomRefusal::Damaged, "transfer syntax");
}

// Some writers leave out the meta group's length: the group then ends at the first element of
// another group. Catches refusing such files, or reading their data set from the wrong byte.
TEST(DicomOpening, MetaGroupWithoutItsLengthIsWalkedToItsEnd) {
    std::vector<uint8_t> bytes = SmallPicture().bytes();
    bytes.erase(bytes.begin() + 132, bytes.begin() + 144);
    DicomReader reader;
    ASSERT_EQ(Parse(reader, bytes), 0) << reader.refusalText();
    EXPECT_EQ(reader.transferSyntax(), dicomtest::kExplicitLittle);
    EXPECT_EQ(FrameLevels(*reader.frame()), (std::vector<int>{0, 51, 102, 153, 204, 255}));
    bytes.resize(132 + 14);  // the meta group cut inside its transfer syntax
    ExpectRefused(bytes, DicomRefusal::Damaged, "transfer syntax");
}

// Some writers put an implicit VR data set under Explicit VR Little Endian (or an encapsulated
// syntax, explicit by definition). Catches reading its lengths as VRs.
TEST(DicomOpening, ImplicitDataSetUnderAnExplicitSyntaxIsReadAsImplicit) {
    std::vector<uint8_t> implicit;
    auto element = [&](uint16_t group, uint16_t number, std::vector<uint8_t> value) {
        DicomFileBuilder::putTag(implicit, group, number);
        DicomFileBuilder::put32(implicit, static_cast<uint32_t>(value.size()));
        implicit.insert(implicit.end(), value.begin(), value.end());
    };
    element(0x0008, 0x0060, {'O', 'T'});
    for (auto [number, value] : {std::pair{0x0010, 1}, {0x0011, 2}, {0x0100, 16}, {0x0101, 16}, {0x0102, 15}})
        element(0x0028, static_cast<uint16_t>(number), {static_cast<uint8_t>(value), 0});
    element(0x7FE0, 0x0010, {0, 0, 10, 0});
    DicomFileBuilder b;
    b.raw(implicit);
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(FrameLevels(*reader.frame()), (std::vector<int>{0, 255}));
}

// ---- The data set walk ----

TEST(DicomWalk, ReadsThePictureAndItsAttributes) {
    DicomFileBuilder b;
    b.text(0x0008, 0x0060, "CS", "CT");
    b.picture(2, 3, 16, 11, 1);
    b.text(0x0028, 0x0004, "CS", "MONOCHROME2");
    b.text(0x0028, 0x1050, "DS", "40");
    b.text(0x0028, 0x1051, "DS", "400");
    b.text(0x0028, 0x1052, "DS", "-1024");
    b.text(0x0028, 0x1053, "DS", "1.5");
    b.pixels16({1064, 0, 0, 0, 0, 0xFFFF});
    DicomReader reader;
    GreyFrame* f = nullptr;
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(reader.rows(), 2);
    EXPECT_EQ(reader.columns(), 3);
    EXPECT_EQ(reader.highBit(), 11);
    EXPECT_EQ(reader.pixelRepresentation(), 1);
    EXPECT_FLOAT_EQ(reader.windowCenter(), 40.0f);
    EXPECT_FLOAT_EQ(reader.windowWidth(), 400.0f);
    EXPECT_FLOAT_EQ(reader.rescaleIntercept(), -1024.0f);
    EXPECT_FLOAT_EQ(reader.rescaleSlope(), 1.5f);
    EXPECT_EQ(reader.bitsAllocated(), 16);
    f = reader.frame();
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(f->width, 3);
    EXPECT_EQ(f->height, 2);
    EXPECT_EQ(f->stride, 12);
    EXPECT_EQ(f->bytesPerSample, 1);
    EXPECT_EQ(f->frameBytes, 6);
    EXPECT_EQ(f->numFrames, 1);
    // 1064 * 1.5 - 1024 = 572; 0xFFFF is -1 after the sign step: -1025.5 truncates to -1025.
    EXPECT_EQ(FrameLevels(*f), (std::vector<int>{255, 0, 0, 0, 0, 0}));
}

TEST(DicomWalk, MultiValuedWindowTakesTheFirstValue) {
    DicomFileBuilder b;
    b.picture(2, 3);
    b.text(0x0028, 0x1050, "DS", "40\\400");
    b.text(0x0028, 0x1051, "DS", " +400.5\\1500");
    b.pixels16({0, 1, 2, 3, 4, 5});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0);
    EXPECT_FLOAT_EQ(reader.windowCenter(), 40.0f);
    EXPECT_FLOAT_EQ(reader.windowWidth(), 400.5f);
}

TEST(DicomWalk, WithoutWindowTheSamplesAreStretched) {
    DicomFileBuilder b;
    b.picture(2, 4).pixels16({0, 1, 2, 3, 4, 5, 6, 7});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0);
    EXPECT_EQ(reader.windowCenter(), 0.0f);
    EXPECT_EQ(reader.windowWidth(), 0.0f);
    ASSERT_NE(reader.frame(), nullptr);
    EXPECT_EQ(FrameLevels(*reader.frame()), (std::vector<int>{0, 36, 72, 109, 145, 182, 218, 254}));
}

TEST(DicomWalk, RescaleAndWindowReachTheFrame) {
    DicomFileBuilder b;
    b.picture(1, 3);
    b.text(0x0028, 0x1050, "DS", "40");
    b.text(0x0028, 0x1051, "DS", "400");
    b.text(0x0028, 0x1052, "DS", "-1024");
    b.pixels16({1064, 864, 1264});
    TempDir dir;
    testsupport::WriteFile(dir / "a.dcm", b.bytes());
    DicomReader reader;
    GreyFrame* f = reader.read((dir / "a.dcm").c_str());
    ASSERT_NE(f, nullptr) << reader.refusalText();
    EXPECT_EQ(FrameLevels(*f), (std::vector<int>{127, 0, 255}));
}

TEST(DicomWalk, UnlistedGroup28ElementsAreSkippedByTheirVr) {
    DicomFileBuilder b;
    b.text(0x0028, 0x0030, "DS", "0.5\\0.5");                         // Pixel Spacing
    b.longElement(0x0028, 0x1201, "OW", std::vector<uint8_t>(8, 0x10));  // a long-form LUT
    b.shortElement(0x0028, 0x0034, "IS", {'1', '\\', '1', ' '});
    b.picture(2, 3).pixels16({0, 1, 2, 3, 4, 5});
    DicomReader reader;
    EXPECT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(reader.rows(), 2);
}

TEST(DicomWalk, UndefinedLengthSequenceIsSkippedToItsDelimiter) {
    // The sequence holds an item with a Rows element that must not be taken for the picture's.
    std::vector<uint8_t> value = DicomFileBuilder::itemTag(0xE000, 0xFFFFFFFFu);
    const std::vector<uint8_t> rows = {0x28, 0x00, 0x10, 0x00, 'U', 'S', 2, 0, 99, 0};
    value.insert(value.end(), rows.begin(), rows.end());
    for (uint16_t e : {0xE00D, 0xE0DD}) {
        const std::vector<uint8_t> tag = DicomFileBuilder::itemTag(e, 0);
        value.insert(value.end(), tag.begin(), tag.end());
    }
    DicomFileBuilder b;
    b.picture(2, 3);
    b.longElement(0x0008, 0x1140, "SQ", value, true);
    b.pixels16({0, 1, 2, 3, 4, 5});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(reader.rows(), 2);
}

// Appends the bytes of each part in turn.
std::vector<uint8_t> Join(std::initializer_list<std::vector<uint8_t>> parts) {
    std::vector<uint8_t> out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

const std::vector<uint8_t> kItemStart = DicomFileBuilder::itemTag(0xE000, 0xFFFFFFFFu);
const std::vector<uint8_t> kItemEnd = DicomFileBuilder::itemTag(0xE00D, 0);
const std::vector<uint8_t> kSequenceEnd = DicomFileBuilder::itemTag(0xE0DD, 0);

// An explicit-VR US element, as it appears inside an item.
std::vector<uint8_t> UsElement(uint16_t group, uint16_t element, uint16_t value) {
    std::vector<uint8_t> out;
    DicomFileBuilder::putTag(out, group, element);
    out.insert(out.end(), {'U', 'S', 2, 0});
    DicomFileBuilder::put16(out, value);
    return out;
}

TEST(DicomWalk, NestedSequencesEndAtTheirOwnDelimiter) {
    // The inner sequence's delimiter comes first; the outer sequence goes on after it
    // with an element and a second item. None of its content belongs to the picture.
    std::vector<uint8_t> inner;
    DicomFileBuilder::putTag(inner, 0x0008, 0x2112);
    inner.insert(inner.end(), {'S', 'Q', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
    const std::vector<uint8_t> value =
        Join({kItemStart, inner, kItemStart, UsElement(0x0028, 0x0010, 99), kItemEnd, kSequenceEnd,
              UsElement(0x0028, 0x0011, 77), kItemEnd, DicomFileBuilder::itemTag(0xE000, 10),
              UsElement(0x0028, 0x0011, 55), kSequenceEnd});
    DicomFileBuilder b;
    b.picture(2, 3);
    b.longElement(0x5200, 0x9230, "SQ", value, true);
    b.pixels16({0, 1, 2, 3, 4, 5});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(reader.rows(), 2);
    EXPECT_EQ(reader.columns(), 3);
}

TEST(DicomWalk, UndefinedLengthUnknownAndOtherValuesAreSkipped) {
    // UN of undefined length: a sequence written with implicit VRs (tag, 32-bit length).
    std::vector<uint8_t> implicitElement;
    DicomFileBuilder::putTag(implicitElement, 0x0028, 0x0010);
    DicomFileBuilder::put32(implicitElement, 2);
    DicomFileBuilder::put16(implicitElement, 99);
    // An OB of undefined length: fragments of defined length.
    const std::vector<uint8_t> fragments =
        Join({DicomFileBuilder::itemTag(0xE000, 0), DicomFileBuilder::itemTag(0xE000, 4),
              {0xFE, 0xFF, 0xDD, 0xE0}, kSequenceEnd});
    DicomFileBuilder b;
    b.longElement(0x0009, 0x1010, "UN", Join({kItemStart, implicitElement, kItemEnd, kSequenceEnd}), true);
    b.longElement(0x0009, 0x1011, "OB", fragments, true);
    b.picture(2, 3).pixels16({0, 1, 2, 3, 4, 5});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(reader.rows(), 2);
}

TEST(DicomWalk, HostileNestingIsRefused) {
    // Ten thousand sequences inside each other: refused, not a stack overflow.
    std::vector<uint8_t> value;
    std::vector<uint8_t> open;
    DicomFileBuilder::putTag(open, 0x0008, 0x1140);
    open.insert(open.end(), {'S', 'Q', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF});
    for (int i = 0; i < 10000; ++i) value = Join({value, kItemStart, open});
    DicomFileBuilder b;
    b.picture(2, 3).longElement(0x0008, 0x1140, "SQ", value, true);
    ExpectRefused(b.bytes(), DicomRefusal::Damaged, "nested");
}

TEST(DicomWalk, ItemsThatAreNotItemsAreRefused) {
    DicomFileBuilder b;
    b.picture(2, 3).longElement(0x0008, 0x1140, "SQ", UsElement(0x0028, 0x0010, 1), true);
    b.pixels16({0, 1, 2, 3, 4, 5});
    ExpectRefused(b.bytes(), DicomRefusal::Damaged, "item");
}

TEST(DicomWalk, UndefinedLengthWithoutDelimiterIsRefused) {
    DicomFileBuilder b;
    b.picture(2, 3);
    b.longElement(0x0008, 0x1140, "SQ", kItemStart, true);
    ExpectRefused(b.bytes(), DicomRefusal::Damaged, "delimiter");
    DicomFileBuilder unended;
    unended.picture(2, 3).longElement(0x0008, 0x1140, "SQ", DicomFileBuilder::itemTag(0xE000, 0), true);
    ExpectRefused(unended.bytes(), DicomRefusal::Damaged, "delimiter");
}

TEST(DicomWalk, NonZeroReservedBytesAreRefused) {
    DicomFileBuilder b;
    b.longElement(0x0009, 0x1010, "OB", {1, 2}, false, 7);
    b.picture(2, 3).pixels16({0, 1, 2, 3, 4, 5});
    ExpectRefused(b.bytes(), DicomRefusal::Damaged, "reserved");
}

TEST(DicomWalk, LengthsPastTheEndAreRefused) {
    DicomFileBuilder shortForm;
    shortForm.picture(2, 3).shortElement(0x0010, 0x0010, "PN", {}).raw({0x00});
    std::vector<uint8_t> bytes = shortForm.bytes();
    bytes[bytes.size() - 3] = 0x40;  // PN length 0x40 over a 1-byte rest
    ExpectRefused(bytes, DicomRefusal::Damaged, "end of the file");
    DicomFileBuilder longForm;
    longForm.picture(2, 3).longElement(0x0009, 0x1010, "UN", {});
    bytes = longForm.bytes();
    bytes[bytes.size() - 1] = 0x7F;  // a 2 GB value
    ExpectRefused(bytes, DicomRefusal::Damaged, "end of the file");
}

TEST(DicomWalk, NumberValuesOfOtherLengthsKeepTheWalkInStep) {
    // An empty Pixel Representation and a two-valued Bits Stored: the lengths are honoured.
    DicomFileBuilder b;
    b.shortElement(0x0028, 0x0103, "US", {});
    b.shortElement(0x0028, 0x0101, "US", {16, 0, 12, 0});
    b.us(0x0028, 0x0010, 1).us(0x0028, 0x0011, 2).pixels16({0xFFFF, 0});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(reader.pixelRepresentation(), 0);
    EXPECT_EQ(reader.rows(), 1);
    EXPECT_EQ(reader.columns(), 2);
    EXPECT_EQ(reader.bitsAllocated(), 16);  // absent: 16, high bit 15
    EXPECT_EQ(reader.highBit(), 15);
    EXPECT_EQ(FrameLevels(*reader.frame()), (std::vector<int>{0, 255}));  // 0xFFFF is -1
}

TEST(DicomWalk, LongTextIsReadAsEmptyAndSkipped) {
    DicomFileBuilder b;
    b.text(0x0028, 0x1050, "DS", std::string(66, '7'));
    b.text(0x0028, 0x1051, "DS", "400");
    b.picture(2, 3).pixels16({0, 1, 2, 3, 4, 5});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(reader.windowCenter(), 0.0f);
    EXPECT_EQ(reader.windowWidth(), 400.0f);
    EXPECT_EQ(reader.rows(), 2);
}

TEST(DicomWalk, NumbersThatDoNotParseKeepTheirStartingValue) {
    // An empty slope must not become 0, which would flatten every sample to the intercept.
    DicomFileBuilder b;
    b.text(0x0028, 0x1053, "DS", "");
    b.text(0x0028, 0x1052, "DS", "abc");
    b.text(0x0028, 0x0008, "IS", "");
    b.picture(1, 3).pixels16({0, 1, 2});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(reader.rescaleSlope(), 1.0f);
    EXPECT_EQ(reader.rescaleIntercept(), 0.0f);
    ASSERT_NE(reader.frame(), nullptr);
    EXPECT_EQ(reader.frame()->numFrames, 1);
    EXPECT_EQ(FrameLevels(*reader.frame()), (std::vector<int>{0, 127, 255}));
}

// ---- Pixel data and layout ----

TEST(DicomPixels, LayoutsTheReaderCannotRenderAreRefused) {
    DicomFileBuilder twelve;
    twelve.picture(2, 3, 12, 11).pixels16({0, 1, 2, 3, 4, 5});
    ExpectRefused(twelve.bytes(), DicomRefusal::Layout, "12 bits allocated");
    DicomFileBuilder twoSamples;
    twoSamples.picture(1, 2, 8, 7).us(0x0028, 0x0002, 2).pixels8({1, 2, 3, 4});
    ExpectRefused(twoSamples.bytes(), DicomRefusal::Layout, "2 samples per pixel");
    DicomFileBuilder partial;
    partial.picture(2, 2, 8, 7).us(0x0028, 0x0002, 3).text(0x0028, 0x0004, "CS", "YBR_PARTIAL_420");
    partial.pixels8(std::vector<uint8_t>(12, 0));
    ExpectRefused(partial.bytes(), DicomRefusal::Layout, "YBR_PARTIAL_420");
    DicomFileBuilder noRows;
    noRows.picture(0, 3).pixels16({0, 1, 2});
    ExpectRefused(noRows.bytes(), DicomRefusal::Layout, "0 rows");
    DicomFileBuilder noColumns;
    noColumns.picture(3, 0).pixels16({0, 1, 2});
    ExpectRefused(noColumns.bytes(), DicomRefusal::Layout, "0 columns");
    DicomFileBuilder floats;
    floats.picture(1, 2).pixels16({0, 1, 2, 3}, "OF");
    ExpectRefused(floats.bytes(), DicomRefusal::Layout, "OF");
}

TEST(DicomPixels, MissingOrShortPixelDataIsRefused) {
    DicomFileBuilder none;
    none.picture(2, 3);
    ExpectRefused(none.bytes(), DicomRefusal::NoPixelData, "no pixel data");
    DicomFileBuilder plan;
    plan.text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.481.5");
    ExpectRefused(plan.bytes(), DicomRefusal::NoPixelData, "no pixel data (RT Plan Storage)");
    DicomFileBuilder fewer;
    fewer.picture(2, 3).pixels16({0, 1, 2, 3, 4});
    ExpectRefused(fewer.bytes(), DicomRefusal::Damaged, "pixel data ends 2 bytes early");
    ExpectRefused(fewer.bytes(), DicomRefusal::Damaged, "fewer than rows x columns");
    std::vector<uint8_t> cut = SmallPicture().bytes();
    cut.pop_back();
    ExpectRefused(cut, DicomRefusal::Damaged, "end of the file");
    // A picture too large for the frame's 32-bit sizes, refused before its length is trusted.
    DicomFileBuilder huge;
    huge.picture(65535, 65535).pixels16({0});
    ExpectRefused(huge.bytes(), DicomRefusal::Layout, "too large");
}

TEST(DicomPixels, EightBitSamplesAreWidenedNotPaired) {
    DicomFileBuilder b;
    b.picture(2, 2, 8, 7);
    b.text(0x0028, 0x1050, "DS", "127.5");
    b.text(0x0028, 0x1051, "DS", "255");
    b.pixels8({0, 10, 200, 255});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    ASSERT_NE(reader.frame(), nullptr);
    EXPECT_EQ(reader.frame()->frameBytes, 4);
    EXPECT_EQ(FrameLevels(*reader.frame()), (std::vector<int>{0, 10, 200, 255}));
    // Signed bytes: 0xFF is -1 and 0x80 is -128.
    DicomFileBuilder s;
    s.picture(1, 3, 8, 7, 1).pixels8({0x80, 0xFF, 0x7F});
    ASSERT_EQ(Parse(reader, s.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(FrameLevels(*reader.frame()), (std::vector<int>{0, 127, 255}));
}

TEST(DicomPixels, FiveColumnRowsArePaddedTo16Bytes) {
    DicomFileBuilder b;
    b.picture(2, 5).pixels16({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0);
    const GreyFrame& f = *reader.frame();
    EXPECT_EQ(f.stride, 16);
    EXPECT_EQ(f.pixels[15], 0);  // the padding byte of each row
    EXPECT_EQ(f.pixels[31], 0);
    EXPECT_EQ(f.pixels[16], 141);  // row 1 starts at byte 16 with sample 5
    EXPECT_EQ(FrameLevels(f), (std::vector<int>{0, 28, 56, 85, 113, 141, 170, 198, 226, 255}));
}

TEST(DicomPixels, MonochromeOneShowsTheSmallestValueAsWhite) {
    DicomReader reader;
    for (const char* photometric : {"MONOCHROME2", "MONOCHROME1"}) {
        SCOPED_TRACE(photometric);
        DicomFileBuilder b;
        b.text(0x0028, 0x0004, "CS", photometric);
        b.picture(1, 3).pixels16({0, 1, 2});
        ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
        const std::vector<int> rising{0, 127, 255}, falling{255, 128, 0};
        EXPECT_EQ(FrameLevels(*reader.frame()),
                  std::string(photometric) == "MONOCHROME1" ? falling : rising);
    }
}

TEST(DicomPixels, StretchSpansEveryFrameButOnlyTheFirstIsShown) {
    DicomFileBuilder b;
    b.text(0x0028, 0x0008, "IS", "3");
    b.picture(1, 2).pixels16({0, 10, 20, 20, 5, 5});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0);
    EXPECT_EQ(reader.frame()->numFrames, 3);
    EXPECT_EQ(FrameLevels(*reader.frame()), (std::vector<int>{0, 127}));
    // A value holding fewer frames than announced is read as far as it goes.
    DicomFileBuilder shortOfFrames;
    shortOfFrames.text(0x0028, 0x0008, "IS", "3");
    shortOfFrames.picture(1, 2).pixels16({0, 10, 20, 20});
    ASSERT_EQ(Parse(reader, shortOfFrames.bytes()), 0);
    EXPECT_EQ(FrameLevels(*reader.frame()), (std::vector<int>{0, 127}));
}

// ---- The reading object ----

TEST(DicomReaderObject, FailedReadLeavesNothingAndTheReaderServesAgain) {
    TempDir dir;
    testsupport::WriteFile(dir / "good.dcm", SmallPicture().bytes());
    testsupport::WriteFile(dir / "bad.dcm", {1, 2, 3});
    DicomReader reader;
    ASSERT_NE(reader.read((dir / "good.dcm").c_str()), nullptr);
    EXPECT_EQ(reader.read((dir / "bad.dcm").c_str()), nullptr);
    EXPECT_EQ(reader.frame(), nullptr);
    EXPECT_EQ(reader.refusal(), DicomRefusal::NotDicom);
    GreyFrame* f = reader.read((dir / "good.dcm").c_str());
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(reader.refusal(), DicomRefusal::None);
    EXPECT_EQ(FrameLevels(*f), (std::vector<int>{0, 51, 102, 153, 204, 255}));
}

TEST(DicomReaderObject, UnopenablePathsAndUnknownModesAreRefused) {
    TempDir dir;
    DicomReader reader;
    EXPECT_EQ(reader.read((dir / "missing.dcm").c_str()), nullptr);
    EXPECT_EQ(reader.refusal(), DicomRefusal::CannotOpen);
    EXPECT_EQ(reader.read(dir.path().c_str()), nullptr);
    EXPECT_EQ(reader.refusal(), DicomRefusal::CannotOpen);
    EXPECT_EQ(reader.refusalText(), "cannot open the file: not a regular file");
    testsupport::WriteFile(dir / "good.dcm", SmallPicture().bytes());
    for (int mode : {0, 5, -1}) {
        EXPECT_EQ(reader.parse((dir / "good.dcm").c_str(), mode), -1);
        EXPECT_EQ(reader.frame(), nullptr);
    }
    for (int mode : {1, 2, 3, 4}) EXPECT_EQ(reader.parse((dir / "good.dcm").c_str(), mode), 0);
}

}  // namespace

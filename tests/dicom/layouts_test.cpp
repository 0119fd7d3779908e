// Pixel layouts and encodings built byte by byte: colour orders, palettes, 1- and 32-bit
// samples, frames, implicit VR and deflated data sets, bare data sets, encapsulated pixel
// data, and the hostile versions of each.
#include "DicomFileBuilder.h"
#include "DicomReader.h"
#include "TestSupport.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <string>
#include <vector>

namespace {

using dicomtest::DicomFileBuilder;

constexpr const char* kImplicit = "1.2.840.10008.1.2";

int Parse(DicomReader& reader, const std::vector<uint8_t>& bytes) {
    return reader.parseMemory(bytes.data(), bytes.size(), 2);
}

// The pixels of a frame as R, G, B triples, row by row.
std::vector<int> Rgb(const GreyFrame& f) {
    std::vector<int> out;
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) {
            const uint8_t* p = f.pixels + y * f.stride + 3 * x;
            out.insert(out.end(), {p[2], p[1], p[0]});
        }
    return out;
}

std::vector<int> Grey(const GreyFrame& f) {
    std::vector<int> out;
    for (int y = 0; y < f.height; ++y)
        for (int x = 0; x < f.width; ++x) out.push_back(f.pixels[y * f.stride + 3 * x]);
    return out;
}

void ExpectRefused(const std::vector<uint8_t>& bytes, DicomRefusal kind, const std::string& textPart) {
    DicomReader reader;
    EXPECT_EQ(Parse(reader, bytes), -1);
    EXPECT_EQ(reader.refusal(), kind) << reader.refusalText();
    EXPECT_NE(reader.refusalText().find(textPart), std::string::npos) << reader.refusalText();
}

DicomFileBuilder& Colour(DicomFileBuilder& b, uint16_t rows, uint16_t columns, const char* photometric,
                         uint16_t planar, uint16_t bits = 8) {
    b.us(0x0028, 0x0002, 3).text(0x0028, 0x0004, "CS", photometric).us(0x0028, 0x0006, planar);
    b.us(0x0028, 0x0010, rows).us(0x0028, 0x0011, columns).us(0x0028, 0x0100, bits);
    return b.us(0x0028, 0x0101, bits).us(0x0028, 0x0102, static_cast<uint16_t>(bits - 1));
}

// Implicit VR element: tag, 32-bit length, value.
std::vector<uint8_t> Implicit(uint16_t group, uint16_t element, const std::vector<uint8_t>& value,
                              bool undefined = false) {
    std::vector<uint8_t> out;
    DicomFileBuilder::putTag(out, group, element);
    DicomFileBuilder::put32(out, undefined ? 0xFFFFFFFFu : static_cast<uint32_t>(value.size()));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

std::vector<uint8_t> Us(uint16_t v) { return {static_cast<uint8_t>(v), static_cast<uint8_t>(v >> 8)}; }

// ---- Colour ----

TEST(DicomColour, RgbPixelByPixelAndPlaneByPlaneGiveTheSameColours) {
    DicomReader reader;
    DicomFileBuilder interleaved;
    Colour(interleaved, 1, 2, "RGB", 0).pixels8({10, 20, 30, 40, 50, 60});
    ASSERT_EQ(Parse(reader, interleaved.bytes()), 0) << reader.refusalText();
    EXPECT_TRUE(reader.frame()->colour);
    EXPECT_EQ(Rgb(*reader.frame()), (std::vector<int>{10, 20, 30, 40, 50, 60}));
    DicomFileBuilder planes;
    Colour(planes, 1, 2, "RGB", 1).pixels8({10, 40, 20, 50, 30, 60});
    ASSERT_EQ(Parse(reader, planes.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(Rgb(*reader.frame()), (std::vector<int>{10, 20, 30, 40, 50, 60}));
    // 16-bit samples with 12 stored keep their top 8 stored bits.
    DicomFileBuilder wide;
    Colour(wide, 1, 1, "RGB", 0, 16).us(0x0028, 0x0101, 12).us(0x0028, 0x0102, 11);
    wide.pixels16({0x0FFF, 0x0800, 0xF010});
    ASSERT_EQ(Parse(reader, wide.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(Rgb(*reader.frame()), (std::vector<int>{255, 128, 1}));
}

TEST(DicomColour, YbrFull422SharesChromaBetweenPixelPairs) {
    DicomReader reader;
    DicomFileBuilder b;
    // Two pixels: Y 100 and 200, neutral chroma: two greys.
    Colour(b, 1, 2, "YBR_FULL_422", 0).pixels8({100, 200, 128, 128});
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(Rgb(*reader.frame()), (std::vector<int>{100, 100, 100, 200, 200, 200}));
    DicomFileBuilder odd;
    Colour(odd, 1, 3, "YBR_FULL_422", 0).pixels8({1, 2, 3, 4, 5, 6});
    ExpectRefused(odd.bytes(), DicomRefusal::Layout, "odd width");
}

// A palette file: 8-bit indices, the descriptors and table data given per channel.
DicomFileBuilder PaletteFile(uint16_t count, uint16_t first, uint16_t bits, const std::vector<uint8_t>& table,
                             const std::vector<uint8_t>& indices, bool segmented = false) {
    DicomFileBuilder b;
    b.picture(1, static_cast<uint16_t>(indices.size()), 8, 7, 0, "PALETTE COLOR");
    for (uint16_t c = 0; c < 3; ++c) {
        std::vector<uint8_t> d;
        for (uint16_t v : {count, first, bits}) DicomFileBuilder::put16(d, v);
        b.shortElement(0x0028, static_cast<uint16_t>(0x1101 + c), "US", d);
    }
    for (uint16_t c = 0; c < 3; ++c)
        b.longElement(0x0028, static_cast<uint16_t>((segmented ? 0x1221 : 0x1201) + c), "OW", table);
    b.pixels8(indices);
    return b;
}

std::vector<uint8_t> Words(const std::vector<uint16_t>& words) {
    std::vector<uint8_t> out;
    for (uint16_t w : words) DicomFileBuilder::put16(out, w);
    return out;
}

TEST(DicomPalette, TablesMapIndicesAndLyingDescriptorsAreHandled) {
    DicomReader reader;
    // 16-bit entries keep their high byte; indices before the first mapped value take the
    // first entry, those past the end the last.
    auto b = PaletteFile(3, 5, 16, Words({0x1000, 0x2000, 0xFF00}), {0, 5, 6, 7, 200});
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(Rgb(*reader.frame()), (std::vector<int>{16, 16, 16, 16, 16, 16, 32, 32, 32, 255, 255, 255, 255, 255, 255}));
    // 16 bits declared, one byte per entry stored.
    b = PaletteFile(4, 0, 16, {9, 8, 7, 6}, {3, 0});
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(Rgb(*reader.frame()), (std::vector<int>{6, 6, 6, 9, 9, 9}));
    // A count of 0 means 65536 entries, which 8 bytes of data do not hold.
    ExpectRefused(PaletteFile(0, 0, 16, Words({1, 2, 3, 4}), {0}).bytes(), DicomRefusal::Layout, "65536 entries");
    ExpectRefused(PaletteFile(2, 0, 12, Words({1, 2}), {0}).bytes(), DicomRefusal::Layout, "12 bits");
    // Segmented: 2 discrete entries then a linear ramp of 2 up to 0x4000.
    b = PaletteFile(4, 0, 16, Words({0, 2, 0x0000, 0x1000, 1, 2, 0x4000}), {0, 1, 2, 3}, true);
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    EXPECT_EQ(Rgb(*reader.frame()), (std::vector<int>{0, 0, 0, 16, 16, 16, 40, 40, 40, 64, 64, 64}));
    // An indirect segment that refers to itself is refused, not followed forever.
    b = PaletteFile(4, 0, 16, Words({0, 1, 7, 2, 1, 2, 0}), {0}, true);
    ExpectRefused(b.bytes(), DicomRefusal::Layout, "segmented");
}

// ---- Sample widths and frames ----

TEST(DicomSamples, OneBitFramesFollowEachOtherWithoutPadding) {
    // Three frames of 3 x 1 one-bit pixels: 9 bits, so frames start mid-byte.
    DicomFileBuilder b;
    b.text(0x0028, 0x0008, "IS", "3");
    b.picture(1, 3, 1, 0, 0, "MONOCHROME2");
    b.pixels8({0b10110101, 0b00000001});  // bits 0..8: 1 0 1 | 0 1 1 | 0 1 1
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    ASSERT_EQ(reader.frameCount(), 3);
    const std::vector<std::vector<int>> want{{255, 0, 255}, {0, 255, 255}, {0, 255, 255}};
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Grey(*reader.renderFrame(i)), want[i]) << i;
}

TEST(DicomSamples, ThirtyTwoBitSamplesStretchOverEveryFrame) {
    DicomFileBuilder b;
    b.text(0x0028, 0x0008, "IS", "2");
    b.picture(1, 2, 32, 31, 1, "MONOCHROME2");
    b.longElement(0x7FE0, 0x0010, "OW", Words({0xFFFF, 0xFFFF, 0, 0x8000, 0, 0, 0, 0x4000}));  // -1, 2^31-... etc
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0) << reader.refusalText();
    ASSERT_EQ(reader.frameCount(), 2);
    // Values -1, -2^31, 0, 2^30: the lowest maps to 0, the highest to 255 of the second frame.
    EXPECT_EQ(Grey(*reader.renderFrame(0))[1], 0);
    EXPECT_EQ(Grey(*reader.renderFrame(1))[1], 255);
    EXPECT_EQ(reader.renderFrame(2), nullptr);
    EXPECT_NE(reader.refusalText().find("the file has 2 frames"), std::string::npos);
}

TEST(DicomFrames, EveryFrameSharesTheFirstFramesMapping) {
    DicomFileBuilder b;
    b.text(0x0028, 0x0008, "IS", "3");
    b.picture(1, 2).pixels16({0, 10, 20, 20, 5, 5});
    DicomReader reader;
    ASSERT_EQ(Parse(reader, b.bytes()), 0);
    ASSERT_EQ(reader.frameCount(), 3);
    EXPECT_EQ(Grey(*reader.renderFrame(2)), (std::vector<int>{63, 63}));
    EXPECT_EQ(Grey(*reader.renderFrame(1)), (std::vector<int>{255, 255}));
    EXPECT_EQ(Grey(*reader.renderFrame(0)), (std::vector<int>{0, 127}));
}

// ---- Encodings of the data set ----

TEST(DicomEncodings, ImplicitBareAndMislabelledDataSets) {
    std::vector<uint8_t> set = Implicit(0x0008, 0x0016, {'1', '.', '2', 0});
    for (auto [element, value] : {std::pair<uint16_t, uint16_t>{0x0010, 1}, {0x0011, 2}, {0x0100, 8}})
        for (uint8_t byte : Implicit(0x0028, element, Us(value))) set.push_back(byte);
    for (uint8_t byte : Implicit(0x7FE0, 0x0010, {0, 255})) set.push_back(byte);
    DicomReader reader;
    // A Part 10 file and the bare data set give the same picture.
    ASSERT_EQ(Parse(reader, DicomFileBuilder(kImplicit).raw(set).bytes()), 0) << reader.refusalText();
    EXPECT_EQ(Grey(*reader.frame()), (std::vector<int>{0, 255}));
    ASSERT_EQ(Parse(reader, set), 0) << reader.refusalText();
    EXPECT_EQ(reader.transferSyntax(), kImplicit);
    EXPECT_EQ(Grey(*reader.frame()), (std::vector<int>{0, 255}));
    reader.setAcceptBareDataSet(false);
    EXPECT_EQ(Parse(reader, set), -1);
    EXPECT_EQ(reader.refusal(), DicomRefusal::NotDicom);
    // Explicit VR elements under the implicit VR syntax cannot be read as the file says.
    DicomFileBuilder mislabelled(kImplicit);
    mislabelled.picture(1, 2).pixels16({0, 1});
    ExpectRefused(mislabelled.bytes(), DicomRefusal::TransferSyntax, "unsupported transfer syntax 1.2.840.10008.1.2");
}

TEST(DicomEncodings, ImplicitSequencesNestedPastTheLimitAreRefused) {
    std::vector<uint8_t> nested;
    for (int i = 0; i < 100; ++i) {
        for (uint8_t b : Implicit(0x0009, 0x1010, {}, true)) nested.push_back(b);
        for (uint8_t b : DicomFileBuilder::itemTag(0xE000, 0xFFFFFFFFu)) nested.push_back(b);
    }
    ExpectRefused(DicomFileBuilder(kImplicit).raw(Implicit(0x0008, 0x0016, {'1', 0})).raw(nested).bytes(),
                  DicomRefusal::Damaged, "nested");
}

std::vector<uint8_t> RawDeflate(const std::vector<uint8_t>& in) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&z, in.size()));
    z.next_in = const_cast<uint8_t*>(in.data());
    z.avail_in = static_cast<uInt>(in.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

TEST(DicomEncodings, DeflatedDataSetsAreInflatedAndDamagedStreamsRefused) {
    DicomFileBuilder plain;
    plain.picture(1, 3).pixels16({0, 1, 2});
    // The data set of the plain file, after its meta group.
    const std::vector<uint8_t> whole = plain.bytes(), empty = DicomFileBuilder().bytes();
    const std::vector<uint8_t> set(whole.begin() + static_cast<long>(empty.size()), whole.end());
    const std::vector<uint8_t> deflated = RawDeflate(set);
    DicomReader reader;
    ASSERT_EQ(Parse(reader, DicomFileBuilder("1.2.840.10008.1.2.1.99").raw(deflated).bytes()), 0) << reader.refusalText();
    EXPECT_EQ(Grey(*reader.frame()), (std::vector<int>{0, 127, 255}));
    std::vector<uint8_t> damaged = deflated;
    damaged[0] ^= 0xFF;
    damaged[1] ^= 0x55;
    DicomFileBuilder bad("1.2.840.10008.1.2.1.99");
    EXPECT_EQ(Parse(reader, bad.raw(damaged).bytes()), -1);
    EXPECT_NE(reader.refusal(), DicomRefusal::None);
}

// ---- Encapsulated pixel data ----

std::vector<uint8_t> Fragments(const std::vector<uint32_t>& offsets, const std::vector<size_t>& sizes) {
    std::vector<uint8_t> v = DicomFileBuilder::itemTag(0xE000, static_cast<uint32_t>(offsets.size() * 4));
    for (uint32_t o : offsets) DicomFileBuilder::put32(v, o);
    for (size_t s : sizes) {
        for (uint8_t b : DicomFileBuilder::itemTag(0xE000, static_cast<uint32_t>(s))) v.push_back(b);
        v.insert(v.end(), s, 0xAB);
    }
    for (uint8_t b : DicomFileBuilder::itemTag(0xE0DD, 0)) v.push_back(b);
    return v;
}

TEST(DicomEncapsulated, FragmentsAreCheckedThenTheSyntaxIsNamed) {
    auto file = [](const char* frames, const std::vector<uint8_t>& value) {
        DicomFileBuilder b("1.2.840.10008.1.2.4.100");
        b.text(0x0028, 0x0008, "IS", frames);
        b.picture(2, 2, 8, 7);
        b.longElement(0x7FE0, 0x0010, "OB", value, true);
        return b.bytes();
    };
    ExpectRefused(file("2", Fragments({0, 12}, {4, 4})), DicomRefusal::TransferSyntax,
                  "MPEG-2 pixel data is not supported yet (1.2.840.10008.1.2.4.100)");
    ExpectRefused(file("2", Fragments({0, 4000}, {4, 4})), DicomRefusal::Damaged, "outside the pixel data");
    // A table that disagrees with the fragments gives way to them.
    ExpectRefused(file("2", Fragments({0}, {4, 4})), DicomRefusal::TransferSyntax, "MPEG-2 pixel data");
    ExpectRefused(file("3", Fragments({}, {4, 4})), DicomRefusal::Damaged, "without an offset table");
    std::vector<uint8_t> cut = Fragments({}, {4});
    cut.resize(cut.size() - 8);  // no delimiter
    ExpectRefused(file("1", cut), DicomRefusal::Damaged, "delimiter");
}

}  // namespace

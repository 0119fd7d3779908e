// The header step: what it tells of a file without reading a frame, and that it refuses what
// the full read refuses before its first frame.
#include "DicomFileBuilder.h"
#include "DicomReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dicomtest::DicomFileBuilder;

constexpr int kFrames = 600;

void AppendItem(std::vector<uint8_t>& out, uint16_t element, const std::vector<uint8_t>& value) {
    const std::vector<uint8_t> tag = DicomFileBuilder::itemTag(element, static_cast<uint32_t>(value.size()));
    out.insert(out.end(), tag.begin(), tag.end());
    out.insert(out.end(), value.begin(), value.end());
}

// 600 frames of 64 x 64 16-bit samples in one native value (4.9 MB).
std::vector<uint8_t> NativeMovie() {
    DicomFileBuilder b;
    b.picture(64, 64).text(0x0028, 0x0008, "IS", std::to_string(kFrames));
    return b.pixels16(std::vector<uint16_t>(size_t{64} * 64 * kFrames, 1000)).bytes();
}

// 600 RLE frames of 4 KB each behind an empty offset table.
std::vector<uint8_t> EncapsulatedMovie() {
    DicomFileBuilder b("1.2.840.10008.1.2.5");
    b.picture(64, 64, 8, 7).text(0x0028, 0x0008, "IS", std::to_string(kFrames));
    std::vector<uint8_t> items;
    AppendItem(items, 0xE000, {});
    for (int f = 0; f < kFrames; ++f) AppendItem(items, 0xE000, std::vector<uint8_t>(4096, 0x55));
    AppendItem(items, 0xE0DD, {});
    return b.longElement(0x7FE0, 0x0010, "OB", items, true).bytes();
}

}  // namespace

// Catches a header step that reads (or decodes) the frames it only has to count: --info of a
// long loop must not read the loop.
TEST(DicomHeader, CountsSixHundredFramesFromAFewKilobytes) {
    for (const auto& [name, bytes] : {std::pair{"native", NativeMovie()}, std::pair{"encapsulated", EncapsulatedMovie()}}) {
        SCOPED_TRACE(name);
        DicomReader reader;
        ASSERT_EQ(reader.parseHeaderMemory(bytes.data(), bytes.size()), 0) << reader.refusalText();
        EXPECT_EQ(reader.frameCount(), kFrames);
        EXPECT_EQ(reader.rows(), 64);
        EXPECT_LT(reader.bytesRead(), 4096u);
        EXPECT_EQ(reader.frame(), nullptr);
    }
    // The count is of bytes asked for: the full read of the same file asks for all of it.
    DicomReader full;
    const std::vector<uint8_t> native = NativeMovie();
    ASSERT_EQ(full.parseMemory(native.data(), native.size(), 2), 0);
    EXPECT_GT(full.bytesRead(), native.size() - 1024);
}

// Catches a header step that describes as readable a file the read refuses before any frame
// (or refuses one the read takes): both say the same, kind and words.
TEST(DicomHeader, RefusesWhatTheReadRefusesBeforeTheFirstFrame) {
    DicomFileBuilder twelve;
    twelve.picture(2, 3, 12, 11).pixels16({0, 1, 2, 3, 4, 5});
    DicomFileBuilder plan;
    plan.text(0x0008, 0x0016, "UI", "1.2.840.10008.5.1.4.1.1.481.5");
    DicomFileBuilder fewer;
    fewer.picture(2, 3).pixels16({0, 1, 2, 3, 4});
    DicomFileBuilder mpeg2("1.2.840.10008.1.2.4.100");
    std::vector<uint8_t> items;
    AppendItem(items, 0xE000, {});
    AppendItem(items, 0xE000, {1, 2, 3, 4});
    AppendItem(items, 0xE0DD, {});
    mpeg2.picture(2, 2, 8, 7).longElement(0x7FE0, 0x0010, "OB", items, true);
    DicomFileBuilder good;
    good.picture(2, 3).pixels16({0, 1, 2, 3, 4, 5});
    std::vector<uint8_t> cut = good.bytes();
    cut.resize(cut.size() - 3);

    const std::pair<const char*, std::vector<uint8_t>> cases[] = {
        {"12 bits", twelve.bytes()}, {"plan", plan.bytes()}, {"short", fewer.bytes()}, {"mpeg2", mpeg2.bytes()},
        {"cut", cut}, {"not dicom", std::vector<uint8_t>(300, 'x')}, {"good", good.bytes()}};
    for (const auto& [name, bytes] : cases) {
        SCOPED_TRACE(name);
        DicomReader header, full;
        EXPECT_EQ(header.parseHeaderMemory(bytes.data(), bytes.size()), full.parseMemory(bytes.data(), bytes.size(), 2));
        EXPECT_EQ(header.refusal(), full.refusal());
        EXPECT_EQ(header.refusalText(), full.refusalText());
    }
}

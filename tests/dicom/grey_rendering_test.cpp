// The standard grey rendering over data sets built byte by byte: where the reader finds
// windows, LUTs and rescales (nested sequences of defined and undefined length, enhanced
// images' functional groups), and what it does with values it cannot use. The renderings
// themselves are checked against an independent renderer in the converter's tests.
#include "DicomFileBuilder.h"
#include "DicomReader.h"
#include "ElementReader.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using dicomtest::DicomFileBuilder;
using Bytes = std::vector<uint8_t>;

// One explicit VR element, in the long form where its VR has one. undefined writes the value
// as it is (it carries its own delimiter) under the length 0xFFFFFFFF.
Bytes Element(uint16_t group, uint16_t element, const char* vr, Bytes value, bool undefined = false) {
    const bool longForm = IsLongFormVr(vr);
    if (!longForm && value.size() % 2) value.push_back(' ');
    Bytes out;
    DicomFileBuilder::putTag(out, group, element);
    out.insert(out.end(), {static_cast<uint8_t>(vr[0]), static_cast<uint8_t>(vr[1])});
    if (longForm) out.insert(out.end(), {0, 0});
    const uint32_t length = undefined ? 0xFFFFFFFFu : static_cast<uint32_t>(value.size());
    longForm ? DicomFileBuilder::put32(out, length) : DicomFileBuilder::put16(out, static_cast<uint16_t>(length));
    out.insert(out.end(), value.begin(), value.end());
    return out;
}

Bytes Text(uint16_t group, uint16_t element, const char* vr, const std::string& text) {
    return Element(group, element, vr, Bytes(text.begin(), text.end()));
}

Bytes Words(uint16_t group, uint16_t element, const char* vr, const std::vector<uint16_t>& words) {
    Bytes value;
    for (uint16_t w : words) DicomFileBuilder::put16(value, w);
    return Element(group, element, vr, value);
}

Bytes Join(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

// A sequence of the given items, every length defined or every length undefined.
Bytes Sequence(uint16_t group, uint16_t element, const std::vector<Bytes>& items, bool undefined) {
    Bytes value;
    for (const Bytes& item : items)
        value = Join({value, DicomFileBuilder::itemTag(0xE000, undefined ? 0xFFFFFFFFu : static_cast<uint32_t>(item.size())),
                      item, undefined ? DicomFileBuilder::itemTag(0xE00D, 0) : Bytes{}});
    if (undefined) value = Join({value, DicomFileBuilder::itemTag(0xE0DD, 0)});
    return Element(group, element, "SQ", value, undefined);
}

Bytes Window(const char* centre, const char* width) {
    return Join({Text(0x0028, 0x1050, "DS", centre), Text(0x0028, 0x1051, "DS", width)});
}

// Functional groups whose one item holds a Frame VOI LUT item with the window.
Bytes GroupsWithWindow(uint16_t element, const std::vector<Bytes>& frameWindows, bool undefined) {
    std::vector<Bytes> items;
    for (const Bytes& w : frameWindows)
        items.push_back(w.empty() ? Bytes{} : Sequence(0x0028, 0x9132, {w}, undefined));
    return Sequence(0x5200, element, items, undefined);
}

Bytes VoiLut(std::vector<uint16_t> descriptor, std::vector<uint16_t> data) {
    return Sequence(0x0028, 0x3010, {Join({Words(0x0028, 0x3002, "US", descriptor), Words(0x0028, 0x3006, "OW", data)})},
                    false);
}

// Two frames of 1 x 4 samples, 12 bits stored; the elements go between the layout and the pixels.
Bytes Picture(const Bytes& elements, const char* photometric = "MONOCHROME2",
              const std::vector<uint16_t>& samples = {0, 100, 200, 4095, 0, 100, 200, 4095}) {
    DicomFileBuilder b;
    b.picture(1, 4, 16, 11, 0, photometric);
    b.text(0x0028, 0x0008, "IS", "2");
    b.raw(elements);
    b.pixels16(samples);
    return b.bytes();
}

// Cases of the standard rendering; the converter's tests check the levels of each rule
// against an independent renderer and its refusals of unusable values.
struct Case {
    const char* fault;  // what a wrong result would mean
    Bytes file;
    int windowIndex;
    int frame;
    std::vector<int> levels;  // of the frame; empty when the file must be refused
    const char* refusal;      // part of the refusal text
};

// The window 100/101 by the LINEAR rule: 0, 128, 255, 255 for the samples.
const std::vector<int> kWindowed = {0, 128, 255, 255};

std::vector<Case> Cases() {
    const Bytes window = Window("100", "101");
    return {
        {"a shared Frame VOI LUT window in defined-length items is missed",
         Picture(GroupsWithWindow(0x9229, {window}, false)), 0, 1, kWindowed, ""},
        {"a per-frame window in undefined-length items is missed or given to the wrong frame",
         Picture(GroupsWithWindow(0x9230, {Window("5000", "10"), window}, true)), 0, 1, kWindowed, ""},
        {"a frame without its per-frame item does not fall back to the data set's window",
         Picture(Join({window, GroupsWithWindow(0x9230, {Window("5000", "10")}, true)})), 0, 1, kWindowed, ""},
        {"a per-frame item without windows hides the shared window",
         Picture(Join({GroupsWithWindow(0x9229, {window}, false), GroupsWithWindow(0x9230, {Bytes{}, Bytes{}}, false)})),
         0, 0, kWindowed, ""},
        {"the second of several window values is not the one chosen", Picture(Window("5000\\100", "10\\101")), 2, 0,
         kWindowed, ""},
        {"without window or LUT the levels do not span the picture's values", Picture({}), 0, 0, {0, 6, 12, 255}, ""},
        {"without window or LUT the stored bits' range is mapped (a dark picture) or the stretch misses frame 1",
         Picture({}, "MONOCHROME2", {1000, 1100, 1200, 1300, 1300, 1300, 1300, 1600}), 0, 0, {0, 42, 85, 127}, ""},
        {"a LUT whose descriptor claims more entries than its data is read past the data",
         Picture(VoiLut({8, 99, 16}, {0, 65535, 0, 65535})), 0, 0, {0, 255, 255, 255}, ""},
        {"8-bit entries packed two to a word are read as words", Picture(VoiLut({4, 99, 8}, {0xFF00, 0x0080})), 0, 0,
         {0, 255, 0, 0}, ""},
        {"a LUT descriptor of two values is read past its end",
         Picture(Sequence(0x0028, 0x3000, {Join({Words(0x0028, 0x3002, "US", {4, 0}), Words(0x0028, 0x3006, "OW", {1, 2})})},
                          false)),
         0, 0, {}, "no usable LUT Descriptor"},
        {"an item running past its sequence is read as elements",
         Picture(Bytes{0x28, 0x00, 0x10, 0x30, 'S', 'Q', 0, 0, 12, 0, 0, 0, 0xFE, 0xFF, 0x00, 0xE0, 40, 0, 0, 0,
                       0x28, 0x00, 0x02, 0x30}),
         0, 0, {}, "damaged grey attributes"},
    };
}

TEST(GreyRendering, FindsTheFilesValuesAndRefusesThoseItCannotUse) {
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.fault);
        DicomReader reader;
        reader.setRendering({VoiMode::Standard, 0.0, 0.0, c.windowIndex, 0, 8});
        const GreyFrame* frame =
            reader.parseMemory(c.file.data(), c.file.size(), 2) == 0 ? reader.renderFrame(c.frame) : nullptr;
        if (c.levels.empty()) {
            EXPECT_EQ(reader.refusal(), DicomRefusal::Rendering);
            EXPECT_NE(reader.refusalText().find(c.refusal), std::string::npos) << reader.refusalText();
        } else {
            ASSERT_NE(frame, nullptr) << reader.refusalText();
            for (int x = 0; x < 4; ++x) EXPECT_EQ(frame->pixels[3 * x], c.levels[x]) << x;
        }
        // The reader's own conversion never depends on these elements being readable.
        DicomReader plain;
        EXPECT_EQ(plain.parseMemory(c.file.data(), c.file.size(), 2), 0) << plain.refusalText();
    }
}

// Catches 16-bit levels missing from the frame or disagreeing with its 8-bit rows.
TEST(GreyRendering, SixteenBitLevelsComeWithTheFrame) {
    const Bytes file = Picture({});
    DicomReader reader;
    reader.setRendering({VoiMode::Standard, 0.0, 0.0, 0, 0, 16});
    ASSERT_EQ(reader.parseMemory(file.data(), file.size(), 2), 0) << reader.refusalText();
    const GreyFrame* frame = reader.frame();
    ASSERT_TRUE(frame != nullptr && frame->deep != nullptr);
    EXPECT_EQ(frame->deep[3], 65535);
    for (int x = 0; x < 4; ++x) EXPECT_EQ(frame->pixels[3 * x], frame->deep[x] >> 8);
}

}  // namespace

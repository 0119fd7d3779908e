// Basic offset tables as real files write them: closed with the end of the fragments, over
// items of odd length, disagreeing with the fragments. Split rules case by case, then DCMTK's
// JPEG output rewritten each of these ways against the frames of the original picture.
#include "CodestreamFrames.h"
#include "EncapsulatedPixels.h"

#include <gtest/gtest.h>

namespace {

using namespace testsupport;
using Bytes = std::vector<uint8_t>;
using FrameLists = std::vector<std::vector<size_t>>;

// Fragments of the given lengths, each starting with a JPEG start-of-image marker when its
// length is flagged negative, behind a basic table.
EncapsulatedPixels Pixels(const std::vector<uint32_t>& table, const std::vector<int>& lengths) {
    EncapsulatedPixels p;
    p.basicOffsets = table;
    uint64_t item = 0;
    for (int signedLength : lengths) {
        Fragment f;
        f.length = static_cast<size_t>(std::abs(signedLength));
        f.offset = p.data.size();
        f.itemOffset = item;
        p.data.resize(p.data.size() + f.length, 0xAB);
        if (signedLength < 0) p.data[f.offset] = 0xFF, p.data[f.offset + 1] = 0xD8;
        p.fragments.push_back(f);
        item += 8 + f.length;
    }
    return p;
}

TEST(OffsetTables, SplitAsTheFragmentsShow) {
    struct Case {
        const char* fault;
        std::vector<uint32_t> table;
        std::vector<int> lengths;
        size_t frames;
        FrameLists expected;  // empty: refused
        std::string refusal = "";
    };
    const std::vector<Case> cases = {
        {"the end entry refused as a frame too many", {0, 12, 24}, {4, 4}, 2, {{0}, {1}}},
        {"the end entry taken for a frame of fragments", {0, 25, 48}, {4, 5, 4, 3}, 2, {{0, 1}, {2, 3}}},
        {"odd items mistaken for the padded ones", {0, 13}, {5, 5}, 2, {{0}, {1}}},
        {"a table of padded items refused", {0, 14}, {5, 5}, 2, {{0}, {1}}},
        {"a short table refused though the counts agree", {0}, {4, 4}, 2, {{0}, {1}}},
        {"a falling table refused though the counts agree", {12, 0}, {4, 4}, 2, {{0}, {1}}},
        {"the start markers not tried after a wrong table", {0, 3}, {-6, 4, -6}, 2, {{0, 1}, {2}}},
        {"a table pointing past the data accepted", {0, 4000}, {4, 4}, 2, {}, "outside the pixel data"},
        {"the end as a frame's start accepted", {0, 24}, {4, 4}, 2, {}, "outside the pixel data"},
        {"frames made up when nothing tells them apart", {0, 1}, {4, 4}, 3, {}, "cannot be told apart"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        EncapsulatedPixels p = Pixels(c.table, c.lengths);
        std::string error;
        const bool split = SplitFrames(p, c.frames, error);
        EXPECT_EQ(split, !c.expected.empty()) << error;
        if (split) EXPECT_EQ(p.frames, c.expected);
        else EXPECT_NE(error.find(c.refusal), std::string::npos) << error;
    }
}

// The items of a file's encapsulated pixel data (offset table first), and where they start.
struct Items {
    size_t start = 0;
    std::vector<Bytes> values;
};

Items ReadItems(const Bytes& file) {
    const uint8_t header[] = {0xE0, 0x7F, 0x10, 0x00, 'O', 'B', 0, 0, 0xFF, 0xFF, 0xFF, 0xFF};
    Items items;
    const auto at = std::search(file.begin(), file.end(), std::begin(header), std::end(header));
    if (at == file.end()) return items;
    items.start = static_cast<size_t>(at - file.begin()) + sizeof header;
    for (size_t i = items.start; i + 8 <= file.size();) {
        const uint32_t length = file[i + 4] | file[i + 5] << 8 | file[i + 6] << 16 | uint32_t(file[i + 7]) << 24;
        if (file[i + 2] == 0xDD || i + 8 + length > file.size()) break;
        items.values.emplace_back(file.begin() + static_cast<std::ptrdiff_t>(i + 8),
                                  file.begin() + static_cast<std::ptrdiff_t>(i + 8 + length));
        i += 8 + length;
    }
    return items;
}

// The file with its pixel data items written anew: the table, then the fragments.
Bytes WithItems(const Bytes& file, size_t start, const std::vector<uint32_t>& table, const std::vector<Bytes>& fragments) {
    Bytes out(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(start));
    auto item = [&](uint16_t element, const Bytes& value) {
        for (uint8_t b : dicomtest::DicomFileBuilder::itemTag(element, static_cast<uint32_t>(value.size()))) out.push_back(b);
        out.insert(out.end(), value.begin(), value.end());
    };
    Bytes tableBytes;
    for (uint32_t o : table) dicomtest::DicomFileBuilder::put32(tableBytes, o);
    item(0xE000, tableBytes);
    for (const Bytes& f : fragments) item(0xE000, f);
    item(0xE0DD, {});
    return out;
}

// Each frame's item offset; pad counts a padding byte the odd items do not have.
std::vector<uint32_t> TableOf(const std::vector<Bytes>& fragments, bool pad = false) {
    std::vector<uint32_t> table;
    uint32_t at = 0;
    for (const Bytes& f : fragments) {
        table.push_back(at);
        at += 8 + static_cast<uint32_t>(f.size() + (pad ? f.size() % 2 : 0));
    }
    return table;
}

// dcmcjpeg writes a table of one entry per frame over even items; each rewrite must still
// give the original frames, and a table pointing past the fragments must still be refused.
TEST(OffsetTables, RewrittenDcmtkFilesGiveTheOriginalFrames) {
    GLINTWISE_NEED_PEER(HaveTool("dcmcjpeg"), "dcmcjpeg (dcmtk)");
    TempDir tmp;
    const fs::path original = tmp / "original.dcm", encoded = tmp / "encoded.dcm";
    WriteFile(original, codestreamtest::Picture("signed12_3frames"));
    ASSERT_TRUE(codestreamtest::Peer("dcmcjpeg +e1 " + ShellQuote(original.string()) + " " + ShellQuote(encoded.string())));
    std::string why;
    const auto originalFrames = dicomtest::ReaderFrames(original, why);
    ASSERT_EQ(originalFrames.size(), 3u) << why;
    const Bytes file = ReadFile(encoded);
    const Items items = ReadItems(file);
    ASSERT_EQ(items.values.size(), 4u);
    const std::vector<Bytes> fragments(items.values.begin() + 1, items.values.end());
    // Odd lengths: the writer's padding byte dropped, or one byte of junk after the end marker.
    std::vector<Bytes> odd = fragments;
    for (Bytes& f : odd) f.size() % 2 == 0 && f.back() == 0 ? f.pop_back() : f.push_back(0);
    std::vector<uint32_t> withEnd = TableOf(fragments), oddWithEnd = TableOf(odd);
    withEnd.push_back(withEnd.back() + 8 + static_cast<uint32_t>(fragments.back().size()));
    oddWithEnd.push_back(oddWithEnd.back() + 8 + static_cast<uint32_t>(odd.back().size()));
    const struct {
        const char* rewrite;
        std::vector<uint32_t> table;
        const std::vector<Bytes>& fragments;
    } rewrites[] = {
        {"as written", TableOf(fragments), fragments},
        {"an end entry", withEnd, fragments},
        {"odd items", TableOf(odd), odd},
        {"odd items and an end entry", oddWithEnd, odd},
        {"odd items, the table counting padding", TableOf(odd, true), odd},
        {"no table", {}, fragments},
    };
    for (const auto& r : rewrites) {
        SCOPED_TRACE(r.rewrite);
        const fs::path path = tmp / "rewritten.dcm";
        WriteFile(path, WithItems(file, items.start, r.table, r.fragments));
        EXPECT_EQ(dicomtest::ReaderFrames(path, why), originalFrames) << why;
    }
    std::vector<uint32_t> outside = TableOf(fragments);
    outside[2] = 1 << 20;
    const Bytes refused = WithItems(file, items.start, outside, fragments);
    DicomReader reader;
    EXPECT_EQ(reader.parseMemory(refused.data(), refused.size(), 2), -1);
    EXPECT_NE(reader.refusalText().find("outside the pixel data"), std::string::npos) << reader.refusalText();
}

}  // namespace

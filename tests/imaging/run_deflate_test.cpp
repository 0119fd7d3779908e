// The fast option's deflate: streams that zlib inflates back to the input whatever the data
// and however it is handed over, and no larger than zlib's level 1 run-length strategy on
// the filtered rows of medical pictures.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "LfImage.h"
#include "LfImagePNG.h"
#include "LfRunDeflate.h"
#include "TestSupport.h"

namespace {

using Bytes = std::vector<uint8_t>;

void Append(void* context, const uint8_t* bytes, size_t size) {
    static_cast<Bytes*>(context)->insert(static_cast<Bytes*>(context)->end(), bytes, bytes + size);
}

// The stream of `data` handed over in pieces of `piece` bytes (0: at once).
Bytes Pack(const Bytes& data, size_t piece = 0) {
    Bytes stream;
    LfRunDeflater deflater(&Append, &stream);
    EXPECT_TRUE(deflater.Ready());
    const size_t step = piece == 0 ? std::max<size_t>(data.size(), 1) : piece;
    for (size_t at = 0; at < data.size(); at += step) deflater.Put(data.data() + at, std::min(step, data.size() - at));
    EXPECT_TRUE(deflater.Finish());
    return stream;
}

// zlib's inflate of a whole stream; empty with ok false when zlib refuses it.
Bytes Inflate(const Bytes& stream, size_t expected, bool& ok) {
    Bytes out(expected + 1);
    uLongf size = out.size();
    ok = uncompress(out.data(), &size, stream.data(), stream.size()) == Z_OK;
    out.resize(ok ? size : 0);
    return out;
}

size_t ZlibRleSize(const Bytes& data) {
    z_stream z{};
    deflateInit2(&z, 1, Z_DEFLATED, 15, 8, Z_RLE);
    Bytes out(deflateBound(&z, data.size()));
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    const size_t size = z.total_out;
    deflateEnd(&z);
    return size;
}

// A CT-like slice as the converter writes it: noisy tissue in an ellipse, bone, black air.
Bytes CtSlice(uint32_t size, std::mt19937& random) {
    std::normal_distribution<float> noise(0.0f, 10.0f);
    Bytes grey(static_cast<size_t>(size) * size);
    for (uint32_t y = 0; y < size; ++y)
        for (uint32_t x = 0; x < size; ++x) {
            const float dx = (x - size / 2.0f) / (size * 0.4f), dy = (y - size / 2.0f) / (size * 0.3f);
            const float bx = dx * 5, by = (dy - 0.5f) * 5;
            float level = dx * dx + dy * dy <= 1 ? 130 : -50;
            if (bx * bx + by * by <= 1) level = 250;
            if (level > 0) level += noise(random);
            grey[static_cast<size_t>(y) * size + x] = static_cast<uint8_t>(std::clamp(level, 0.0f, 255.0f));
        }
    return grey;
}

// The rows behind a Sub filter byte each, as the PNG writer hands them over.
Bytes SubFiltered(const Bytes& grey, uint32_t width) {
    Bytes out;
    for (size_t row = 0; row < grey.size(); row += width) {
        out.push_back(1);
        for (uint32_t x = 0; x < width; ++x)
            out.push_back(static_cast<uint8_t>(grey[row + x] - (x ? grey[row + x - 1] : 0)));
    }
    return out;
}

}  // namespace

// Catches a wrong length code or extra bits (runs of 3, 258, 259, runs longer than a block),
// a Huffman code longer than deflate's 15 bits or incomplete (skewed counts), a run carried
// wrongly from one call into the next, a bad block header or checksum.
TEST(RunDeflateStreams, ZlibInflatesEveryStreamBackToItsInput) {
    std::mt19937 random(7);
    auto runs = [](std::initializer_list<size_t> lengths) {
        Bytes b;
        uint8_t value = 0;
        for (size_t n : lengths) b.insert(b.end(), n, value++);
        return b;
    };
    Bytes noise(200000);
    for (uint8_t& b : noise) b = static_cast<uint8_t>(random());
    // Each count above the two before it together makes the Huffman tree a chain, 18 levels
    // deep with the end-of-block symbol, in one block. No byte repeats its neighbour, so
    // every one stays a literal.
    std::vector<uint32_t> left(17);
    for (size_t s = 0; s < left.size(); ++s) left[s] = s < 2 ? static_cast<uint32_t>(s + 1) : left[s - 1] + left[s - 2] + 1;
    Bytes skewed;
    for (int last = -1;;) {
        int pick = -1;
        for (int s = 0; s < 17; ++s)
            if (s != last && left[s] > 0 && (pick < 0 || left[s] > left[pick])) pick = s;
        if (pick < 0) break;
        --left[pick];
        skewed.push_back(static_cast<uint8_t>(pick));
        last = pick;
    }
    struct Case {
        const char* name;
        Bytes data;
    };
    const std::vector<Case> cases = {
        {"empty", {}},
        {"one byte", {42}},
        {"runs around the length codes' edges", runs({1, 2, 3, 4, 10, 11, 257, 258, 259, 516, 3})},
        {"a run longer than a block", Bytes(300000, 0)},
        {"noise over several blocks", noise},
        {"skewed symbol counts", skewed},
        {"filtered CT rows", SubFiltered(CtSlice(256, random), 256)},
    };
    for (const Case& c : cases) {
        for (const size_t piece : {size_t{0}, size_t{1}, size_t{7}, size_t{513}}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            bool ok = false;
            const Bytes back = Inflate(Pack(c.data, piece), c.data.size(), ok);
            ASSERT_TRUE(ok);
            EXPECT_TRUE(back == c.data);
        }
    }
}

// Catches the fast option packing the converter's pictures worse than the zlib setting it
// replaced (level 1, run-length strategy, Sub filter).
TEST(RunDeflateSize, MedicalPicturesPackNoWorseThanZlibLevelOneRunLength) {
    std::mt19937 random(36);
    for (uint32_t size : {64u, 512u}) {
        SCOPED_TRACE(size);
        const Bytes filtered = SubFiltered(CtSlice(size, random), size);
        EXPECT_LE(Pack(filtered, size + 1).size(), ZlibRleSize(filtered));
    }
}

// The RLE and JPEG lossless frame decoders on frames built byte by byte: sample order,
// restart intervals, and every kind of damage refused with a reason, never written past
// the frame (the sanitizer build watches the writes).
#include "EncapsulatedPixels.h"
#include "JpegFrameDecoder.h"
#include "JpegLosslessDecoder.h"
#include "RleDecoder.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;

PixelLayout Grey(uint16_t rows, uint16_t columns, uint16_t bits) {
    PixelLayout l;
    l.rows = rows;
    l.columns = columns;
    l.bitsAllocated = l.bitsStored = bits;
    l.highBit = static_cast<uint16_t>(bits - 1);
    return l;
}

void Put32(Bytes& b, uint32_t v) {
    for (int i = 0; i < 4; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

// An RLE frame: the header lists `count` segments at `offsets` (their real places when empty).
Bytes Rle(const std::vector<Bytes>& segments, uint32_t count = 0, std::vector<uint32_t> offsets = {}) {
    if (offsets.empty()) {
        uint32_t at = 64;
        for (const Bytes& s : segments) {
            offsets.push_back(at);
            at += static_cast<uint32_t>(s.size());
        }
    }
    Bytes out;
    Put32(out, count ? count : static_cast<uint32_t>(segments.size()));
    for (size_t i = 0; i < 15; ++i) Put32(out, i < offsets.size() ? offsets[i] : 0);
    for (const Bytes& s : segments) out.insert(out.end(), s.begin(), s.end());
    return out;
}

// Catches segments taken in the wrong byte order, runs and no-op headers misread.
TEST(RleFrames, SegmentsGiveLittleEndianSamplesMostSignificantFirst) {
    // High bytes: a literal of four; low bytes: a run of two, a no-op, a literal of two.
    const Bytes frame = Rle({{0x03, 0x10, 0x20, 0x30, 0x40}, {0xFF, 0x07, 0x80, 0x01, 0x01, 0x02, 0x00}});
    Bytes out(8);
    std::string error;
    ASSERT_TRUE(DecodeRleFrame(frame.data(), frame.size(), Grey(2, 2, 16), out.data(), error)) << error;
    EXPECT_EQ(out, (Bytes{0x07, 0x10, 0x07, 0x20, 0x01, 0x30, 0x02, 0x40}));
}

// Catches colour planes interleaved wrongly for either planar configuration.
TEST(RleFrames, ColourPlanesFollowThePlanarConfiguration) {
    const Bytes frame = Rle({{0x01, 'r', 'R'}, {0x01, 'g', 'G'}, {0x01, 'b', 'B'}});
    PixelLayout l = Grey(1, 2, 8);
    l.samplesPerPixel = 3;
    l.photometric = Photometric::Rgb;
    Bytes out(6);
    std::string error;
    ASSERT_TRUE(DecodeRleFrame(frame.data(), frame.size(), l, out.data(), error)) << error;
    EXPECT_EQ(std::string(out.begin(), out.end()), "rgbRGB");
    l.planarConfiguration = 1;
    ASSERT_TRUE(DecodeRleFrame(frame.data(), frame.size(), l, out.data(), error)) << error;
    EXPECT_EQ(std::string(out.begin(), out.end()), "rRgGbB");
}

struct Damaged {
    const char* what;
    Bytes frame;
};

// Catches reads past the fragment, headers that overflow the segment table, and short
// segments reported as success.
TEST(RleFrames, DamagedFramesAreRefused) {
    const Bytes high{0x03, 1, 2, 3, 4}, low{0xFD, 9};
    const std::vector<Damaged> cases = {
        {"16 segments", Rle({high, low}, 16)},
        {"no segments", Rle({high, low}, 0xFFFFFFFF)},
        {"one segment for 16-bit samples", Rle({high}, 1)},
        {"offset past the fragment", Rle({high, low}, 2, {64, 4000})},
        {"offset inside the header", Rle({high, low}, 2, {8, 69})},
        {"offsets falling", Rle({high, low}, 2, {69, 64})},
        {"segment ends early", Rle({high, {0x01, 9, 9}})},
        {"literal past the segment", Rle({high, {0x03, 9}})},
        {"run without its byte", Rle({high, {0xFD}})},
        {"header cut short", Bytes(40, 0)},
    };
    for (const Damaged& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes out(8);
        std::string error;
        EXPECT_FALSE(DecodeRleFrame(c.frame.data(), c.frame.size(), Grey(2, 2, 16), out.data(), error));
        EXPECT_FALSE(error.empty());
    }
}

// A lossless JPEG frame with one Huffman table: by default 2 x 2 8-bit grey, predictor 1,
// code 0 for a difference of 0 and 10 for category 1.
struct Lossless {
    uint8_t frameMarker = 0xC3;
    uint8_t precision = 8;
    uint16_t rows = 2, columns = 2;
    uint8_t components = 1;
    uint8_t predictor = 1, pointTransform = 0, table = 0;
    Bytes counts{1, 1};
    Bytes values{0, 1};
    uint16_t restartInterval = 0;
    bool scan = true;
    Bytes entropy{0xAF, 0xAF};  // 10 1 0 per row: +1 then 0

    Bytes build() const {
        Bytes b{0xFF, 0xD8};
        auto segment = [&b](uint8_t marker, const Bytes& body) {
            const size_t n = body.size() + 2;
            b.insert(b.end(), {0xFF, marker, uint8_t(n >> 8), uint8_t(n)});
            b.insert(b.end(), body.begin(), body.end());
        };
        if (restartInterval) segment(0xDD, {uint8_t(restartInterval >> 8), uint8_t(restartInterval)});
        Bytes dht{0x00};
        for (size_t i = 0; i < 16; ++i) dht.push_back(i < counts.size() ? counts[i] : 0);
        dht.insert(dht.end(), values.begin(), values.end());
        segment(0xC4, dht);
        Bytes sof{precision, uint8_t(rows >> 8), uint8_t(rows), uint8_t(columns >> 8), uint8_t(columns), components};
        for (uint8_t c = 1; c <= components; ++c) sof.insert(sof.end(), {c, 0x11, 0});
        segment(frameMarker, sof);
        if (scan) {
            Bytes sos{components};
            for (uint8_t c = 1; c <= components; ++c) sos.insert(sos.end(), {c, uint8_t(table << 4)});
            sos.insert(sos.end(), {predictor, 0, pointTransform});
            segment(0xDA, sos);
            b.insert(b.end(), entropy.begin(), entropy.end());
        }
        b.insert(b.end(), {0xFF, 0xD9});
        return b;
    }
};

bool DecodeLossless(const Bytes& frame, const PixelLayout& layout, Bytes& out, std::string& error) {
    out.assign(layout.frameSamples() * layout.sampleBytes(), 0xEE);
    return DecodeJpegFrame(frame.data(), frame.size(), layout, out.data(), error);
}

// Catches a restart interval that does not reset the prediction (the second row would
// predict from the row above and give 130).
TEST(JpegLosslessFrames, RestartIntervalResetsThePrediction) {
    Lossless plain;
    plain.entropy = {0xA3};  // 10 1 0, then 0 0 for the second row (predicted from above)
    Bytes out;
    std::string error;
    ASSERT_TRUE(DecodeLossless(plain.build(), Grey(2, 2, 8), out, error)) << error;
    EXPECT_EQ(out, (Bytes{129, 129, 129, 129}));
    Lossless restarted;
    restarted.restartInterval = 2;
    restarted.entropy = {0xAF, 0xFF, 0xD0, 0xAF};
    ASSERT_TRUE(DecodeLossless(restarted.build(), Grey(2, 2, 8), out, error)) << error;
    EXPECT_EQ(out, (Bytes{129, 129, 129, 129}));
    // 16 bits allocated: little-endian words, the point transform shifting them up.
    restarted.pointTransform = 3;
    ASSERT_TRUE(DecodeLossless(restarted.build(), Grey(2, 2, 16), out, error)) << error;
    EXPECT_EQ(out, (Bytes{0x88, 0, 0x88, 0, 0x88, 0, 0x88, 0}));  // (16 + 1) << 3
}


// Catches frames disagreeing with the picture written anyway, Huffman tables that overflow,
// impossible scan parameters and data that ends early.
TEST(JpegLosslessFrames, DamagedFramesAreRefused) {
    auto with = [](auto change) {
        Lossless l;
        change(l);
        return l.build();
    };
    const Bytes good = Lossless{}.build();
    const std::vector<Damaged> cases = {
        {"more rows than the picture", with([](Lossless& l) { l.rows = 3; })},
        {"fewer columns", with([](Lossless& l) { l.columns = 1; })},
        {"12 bits in 8 allocated", with([](Lossless& l) { l.precision = 12; })},
        {"precision 1", with([](Lossless& l) { l.precision = 1; })},
        {"precision 17", with([](Lossless& l) { l.precision = 17; })},
        {"three components for grey", with([](Lossless& l) { l.components = 3; })},
        {"Huffman codes overflow", with([](Lossless& l) { l.counts = {3}; l.values = {0, 1, 2}; })},
        {"Huffman table longer than its segment", with([](Lossless& l) { l.counts = {0, 0, 0, 0, 0, 0, 0, 200}; })},
        {"category above 16", with([](Lossless& l) { l.values = {17, 1}; l.entropy = {0x00, 0x00}; })},
        {"predictor 0", with([](Lossless& l) { l.predictor = 0; })},
        {"predictor 8", with([](Lossless& l) { l.predictor = 8; })},
        {"point transform of the whole precision", with([](Lossless& l) { l.pointTransform = 8; })},
        {"undefined table", with([](Lossless& l) { l.table = 2; })},
        {"no scan", with([](Lossless& l) { l.scan = false; })},
        {"data ends early", with([](Lossless& l) { l.entropy = {}; })},
        {"restart marker missing", with([](Lossless& l) { l.restartInterval = 2; })},
        {"arithmetic coding", with([](Lossless& l) { l.frameMarker = 0xCB; })},
        {"hierarchical", with([](Lossless& l) { l.frameMarker = 0xC7; })},
        {"16-bit DCT", with([](Lossless& l) { l.frameMarker = 0xC1; l.precision = 16; })},
        {"12-bit DCT in 8 bits allocated", with([](Lossless& l) { l.frameMarker = 0xC1; l.precision = 12; })},
        {"no start marker", Bytes(good.begin() + 2, good.end())},
        {"segment past the end", Bytes(good.begin(), good.begin() + 8)},
    };
    for (const Damaged& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes out;
        std::string error;
        EXPECT_FALSE(DecodeLossless(c.frame, Grey(2, 2, 8), out, error));
        EXPECT_FALSE(error.empty());
    }
    // Every cut of a good frame, with and without restart markers, ends cleanly.
    Lossless restarted;
    restarted.restartInterval = 2;
    restarted.entropy = {0xAF, 0xFF, 0xD0, 0xAF};
    for (const Bytes& frame : {good, restarted.build()})
        for (size_t n = 0; n < frame.size(); ++n) {
            Bytes out;
            std::string error;
            DecodeLossless(Bytes(frame.begin(), frame.begin() + n), Grey(2, 2, 8), out, error);
        }
}

}  // namespace

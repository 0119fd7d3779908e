// GIF codec: the layout of what we write (tiles, sub-blocks, code widths, headers), round
// trips, composition of decoded frames (disposal, interlace, transparency), peers' files
// against Pillow's pixels, our files in Pillow and ImageMagick, and damaged input.
#include <gtest/gtest.h>

#include <array>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "LfImageGIF.h"
#include "PeerPixels.h"

namespace fs = std::filesystem;
using peer::Bytes;
using testsupport::ShellQuote;
using testsupport::TempDir;

namespace {

// ---- reading GIF structure independently of the codec

struct Frame {
    uint32_t left = 0, top = 0, width = 0, height = 0;
    uint8_t flags = 0;
    int controlFlags = -1;  // -1: no control extension
    int transparent = 0;
    int minCodeSize = 0;
    Bytes data;                       // the LZW bytes, sub-blocks joined
    std::vector<size_t> blockLengths;
};

struct Structure {
    uint32_t width = 0, height = 0;
    uint8_t flags = 0;
    std::vector<Frame> frames;
    bool looping = false;
    bool trailer = false;
};

bool ReadBlocks(const Bytes& b, size_t& at, Frame* frame) {
    while (at < b.size()) {
        const size_t n = b[at++];
        if (n == 0) return true;
        if (at + n > b.size()) return false;
        if (frame) {
            frame->blockLengths.push_back(n);
            frame->data.insert(frame->data.end(), b.begin() + at, b.begin() + at + n);
        }
        at += n;
    }
    return false;
}

bool Parse(const Bytes& b, Structure& s) {
    if (b.size() < 13 || std::string(b.begin(), b.begin() + 6) != "GIF89a") return false;
    s.width = b[6] | (b[7] << 8);
    s.height = b[8] | (b[9] << 8);
    s.flags = b[10];
    size_t at = 13 + ((s.flags & 0x80) ? 3u * (2u << (s.flags & 7)) : 0);
    int controlFlags = -1, transparent = 0;
    while (at < b.size()) {
        const uint8_t c = b[at++];
        if (c == ';') return s.trailer = true;
        if (c == '!') {
            const uint8_t label = b[at++];
            if (label == 0xF9) controlFlags = b[at + 1], transparent = b[at + 4];
            if (label == 0xFF) s.looping = true;
            if (!ReadBlocks(b, at, nullptr)) return false;
        } else if (c == ',') {
            Frame f;
            f.left = b[at] | (b[at + 1] << 8);
            f.top = b[at + 2] | (b[at + 3] << 8);
            f.width = b[at + 4] | (b[at + 5] << 8);
            f.height = b[at + 6] | (b[at + 7] << 8);
            f.flags = b[at + 8];
            at += 9 + ((f.flags & 0x80) ? 3u * (2u << (f.flags & 7)) : 0);
            f.controlFlags = controlFlags;
            f.transparent = transparent;
            controlFlags = -1;
            f.minCodeSize = b[at++];
            if (!ReadBlocks(b, at, &f)) return false;
            s.frames.push_back(std::move(f));
        } else {
            return false;
        }
    }
    return false;
}

// A plain LZW reader (dictionary of strings) that reports the widest code and the clears.
struct Codes {
    Bytes pixels;
    int widest = 0;
    int clears = 0;
    bool ended = false;
};

Codes ReadCodes(const Bytes& data, int minCodeSize) {
    Codes out;
    const int clear = 1 << minCodeSize;
    std::vector<Bytes> dict;
    auto reset = [&] {
        dict.assign(clear + 2, {});
        for (int i = 0; i < clear; ++i) dict[i] = {uint8_t(i)};
    };
    reset();
    int width = minCodeSize + 1;
    size_t bit = 0;
    Bytes prev;
    while (bit + width <= data.size() * 8) {
        int code = 0;
        for (int k = 0; k < width; ++k, ++bit) code |= ((data[bit / 8] >> (bit % 8)) & 1) << k;
        out.widest = std::max(out.widest, width);
        if (code == clear) {
            ++out.clears;
            reset();
            width = minCodeSize + 1;
            prev.clear();
            continue;
        }
        if (code == clear + 1) return out.ended = true, out;
        Bytes entry;
        if (code < int(dict.size())) entry = dict[code];
        else if (code == int(dict.size()) && !prev.empty()) entry = prev, entry.push_back(prev[0]);
        else return out;
        if (!prev.empty() && dict.size() < 4096) {
            Bytes added = prev;
            added.push_back(entry[0]);
            dict.push_back(added);
            if (dict.size() == (1u << width) && width < 12) ++width;
        }
        out.pixels.insert(out.pixels.end(), entry.begin(), entry.end());
        prev = entry;
    }
    return out;
}

// ---- building GIFs byte by byte

struct FrameSpec {
    uint32_t left = 0, top = 0, width = 1, height = 1;
    Bytes pixels = {};       // top row first
    Bytes localTable = {};   // rgb triples, empty: none
    int disposal = 0;
    int transparent = -1;
    bool interlaced = false;
    int minCodeSize = 2;
};

void Put16(Bytes& b, uint32_t v) { b.push_back(uint8_t(v)), b.push_back(uint8_t(v >> 8)); }

// Literal codes only, with a clear before the table would make the codes wider.
Bytes LiteralLzw(const Bytes& pixels, int minCodeSize) {
    const int clear = 1 << minCodeSize, width = minCodeSize + 1;
    std::vector<int> codes = {clear};
    for (size_t i = 0; i < pixels.size(); ++i) {
        if (i > 0 && i % (clear - 2) == 0) codes.push_back(clear);
        codes.push_back(pixels[i]);
    }
    codes.push_back(clear + 1);
    Bytes bytes;
    uint32_t acc = 0;
    int bits = 0;
    for (int c : codes) {
        acc |= uint32_t(c) << bits;
        for (bits += width; bits >= 8; bits -= 8, acc >>= 8) bytes.push_back(uint8_t(acc));
    }
    if (bits) bytes.push_back(uint8_t(acc));
    Bytes out = {uint8_t(minCodeSize)};
    for (size_t at = 0; at < bytes.size(); at += 255) {
        const size_t n = std::min<size_t>(255, bytes.size() - at);
        out.push_back(uint8_t(n));
        out.insert(out.end(), bytes.begin() + at, bytes.begin() + at + n);
    }
    out.push_back(0);
    return out;
}

uint8_t TableFlags(size_t entries) {
    int bits = 0;
    while ((2u << bits) < entries / 3) ++bits;
    return uint8_t(0x80 | bits);
}

Bytes BuildGif(uint32_t width, uint32_t height, const Bytes& global, const std::vector<FrameSpec>& frames,
               uint8_t background = 0) {
    Bytes b = {'G', 'I', 'F', '8', '9', 'a'};
    Put16(b, width);
    Put16(b, height);
    b.push_back(global.empty() ? 0 : TableFlags(global.size()));
    b.push_back(background);
    b.push_back(0);
    b.insert(b.end(), global.begin(), global.end());
    for (const FrameSpec& f : frames) {
        b.insert(b.end(), {0x21, 0xF9, 4, uint8_t((f.disposal << 2) | (f.transparent >= 0 ? 1 : 0)), 0, 0,
                           uint8_t(f.transparent >= 0 ? f.transparent : 0), 0});
        b.push_back(',');
        Put16(b, f.left), Put16(b, f.top), Put16(b, f.width), Put16(b, f.height);
        b.push_back(uint8_t((f.localTable.empty() ? 0 : TableFlags(f.localTable.size())) | (f.interlaced ? 0x40 : 0)));
        b.insert(b.end(), f.localTable.begin(), f.localTable.end());
        Bytes order;
        if (f.interlaced) {
            for (uint32_t pass : {0u, 1u, 2u, 3u})
                for (uint32_t y = (pass == 0 ? 0 : pass == 1 ? 4 : pass == 2 ? 2 : 1); y < f.height;
                     y += pass < 2 ? 8 : pass == 2 ? 4 : 2)
                    order.insert(order.end(), f.pixels.begin() + y * f.width, f.pixels.begin() + (y + 1) * f.width);
        }
        const Bytes lzw = LiteralLzw(f.interlaced ? order : f.pixels, f.minCodeSize);
        b.insert(b.end(), lzw.begin(), lzw.end());
    }
    b.push_back(';');
    return b;
}

// red, green, blue, white
const Bytes kFourColours = {255, 0, 0, 0, 255, 0, 0, 0, 255, 255, 255, 255};

Bytes Encode(LfImageGIF& image) {
    LfMemFile stream;
    stream.Open();
    EXPECT_TRUE(image.Encode(&stream)) << image.LastError();
    const uint8_t* data = stream.GetBuffer(false);
    return Bytes(data, data + stream.Size());
}

bool Decode(const Bytes& file, LfImageGIF& image) { return peer::DecodeWith(image, file); }

void FillRandom(LfImage& image, uint32_t seed, uint32_t colours = 256) {
    std::mt19937 rng(seed);
    for (uint32_t y = 0; y < image.Height(); ++y)
        for (uint32_t x = 0; x < image.Width(); ++x) {
            if (image.IsIndexed()) image.SetPixelIndex(x, y, uint8_t(rng() % colours));
            else image.SetPixelColor(x, y, LfRgbQuad{uint8_t(rng()), uint8_t(rng()), uint8_t(rng() & 0xF0), 0});
        }
    for (uint32_t i = 0; i < image.NumColors(); ++i)
        image.SetPaletteColor(uint8_t(i), LfRgbQuad{uint8_t(rng()), uint8_t(rng()), uint8_t(rng()), 0});
}

// Our picture as letters of a colour map, top row first: r g b w, '.' for transparent.
std::string Letters(const LfImage& image) {
    const peer::Rgba rgba = peer::ToRgba(image);
    std::string out;
    for (size_t i = 0; i < rgba.pixels.size(); i += 4) {
        const uint8_t* p = &rgba.pixels[i];
        if (i > 0 && (i / 4) % rgba.width == 0) out += '/';
        out += p[3] == 0 ? '.' : p[0] && p[1] && p[2] ? 'w' : p[0] ? 'r' : p[1] ? 'g' : p[2] ? 'b' : 'k';
    }
    return out;
}

// ---------------------------------------------------------------------------------------
// Layout: what the encoder writes

TEST(GifLayout, TrueColourPicturesAreTiledInSeventeenByFifteenFramesWithLocalTables) {
    struct Case {
        uint32_t width, height;
        std::vector<std::array<uint32_t, 4>> tiles;  // left, top, width, height
    };
    const Case cases[] = {
        {34, 30, {{0, 0, 17, 15}, {17, 0, 17, 15}, {0, 15, 17, 15}, {17, 15, 17, 15}}},
        {20, 10, {{0, 0, 17, 10}, {17, 0, 3, 10}}},
        {1, 1, {{0, 0, 1, 1}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height));
        LfImageGIF image;
        ASSERT_TRUE(image.Create(c.width, c.height, 24, LF_FORMAT_GIF));
        FillRandom(image, c.width);
        Structure s;
        ASSERT_TRUE(Parse(Encode(image), s));
        EXPECT_EQ(s.flags, 0x11);  // no global table
        EXPECT_FALSE(s.looping);
        ASSERT_EQ(s.frames.size(), c.tiles.size());
        for (size_t k = 0; k < c.tiles.size(); ++k) {
            const Frame& f = s.frames[k];
            EXPECT_EQ((std::array<uint32_t, 4>{f.left, f.top, f.width, f.height}), c.tiles[k]) << k;
            EXPECT_EQ(f.flags, 0x87);
            EXPECT_EQ(f.minCodeSize, 8);
            EXPECT_EQ(f.controlFlags, 0);
        }
    }
}

// Header flags, minimum code size, and what the control and comment extensions carry (a
// 24-bit picture's transparency goes to entry 0 of every tile).
TEST(GifLayout, HeaderAndExtensionsPerDepth) {
    const struct {
        uint32_t bits;
        uint8_t flags;
        int minCodeSize, control, transparent;
    } cases[] = {{1, 0x80, 2, 1 | 2 << 2, 1}, {4, 0xE3, 4, 1 | 2 << 2, 1}, {8, 0xE7, 8, 1 | 2 << 2, 1}, {24, 0x11, 8, 1, 0}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        LfImageGIF image;
        ASSERT_TRUE(image.Create(5, 3, c.bits, LF_FORMAT_GIF));
        image.SetTransparentIndex(1);
        image.SetDisposal(2);
        image.SetComment("made here");
        const Bytes file = Encode(image);
        Structure s;
        ASSERT_TRUE(Parse(file, s));
        EXPECT_EQ(s.flags, c.flags);
        EXPECT_EQ(s.frames.at(0).minCodeSize, c.minCodeSize);
        EXPECT_EQ(s.frames.at(0).controlFlags, c.control);
        EXPECT_EQ(s.frames.at(0).transparent, c.transparent);
        LfImageGIF back;
        ASSERT_TRUE(Decode(file, back));
        EXPECT_STREQ(back.Comment(), "made here");
        EXPECT_EQ(back.TransparentIndex(), c.transparent);
    }
}

// Noise fills the 4096-code table several times: the codes must widen to 12 bits, a clear
// must restart the table, no sub-block may exceed 254 bytes, and a plain LZW reader must get
// every pixel back.
TEST(GifLayout, CodesGrowToTwelveBitsWithClearsInShortSubBlocks) {
    for (uint32_t bits : {1u, 4u, 8u}) {
        SCOPED_TRACE(bits);
        LfImageGIF image;
        ASSERT_TRUE(image.Create(300, 200, bits, LF_FORMAT_GIF));
        FillRandom(image, bits, 1u << bits);
        Structure s;
        ASSERT_TRUE(Parse(Encode(image), s));
        const Frame& f = s.frames.at(0);
        for (size_t n : f.blockLengths) ASSERT_LE(n, 254u);
        const Codes codes = ReadCodes(f.data, f.minCodeSize);
        EXPECT_TRUE(codes.ended);
        EXPECT_EQ(codes.widest, 12);
        EXPECT_GT(codes.clears, 1);
        ASSERT_EQ(codes.pixels.size(), 300u * 200u);
        for (uint32_t i = 0; i < codes.pixels.size(); ++i)
            ASSERT_EQ(codes.pixels[i], image.PixelIndex(i % 300, 199 - i / 300)) << i;
    }
}

TEST(GifLayout, FailedWriteFailsTheEncode) {
    for (uint32_t bits : {8u, 24u}) {
        LfImageGIF image;
        ASSERT_TRUE(image.Create(40, 40, bits, LF_FORMAT_GIF));
        FillRandom(image, 3);
        const size_t size = Encode(image).size();
        for (size_t room : {size_t(0), size_t(12), size_t(800), size - 1}) {
            SCOPED_TRACE(std::to_string(bits) + " bits, room " + std::to_string(room));
            peer::FailingStream stream(room);
            EXPECT_FALSE(image.Encode(&stream));
            EXPECT_STREQ(image.LastError(), "Write Error in GIF file");
        }
    }
}

// ---------------------------------------------------------------------------------------
// Round trips

TEST(GifRoundTrip, EveryDepthComesBackPixelForPixel) {
    // 34 x 30 and 18 x 16 are recognised mosaics; 17 x 15 is a single tile and comes back
    // as a palette picture of the same colours.
    const struct {
        uint32_t width, height, bits, backBits;
    } cases[] = {{13, 7, 1, 1}, {13, 7, 4, 4}, {13, 7, 8, 8}, {34, 30, 24, 24}, {18, 16, 24, 24},
                 {17, 15, 24, 8}, {300, 200, 8, 8}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.width) + "x" + std::to_string(c.height) + "x" + std::to_string(c.bits));
        LfImageGIF image;
        ASSERT_TRUE(image.Create(c.width, c.height, c.bits, LF_FORMAT_GIF));
        FillRandom(image, c.bits + c.width);
        if (c.bits == 24) image.SetPixelColor(0, 0, LfRgbQuad{0, 0, 0, 0});  // black takes entry 0
        LfImageGIF back;
        ASSERT_TRUE(Decode(Encode(image), back)) << back.LastError();
        EXPECT_EQ(back.BitCount(), c.backBits);
        EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(image), 0, false), 0u);
    }
}

TEST(GifRoundTrip, TransparentTrueColourKeepsItsColourAndEveryPixel) {
    LfImageGIF image;
    ASSERT_TRUE(image.Create(40, 20, 24, LF_FORMAT_GIF));
    FillRandom(image, 9);
    const LfRgbQuad key{10, 20, 30, 0};
    image.SetTransparentIndex(0);
    image.SetTransparentColor(key);
    image.SetPixelColor(5, 5, key);
    LfImageGIF back;
    ASSERT_TRUE(Decode(Encode(image), back));
    EXPECT_EQ(back.BitCount(), 24u);
    EXPECT_EQ(back.TransparentIndex(), 0);
    EXPECT_EQ(back.TransparentColor(), key);
    EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(image), 0, false), 0u);
}

TEST(GifRoundTrip, RetainedFramesAreWrittenAsALoopingAnimation) {
    const Bytes file = BuildGif(4, 4, kFourColours,
                                {{.width = 4, .height = 4, .pixels = Bytes(16, 0)},
                                 {.left = 1, .top = 1, .width = 2, .height = 2, .pixels = {1, 2, 3, 1}}});
    LfImageGIF frames;
    frames.SetRetrieveAllFrames(true);
    ASSERT_TRUE(Decode(file, frames)) << frames.LastError();
    ASSERT_EQ(frames.NumFrames(), 2);
    ASSERT_NE(frames.Frame(1), nullptr);
    Structure s;
    const Bytes again = Encode(frames);
    ASSERT_TRUE(Parse(again, s));
    EXPECT_TRUE(s.looping);
    EXPECT_EQ(s.frames.size(), 2u);
    LfImageGIF last;
    last.SetCurrentFrame(1);
    ASSERT_TRUE(Decode(again, last));
    EXPECT_EQ(Letters(last), "rrrr/rgbr/rwgr/rrrr");
}

// The registry row: saving by path with the GIF identifier, and loading through the probe.
TEST(GifRoundTrip, SaveAndProbeThroughTheDispatch) {
    TempDir dir;
    const std::string path = (dir / "picture.gif").string();
    LfImage image;
    ASSERT_TRUE(image.Create(40, 20, 24));
    FillRandom(image, 11);
    ASSERT_TRUE(image.Save(path.c_str(), LF_FORMAT_GIF)) << image.LastError();
    LfImage back;
    ASSERT_TRUE(back.Load(path.c_str(), 0)) << back.LastError();
    EXPECT_EQ(back.Type(), uint32_t(LF_FORMAT_GIF));
    EXPECT_EQ(back.NumFrames(), 6);  // 3 x 2 tiles
    EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(image), 0, false), 0u);
    LfImage probe;  // the header alone gives the size
    probe.SetEscape(-1);
    ASSERT_TRUE(probe.Load(path.c_str(), LF_FORMAT_GIF));
    EXPECT_EQ(probe.Width(), 40u);
    EXPECT_FALSE(probe.IsValid());
}

TEST(GifRoundTrip, AnimationRefusals) {
    LfImage palette, colour, empty;
    palette.Create(2, 2, 8);
    colour.Create(2, 2, 24);
    LfImage* good[] = {&palette, &palette};
    LfImage* withNull[] = {&palette, nullptr};
    LfImage* withEmpty[] = {&palette, &empty};
    LfImage* withColour[] = {&palette, &colour};
    LfMemFile stream;
    stream.Open();
    const struct {
        LfFile* stream;
        LfImage* const* frames;
        int count;
        const char* message;
    } cases[] = {
        {nullptr, good, 2, "invalid file pointer"},
        {&stream, good, 0, "multipage GIF, no images!"},
        {&stream, nullptr, 2, "multipage GIF, no images!"},
        {&stream, withNull, 2, "Bad image pointer"},
        {&stream, withEmpty, 2, "Empty image"},
        {&stream, withColour, 2,
         "LfImageGIF::Encode cannot create animated GIFs with a true color frame. Reduce the bit depth first"},
    };
    for (const auto& c : cases) {
        LfImageGIF gif;
        EXPECT_FALSE(gif.EncodeFrames(c.stream, c.frames, c.count));
        EXPECT_STREQ(gif.LastError(), c.message);
    }
}

// ---------------------------------------------------------------------------------------
// Composition of decoded frames

TEST(GifDecode, DisposalInterlaceAndTransparency) {
    const FrameSpec full{.width = 4, .height = 4, .pixels = Bytes(16, 0)};
    auto block = [](int disposal) {
        return FrameSpec{.left = 1, .top = 1, .width = 2, .height = 2, .pixels = {1, 1, 1, 1}, .disposal = disposal};
    };
    const FrameSpec corner{.width = 1, .height = 1, .pixels = {2}};
    const struct {
        const char* name;
        uint32_t width, height;
        std::vector<FrameSpec> frames;
        int frame;
        const char* expected;
    } cases[] = {
        {"disposal 1 keeps", 4, 4, {full, block(1), corner}, 2, "brrr/rggr/rggr/rrrr"},
        {"disposal 2 restores the background", 4, 4, {full, block(2), corner}, 2, "brrr/rwwr/rwwr/rrrr"},
        {"disposal 3 restores the previous", 4, 4, {full, block(3), corner}, 2, "brrr/rrrr/rrrr/rrrr"},
        {"first frame only", 4, 4, {full, block(1), corner}, 0, "rrrr/rrrr/rrrr/rrrr"},
        {"transparent pixels keep what lies below", 4, 4,
         {full, FrameSpec{.width = 4, .height = 1, .pixels = {3, 2, 3, 1}, .transparent = 3}}, 1,
         "rbrg/rrrr/rrrr/rrrr"},
        {"transparent first frame", 2, 1, {FrameSpec{.width = 2, .height = 1, .pixels = {3, 1}, .transparent = 3}}, 0, ".g"},
        {"small first frame on a larger screen", 4, 4, {block(0)}, 0, "rrrr/rggr/rggr/rrrr"},
        {"interlaced rows", 1, 10,
         {FrameSpec{.width = 1, .height = 10, .pixels = {0, 1, 2, 3, 0, 1, 2, 3, 0, 1}, .interlaced = true}}, 0,
         "r/g/b/w/r/g/b/w/r/g"},
        {"local table of another size", 4, 4,
         {full, FrameSpec{.width = 2, .height = 1, .pixels = {1, 0}, .localTable = {0, 0, 255, 0, 255, 0}}}, 1,
         "gbrr/rrrr/rrrr/rrrr"},
        {"frame outside the screen is skipped", 4, 4,
         {full, FrameSpec{.left = 3, .width = 2, .height = 1, .pixels = {1, 1}}, corner}, 1,
         "brrr/rrrr/rrrr/rrrr"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LfImageGIF image;
        image.SetCurrentFrame(c.frame);
        ASSERT_TRUE(Decode(BuildGif(c.width, c.height, kFourColours, c.frames, 3), image)) << image.LastError();
        EXPECT_EQ(Letters(image), c.expected);
    }
    // The frame beyond the screen does not count: there is no third frame.
    LfImageGIF third;
    third.SetCurrentFrame(2);
    EXPECT_FALSE(Decode(BuildGif(4, 4, kFourColours, cases[9].frames), third));
    EXPECT_EQ(third.NumFrames(), 2);
}

// ---------------------------------------------------------------------------------------
// Damaged and hostile input

TEST(GifMalformed, TruncatedFilesAreRefusedOrDecodedAsFarAsTheyGo) {
    LfImageGIF image;
    ASSERT_TRUE(image.Create(40, 31, 24, LF_FORMAT_GIF));
    FillRandom(image, 5);
    const Bytes file = Encode(image);
    for (size_t n = 0; n < file.size(); n += 7) {
        SCOPED_TRACE(n);
        LfImageGIF back;
        if (Decode(Bytes(file.begin(), file.begin() + n), back)) {
            EXPECT_TRUE(back.IsValid());
            EXPECT_EQ(back.Width(), 40u);
        }
    }
    // Cut inside the last tile's data: the first rows are all there.
    LfImageGIF part;
    ASSERT_TRUE(Decode(Bytes(file.begin(), file.end() - 300), part));
    const peer::Rgba ours = peer::ToRgba(part), theirs = peer::ToRgba(image);
    EXPECT_TRUE(std::equal(ours.pixels.begin(), ours.pixels.begin() + 40 * 15 * 4, theirs.pixels.begin()));
}

TEST(GifMalformed, HostileFilesFailCleanlyOrDecodePartly) {
    Bytes manyFrames = BuildGif(1, 1, kFourColours, {});
    manyFrames.pop_back();
    const Bytes empty = {',', 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 0};  // a 1 x 1 frame without data
    for (int i = 0; i < 1000000; ++i) manyFrames.insert(manyFrames.end(), empty.begin(), empty.end());
    manyFrames.push_back(';');

    // Each frame claims a full 1000 x 1000 screen and holds no data: composing them all would
    // take minutes for a file of 24 KiB.
    Bytes largeEmptyFrames = BuildGif(1000, 1000, kFourColours, {});
    largeEmptyFrames.pop_back();
    const Bytes large = {',', 0, 0, 0, 0, 0xE8, 3, 0xE8, 3, 0, 2, 0};
    for (int i = 0; i < 2000; ++i) largeEmptyFrames.insert(largeEmptyFrames.end(), large.begin(), large.end());
    largeEmptyFrames.push_back(';');

    Bytes beyondTable = BuildGif(4, 1, kFourColours, {{.width = 4, .height = 1, .pixels = {1, 1, 1, 1}}});
    beyondTable[13 + 12 + 8 + 10 + 2] = 0xFF;  // codes 7 (beyond the table) in the data

    Bytes huge = BuildGif(1, 1, {}, {{.width = 1, .height = 1, .pixels = {0}}});
    huge[6] = huge[7] = huge[8] = huge[9] = 0xFF;  // 65535 x 65535 screen
    for (size_t at : {size_t(13 + 8 + 5), size_t(13 + 8 + 7)}) huge[at] = huge[at + 1] = 0xFF;

    Bytes noTable = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x87, 0, 0};
    Bytes badCodeSize = BuildGif(2, 1, kFourColours, {{.width = 2, .height = 1, .pixels = {1, 1}}});
    badCodeSize[13 + 12 + 8 + 10] = 12;

    const struct {
        const char* name;
        Bytes file;
        bool decodes;
        const char* message;
    } cases[] = {
        {"a million empty frames", manyFrames, true, ""},
        {"codes beyond the table", beyondTable, true, ""},
        {"large frames without data", largeEmptyFrames, false, "Error reading GIF file: frames larger than their data"},
        {"screen and frame larger than the data", huge, false, "Error reading GIF file: screen larger than its data"},
        {"colour table flag without a table", noTable, false, "Error reading GIF file: colour table"},
        {"code size out of range", badCodeSize, true, ""},
        {"not a GIF", Bytes{'G', 'I', 'F', '7'}, false, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        LfImageGIF image;
        image.SetCurrentFrame(c.file == largeEmptyFrames ? 1999 : 0);
        EXPECT_EQ(Decode(c.file, image), c.decodes) << image.LastError();
        if (!c.decodes) {
            EXPECT_STREQ(image.LastError(), c.message);
        }
    }
    LfImageGIF last;
    last.SetCurrentFrame(999999);
    EXPECT_TRUE(Decode(manyFrames, last));
    EXPECT_EQ(last.NumFrames(), 1000000);
}

// ---------------------------------------------------------------------------------------
// Peers

// Every frame of a GIF as Pillow composes it, as RGBA rows from the top.
std::vector<peer::Rgba> PillowFrames(const fs::path& file) {
    static const char* kScript = R"PY(
import sys
from PIL import Image, ImageSequence
im = Image.open(sys.argv[1])
with open(sys.argv[2], 'wb') as f:
    for fr in ImageSequence.Iterator(im):
        rgba = fr.convert('RGBA')
        f.write(b'%d %d\n' % rgba.size + rgba.tobytes())
)PY";
    TempDir dir;
    std::vector<peer::Rgba> frames;
    if (testsupport::Run(testsupport::Python() + " -c " + ShellQuote(kScript) + " " + ShellQuote(file.string()) + " " +
                         ShellQuote((dir / "frames").string()) + " 2>/dev/null") != 0)
        return frames;
    const Bytes raw = testsupport::ReadFile(dir / "frames");
    for (size_t at = 0; at < raw.size();) {
        const auto newline = std::find(raw.begin() + at, raw.end(), '\n');
        peer::Rgba f;
        std::istringstream(std::string(raw.begin() + at, newline)) >> f.width >> f.height;
        const size_t start = newline - raw.begin() + 1, length = size_t(f.width) * f.height * 4;
        if (start + length > raw.size()) break;
        f.pixels.assign(raw.begin() + start, raw.begin() + start + length);
        frames.push_back(std::move(f));
        at = start + length;
    }
    return frames;
}

// Colours must agree where both sides are opaque, and transparency must agree everywhere.
size_t Mismatches(const peer::Rgba& ours, const peer::Rgba& theirs) {
    if (ours.width != theirs.width || ours.height != theirs.height) return SIZE_MAX;
    size_t n = 0;
    for (size_t i = 0; i < ours.pixels.size(); i += 4) {
        const bool ourClear = ours.pixels[i + 3] == 0, theirClear = theirs.pixels[i + 3] == 0;
        if (ourClear != theirClear) ++n;
        else if (!ourClear && !std::equal(&ours.pixels[i], &ours.pixels[i] + 3, &theirs.pixels[i])) ++n;
    }
    return n;
}

void ExpectFramesLikePillow(const fs::path& file) {
    SCOPED_TRACE(file.string());
    const std::vector<peer::Rgba> expected = PillowFrames(file);
    ASSERT_FALSE(expected.empty()) << "Pillow cannot read it";
    const Bytes bytes = testsupport::ReadFile(file);
    LfImageGIF all;
    all.SetRetrieveAllFrames(true);
    ASSERT_TRUE(Decode(bytes, all)) << all.LastError();
    ASSERT_EQ(all.NumFrames(), int(expected.size()));
    for (size_t k = 0; k < expected.size(); ++k) {
        LfImageGIF one;
        one.SetCurrentFrame(int(k));
        ASSERT_TRUE(Decode(bytes, one)) << k;
        EXPECT_EQ(Mismatches(peer::ToRgba(one), expected[k]), 0u) << "frame " << k;
        ASSERT_NE(all.Frame(int(k)), nullptr);
        EXPECT_EQ(Mismatches(peer::ToRgba(*all.Frame(int(k))), expected[k]), 0u) << "kept frame " << k;
    }
}

TEST(GifPeers, GoTestFilesDecodeToPillowsPixels) {
    const fs::path dir = "/usr/share/go-1.19/src/image/testdata";
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow");
    GLINTWISE_NEED_PEER(fs::exists(dir / "video-001.gif"), "golang-1.19-src GIF test files");
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(dir))
        if (entry.path().extension() == ".gif") ExpectFramesLikePillow(entry.path()), ++seen;
    EXPECT_GE(seen, 5);
}

TEST(GifPeers, FilesWrittenByPillowAndImageMagickDecodeToPillowsPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow");
    GLINTWISE_NEED_PEER(testsupport::HaveTool("convert-im6.q16"), "ImageMagick");
    TempDir dir;
    static const char* kScript = R"PY(
import sys, random
from PIL import Image
out = sys.argv[1]
random.seed(7)
def noise(mode, size, colours):
    im = Image.new('P', size)
    im.putdata([random.randrange(colours) for _ in range(size[0] * size[1])])
    im.putpalette([random.randrange(256) for _ in range(3 * colours)])
    return im
for colours in (2, 16, 256):
    noise('P', (23, 17), colours).save('%s/pil-%d.gif' % (out, colours))
noise('P', (23, 17), 256).save(out + '/pil-interlaced.gif', interlace=True)
noise('P', (23, 17), 16).save(out + '/pil-transparent.gif', transparency=3)
for disposal in (0, 1, 2, 3):
    frames = [noise('P', (20, 14), 16) for _ in range(4)]
    frames[0].save('%s/pil-anim-%d.gif' % (out, disposal), save_all=True, append_images=frames[1:],
                   disposal=disposal, transparency=2, duration=50, loop=0, optimize=False)
)PY";
    ASSERT_EQ(testsupport::Run(testsupport::Python() + " -c " + ShellQuote(kScript) + " " + ShellQuote(dir.path().string())), 0);
    const std::string d = ShellQuote(dir.path().string());
    ASSERT_EQ(testsupport::Run("cd " + d +
                               " && convert-im6.q16 -size 40x30 plasma:fractal -colors 200 im-8.gif"
                               " && convert-im6.q16 -size 40x30 plasma:fractal -colors 12 -interlace GIF im-interlaced.gif"
                               " && convert-im6.q16 -size 40x30 gradient:red-blue -colors 2 im-1.gif"
                               " && convert-im6.q16 -dispose Background -delay 10 -size 30x20 xc:red"
                               " \\( -size 10x10 xc:blue -repage +5+5 \\) \\( -size 8x6 xc:green -repage +15+10 \\)"
                               " -set dispose Previous im-anim-previous.gif"
                               " && convert-im6.q16 -delay 10 -size 30x20 plasma:fractal"
                               " \\( -size 12x9 plasma:fractal -repage +9+4 \\) -layers optimize im-anim-local.gif"
                               " 2>/dev/null"),
              0);
    int seen = 0;
    for (const auto& entry : fs::directory_iterator(dir.path())) ExpectFramesLikePillow(entry.path()), ++seen;
    EXPECT_EQ(seen, 14);
}

TEST(GifPeers, OurFilesDecodeInPillowAndImageMagickToOurPixels) {
    GLINTWISE_NEED_PEER(peer::HavePillow(), "Pillow");
    GLINTWISE_NEED_PEER(testsupport::HaveTool("convert-im6.q16"), "ImageMagick");
    TempDir dir;
    const struct {
        uint32_t width, height, bits;
    } cases[] = {{23, 17, 1}, {23, 17, 4}, {23, 17, 8}, {61, 47, 24}, {16, 9, 24}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bits);
        LfImageGIF image;
        ASSERT_TRUE(image.Create(c.width, c.height, c.bits, LF_FORMAT_GIF));
        FillRandom(image, c.width + c.bits);
        const fs::path file = dir / "ours.gif";
        testsupport::WriteFile(file, Encode(image));
        const peer::Rgba ours = peer::ToRgba(image);
        const std::vector<peer::Rgba> pillow = PillowFrames(file);
        ASSERT_FALSE(pillow.empty());
        EXPECT_EQ(Mismatches(ours, pillow.back()), 0u) << "Pillow";
        // ImageMagick composes every tile; its last frame is the whole picture.
        const fs::path raw = dir / "im.rgba";
        testsupport::Run("convert-im6.q16 " + ShellQuote(file.string()) + " -coalesce -depth 8 rgba:" +
                         ShellQuote(raw.string()) + " 2>/dev/null");
        const Bytes frames = testsupport::ReadFile(raw);
        const size_t size = size_t(c.width) * c.height * 4;
        ASSERT_GE(frames.size(), size);
        peer::Rgba magick{c.width, c.height, true, Bytes(frames.end() - size, frames.end())};
        EXPECT_EQ(Mismatches(ours, magick), 0u) << "ImageMagick";
    }
}

}  // namespace

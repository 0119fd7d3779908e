// MNG and JNG codec: the stream we write, frame counting and selection, ImageMagick's files
// against ImageMagick's pixels frame by frame and ours read back by it, and hostile streams.
#include <gtest/gtest.h>
#include <zlib.h>

#include <chrono>
#include <string>
#include <tuple>
#include <vector>

#include "LfImageMNG.h"
#include "PeerPixels.h"

namespace fs = std::filesystem;
using peer::Bytes;
using testsupport::ShellQuote;

namespace {

const Bytes kMng = {0x8A, 'M', 'N', 'G', '\r', '\n', 0x1A, '\n'};

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes BE32(uint32_t v) { return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)}; }

Bytes Chunk(const std::string& type, const Bytes& data = {}) {
    const Bytes body = Cat({Bytes(type.begin(), type.end()), data});
    return Cat({BE32(uint32_t(data.size())), body, BE32(uint32_t(crc32(0, body.data(), uInt(body.size()))))});
}

// IHDR, IDAT and IEND of a 4 x 3 RGB picture of one grey, and an MNG around such frames.
Bytes Frame(uint8_t v) {
    Bytes raw;
    for (int y = 0; y < 3; ++y) raw.insert(raw.end(), {0, v, v, v, v, v, v, v, v, v, v, v, v});
    uLongf size = compressBound(uLong(raw.size()));
    Bytes packed(size);
    compress(packed.data(), &size, raw.data(), uLong(raw.size()));
    packed.resize(size);
    return Cat({Chunk("IHDR", Cat({BE32(4), BE32(3), {8, 2, 0, 0, 0}})), Chunk("IDAT", packed), Chunk("IEND")});
}

Bytes Mng(const Bytes& body, uint32_t width = 4, uint32_t height = 3) {
    const Bytes mhdr = Cat({BE32(width), BE32(height), BE32(1000), BE32(0), BE32(0), BE32(0), BE32(0)});
    return Cat({kMng, Chunk("MHDR", mhdr), body, Chunk("MEND")});
}

Bytes Loop(uint8_t level, uint32_t iterations) { return Chunk("LOOP", Cat({{level}, BE32(iterations)})); }

// Chunk types and data after the 8-byte signature.
std::vector<std::pair<std::string, Bytes>> Chunks(const Bytes& file) {
    std::vector<std::pair<std::string, Bytes>> chunks;
    for (size_t at = 8; at + 12 <= file.size();) {
        const size_t length = (file[at] << 24) | (file[at + 1] << 16) | (file[at + 2] << 8) | file[at + 3];
        if (at + 12 + length > file.size()) break;
        chunks.emplace_back(std::string(&file[at + 4], &file[at + 8]), Bytes(&file[at + 8], &file[at + 8 + length]));
        at += 12 + length;
    }
    return chunks;
}

bool DecodeMng(LfImageMNG& codec, const Bytes& bytes, int32_t frame = 0) {
    codec.SetCurrentFrame(frame);
    return peer::DecodeWith(codec, bytes);
}

void MakePicture(LfImage& img, uint32_t w, uint32_t h) {
    ASSERT_NE(img.Create(w, h, 24), nullptr);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w * 3; ++x) img.Row(y)[x] = uint8_t(x * 37 + y * 59 + (x * y) % 7);
}

// ImageMagick's frames as shown (each layer over the ones before), top-down RGBA.
std::vector<peer::Rgba> MagickFrames(const fs::path& file, uint32_t width, uint32_t height) {
    testsupport::TempDir tmp;
    testsupport::Run("convert-im6.q16 " + ShellQuote(file.string()) + " -coalesce -depth 8 rgba:" +
                     ShellQuote((tmp / "%d.rgba").string()) + " 2>/dev/null");
    std::vector<peer::Rgba> frames;
    for (int k = 0; fs::exists(tmp / (std::to_string(k) + ".rgba")); ++k) {
        frames.push_back({width, height, true, testsupport::ReadFile(tmp / (std::to_string(k) + ".rgba"))});
        if (frames.back().pixels.size() != size_t(width) * height * 4) return {};
    }
    return frames;
}

// Pixels whose alpha differs, or whose colour differs beyond the tolerance where it shows.
size_t VisibleDifferences(const peer::Rgba& ours, const peer::Rgba& theirs, int tolerance) {
    if (ours.pixels.size() != theirs.pixels.size()) return SIZE_MAX;
    size_t differing = 0;
    for (size_t i = 0; i < ours.pixels.size(); i += 4) {
        bool same = ours.pixels[i + 3] == theirs.pixels[i + 3];
        for (int k = 0; k < 3 && ours.pixels[i + 3] != 0; ++k)
            same = same && std::abs(ours.pixels[i + k] - theirs.pixels[i + k]) <= tolerance;
        differing += same ? 0 : 1;
    }
    return differing;
}

}  // namespace

// Without an MHDR, libmng writes a PNG signature and IHDR, IDAT, IEND. A 5-pixel row is a
// filter byte and 15 bytes of red, green, blue, top row first: the image object's 16-byte
// padded row must not leak in. Catches padding, blue-first and bottom-up rows, and an output
// buffer too small for a picture that does not compress.
TEST(MngLayout, FivePixelRowsAreSixteenBytesFromTheTop) {
    LfImage img;
    MakePicture(img, 5, 3);
    const Bytes file = peer::EncodeToBytes(img, LF_FORMAT_MNG);
    ASSERT_FALSE(file.empty()) << img.LastError();
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 4), (Bytes{0x89, 'P', 'N', 'G'}));
    const auto chunks = Chunks(file);
    ASSERT_EQ(chunks.size(), 3u);
    EXPECT_EQ(chunks[0], std::make_pair(std::string("IHDR"), Cat({BE32(5), BE32(3), {8, 2, 0, 0, 0}})));
    EXPECT_EQ(chunks[2].first, "IEND");
    Bytes raw(100), expected;
    uLongf size = raw.size();
    ASSERT_EQ(uncompress(raw.data(), &size, chunks[1].second.data(), uLong(chunks[1].second.size())), Z_OK);
    for (uint32_t i = 0; i < 15; ++i) {   // pixel i % 5 of row i / 5 from the top
        const LfRgbQuad c = img.PixelColor(i % 5, 2 - i / 5);
        expected = Cat({expected, i % 5 ? Bytes{} : Bytes{0}, {c.red, c.green, c.blue}});
    }
    EXPECT_EQ(Bytes(raw.begin(), raw.begin() + size), expected);

    // Noise does not compress: the output buffer must hold more than the input.
    uint32_t seed = 1;
    for (uint32_t y = 0; y < 3; ++y)
        for (uint32_t x = 0; x < 15; ++x) img.Row(y)[x] = uint8_t((seed = seed * 1103515245 + 12345) >> 16);
    LfImageMNG back;
    ASSERT_TRUE(DecodeMng(back, peer::EncodeToBytes(img, LF_FORMAT_MNG))) << back.LastError();
    EXPECT_EQ(peer::ToRgba(back).pixels, peer::ToRgba(img).pixels);
}

// Refusals write nothing and say why: a palette picture; a failed compress2 (once reported
// as success with no image data); a full disk.
TEST(MngLayout, FailedEncodesWriteNothingAndSayWhy) {
    LfImage palette;
    ASSERT_NE(palette.Create(4, 4, 8), nullptr);
    LfMemFile stream;
    stream.Open();
    EXPECT_FALSE(palette.Encode(&stream, LF_FORMAT_MNG));
    EXPECT_STREQ(palette.LastError(), "MNG encoder can save only RGB images");

    LfImage img;
    MakePicture(img, 6, 2);
    LfImageMNG codec;
    codec.Ghost(&img);
    codec.compressor = [](unsigned char*, unsigned long*, const unsigned char*, unsigned long, int) { return Z_MEM_ERROR; };
    EXPECT_FALSE(codec.Encode(&stream));
    EXPECT_STREQ(codec.LastError(), "could not compress MNG image data");
    EXPECT_EQ(stream.Size(), 0);

    for (size_t room : {0, 8, 30, 60}) {
        peer::FailingStream full(room);
        EXPECT_FALSE(img.Encode(&full, LF_FORMAT_MNG)) << room;
        EXPECT_STREQ(img.LastError(), "Write Error in MNG file");
    }
}

// Every frame of a 3-frame animation is counted and can be chosen, whether it plays once,
// repeats through TERM or through LOOP. Catches a count missing the first or last frame and
// a selection that shows the last frame whatever the index. Also: a plain PNG is one frame
// with its alpha and the background white as transparent colour; the header-only probe.
TEST(MngFrames, EveryFrameIsCountedAndCanBeChosen) {
    const Bytes rgb = Cat({Frame(50), Frame(100), Frame(150)});
    const Bytes files[] = {Mng(rgb), Mng(Cat({Chunk("TERM", {3, 0, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF}), rgb})),
                           Mng(Cat({Loop(0, 5), rgb, Chunk("ENDL", {0})}))};
    for (const Bytes& file : files) {
        for (int32_t frame = 0; frame < 3; ++frame) {
            LfImageMNG codec;
            ASSERT_TRUE(DecodeMng(codec, file, frame)) << codec.LastError();
            EXPECT_EQ(codec.NumFrames(), 3);
            EXPECT_EQ(codec.PixelColor(3, 0).red, 50 * (frame + 1));
        }
        for (int32_t frame : {3, -1}) {
            LfImage img;
            img.SetCurrentFrame(frame);
            EXPECT_FALSE(peer::DecodeBytes(img, file, LF_FORMAT_MNG));
            EXPECT_STREQ(img.LastError(), "Error: frame not present in MNG file");
            EXPECT_EQ(img.NumFrames(), 3);
        }
    }

    LfImage rgba;
    ASSERT_NE(rgba.Create(2, 1, 24), nullptr);
    ASSERT_TRUE(rgba.AlphaCreate());
    rgba.SetPixelColor(0, 0, LfRgbQuad{30, 20, 10, 128}, true);
    rgba.SetPixelColor(1, 0, LfRgbQuad{255, 255, 255, 255}, true);
    LfImageMNG png;
    ASSERT_TRUE(DecodeMng(png, peer::EncodeToBytes(rgba, LF_FORMAT_PNG))) << png.LastError();
    EXPECT_EQ(png.NumFrames(), 1);
    EXPECT_EQ(png.PixelColor(0, 0, true), (LfRgbQuad{30, 20, 10, 128}));
    EXPECT_EQ(png.TransparentColor(), (LfRgbQuad{255, 255, 255, 0}));
    // The white background colour is not made transparent: saved again, white pixels stay opaque.
    EXPECT_EQ(png.TransparentIndex(), -1);
    LfImage again;
    ASSERT_TRUE(peer::DecodeBytes(again, peer::EncodeToBytes(png, LF_FORMAT_PNG), LF_FORMAT_PNG));
    EXPECT_EQ(again.PixelColor(1, 0, true), (LfRgbQuad{255, 255, 255, 255}));

    LfImageMNG probe;
    probe.SetEscape(-1);
    ASSERT_TRUE(DecodeMng(probe, files[0]));
    EXPECT_EQ(probe.Width(), 4u);
    EXPECT_EQ(probe.Height(), 3u);
    EXPECT_FALSE(probe.IsValid());
}

// ImageMagick's animation (16-bit frames and a translucent one: it rounds and composes in
// 16 bits, libmng keeps the high byte and composes in 8, up to 2 apart) and JNG with and
// without alpha (JPEG upsampling differs by up to 2) decode to its pixels frame by frame; it reads our file as our pixels; damaged JPEG data in a JNG,
// which libmng silently leaves undrawn, is refused.
TEST(MngPeers, ImageMagickAndOursAgree) {
    GLINTWISE_NEED_PEER(testsupport::HaveTool("convert-im6.q16"), "ImageMagick (convert-im6.q16)");
    testsupport::TempDir tmp;
    const std::string d = ShellQuote(tmp.path().string()) + "/", im = "convert-im6.q16 ";
    ASSERT_EQ(testsupport::Run(im + "-size 17x9 gradient:red-blue " + d + "a.png && " + im +
                               "-seed 7 -size 17x9 plasma:fractal " + d + "b.png && " + im +
                               "-size 17x9 xc:none -fill '#00C82880' -draw 'circle 8,4 8,8' " + d + "c.png && " + im +
                               d + "a.png " + d + "b.png " + d + "c.png " + d + "anim.mng && " + im + d + "b.png " + d +
                               "plain.jng && " + im + d + "c.png " + d + "alpha.jng 2>/dev/null"),
              0);
    using Case = std::tuple<const char*, int, int>;   // file, frames, colour tolerance
    for (const auto& [name, frames, tolerance] : {Case{"anim.mng", 3, 2}, Case{"plain.jng", 1, 2}, Case{"alpha.jng", 1, 2}}) {
        const std::vector<peer::Rgba> theirs = MagickFrames(tmp / name, 17, 9);
        ASSERT_EQ(theirs.size(), size_t(frames)) << name;
        for (int frame = 0; frame < frames; ++frame) {
            LfImageMNG ours;
            ASSERT_TRUE(DecodeMng(ours, testsupport::ReadFile(tmp / name), frame)) << ours.LastError();
            EXPECT_EQ(ours.NumFrames(), frames);
            EXPECT_EQ(VisibleDifferences(peer::ToRgba(ours), theirs[frame], tolerance), 0u) << name << frame;
        }
    }

    LfImage img;
    MakePicture(img, 13, 7);
    ASSERT_TRUE(img.Save((tmp / "ours.mng").c_str(), LF_FORMAT_MNG)) << img.LastError();
    const std::vector<peer::Rgba> theirs = MagickFrames(tmp / "ours.mng", 13, 7);
    ASSERT_EQ(theirs.size(), 1u);
    EXPECT_EQ(peer::CountDifferences(peer::ToRgba(img), theirs[0], 0, true), 0u);

    const Bytes jng = testsupport::ReadFile(tmp / "plain.jng");
    for (int damage = 0; damage < 3; ++damage) {
        Bytes broken(jng.begin(), jng.begin() + 8);
        for (auto [type, data] : Chunks(jng)) {
            if (type == "JDAT" && damage == 0) data.resize(data.size() / 2);
            if (type == "JDAT" && damage == 1) data[0] = 0;
            for (size_t i = 2; type == "JDAT" && damage == 2 && i < data.size(); ++i) data[i] = uint8_t(data[i] * 7 + 1);
            broken = Cat({broken, Chunk(type, data)});
        }
        LfImageMNG codec;
        EXPECT_FALSE(DecodeMng(codec, broken)) << damage;
        EXPECT_STRNE(codec.LastError(), "");
    }
}

// Hostile streams end quickly with a clear false, or, where the stream is legal (a frame
// placed off the canvas, loops), with a picture; loops count their body once.
TEST(MngMalformed, HostileStreamsEndCleanlyAndQuickly) {
    Bytes pastEnd = Mng(Frame(7));
    pastEnd[9] = 0x7F;   // MHDR claims a length far past the file
    const Bytes endless = Loop(0, 0x7FFFFFFF);
    const Bytes repeat = Chunk("TERM", {3, 0, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF});
    Bytes unended = Frame(7);
    unended.resize(unended.size() - 12);   // no IEND: nothing is ever drawn
    const std::pair<Bytes, int> cases[] = {
        {{}, 0},
        {kMng, 0},
        {pastEnd, 0},
        {Mng(Frame(7), 60000, 60000), 0},
        {Mng(Cat({Chunk("LOOP", Bytes(2000, 1)), Frame(7)})), 0},
        {Mng(Cat({Chunk("DEFI", Cat({{0, 1, 0, 0}, BE32(100), BE32(100)})), Frame(7)})), 1},
        {Mng(Cat({endless, Chunk("ENDL", {0}), Frame(7)})), 1},
        {Mng(Cat({endless, Loop(1, 0x7FFFFFFF), Chunk("ENDL", {1}), Chunk("ENDL", {0}), Frame(7)})), 1},
        {Mng(Cat({endless, Frame(7), Chunk("ENDL", {0})})), 1},
        {Mng(Cat({repeat, unended})), 0},
        {Mng(Cat({Frame(7), Chunk("CLON", {0, 0, 0, 1, 7})})), 0},
    };
    for (size_t i = 0; i < std::size(cases); ++i) {
        const auto start = std::chrono::steady_clock::now();
        LfImageMNG codec;
        EXPECT_EQ(DecodeMng(codec, cases[i].first), cases[i].second > 0) << i << ": " << codec.LastError();
        EXPECT_EQ(codec.NumFrames(), cases[i].second) << i;
        if (!cases[i].second) {
            EXPECT_STRNE(codec.LastError(), "") << i;
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << i;
    }
}

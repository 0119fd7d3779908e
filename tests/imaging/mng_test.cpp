// MNG and JNG codec: the chunks we write, frame counting and selection in animations built
// byte by byte, ImageMagick's MNG and JNG files against ImageMagick's pixels frame by frame,
// our file read back by ImageMagick, and damaged or hostile streams.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "LfImageMNG.h"
#include "PeerPixels.h"

namespace fs = std::filesystem;
using peer::Bytes;
using testsupport::HaveTool;
using testsupport::ReadFile;

using testsupport::ShellQuote;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {

const Bytes kPngSignature = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
const Bytes kMngSignature = {0x8A, 'M', 'N', 'G', '\r', '\n', 0x1A, '\n'};

void PutBE32(Bytes& out, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<uint8_t>(v >> shift));
}

Bytes BE32(uint32_t v) {
    Bytes out;
    PutBE32(out, v);
    return out;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

Bytes Chunk(const std::string& type, const Bytes& data = {}) {
    Bytes out;
    PutBE32(out, static_cast<uint32_t>(data.size()));
    Bytes body(type.begin(), type.end());
    body.insert(body.end(), data.begin(), data.end());
    out.insert(out.end(), body.begin(), body.end());
    PutBE32(out, static_cast<uint32_t>(crc32(0, body.data(), static_cast<uInt>(body.size()))));
    return out;
}

// IHDR, IDAT and IEND of an 8-bit RGB picture of one colour.
Bytes PngBody(uint32_t w, uint32_t h, uint8_t r, uint8_t g, uint8_t b) {
    Bytes raw;
    for (uint32_t y = 0; y < h; ++y) {
        raw.push_back(0);
        for (uint32_t x = 0; x < w; ++x) raw.insert(raw.end(), {r, g, b});
    }
    uLongf size = compressBound(static_cast<uLong>(raw.size()));
    Bytes packed(size);
    compress(packed.data(), &size, raw.data(), static_cast<uLong>(raw.size()));
    packed.resize(size);
    Bytes ihdr = Cat({BE32(w), BE32(h), Bytes{8, 2, 0, 0, 0}});
    return Cat({Chunk("IHDR", ihdr), Chunk("IDAT", packed), Chunk("IEND")});
}

Bytes Mhdr(uint32_t w, uint32_t h) {
    return Chunk("MHDR", Cat({BE32(w), BE32(h), BE32(1000), BE32(0), BE32(0), BE32(0), BE32(0)}));
}

Bytes Loop(uint32_t iterations) { return Chunk("LOOP", Cat({Bytes{0}, BE32(iterations)})); }

// Three 4 x 3 frames: red, green, blue.
Bytes ThreeFrames(const Bytes& between = {}) {
    return Cat({kMngSignature, Mhdr(4, 3), between, PngBody(4, 3, 255, 0, 0), PngBody(4, 3, 0, 255, 0),
                PngBody(4, 3, 0, 0, 255), Chunk("MEND")});
}

struct ChunkView {
    std::string type;
    Bytes data;
};

std::vector<ChunkView> ReadChunks(const Bytes& file) {
    std::vector<ChunkView> chunks;
    for (size_t at = 8; at + 12 <= file.size();) {
        const uint32_t length = (file[at] << 24) | (file[at + 1] << 16) | (file[at + 2] << 8) | file[at + 3];
        if (at + 12 + length > file.size()) break;
        chunks.push_back({std::string(file.begin() + at + 4, file.begin() + at + 8),
                          Bytes(file.begin() + at + 8, file.begin() + at + 8 + length)});
        at += 12 + length;
    }
    return chunks;
}

// Decodes with the codec class directly; frame selects the frame.
bool DecodeMng(LfImageMNG& codec, const Bytes& bytes, int32_t frame = 0) {
    codec.SetCurrentFrame(frame);
    return peer::DecodeWith(codec, bytes);
}

void MakeRgbPicture(LfImage& img, uint32_t w, uint32_t h) {
    ASSERT_NE(img.Create(w, h, 24), nullptr);
    for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x)
            img.SetPixelColor(x, y, LfRgbQuad{static_cast<uint8_t>(x * 37 + 1), static_cast<uint8_t>(y * 59 + 2),
                                              static_cast<uint8_t>((x * y * 13) ^ 0x5A), 0});
}

int FailingCompressor(unsigned char*, unsigned long*, const unsigned char*, unsigned long, int) { return Z_MEM_ERROR; }

// ImageMagick's frames of a file as shown (layers composed over the frames before them), as
// top-down RGBA rows; empty when ImageMagick cannot read the file.
std::vector<peer::Rgba> MagickFrames(const fs::path& file, uint32_t width, uint32_t height) {
    TempDir tmp;
    testsupport::Run("convert-im6.q16 " + ShellQuote(file.string()) + " -coalesce -depth 8 rgba:" +
                     ShellQuote((tmp / "frame%d.rgba").string()) + " 2>/dev/null");
    std::vector<peer::Rgba> frames;
    for (int k = 0; fs::exists(tmp / ("frame" + std::to_string(k) + ".rgba")); ++k) {
        peer::Rgba out;
        out.width = width;
        out.height = height;
        out.pixels = ReadFile(tmp / ("frame" + std::to_string(k) + ".rgba"));
        if (out.pixels.size() != size_t(width) * height * 4) return {};
        frames.push_back(std::move(out));
    }
    return frames;
}

// Pixels whose alpha differs, or whose colour differs by more than the tolerance where it
// shows (the colour under a fully transparent pixel is anyone's guess).
size_t VisibleDifferences(const peer::Rgba& ours, const peer::Rgba& theirs, int tolerance) {
    if (ours.width != theirs.width || ours.height != theirs.height) return SIZE_MAX;
    size_t differing = 0;
    for (size_t i = 0; i < ours.pixels.size(); i += 4) {
        bool same = ours.pixels[i + 3] == theirs.pixels[i + 3];
        for (int k = 0; k < 3 && ours.pixels[i + 3] != 0; ++k)
            same = same && std::abs(ours.pixels[i + k] - theirs.pixels[i + k]) <= tolerance;
        differing += same ? 0 : 1;
    }
    return differing;
}

// A JNG made by ImageMagick, with its JPEG stream changed by `damage` (chunk checksums kept
// right, so only the JPEG data is wrong).
Bytes DamagedJng(const Bytes& jng, Bytes (*damage)(const Bytes&)) {
    Bytes out(jng.begin(), jng.begin() + 8);
    for (const ChunkView& c : ReadChunks(jng)) {
        const Bytes chunk = Chunk(c.type, c.type == "JDAT" ? damage(c.data) : c.data);
        out.insert(out.end(), chunk.begin(), chunk.end());
    }
    return out;
}

}  // namespace

// ---------------------------------------------------------------- what we write

// Without an MHDR the library writes a PNG signature; the rows are filter 0, red first, top
// row first, and a 5-pixel row is 1 + 15 bytes: the 16-byte padded row of the image object
// must not leak into the stream.
TEST(MngLayout, FivePixelRowsAreSixteenBytesOfFilterZeroRgbFromTheTop) {
    LfImage img;
    MakeRgbPicture(img, 5, 3);
    const Bytes file = peer::EncodeToBytes(img, LF_FORMAT_MNG);
    ASSERT_FALSE(file.empty()) << img.LastError();
    EXPECT_EQ(Bytes(file.begin(), file.begin() + 8), kPngSignature);

    const auto chunks = ReadChunks(file);
    std::vector<std::string> types;
    for (const ChunkView& c : chunks) types.push_back(c.type);
    ASSERT_EQ(types, (std::vector<std::string>{"IHDR", "IDAT", "IEND"}));
    EXPECT_EQ(chunks[0].data, Cat({BE32(5), BE32(3), Bytes{8, 2, 0, 0, 0}}));

    Bytes raw(100);
    uLongf size = raw.size();
    ASSERT_EQ(uncompress(raw.data(), &size, chunks[1].data.data(), static_cast<uLong>(chunks[1].data.size())), Z_OK);
    ASSERT_EQ(size, 3u * 16);
    for (uint32_t row = 0; row < 3; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(raw[row * 16], 0);
        for (uint32_t x = 0; x < 5; ++x) {
            const LfRgbQuad c = img.PixelColor(x, 2 - row);
            EXPECT_EQ(Bytes(&raw[row * 16 + 1 + 3 * x], &raw[row * 16 + 4 + 3 * x]), (Bytes{c.red, c.green, c.blue}));
        }
    }

    // and the codec reads its own file back unchanged
    LfImageMNG back;
    ASSERT_TRUE(DecodeMng(back, file)) << back.LastError();
    EXPECT_EQ(back.NumFrames(), 1);
    EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(img), 0, true), 0u);
}

// Refusals of the encoder: nothing may reach the stream and the caller learns why.
TEST(MngLayout, EncoderRefusalsWriteNothing) {
    {
        SCOPED_TRACE("8-bit palette picture");
        LfImage img;
        ASSERT_NE(img.Create(4, 4, 8), nullptr);
        img.SetGreyPalette();
        LfMemFile stream;
        stream.Open();
        EXPECT_FALSE(img.Encode(&stream, LF_FORMAT_MNG));
        EXPECT_STREQ(img.LastError(), "MNG encoder can save only RGB images");
        EXPECT_EQ(stream.Size(), 0);
    }
    {
        // A failed compression used to end the save with success and no image data.
        SCOPED_TRACE("compress2 fails");
        LfImage img;
        MakeRgbPicture(img, 6, 2);
        LfImageMNG codec;
        codec.Ghost(&img);
        codec.compressor = FailingCompressor;
        LfMemFile stream;
        stream.Open();
        EXPECT_FALSE(codec.Encode(&stream));
        EXPECT_STREQ(codec.LastError(), "could not compress MNG image data");
        EXPECT_EQ(stream.Size(), 0);
    }
    for (size_t room : {0, 8, 30, 60}) {
        SCOPED_TRACE("stream full after " + std::to_string(room) + " bytes");
        LfImage img;
        MakeRgbPicture(img, 7, 5);
        peer::FailingStream stream(room);
        EXPECT_FALSE(img.Encode(&stream, LF_FORMAT_MNG));
        EXPECT_STREQ(img.LastError(), "Write Error in MNG file");
    }
}

// A noisy picture does not compress; the writer must still store all of it.
TEST(MngLayout, IncompressiblePictureIsSaved) {
    LfImage img;
    ASSERT_NE(img.Create(64, 64, 24), nullptr);
    uint32_t state = 12345;
    for (uint32_t y = 0; y < 64; ++y)
        for (uint32_t i = 0; i < 64 * 3; ++i) img.Row(y)[i] = static_cast<uint8_t>((state = state * 1103515245 + 12345) >> 16);
    const Bytes file = peer::EncodeToBytes(img, LF_FORMAT_MNG);
    ASSERT_FALSE(file.empty()) << img.LastError();
    LfImageMNG back;
    ASSERT_TRUE(DecodeMng(back, file)) << back.LastError();
    EXPECT_EQ(peer::CountDifferences(peer::ToRgba(back), peer::ToRgba(img), 0, false), 0u);
}

// ---------------------------------------------------------------- decoding

// Every frame of a three-frame animation is counted and can be chosen, whether the stream
// loops forever (TERM), loops through a LOOP chunk or plays once. Catches a count that misses
// the first or the last frame and a selection that shows the last frame for every index.
TEST(MngFrames, ThreeFrameAnimationsCountAndSelectEveryFrame) {
    const Bytes term = Chunk("TERM", Bytes{3, 0, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF});
    struct Case {
        const char* name;
        Bytes file;
    } cases[] = {
        {"plays once", ThreeFrames()},
        {"TERM repeats forever", ThreeFrames(term)},
        {"LOOP of 5 iterations", Cat({kMngSignature, Mhdr(4, 3), Loop(5), PngBody(4, 3, 255, 0, 0),
                                      PngBody(4, 3, 0, 255, 0), PngBody(4, 3, 0, 0, 255), Chunk("ENDL", {0}),
                                      Chunk("MEND")})},
    };
    const Bytes expected[3] = {{255, 0, 0, 255}, {0, 255, 0, 255}, {0, 0, 255, 255}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (int32_t frame = 0; frame < 3; ++frame) {
            SCOPED_TRACE(frame);
            LfImageMNG codec;
            ASSERT_TRUE(DecodeMng(codec, c.file, frame)) << codec.LastError();
            EXPECT_EQ(codec.NumFrames(), 3);
            const peer::Rgba rgba = peer::ToRgba(codec);
            ASSERT_EQ(rgba.width, 4u);
            EXPECT_EQ(Bytes(rgba.At(3, 2), rgba.At(3, 2) + 4), expected[frame]);
        }
        for (int32_t frame : {3, -1}) {
            LfImage img;
            img.SetCurrentFrame(frame);
            EXPECT_FALSE(peer::DecodeBytes(img, c.file, LF_FORMAT_MNG));
            EXPECT_STREQ(img.LastError(), "Error: frame not present in MNG file");
            EXPECT_EQ(img.NumFrames(), 3);   // the dispatch passes the count on with the failure
        }
    }
}

// A plain PNG read through this codec is one frame with its alpha plane; the transparent
// colour is the background libmng holds (white unless the stream sets one).
TEST(MngFrames, SingleFramePngKeepsAlphaAndTheBackgroundAsTransparentColour) {
    const Bytes raw = {0, 10, 20, 30, 128, 40, 50, 60, 255};
    uLongf size = compressBound(raw.size());
    Bytes packed(size);
    compress(packed.data(), &size, raw.data(), raw.size());
    packed.resize(size);
    const Bytes png = Cat({kPngSignature, Chunk("IHDR", Cat({BE32(2), BE32(1), Bytes{8, 6, 0, 0, 0}})),
                           Chunk("IDAT", packed), Chunk("IEND")});
    LfImageMNG codec;
    ASSERT_TRUE(DecodeMng(codec, png)) << codec.LastError();
    EXPECT_EQ(codec.NumFrames(), 1);
    EXPECT_EQ(codec.Type(), uint32_t(LF_FORMAT_MNG));
    EXPECT_EQ(codec.TransparentIndex(), 0);
    EXPECT_EQ(codec.TransparentColor(), (LfRgbQuad{255, 255, 255, 0}));
    const peer::Rgba rgba = peer::ToRgba(codec);
    EXPECT_EQ(rgba.pixels, (Bytes{10, 20, 30, 128, 40, 50, 60, 255}));

    LfImageMNG second;
    EXPECT_FALSE(DecodeMng(second, png, 1));
    EXPECT_STREQ(second.LastError(), "Error: frame not present in MNG file");
}

TEST(MngFrames, HeaderOnlyProbeGivesTheCanvasSizeWithoutPixels) {
    LfImageMNG codec;
    codec.SetEscape(-1);
    ASSERT_TRUE(peer::DecodeWith(codec, ThreeFrames()));
    EXPECT_EQ(codec.Width(), 4u);
    EXPECT_EQ(codec.Height(), 3u);
    EXPECT_EQ(codec.Type(), uint32_t(LF_FORMAT_MNG));
    EXPECT_FALSE(codec.IsValid());
}

// ---------------------------------------------------------------- peers

// ImageMagick writes an animation and JNG files with and without alpha; we must see its
// pixels frame by frame (JPEG data within 2 levels: the two sides do not upsample alike),
// and ImageMagick must see ours in the file we write.
TEST(MngPeers, ImageMagickFilesDecodeToImageMagicksPixels) {
    GLINTWISE_NEED_PEER(HaveTool("convert-im6.q16"), "ImageMagick (convert-im6.q16)");
    TempDir tmp;
    const std::string d = ShellQuote(tmp.path().string()) + "/";
    ASSERT_EQ(testsupport::Run("convert-im6.q16 -size 17x9 gradient:red-blue " + d + "a.png && "
                  "convert-im6.q16 -size 17x9 plasma:fractal -seed 7 " + d + "b.png && "
                  "convert-im6.q16 -size 17x9 xc:none -fill 'rgba(0,200,40,0.5)' -draw 'circle 8,4 8,8' " + d + "c.png && "
                  "convert-im6.q16 " + d + "a.png " + d + "b.png " + d + "c.png " + d + "anim.mng && "
                  "convert-im6.q16 " + d + "b.png -quality 95 " + d + "plain.jng && "
                  "convert-im6.q16 " + d + "c.png -quality 95 " + d + "alpha.jng 2>/dev/null"), 0);
    // Frames made from 16-bit pictures: ImageMagick rounds to 8 bits, libmng keeps the high byte.
    struct Case {
        const char* file;
        int frames;
        int tolerance;
    } cases[] = {{"anim.mng", 3, 1}, {"plain.jng", 1, 2}, {"alpha.jng", 1, 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.file);
        const Bytes bytes = ReadFile(tmp / c.file);
        const std::vector<peer::Rgba> theirs = MagickFrames(tmp / c.file, 17, 9);
        ASSERT_EQ(theirs.size(), size_t(c.frames)) << "ImageMagick could not read the file";
        for (int frame = 0; frame < c.frames; ++frame) {
            SCOPED_TRACE(frame);
            LfImageMNG ours;
            ASSERT_TRUE(DecodeMng(ours, bytes, frame)) << ours.LastError();
            EXPECT_EQ(ours.NumFrames(), c.frames);
            EXPECT_EQ(VisibleDifferences(peer::ToRgba(ours), theirs[frame], c.tolerance), 0u);
        }
    }

    LfImage img;
    MakeRgbPicture(img, 13, 7);
    ASSERT_TRUE(img.Save((tmp / "ours.mng").c_str(), LF_FORMAT_MNG)) << img.LastError();
    const std::vector<peer::Rgba> theirs = MagickFrames(tmp / "ours.mng", 13, 7);
    ASSERT_EQ(theirs.size(), 1u) << "ImageMagick could not read our file";
    EXPECT_EQ(peer::CountDifferences(peer::ToRgba(img), theirs[0], 0, true), 0u);
}

// The library draws nothing for a damaged JPEG stream and says nothing; the codec must not
// report the empty canvas as the picture.
TEST(MngPeers, JngWithDamagedJpegStreamFails) {
    GLINTWISE_NEED_PEER(HaveTool("convert-im6.q16"), "ImageMagick (convert-im6.q16)");
    TempDir tmp;
    ASSERT_EQ(testsupport::Run("convert-im6.q16 -size 8x8 gradient:red-blue " + ShellQuote((tmp / "x.jng").string())), 0);
    const Bytes jng = ReadFile(tmp / "x.jng");
    LfImageMNG good;
    ASSERT_TRUE(DecodeMng(good, jng)) << good.LastError();

    struct Case {
        const char* name;
        Bytes (*damage)(const Bytes&);
    } cases[] = {
        {"scrambled after SOI", [](const Bytes& b) {
             Bytes out = b;
             for (size_t i = 2; i < out.size(); ++i) out[i] = static_cast<uint8_t>(out[i] * 7 + 1);
             return out;
         }},
        {"cut in half", [](const Bytes& b) { return Bytes(b.begin(), b.begin() + b.size() / 2); }},
        {"no SOI", [](const Bytes& b) {
             Bytes out = b;
             out[0] = out[1] = 0;
             return out;
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LfImageMNG codec;
        EXPECT_FALSE(DecodeMng(codec, DamagedJng(jng, c.damage)));
        EXPECT_STRNE(codec.LastError(), "");
    }
}

// ---------------------------------------------------------------- hostile input

// Every one of these must end with a clear false (or, where the stream is legal, a picture)
// quickly, without touching memory outside the canvas.
TEST(MngMalformed, HostileStreamsFailCleanlyOrDecodeBounded) {
    const Bytes good = ThreeFrames();
    Bytes pastEnd = good;
    pastEnd[8 + 3] = 0x7F;   // MHDR claims a length far past the file

    struct Case {
        const char* name;
        Bytes file;
        bool decodes;
        int frames;
    } cases[] = {
        {"empty", {}, false, 0},
        {"signature only", kMngSignature, false, 0},
        {"chunk length past the end", pastEnd, false, 0},
        {"canvas of 60000 x 60000", Cat({kMngSignature, Mhdr(60000, 60000), PngBody(4, 3, 1, 2, 3), Chunk("MEND")}), false, 0},
        {"frame placed outside the canvas",
         Cat({kMngSignature, Mhdr(4, 3), Chunk("DEFI", Cat({Bytes{0, 1, 0, 0}, BE32(100), BE32(100)})),
              PngBody(4, 3, 9, 9, 9), Chunk("MEND")}),
         true, 1},
        {"endless LOOP around nothing",
         Cat({kMngSignature, Mhdr(4, 3), Loop(0x7FFFFFFF), Chunk("ENDL", {0}), PngBody(4, 3, 1, 2, 3), Chunk("MEND")}), true, 1},
        {"nested endless LOOPs",
         Cat({kMngSignature, Mhdr(4, 3), Loop(0x7FFFFFFF), Chunk("LOOP", Cat({Bytes{1}, BE32(0x7FFFFFFF)})),
              Chunk("ENDL", {1}), Chunk("ENDL", {0}), PngBody(4, 3, 1, 2, 3), Chunk("MEND")}),
         true, 1},
        {"endless LOOP around a frame",
         Cat({kMngSignature, Mhdr(4, 3), Loop(0x7FFFFFFF), PngBody(4, 3, 1, 2, 3), Chunk("ENDL", {0}), Chunk("MEND")}), true, 1},
        {"oversized LOOP chunk", Cat({kMngSignature, Mhdr(4, 3), Chunk("LOOP", Bytes(2000, 1)), PngBody(4, 3, 1, 2, 3),
                                      Chunk("MEND")}),
         false, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto start = std::chrono::steady_clock::now();
        LfImageMNG codec;
        const bool ok = DecodeMng(codec, c.file);
        EXPECT_EQ(ok, c.decodes) << codec.LastError();
        if (ok) {
            EXPECT_EQ(codec.NumFrames(), c.frames);
        } else {
            EXPECT_STRNE(codec.LastError(), "");
        }
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    }

    // Every truncation of a good animation ends cleanly; a stream cut after a frame may fail.
    for (size_t n = 0; n < good.size(); ++n) {
        SCOPED_TRACE(n);
        LfImageMNG codec;
        if (!DecodeMng(codec, Bytes(good.begin(), good.begin() + n))) {
            EXPECT_STRNE(codec.LastError(), "");
        }
    }
}

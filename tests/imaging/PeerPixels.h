// Shared by the PNG and TIFF tests: streams in memory, our pictures as top-down RGBA, and the
// same files decoded by Pillow for comparison.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "LfImage.h"
#include "TestSupport.h"

namespace peer {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

// Decodes bytes with one codec class directly (no dispatch).
template <class Codec>
bool DecodeWith(Codec& codec, const Bytes& bytes) {
    LfMemFile stream(const_cast<uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
    return codec.Decode(&stream);
}

// Encodes through the dispatch into memory; empty on failure.
inline Bytes EncodeToBytes(LfImage& image, uint32_t format) {
    LfMemFile stream;
    if (!stream.Open() || !image.Encode(&stream, format)) return {};
    const uint8_t* data = stream.GetBuffer(false);
    return Bytes(data, data + stream.Size());
}

inline bool DecodeBytes(LfImage& image, const Bytes& bytes, uint32_t format) {
    LfMemFile stream(const_cast<uint8_t*>(bytes.data()), static_cast<int32_t>(bytes.size()));
    return image.Decode(&stream, format);
}

// A picture as rows top-down, four bytes red, green, blue, alpha per pixel.
struct Rgba {
    uint32_t width = 0;
    uint32_t height = 0;
    bool alphaMatters = true;   // false when the file's transparency is a key colour
    Bytes pixels;
    const uint8_t* At(uint32_t x, uint32_t y) const { return &pixels[(size_t(y) * width + x) * 4]; }
};

// Our picture as RGBA: palette colours looked up, alpha from the alpha plane, the palette's
// alpha values or the transparent palette index.
inline Rgba ToRgba(const LfImage& img) {
    Rgba out;
    out.width = img.Width();
    out.height = img.Height();
    out.pixels.resize(size_t(out.width) * out.height * 4);
    for (uint32_t y = 0; y < out.height; ++y) {
        const uint32_t stored = out.height - 1 - y;
        for (uint32_t x = 0; x < out.width; ++x) {
            uint8_t* p = &out.pixels[(size_t(y) * out.width + x) * 4];
            uint8_t alpha = 255;
            LfRgbQuad c;
            if (img.IsIndexed()) {
                const uint8_t index = img.PixelIndex(x, stored);
                c = img.PaletteColor(index);
                if (img.info.alphaPalette) alpha = c.alpha;
                else if (img.TransparentIndex() == index) alpha = 0;
            } else {
                const uint8_t* s = img.Row(stored) + x * 3;
                c = LfRgbQuad{s[0], s[1], s[2], 0};
            }
            if (img.AlphaIsValid()) alpha = img.AlphaGet(x, stored);
            p[0] = c.red;
            p[1] = c.green;
            p[2] = c.blue;
            p[3] = alpha;
        }
    }
    return out;
}

// Counts pixels whose colour differs by more than `tolerance` in any channel; alpha is
// compared only when both sides say it carries per-pixel transparency.
inline size_t CountDifferences(const Rgba& ours, const Rgba& theirs, int tolerance, bool compareAlpha) {
    if (ours.width != theirs.width || ours.height != theirs.height) return SIZE_MAX;
    size_t differing = 0;
    for (size_t i = 0; i < ours.pixels.size(); i += 4) {
        bool same = true;
        for (int k = 0; k < 3; ++k) same = same && std::abs(ours.pixels[i + k] - theirs.pixels[i + k]) <= tolerance;
        if (compareAlpha) same = same && ours.pixels[i + 3] == theirs.pixels[i + 3];
        differing += same ? 0 : 1;
    }
    return differing;
}

struct PillowOptions {
    // 16-bit grey: false keeps the high byte; true scales the whole picture so that its
    // brightest sample uses the top bit (what the TIFF reader does with 16-bit strips).
    bool scaleSixteenBitGrey = false;
};

// Decodes every file with Pillow. A file Pillow cannot read is missing from the result.
inline std::map<fs::path, Rgba> PillowDecode(const std::vector<fs::path>& files, PillowOptions options = {}) {
    static const char* kScript = R"PY(
import sys, numpy as np
from PIL import Image
scaled, out = sys.argv[1] == '1', sys.argv[2]
for i, p in enumerate(sys.argv[3:]):
    try:
        im = Image.open(p); im.load()
        matters = im.mode in ('RGBA', 'LA', 'PA', 'La') or (im.mode == 'P' and 'transparency' in im.info)
        if im.mode.startswith('I'):
            s = np.asarray(im).astype(np.uint32)
            shift = 8
            if scaled:
                top = int(s.max()) >> 8
                zeros = 8 if top == 0 else 8 - top.bit_length()
                shift = 8 - zeros
            a = ((s >> shift) & 0xFF).astype(np.uint8)
            rgba = np.stack([a, a, a, np.full_like(a, 255)], -1)
        else:
            rgba = np.asarray(im.convert('RGBA'))
        h, w = rgba.shape[:2]
        with open('%s/%d.rgba' % (out, i), 'wb') as f:
            f.write(('%d %d %d\n' % (w, h, 1 if matters else 0)).encode() + np.ascontiguousarray(rgba).tobytes())
    except Exception as e:
        pass
)PY";
    std::map<fs::path, Rgba> result;
    testsupport::TempDir dir;
    const fs::path script = dir / "decode.py";
    std::ofstream(script) << kScript;
    std::string command = testsupport::Python() + " " + testsupport::ShellQuote(script.string()) + " " +
                          (options.scaleSixteenBitGrey ? "1 " : "0 ") +
                          testsupport::ShellQuote(dir.path().string());
    for (const fs::path& f : files) command += " " + testsupport::ShellQuote(f.string());
    testsupport::Run(command + " 2>/dev/null");
    for (size_t i = 0; i < files.size(); ++i) {
        const fs::path p = dir / (std::to_string(i) + ".rgba");
        if (!fs::exists(p)) continue;
        const Bytes raw = testsupport::ReadFile(p);
        const auto newline = std::find(raw.begin(), raw.end(), '\n');
        std::istringstream header(std::string(raw.begin(), newline));
        Rgba rgba;
        int matters = 0;
        header >> rgba.width >> rgba.height >> matters;
        rgba.alphaMatters = matters != 0;
        rgba.pixels.assign(newline + 1, raw.end());
        if (rgba.pixels.size() == size_t(rgba.width) * rgba.height * 4) result[files[i]] = std::move(rgba);
    }
    return result;
}

inline bool HavePillow() { return testsupport::HavePythonModules("PIL numpy"); }

// A stream that accepts `room` bytes and then fails every write, as a full disk does.
class FailingStream : public LfMemFile {
public:
    explicit FailingStream(size_t room) : room_(room) { Open(); }
    size_t Write(const void* buffer, size_t size, size_t count) override {
        if (size * count > room_) return 0;
        room_ -= size * count;
        return LfMemFile::Write(buffer, size, count);
    }
    bool PutC(uint8_t c) override { return Write(&c, 1, 1) == 1; }

private:
    size_t room_;
};

// The block of an image (header, palette, pixels) and its alpha plane, for "unchanged" checks.
inline Bytes Snapshot(const LfImage& img) {
    Bytes bytes(img.Block(), img.Block() + img.BlockSize());
    if (img.AlphaIsValid()) bytes.insert(bytes.end(), img.AlphaPlane(), img.AlphaPlane() + size_t(img.Width()) * img.Height());
    return bytes;
}

}  // namespace peer

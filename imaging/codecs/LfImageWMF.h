// LfImageWMF: Windows metafiles, read only. Two inputs are understood: a placeable metafile
// (a 22-byte placeable header in front of an old-style metafile) and an enhanced metafile.
// The drawing is played by LfMetafilePlayer into a white picture of the metafile's size
// (at most 4000 pixels either way) and kept as a 24-bit image. Writing always fails.
#pragma once

#include <cstdint>
#include <vector>

#include "LfFile.h"
#include "LfImage.h"
#include "LfMetafilePlayer.h"

class LfImageWMF : public LfImage {
public:
    LfImageWMF() : LfImage(LF_FORMAT_WMF) {}

    // Fails with "Save WMF not supported" (silently without a stream).
    bool Encode(LfFile* stream);
    // Reads a metafile from the stream's position and renders it at its own size. With the
    // escape field at -1 it stores only width, height and type and succeeds.
    bool Decode(LfFile* stream);
    // The same, rendered at a forced width and/or height where those are not 0.
    bool Decode(LfFile* stream, uint32_t forcedWidth, uint32_t forcedHeight);

    static constexpr int64_t kMaxSide = 4000;

private:
    struct Metafile {
        bool enhanced = false;
        std::vector<uint8_t> bytes;  // the old-style metafile, or the whole enhanced one
        LfWmfBox box{};
        int64_t width = 0;           // pixels at 96 dots per inch, before any limit
        int64_t height = 0;
    };

    bool Fail(const char* message);
    bool ReadPlaceable(LfFile* stream, int64_t start, int64_t total, Metafile& mf);
    bool ReadEnhanced(LfFile* stream, int64_t start, int64_t total, Metafile& mf);
    bool Render(const Metafile& mf, int width, int height);
};

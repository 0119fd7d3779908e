// LfImagePNG: PNG reading and writing through libpng over the system's byte streams.
#pragma once

#include "LfImage.h"

// PNG codec option word (LfImage::SetCodecOption with LF_FORMAT_PNG).
enum : uint32_t {
    LF_PNG_INTERLACED = 0x1,    // decode sets it for Adam7 files; encode writes Adam7
    // encode: Sub filter, runs of a repeated byte packed by LfRunDeflate (interlaced
    // pictures: zlib level 1 with its run-length strategy)
    LF_PNG_FAST_DEFLATE = 0x2,
};

class LfImagePNG : public LfImage {
public:
    explicit LfImagePNG(uint32_t type = LF_FORMAT_PNG) : LfImage(type) {}

    // Reads one PNG from the stream's current position. With the escape field at -1 only
    // width, height and type are stored (no pixels) and the call succeeds.
    bool Decode(LfFile* stream);
    // Writes the picture as one PNG. The picture (palette order included) is the same
    // afterwards, whether the write succeeded or not.
    bool Encode(LfFile* stream);
};

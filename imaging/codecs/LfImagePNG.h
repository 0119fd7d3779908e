// LfImagePNG: PNG reading and writing through libpng over the system's byte streams.
#pragma once

#include "LfImage.h"

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

// LfImageSKA: a minimal uncompressed 8-bit palette format. A 9-byte header (16-bit width and
// height below 32768, the bit-depth exponent 3 and the marker 00 00 00 01), 256 colour-table
// entries of red, green, blue, then one index per pixel, top row first, rows unpadded.
// 1- and 4-bit images are written as 8-bit files; 24-bit images are refused.
#pragma once

#include <cstdint>

#include "LfFile.h"
#include "LfImage.h"

class LfImageSKA : public LfImage {
public:
    LfImageSKA() : LfImage(LF_FORMAT_SKA) {}

    // Writes the image at the stream's position; false with the last-error text set. The
    // image itself is left as it was (shallower images are widened row by row on the way).
    bool Encode(LfFile* stream);
    // Reads an SKA file from the stream's position. With the escape field at -1 it stores
    // only width, height and type and succeeds. Pixels missing at the end of a short file
    // stay 0.
    bool Decode(LfFile* stream);

private:
    bool Fail(const char* message);
};

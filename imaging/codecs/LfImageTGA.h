// LfImageTGA: Truevision TGA files. Writing is uncompressed: 8-bit images as colour-mapped
// files with a 256-entry map, 24-bit images as true colour (32-bit when the image carries an
// alpha plane), bottom-up. Reading takes uncompressed and run-length compressed
// colour-mapped, true-colour and grey files of 8, 15, 16, 24 and 32 bits per pixel in either
// row order and either column order, and turns them into 8-bit palette or 24-bit images
// (plus an alpha plane for 32-bit and grey-with-alpha files).
#pragma once

#include <cstdint>

#include "LfFile.h"
#include "LfImage.h"

class LfImageTGA : public LfImage {
public:
    LfImageTGA() : LfImage(LF_FORMAT_TGA) {}

    // Writes the image at the stream's position; false with the last-error text set.
    bool Encode(LfFile* stream);
    // Reads a TGA file from the stream's position. With the escape field at -1 it stores
    // only width, height and type and succeeds.
    bool Decode(LfFile* stream);

private:
    bool Fail(const char* message);
};

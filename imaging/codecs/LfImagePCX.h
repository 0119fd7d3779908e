// LfImagePCX: ZSoft PCX files, run-length encoded, version 5 on writing. 1- and 4-bit palette
// images are written as 1 or 4 bit planes, 8-bit images as one 8-bit plane with a 256-colour
// table at the end, 24-bit images as red, green and blue planes (and a fourth, alpha, plane
// when the image has an alpha plane). Reading takes packed 1, 2, 4 and 8-bit single-plane
// files, 2 to 4 planes of 1 bit, and 3 or 4 planes of 8 bits.
#pragma once

#include <cstdint>

#include "LfFile.h"
#include "LfImage.h"

class LfImagePCX : public LfImage {
public:
    LfImagePCX() : LfImage(LF_FORMAT_PCX) {}

    // Writes the image at the stream's position; false with the last-error text set.
    bool Encode(LfFile* stream);
    // Reads a PCX file from the stream's position. With the escape field at -1 it stores
    // only width, height and type and succeeds.
    bool Decode(LfFile* stream);

    // One plane line of packed pixels (1, 2, 4 or 8 bits, the first pixel in the most
    // significant bits) to one index per pixel; writes at most `count` indices, and no more
    // than the line holds. False (with the last-error text set) for other bit counts or
    // more than one plane.
    bool PCX_UnpackPixels(const uint8_t* line, uint32_t lineBytes, uint32_t bitsPerPixel,
                          uint32_t planes, uint8_t* indices, uint32_t count);
    // Up to 4 planes of 1-bit lines, each lineBytes long and following one another, to one
    // index per pixel (plane p gives bit p); false for more planes or more bits.
    bool PCX_PlanesToPixels(const uint8_t* lines, uint32_t lineBytes, uint32_t bitsPerPixel,
                            uint32_t planes, uint8_t* indices, uint32_t count);

private:
    bool Fail(const char* message);
};

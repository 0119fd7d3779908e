// LfImageBMP: Windows device-independent bitmap files. Writing prefixes the image's own DIB
// block with a file header (or writes 32-bit pixels when a 24-bit image carries alpha);
// reading accepts the core, 40-byte, OS/2 2.x and V2-V5 info headers, RLE4 and RLE8
// palette files and 16- and 32-bit bit-field files, and turns them into 1, 4, 8 or 24 bits
// plus an optional alpha plane.
#pragma once

#include <cstdint>

#include "LfFile.h"
#include "LfImage.h"

class LfImageBMP : public LfImage {
public:
    LfImageBMP() : LfImage(LF_FORMAT_BMP) {}

    // Writes the image at the stream's position; false with the last-error text set.
    bool Encode(LfFile* stream);
    // Reads a BMP (with or without file header) from the stream's position. With the
    // escape field at -1 it stores only width, height and type and succeeds.
    bool Decode(LfFile* stream);
    // Reads the info header at the stream's position into header, in host order, with the
    // image size and colour count filled in when the file leaves them 0. Leaves the stream
    // just after the header. False when the header is unreadable or not acceptable.
    bool ReadInfoHeader(LfFile* stream, LfBitmapInfoHeader& header);

private:
    bool Fail(const char* message);
    void ReadPalette(LfFile* stream, const LfBitmapInfoHeader& header);
    bool ReadMasks(LfFile* stream, const LfBitmapInfoHeader& header, int64_t infoStart,
                   uint32_t masks[3]);
    bool ReadBitFields(LfFile* stream, const LfBitmapInfoHeader& header, const uint32_t masks[3]);
    void DecodeRle(LfFile* stream, bool fourBit);
    bool EncodeWithAlpha(LfFile* stream);
};

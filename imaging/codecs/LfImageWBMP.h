// LfImageWBMP: wireless bitmap files of type 0 (uncompressed 1-bit). Only 1-bit images are
// written; deeper images are refused rather than converted. Rows run top-down, one bit per
// pixel, the first pixel in the most significant bit, 0 black and 1 white.
#pragma once

#include <cstdint>

#include "LfFile.h"
#include "LfImage.h"

class LfImageWBMP : public LfImage {
public:
    LfImageWBMP() : LfImage(LF_FORMAT_WBMP) {}

    // Writes the image at the stream's position; false with the last-error text set.
    bool Encode(LfFile* stream);
    // Reads a WBMP from the stream's position. With the escape field at -1 it stores only
    // width, height and type and succeeds. Rows missing at the end of a short file stay 0.
    bool Decode(LfFile* stream);

    // A multi-byte integer: big-endian groups of 7 bits, bit 7 set on every byte but the
    // last. False when the stream ends before the last byte; value holds what was read.
    // Values beyond 32 bits saturate at UINT32_MAX.
    static bool ReadMultiByte(LfFile* stream, uint32_t& value);
    // Writes the minimum number of groups; true when every byte was written.
    static bool WriteMultiByte(LfFile* stream, uint32_t value);

private:
    bool Fail(const char* message);
};

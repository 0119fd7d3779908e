// LfImageRAW: camera raw files (DNG and the makers' raw formats) decoded by LibRaw over the
// system's byte streams into a 24-bit picture. Decoding only; saving is refused.
#pragma once

#include "LfImage.h"

class LfImageRAW : public LfImage {
public:
    explicit LfImageRAW(uint32_t type = LF_FORMAT_RAW) : LfImage(type) {}

    // Reads one raw file from the stream's position. The RAW codec option's low two bits
    // choose the demosaicing quality (0 bilinear, 1 VNG, 2 PPG, 3 AHD). With the escape
    // field at -1 only the sensor's width and height and the type are stored.
    bool Decode(LfFile* stream);
    // Always false: "Save RAW not supported".
    bool Encode(LfFile* stream);
};

// LfImageJAS: the JPEG 2000 family and its simple companions, one class for five format
// identifiers: JP2 files (11) and JPEG 2000 code streams (12) through OpenJPEG over our
// streams, PGX (13), PNM (14: PBM, PGM and PPM, plain and raw) and Sun raster (15) by our own
// readers and writers. Decoding recognises the variant from the file's first bytes, whatever
// identifier was asked for; the pixels then follow one rule for every variant: three
// components of one size become a 24-bit picture, anything else a grey picture of the
// component chosen by the current frame.
#pragma once

#include <cstdint>

#include "LfFile.h"
#include "LfImage.h"

class LfImageJAS : public LfImage {
public:
    LfImageJAS() : LfImage(LF_FORMAT_UNKNOWN) {}

    // Writes the picture as format 11 to 15 at the stream's position; false with the
    // last-error text set. Grey pictures give one component, all others three.
    bool Encode(LfFile* stream, uint32_t format);
    // Reads any of the five variants from the stream's position; `format` (0 while probing)
    // only names the type a grey result gets. With the escape field at -1 it stores width,
    // height and the detected type, leaves "output dimensions returned" and succeeds.
    bool Decode(LfFile* stream, uint32_t format);
};

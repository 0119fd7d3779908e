// LfImageJPG: baseline JFIF/EXIF JPEG (format 3) over libjpeg's 6b interface, reading and
// writing through LfFile. Decoding also runs the EXIF reader, whose record stays with the
// codec object; an object that decoded an EXIF file writes that EXIF block back on encode.
#pragma once

#include <cstdint>

#include "LfExifReader.h"
#include "LfImage.h"

// Bits of the JPEG codec option word (CodecOption(LF_FORMAT_JPG)).
enum LfJpegOption : uint32_t {
    LF_JPEG_BASELINE = 0x1,          // encode: force baseline quantisation tables
    LF_JPEG_ARITHMETIC = 0x2,        // encode: arithmetic coding
    LF_JPEG_GREYSCALE = 0x4,         // encode: one-component grey JPEG
    LF_JPEG_OPTIMIZE = 0x8,          // encode: optimised Huffman tables
    LF_JPEG_PROGRESSIVE = 0x10,      // encode: progressive scans
    LF_JPEG_SMOOTHING = 0x40,        // encode: smoothing factor = smoothing
    LF_JPEG_DECODE_GREY = 0x80,      // decode: grey-scale output
    LF_JPEG_QUANTIZE = 0x100,        // decode: palette of (quality) colours
    LF_JPEG_DITHER = 0x200,          // decode: dither mode = ditherMode
    LF_JPEG_ONE_PASS = 0x400,        // decode: one-pass quantisation
    LF_JPEG_NO_FANCY = 0x800,        // decode: no fancy upsampling
    LF_JPEG_SUBSAMPLE_422 = 0x1000,  // encode: 4:2:2 sampling
    LF_JPEG_SUBSAMPLE_444 = 0x2000,  // encode: 4:4:4 sampling (wins over 4:2:2)
};

class LfImageJPG : public LfImage {
public:
    LfImageJPG();
    ~LfImageJPG() override;
    LfImageJPG(const LfImageJPG&) = delete;
    LfImageJPG& operator=(const LfImageJPG&) = delete;

    bool Decode(LfFile* stream);
    bool Encode(LfFile* stream);

    // The reader of the last decode (nullptr before the first decode).
    LfExifReader* ExifReader() const { return exif_; }

    // Filled by the last decode from the frame header and the EXIF block.
    LfExifInfo exifInfo;
    // Used under the option bits LF_JPEG_SMOOTHING and LF_JPEG_DITHER only.
    uint8_t smoothing = 0;
    int ditherMode = 0;

private:
    void ReadExif(LfFile* stream);
    bool RewriteExif(LfFile* stream, int32_t start);

    LfExifReader* exif_ = nullptr;
};

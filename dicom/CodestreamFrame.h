#pragma once
// What the JPEG-LS and JPEG 2000 frame decoders share: the picture a code stream announces,
// checked against the data set's layout before anything is decoded, and the decoded
// samples stored as the reader's normalised samples.

#include <cstddef>
#include <cstdint>
#include <string>

#include "PixelLayout.h"

// The picture as the code stream's header describes it.
struct CodestreamPicture {
    uint32_t width = 0;
    uint32_t height = 0;
    uint32_t components = 0;
    uint32_t precision = 0;  // bits of the widest component
};

// Refuses a code stream whose size or number of components differs from the data set's, whose
// samples would not fit the bits allocated, or a layout the decoders do not produce
// (1-bit samples, YBR_FULL_422). kind names the code stream in the message ("JPEG-LS").
bool CheckCodestreamPicture(const CodestreamPicture& picture, const PixelLayout& layout, const char* kind,
                            std::string& error);

// Where component c of pixel p goes among the frame's samples: pixel by pixel or plane by
// plane, as the data set's planar configuration says, so the renderer reads it as it is.
inline size_t SampleIndex(const PixelLayout& layout, size_t pixel, uint32_t component) {
    if (layout.samplesPerPixel == 1) return pixel;
    return layout.planarConfiguration == 0 ? pixel * layout.samplesPerPixel + component
                                           : component * layout.pixels() + pixel;
}

// Stores a decoded value as a little-endian sample of the layout's width. Negative values
// keep their two's complement bits, so the data set's pixel representation and high bit
// decide how the renderer reads them, as for native pixel data.
inline void PutSample(uint8_t* samples, size_t index, int sampleBytes, int32_t value) {
    const uint32_t v = static_cast<uint32_t>(value);
    uint8_t* p = samples + index * static_cast<size_t>(sampleBytes);
    for (int b = 0; b < sampleBytes; ++b) p[b] = static_cast<uint8_t>(v >> (8 * b));
}

#pragma once
// Colour pictures (RGB, YBR_FULL, YBR_FULL_422, PALETTE COLOR) to 24-bit rows in the
// image object's byte order: blue, green, red.

#include <cstdint>

#include "Palette.h"
#include "PixelLayout.h"

// Fills rows x stride bytes of pixels from one frame of normalised samples (little-endian,
// sampleBytes() each). Samples wider than 8 bits are scaled to 8 by their bits stored; the
// row padding is zeroed. The palette is needed for PALETTE COLOR only.
void RenderColourFrame(const uint8_t* samples, const PixelLayout& layout, const PaletteTables* palette,
                       uint8_t* pixels, int64_t stride);

#pragma once
// RLE Lossless frames: a 64-byte header of segment offsets, then one PackBits segment per
// byte plane, the most significant byte of each sample first, one sample plane after another.

#include <cstddef>
#include <cstdint>
#include <string>

#include "PixelLayout.h"

// Decodes one frame into layout.frameSamples() normalised samples (little-endian words,
// pixel by pixel or plane by plane as the layout's planar configuration says).
bool DecodeRleFrame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                    std::string& error);

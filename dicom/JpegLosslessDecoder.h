#pragma once
// JPEG lossless frames (Huffman coded, sequential, every predictor 1 to 7, point transform,
// precision 2 to 16 bits), decoded by our own code: the system's JPEG library has no
// lossless process.

#include <cstddef>
#include <cstdint>
#include <string>

#include "PixelLayout.h"

// Decodes one frame into layout.frameSamples() normalised samples: bytes for 8 bits
// allocated, little-endian words for 16, colour pixel by pixel unless the layout is planar.
// The frame's size, components and precision must agree with the layout.
bool DecodeJpegLosslessFrame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                             std::string& error);

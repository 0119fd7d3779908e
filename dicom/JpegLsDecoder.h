#pragma once
// JPEG-LS frames (lossless and near-lossless) of encapsulated pixel data, decoded with CharLS.

#include <cstddef>
#include <cstdint>
#include <string>

#include "PixelLayout.h"

// Decodes one JPEG-LS code stream into layout.frameSamples() normalised samples. The code
// stream's size, components and sample precision must agree with the layout; nothing is
// written when they do not.
bool DecodeJpegLsFrame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                       std::string& error);

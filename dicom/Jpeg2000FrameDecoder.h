#pragma once
// JPEG 2000 and HTJ2K frames of encapsulated pixel data, decoded with OpenJPEG. Colour frames
// with the code stream's reversible or irreversible component transform (YBR_RCT, YBR_ICT)
// come out as RGB, the transform undone by the code stream's own flag.

#include <cstddef>
#include <cstdint>
#include <string>

#include "PixelLayout.h"

// Decodes one JPEG 2000 code stream (or a JP2 file, which some writers put in its place) into
// layout.frameSamples() normalised samples. The code stream's size, components and precision
// must agree with the layout; subsampled components are refused. The library's own threads
// (up to `threads`) share the code blocks of the frame.
bool DecodeJpeg2000Frame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                         std::string& error, int threads = 1);

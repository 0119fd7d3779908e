#pragma once
// 12-bit JPEG extended (DCT) frames, through a 12-bit build of the IJG library (GDCM's,
// with mangled names): the system's JPEG library decodes 8-bit frames only.

#include <cstddef>
#include <cstdint>
#include <string>

#include "PixelLayout.h"

// True when the reader was built with the 12-bit library.
bool HaveJpeg12();

// Decodes one 12-bit DCT frame into little-endian 16-bit samples of the layout.
bool DecodeJpeg12Frame(const uint8_t* data, size_t size, const PixelLayout& layout, uint8_t* samples,
                       std::string& error);
